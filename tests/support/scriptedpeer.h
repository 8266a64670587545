#pragma once

#include <QHostAddress>
#include <QPointer>
#include <QStringList>
#include <QTcpServer>
#include <QTcpSocket>

namespace corvane::test {

// A hand-made peer of either component, made of plain sockets on loopback: it plays the
// receiver (listen, then answer with say) or the sender (connectInfo, connectBinary, say,
// send), writes exactly what a test asks for and keeps what comes back.
class ScriptedPeer
{
public:
    ScriptedPeer() = default;
    Q_DISABLE_COPY_MOVE(ScriptedPeer)

    // As a receiver: listens for one info and one binary connection at a time.
    bool listen();
    int infoPort() const { return m_infoServer.serverPort(); }
    int binaryPort() const { return m_binaryServer.serverPort(); }

    // As a sender: connects a channel, from a chosen local address when given.
    bool connectInfo(int port, const QHostAddress &from = {});
    bool connectBinary(int port, const QHostAddress &from = {});

    // Writes on the info or the binary channel and hands it to the system at once, so each
    // call reaches the other side as a read of its own unless the other side is slower.
    void say(const QByteArray &text);
    void send(const QByteArray &bytes);
    void closeBoth();

    bool waitForInfo(const QByteArray &text, int timeoutMs = 5000);
    bool waitForBinary(qint64 size, int timeoutMs = 5000);
    // True once the other side closed the channel (reads what is still queued to see it).
    bool closed(const QPointer<QTcpSocket> &channel);

    QPointer<QTcpSocket> info;
    QPointer<QTcpSocket> binary;
    QByteArray infoBytes;
    QByteArray binaryBytes;
    int binaryConnections = 0;
    // While false, bytes stay in the system, so back-pressure reaches the sender.
    bool readBinary = true;
    QStringList *log = nullptr;

private:
    void adoptInfo(QTcpSocket *socket);
    void adoptBinary(QTcpSocket *socket);
    bool connectChannel(QTcpSocket *socket, int port, const QHostAddress &from);

    QTcpServer m_infoServer;
    QTcpServer m_binaryServer;
};

} // namespace corvane::test
