// The settings record and its key-per-line file "Parcelwise_Prefs".
#pragma once

#include "core/AddressKind.h"
#include "core/Limits.h"

#include <QByteArray>
#include <QString>

class UserPrompt;

// "EN": whether transfers are encrypted. Off: never offered, never asked for. Prefer: offered
// and taken whenever the peer can, plain otherwise. Require: nothing goes in the clear.
enum class EncryptionSetting { Off, Prefer, Require };

struct Preferences {
    QByteArray FtpLogin;
    QByteArray FtpUrl;
    QByteArray FtpPassword;
    int ListenPort = DefaultListenPort;
    int ReceiveChannels = 2;
    int SendChannels = 1;
    AddressKind AddressType = AddressKind::Static;
    // "NM": the listening port mapped on the home router ("Automatic") or not ("Off"). Written
    // after the seven lines above; a file without the line maps for a dynamic address only.
    bool PortMapping = false;
    // "EN", written after "NM"; a file without the line, or with any other value, reads Prefer.
    EncryptionSetting Encryption = EncryptionSetting::Prefer;
};

// The "EN" value as written, and read back (anything unknown reads Prefer).
QByteArray EncryptionSettingText(EncryptionSetting setting);
EncryptionSetting EncryptionSettingFrom(const QByteArray &text);

inline constexpr char PrefsFileName[] = "Parcelwise_Prefs";

// The file content: the seven lines, then the later additions ("NM", "EN"), each key + value + CR.
QByteArray EncodePrefs(const Preferences &prefs);
// Overlays the values of a file content on prefs and applies the range checks. A blank
// content changes nothing (no range checks either).
void ApplyPrefsText(Preferences &prefs, const QByteArray &content);
// Clamps a port read from the file or typed by the user: outside the listening range gives the
// default port.
int CheckedListenPort(int64_t port);

// Returns false (after the beep and "Cannot Write Preferences") when the file cannot be written;
// the old file then stays as it was.
bool SavePrefsFile(const QString &programFolder, const Preferences &prefs, UserPrompt &prompt);
void LoadPrefsFile(const QString &programFolder, Preferences &prefs);
