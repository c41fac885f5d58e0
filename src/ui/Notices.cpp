// Desktop notifications through the tray or the desktop's notification service.
#include "ui/Notices.h"

#include "transfer/Engine.h"
#include "ui/DisplayText.h"
#include "ui/Icons.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCall>
#include <QSystemTrayIcon>

DesktopNotices::DesktopNotices(Engine &engine, QObject *parent) : QObject(parent)
{
    if (QSystemTrayIcon::isSystemTrayAvailable()) {
        tray_ = new QSystemTrayIcon(AppIcon(), this);
        tray_->setToolTip(QStringLiteral("Parcelwise"));
        tray_->show();
    }
    connect(&engine, &Engine::FileReceived, this, [this](const QByteArray &login, const QByteArray &fileName) {
        Notify(QStringLiteral("Received %1 from %2").arg(DisplayText(fileName), DisplayText(login)));
    });
    connect(&engine, &Engine::MessageReceived, this,
            [this](const QByteArray &login) { Notify(QStringLiteral("New message from %1").arg(DisplayText(login))); });
    connect(&engine, &Engine::SendFailed, this,
            [this](const QByteArray &user, const QByteArray &fileName, const QByteArray &statusText) {
                Notify(QStringLiteral("Sending %1 to %2 failed: %3")
                           .arg(DisplayText(fileName), DisplayText(user), DisplayText(statusText)));
            });
}

void DesktopNotices::Notify(const QString &text)
{
    lastNotice_ = text;
    if (tray_ && QSystemTrayIcon::isSystemTrayAvailable()) {
        tray_->showMessage(QStringLiteral("Parcelwise"), text, QSystemTrayIcon::Information, 6000);
        return;
    }
    // Without a tray the desktop's notification service shows it, where there is one.
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected())
        return;
    QDBusMessage call = QDBusMessage::createMethodCall(
        QStringLiteral("org.freedesktop.Notifications"), QStringLiteral("/org/freedesktop/Notifications"),
        QStringLiteral("org.freedesktop.Notifications"), QStringLiteral("Notify"));
    call << QStringLiteral("Parcelwise") << 0u << QStringLiteral("parcelwise") << QStringLiteral("Parcelwise") << text
         << QStringList() << QVariantMap() << 6000;
    bus.asyncCall(call);
}
