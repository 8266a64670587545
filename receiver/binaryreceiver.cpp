#include "receiver/binaryreceiver.h"

#include "protocol/announcement.h"
#include "protocol/errornumber.h"
#include "protocol/infocode.h"
#include "protocol/sha256hash.h"
#include "protocol/socketendpoint.h"
#include "protocol/speedsample.h"
#include "receiver/temporarytarget.h"

#include <QByteArrayView>
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

class BinaryReceiver::Private
{
public:
    explicit Private(BinaryReceiver *q)
        : q(q), wsInfo(new SocketEndpoint(q)), wsReader(new SocketEndpoint(q)),
          tmrDownloadSpeed(new QTimer(q)), m_partialTimer(new QTimer(q))
    {}

    // Properties with a NOTIFY signal.
    enum Change : unsigned
    {
        FileSizeChange = 1,
        FileNameChange = 2,
        SaveTargetChange = 4,
        TotalReceivedChange = 8,
        Sha256Change = 16
    };
    template<typename T>
    void update(T &field, const T &value, Change change);
    void markChanged(Change change);
    void tellChanges();

    bool fail(int number, const QString &description);
    void onInfoConnectionRequest(int requestID);
    void onBinaryConnectionRequest(int requestID);
    void onInfoArrival();
    void handleInfoMessage(const QString &text);
    void flushPartialMessage();
    void onBinaryArrival();
    void handleAnnouncement(const QString &text);
    void receiveBytes(QByteArrayView bytes);
    void acknowledgeAcceptance();
    void completeFile();
    void failFile(int number, const QString &description);
    void reportFailure(int number, const QString &description);
    void listenForBinaryChannel();
    void closeFile();
    void sendLater(const QByteArray &message);
    void onSpeedTick();
    void onPeerClosed(SocketEndpoint *closed);
    void dropConnections();

    BinaryReceiver *const q;
    SocketEndpoint *const wsInfo;
    SocketEndpoint *const wsReader;
    QTimer *const tmrDownloadSpeed;
    // The start of a message cut off by the network, waiting briefly for the rest.
    QString m_partialMessage;
    QTimer *const m_partialTimer;
    // The accepted file while it is being received; empty otherwise.
    std::unique_ptr<TemporaryTarget> m_tempFile;
    // The hash of what was written to it, and of the last file saved.
    Sha256Hash m_hash;
    QString m_sha256;

    qint64 m_currentFileSize = 0;
    QString m_currentFileName;
    QString m_saveTarget;
    qint64 m_totalReceived = 0;
    qint64 m_writeOffset = 0;
    qint64 m_lastSampleTotal = 0;
    int m_lastErrorNumber = 0;
    QString m_lastErrorDescription;
    // Properties changed since their signals were last emitted.
    unsigned m_changed = 0;

    // The size taken at acceptance: a later announcement cannot move the end of this file.
    qint64 m_acceptedSize = 0;
    // An announcement is waiting for AcceptSendRequest or RefuseSendRequest.
    bool m_announcementPending = false;
    // "ACP" went out for the open file, so the sender may now stream it.
    bool m_acknowledged = false;
    // An info connection was accepted and has not been lost, closed or replaced.
    bool m_sessionActive = false;
    // Queued answers and steps go on only while these are unchanged: connections move on with
    // Listen, Reset, an accepted info connection and a loss; files with every accept, reset,
    // completion and failure.
    quint64 m_connectionGeneration = 0;
    quint64 m_fileGeneration = 0;
};

BinaryReceiver::BinaryReceiver(QWidget *parent)
    : QWidget(parent), d(std::make_unique<Private>(this))
{
    setFixedSize(FaceSize, FaceSize);
    d->wsInfo->setLocalPort(DefaultPortInfo);
    d->wsReader->setLocalPort(DefaultPortBinary);
    d->wsInfo->setReadBufferSize(InfoReadBufferSize);
    d->wsReader->setReadBufferSize(BinaryReadBufferSize);
    d->tmrDownloadSpeed->setInterval(SpeedSampleIntervalMs);

    connect(d->wsInfo, &SocketEndpoint::ConnectionRequest, this,
            [this](int requestID) { d->onInfoConnectionRequest(requestID); });
    connect(d->wsReader, &SocketEndpoint::ConnectionRequest, this,
            [this](int requestID) { d->onBinaryConnectionRequest(requestID); });
    connect(d->wsInfo, &SocketEndpoint::DataArrival, this, [this] { d->onInfoArrival(); });
    d->m_partialTimer->setSingleShot(true);
    d->m_partialTimer->setInterval(PartialMessageWaitMs);
    connect(d->m_partialTimer, &QTimer::timeout, this, [this] { d->flushPartialMessage(); });
    connect(d->wsReader, &SocketEndpoint::DataArrival, this, [this] { d->onBinaryArrival(); });
    connect(d->wsInfo, &SocketEndpoint::Closed, this, [this] { d->onPeerClosed(d->wsInfo); });
    connect(d->wsReader, &SocketEndpoint::Closed, this, [this] { d->onPeerClosed(d->wsReader); });
    // Signal to signal, directly: Description and CancelDisplay stay the endpoint's own.
    connect(d->wsInfo, &SocketEndpoint::Error, this, &BinaryReceiver::Error, Qt::DirectConnection);
    connect(d->wsReader, &SocketEndpoint::Error, this, &BinaryReceiver::Error,
            Qt::DirectConnection);
    connect(d->tmrDownloadSpeed, &QTimer::timeout, this, [this] { d->onSpeedTick(); });
}

