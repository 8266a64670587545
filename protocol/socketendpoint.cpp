#include "protocol/socketendpoint.h"

#include "protocol/errornumber.h"
#include "protocol/socketerror.h"

#include <QHostAddress>
#include <QHostInfo>
#include <QNetworkInterface>
#include <QPointer>
#include <QTcpServer>
#include <QTcpSocket>

#include <cerrno>
#include <map>
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

class SocketEndpoint::Private
{
public:
    explicit Private(SocketEndpoint *q) : q(q) {}

    bool fail(int number, const QString &description);
    bool fail(const SocketError &error);
    void raiseError(const SocketError &error);
    void adopt(QTcpSocket *socket);
    void release();
    void onNewConnection();
    void onReadyRead();
    void queueArrival();
    void onBytesWritten(qint64 bytes);
    void onSocketError();
    void onDisconnected();
    // The handler, counted as a notification in progress while it runs.
    template<typename Handler>
    auto notifying(Handler handler);

    SocketEndpoint *const q;
    QTcpServer *server = nullptr;
    QPointer<QTcpSocket> socket;
    std::map<int, QTcpSocket *> requests;
    int nextRequestID = 1;
    int localPort = 0;
    QString remoteHost;
    int remotePort = 0;
    qint64 readBufferSize = 0;
    int lastErrorNumber = 0;
    QString lastErrorDescription;
    bool inArrival = false;
    bool arrivalDeferred = false;
    bool arrivalQueued = false;
    int notifyingCount = 0;
};

SocketEndpoint::SocketEndpoint(QObject *parent)
    : QObject(parent), d(std::make_unique<Private>(this))
{}

