#include "protocol/socketendpoint.h"

#include "protocol/errornumber.h"
#include "protocol/socketerror.h"

#include <QHostAddress>
#include <QHostInfo>
#include <QNetworkInterface>
#include <QTcpServer>
#include <QTcpSocket>

#include <cerrno>
#include <sys/socket.h>
#include <unistd.h>

namespace corvane {

namespace {
// Peers reached through a dual-stack listener show up as IPv4-mapped IPv6 addresses;
// hosts expect the plain dotted form.
QString plainAddress(const QHostAddress &address)
{
    bool isIPv4 = false;
    const quint32 ipv4 = address.toIPv4Address(&isIPv4);
    return isIPv4 ? QHostAddress(ipv4).toString() : address.toString();
}

void prepare(QTcpSocket *socket, qint64 readBufferSize)
{
    // Short info messages must not wait for delayed acknowledgements.
    socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
    socket->setReadBufferSize(readBufferSize);
}
} // namespace

SocketEndpoint::SocketEndpoint(QObject *parent) : QObject(parent) {}

SocketEndpoint::~SocketEndpoint()
{
    // A host may delete its component from an event that one of these objects is still
    // emitting: such an object is closed now and deleted once its emission has unwound.
    QList<QObject *> busy{m_socket.data(), m_server};
    for (const auto &[id, request] : m_requests)
        busy.append(request);
    for (QObject *object : busy) {
        if (!object)
            continue;
        object->disconnect(this);
        if (m_notifying == 0)
            continue;
        if (auto *socket = qobject_cast<QTcpSocket *>(object))
            socket->abort();
        else if (auto *server = qobject_cast<QTcpServer *>(object))
            server->close();
        object->setParent(nullptr);
        object->deleteLater();
    }
}

template<typename Handler>
auto SocketEndpoint::notifying(Handler handler)
{
    return [this, handler] {
        const QPointer<SocketEndpoint> self(this);
        ++m_notifying;
        handler();
        if (self)
            --m_notifying;
    };
}

QString SocketEndpoint::RemoteHostIP() const
{
    return m_socket ? plainAddress(m_socket->peerAddress()) : QString();
}

QHostAddress SocketEndpoint::peerAddress() const
{
    return m_socket ? m_socket->peerAddress() : QHostAddress();
}

QString SocketEndpoint::LocalHostName() const
{
    return QHostInfo::localHostName();
}

QString SocketEndpoint::LocalIP() const
{
    for (const QHostAddress &address : QNetworkInterface::allAddresses()) {
        if (address.protocol() == QAbstractSocket::IPv4Protocol && !address.isLoopback())
            return address.toString();
    }
    return QHostAddress(QHostAddress::LocalHost).toString();
}

SocketEndpoint::ConnectionState SocketEndpoint::State() const
{
    if (m_socket) {
        switch (m_socket->state()) {
        case QAbstractSocket::ConnectedState:
            return ConnectionState::Connected;
        case QAbstractSocket::HostLookupState:
        case QAbstractSocket::ConnectingState:
            return ConnectionState::Connecting;
        default:
            break;
        }
    }
    if (m_server && m_server->isListening())
        return ConnectionState::Listening;
    return ConnectionState::Closed;
}

qint64 SocketEndpoint::BytesAvailable() const
{
    return m_socket ? m_socket->bytesAvailable() : 0;
}

qint64 SocketEndpoint::BytesToWrite() const
{
    return m_socket ? m_socket->bytesToWrite() : 0;
}

void SocketEndpoint::setReadBufferSize(qint64 size)
{
    m_readBufferSize = size;
    if (m_socket)
        m_socket->setReadBufferSize(size);
    for (const auto &[id, request] : m_requests)
        request->setReadBufferSize(size);
}

bool SocketEndpoint::fail(int number, const QString &description)
{
    m_lastErrorNumber = number;
    m_lastErrorDescription = description;
    return false;
}

bool SocketEndpoint::fail(const SocketError &error)
{
    return fail(error.number, error.description);
}

void SocketEndpoint::raiseError(const SocketError &error)
{
    m_lastErrorNumber = error.number;
    m_lastErrorDescription = error.description;
    QString description = error.description;
    bool cancelDisplay = false;
    const QString source = objectName().isEmpty() ? QStringLiteral("SocketEndpoint") : objectName();
    emit Error(short(error.number), description, error.number, source, QString(), 0, cancelDisplay);
}

void SocketEndpoint::Close()
{
    if (m_server)
        m_server->close();
    release();
}

void SocketEndpoint::release()
{
    if (!m_socket)
        return;
    QTcpSocket *socket = m_socket;
    m_socket = nullptr;
    socket->disconnect(this);
    // Hand the system what it takes now; the system still delivers that after the close.
    socket->flush();
    socket->abort();
    socket->deleteLater();
}

bool SocketEndpoint::Listen()
{
    Close();
    if (m_localPort < 0 || m_localPort > 65535)
        return fail(SocketError::fromNumber(ErrorNumber::SocketInvalidArgument));
    if (!m_server) {
        m_server = new QTcpServer(this);
        connect(m_server, &QTcpServer::newConnection, this,
                notifying([this] { onNewConnection(); }));
    }
    if (!m_server->listen(QHostAddress::Any, quint16(m_localPort)))
        return fail(SocketError::fromQt(m_server->serverError()));
    m_localPort = m_server->serverPort();
    return true;
}

void SocketEndpoint::onNewConnection()
{
    QPointer<SocketEndpoint> self(this);
    while (self && m_server && m_server->hasPendingConnections()) {
        QTcpSocket *socket = m_server->nextPendingConnection();
        socket->setParent(this);
        prepare(socket, m_readBufferSize);
        const int id = m_nextRequestID++;
        m_requests.emplace(id, socket);
        emit ConnectionRequest(id);
        if (!self)
            return;
        // Not accepted during its notification: refused.
        if (const auto it = m_requests.find(id); it != m_requests.end()) {
            it->second->abort();
            it->second->deleteLater();
            m_requests.erase(it);
        }
    }
}

void SocketEndpoint::refuseWaiting()
{
    if (!m_server || !m_server->isListening())
        return;
    // Qt takes waiting connections from the system only when it next looks; take them first.
    const int listener = int(m_server->socketDescriptor());
    for (;;) {
        const int connection = ::accept4(listener, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (connection >= 0)
            ::close(connection);
        else if (errno != EINTR)
            break;
    }
}

QString SocketEndpoint::RequestHostIP(int requestID) const
{
    const auto it = m_requests.find(requestID);
    return it == m_requests.end() ? QString() : plainAddress(it->second->peerAddress());
}

bool SocketEndpoint::Accept(int requestID)
{
    const auto it = m_requests.find(requestID);
    if (it == m_requests.end())
        return fail(SocketError::fromNumber(ErrorNumber::SocketInvalidArgument));
    QTcpSocket *socket = it->second;
    m_requests.erase(it);
    release();
    adopt(socket);
    if (socket->bytesAvailable() > 0)
        queueArrival();
    if (socket->state() != QAbstractSocket::ConnectedState) {
        // Closed while it waited to be accepted; told only if it is still this endpoint's.
        QMetaObject::invokeMethod(
            this,
            [this, socket = QPointer<QTcpSocket>(socket)] {
                if (socket && socket == m_socket)
                    onDisconnected();
            },
            Qt::QueuedConnection);
    }
    return true;
}

bool SocketEndpoint::Connect()
{
    return Connect(QHostAddress());
}

bool SocketEndpoint::Connect(const QHostAddress &address)
{
    Close();
    if (address.isNull() && m_remoteHost.trimmed().isEmpty())
        return fail(ErrorNumber::AddressNotAvailable, QStringLiteral("No remote host is set"));
    if (m_remotePort < 1 || m_remotePort > 65535)
        return fail(SocketError::fromNumber(ErrorNumber::SocketInvalidArgument));
    auto *socket = new QTcpSocket(this);
    adopt(socket);
    connect(socket, &QTcpSocket::connected, this, [this, socket] {
        prepare(socket, m_readBufferSize);
        emit Connected();
    });
    if (address.isNull())
        socket->connectToHost(m_remoteHost.trimmed(), quint16(m_remotePort));
    else
        socket->connectToHost(address, quint16(m_remotePort));
    return true;
}

void SocketEndpoint::adopt(QTcpSocket *socket)
{
    m_socket = socket;
    socket->setReadBufferSize(m_readBufferSize);
    connect(socket, &QTcpSocket::readyRead, this, notifying([this] { onReadyRead(); }));
    connect(socket, &QTcpSocket::bytesWritten, this,
            [this](qint64 bytes) { notifying([this, bytes] { onBytesWritten(bytes); })(); });
    connect(socket, &QTcpSocket::errorOccurred, this, notifying([this] { onSocketError(); }));
    connect(socket, &QTcpSocket::disconnected, this, notifying([this] { onDisconnected(); }));
}

bool SocketEndpoint::SendData(const QString &text)
{
    return SendData(text.toLocal8Bit());
}

bool SocketEndpoint::SendData(const QByteArray &bytes)
{
    if (!m_socket || m_socket->state() != QAbstractSocket::ConnectedState)
        return fail(SocketError::fromNumber(ErrorNumber::NotConnected));
    // Copied into the socket's buffer rather than kept as a block of its own: the socket
    // writes one block per pass of the event loop, so small blocks would throttle streaming.
    if (m_socket->write(bytes.constData(), bytes.size()) != bytes.size())
        return fail(SocketError::fromQt(m_socket->error()));
    emit DataQueued(bytes.size());
    return true;
}

QString SocketEndpoint::GetText()
{
    return m_socket ? QString::fromLocal8Bit(m_socket->readAll()) : QString();
}

QByteArray SocketEndpoint::GetBytes(qint64 maxCount)
{
    if (!m_socket)
        return {};
    return maxCount < 0 ? m_socket->readAll() : m_socket->read(maxCount);
}

void SocketEndpoint::onReadyRead()
{
    if (m_inArrival) {
        // A handler is still busy with the previous arrival; it is told again afterwards.
        m_arrivalDeferred = true;
        return;
    }
    QPointer<QTcpSocket> socket(m_socket);
    if (!socket)
        return;
    const qint64 waiting = socket->bytesAvailable();
    if (waiting <= 0)
        return;
    QPointer<SocketEndpoint> self(this);
    m_inArrival = true;
    m_arrivalDeferred = false;
    emit DataArrival(waiting);
    if (!self)
        return;
    m_inArrival = false;
    if (socket != m_socket || !socket)
        return;
    const qint64 left = socket->bytesAvailable();
    if (left > 0 && (left < waiting || m_arrivalDeferred))
        queueArrival();
}

void SocketEndpoint::queueArrival()
{
    if (m_arrivalQueued)
        return;
    m_arrivalQueued = true;
    QMetaObject::invokeMethod(
        this,
        [this] {
            m_arrivalQueued = false;
            onReadyRead();
        },
        Qt::QueuedConnection);
}

void SocketEndpoint::onBytesWritten(qint64 bytes)
{
    if (m_socket)
        emit SendProgress(bytes, m_socket->bytesToWrite());
}

void SocketEndpoint::onSocketError()
{
    if (!m_socket)
        return;
    const QAbstractSocket::SocketError error = m_socket->error();
    // An orderly close by the peer is a close, not an error, unless bytes we queued were lost.
    if (error == QAbstractSocket::RemoteHostClosedError && m_socket->bytesToWrite() == 0)
        return;
    raiseError(SocketError::fromQt(error));
}

void SocketEndpoint::onDisconnected()
{
    emit Closed();
}

} // namespace corvane