BinaryReceiver::~BinaryReceiver()
{
    // The children outlive this part of the object; none of them may call back into it.
    d->wsInfo->disconnect(this);
    d->wsReader->disconnect(this);
    d->tmrDownloadSpeed->disconnect(this);
    d->m_partialTimer->disconnect(this);
}

qint64 BinaryReceiver::CurrentFileSize() const
{
    return d->m_currentFileSize;
}

QString BinaryReceiver::CurrentFileName() const
{
    return d->m_currentFileName;
}

QString BinaryReceiver::SaveTarget() const
{
    return d->m_saveTarget;
}

qint64 BinaryReceiver::TotalReceived() const
{
    return d->m_totalReceived;
}

QString BinaryReceiver::Sha256() const
{
    return d->m_sha256;
}

int BinaryReceiver::LastErrorNumber() const
{
    return d->m_lastErrorNumber;
}

QString BinaryReceiver::LastErrorDescription() const
{
    return d->m_lastErrorDescription;
}

QObject *BinaryReceiver::TheWinsock() const
{
    return d->wsReader;
}

QString BinaryReceiver::LocalHostName() const
{
    return d->wsReader->LocalHostName();
}

QString BinaryReceiver::LocalIP() const
{
    return d->wsReader->LocalIP();
}

int BinaryReceiver::LocalPortBinary() const
{
    return d->wsReader->LocalPort();
}

void BinaryReceiver::setLocalPortBinary(int Port)
{
    d->wsReader->setLocalPort(Port);
}

int BinaryReceiver::LocalPortInfo() const
{
    return d->wsInfo->LocalPort();
}

void BinaryReceiver::setLocalPortInfo(int Port)
{
    d->wsInfo->setLocalPort(Port);
}

template<typename T>
void BinaryReceiver::Private::update(T &field, const T &value, Change change)
{
    if (field == value)
        return;
    field = value;
    markChanged(change);
}

void BinaryReceiver::Private::markChanged(Change change)
{
    // Told from the event loop, at most once a pass, so each arrival pays nearly nothing for it
    // and a host's handler cannot delete or reset the component inside the code that changed
    // the value.
    if (m_changed == 0)
        QMetaObject::invokeMethod(
            q, [this] { tellChanges(); }, Qt::QueuedConnection);
    m_changed |= change;
}

void BinaryReceiver::Private::tellChanges()
{
    const QPointer<BinaryReceiver> self(q);
    const unsigned changed = std::exchange(m_changed, 0u);
    // A handler may delete the component; the rest is then left untold.
    const auto tell = [&](Change change) {
        return self && (changed & change);
    };
    if (tell(FileSizeChange))
        emit q->CurrentFileSizeChanged(m_currentFileSize);
    if (tell(FileNameChange))
        emit q->CurrentFileNameChanged(m_currentFileName);
    if (tell(SaveTargetChange))
        emit q->SaveTargetChanged(m_saveTarget);
    if (tell(TotalReceivedChange))
        emit q->TotalReceivedChanged(m_totalReceived);
    if (tell(Sha256Change))
        emit q->Sha256Changed(m_sha256);
}

bool BinaryReceiver::Private::fail(int number, const QString &description)
{
    m_lastErrorNumber = number;
    m_lastErrorDescription = description;
    return false;
}

void BinaryReceiver::ResetFile()
{
    d->closeFile();
    d->update(d->m_totalReceived, qint64(0), Private::TotalReceivedChange);
    d->update(d->m_currentFileSize, qint64(0), Private::FileSizeChange);
    d->update(d->m_currentFileName, QString(), Private::FileNameChange);
    d->m_writeOffset = 0;
    d->m_lastSampleTotal = 0;
    d->m_acceptedSize = 0;
    d->m_announcementPending = false;
    d->update(d->m_sha256, QString(), Private::Sha256Change);
}

void BinaryReceiver::Reset()
{
    ResetFile();
    d->dropConnections();
}

