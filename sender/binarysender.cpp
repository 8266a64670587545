#include "sender/binarysender.h"

#include "protocol/announcement.h"
#include "protocol/errornumber.h"
#include "protocol/filenamefrompath.h"
#include "protocol/infocode.h"
#include "protocol/infocodestream.h"
#include "protocol/sha256hash.h"
#include "protocol/socketendpoint.h"
#include "protocol/socketerror.h"
#include "protocol/speedsample.h"

#include <QFile>
#include <QFileInfo>
#include <QHostAddress>
#include <QPainter>
#include <QPointer>
#include <QResizeEvent>
#include <QTimer>

#include <algorithm>
#include <new>
#include <utility>

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

class BinarySender::Private
{
public:
    explicit Private(BinarySender *q)
        : q(q), wsInfo(new SocketEndpoint(q)), wsSender(new SocketEndpoint(q)),
          tmrUploadSpeed(new QTimer(q)), m_infoCodes(std::make_unique<InfoCodeStream>())
    {}

    // Properties with a NOTIFY signal.
    enum Change : unsigned
    {
        FileSizeChange = 1,
        FileNameChange = 2,
        SentTotalChange = 4,
        ReadPositionChange = 8,
        StreamingChange = 16,
        Sha256Change = 32
    };
    template<typename T>
    void update(T &field, const T &value, Change change);
    void markChanged(Change change);
    void tellChanges();

    bool fail(int number, const QString &description);
    void forwardError(SocketEndpoint *endpoint, short number, QString &description, int scode,
                      const QString &source, const QString &helpFile, int helpContext,
                      bool &cancelDisplay);
    void onInfoArrival();
    void handleCode(const QString &code);
    void openBinaryChannel();
    void onSendProgress(qint64 bytesSent);
    void pumpChunks();
    bool sendNextChunk(int &number, QString &description);
    void finishIfComplete();
    void stopStreaming();
    void failStreaming(int number, const QString &description);
    void abortTransfer(int number, const QString &description);
    bool failAccepted(int number, const QString &description);
    void endSession();
    void closeChannels();
    void onSpeedTick();
    void onPeerClosed(SocketEndpoint *closed);

    BinarySender *const q;
    SocketEndpoint *const wsInfo;
    SocketEndpoint *const wsSender;
    QTimer *const tmrUploadSpeed;
    const std::unique_ptr<InfoCodeStream> m_infoCodes;

    int m_chunkSize = DefaultChunkSize;
    qint64 m_currentFileSize = 0;
    QString m_currentFileName;
    qint64 m_sentTotal = 0;
    QString m_sourcePath;
    qint64 m_readPosition = 0;
    qint64 m_lastSentSample = 0;
    QFile m_file;
    QByteArray m_buffer;
    bool m_streaming = false;
    // From a sent announcement until its refusal, its confirmation or the end of the session.
    bool m_announced = false;
    // "ACP" came and no "RFC" yet: the receiver holds the file open for its bytes.
    bool m_awaitingStream = false;
    // Where the info channel went; the binary channel goes to the same address.
    QHostAddress m_infoPeer;
    // The hash of the file's bytes as they are read, in order, from its first byte on.
    Sha256Hash m_hash;
    qint64 m_hashedUpTo = 0;
    QString m_sha256;
    int m_lastErrorNumber = 0;
    QString m_lastErrorDescription;
    // Properties changed since their signals were last emitted.
    unsigned m_changed = 0;

    // A queued connect or a running pass over arrived messages goes on only while its
    // generation is still current; Connect, Reset and a lost channel move these on.
    quint64 m_infoGeneration = 0;
    quint64 m_binaryGeneration = 0;
    quint64 m_streamGeneration = 0;
    // Taken when a stream starts, so a host that changes ChunkSize or Source mid-stream
    // cannot corrupt it.
    qint64 m_streamEnd = 0;
    qint64 m_streamChunk = 0;
    bool m_pumping = false;
};

