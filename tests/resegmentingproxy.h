#pragma once

#include <QHostAddress>
#include <QObject>
#include <QRandomGenerator>
#include <QString>

#include <memory>
#include <vector>

class QTcpServer;

namespace corvane {

// A loopback TCP proxy for tests. It listens on 127.0.0.1 (a free port), opens one connection
// to the target for every connection it accepts, and forwards both directions re-cut at
// random points: pieces are taken from what has arrived in random sizes, so several writes of
// a peer may go out as one piece and one write as many, and each piece leaves on a timer of
// its own so that the pieces really reach the other side apart. The cuts come from one seeded
// generator: the same seed and the same traffic give the same cuts.
//
// It can also break a connection on purpose: after a given number of bytes has been forwarded
// in one direction it closes both sides of that connection, or resets them.
//
// Everything runs from the event loop; nothing waits.
class ResegmentingProxy final : public QObject
{
    Q_OBJECT

public:
    enum class Direction
    {
        ToTarget,
        FromTarget
    };
    Q_ENUM(Direction)
    enum class Fault
    {
        None,
        Close,
        Reset
    };
    Q_ENUM(Fault)

    // How the pieces of one direction are cut.
    struct Cutting
    {
        int maxPiece = 65536;  // largest piece forwarded at once
        int maxDelayMs = 2;    // a piece leaves 0 to this many milliseconds after the previous
        int smallPercent = 25; // share of pieces of 1 to 16 bytes
        // False: what the source wrote in one piece is never cut, only merged with what
        // follows (for a channel whose messages have no delimiter).
        bool splitReads = true;
    };

    explicit ResegmentingProxy(quint32 seed, QObject *parent = nullptr);
    ~ResegmentingProxy() override;
    Q_DISABLE_COPY_MOVE(ResegmentingProxy)

    // A seed for a new proxy: CORVANE_PROXY_SEED when it is set (to replay a failure), else a
    // random one.
    static quint32 seedFromEnvironment();

    quint32 seed() const { return m_seed; }

    void setCutting(Direction direction, const Cutting &cutting);
    // Connections to the target are made from this local address (default: any).
    void setSourceAddress(const QHostAddress &address) { m_sourceAddress = address; }
    // After `bytes` have been forwarded in `direction` on one connection, that connection is
    // closed (both sides) or reset (both sides, with RST). Applies to connections accepted later.
    void setFault(Direction direction, Fault fault, qint64 bytes);

    bool listen(const QString &targetHost, quint16 targetPort);
    quint16 port() const;

    // Closes every connection at once (both sides), as a vanished peer would.
    void dropAll(Fault how);

    int connectionsAccepted() const { return m_accepted; }
    int connectionsOpen() const;
    qint64 forwarded(Direction direction) const;
    // Pieces written in a direction so far, over all connections.
    qint64 pieces(Direction direction) const;
    QString errorString() const { return m_errorString; }

signals:
    void faultInjected(ResegmentingProxy::Direction direction, qint64 atByte);

private:
    class Link;
    friend class Link;

    void onNewConnection();
    void removeLink(Link *link);
    quint32 bounded(quint32 highest);

    quint32 m_seed = 0;
    QRandomGenerator m_random;
    QTcpServer *m_server = nullptr;
    QString m_targetHost;
    quint16 m_targetPort = 0;
    QHostAddress m_sourceAddress;
    Cutting m_cutting[2];
    Fault m_fault[2] = {Fault::None, Fault::None};
    qint64 m_faultAt[2] = {0, 0};
    std::vector<std::unique_ptr<Link>> m_links;
    int m_accepted = 0;
    qint64 m_forwarded[2] = {0, 0};
    qint64 m_pieces[2] = {0, 0};
    QString m_errorString;
};

} // namespace corvane
