#pragma once

#include <QRandomGenerator>
#include <QTcpServer>

#include <memory>
#include <vector>

namespace corvane::test {

// A loopback TCP proxy that forwards both directions re-cut at random: pieces of random size
// (several writes may leave as one piece, one write as many), each 0 to 2 ms after the one
// before, so the far side really reads them apart. The same seed and traffic give the same
// cuts. A slow reader slows the writer down, as a network would, so memory stays bounded.
class ResegmentingProxy
{
public:
    enum Direction
    {
        ToTarget,
        FromTarget
    };
    enum class Fault
    {
        Close,
        Reset
    };

    explicit ResegmentingProxy(quint32 seed);
    ~ResegmentingProxy();
    Q_DISABLE_COPY_MOVE(ResegmentingProxy)

    // The largest piece (a quarter of them are 1 to 16 bytes). 0: what the source wrote in one
    // read is never cut, only merged with what follows (messages without a delimiter).
    void setMaxPiece(Direction direction, int bytes) { m_maxPiece[int(direction)] = bytes; }
    bool listen(quint16 targetPort);
    quint16 port() const { return m_server.serverPort(); }
    // Closes or resets both sides of every connection.
    void dropAll(Fault how);

private:
    struct Link;

    QRandomGenerator m_random;
    QTcpServer m_server;
    quint16 m_targetPort = 0;
    int m_maxPiece[2] = {65536, 65536};
    std::vector<std::unique_ptr<Link>> m_links;
};

} // namespace corvane::test
