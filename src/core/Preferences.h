// The settings record and its key-per-line file "Parcelwise_Prefs".
#pragma once

#include <QByteArray>
#include <QString>

class UserPrompt;

struct Preferences {
    QByteArray FtpLogin;
    QByteArray FtpUrl;
    QByteArray FtpPassword;
    int ListenPort = 4444;
    int ReceiveChannels = 2;
    int SendChannels = 1;
    QByteArray AddressType = "S";
};

inline constexpr char PrefsFileName[] = "Parcelwise_Prefs";

// The file content: seven lines, each key + value + CR.
QByteArray EncodePrefs(const Preferences &prefs);
// Overlays the values of a file content on prefs and applies the range checks. A blank
// content changes nothing (no range checks either).
void ApplyPrefsText(Preferences &prefs, const QByteArray &content);
// Clamps a port read from the file or typed by the user: outside 1024..65535 gives 4444.
int CheckedListenPort(int64_t port);

// Returns false (after the beep and "Cannot Write Preferences") when the file cannot be written;
// the old file then stays as it was.
bool SavePrefsFile(const QString &programFolder, const Preferences &prefs, UserPrompt &prompt);
void LoadPrefsFile(const QString &programFolder, Preferences &prefs);