BinarySender::BinarySender(QWidget *parent) : QWidget(parent), d(std::make_unique<Private>(this))
{
    d->tmrUploadSpeed->setInterval(SpeedSampleIntervalMs);
    d->wsSender->setRemotePort(DefaultPortBinary);
    d->wsInfo->setRemotePort(DefaultPortInfo);
    setFixedSize(FaceSize, FaceSize);

    for (SocketEndpoint *endpoint : {d->wsInfo, d->wsSender}) {
        connect(endpoint, &SocketEndpoint::Error, this,
                [this, endpoint](short number, QString &description, int scode,
                                 const QString &source, const QString &helpFile, int helpContext,
                                 bool &cancelDisplay) {
                    d->forwardError(endpoint, number, description, scode, source, helpFile,
                                    helpContext, cancelDisplay);
                });
        connect(endpoint, &SocketEndpoint::Closed, this,
                [this, endpoint] { d->onPeerClosed(endpoint); });
    }
    connect(d->wsInfo, &SocketEndpoint::DataArrival, this, [this] { d->onInfoArrival(); });
    connect(d->wsSender, &SocketEndpoint::SendProgress, this,
            [this](qint64 bytesSent, qint64) { d->onSendProgress(bytesSent); });
    connect(d->tmrUploadSpeed, &QTimer::timeout, this, [this] { d->onSpeedTick(); });
}

BinarySender::~BinarySender()
{
    // QWidget deletes its children before QObject drops their connections; nothing they
    // emit on the way out may reach this half-destroyed component.
    d->wsInfo->disconnect(this);
    d->wsSender->disconnect(this);
    d->tmrUploadSpeed->disconnect(this);
}

int BinarySender::ChunkSize() const
{
    return d->m_chunkSize;
}

void BinarySender::setChunkSize(int size)
{
    d->m_chunkSize = size;
}

qint64 BinarySender::CurrentFileSize() const
{
    return d->m_currentFileSize;
}

QString BinarySender::CurrentFileName() const
{
    return d->m_currentFileName;
}

QString BinarySender::Source() const
{
    return d->m_sourcePath;
}

qint64 BinarySender::SentTotal() const
{
    return d->m_sentTotal;
}

qint64 BinarySender::ReadPosition() const
{
    return d->m_readPosition;
}

bool BinarySender::Streaming() const
{
    return d->m_streaming;
}

QString BinarySender::Sha256() const
{
    return d->m_sha256;
}

int BinarySender::LastErrorNumber() const
{
    return d->m_lastErrorNumber;
}

QString BinarySender::LastErrorDescription() const
{
    return d->m_lastErrorDescription;
}

QObject *BinarySender::TheWinsock() const
{
    return d->wsSender;
}

QString BinarySender::RemoteHost() const
{
    return d->wsSender->RemoteHost();
}

void BinarySender::setRemoteHost(const QString &Host)
{
    d->wsSender->setRemoteHost(Host);
}

QString BinarySender::RemoteHostIP() const
{
    return d->wsSender->RemoteHostIP();
}

int BinarySender::RemotePortBinary() const
{
    return d->wsSender->RemotePort();
}

void BinarySender::setRemotePortBinary(int Port)
{
    d->wsSender->setRemotePort(Port);
}

int BinarySender::RemotePortInfo() const
{
    return d->wsInfo->RemotePort();
}

void BinarySender::setRemotePortInfo(int Port)
{
    d->wsInfo->setRemotePort(Port);
}

void BinarySender::setSource(const QString &path)
{
    d->m_sourcePath = path;
    d->update(d->m_currentFileName, fileNameFromPath(path), Private::FileNameChange);
    const QFileInfo info(path);
    if (!path.isEmpty() && info.isFile())
        d->update(d->m_currentFileSize, info.size(), Private::FileSizeChange);
}

template<typename T>
void BinarySender::Private::update(T &field, const T &value, Change change)
{
    if (field == value)
        return;
    field = value;
    markChanged(change);
}

void BinarySender::Private::markChanged(Change change)
{
    // Told from the event loop, at most once a pass, so streaming pays nearly nothing for it
    // and a host's handler cannot delete or reset the component inside the code that changed
    // the value.
    if (m_changed == 0)
        QMetaObject::invokeMethod(
            q, [this] { tellChanges(); }, Qt::QueuedConnection);
    m_changed |= change;
}

