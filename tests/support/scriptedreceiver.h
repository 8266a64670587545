#pragma once

#include <QPointer>
#include <QStringList>
#include <QTcpServer>
#include <QTcpSocket>

namespace corvane::test {

// A receiver made of plain sockets on loopback: it listens on both ports, keeps what arrives
// and lets a test answer on the info channel by hand.
class ScriptedReceiver
{
public:
    bool listen();
    void say(const QByteArray &code) { infoPeer->write(code); }
    // Reads on the binary channel again and takes what waits there.
    void drainBinary();
    // Until size bytes came on the binary channel. It waits on the socket's signal: a polling
    // wait sleeps between turns and would throttle the stream.
    bool waitForBinary(qint64 size, int timeoutMs);
    // True once the other side closed the channel; reads what is still queued, for without
    // reading the close cannot be seen.
    bool closedByPeer(const QPointer<QTcpSocket> &socket);

    QTcpServer info;
    QTcpServer binary;
    QPointer<QTcpSocket> infoPeer;
    QPointer<QTcpSocket> binaryPeer;
    QByteArray infoBytes;
    QByteArray binaryBytes;
    int binaryConnections = 0;
    bool readBinary = true;
    qint64 stopReadingAfter = -1;
    QStringList *log = nullptr;
};

} // namespace corvane::test
