#include "support/scriptedpeer.h"

#include "support/testing.h"

using namespace Qt::StringLiterals;

namespace corvane::test {

bool ScriptedPeer::listen()
{
    QObject::connect(&m_infoServer, &QTcpServer::newConnection, &m_infoServer,
                     [this] { adoptInfo(m_infoServer.nextPendingConnection()); });
    QObject::connect(&m_binaryServer, &QTcpServer::newConnection, &m_binaryServer, [this] {
        adoptBinary(m_binaryServer.nextPendingConnection());
        if (log)
            log->append(u"binary connection"_s);
    });
    return m_infoServer.listen(QHostAddress::LocalHost) &&
           m_binaryServer.listen(QHostAddress::LocalHost);
}

void ScriptedPeer::adoptInfo(QTcpSocket *socket)
{
    info = socket;
    QObject::connect(socket, &QTcpSocket::readyRead, socket,
                     [this, socket] { infoBytes += socket->readAll(); });
}

void ScriptedPeer::adoptBinary(QTcpSocket *socket)
{
    binary = socket;
    ++binaryConnections;
    // Small buffers let back-pressure reach the sender as soon as reading stops.
    socket->setReadBufferSize(64 * 1024);
    socket->setSocketOption(QAbstractSocket::ReceiveBufferSizeSocketOption, 256 * 1024);
    QObject::connect(socket, &QTcpSocket::readyRead, socket, [this, socket] {
        if (readBinary)
            binaryBytes += socket->readAll();
    });
}

bool ScriptedPeer::connectChannel(QTcpSocket *socket, int port, const QHostAddress &from)
{
    if (!from.isNull() && !socket->bind(from, 0))
        return false;
    socket->connectToHost(u"127.0.0.1"_s, quint16(port));
    return waitUntil([socket] { return socket->state() == QAbstractSocket::ConnectedState; });
}

bool ScriptedPeer::connectInfo(int port, const QHostAddress &from)
{
    adoptInfo(new QTcpSocket(&m_infoServer));
    return connectChannel(info, port, from);
}

bool ScriptedPeer::connectBinary(int port, const QHostAddress &from)
{
    adoptBinary(new QTcpSocket(&m_binaryServer));
    return connectChannel(binary, port, from);
}

void ScriptedPeer::say(const QByteArray &text)
{
    // Nagle's algorithm would hold a short write back for the other side's acknowledgement.
    info->setSocketOption(QAbstractSocket::LowDelayOption, 1);
    info->write(text);
    info->flush();
}

void ScriptedPeer::send(const QByteArray &bytes)
{
    binary->setSocketOption(QAbstractSocket::LowDelayOption, 1);
    binary->write(bytes);
    binary->flush();
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

bool ScriptedPeer::waitForBinary(qint64 size, int timeoutMs)
{
    return waitUntil([&] { return binaryBytes.size() >= size; }, timeoutMs);
}

bool ScriptedPeer::closed(const QPointer<QTcpSocket> &channel)
{
    if (channel && channel == binary && readBinary)
        binaryBytes += channel->readAll();
    return !channel || channel->state() == QAbstractSocket::UnconnectedState;
}

} // namespace corvane::test
