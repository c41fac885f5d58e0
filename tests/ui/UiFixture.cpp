// The installation fixture and the widget helpers.
#include "UiFixture.h"

#include <QApplication>
#include <QDir>
#include <QLineEdit>
#include <QMouseEvent>
#include <QPlainTextEdit>
#include <QTimer>

Installation::Installation()
{
    engine = std::make_unique<Engine>(dir.path(), clock, prompt, TimerIntervals{});
    engine->InitGlobals();
    port = FreeLoopbackPort();
    engine->Prefs.ListenPort = port;
    engine->SetOwnAddress("127.0.0.1");
    engine->MainWindowLoad();
}

void TypeInto(QWidget *field, const QString &text)
{
    field->setFocus(Qt::OtherFocusReason);
    if (auto *line = qobject_cast<QLineEdit *>(field))
        line->setText(text);
    else if (auto *plain = qobject_cast<QPlainTextEdit *>(field))
        plain->setPlainText(text);
}

void ClickOn(QWidget *widget)
{
    const QPointF at = QRectF(widget->rect()).center();
    const QPointF global = widget->mapToGlobal(at);
    QMouseEvent press(QEvent::MouseButtonPress, at, global, Qt::LeftButton, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(widget, &press);
    QMouseEvent release(QEvent::MouseButtonRelease, at, global, Qt::LeftButton, Qt::NoButton, Qt::NoModifier);
    QApplication::sendEvent(widget, &release);
}

void WhenModalShown(const std::function<void(QWidget *dialog)> &action)
{
    QTimer::singleShot(0, [action] {
        QWidget *dialog = QApplication::activeModalWidget();
        action(dialog);
        if (dialog && dialog->isVisible())
            dialog->close();
    });
}

void SaveScreenshot(QWidget *widget, const QString &name)
{
    const QString folder = qEnvironmentVariable("PW_SCREENSHOT_DIR");
    if (folder.isEmpty())
        return;
    QDir().mkpath(folder);
    widget->grab().save(QDir(folder).filePath(name + QStringLiteral(".png")));
}
