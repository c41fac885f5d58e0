// The one place where the socket layer's errors become the classic error numbers that the
// outcome tables are written in.
#pragma once

#include <QAbstractSocket>
#include <QByteArray>
#include <QHostAddress>

enum ClassicSocketError : int {
    ErrRefused = 10061,
    ErrReset = 10054,
    ErrShutdown = 10058,
    ErrTimedOut = 10060,
    ErrHostNotFound = 11001,
    ErrTryAgain = 11002,
};

int ClassicErrorNumber(QAbstractSocket::SocketError error);
// An address as shown and logged: the listening socket serves IPv4 and IPv6, and an IPv4 peer
// is shown in its usual form rather than as an IPv4-mapped IPv6 address.
QByteArray AddressText(QHostAddress address);
