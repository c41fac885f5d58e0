// The peers' keys, pinned per address-book entry: the first encrypted exchange with a user
// (in either direction) pins the fingerprint its peer showed, and every later exchange must
// show the same. Kept in "Parcelwise_Pins": one line per user, the user name, a tab and 64
// upper-case hex digits, each line ended by a line feed; written whole, private to the owner.
#pragma once

#include <QByteArray>
#include <QMap>
#include <QString>
#include <optional>

inline constexpr char PinsFileName[] = "Parcelwise_Pins";

using PinMap = QMap<QByteArray, QByteArray>; // user name -> fingerprint

// The file content for a set of pins (empty for none). A name is written as it is, except that
// "%", CR and LF are written as "%25", "%0D" and "%0A" so that every pin stays one line.
QByteArray EncodePins(const PinMap &pins);
// The pins of a file content; nothing when any line is not a name, a tab and 64 hex digits
// (a file read in part could lose a pin and let a plain exchange through).
std::optional<PinMap> DecodePins(const QByteArray &content);

// True for 64 hex digits, upper-case.
bool IsFingerprint(const QByteArray &text);

class PinStore {
public:
    // Reads the file of the program folder. No file means no pins; a file that cannot be read
    // or understood leaves the store unreadable (problem() says why): it is then never
    // written, and every user counts as possibly pinned.
    void Load(const QString &programFolder);
    bool Unreadable() const { return unreadable_; }
    QByteArray Problem() const { return problem_; }

    // The pinned fingerprint of a user; nothing when none is pinned (or the store is unreadable).
    std::optional<QByteArray> PinOf(const QByteArray &user) const;
    // Sets, or removes, one user's pin and writes the file. False when the store is unreadable
    // or the file cannot be written (the pin then holds for this run only when it was set).
    bool Pin(const QByteArray &user, const QByteArray &fingerprint);
    bool Forget(const QByteArray &user);
    // Keeps only the pins of the given user names (the users that remain after a deletion).
    bool KeepOnly(const QList<QByteArray> &users);
    const PinMap &All() const { return pins_; }

private:
    bool Store();

    QString path_;
    PinMap pins_;
    bool unreadable_ = false;
    QByteArray problem_;
};
