#include "support/resegmentingproxy.h"

#include <QTcpSocket>
#include <QTimer>

#include <sys/socket.h>

namespace corvane::test {

namespace {
// What one direction holds, read or queued, before it stops reading its source.
constexpr qint64 Cap = 256 * 1024;
} // namespace

struct ResegmentingProxy::Link
{
    // One direction: what was read from `from` waits in pending until its timer lets a piece go.
    struct Pipe
    {
        QTcpSocket *from = nullptr;
        QTcpSocket *to = nullptr;
        int maxPiece = 0;
        QByteArray pending;
        QTimer timer;
    };

    Link(ResegmentingProxy *owner, QTcpSocket *client) : proxy(owner)
    {
        auto *upstream = new QTcpSocket(client);
        pipes[0].from = pipes[1].to = client;
        pipes[0].to = pipes[1].from = upstream;
        for (int i = 0; i < 2; ++i) {
            Pipe &pipe = pipes[i];
            pipe.maxPiece = proxy->m_maxPiece[i];
            pipe.from->setReadBufferSize(Cap);
            pipe.timer.setSingleShot(true);
            const auto go = [this, &pipe] {
                schedule(pipe);
            };
            QObject::connect(&pipe.timer, &QTimer::timeout, &pipe.timer,
                             [this, &pipe] { forward(pipe); });
            QObject::connect(pipe.from, &QTcpSocket::readyRead, &pipe.timer, go);
            QObject::connect(pipe.from, &QTcpSocket::disconnected, &pipe.timer, go);
            QObject::connect(pipe.to, &QTcpSocket::bytesWritten, &pipe.timer, go);
        }
        // Each piece leaves when it is due: Nagle's algorithm would hold a small one back for
        // the peer's delayed acknowledgement, 40 ms a time.
        client->setSocketOption(QAbstractSocket::LowDelayOption, 1);
        QObject::connect(upstream, &QTcpSocket::connected, &pipes[0].timer, [this, upstream] {
            upstream->setSocketOption(QAbstractSocket::LowDelayOption, 1);
            schedule(pipes[0]);
            schedule(pipes[1]);
        });
        QObject::connect(upstream, &QTcpSocket::errorOccurred, &pipes[0].timer,
                         [client] { client->abort(); });
        upstream->connectToHost(QHostAddress::LocalHost, proxy->m_targetPort);
    }
    ~Link() { delete pipes[0].from; }

    void schedule(Pipe &pipe)
    {
        if (pipe.from->isOpen() && pipe.pending.size() < Cap)
            pipe.pending += pipe.from->read(Cap - pipe.pending.size());
        if (pipe.pending.isEmpty() && pipe.from->state() == QAbstractSocket::UnconnectedState) {
            if (pipe.to->isOpen())
                pipe.to->disconnectFromHost();
        } else if (!pipe.timer.isActive() && !pipe.pending.isEmpty() &&
                   pipe.to->state() == QAbstractSocket::ConnectedState &&
                   pipe.to->bytesToWrite() <= Cap) {
            pipe.timer.start(int(proxy->m_random.bounded(3)));
        }
    }

    void forward(Pipe &pipe)
    {
        qint64 size = pipe.pending.size();
        if (pipe.maxPiece > 0) {
            const bool small = proxy->m_random.bounded(4) == 0;
            size = std::min<qint64>(size, 1 + proxy->m_random.bounded(small ? 16 : pipe.maxPiece));
        }
        pipe.to->write(pipe.pending.first(size));
        pipe.pending.remove(0, size);
        schedule(pipe);
    }

    void drop(Fault how)
    {
        for (QTcpSocket *socket : {pipes[0].from, pipes[0].to}) {
            if (how == Fault::Reset && socket->socketDescriptor() >= 0) {
                // Closing with a zero linger time sends RST instead of FIN.
                const linger hard{1, 0};
                ::setsockopt(int(socket->socketDescriptor()), SOL_SOCKET, SO_LINGER, &hard,
                             sizeof hard);
                socket->abort();
            } else {
                socket->disconnectFromHost();
            }
        }
    }

    ResegmentingProxy *proxy;
    Pipe pipes[2];
};

ResegmentingProxy::ResegmentingProxy(quint32 seed) : m_random(seed) {}
ResegmentingProxy::~ResegmentingProxy() = default;

bool ResegmentingProxy::listen(quint16 targetPort)
{
    m_targetPort = targetPort;
    QObject::connect(&m_server, &QTcpServer::newConnection, &m_server, [this] {
        while (QTcpSocket *client = m_server.nextPendingConnection())
            m_links.push_back(std::make_unique<Link>(this, client));
    });
    return m_server.listen(QHostAddress::LocalHost);
}

void ResegmentingProxy::dropAll(Fault how)
{
    for (const auto &link : m_links)
        link->drop(how);
}

} // namespace corvane::test
