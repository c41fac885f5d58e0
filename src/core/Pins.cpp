// Reading and writing the pinned peer keys.
#include "core/Pins.h"

#include "core/FileOps.h"

#include <QDir>
#include <QFileInfo>

namespace {

QByteArray EscapeName(const QByteArray &name)
{
    QByteArray out;
    for (char c : name) {
        if (c == '%')
            out += "%25";
        else if (c == '\r')
            out += "%0D";
        else if (c == '\n')
            out += "%0A";
        else
            out += c;
    }
    return out;
}

std::optional<QByteArray> UnescapeName(const QByteArray &text)
{
    QByteArray out;
    for (qsizetype i = 0; i < text.size(); ++i) {
        if (text[i] != '%') {
            out += text[i];
            continue;
        }
        const QByteArray code = text.mid(i + 1, 2);
        if (code == "25")
            out += '%';
        else if (code == "0D")
            out += '\r';
        else if (code == "0A")
            out += '\n';
        else
            return std::nullopt;
        i += 2;
    }
    return out;
}

} // namespace

bool IsFingerprint(const QByteArray &text)
{
    if (text.size() != 64)
        return false;
    for (char c : text)
        if (!((c >= '0' && c <= '9') || (c >= 'A' && c <= 'F')))
            return false;
    return true;
}

QByteArray EncodePins(const PinMap &pins)
{
    QByteArray text;
    for (auto it = pins.cbegin(); it != pins.cend(); ++it)
        text += EscapeName(it.key()) + '\t' + it.value() + '\n';
    return text;
}

std::optional<PinMap> DecodePins(const QByteArray &content)
{
    PinMap pins;
    if (content.isEmpty())
        return pins;
    if (!content.endsWith('\n'))
        return std::nullopt; // cut short
    const QList<QByteArray> lines = content.left(content.size() - 1).split('\n');
    for (const QByteArray &line : lines) {
        // The fingerprint follows the last tab; the name may hold tabs of its own.
        const qsizetype tab = line.lastIndexOf('\t');
        if (tab < 0)
            return std::nullopt;
        const QByteArray fingerprint = line.mid(tab + 1);
        const std::optional<QByteArray> name = UnescapeName(line.left(tab));
        if (!name || !IsFingerprint(fingerprint))
            return std::nullopt;
        pins.insert(*name, fingerprint);
    }
    return pins;
}

void PinStore::Load(const QString &programFolder)
{
    path_ = QDir(programFolder).filePath(PinsFileName);
    pins_.clear();
    unreadable_ = false;
    problem_.clear();
    const QFileInfo info(path_);
    if (!info.exists() && !info.isSymLink())
        return;
    const QByteArray content = ReadStoredFile(path_);
    if (content.isEmpty() && info.size() != 0) {
        unreadable_ = true;
        problem_ = "it cannot be read";
        return;
    }
    const std::optional<PinMap> pins = DecodePins(content);
    if (!pins) {
        unreadable_ = true;
        problem_ = "a line is not a user name, a tab and a key fingerprint";
        return;
    }
    pins_ = *pins;
}

std::optional<QByteArray> PinStore::PinOf(const QByteArray &user) const
{
    const auto it = pins_.constFind(user);
    if (unreadable_ || it == pins_.cend())
        return std::nullopt;
    return *it;
}

bool PinStore::Pin(const QByteArray &user, const QByteArray &fingerprint)
{
    if (unreadable_ || !IsFingerprint(fingerprint))
        return false;
    pins_.insert(user, fingerprint);
    return Store();
}

bool PinStore::Forget(const QByteArray &user)
{
    if (unreadable_)
        return false;
    if (pins_.remove(user) == 0)
        return true;
    return Store();
}

bool PinStore::KeepOnly(const QList<QByteArray> &users)
{
    if (unreadable_)
        return false;
    bool changed = false;
    for (auto it = pins_.begin(); it != pins_.end();) {
        if (!users.contains(it.key())) {
            it = pins_.erase(it);
            changed = true;
        } else {
            ++it;
        }
    }
    return !changed || Store();
}

bool PinStore::Store()
{
    return !path_.isEmpty() && StoreFile(path_, EncodePins(pins_)) == WriteOk;
}
