// Message boxes with an OK button and an exclamation icon.
#include "ui/WidgetPrompt.h"

#include <QApplication>
#include <QMessageBox>

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
