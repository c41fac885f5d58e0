// Reading and writing the address book.
#include "core/Users.h"

#include "core/Cipher.h"
#include "core/FileOps.h"
#include "core/TextUtil.h"
#include "core/UserPrompt.h"

#include <QDir>

QByteArray FieldOf(const UserRecord &record, int n)
{
    return NthField(record, QByteArray(1, FieldSep), n);
}

UserRecord MakeUserRecord(const QList<QByteArray> &fields)
{
    UserRecord line;
    for (int i = 0; i < 9; ++i) {
        if (i < fields.size())
            line += fields[i];
        line += FieldSep;
    }
    return line;
}

QByteArray EncodeUsers(const UserList &users)
{
    QByteArray plain;
    for (const UserRecord &u : users) {
        plain += RemoveAll(u, CR);
        plain += CR;
    }
    return plain.isEmpty() ? QByteArray() : EncryptToHex(plain);
}

UserList DecodeUsers(const QByteArray &content)
{
    if (IsBlank(content))
        return {};
    return TerminatedPieces(DecryptFromHex(content), CR);
}

bool SaveUsersFile(const QString &programFolder, const UserList &users, UserPrompt &prompt)
{
    return StoreFileOrWarn(QDir(programFolder).filePath(UsersFileName), EncodeUsers(users), prompt,
                           QStringLiteral("Cannot Write User Data"));
}

void LoadUsersFile(const QString &programFolder, UserList &users)
{
    const QString path = QDir(programFolder).filePath(UsersFileName);
    if (!FileExists(path))
        return;
    users = DecodeUsers(ReadStoredFile(path));
}

bool CheckLogin(const UserList &users, const QByteArray &login, const QByteArray &password)
{
    const QByteArray key = login + FieldSep + password + FieldSep;
    for (const UserRecord &u : users)
        if (u.startsWith(key))
            return true;
    return false;
}

int FindUser(const UserList &users, const QByteArray &name)
{
    for (int i = 0; i < users.size(); ++i)
        if (!users[i].isEmpty() && FieldOf(users[i], UserName) == name)
            return i;
    return -1;
}
