// Message boxes with an OK button and an exclamation icon, and questions with two buttons.
#include "ui/WidgetPrompt.h"

#include <QApplication>
#include <QMessageBox>
#include <QPushButton>

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
    QPushButton *yesButton = box.addButton(yes, QMessageBox::AcceptRole);
    QPushButton *noButton = box.addButton(no, QMessageBox::RejectRole);
    box.setDefaultButton(yesIsDefault ? yesButton : noButton);
    box.setEscapeButton(noButton);
    box.exec();
    return box.clickedButton() == yesButton;
}
