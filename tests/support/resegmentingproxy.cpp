#include "support/resegmentingproxy.h"

#include <QTcpSocket>
#include <QTimer>

#include <sys/socket.h>

namespace corvane::test {

// What one direction holds, read or queued, before it stops reading its source.
constexpr qint64 Cap = 256 * 1024;

// One direction: what was read from `from` waits in pending until the timer lets a piece go.
struct ResegmentingProxy::Pipe
{
    Pipe(QTcpSocket *source, QTcpSocket *sink, int most) : from(source), to(sink), maxPiece(most) {}
    QTcpSocket *from;
    QTcpSocket *to;
    int maxPiece;
    QByteArray pending;
    QTimer timer;
};

ResegmentingProxy::ResegmentingProxy(quint32 seed) : m_random(seed) {}
ResegmentingProxy::~ResegmentingProxy() = default;

bool ResegmentingProxy::listen(quint16 targetPort)
{
    QObject::connect(&m_server, &QTcpServer::newConnection, &m_server, [this, targetPort] {
        while (QTcpSocket *client = m_server.nextPendingConnection()) {
            auto *upstream = new QTcpSocket(client);
            Pipe *out = m_pipes.emplace_back(new Pipe(client, upstream, maxPiece[0])).get();
            Pipe *back = m_pipes.emplace_back(new Pipe(upstream, client, maxPiece[1])).get();
            // Each piece leaves when it is due: Nagle's algorithm would hold a small one back
            // for the peer's delayed acknowledgement, 40 ms a time.
            client->setSocketOption(QAbstractSocket::LowDelayOption, 1);
            QObject::connect(upstream, &QTcpSocket::connected, upstream, [upstream] {
                upstream->setSocketOption(QAbstractSocket::LowDelayOption, 1);
            });
            for (Pipe *pipe : {out, back}) {
                pipe->from->setReadBufferSize(Cap);
                pipe->timer.setSingleShot(true);
                const auto go = [this, pipe] {
                    schedule(*pipe);
                };
                QObject::connect(&pipe->timer, &QTimer::timeout, &pipe->timer,
                                 [this, pipe] { forward(*pipe); });
                QObject::connect(pipe->from, &QTcpSocket::readyRead, &pipe->timer, go);
                QObject::connect(pipe->from, &QTcpSocket::disconnected, &pipe->timer, go);
                QObject::connect(pipe->to, &QTcpSocket::bytesWritten, &pipe->timer, go);
                QObject::connect(upstream, &QTcpSocket::connected, &pipe->timer, go);
            }
            QObject::connect(upstream, &QTcpSocket::errorOccurred, client, &QTcpSocket::abort);
            upstream->connectToHost(QHostAddress::LocalHost, targetPort);
        }
    });
    return m_server.listen(QHostAddress::LocalHost);
}

void ResegmentingProxy::schedule(Pipe &pipe)
{
    if (pipe.from->isOpen() && pipe.pending.size() < Cap)
        pipe.pending += pipe.from->read(Cap - pipe.pending.size());
    if (pipe.pending.isEmpty() && pipe.from->state() == QAbstractSocket::UnconnectedState) {
        if (pipe.to->isOpen())
            pipe.to->disconnectFromHost();
    } else if (!pipe.timer.isActive() && !pipe.pending.isEmpty() &&
               pipe.to->state() == QAbstractSocket::ConnectedState &&
               pipe.to->bytesToWrite() <= Cap) {
        pipe.timer.start(int(m_random.bounded(3)));
    }
}

void ResegmentingProxy::forward(Pipe &pipe)
{
    qint64 size = pipe.pending.size();
    if (pipe.maxPiece > 0) {
        const bool small = m_random.bounded(4) == 0;
        size = std::min<qint64>(size, 1 + m_random.bounded(small ? 16 : pipe.maxPiece));
    }
    pipe.to->write(pipe.pending.first(size));
    pipe.pending.remove(0, size);
    schedule(pipe);
}

void ResegmentingProxy::dropAll(bool reset)
{
    for (const auto &pipe : m_pipes) { // each socket is the source of one pipe
        const qintptr socket = pipe->from->socketDescriptor();
        if (reset && socket >= 0) {
            // Closing with a zero linger time sends RST instead of FIN.
            const linger hard{1, 0};
            ::setsockopt(int(socket), SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
            pipe->from->abort();
        } else {
            pipe->from->disconnectFromHost();
        }
    }
}

} // namespace corvane::test
