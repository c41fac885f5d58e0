// The address book: user records and the enciphered users file "Parcelwise_Users".
#pragma once

#include <QByteArray>
#include <QList>
#include <QString>

class UserPrompt;

// One entry: nine fields (Name, Password, SendName, SendPassword, AddressType, Address,
// Port, two reserved), each followed by the code-1 separator.
using UserRecord = QByteArray;
using UserList = QList<UserRecord>;

enum UserField { UserName = 1, UserPassword, UserSendName, UserSendPassword, UserAddressType, UserAddress, UserPort };

inline constexpr char UsersFileName[] = "Parcelwise_Users";

QByteArray FieldOf(const UserRecord &record, int n);
UserRecord MakeUserRecord(const QList<QByteArray> &fields); // up to nine fields, the rest empty

// The hex content of the users file; empty for an empty list.
QByteArray EncodeUsers(const UserList &users);
UserList DecodeUsers(const QByteArray &content);

// An empty list deletes the file. False (after the beep and "Cannot Write User Data") when the
// file cannot be written; the old file then stays as it was.
bool SaveUsersFile(const QString &programFolder, const UserList &users, UserPrompt &prompt);
// Leaves the list unchanged when there is no file.
void LoadUsersFile(const QString &programFolder, UserList &users);

// True when an entry's Name and Password equal the given ones exactly.
bool CheckLogin(const UserList &users, const QByteArray &login, const QByteArray &password);
// Index of the first entry whose Name equals name exactly, or -1.
int FindUser(const UserList &users, const QByteArray &name);
