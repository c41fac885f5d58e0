// Message boxes with an OK button and an exclamation icon, and questions with two buttons.
#include "ui/WidgetPrompt.h"

#include <QApplication>
#include <QMessageBox>
#include <QPushButton>
#include <utility>

namespace {
// The two buttons' captions with mnemonics: each gets an "&" before its first letter that the
// other does not already use, unless it brings its own.
std::pair<QString, QString> WithMnemonics(const QString &yes, const QString &no)
{
    QString taken;
    auto mark = [&taken](const QString &caption) {
        if (caption.contains(u'&'))
            return caption;
        for (qsizetype i = 0; i < caption.size(); ++i) {
            const QChar c = caption[i].toLower();
            if (c.isLetterOrNumber() && !taken.contains(c)) {
                taken += c;
                return caption.left(i) + u'&' + caption.mid(i);
            }
        }
        return caption;
    };
    const QString markedYes = mark(yes);
    return {markedYes, mark(no)};
}
} // namespace

void WidgetPrompt::Beep()
{
    QApplication::beep();
}

void WidgetPrompt::Message(const QString &text)
{
    QMessageBox box(QMessageBox::Warning, QStringLiteral("Parcelwise"), text, QMessageBox::Ok,
                    QApplication::activeWindow());
    box.exec();
}

bool WidgetPrompt::Ask(const QString &text, const QString &yes, const QString &no, bool yesIsDefault)
{
    QMessageBox box(QMessageBox::Question, QStringLiteral("Parcelwise"), text, QMessageBox::NoButton,
                    QApplication::activeWindow());
    const auto [yesCaption, noCaption] = WithMnemonics(yes, no);
    QPushButton *yesButton = box.addButton(yesCaption, QMessageBox::AcceptRole);
    QPushButton *noButton = box.addButton(noCaption, QMessageBox::RejectRole);
    box.setDefaultButton(yesIsDefault ? yesButton : noButton);
    box.setEscapeButton(noButton);
    box.exec();
    return box.clickedButton() == yesButton;
}
