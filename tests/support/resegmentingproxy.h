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
    explicit ResegmentingProxy(quint32 seed);
    ~ResegmentingProxy();
    Q_DISABLE_COPY_MOVE(ResegmentingProxy)

    bool listen(quint16 targetPort);
    quint16 port() const { return m_server.serverPort(); }
    // Closes (or resets) both sides of every connection.
    void dropAll(bool reset);

    // The largest piece toward the target [0] and back [1], for connections made after; a
    // quarter of the pieces are 1 to 16 bytes. 0: what the source wrote in one read is never
    // cut, only merged with what follows (messages without a delimiter).
    int maxPiece[2] = {65536, 65536};

private:
    struct Pipe;
    void schedule(Pipe &pipe);
    void forward(Pipe &pipe);

    QRandomGenerator m_random;
    QTcpServer m_server;
    std::vector<std::unique_ptr<Pipe>> m_pipes;
};

} // namespace corvane::test