bool BinaryReceiver::Cancel()
{
    if (!d->m_announcementPending && !d->m_tempFile)
        return d->fail(ErrorNumber::InvalidArgument, QStringLiteral("No file is being received"));
    d->m_announcementPending = false;
    d->closeFile();
    d->dropConnections();
    return true;
}

bool BinaryReceiver::Listen()
{
    d->m_lastErrorNumber = 0;
    d->m_lastErrorDescription.clear();
    // The connections it ends could never finish an open file.
    d->closeFile();
    d->dropConnections();
    if (!d->wsInfo->Listen())
        return d->fail(d->wsInfo->LastErrorNumber(), d->wsInfo->LastErrorDescription());
    if (!d->wsReader->Listen())
        return d->fail(d->wsReader->LastErrorNumber(), d->wsReader->LastErrorDescription());
    return true;
}

void BinaryReceiver::Private::dropConnections()
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
    d->m_lastErrorNumber = 0;
    d->m_lastErrorDescription.clear();
    if (SaveTarget.isEmpty())
        return d->fail(ErrorNumber::InvalidArgument, QStringLiteral("No save path was given"));
    if (d->m_tempFile) {
        return d->fail(ErrorNumber::TransferInProgress,
                       QStringLiteral("\"%1\" is still being received; ResetFile ends it first")
                           .arg(d->m_saveTarget));
    }
    if (!d->m_announcementPending) {
        return d->fail(ErrorNumber::InvalidArgument,
                       QStringLiteral("No file announcement is waiting for an answer"));
    }

    const QFileInfo targetInfo(SaveTarget);
    if (targetInfo.isDir()) {
        return d->fail(ErrorNumber::PathFileAccess,
                       QStringLiteral("\"%1\" is a folder; a file cannot be saved in its place")
                           .arg(SaveTarget));
    }
    const QString folder = targetInfo.absolutePath();
    if (const qint64 available = freeSpace(folder);
        available >= 0 && available < d->m_currentFileSize) {
        return d->fail(ErrorNumber::DiskFull,
                       QStringLiteral("The folder \"%1\" has %2 bytes free, too few for the %3 "
                                      "bytes announced")
                           .arg(folder)
                           .arg(available)
                           .arg(d->m_currentFileSize));
    }

    auto temporary = std::make_unique<TemporaryTarget>(SaveTarget + QStringLiteral("TMP"));
    if (const TemporaryTarget::Outcome opened = temporary->open(); !opened.ok)
        return d->fail(opened.number, opened.description);

    d->closeFile();
    d->m_tempFile = std::move(temporary);
    d->update(d->m_saveTarget, SaveTarget, Private::SaveTargetChange);
    d->m_acceptedSize = d->m_currentFileSize;
    d->m_announcementPending = false;
    // The offset of every byte of this file counts from its own start.
    d->update(d->m_totalReceived, qint64(0), Private::TotalReceivedChange);
    d->m_hash.reset();
    d->update(d->m_sha256, QString(), Private::Sha256Change);
    d->m_writeOffset = 0;
    d->m_lastSampleTotal = 0;

    const quint64 connection = d->m_connectionGeneration;
    const quint64 file = d->m_fileGeneration;
    QMetaObject::invokeMethod(
        this,
        [this, connection, file] {
            if (connection == d->m_connectionGeneration && file == d->m_fileGeneration &&
                d->m_tempFile)
                d->acknowledgeAcceptance();
        },
        Qt::QueuedConnection);
    return true;
}

void BinaryReceiver::Private::acknowledgeAcceptance()
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
    d->m_lastErrorNumber = 0;
    d->m_lastErrorDescription.clear();
    if (d->wsInfo->State() != State::Connected) {
        return d->fail(ErrorNumber::NotConnected,
                       QStringLiteral("No sender is connected on the info channel"));
    }
    d->m_announcementPending = false;
    d->sendLater(infoCodeText(InfoCode::Refused));
    return true;
}

void BinaryReceiver::Private::sendLater(const QByteArray &message)
{
    const quint64 connection = m_connectionGeneration;
    QMetaObject::invokeMethod(
        q,
        [this, connection, message] {
            if (connection == m_connectionGeneration)
                wsInfo->SendData(message);
        },
        Qt::QueuedConnection);
}

void BinaryReceiver::Private::onInfoConnectionRequest(int requestID)
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

void BinaryReceiver::Private::listenForBinaryChannel()
{
    if (wsReader->Listen())
        return;
    QString description = wsReader->LastErrorDescription();
    bool cancelDisplay = false;
    emit q->Error(short(wsReader->LastErrorNumber()), description, wsReader->LastErrorNumber(),
                  QStringLiteral("BinaryReceiver"), QString(), 0, cancelDisplay);
}

