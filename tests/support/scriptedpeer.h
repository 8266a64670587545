#pragma once

#include <QPointer>
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

    bool listen(); // as a receiver: one info and one binary connection at a time
    int infoPort() const { return m_infoServer.serverPort(); }
    int binaryPort() const { return m_binaryServer.serverPort(); }
    bool connectInfo(int port) { return connectChannel(port, false); }
    bool connectBinary(int port) { return connectChannel(port, true); }

    // Writes on the info or the binary channel and hands it to the system at once, so each
    // call reaches the other side as a read of its own unless the other side is slower.
    void say(const QByteArray &text) { write(info, text); }
    void send(const QByteArray &bytes) { write(binary, bytes); }
    void closeBoth();

    bool waitForInfo(const QByteArray &text, int timeoutMs = 5000);

    QPointer<QTcpSocket> info, binary;
    QByteArray infoBytes, binaryBytes;
    int binaryConnections = 0;
    // While false, bytes stay in the system, so back-pressure reaches the sender.
    bool readBinary = true;

private:
    void adopt(QTcpSocket *socket, bool isBinary);
    bool connectChannel(int port, bool isBinary);
    static void write(QTcpSocket *channel, const QByteArray &bytes);

    QTcpServer m_infoServer;
    QTcpServer m_binaryServer;
};

} // namespace corvane::test
