#pragma once

#include <QObject>
#include <QRandomGenerator>

#include <memory>
#include <vector>

class QTcpServer;

namespace corvane::test {

// A loopback TCP proxy that forwards both directions re-cut at random: pieces of random size
// (several writes may leave as one piece, one write as many), each leaving 0 to maxDelayMs
// after the previous one, so the far side really reads them apart. The same seed and traffic
// give the same cuts. It can also break connections: after a number of bytes in one
// direction, or all at once, it closes or resets both sides. Memory stays bounded: a slow
// reader slows the writer down, as a network would.
class ResegmentingProxy final : public QObject
{
    Q_OBJECT

public:
    enum class Direction
    {
        ToTarget,
        FromTarget
    };
    enum class Fault
    {
        None,
        Close,
        Reset
    };

    struct Cutting
    {
        int maxPiece = 65536;
        int maxDelayMs = 2;
        int smallPercent = 25; // share of pieces of 1 to 16 bytes
        // False: what the source wrote in one read is never cut, only merged with what
        // follows (for a channel whose messages have no delimiter).
        bool splitReads = true;
    };

    explicit ResegmentingProxy(quint32 seed, QObject *parent = nullptr);
    ~ResegmentingProxy() override;
    Q_DISABLE_COPY_MOVE(ResegmentingProxy)

    void setCutting(Direction direction, const Cutting &cutting);
    // Applies to connections accepted from now on.
    void setFault(Direction direction, Fault fault, qint64 afterBytes);
    bool listen(quint16 targetPort);
    quint16 port() const;
    void dropAll(Fault how);

private:
    class Link;
    void onNewConnection();

    QRandomGenerator m_random;
    QTcpServer *m_server = nullptr;
    quint16 m_targetPort = 0;
    Cutting m_cutting[2];
    Fault m_fault[2] = {Fault::None, Fault::None};
    qint64 m_faultAt[2] = {0, 0};
    std::vector<std::unique_ptr<Link>> m_links;
};

} // namespace corvane::test
