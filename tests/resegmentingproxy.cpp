#include "resegmentingproxy.h"

#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>

#include <sys/socket.h>

#include <algorithm>

namespace corvane {

namespace {
// What a direction may hold in the proxy before it stops reading its source, and what it
// may queue on its destination before it stops cutting: the proxy's memory stays bounded and
// a slow reader slows the writer down, as a real network would.
constexpr qint64 ReadCap = 256 * 1024;
constexpr qint64 WriteCap = 256 * 1024;

int index(ResegmentingProxy::Direction direction)
{
    return direction == ResegmentingProxy::Direction::ToTarget ? 0 : 1;
}

// Closing with a zero linger time sends RST instead of FIN.
void resetOnClose(QTcpSocket *socket)
{
    const qintptr descriptor = socket->socketDescriptor();
    if (descriptor < 0)
        return;
    const linger hard{1, 0};
    ::setsockopt(int(descriptor), SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
}
} // namespace

class ResegmentingProxy::Link
{
public:
    struct Pipe
    {
        Direction direction;
        QTcpSocket *from = nullptr;
        QTcpSocket *to = nullptr;
        QByteArray pending;
        QList<qint64> readSizes; // what each read from the source brought, oldest first
        qint64 count = 0;
        bool sourceFinished = false;
        std::unique_ptr<QTimer> timer;
    };

    Link(ResegmentingProxy *proxy, QTcpSocket *client)
        : m_proxy(proxy), m_client(client), m_upstream(new QTcpSocket(proxy))
    {
        m_pipes[0] = {Direction::ToTarget, m_client, m_upstream, {}, {}, 0, false, {}};
        m_pipes[1] = {Direction::FromTarget, m_upstream, m_client, {}, {}, 0, false, {}};
        for (Pipe &pipe : m_pipes) {
            pipe.timer = std::make_unique<QTimer>();
            pipe.timer->setSingleShot(true);
            pipe.timer->setTimerType(Qt::PreciseTimer);
            QObject::connect(pipe.timer.get(), &QTimer::timeout, pipe.timer.get(),
                             [this, &pipe] { forwardPiece(pipe); });
            QObject::connect(pipe.from, &QTcpSocket::readyRead, pipe.timer.get(),
                             [this, &pipe] { readFrom(pipe); });
            QObject::connect(pipe.to, &QTcpSocket::bytesWritten, pipe.timer.get(),
                             [this, &pipe] { schedule(pipe); });
            QObject::connect(pipe.from, &QTcpSocket::disconnected, pipe.timer.get(),
                             [this, &pipe] { sourceClosed(pipe); });
        }
        for (QTcpSocket *socket : {m_client, m_upstream})
            socket->setReadBufferSize(ReadCap);
        QObject::connect(m_upstream, &QTcpSocket::connected, m_pipes[0].timer.get(), [this] {
            m_upstream->setSocketOption(QAbstractSocket::LowDelayOption, 1);
            for (Pipe &pipe : m_pipes)
                schedule(pipe);
        });
        QObject::connect(m_upstream, &QTcpSocket::errorOccurred, m_pipes[0].timer.get(), [this] {
            if (m_upstream->state() != QAbstractSocket::ConnectedState)
                m_client->abort();
            checkFinished();
        });
        m_client->setSocketOption(QAbstractSocket::LowDelayOption, 1);
        if (!proxy->m_sourceAddress.isNull())
            m_upstream->bind(proxy->m_sourceAddress, 0);
        m_upstream->connectToHost(proxy->m_targetHost, proxy->m_targetPort);
        readFrom(m_pipes[0]);
    }

    ~Link()
    {
        for (Pipe &pipe : m_pipes)
            pipe.timer.reset();
        for (QTcpSocket *socket : {m_client, m_upstream}) {
            socket->disconnect();
            socket->abort();
            socket->deleteLater();
        }
    }

    bool open() const { return !m_dead; }

