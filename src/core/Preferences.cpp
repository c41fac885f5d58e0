// Reading and writing the settings file.
#include "core/Preferences.h"

#include "core/FileOps.h"
#include "core/TextUtil.h"
#include "core/UserPrompt.h"

#include <QDir>
#include <optional>

QByteArray EncodePrefs(const Preferences &prefs)
{
    QByteArray text;
    auto line = [&](const char *key, const QByteArray &value) {
        text += key;
        text += value;
        text += CR;
    };
    line("FL", prefs.FtpLogin);
    line("FU", prefs.FtpUrl);
    line("FP", prefs.FtpPassword);
    line("PO", ToDecimal(prefs.ListenPort));
    line("RE", ToDecimal(prefs.ReceiveChannels));
    line("SE", ToDecimal(prefs.SendChannels));
    line("SD", AddressKindLetter(prefs.AddressType));
    line("NM", prefs.PortMapping ? QByteArray("Automatic") : QByteArray("Off"));
    line("EN", EncryptionSettingText(prefs.Encryption));
    return text;
}

QByteArray EncryptionSettingText(EncryptionSetting setting)
{
    switch (setting) {
    case EncryptionSetting::Off:
        return "Off";
    case EncryptionSetting::Prefer:
        return "Prefer";
    case EncryptionSetting::Require:
        return "Require";
    }
    return "Prefer";
}

EncryptionSetting EncryptionSettingFrom(const QByteArray &text)
{
    if (text == "Off")
        return EncryptionSetting::Off;
    if (text == "Require")
        return EncryptionSetting::Require;
    return EncryptionSetting::Prefer;
}

int CheckedListenPort(int64_t port)
{
    return IsListenPort(port) ? static_cast<int>(port) : DefaultListenPort;
}

void ApplyPrefsText(Preferences &prefs, const QByteArray &content)
{
    if (IsBlank(content))
        return;
    // Numbers are held wider than the record's fields until the range checks have run, so a
    // huge value is corrected instead of wrapping into range.
    int64_t port = prefs.ListenPort;
    int64_t receive = prefs.ReceiveChannels;
    int64_t send = prefs.SendChannels;
    std::optional<bool> mapping;
    EncryptionSetting encryption = EncryptionSetting::Prefer;
    for (const QByteArray &line : TerminatedPieces(content, CR)) {
        const QByteArray key = line.left(2);
        const QByteArray value = line.mid(2);
        if (key == "FL")
            prefs.FtpLogin = value;
        else if (key == "FP")
            prefs.FtpPassword = value;
        else if (key == "FU")
            prefs.FtpUrl = value;
        else if (key == "PO")
            port = LeadingInteger(value);
        else if (key == "RE")
            receive = LeadingInteger(value);
        else if (key == "SE")
            send = LeadingInteger(value);
        else if (key == "SD")
            prefs.AddressType = StaticOnlyIfS(value);
        else if (key == "NM")
            mapping = value != "Off"; // anything but Off reads as Automatic
        else if (key == "EN")
            encryption = EncryptionSettingFrom(value);
    }
    prefs.ListenPort = CheckedListenPort(port);
    prefs.ReceiveChannels = (receive < 1 || receive > ChannelCount) ? 1 : static_cast<int>(receive);
    prefs.SendChannels = (send < 0 || send > ChannelCount) ? 1 : static_cast<int>(send);
    // A file written before the line existed: map where the address page is posted.
    prefs.PortMapping = mapping.value_or(prefs.AddressType == AddressKind::Dynamic);
    prefs.Encryption = encryption;
}

bool SavePrefsFile(const QString &programFolder, const Preferences &prefs, UserPrompt &prompt)
{
    return StoreFileOrWarn(QDir(programFolder).filePath(PrefsFileName), EncodePrefs(prefs), prompt,
                           QStringLiteral("Cannot Write Preferences"));
}

void LoadPrefsFile(const QString &programFolder, Preferences &prefs)
{
    const QString path = QDir(programFolder).filePath(PrefsFileName);
    if (!FileExists(path))
        return;
    ApplyPrefsText(prefs, ReadStoredFile(path));
}
