#include "receiver/binaryreceiver.h"

#include "protocol/announcement.h"
#include "protocol/errornumber.h"
#include "protocol/infocode.h"
#include "protocol/socketendpoint.h"
#include "protocol/speedsample.h"
#include "receiver/temporarytarget.h"

#include <QFile>
#include <QFileInfo>
#include <QPainter>
#include <QPainterPath>
#include <QPointer>
#include <QResizeEvent>
#include <QTimer>

#include <sys/statvfs.h>

#include <algorithm>
#include <utility>

namespace corvane {

namespace {
constexpr int FaceSize = 30;
// Enough for any announcement; a peer that floods the info channel is read in pieces.
constexpr qint64 InfoReadBufferSize = 64 * 1024;
// One arrival is written at a time, so this bounds what a fast sender makes us hold.
constexpr qint64 BinaryReadBufferSize = 1024 * 1024;

using State = SocketEndpoint::ConnectionState;

// How long the start of a message that the network cut off waits for its rest.
constexpr int PartialMessageWaitMs = 1000;

// Bytes an unprivileged writer may still use in the folder's filesystem, or -1 when unknown.
// Asked of the folder directly: reading the whole mount table for it costs milliseconds a file.
qint64 freeSpace(const QString &folder)
{
    struct statvfs filesystem
    {};
    if (statvfs(QFile::encodeName(folder).constData(), &filesystem) != 0)
        return -1;
    return qint64(filesystem.f_bavail) * qint64(filesystem.f_frsize);
}
} // namespace

BinaryReceiver::BinaryReceiver(QWidget *parent)
    : QWidget(parent), wsInfo(new SocketEndpoint(this)), wsReader(new SocketEndpoint(this)),
      tmrDownloadSpeed(new QTimer(this)), m_partialTimer(new QTimer(this))
{
    setFixedSize(FaceSize, FaceSize);
    wsInfo->setLocalPort(DefaultPortInfo);
    wsReader->setLocalPort(DefaultPortBinary);
    wsInfo->setReadBufferSize(InfoReadBufferSize);
    wsReader->setReadBufferSize(BinaryReadBufferSize);
    tmrDownloadSpeed->setInterval(SpeedSampleIntervalMs);

    connect(wsInfo, &SocketEndpoint::ConnectionRequest, this,
            &BinaryReceiver::onInfoConnectionRequest);
    connect(wsReader, &SocketEndpoint::ConnectionRequest, this,
            &BinaryReceiver::onBinaryConnectionRequest);
    connect(wsInfo, &SocketEndpoint::DataArrival, this, &BinaryReceiver::onInfoArrival);
    m_partialTimer->setSingleShot(true);
    m_partialTimer->setInterval(PartialMessageWaitMs);
    connect(m_partialTimer, &QTimer::timeout, this, &BinaryReceiver::flushPartialMessage);
    connect(wsReader, &SocketEndpoint::DataArrival, this, &BinaryReceiver::onBinaryArrival);
    connect(wsInfo, &SocketEndpoint::Closed, this, [this] { onPeerClosed(wsInfo); });
    connect(wsReader, &SocketEndpoint::Closed, this, [this] { onPeerClosed(wsReader); });
    // Signal to signal, directly: Description and CancelDisplay stay the endpoint's own.
    connect(wsInfo, &SocketEndpoint::Error, this, &BinaryReceiver::Error, Qt::DirectConnection);
    connect(wsReader, &SocketEndpoint::Error, this, &BinaryReceiver::Error, Qt::DirectConnection);
    connect(tmrDownloadSpeed, &QTimer::timeout, this, &BinaryReceiver::onSpeedTick);
}

BinaryReceiver::~BinaryReceiver()
{
    // The children outlive this part of the object; none of them may call back into it.
    wsInfo->disconnect(this);
    wsReader->disconnect(this);
    tmrDownloadSpeed->disconnect(this);
    m_partialTimer->disconnect(this);
}

QObject *BinaryReceiver::TheWinsock() const
{
    return wsReader;
}

QString BinaryReceiver::LocalHostName() const
{
    return wsReader->LocalHostName();
}

QString BinaryReceiver::LocalIP() const
{
    return wsReader->LocalIP();
}

int BinaryReceiver::LocalPortBinary() const
{
    return wsReader->LocalPort();
}

void BinaryReceiver::setLocalPortBinary(int Port)
{
    wsReader->setLocalPort(Port);
}

int BinaryReceiver::LocalPortInfo() const
{
    return wsInfo->LocalPort();
}

void BinaryReceiver::setLocalPortInfo(int Port)
{
    wsInfo->setLocalPort(Port);
}

bool BinaryReceiver::fail(int number, const QString &description)
{
    m_lastErrorNumber = number;
    m_lastErrorDescription = description;
    return false;
}

void BinaryReceiver::ResetFile()
{
    closeFile();
    m_totalReceived = 0;
    m_currentFileSize = 0;
    m_currentFileName.clear();
    m_writeOffset = 0;
    m_lastSampleTotal = 0;
    m_acceptedSize = 0;
    m_announcementPending = false;
}

void BinaryReceiver::Reset()
{
    ResetFile();
    dropConnections();
}

bool BinaryReceiver::Listen()
{
    m_lastErrorNumber = 0;
    m_lastErrorDescription.clear();
    // The connections it ends could never finish an open file.
    closeFile();
    dropConnections();
    if (!wsInfo->Listen())
        return fail(wsInfo->LastErrorNumber(), wsInfo->LastErrorDescription());
    if (!wsReader->Listen())
        return fail(wsReader->LastErrorNumber(), wsReader->LastErrorDescription());
    return true;
}

void BinaryReceiver::dropConnections()
{
    m_partialMessage.clear();
    m_partialTimer->stop();
    wsInfo->Close();
    wsReader->Close();
    m_sessionActive = false;
    m_announcementPending = false;
    ++m_connectionGeneration;
}

bool BinaryReceiver::AcceptSendRequest(const QString &SaveTarget)
{
    m_lastErrorNumber = 0;
    m_lastErrorDescription.clear();
    if (SaveTarget.isEmpty())
        return fail(ErrorNumber::InvalidArgument, QStringLiteral("No save path was given"));
    if (m_tempFile) {
        return fail(ErrorNumber::TransferInProgress,
                    QStringLiteral("\"%1\" is still being received; ResetFile ends it first")
                        .arg(m_saveTarget));
    }
    if (!m_announcementPending) {
        return fail(ErrorNumber::InvalidArgument,
                    QStringLiteral("No file announcement is waiting for an answer"));
    }

    const QFileInfo targetInfo(SaveTarget);
    if (targetInfo.isDir()) {
        return fail(ErrorNumber::PathFileAccess,
                    QStringLiteral("\"%1\" is a folder; a file cannot be saved in its place")
                        .arg(SaveTarget));
    }
    const QString folder = targetInfo.absolutePath();
    if (const qint64 available = freeSpace(folder);
        available >= 0 && available < m_currentFileSize) {
        return fail(ErrorNumber::DiskFull,
                    QStringLiteral("The folder \"%1\" has %2 bytes free, too few for the %3 "
                                   "bytes announced")
                        .arg(folder)
                        .arg(available)
                        .arg(m_currentFileSize));
    }

    auto temporary = std::make_unique<TemporaryTarget>(SaveTarget + QStringLiteral("TMP"));
    if (const TemporaryTarget::Outcome opened = temporary->open(); !opened.ok)
        return fail(opened.number, opened.description);

    closeFile();
    m_tempFile = std::move(temporary);
    m_saveTarget = SaveTarget;
    m_acceptedSize = m_currentFileSize;
    m_announcementPending = false;
    // The offset of every byte of this file counts from its own start.
    m_totalReceived = 0;
    m_writeOffset = 0;
    m_lastSampleTotal = 0;

    const quint64 connection = m_connectionGeneration;
    const quint64 file = m_fileGeneration;
    QMetaObject::invokeMethod(
        this,
        [this, connection, file] {
            if (connection == m_connectionGeneration && file == m_fileGeneration && m_tempFile)
                acknowledgeAcceptance();
        },
        Qt::QueuedConnection);
    return true;
}

void BinaryReceiver::acknowledgeAcceptance()
{
    if (!wsInfo->SendData(infoCodeText(InfoCode::Accepted))) {
        failFile(wsInfo->LastErrorNumber(), wsInfo->LastErrorDescription());
        return;
    }
    m_acknowledged = true;
    // No byte will arrive to finish an empty file.
    if (m_acceptedSize == 0)
        completeFile();
}

bool BinaryReceiver::RefuseSendRequest()
{
    m_lastErrorNumber = 0;
    m_lastErrorDescription.clear();
    if (wsInfo->State() != State::Connected) {
        return fail(ErrorNumber::NotConnected,
                    QStringLiteral("No sender is connected on the info channel"));
    }
    m_announcementPending = false;
    sendLater(infoCodeText(InfoCode::Refused));
    return true;
}

void BinaryReceiver::sendLater(const QByteArray &message)
{
    const quint64 connection = m_connectionGeneration;
    QMetaObject::invokeMethod(
        this,
        [this, connection, message] {
            if (connection == m_connectionGeneration)
                wsInfo->SendData(message);
        },
        Qt::QueuedConnection);
}

void BinaryReceiver::onInfoConnectionRequest(int requestID)
{
    wsInfo->Close();
    if (!wsInfo->Accept(requestID))
        return;
    ++m_connectionGeneration;
    m_sessionActive = true;
    // Connections that already wait on the binary port predate this sender's "CNT", so none
    // of them is its binary channel.
    wsReader->refuseWaiting();
    sendLater(infoCodeText(InfoCode::Connected));
}

void BinaryReceiver::listenForBinaryChannel()
{
    if (wsReader->Listen())
        return;
    QString description = wsReader->LastErrorDescription();
    bool cancelDisplay = false;
    emit Error(short(wsReader->LastErrorNumber()), description, wsReader->LastErrorNumber(),
               QStringLiteral("BinaryReceiver"), QString(), 0, cancelDisplay);
}

void BinaryReceiver::onBinaryConnectionRequest(int requestID)
{
    // Only the sender on the info channel may open the binary one; anyone else is refused by
    // not being accepted, and the port goes on listening.
    if (!m_sessionActive || wsInfo->State() != State::Connected ||
        wsReader->RequestHostIP(requestID) != wsInfo->RemoteHostIP())
        return;
    wsReader->Close();
    if (!wsReader->Accept(requestID))
        return;
    emit ConnectionRequest();
}

void BinaryReceiver::onInfoArrival()
{
    // No framing on this channel: whatever has arrived is one message, unless it can only be
    // the start of one.
    const QString text = m_partialMessage + wsInfo->GetText();
    m_partialMessage.clear();
    m_partialTimer->stop();
    if (Announcement::isUnfinished(text)) {
        m_partialMessage = text;
        m_partialTimer->start();
        return;
    }
    handleInfoMessage(text);
}

void BinaryReceiver::flushPartialMessage()
{
    // The rest never came: what there is counts as the message, so a malformed start is
    // reported rather than dropped in silence.
    handleInfoMessage(std::exchange(m_partialMessage, QString()));
}

void BinaryReceiver::handleInfoMessage(const QString &text)
{
    switch (matchReceiverCode(text)) {
    case InfoCode::SendComplete:
        emit ReceiveComplete();
        break;
    case InfoCode::FileInfo:
        handleAnnouncement(text);
        break;
    default:
        break;
    }
}

void BinaryReceiver::handleAnnouncement(const QString &text)
{
    const Announcement::Parsed parsed = Announcement::parse(text);
    if (!parsed.ok) {
        QString description = parsed.errorString;
        bool cancelDisplay = false;
        emit Error(short(ErrorNumber::MalformedAnnouncement), description,
                   ErrorNumber::MalformedAnnouncement, QStringLiteral("BinaryReceiver"), QString(),
                   0, cancelDisplay);
        return;
    }
    m_currentFileSize = parsed.announcement.size;
    m_currentFileName = parsed.announcement.name;
    m_announcementPending = true;
    emit SendRequest();
}

void BinaryReceiver::onBinaryArrival()
{
    // Always fetched, so nothing piles up; kept only while an acknowledged file is open.
    const QByteArray bytes = wsReader->GetBytes();
    if (!bytes.isEmpty() && m_tempFile && m_acknowledged)
        receiveBytes(bytes);
}

void BinaryReceiver::receiveBytes(QByteArrayView bytes)
{
    // The file holds what was announced and no more; bytes beyond that are stray.
    bytes = bytes.first(std::min<qint64>(bytes.size(), m_acceptedSize - m_totalReceived));
    if (const TemporaryTarget::Outcome written = m_tempFile->write(m_writeOffset, bytes);
        !written.ok) {
        failFile(written.number, written.description);
        return;
    }
    m_writeOffset += bytes.size();
    m_totalReceived += bytes.size();
    if (!tmrDownloadSpeed->isActive())
        tmrDownloadSpeed->start();

    const QPointer<BinaryReceiver> self(this);
    const quint64 file = m_fileGeneration;
    emit ReceiveProgress(m_totalReceived, m_acceptedSize);
    if (!self || file != m_fileGeneration || !m_tempFile)
        return;
    if (m_totalReceived >= m_acceptedSize)
        completeFile();
}

void BinaryReceiver::completeFile()
{
    const TemporaryTarget::Outcome saved = m_tempFile->commit(m_saveTarget);
    // Committed, or kept on disk after a failed commit: either way no longer ours to remove.
    m_tempFile.reset();
    m_acknowledged = false;
    ++m_fileGeneration;
    tmrDownloadSpeed->stop();
    if (!saved.ok) {
        reportFailure(saved.number, saved.description);
        return;
    }

    const QPointer<BinaryReceiver> self(this);
    const quint64 connection = m_connectionGeneration;
    emit ReceiveComplete();
    if (self && connection == m_connectionGeneration)
        sendLater(infoCodeText(InfoCode::ReceiveComplete));
}

void BinaryReceiver::failFile(int number, const QString &description)
{
    closeFile();
    reportFailure(number, description);
}

void BinaryReceiver::reportFailure(int number, const QString &description)
{
    const QPointer<BinaryReceiver> self(this);
    const quint64 connection = m_connectionGeneration;
    emit ReceiveError(number, description);
    // The wire has no failure code: closing both channels is how the sender learns of it.
    if (self && connection == m_connectionGeneration && m_sessionActive) {
        dropConnections();
        emit Disconnected();
    }
}

void BinaryReceiver::closeFile()
{
    m_tempFile.reset();
    m_acknowledged = false;
    ++m_fileGeneration;
    tmrDownloadSpeed->stop();
}

void BinaryReceiver::onPeerClosed(SocketEndpoint *closed)
{
    // A late notice for a connection that is already gone or was replaced changes nothing.
    if (!m_sessionActive || closed->State() == State::Connected)
        return;
    const QPointer<BinaryReceiver> self(this);
    const quint64 connection = m_connectionGeneration;
    // A sender may close straight after its last bytes; those still belong to the file.
    const QByteArray tail = wsReader->GetBytes();
    if (!tail.isEmpty() && m_tempFile && m_acknowledged) {
        receiveBytes(tail);
        if (!self || connection != m_connectionGeneration || !m_sessionActive)
            return;
    }
    if (closed == wsReader && !m_tempFile) {
        // No file depends on it (it may have been a stray that connected first): the session
        // goes on, and the sender's next binary connection is taken.
        listenForBinaryChannel();
        return;
    }
    dropConnections();
    if (m_tempFile) {
        failFile(ErrorNumber::IncompleteFile,
                 QStringLiteral("The sender closed the connection after %1 of %2 bytes of \"%3\" "
                                "had arrived; the incomplete file was removed")
                     .arg(m_totalReceived)
                     .arg(m_acceptedSize)
                     .arg(m_saveTarget));
        if (!self)
            return;
    }
    emit Disconnected();
}

void BinaryReceiver::onSpeedTick()
{
    const QPointer<BinaryReceiver> self(this);
    emit SpeedRecord(speedSample(m_totalReceived - m_lastSampleTotal));
    if (self)
        m_lastSampleTotal = m_totalReceived;
}

void BinaryReceiver::resizeEvent(QResizeEvent *event)
{
    QWidget::resizeEvent(event);
    if (event->size() != QSize(FaceSize, FaceSize))
        resize(FaceSize, FaceSize);
}

void BinaryReceiver::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    const QRectF box = QRectF(rect()).adjusted(1.5, 1.5, -1.5, -1.5);
    painter.setPen(QPen(palette().color(QPalette::Mid), 1));
    painter.setBrush(palette().color(QPalette::Base));
    painter.drawRoundedRect(box, 4, 4);

    // A down arrow onto a tray: bytes coming in.
    const QColor ink = palette().color(QPalette::Highlight);
    painter.setPen(QPen(ink, 2, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
    painter.setBrush(Qt::NoBrush);
    painter.drawLine(QPointF(15, 7), QPointF(15, 18));
    QPainterPath head;
    head.moveTo(10.5, 14);
    head.lineTo(15, 18.5);
    head.lineTo(19.5, 14);
    painter.drawPath(head);
    painter.drawLine(QPointF(9, 22.5), QPointF(21, 22.5));
}

} // namespace corvane