    void drop(Fault how)
    {
        if (m_dead || m_dropping)
            return;
        m_dropping = true;
        for (QTcpSocket *socket : {m_client, m_upstream}) {
            if (how == Fault::Reset) {
                socket->flush();
                resetOnClose(socket);
                socket->abort();
            } else {
                socket->disconnectFromHost();
            }
        }
        for (Pipe &pipe : m_pipes) {
            pipe.pending.clear();
            pipe.readSizes.clear();
            pipe.timer->stop();
        }
        checkFinished();
    }

private:
    static bool connected(const QTcpSocket *socket)
    {
        return socket->state() == QAbstractSocket::ConnectedState;
    }

    void readFrom(Pipe &pipe)
    {
        if (m_dead || m_dropping)
            return;
        const qint64 room = ReadCap - pipe.pending.size();
        if (room > 0 && pipe.from->bytesAvailable() > 0) {
            const QByteArray read = pipe.from->read(room);
            pipe.pending += read;
            pipe.readSizes.append(read.size());
        }
        schedule(pipe);
    }

    void schedule(Pipe &pipe)
    {
        if (m_dead || m_dropping || pipe.timer->isActive() || !connected(pipe.to))
            return;
        const int d = index(pipe.direction);
        if (m_proxy->m_fault[d] != Fault::None && pipe.count >= m_proxy->m_faultAt[d]) {
            inject(pipe);
            return;
        }
        if (pipe.pending.isEmpty()) {
            if (pipe.sourceFinished && pipe.from->bytesAvailable() == 0)
                pipe.to->disconnectFromHost();
            return;
        }
        if (pipe.to->bytesToWrite() >= WriteCap)
            return;
        const Cutting &cutting = m_proxy->m_cutting[d];
        pipe.timer->start(int(m_proxy->bounded(quint32(cutting.maxDelayMs) + 1)));
    }

    qint64 pieceSize(const Pipe &pipe)
    {
        const Cutting &cutting = m_proxy->m_cutting[index(pipe.direction)];
        if (!cutting.splitReads) {
            const auto merged = qsizetype(1 + m_proxy->bounded(quint32(pipe.readSizes.size())));
            qint64 size = 0;
            for (qsizetype i = 0; i < merged; ++i)
                size += pipe.readSizes.at(i);
            return size;
        }
        const quint32 kind = m_proxy->bounded(100);
        qint64 size = 0;
        if (kind < quint32(cutting.smallPercent))
            size = 1 + m_proxy->bounded(16);
        else if (kind < quint32(cutting.smallPercent) + 25)
            size = pipe.pending.size();
        else
            size = 1 + m_proxy->bounded(quint32(std::max(cutting.maxPiece, 1)));
        return std::clamp<qint64>(size, 1, std::max(cutting.maxPiece, 1));
    }

    void forwardPiece(Pipe &pipe)
    {
        if (m_dead || m_dropping || pipe.pending.isEmpty() || !connected(pipe.to))
            return;
        const int d = index(pipe.direction);
        qint64 size = std::min<qint64>(pieceSize(pipe), pipe.pending.size());
        if (m_proxy->m_fault[d] != Fault::None)
            size = std::min(size, m_proxy->m_faultAt[d] - pipe.count);
        if (size > 0) {
            pipe.to->write(pipe.pending.constData(), size);
            pipe.to->flush();
            pipe.pending.remove(0, size);
            for (qint64 left = size; left > 0 && !pipe.readSizes.isEmpty();) {
                const qint64 taken = std::min(left, pipe.readSizes.first());
                left -= taken;
                if ((pipe.readSizes.first() -= taken) == 0)
                    pipe.readSizes.removeFirst();
            }
            pipe.count += size;
            m_proxy->m_forwarded[d] += size;
            ++m_proxy->m_pieces[d];
        }
        // Bytes that waited in the socket's own buffer bring no new readyRead.
        readFrom(pipe);
    }

