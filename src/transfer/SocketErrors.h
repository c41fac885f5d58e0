// The one place where the socket layer's errors become the classic error numbers that the
// outcome tables are written in.
#pragma once

#include <QAbstractSocket>
#include <QByteArray>

enum ClassicSocketError : int {
    ErrRefused = 10061,
    ErrReset = 10054,
    ErrShutdown = 10058,
    ErrTimedOut = 10060,
    ErrHostNotFound = 11001,
    ErrTryAgain = 11002,
};

int ClassicErrorNumber(QAbstractSocket::SocketError error);
QByteArray ClassicErrorCode(QAbstractSocket::SocketError error);
