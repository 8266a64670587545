#include "support/scriptedreceiver.h"

#include <QDeadlineTimer>
#include <QSignalSpy>

using namespace Qt::StringLiterals;

namespace corvane::test {

bool ScriptedReceiver::listen()
{
    QObject::connect(&info, &QTcpServer::newConnection, &info, [this] {
        infoPeer = info.nextPendingConnection();
        QObject::connect(infoPeer, &QTcpSocket::readyRead, infoPeer,
                         [this] { infoBytes += infoPeer->readAll(); });
    });
    QObject::connect(&binary, &QTcpServer::newConnection, &binary, [this] {
        binaryPeer = binary.nextPendingConnection();
        ++binaryConnections;
        if (log)
            log->append(u"binary connection"_s);
        // Small buffers let back-pressure reach the sender as soon as reading stops.
        binaryPeer->setReadBufferSize(64 * 1024);
        binaryPeer->setSocketOption(QAbstractSocket::ReceiveBufferSizeSocketOption, 256 * 1024);
        QObject::connect(binaryPeer, &QTcpSocket::readyRead, binaryPeer, [this] {
            if (!readBinary)
                return;
            binaryBytes += binaryPeer->readAll();
            if (stopReadingAfter >= 0 && binaryBytes.size() >= stopReadingAfter)
                readBinary = false;
        });
    });
    return info.listen(QHostAddress::LocalHost) && binary.listen(QHostAddress::LocalHost);
}

void ScriptedReceiver::drainBinary()
{
    readBinary = true;
    if (binaryPeer)
        binaryBytes += binaryPeer->readAll();
}

bool ScriptedReceiver::waitForBinary(qint64 size, int timeoutMs)
{
    if (!binaryPeer)
        return false;
    QSignalSpy reads(binaryPeer.data(), &QTcpSocket::readyRead);
    const QDeadlineTimer deadline(timeoutMs);
    while (binaryBytes.size() < size) {
        if (deadline.hasExpired() || !reads.wait(int(deadline.remainingTime())))
            return false;
    }
    return true;
}

bool ScriptedReceiver::closedByPeer(const QPointer<QTcpSocket> &socket)
{
    if (socket == binaryPeer)
        drainBinary();
    return !socket || socket->state() == QAbstractSocket::UnconnectedState;
}

} // namespace corvane::test
