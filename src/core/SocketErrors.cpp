// Socket error numbers.
#include "core/SocketErrors.h"

int ClassicErrorNumber(QAbstractSocket::SocketError error)
{
    switch (error) {
    case QAbstractSocket::ConnectionRefusedError: return ErrRefused;
    case QAbstractSocket::RemoteHostClosedError: return ErrReset;
    case QAbstractSocket::HostNotFoundError: return ErrHostNotFound;
    case QAbstractSocket::SocketTimeoutError: return ErrTimedOut;
    case QAbstractSocket::NetworkError: return 10050;            // network is down or unreachable
    case QAbstractSocket::SocketAccessError: return 10013;
    case QAbstractSocket::SocketResourceError: return 10055;
    case QAbstractSocket::DatagramTooLargeError: return 10040;
    case QAbstractSocket::AddressInUseError: return 10048;
    case QAbstractSocket::SocketAddressNotAvailableError: return 10049;
    case QAbstractSocket::UnsupportedSocketOperationError: return 10045;
    case QAbstractSocket::TemporaryError: return 10035;
    case QAbstractSocket::OperationError: return 10022;
    default: return 10000 + static_cast<int>(error);
    }
}

QByteArray AddressText(QHostAddress address)
{
    bool mapped = false;
    const quint32 v4 = address.toIPv4Address(&mapped);
    if (mapped)
        address = QHostAddress(v4);
    return address.toString().toLatin1();
}
