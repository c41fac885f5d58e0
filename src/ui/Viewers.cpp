// Log, message and help viewers, and the about box.
#include "ui/Viewers.h"

#include "core/FileOps.h"
#include "ui/DisplayText.h"
#include "ui/Icons.h"
#include "ui/RtfReader.h"

#include <QDir>
#include <QFontDatabase>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTextBrowser>
#include <QVBoxLayout>

#include <algorithm>

int TwipsToPixels(int twips, qreal dpi)
{
    return qRound(twips * dpi / 1440.0);
}

ViewerLayout ComputeViewerLayout(QSize window, qreal dpiX, qreal dpiY)
{
    const int width = std::max(0, window.width() - TwipsToPixels(435, dpiX));
    const int height = std::max(0, window.height() - TwipsToPixels(1245, dpiY));
    const int closeLeft = std::max(0, window.width() - TwipsToPixels(1410, dpiX));
    const int closeTop = std::max(0, window.height() - TwipsToPixels(900, dpiY));
    return ViewerLayout{QRect(0, 0, width, height), QPoint(closeLeft, closeTop)};
}

ViewerWin::ViewerWin(const QString &title, QWidget *area, QSize initialTwips, QWidget *parent)
    : QDialog(parent), area_(area), close_(new QPushButton(tr("&Close"), this))
{
    setWindowTitle(title);
    setModal(true);
    area_->setParent(this);
    const qreal dpiX = logicalDpiX();
    const qreal dpiY = logicalDpiY();
    // The button's size is not part of the rule; a design size of 1215 x 375 twips, or more
    // when the caption needs it, keeps it clear of the window's edges.
    close_->resize(std::max(close_->sizeHint().width(), TwipsToPixels(1215, dpiX)),
                   std::max(close_->sizeHint().height(), TwipsToPixels(375, dpiY)));
    close_->setDefault(true);
    connect(close_, &QPushButton::clicked, this, &QDialog::accept);
    // Never smaller than the margins, a line or two of text and the whole button: a window made
    // smaller stops there rather than cutting the button off.
    setMinimumSize(TwipsToPixels(435 + 2880, dpiX), TwipsToPixels(1245 + 1440, dpiY));
    resize(TwipsToPixels(initialTwips.width(), dpiX), TwipsToPixels(initialTwips.height(), dpiY));
    applyLayout();
}

void ViewerWin::resizeEvent(QResizeEvent *event)
{
    QDialog::resizeEvent(event);
    applyLayout();
}

void ViewerWin::applyLayout()
{
    const ViewerLayout layout = ComputeViewerLayout(size(), logicalDpiX(), logicalDpiY());
    area_->setGeometry(layout.textArea);
    close_->move(layout.closeTopLeft);
}

namespace {

QPlainTextEdit *ReadOnlyText(const QString &text)
{
    auto *edit = new QPlainTextEdit;
    edit->setReadOnly(true);
    edit->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
    edit->setPlainText(text);
    return edit;
}

} // namespace

NewLogWin::NewLogWin(const QByteArray &logText, QWidget *parent)
    : ViewerWin(tr("Parcelwise Current Log"), ReadOnlyText(DisplayText(logText)), QSize(9600, 6600), parent)
{
}

QPlainTextEdit *NewLogWin::textArea() const
{
    return static_cast<QPlainTextEdit *>(textWidget());
}

NewMessageWin::NewMessageWin(const QByteArray &messages, QWidget *parent)
    : ViewerWin(tr("Parcelwise New Messages"), ReadOnlyText(MessageText(messages)), QSize(9600, 6600), parent)
{
    // An empty viewer says why it is empty; the text itself stays empty.
    textArea()->setPlaceholderText(tr("No messages yet"));
}

QPlainTextEdit *NewMessageWin::textArea() const
{
    return static_cast<QPlainTextEdit *>(textWidget());
}

HelpWin::HelpWin(const QString &programFolder, QWidget *parent, const QString &besideProgram)
    : ViewerWin(tr("Parcelwise Help"), new QTextBrowser, QSize(10500, 9000), parent)
{
    QTextBrowser *browser = textArea();
    browser->setOpenLinks(false);
    // The program folder first (a help file placed there wins), then beside the program, where
    // it ships.
    QString path = QDir(programFolder).filePath(QString::fromLatin1(HelpFileName));
    if (!FileExists(path) && !besideProgram.isEmpty())
        path = QDir(besideProgram).filePath(QString::fromLatin1(HelpFileName));
    found_ = FileExists(path);
    if (found_)
        LoadRtf(browser->document(), ReadWholeFile(path));
    else
        browser->setPlainText(QString::fromLatin1(NotFoundText));
    // Filling the document carried the view's cursor to the end; the reader starts at the top.
    browser->moveCursor(QTextCursor::Start);
}

QTextBrowser *HelpWin::textArea() const
{
    return static_cast<QTextBrowser *>(textWidget());
}

AboutWin::AboutWin(const QString &versionText, QWidget *parent, const QString &keyText)
    : QDialog(parent), ok_(new QPushButton(tr("&OK"), this))
{
    setWindowTitle(tr("About Parcelwise"));
    setModal(true);

    auto *logo = new QLabel(this);
    logo->setObjectName(QStringLiteral("logo"));
    logo->setPixmap(LogoPixmap(1, devicePixelRatioF()));
    logo->setAlignment(Qt::AlignCenter);

    auto *motto = new QLabel(QString::fromLatin1(Motto), this);
    motto->setObjectName(QStringLiteral("motto"));
    motto->setAlignment(Qt::AlignCenter);
    QFont mottoFont = motto->font();
    mottoFont.setItalic(true);
    motto->setFont(mottoFont);

    auto *version = new QLabel(versionText, this);
    version->setObjectName(QStringLiteral("version"));
    version->setAlignment(Qt::AlignCenter);

    ok_->setDefault(true);
    connect(ok_, &QPushButton::clicked, this, &QDialog::accept);
    auto *buttons = new QHBoxLayout;
    buttons->addStretch();
    buttons->addWidget(ok_);
    buttons->addStretch();

    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(24, 20, 24, 16);
    layout->setSpacing(10);
    layout->addWidget(logo);
    layout->addWidget(motto);
    layout->addWidget(version);
    if (!keyText.isEmpty()) {
        auto *key = new QLabel(QStringLiteral("Key of this installation:\n") + keyText, this);
        key->setObjectName(QStringLiteral("keyFingerprint"));
        key->setAlignment(Qt::AlignCenter);
        key->setTextInteractionFlags(Qt::TextSelectableByMouse);
        QFont mono = QFontDatabase::systemFont(QFontDatabase::FixedFont);
        key->setFont(mono);
        layout->addWidget(key);
    }
    layout->addSpacing(6);
    layout->addLayout(buttons);
    layout->setSizeConstraint(QLayout::SetFixedSize);
    ok_->setFocus();
}

void AboutWin::keyPressEvent(QKeyEvent *event)
{
    // Keys the focused button does not use arrive here.
    for (const QChar c : event->text()) {
        if (!c.isLetter())
            continue;
        typed_.append(c.toLower());
        if (typed_.size() > 32)
            typed_.remove(0, typed_.size() - 32);
        if (typed_.contains(QLatin1String(CodeWord))) {
            typed_.clear();
            entered_ = true;
            emit codeWordTyped();
        }
    }
    QDialog::keyPressEvent(event);
}
