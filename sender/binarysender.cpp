#include "sender/binarysender.h"

#include "protocol/announcement.h"
#include "protocol/errornumber.h"
#include "protocol/filenamefrompath.h"
#include "protocol/infocode.h"
#include "protocol/infocodestream.h"
#include "protocol/socketendpoint.h"
#include "protocol/socketerror.h"
#include "protocol/speedsample.h"

#include <QFileInfo>
#include <QPainter>
#include <QPointer>
#include <QResizeEvent>
#include <QTimer>

#include <algorithm>
#include <new>

using namespace Qt::StringLiterals;

namespace corvane {

namespace {
constexpr int FaceSize = 30;
constexpr qint64 MinHighWater = 1024 * 1024;
constexpr qint64 HighWaterChunks = 4;

bool validPort(int port)
{
    return port >= 1 && port <= 65535;
}
} // namespace

BinarySender::BinarySender(QWidget *parent)
    : QWidget(parent), wsInfo(new SocketEndpoint(this)), wsSender(new SocketEndpoint(this)),
      tmrUploadSpeed(new QTimer(this)), m_infoCodes(std::make_unique<InfoCodeStream>())
{
    tmrUploadSpeed->setInterval(SpeedSampleIntervalMs);
    wsSender->setRemotePort(DefaultPortBinary);
    wsInfo->setRemotePort(DefaultPortInfo);
    setFixedSize(FaceSize, FaceSize);

    for (SocketEndpoint *endpoint : {wsInfo, wsSender}) {
        connect(endpoint, &SocketEndpoint::Error, this,
                [this, endpoint](short number, QString &description, int scode,
                                 const QString &source, const QString &helpFile, int helpContext,
                                 bool &cancelDisplay) {
                    forwardError(endpoint, number, description, scode, source, helpFile,
                                 helpContext, cancelDisplay);
                });
        connect(endpoint, &SocketEndpoint::Closed, this,
                [this, endpoint] { onPeerClosed(endpoint); });
    }
    connect(wsInfo, &SocketEndpoint::DataArrival, this, &BinarySender::onInfoArrival);
    connect(wsSender, &SocketEndpoint::SendProgress, this,
            [this](qint64 bytesSent, qint64) { onSendProgress(bytesSent); });
    connect(tmrUploadSpeed, &QTimer::timeout, this, &BinarySender::onSpeedTick);
}

BinarySender::~BinarySender()
{
    // QWidget deletes its children before QObject drops their connections; nothing they
    // emit on the way out may reach this half-destroyed component.
    wsInfo->disconnect(this);
    wsSender->disconnect(this);
    tmrUploadSpeed->disconnect(this);
}

QObject *BinarySender::TheWinsock() const
{
    return wsSender;
}

QString BinarySender::RemoteHost() const
{
    return wsSender->RemoteHost();
}

void BinarySender::setRemoteHost(const QString &Host)
{
    wsSender->setRemoteHost(Host);
}

QString BinarySender::RemoteHostIP() const
{
    return wsSender->RemoteHostIP();
}

int BinarySender::RemotePortBinary() const
{
    return wsSender->RemotePort();
}

void BinarySender::setRemotePortBinary(int Port)
{
    wsSender->setRemotePort(Port);
}

int BinarySender::RemotePortInfo() const
{
    return wsInfo->RemotePort();
}

void BinarySender::setRemotePortInfo(int Port)
{
    wsInfo->setRemotePort(Port);
}

void BinarySender::setSource(const QString &path)
{
    m_sourcePath = path;
    m_currentFileName = fileNameFromPath(path);
    const QFileInfo info(path);
    if (!path.isEmpty() && info.isFile())
        m_currentFileSize = info.size();
}

bool BinarySender::fail(int number, const QString &description)
{
    m_lastErrorNumber = number;
    m_lastErrorDescription = description;
    return false;
}

void BinarySender::ResetFile()
{
    stopStreaming();
    m_awaitingStream = false;
    m_currentFileSize = 0;
    m_currentFileName.clear();
    m_chunkSize = DefaultChunkSize;
    m_sentTotal = 0;
    m_sourcePath.clear();
    m_readPosition = 0;
    m_lastSentSample = 0;
    tmrUploadSpeed->stop();
}

void BinarySender::Reset()
{
    ResetFile();
    ++m_infoGeneration;
    ++m_binaryGeneration;
    m_infoCodes->clear();
    wsInfo->Close();
    wsSender->Close();
}

bool BinarySender::Connect()
{
    const QString host = wsSender->RemoteHost().trimmed();
    if (host.isEmpty())
        return fail(ErrorNumber::AddressNotAvailable, u"No remote host is set"_s);
    if (!validPort(wsInfo->RemotePort()))
        return fail(ErrorNumber::SocketInvalidArgument,
                    u"The info port %1 is not between 1 and 65535"_s.arg(wsInfo->RemotePort()));
    wsInfo->Close();
    m_infoCodes->clear();
    wsInfo->setRemoteHost(host);
    const quint64 generation = ++m_infoGeneration;
    QMetaObject::invokeMethod(
        this,
        [this, generation] {
            if (generation != m_infoGeneration)
                return;
            if (!wsInfo->Connect()) {
                QString description = wsInfo->LastErrorDescription();
                bool cancelDisplay = false;
                forwardError(wsInfo, short(wsInfo->LastErrorNumber()), description,
                             wsInfo->LastErrorNumber(), u"BinarySender"_s, QString(), 0,
                             cancelDisplay);
            }
        },
        Qt::QueuedConnection);
    return true;
}

void BinarySender::openBinaryChannel()
{
    wsSender->Close();
    const quint64 generation = ++m_binaryGeneration;
    QPointer<BinarySender> self(this);
    failStreaming(ErrorNumber::ConnectionAborted,
                  u"The binary channel was reopened after %1 of %2 bytes had been handed over"_s
                      .arg(m_readPosition)
                      .arg(m_streamEnd));
    if (!self || generation != m_binaryGeneration)
        return;
    m_infoPeer = wsInfo->peerAddress();
    QMetaObject::invokeMethod(
        this,
        [this, generation] {
            if (generation != m_binaryGeneration)
                return;
            // Where the info channel went, not a new lookup of RemoteHost: a name with several
            // addresses could lead the binary channel to another one.
            if (!wsSender->Connect(m_infoPeer)) {
                QString description = wsSender->LastErrorDescription();
                bool cancelDisplay = false;
                forwardError(wsSender, short(wsSender->LastErrorNumber()), description,
                             wsSender->LastErrorNumber(), u"BinarySender"_s, QString(), 0,
                             cancelDisplay);
            }
        },
        Qt::QueuedConnection);
}

void BinarySender::forwardError(SocketEndpoint *endpoint, short number, QString &description,
                                int scode, const QString &source, const QString &helpFile,
                                int helpContext, bool &cancelDisplay)
{
    QPointer<BinarySender> self(this);
    emit Error(number, description, scode, source, helpFile, helpContext, cancelDisplay);
    if (!self)
        return;
    // A binary channel that failed for good cannot carry the rest of the stream.
    if (endpoint == wsSender && m_streaming &&
        wsSender->State() != SocketEndpoint::ConnectionState::Connected)
        abortTransfer(scode, u"%1 after %2 of %3 bytes had been handed over"_s.arg(description)
                                 .arg(m_readPosition)
                                 .arg(m_streamEnd));
}

void BinarySender::onInfoArrival()
{
    const QStringList messages = m_infoCodes->append(wsInfo->GetText());
    QPointer<BinarySender> self(this);
    const quint64 generation = m_infoGeneration;
    for (const QString &message : messages) {
        handleCode(message);
        // The host may have deleted or reset the component from an event.
        if (!self || generation != m_infoGeneration)
            return;
    }
}

void BinarySender::handleCode(const QString &code)
{
    switch (matchSenderCode(code)) {
    case InfoCode::ReceiveComplete:
        m_awaitingStream = false;
        tmrUploadSpeed->stop();
        emit SendComplete();
        break;
    case InfoCode::Refused:
        emit CommandRefused();
        break;
    case InfoCode::Accepted:
        m_awaitingStream = true;
        emit CommandAccepted();
        break;
    case InfoCode::Connected: {
        QPointer<BinarySender> self(this);
        const quint64 generation = m_infoGeneration;
        emit Connected();
        if (self && generation == m_infoGeneration)
            openBinaryChannel();
        break;
    }
    default:
        break;
    }
}

bool BinarySender::SendInfo()
{
    if (wsInfo->State() != SocketEndpoint::ConnectionState::Connected) {
        const SocketError error = SocketError::fromNumber(ErrorNumber::NotConnected);
        return fail(error.number, error.description);
    }
    if (m_sourcePath.isEmpty())
        return fail(ErrorNumber::FileNotFound, u"No source file is set"_s);
    const QFileInfo info(m_sourcePath);
    if (!info.isFile())
        return fail(ErrorNumber::FileNotFound, u"File not found: %1"_s.arg(m_sourcePath));
    if (!info.isReadable())
        return fail(ErrorNumber::PathFileAccess, u"Cannot read %1"_s.arg(m_sourcePath));
    if (!wsInfo->SendData(Announcement{m_currentFileSize, m_currentFileName}.text()))
        return fail(wsInfo->LastErrorNumber(), wsInfo->LastErrorDescription());
    return true;
}

bool BinarySender::SendFile()
{
    if (m_streaming)
        return fail(ErrorNumber::TransferInProgress, u"A file is already being sent"_s);
    if (m_chunkSize < 1)
        return fail(ErrorNumber::InvalidArgument,
                    u"The chunk size must be at least 1 byte, not %1"_s.arg(m_chunkSize));
    if (m_sourcePath.isEmpty())
        return failAccepted(ErrorNumber::FileNotFound, u"No source file is set"_s);
    m_file.setFileName(m_sourcePath);
    if (!m_file.open(QIODevice::ReadOnly | QIODevice::Unbuffered)) {
        if (!QFileInfo::exists(m_sourcePath))
            return failAccepted(ErrorNumber::FileNotFound,
                                u"File not found: %1"_s.arg(m_sourcePath));
        return failAccepted(ErrorNumber::PathFileAccess,
                            u"Cannot open %1: %2"_s.arg(m_sourcePath, m_file.errorString()));
    }
    m_streamEnd = m_currentFileSize;
    m_streamChunk = m_chunkSize;
    if (m_streamEnd > m_readPosition &&
        wsSender->State() != SocketEndpoint::ConnectionState::Connected) {
        m_file.close();
        const SocketError error = SocketError::fromNumber(ErrorNumber::NotConnected);
        return failAccepted(error.number, u"The binary channel is not connected"_s);
    }

    const quint64 stream = ++m_streamGeneration;
    m_streaming = true;
    tmrUploadSpeed->start();
    if (m_streamEnd > m_readPosition) {
        int number = 0;
        QString description;
        QPointer<BinarySender> self(this);
        if (!sendNextChunk(number, description)) {
            stopStreaming();
            return failAccepted(number, description);
        }
        // Handing over a chunk notifies the host, which may have deleted, reset or
        // restarted the component from there.
        if (!self || stream != m_streamGeneration)
            return true;
    }
    finishIfComplete();
    return true;
}

bool BinarySender::sendNextChunk(int &number, QString &description)
{
    const qint64 count = std::min(m_streamEnd - m_readPosition, m_streamChunk);
    try {
        if (m_buffer.size() != count)
            m_buffer.resize(count);
    } catch (const std::bad_alloc &) {
        number = ErrorNumber::NoBufferSpace;
        description = u"Not enough memory for a chunk of %1 bytes"_s.arg(count);
        return false;
    }
    if (!m_file.seek(m_readPosition)) {
        number = ErrorNumber::PathFileAccess;
        description = u"Cannot read %1: %2"_s.arg(m_sourcePath, m_file.errorString());
        return false;
    }
    const qint64 got = m_file.read(m_buffer.data(), count);
    if (got < 0) {
        number = ErrorNumber::PathFileAccess;
        description = u"Cannot read %1: %2"_s.arg(m_sourcePath, m_file.errorString());
        return false;
    }
    if (got < count) {
        number = ErrorNumber::IncompleteFile;
        description = u"%1 ended after %2 of %3 bytes"_s.arg(m_sourcePath)
                          .arg(m_readPosition + got)
                          .arg(m_streamEnd);
        return false;
    }
    m_readPosition += count;
    if (!wsSender->SendData(m_buffer)) {
        number = wsSender->LastErrorNumber();
        description = wsSender->LastErrorDescription();
        return false;
    }
    return true;
}

void BinarySender::pumpChunks()
{
    if (!m_streaming || m_pumping)
        return;
    QPointer<BinarySender> self(this);
    const quint64 stream = m_streamGeneration;
    // Only this much waits in the endpoint at a time, so memory does not grow with the file.
    const qint64 highWater = std::max(MinHighWater, HighWaterChunks * m_streamChunk);
    int number = 0;
    QString description;
    bool failed = false;
    m_pumping = true;
    while (m_readPosition < m_streamEnd && wsSender->BytesToWrite() < highWater) {
        if (!sendNextChunk(number, description)) {
            failed = true;
            break;
        }
        if (!self)
            return;
        if (stream != m_streamGeneration) {
            m_pumping = false;
            return;
        }
    }
    m_pumping = false;
    if (failed)
        abortTransfer(number, description);
    else
        finishIfComplete();
}

void BinarySender::finishIfComplete()
{
    if (m_streaming && m_readPosition >= m_streamEnd)
        stopStreaming();
}

void BinarySender::stopStreaming()
{
    if (!m_streaming)
        return;
    m_streaming = false;
    ++m_streamGeneration;
    m_file.close();
    m_buffer = QByteArray();
    tmrUploadSpeed->stop();
}

void BinarySender::failStreaming(int number, const QString &description)
{
    if (!m_streaming)
        return;
    stopStreaming();
    emit SendError(number, description);
}

void BinarySender::abortTransfer(int number, const QString &description)
{
    if (!m_streaming)
        return;
    QPointer<BinarySender> self(this);
    const quint64 generation = m_infoGeneration;
    failStreaming(number, description);
    if (self && generation == m_infoGeneration)
        endSession();
}

bool BinarySender::failAccepted(int number, const QString &description)
{
    fail(number, description);
    if (!m_awaitingStream)
        return false;
    // The receiver holds the accepted file open for bytes that will not come; the session
    // ends once the caller has heard why.
    const quint64 generation = m_infoGeneration;
    QMetaObject::invokeMethod(
        this,
        [this, generation] {
            if (generation == m_infoGeneration)
                endSession();
        },
        Qt::QueuedConnection);
    return false;
}

void BinarySender::endSession()
{
    // The wire has no failure code: closing both channels is how the receiver learns of it.
    ++m_infoGeneration;
    ++m_binaryGeneration;
    m_awaitingStream = false;
    m_infoCodes->clear();
    wsInfo->Close();
    wsSender->Close();
    emit Disconnected();
}

void BinarySender::onSendProgress(qint64 bytesSent)
{
    m_sentTotal += bytesSent;
    QPointer<BinarySender> self(this);
    emit SendProgress(m_sentTotal, m_currentFileSize);
    if (self)
        pumpChunks();
}

void BinarySender::onSpeedTick()
{
    const qint64 delta = m_sentTotal - m_lastSentSample;
    m_lastSentSample = m_sentTotal;
    emit SpeedRecord(speedSample(delta));
}

void BinarySender::onPeerClosed(SocketEndpoint *closed)
{
    const bool binaryLost = closed == wsSender;
    // Both channels make one transfer: without either, the other is of no use.
    m_awaitingStream = false;
    if (binaryLost) {
        ++m_infoGeneration;
        m_infoCodes->clear();
        wsInfo->Close();
    } else {
        ++m_binaryGeneration;
        wsSender->Close();
    }
    QPointer<BinarySender> self(this);
    failStreaming(ErrorNumber::ConnectionReset,
                  u"The receiver closed the %1 channel after %2 of %3 bytes had been handed over"_s
                      .arg(binaryLost ? u"binary"_s : u"info"_s)
                      .arg(m_readPosition)
                      .arg(m_streamEnd));
    if (self)
        emit Disconnected();
}

void BinarySender::resizeEvent(QResizeEvent *event)
{
    QWidget::resizeEvent(event);
    if (event->size() != QSize(FaceSize, FaceSize))
        resize(FaceSize, FaceSize);
}

void BinarySender::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    const QRectF box = QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5);
    painter.setPen(palette().color(QPalette::WindowText));
    painter.setBrush(palette().color(QPalette::Button));
    painter.drawRect(box);
    // An arrow pointing up: this side sends.
    const qreal mid = box.center().x();
    const QPolygonF head{{mid, 5.0}, {mid + 8.0, 14.0}, {mid - 8.0, 14.0}};
    painter.setBrush(palette().color(QPalette::Highlight));
    painter.drawPolygon(head);
    painter.drawRect(QRectF(mid - 3.0, 14.0, 6.0, 10.0));
}

} // namespace corvane
