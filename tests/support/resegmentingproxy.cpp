#include "support/resegmentingproxy.h"

#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>

#include <sys/socket.h>

namespace corvane::test {

namespace {
// What one direction holds, read or queued, before it stops reading its source.
constexpr qint64 Cap = 256 * 1024;

void breakOff(QTcpSocket *socket, ResegmentingProxy::Fault how)
{
    if (how == ResegmentingProxy::Fault::Reset && socket->socketDescriptor() >= 0) {
        // Closing with a zero linger time sends RST instead of FIN.
        const linger hard{1, 0};
        ::setsockopt(int(socket->socketDescriptor()), SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
        socket->abort();
    } else {
        socket->disconnectFromHost();
    }
}
} // namespace

class ResegmentingProxy::Link
{
public:
    struct Pipe
    {
        QTcpSocket *from = nullptr;
        QTcpSocket *to = nullptr;
        QByteArray pending;
        qint64 forwarded = 0;
        Cutting cutting;
        Fault fault = Fault::None;
        qint64 faultAt = 0;
        QTimer timer;
    };

    Link(ResegmentingProxy *proxy, QTcpSocket *client) : m_proxy(proxy)
    {
        auto *upstream = new QTcpSocket(client);
        m_pipes[0].from = m_pipes[1].to = client;
        m_pipes[0].to = m_pipes[1].from = upstream;
        for (int i = 0; i < 2; ++i) {
            Pipe &pipe = m_pipes[i];
            pipe.cutting = proxy->m_cutting[i];
            pipe.fault = proxy->m_fault[i];
            pipe.faultAt = proxy->m_faultAt[i];
            pipe.from->setReadBufferSize(Cap);
            pipe.timer.setSingleShot(true);
            QObject::connect(&pipe.timer, &QTimer::timeout, &pipe.timer,
                             [this, &pipe] { forward(pipe); });
            QObject::connect(pipe.from, &QTcpSocket::readyRead, &pipe.timer,
                             [this, &pipe] { schedule(pipe); });
            QObject::connect(pipe.to, &QTcpSocket::bytesWritten, &pipe.timer,
                             [this, &pipe] { schedule(pipe); });
            QObject::connect(pipe.from, &QTcpSocket::disconnected, &pipe.timer,
                             [this, &pipe] { schedule(pipe); });
        }
        // Each piece leaves when it is due: Nagle's algorithm would hold a small one back
        // for the peer's delayed acknowledgement, 40 ms a time.
        client->setSocketOption(QAbstractSocket::LowDelayOption, 1);
        QObject::connect(upstream, &QTcpSocket::connected, &m_pipes[0].timer, [this, upstream] {
            upstream->setSocketOption(QAbstractSocket::LowDelayOption, 1);
            schedule(m_pipes[0]);
            schedule(m_pipes[1]);
        });
        QObject::connect(upstream, &QTcpSocket::errorOccurred, &m_pipes[0].timer,
                         [client] { client->abort(); });
        upstream->connectToHost(QHostAddress::LocalHost, proxy->m_targetPort);
    }
    ~Link() { delete m_pipes[0].from; }

    void drop(Fault how)
    {
        breakOff(m_pipes[0].from, how);
        breakOff(m_pipes[0].to, how);
    }

private:
    void schedule(Pipe &pipe)
    {
        if (pipe.from->isOpen() && pipe.pending.size() < Cap)
            pipe.pending += pipe.from->read(Cap - pipe.pending.size());
        const bool sourceGone = pipe.from->state() == QAbstractSocket::UnconnectedState;
        if (pipe.pending.isEmpty() && sourceGone && pipe.from->bytesAvailable() == 0) {
            if (pipe.to->isOpen())
                pipe.to->disconnectFromHost();
            return;
        }
        if (pipe.timer.isActive() || pipe.pending.isEmpty() ||
            pipe.to->state() != QAbstractSocket::ConnectedState || pipe.to->bytesToWrite() > Cap)
            return;
        pipe.timer.start(int(m_proxy->m_random.bounded(pipe.cutting.maxDelayMs + 1)));
    }

    void forward(Pipe &pipe)
    {
        qint64 size = pipe.pending.size();
        if (pipe.cutting.splitReads) {
            const bool small = int(m_proxy->m_random.bounded(100)) < pipe.cutting.smallPercent;
            size = std::min<qint64>(
                size, 1 + m_proxy->m_random.bounded(small ? 16 : quint32(pipe.cutting.maxPiece)));
        }
        if (pipe.fault != Fault::None)
            size = std::min(size, pipe.faultAt - pipe.forwarded);
        pipe.to->write(pipe.pending.first(size));
        pipe.pending.remove(0, size);
        pipe.forwarded += size;
        if (pipe.fault != Fault::None && pipe.forwarded >= pipe.faultAt) {
            pipe.to->flush();
            drop(pipe.fault);
            return;
        }
        schedule(pipe);
    }

    ResegmentingProxy *m_proxy;
    Pipe m_pipes[2];
};

ResegmentingProxy::ResegmentingProxy(quint32 seed, QObject *parent)
    : QObject(parent), m_random(seed), m_server(new QTcpServer(this))
{
    connect(m_server, &QTcpServer::newConnection, this, &ResegmentingProxy::onNewConnection);
}

ResegmentingProxy::~ResegmentingProxy() = default;

void ResegmentingProxy::setCutting(Direction direction, const Cutting &cutting)
{
    m_cutting[int(direction)] = cutting;
}

void ResegmentingProxy::setFault(Direction direction, Fault fault, qint64 afterBytes)
{
    m_fault[int(direction)] = fault;
    m_faultAt[int(direction)] = afterBytes;
}

bool ResegmentingProxy::listen(quint16 targetPort)
{
    m_targetPort = targetPort;
    return m_server->listen(QHostAddress::LocalHost);
}

quint16 ResegmentingProxy::port() const
{
    return m_server->serverPort();
}

void ResegmentingProxy::dropAll(Fault how)
{
    for (const auto &link : m_links)
        link->drop(how);
}

void ResegmentingProxy::onNewConnection()
{
    while (QTcpSocket *client = m_server->nextPendingConnection()) {
        client->setParent(nullptr);
        m_links.push_back(std::make_unique<Link>(this, client));
    }
}

} // namespace corvane::test
