#include "protocol/socketerror.h"

#include "protocol/errornumber.h"

namespace corvane {

namespace {
int numberFor(QAbstractSocket::SocketError error)
{
    using E = QAbstractSocket::SocketError;
    switch (error) {
    case E::ConnectionRefusedError:
        return ErrorNumber::ConnectionRefused;
    case E::RemoteHostClosedError:
        return ErrorNumber::ConnectionReset;
    case E::HostNotFoundError:
        return ErrorNumber::HostNotFound;
    case E::SocketAccessError:
        return ErrorNumber::SocketPermissionDenied;
    case E::SocketResourceError:
        return ErrorNumber::NoBufferSpace;
    case E::SocketTimeoutError:
        return ErrorNumber::TimedOut;
    case E::DatagramTooLargeError:
        return ErrorNumber::SocketMessageTooLong;
    case E::NetworkError:
        return ErrorNumber::NetworkUnreachable;
    case E::AddressInUseError:
        return ErrorNumber::AddressInUse;
    case E::SocketAddressNotAvailableError:
        return ErrorNumber::AddressNotAvailable;
    case E::UnsupportedSocketOperationError:
        return ErrorNumber::SocketNotSupported;
    case E::UnfinishedSocketOperationError:
        return ErrorNumber::SocketInProgress;
    case E::TemporaryError:
        return ErrorNumber::SocketWouldBlock;
    case E::OperationError:
        return ErrorNumber::SocketInvalidArgument;
    default:
        return ErrorNumber::NetworkDown;
    }
}
} // namespace

SocketError SocketError::fromQt(QAbstractSocket::SocketError error)
{
    return fromNumber(numberFor(error));
}

SocketError SocketError::fromNumber(int number)
{
    QString text;
    switch (number) {
    case ErrorNumber::SocketPermissionDenied:
        text = QStringLiteral("Permission denied");
        break;
    case ErrorNumber::SocketInvalidArgument:
        text = QStringLiteral("Invalid argument");
        break;
    case ErrorNumber::SocketWouldBlock:
        text = QStringLiteral("The operation would block; try again");
        break;
    case ErrorNumber::SocketInProgress:
        text = QStringLiteral("An operation is already in progress");
        break;
    case ErrorNumber::SocketMessageTooLong:
        text = QStringLiteral("Message too long");
        break;
    case ErrorNumber::SocketNotSupported:
        text = QStringLiteral("Operation not supported");
        break;
    case ErrorNumber::AddressInUse:
        text = QStringLiteral("Address already in use");
        break;
    case ErrorNumber::AddressNotAvailable:
        text = QStringLiteral("Address not available");
        break;
    case ErrorNumber::NetworkUnreachable:
        text = QStringLiteral("Network is unreachable");
        break;
    case ErrorNumber::ConnectionAborted:
        text = QStringLiteral("Connection aborted");
        break;
    case ErrorNumber::ConnectionReset:
        text = QStringLiteral("Connection reset by the remote host");
        break;
    case ErrorNumber::NoBufferSpace:
        text = QStringLiteral("No buffer space available");
        break;
    case ErrorNumber::NotConnected:
        text = QStringLiteral("Socket is not connected");
        break;
    case ErrorNumber::TimedOut:
        text = QStringLiteral("Connection timed out");
        break;
    case ErrorNumber::ConnectionRefused:
        text = QStringLiteral("Connection refused");
        break;
    case ErrorNumber::HostNotFound:
        text = QStringLiteral("Host not found");
        break;
    default:
        text = QStringLiteral("Network is down");
        number = ErrorNumber::NetworkDown;
        break;
    }
    return {number, text};
}

} // namespace corvane