void BinaryReceiver::Private::onBinaryConnectionRequest(int requestID)
{
    // Only the sender on the info channel may open the binary one; anyone else is refused by
    // not being accepted, and the port goes on listening.
    if (!m_sessionActive || wsInfo->State() != State::Connected ||
        wsReader->RequestHostIP(requestID) != wsInfo->RemoteHostIP())
        return;
    wsReader->Close();
    if (!wsReader->Accept(requestID))
        return;
    emit q->ConnectionRequest();
}

void BinaryReceiver::Private::onInfoArrival()
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

void BinaryReceiver::Private::flushPartialMessage()
{
    // The rest never came: what there is counts as the message, so a malformed start is
    // reported rather than dropped in silence.
    handleInfoMessage(std::exchange(m_partialMessage, QString()));
}

void BinaryReceiver::Private::handleInfoMessage(const QString &text)
{
    switch (matchReceiverCode(text)) {
    case InfoCode::SendComplete:
        emit q->ReceiveComplete();
        break;
    case InfoCode::FileInfo:
        handleAnnouncement(text);
        break;
    default:
        break;
    }
}

void BinaryReceiver::Private::handleAnnouncement(const QString &text)
{
    const Announcement::Parsed parsed = Announcement::parse(text);
    if (!parsed.ok) {
        QString description = parsed.errorString;
        bool cancelDisplay = false;
        emit q->Error(short(ErrorNumber::MalformedAnnouncement), description,
                      ErrorNumber::MalformedAnnouncement, QStringLiteral("BinaryReceiver"),
                      QString(), 0, cancelDisplay);
        return;
    }
    update(m_currentFileSize, parsed.announcement.size, FileSizeChange);
    update(m_currentFileName, parsed.announcement.name, FileNameChange);
    m_announcementPending = true;
    emit q->SendRequest();
}

void BinaryReceiver::Private::onBinaryArrival()
{
    // Always fetched, so nothing piles up; kept only while an acknowledged file is open.
    const QByteArray bytes = wsReader->GetBytes();
    if (!bytes.isEmpty() && m_tempFile && m_acknowledged)
        receiveBytes(bytes);
}

void BinaryReceiver::Private::receiveBytes(QByteArrayView bytes)
{
    // The file holds what was announced and no more; bytes beyond that are stray.
    bytes = bytes.first(std::min<qint64>(bytes.size(), m_acceptedSize - m_totalReceived));
    if (const TemporaryTarget::Outcome written = m_tempFile->write(m_writeOffset, bytes);
        !written.ok) {
        failFile(written.number, written.description);
        return;
    }
    m_hash.add(bytes);
    m_writeOffset += bytes.size();
    update(m_totalReceived, m_totalReceived + bytes.size(), TotalReceivedChange);
    if (!tmrDownloadSpeed->isActive())
        tmrDownloadSpeed->start();

    const QPointer<BinaryReceiver> self(q);
    const quint64 file = m_fileGeneration;
    emit q->ReceiveProgress(m_totalReceived, m_acceptedSize);
    if (!self || file != m_fileGeneration || !m_tempFile)
        return;
    if (m_totalReceived >= m_acceptedSize)
        completeFile();
}

void BinaryReceiver::Private::completeFile()
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
    update(m_sha256, m_hash.finish(), Sha256Change);

    const QPointer<BinaryReceiver> self(q);
    const quint64 connection = m_connectionGeneration;
    emit q->ReceiveComplete();
    if (self && connection == m_connectionGeneration)
        sendLater(infoCodeText(InfoCode::ReceiveComplete));
}

void BinaryReceiver::Private::failFile(int number, const QString &description)
{
    closeFile();
    reportFailure(number, description);
}

void BinaryReceiver::Private::reportFailure(int number, const QString &description)
{
    const QPointer<BinaryReceiver> self(q);
    const quint64 connection = m_connectionGeneration;
    emit q->ReceiveError(number, description);
    // The wire has no failure code: closing both channels is how the sender learns of it.
    if (self && connection == m_connectionGeneration && m_sessionActive) {
        dropConnections();
        emit q->Disconnected();
    }
}

void BinaryReceiver::Private::closeFile()
{
    m_tempFile.reset();
    m_acknowledged = false;
    ++m_fileGeneration;
    tmrDownloadSpeed->stop();
}

void BinaryReceiver::Private::onPeerClosed(SocketEndpoint *closed)
{
    // A late notice for a connection that is already gone or was replaced changes nothing.
    if (!m_sessionActive || closed->State() == State::Connected)
        return;
    const QPointer<BinaryReceiver> self(q);
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
    emit q->Disconnected();
}

void BinaryReceiver::Private::onSpeedTick()
{
    const QPointer<BinaryReceiver> self(q);
    emit q->SpeedRecord(speedSample(m_totalReceived - m_lastSampleTotal));
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
