#include "protocol/socketerror.h"

#include "protocol/errornumber.h"

#include <array>

namespace corvane {

namespace {
using Qt = QAbstractSocket::SocketError;

struct Row
{
    int number;
    const char *name;
    const char *description;
    Qt qtError; // UnknownSocketError: no Qt error maps here
};

// Every socket failure a host can see: the classic number, its name and a plain sentence.
constexpr std::array<Row, 17> Table{{
    {ErrorNumber::SocketPermissionDenied, "PermissionDenied", "Permission denied",
     Qt::SocketAccessError},
    {ErrorNumber::SocketInvalidArgument, "InvalidArgument", "Invalid argument",
     Qt::OperationError},
    {ErrorNumber::SocketWouldBlock, "WouldBlock", "The operation would block; try again",
     Qt::TemporaryError},
    {ErrorNumber::SocketInProgress, "InProgress", "An operation is already in progress",
     Qt::UnfinishedSocketOperationError},
    {ErrorNumber::SocketMessageTooLong, "MessageTooLong", "Message too long",
     Qt::DatagramTooLargeError},
    {ErrorNumber::SocketNotSupported, "NotSupported", "Operation not supported",
     Qt::UnsupportedSocketOperationError},
    {ErrorNumber::AddressInUse, "AddressInUse", "Address already in use", Qt::AddressInUseError},
    {ErrorNumber::AddressNotAvailable, "AddressNotAvailable", "Address not available",
     Qt::SocketAddressNotAvailableError},
    {ErrorNumber::NetworkDown, "NetworkDown", "Network is down", Qt::UnknownSocketError},
    {ErrorNumber::NetworkUnreachable, "NetworkUnreachable", "Network is unreachable",
     Qt::NetworkError},
    {ErrorNumber::ConnectionAborted, "ConnectionAborted", "Connection aborted",
     Qt::UnknownSocketError},
    {ErrorNumber::ConnectionReset, "ConnectionReset", "Connection reset by the remote host",
     Qt::RemoteHostClosedError},
    {ErrorNumber::NoBufferSpace, "NoBufferSpace", "No buffer space available",
     Qt::SocketResourceError},
    {ErrorNumber::NotConnected, "NotConnected", "Socket is not connected", Qt::UnknownSocketError},
    {ErrorNumber::TimedOut, "TimedOut", "Connection timed out", Qt::SocketTimeoutError},
    {ErrorNumber::ConnectionRefused, "ConnectionRefused", "Connection refused",
     Qt::ConnectionRefusedError},
    {ErrorNumber::HostNotFound, "HostNotFound", "Host not found", Qt::HostNotFoundError},
}};

// What a failure that no row names becomes.
constexpr const Row &Fallback = Table[8];

SocketError fromRow(const Row &row)
{
    return {row.number, QString::fromLatin1(row.name), QString::fromLatin1(row.description)};
}
} // namespace

SocketError SocketError::fromQt(QAbstractSocket::SocketError error)
{
    for (const Row &row : Table) {
        if (row.qtError == error && error != Qt::UnknownSocketError)
            return fromRow(row);
    }
    return fromRow(Fallback);
}

SocketError SocketError::fromNumber(int number)
{
    for (const Row &row : Table) {
        if (row.number == number)
            return fromRow(row);
    }
    return fromRow(Fallback);
}

} // namespace corvane