void BinarySender::Private::tellChanges()
{
    const QPointer<BinarySender> self(q);
    const unsigned changed = std::exchange(m_changed, 0u);
    // A handler may delete the component; the rest is then left untold.
    const auto tell = [&](Change change) {
        return self && (changed & change);
    };
    if (tell(FileSizeChange))
        emit q->CurrentFileSizeChanged(m_currentFileSize);
    if (tell(FileNameChange))
        emit q->CurrentFileNameChanged(m_currentFileName);
    if (tell(SentTotalChange))
        emit q->SentTotalChanged(m_sentTotal);
    if (tell(ReadPositionChange))
        emit q->ReadPositionChanged(m_readPosition);
    if (tell(StreamingChange))
        emit q->StreamingChanged(m_streaming);
    if (tell(Sha256Change))
        emit q->Sha256Changed(m_sha256);
}

bool BinarySender::Private::fail(int number, const QString &description)
{
    m_lastErrorNumber = number;
    m_lastErrorDescription = description;
    return false;
}

void BinarySender::ResetFile()
{
    d->stopStreaming();
    d->m_announced = false;
    d->m_awaitingStream = false;
    d->m_hash.reset();
    d->m_hashedUpTo = 0;
    d->update(d->m_sha256, QString(), Private::Sha256Change);
    d->update(d->m_currentFileSize, qint64(0), Private::FileSizeChange);
    d->update(d->m_currentFileName, QString(), Private::FileNameChange);
    d->m_chunkSize = DefaultChunkSize;
    d->update(d->m_sentTotal, qint64(0), Private::SentTotalChange);
    d->m_sourcePath.clear();
    d->update(d->m_readPosition, qint64(0), Private::ReadPositionChange);
    d->m_lastSentSample = 0;
    d->tmrUploadSpeed->stop();
}

void BinarySender::Reset()
{
    ResetFile();
    d->closeChannels();
}

bool BinarySender::Cancel()
{
    if (!d->m_announced && !d->m_awaitingStream && !d->m_streaming)
        return d->fail(ErrorNumber::InvalidArgument, u"No file is being sent"_s);
    d->stopStreaming();
    d->closeChannels();
    return true;
}

void BinarySender::Private::closeChannels()
{
    ++m_infoGeneration;
    ++m_binaryGeneration;
    m_announced = false;
    m_awaitingStream = false;
    m_infoCodes->clear();
    wsInfo->Close();
    wsSender->Close();
}

bool BinarySender::Connect()
{
    const QString host = d->wsSender->RemoteHost().trimmed();
    if (host.isEmpty())
        return d->fail(ErrorNumber::AddressNotAvailable, u"No remote host is set"_s);
    if (!validPort(d->wsInfo->RemotePort()))
        return d->fail(
            ErrorNumber::SocketInvalidArgument,
            u"The info port %1 is not between 1 and 65535"_s.arg(d->wsInfo->RemotePort()));
    d->wsInfo->Close();
    d->m_infoCodes->clear();
    d->wsInfo->setRemoteHost(host);
    const quint64 generation = ++d->m_infoGeneration;
    QMetaObject::invokeMethod(
        this,
        [this, generation] {
            if (generation != d->m_infoGeneration)
                return;
            if (!d->wsInfo->Connect()) {
                QString description = d->wsInfo->LastErrorDescription();
                bool cancelDisplay = false;
                d->forwardError(d->wsInfo, short(d->wsInfo->LastErrorNumber()), description,
                                d->wsInfo->LastErrorNumber(), u"BinarySender"_s, QString(), 0,
                                cancelDisplay);
            }
        },
        Qt::QueuedConnection);
    return true;
}