    void inject(Pipe &pipe)
    {
        const Fault fault = m_proxy->m_fault[index(pipe.direction)];
        const qint64 at = pipe.count;
        drop(fault);
        emit m_proxy->faultInjected(pipe.direction, at);
    }

    void sourceClosed(Pipe &pipe)
    {
        if (m_dead)
            return;
        pipe.sourceFinished = true;
        readFrom(pipe);
        schedule(pipe);
        checkFinished();
    }

    void checkFinished()
    {
        if (m_dead)
            return;
        const bool clientGone = m_client->state() == QAbstractSocket::UnconnectedState;
        const bool upstreamGone = m_upstream->state() == QAbstractSocket::UnconnectedState;
        // A side that has gone takes the other one with it once its bytes are out.
        if (clientGone && m_pipes[0].pending.isEmpty() && !upstreamGone)
            m_upstream->disconnectFromHost();
        if (upstreamGone && m_pipes[1].pending.isEmpty() && !clientGone)
            m_client->disconnectFromHost();
        if (clientGone && upstreamGone) {
            m_dead = true;
            QMetaObject::invokeMethod(
                m_proxy, [proxy = m_proxy, this] { proxy->removeLink(this); },
                Qt::QueuedConnection);
        }
    }

    ResegmentingProxy *m_proxy;
    QTcpSocket *m_client;
    QTcpSocket *m_upstream;
    Pipe m_pipes[2];
    bool m_dead = false;
    bool m_dropping = false;
};

ResegmentingProxy::ResegmentingProxy(quint32 seed, QObject *parent)
    : QObject(parent), m_seed(seed), m_random(seed), m_server(new QTcpServer(this))
{
    connect(m_server, &QTcpServer::newConnection, this, &ResegmentingProxy::onNewConnection);
}

ResegmentingProxy::~ResegmentingProxy()
{
    m_links.clear();
}

quint32 ResegmentingProxy::seedFromEnvironment()
{
    bool ok = false;
    const quint32 fixed = qEnvironmentVariable("CORVANE_PROXY_SEED").toUInt(&ok);
    return ok ? fixed : QRandomGenerator::global()->generate();
}

void ResegmentingProxy::setCutting(Direction direction, const Cutting &cutting)
{
    m_cutting[index(direction)] = cutting;
}

void ResegmentingProxy::setFault(Direction direction, Fault fault, qint64 bytes)
{
    m_fault[index(direction)] = fault;
    m_faultAt[index(direction)] = bytes;
}

bool ResegmentingProxy::listen(const QString &targetHost, quint16 targetPort)
{
    m_targetHost = targetHost;
    m_targetPort = targetPort;
    if (!m_server->listen(QHostAddress::LocalHost, 0)) {
        m_errorString = m_server->errorString();
        return false;
    }
    return true;
}

quint16 ResegmentingProxy::port() const
{
    return m_server->serverPort();
}

void ResegmentingProxy::dropAll(Fault how)
{
    for (const auto &link : m_links)
        link->drop(how == Fault::None ? Fault::Close : how);
}

int ResegmentingProxy::connectionsOpen() const
{
    return int(std::count_if(m_links.begin(), m_links.end(),
                             [](const auto &link) { return link->open(); }));
}

qint64 ResegmentingProxy::forwarded(Direction direction) const
{
    return m_forwarded[index(direction)];
}

qint64 ResegmentingProxy::pieces(Direction direction) const
{
    return m_pieces[index(direction)];
}

void ResegmentingProxy::onNewConnection()
{
    while (QTcpSocket *client = m_server->nextPendingConnection()) {
        client->setParent(this);
        ++m_accepted;
        m_links.push_back(std::make_unique<Link>(this, client));
    }
}

void ResegmentingProxy::removeLink(Link *link)
{
    std::erase_if(m_links, [link](const auto &owned) { return owned.get() == link; });
}

quint32 ResegmentingProxy::bounded(quint32 highest)
{
    return highest == 0 ? 0 : m_random.bounded(highest);
}

} // namespace corvane
