// Desktop notifications of what happened while the window may be out of sight: a file
// received, a message arrived, a send that failed for good. Shown by the tray where the desktop
// has one, else by the desktop's notification service where there is one.
#pragma once

#include <QObject>
#include <QString>

class Engine;
class QSystemTrayIcon;

class DesktopNotices : public QObject {
    Q_OBJECT
public:
    DesktopNotices(Engine &engine, QObject *parent);

    void Notify(const QString &text);
    // The text of the last notification, shown or not.
    QString LastNotice() const { return lastNotice_; }

private:
    QSystemTrayIcon *tray_ = nullptr;
    QString lastNotice_;
};