SocketEndpoint::~SocketEndpoint()
{
    // A host may delete its component from an event that one of these objects is still
    // emitting: such an object is closed now and deleted once its emission has unwound.
    QList<QObject *> busy{d->socket.data(), d->server};
    for (const auto &[id, request] : d->requests)
        busy.append(request);
    for (QObject *object : busy) {
        if (!object)
            continue;
        object->disconnect(this);
        if (d->notifyingCount == 0)
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
auto SocketEndpoint::Private::notifying(Handler handler)
{
    return [this, handler] {
        const QPointer<SocketEndpoint> self(q);
        ++notifyingCount;
        handler();
        if (self)
            --notifyingCount;
    };
}

int SocketEndpoint::LocalPort() const
{
    return d->localPort;
}

void SocketEndpoint::setLocalPort(int port)
{
    d->localPort = port;
}

QString SocketEndpoint::RemoteHost() const
{
    return d->remoteHost;
}

void SocketEndpoint::setRemoteHost(const QString &host)
{
    d->remoteHost = host;
}

int SocketEndpoint::RemotePort() const
{
    return d->remotePort;
}

void SocketEndpoint::setRemotePort(int port)
{
    d->remotePort = port;
}

QString SocketEndpoint::RemoteHostIP() const
{
    return d->socket ? plainAddress(d->socket->peerAddress()) : QString();
}

QHostAddress SocketEndpoint::peerAddress() const
{
    return d->socket ? d->socket->peerAddress() : QHostAddress();
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
    if (d->socket) {
        switch (d->socket->state()) {
        case QAbstractSocket::ConnectedState:
            return ConnectionState::Connected;
        case QAbstractSocket::HostLookupState:
        case QAbstractSocket::ConnectingState:
            return ConnectionState::Connecting;
        default:
            break;
        }
    }
    if (d->server && d->server->isListening())
        return ConnectionState::Listening;
    return ConnectionState::Closed;
}

qint64 SocketEndpoint::BytesAvailable() const
{
    return d->socket ? d->socket->bytesAvailable() : 0;
}

qint64 SocketEndpoint::BytesToWrite() const
{
    return d->socket ? d->socket->bytesToWrite() : 0;
}

int SocketEndpoint::LastErrorNumber() const
{
    return d->lastErrorNumber;
}

QString SocketEndpoint::LastErrorDescription() const
{
    return d->lastErrorDescription;
}

void SocketEndpoint::setReadBufferSize(qint64 size)
{
    d->readBufferSize = size;
    if (d->socket)
        d->socket->setReadBufferSize(size);
    for (const auto &[id, request] : d->requests)
        request->setReadBufferSize(size);
}

bool SocketEndpoint::Private::fail(int number, const QString &description)
{
    lastErrorNumber = number;
    lastErrorDescription = description;
    return false;
}

bool SocketEndpoint::Private::fail(const SocketError &error)
{
    return fail(error.number, error.description);
}

void SocketEndpoint::Private::raiseError(const SocketError &error)
{
    lastErrorNumber = error.number;
    lastErrorDescription = error.description;
    QString description = error.description;
    bool cancelDisplay = false;
    const QString source =
        q->objectName().isEmpty() ? QStringLiteral("SocketEndpoint") : q->objectName();
    emit q->Error(short(error.number), description, error.number, source, QString(), 0,
                  cancelDisplay);
}

void SocketEndpoint::Close()
{
    if (d->server)
        d->server->close();
    d->release();
}

void SocketEndpoint::Private::release()
{
    if (!socket)
        return;
    QTcpSocket *released = socket;
    socket = nullptr;
    released->disconnect(q);
    // Hand the system what it takes now; the system still delivers that after the close.
    released->flush();
    released->abort();
    released->deleteLater();
}

bool SocketEndpoint::Listen()
{
    Close();
    if (d->localPort < 0 || d->localPort > 65535)
        return d->fail(SocketError::fromNumber(ErrorNumber::SocketInvalidArgument));
    if (!d->server) {
        d->server = new QTcpServer(this);
        connect(d->server, &QTcpServer::newConnection, this,
                d->notifying([this] { d->onNewConnection(); }));
    }
    if (!d->server->listen(QHostAddress::Any, quint16(d->localPort)))
        return d->fail(SocketError::fromQt(d->server->serverError()));
    d->localPort = d->server->serverPort();
    return true;
}

void SocketEndpoint::Private::onNewConnection()
{
    QPointer<SocketEndpoint> self(q);
    while (self && server && server->hasPendingConnections()) {
        QTcpSocket *pending = server->nextPendingConnection();
        pending->setParent(q);
        prepare(pending, readBufferSize);
        const int id = nextRequestID++;
        requests.emplace(id, pending);
        emit q->ConnectionRequest(id);
        if (!self)
            return;
        // Not accepted during its notification: refused.
        if (const auto it = requests.find(id); it != requests.end()) {
            it->second->abort();
            it->second->deleteLater();
            requests.erase(it);
        }
    }
}

void SocketEndpoint::refuseWaiting()
{
    if (!d->server || !d->server->isListening())
        return;
    // Qt takes waiting connections from the system only when it next looks; take them first.
    const int listener = int(d->server->socketDescriptor());
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
    const auto it = d->requests.find(requestID);
    return it == d->requests.end() ? QString() : plainAddress(it->second->peerAddress());
}

bool SocketEndpoint::Accept(int requestID)
{
    const auto it = d->requests.find(requestID);
    if (it == d->requests.end())
        return d->fail(SocketError::fromNumber(ErrorNumber::SocketInvalidArgument));
    QTcpSocket *socket = it->second;
    d->requests.erase(it);
    d->release();
    d->adopt(socket);
    if (socket->bytesAvailable() > 0)
        d->queueArrival();
    if (socket->state() != QAbstractSocket::ConnectedState) {
        // Closed while it waited to be accepted; told only if it is still this endpoint's.
        QMetaObject::invokeMethod(
            this,
            [this, socket = QPointer<QTcpSocket>(socket)] {
                if (socket && socket == d->socket)
                    d->onDisconnected();
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
    if (address.isNull() && d->remoteHost.trimmed().isEmpty())
        return d->fail(ErrorNumber::AddressNotAvailable, QStringLiteral("No remote host is set"));
    if (d->remotePort < 1 || d->remotePort > 65535)
        return d->fail(SocketError::fromNumber(ErrorNumber::SocketInvalidArgument));
    auto *socket = new QTcpSocket(this);
    d->adopt(socket);
    connect(socket, &QTcpSocket::connected, this, [this, socket] {
        prepare(socket, d->readBufferSize);
        emit Connected();
    });
    if (address.isNull())
        socket->connectToHost(d->remoteHost.trimmed(), quint16(d->remotePort));
    else
        socket->connectToHost(address, quint16(d->remotePort));
    return true;
}

void SocketEndpoint::Private::adopt(QTcpSocket *adopted)
{
    socket = adopted;
    adopted->setReadBufferSize(readBufferSize);
    QObject::connect(adopted, &QTcpSocket::readyRead, q, notifying([this] { onReadyRead(); }));
    QObject::connect(adopted, &QTcpSocket::bytesWritten, q, [this](qint64 bytes) {
        notifying([this, bytes] { onBytesWritten(bytes); })();
    });
    QObject::connect(adopted, &QTcpSocket::errorOccurred, q,
                     notifying([this] { onSocketError(); }));
    QObject::connect(adopted, &QTcpSocket::disconnected, q,
                     notifying([this] { onDisconnected(); }));
}

bool SocketEndpoint::SendData(const QString &text)
{
    return SendData(text.toLocal8Bit());
}

bool SocketEndpoint::SendData(const QByteArray &bytes)
{
    if (!d->socket || d->socket->state() != QAbstractSocket::ConnectedState)
        return d->fail(SocketError::fromNumber(ErrorNumber::NotConnected));
    // Copied into the socket's buffer rather than kept as a block of its own: the socket
    // writes one block per pass of the event loop, so small blocks would throttle streaming.
    if (d->socket->write(bytes.constData(), bytes.size()) != bytes.size())
        return d->fail(SocketError::fromQt(d->socket->error()));
    emit DataQueued(bytes.size());
    return true;
}

QString SocketEndpoint::GetText()
{
    return d->socket ? QString::fromLocal8Bit(d->socket->readAll()) : QString();
}

QByteArray SocketEndpoint::GetBytes(qint64 maxCount)
{
    if (!d->socket)
        return {};
    return maxCount < 0 ? d->socket->readAll() : d->socket->read(maxCount);
}

void SocketEndpoint::Private::onReadyRead()
{
    if (inArrival) {
        // A handler is still busy with the previous arrival; it is told again afterwards.
        arrivalDeferred = true;
        return;
    }
    QPointer<QTcpSocket> current(socket);
    if (!current)
        return;
    const qint64 waiting = current->bytesAvailable();
    if (waiting <= 0)
        return;
    QPointer<SocketEndpoint> self(q);
    inArrival = true;
    arrivalDeferred = false;
    emit q->DataArrival(waiting);
    if (!self)
        return;
    inArrival = false;
    if (current != socket || !current)
        return;
    const qint64 left = current->bytesAvailable();
    if (left > 0 && (left < waiting || arrivalDeferred))
        queueArrival();
}

void SocketEndpoint::Private::queueArrival()
{
    if (arrivalQueued)
        return;
    arrivalQueued = true;
    QMetaObject::invokeMethod(
        q,
        [this] {
            arrivalQueued = false;
            onReadyRead();
        },
        Qt::QueuedConnection);
}

void SocketEndpoint::Private::onBytesWritten(qint64 bytes)
{
    if (socket)
        emit q->SendProgress(bytes, socket->bytesToWrite());
}

void SocketEndpoint::Private::onSocketError()
{
    if (!socket)
        return;
    const QAbstractSocket::SocketError error = socket->error();
    // An orderly close by the peer is a close, not an error, unless bytes we queued were lost.
    if (error == QAbstractSocket::RemoteHostClosedError && socket->bytesToWrite() == 0)
        return;
    raiseError(SocketError::fromQt(error));
}

void SocketEndpoint::Private::onDisconnected()
{
    emit q->Closed();
}

} // namespace corvane
