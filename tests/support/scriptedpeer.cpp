#include "support/scriptedpeer.h"

#include "support/testing.h"

using namespace Qt::StringLiterals;

namespace corvane::test {

bool ScriptedPeer::listen()
{
    for (QTcpServer *server : {&m_infoServer, &m_binaryServer}) {
        QObject::connect(server, &QTcpServer::newConnection, server, [this, server] {
            adopt(server->nextPendingConnection(), server == &m_binaryServer);
        });
    }
    return m_infoServer.listen(QHostAddress::LocalHost) &&
           m_binaryServer.listen(QHostAddress::LocalHost);
}

void ScriptedPeer::adopt(QTcpSocket *socket, bool isBinary)
{
    (isBinary ? binary : info) = socket;
    if (isBinary) {
        ++binaryConnections;
        // Small buffers let back-pressure reach the sender as soon as reading stops.
        socket->setReadBufferSize(64 * 1024);
        socket->setSocketOption(QAbstractSocket::ReceiveBufferSizeSocketOption, 256 * 1024);
    }
    QObject::connect(socket, &QTcpSocket::readyRead, socket, [this, socket, isBinary] {
        if (!isBinary)
            infoBytes += socket->readAll();
        else if (readBinary)
            binaryBytes += socket->readAll();
    });
}

bool ScriptedPeer::connectChannel(int port, bool isBinary)
{
    auto *socket = new QTcpSocket(isBinary ? &m_binaryServer : &m_infoServer);
    adopt(socket, isBinary);
    socket->connectToHost(u"127.0.0.1"_s, quint16(port));
    return waitUntil([socket] { return socket->state() == QAbstractSocket::ConnectedState; });
}

void ScriptedPeer::write(QTcpSocket *channel, const QByteArray &bytes)
{
    // Nagle's algorithm would hold a short write back for the other side's acknowledgement.
    channel->setSocketOption(QAbstractSocket::LowDelayOption, 1);
    channel->write(bytes);
    channel->flush();
}

void ScriptedPeer::closeBoth()
{
    for (QTcpSocket *socket : {info.data(), binary.data()}) {
        if (socket)
            socket->disconnectFromHost();
    }
}

bool ScriptedPeer::waitForInfo(const QByteArray &text, int timeoutMs)
{
    return waitUntil([&] { return infoBytes == text; }, timeoutMs);
}

} // namespace corvane::test
