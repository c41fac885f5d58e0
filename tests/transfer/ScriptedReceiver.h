// A receiving peer on loopback that follows a script for every connection: its greeting, then
// (after STARTTLS and a TLS handshake with a key of its own, when it has one and is asked) for
// each request, single or each of a batch, the next reply of the script; then it takes the
// accepted files' remainders in order and closes, or holds the connection open until told.
#pragma once

#include "core/Identity.h"

#include <QByteArray>
#include <QList>
#include <QPointer>
#include <QSslSocket>
#include <QTcpServer>
#include <cstdint>
#include <map>
#include <optional>

class ScriptedReceiver : public QTcpServer {
public:
    // replies: the codes with their offsets ("1010", "402", "1017"); once used up, "1010".
    // key: answer STARTTLS and run TLS with it; none keeps every connection plain.
    ScriptedReceiver(QByteArray greeting, QList<QByteArray> replies, std::optional<Identity> key = {});
    int port() const { return serverPort(); }

    // Connections stay open once every file is taken, until ReleaseClose.
    bool holdClose = false;
    void ReleaseClose();

    int connections = 0;
    int upgrades = 0;                     // connections that ran TLS
    int batches = 0;
    QList<QByteArray> requests;           // as they came, batches split into their requests
    std::map<QByteArray, QByteArray> got; // file name -> the bytes taken
    int finished = 0;                     // conversations that took every accepted file

protected:
    void incomingConnection(qintptr descriptor) override;

private:
    struct Conversation {
        QByteArray buffer;
        bool replied = false;
        bool done = false;
        QList<std::pair<QByteArray, int64_t>> expected; // name, remainder length
    };
    void Read(QSslSocket &s, Conversation &c);

    QByteArray greeting_;
    QList<QByteArray> replies_;
    std::optional<Identity> key_;
    QList<QPointer<QSslSocket>> held_;
};
