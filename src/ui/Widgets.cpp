// Small widgets shared by the windows.
#include "ui/Widgets.h"

#include "ui/DisplayText.h"

#include <QHBoxLayout>
#include <QLineEdit>
#include <limits>
#include <QMouseEvent>
#include <QPushButton>
#include <QRadioButton>
#include <QTreeView>

ElidedLabel::ElidedLabel(QWidget *parent) : QLabel(parent)
{
    setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Fixed);
    setTextFormat(Qt::PlainText);
}

void ElidedLabel::setFullText(const QString &text)
{
    if (full_ == text)
        return;
    full_ = text;
    refresh();
}

QSize ElidedLabel::sizeHint() const
{
    return QSize(fontMetrics().averageCharWidth() * 12, QLabel::sizeHint().height());
}

QSize ElidedLabel::minimumSizeHint() const
{
    return QSize(0, fontMetrics().height());
}

void ElidedLabel::resizeEvent(QResizeEvent *event)
{
    QLabel::resizeEvent(event);
    refresh();
}

void ElidedLabel::refresh()
{
    // Control characters would start new lines or draw as boxes; one line is wanted here.
    QString shown = full_;
    for (QChar &c : shown)
        if (c.unicode() < 0x20)
            c = u' ';
    const int room = std::max(0, contentsRect().width());
    QLabel::setText(fontMetrics().elidedText(shown, Qt::ElideRight, room));
    setToolTip(fontMetrics().horizontalAdvance(shown) > room ? full_ : QString());
}

void PictureLabel::mouseReleaseEvent(QMouseEvent *event)
{
    QLabel::mouseReleaseEvent(event);
    if (event->button() == Qt::LeftButton && rect().contains(event->position().toPoint()))
        emit clicked();
}

QLineEdit *NamedField(const char *name)
{
    auto *edit = new QLineEdit;
    edit->setObjectName(QLatin1String(name));
    // Stored texts have no length limit; the field must not cut them.
    edit->setMaxLength(std::numeric_limits<int>::max());
    return edit;
}

namespace {
constexpr char StoredBytesProperty[] = "storedBytes";
}

void SetFieldBytes(QLineEdit *edit, const QByteArray &bytes)
{
    edit->setText(DisplayText(bytes));
    edit->setProperty(StoredBytesProperty, bytes);
}

QByteArray FieldBytes(const QLineEdit *edit)
{
    const QVariant stored = edit->property(StoredBytesProperty);
    if (stored.isValid() && edit->text() == DisplayText(stored.toByteArray()))
        return stored.toByteArray();
    return edit->text().toLocal8Bit();
}

QPushButton *CommandButton(const char *caption, const char *name)
{
    auto *button = new QPushButton(QString::fromLatin1(caption));
    button->setObjectName(QLatin1String(name));
    button->setAutoDefault(false);
    return button;
}

QHBoxLayout *AddressTypeRow(QRadioButton *&staticButton, QRadioButton *&dynamicButton)
{
    staticButton = new QRadioButton(QStringLiteral("Static"));
    staticButton->setObjectName(QStringLiteral("RadioButton1"));
    dynamicButton = new QRadioButton(QStringLiteral("Dynamic"));
    dynamicButton->setObjectName(QStringLiteral("RadioButton2"));
    auto *row = new QHBoxLayout;
    row->addWidget(staticButton);
    row->addWidget(dynamicButton);
    row->addStretch(1);
    return row;
}

void SetUpRowList(QTreeView *view, QAbstractItemView::SelectionMode selection)
{
    view->setRootIsDecorated(false);
    view->setUniformRowHeights(true);
    view->setAllColumnsShowFocus(true);
    view->setSelectionMode(selection);
    view->setSelectionBehavior(QAbstractItemView::SelectRows);
    view->setEditTriggers(QAbstractItemView::NoEditTriggers);
}