void BinarySender::Private::openBinaryChannel()
{
    wsSender->Close();
    const quint64 generation = ++m_binaryGeneration;
    QPointer<BinarySender> self(q);
    failStreaming(ErrorNumber::ConnectionAborted,
                  u"The binary channel was reopened after %1 of %2 bytes had been handed over"_s
                      .arg(m_readPosition)
                      .arg(m_streamEnd));
    if (!self || generation != m_binaryGeneration)
        return;
    m_infoPeer = wsInfo->peerAddress();
    QMetaObject::invokeMethod(
        q,
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

void BinarySender::Private::forwardError(SocketEndpoint *endpoint, short number,
                                         QString &description, int scode, const QString &source,
                                         const QString &helpFile, int helpContext,
                                         bool &cancelDisplay)
{
    QPointer<BinarySender> self(q);
    emit q->Error(number, description, scode, source, helpFile, helpContext, cancelDisplay);
    if (!self)
        return;
    // A binary channel that failed for good cannot carry the rest of the stream.
    if (endpoint == wsSender && m_streaming &&
        wsSender->State() != SocketEndpoint::ConnectionState::Connected)
        abortTransfer(scode, u"%1 after %2 of %3 bytes had been handed over"_s.arg(description)
                                 .arg(m_readPosition)
                                 .arg(m_streamEnd));
}

void BinarySender::Private::onInfoArrival()
{
    const QStringList messages = m_infoCodes->append(wsInfo->GetText());
    QPointer<BinarySender> self(q);
    const quint64 generation = m_infoGeneration;
    for (const QString &message : messages) {
        handleCode(message);
        // The host may have deleted or reset the component from an event.
        if (!self || generation != m_infoGeneration)
            return;
    }
}

void BinarySender::Private::handleCode(const QString &code)
{
    switch (matchSenderCode(code)) {
    case InfoCode::ReceiveComplete:
        m_announced = false;
        m_awaitingStream = false;
        tmrUploadSpeed->stop();
        // An empty file is confirmed at acceptance, often before SendFile has run: it is
        // complete all the same, and its hash is that of nothing.
        if (m_currentFileSize == 0 && m_sha256.isEmpty()) {
            m_hash.reset();
            update(m_sha256, m_hash.finish(), Sha256Change);
        }
        emit q->SendComplete();
        break;
    case InfoCode::Refused:
        m_announced = false;
        emit q->CommandRefused();
        break;
    case InfoCode::Accepted:
        m_awaitingStream = true;
        emit q->CommandAccepted();
        break;
    case InfoCode::Connected: {
        QPointer<BinarySender> self(q);
        const quint64 generation = m_infoGeneration;
        emit q->Connected();
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
    if (d->wsInfo->State() != SocketEndpoint::ConnectionState::Connected) {
        const SocketError error = SocketError::fromNumber(ErrorNumber::NotConnected);
        return d->fail(error.number, error.description);
    }
    if (d->m_sourcePath.isEmpty())
        return d->fail(ErrorNumber::FileNotFound, u"No source file is set"_s);
    const QFileInfo info(d->m_sourcePath);
    if (!info.isFile())
        return d->fail(ErrorNumber::FileNotFound, u"File not found: %1"_s.arg(d->m_sourcePath));
    if (!info.isReadable())
        return d->fail(ErrorNumber::PathFileAccess, u"Cannot read %1"_s.arg(d->m_sourcePath));
    if (!d->wsInfo->SendData(Announcement{d->m_currentFileSize, d->m_currentFileName}.text()))
        return d->fail(d->wsInfo->LastErrorNumber(), d->wsInfo->LastErrorDescription());
    d->m_announced = true;
    return true;
}

bool BinarySender::SendFile()
{
    if (d->m_streaming)
        return d->fail(ErrorNumber::TransferInProgress, u"A file is already being sent"_s);
    if (d->m_chunkSize < 1)
        return d->fail(ErrorNumber::InvalidArgument,
                       u"The chunk size must be at least 1 byte, not %1"_s.arg(d->m_chunkSize));
    if (d->m_sourcePath.isEmpty())
        return d->failAccepted(ErrorNumber::FileNotFound, u"No source file is set"_s);
    d->m_file.setFileName(d->m_sourcePath);
    if (!d->m_file.open(QIODevice::ReadOnly | QIODevice::Unbuffered)) {
        if (!QFileInfo::exists(d->m_sourcePath))
            return d->failAccepted(ErrorNumber::FileNotFound,
                                   u"File not found: %1"_s.arg(d->m_sourcePath));
        return d->failAccepted(
            ErrorNumber::PathFileAccess,
            u"Cannot open %1: %2"_s.arg(d->m_sourcePath, d->m_file.errorString()));
    }
    d->m_streamEnd = d->m_currentFileSize;
    d->m_streamChunk = d->m_chunkSize;
    if (d->m_streamEnd > d->m_readPosition &&
        d->wsSender->State() != SocketEndpoint::ConnectionState::Connected) {
        d->m_file.close();
        const SocketError error = SocketError::fromNumber(ErrorNumber::NotConnected);
        return d->failAccepted(error.number, u"The binary channel is not connected"_s);
    }

    const quint64 stream = ++d->m_streamGeneration;
    if (d->m_readPosition == 0) {
        d->m_hash.reset();
        d->m_hashedUpTo = 0;
    }
    d->update(d->m_streaming, true, Private::StreamingChange);
    d->tmrUploadSpeed->start();
    if (d->m_streamEnd > d->m_readPosition) {
        int number = 0;
        QString description;
        QPointer<BinarySender> self(this);
        if (!d->sendNextChunk(number, description)) {
            d->stopStreaming();
            return d->failAccepted(number, description);
        }
        // Handing over a chunk notifies the host, which may have deleted, reset or
        // restarted the component from there.
        if (!self || stream != d->m_streamGeneration)
            return true;
    }
    d->finishIfComplete();
    return true;
}

bool BinarySender::Private::sendNextChunk(int &number, QString &description)
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
    if (m_hashedUpTo == m_readPosition) {
        m_hash.add(m_buffer);
        m_hashedUpTo += count;
    }
    update(m_readPosition, m_readPosition + count, ReadPositionChange);
    if (!wsSender->SendData(m_buffer)) {
        number = wsSender->LastErrorNumber();
        description = wsSender->LastErrorDescription();
        return false;
    }
    return true;
}

void BinarySender::Private::pumpChunks()
{
    if (!m_streaming || m_pumping)
        return;
    QPointer<BinarySender> self(q);
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

void BinarySender::Private::finishIfComplete()
{
    if (!m_streaming || m_readPosition < m_streamEnd)
        return;
    stopStreaming();
    if (m_hashedUpTo == m_streamEnd && m_sha256.isEmpty())
        update(m_sha256, m_hash.finish(), Sha256Change);
}

void BinarySender::Private::stopStreaming()
{
    if (!m_streaming)
        return;
    update(m_streaming, false, StreamingChange);
    ++m_streamGeneration;
    m_file.close();
    m_buffer = QByteArray();
    tmrUploadSpeed->stop();
}

void BinarySender::Private::failStreaming(int number, const QString &description)
{
    if (!m_streaming)
        return;
    stopStreaming();
    emit q->SendError(number, description);
}

void BinarySender::Private::abortTransfer(int number, const QString &description)
{
    if (!m_streaming)
        return;
    QPointer<BinarySender> self(q);
    const quint64 generation = m_infoGeneration;
    failStreaming(number, description);
    if (self && generation == m_infoGeneration)
        endSession();
}

bool BinarySender::Private::failAccepted(int number, const QString &description)
{
    fail(number, description);
    if (!m_awaitingStream)
        return false;
    // The receiver holds the accepted file open for bytes that will not come; the session
    // ends once the caller has heard why.
    const quint64 generation = m_infoGeneration;
    QMetaObject::invokeMethod(
        q,
        [this, generation] {
            if (generation == m_infoGeneration)
                endSession();
        },
        Qt::QueuedConnection);
    return false;
}

void BinarySender::Private::endSession()
{
    // The wire has no failure code: closing both channels is how the receiver learns of it.
    closeChannels();
    emit q->Disconnected();
}

void BinarySender::Private::onSendProgress(qint64 bytesSent)
{
    update(m_sentTotal, m_sentTotal + bytesSent, SentTotalChange);
    QPointer<BinarySender> self(q);
    emit q->SendProgress(m_sentTotal, m_currentFileSize);
    if (self)
        pumpChunks();
}

void BinarySender::Private::onSpeedTick()
{
    const qint64 delta = m_sentTotal - m_lastSentSample;
    m_lastSentSample = m_sentTotal;
    emit q->SpeedRecord(speedSample(delta));
}

void BinarySender::Private::onPeerClosed(SocketEndpoint *closed)
{
    const bool binaryLost = closed == wsSender;
    // Both channels make one transfer: without either, the other is of no use.
    m_announced = false;
    m_awaitingStream = false;
    if (binaryLost) {
        ++m_infoGeneration;
        m_infoCodes->clear();
        wsInfo->Close();
    } else {
        ++m_binaryGeneration;
        wsSender->Close();
    }
    QPointer<BinarySender> self(q);
    failStreaming(ErrorNumber::ConnectionReset,
                  u"The receiver closed the %1 channel after %2 of %3 bytes had been handed over"_s
                      .arg(binaryLost ? u"binary"_s : u"info"_s)
                      .arg(m_readPosition)
                      .arg(m_streamEnd));
    if (self)
        emit q->Disconnected();
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
