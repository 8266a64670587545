#include "transferrig.h"

#include <QDir>
#include <QEventLoop>
#include <QFile>
#include <QRandomGenerator>
#include <QTimer>

#include <cstring>
#include <unistd.h>

using namespace Qt::StringLiterals;

#ifdef __SANITIZE_ADDRESS__
// From the sanitizer runtime; GCC ships no header that declares it.
extern "C" size_t __sanitizer_get_current_allocated_bytes();
#endif

namespace corvane {

QByteArray randomBytes(qsizetype size, quint32 seed)
{
    QByteArray bytes(size, Qt::Uninitialized);
    QRandomGenerator generator(seed);
    qsizetype at = 0;
    for (; at + 4 <= size; at += 4) {
        const quint32 word = generator.generate();
        std::memcpy(bytes.data() + at, &word, 4);
    }
    for (; at < size; ++at)
        bytes[at] = char(generator.bounded(256));
    return bytes;
}

bool writeFile(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) &&
           file.write(bytes) == bytes.size() && file.flush();
}

QByteArray readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

QStringList filesIn(const QString &folder)
{
    return QDir(folder).entryList(
        QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System, QDir::Name);
}

qint64 memoryInUse()
{
#ifdef __SANITIZE_ADDRESS__
    return qint64(__sanitizer_get_current_allocated_bytes());
#endif
    QFile statm(u"/proc/self/statm"_s);
    if (!statm.open(QIODevice::ReadOnly))
        return -1;
    const QList<QByteArray> fields = statm.readAll().split(' ');
    return fields.size() > 1 ? fields.at(1).toLongLong() * ::sysconf(_SC_PAGESIZE) : -1;
}

bool waitUntil(const std::function<bool()> &condition, int timeoutMs)
{
    if (condition())
        return true;
    QEventLoop loop;
    QTimer poll;
    poll.setInterval(2);
    QObject::connect(&poll, &QTimer::timeout, &loop, [&] {
        if (condition())
            loop.quit();
    });
    QTimer::singleShot(timeoutMs, &loop, &QEventLoop::quit);
    poll.start();
    loop.exec();
    return condition();
}

RawPeer::RawPeer()
{
    QObject::connect(&info, &QTcpSocket::readyRead, &info,
                     [this] { infoReceived += info.readAll(); });
}

bool RawPeer::connectInfo(int port, const QHostAddress &from)
{
    if (!from.isNull() && !info.bind(from, 0))
        return false;
    info.connectToHost(u"127.0.0.1"_s, quint16(port));
    return waitUntil([this] { return infoReceived.startsWith("CNT"); }, 5000);
}

bool RawPeer::connectBinary(int port, const QHostAddress &from)
{
    if (!from.isNull() && !binary.bind(from, 0))
        return false;
    binary.connectToHost(u"127.0.0.1"_s, quint16(port));
    return waitUntil([this] { return binary.state() == QAbstractSocket::ConnectedState; }, 5000);
}

void RawPeer::sendInfo(const QByteArray &text)
{
    info.write(text);
    info.flush();
}

void RawPeer::sendBinary(const QByteArray &bytes)
{
    binary.write(bytes);
    binary.flush();
}

bool RawPeer::streamBinary(qint64 total, const std::function<bool()> &during)
{
    const QByteArray block = randomBytes(64 * 1024, 77);
    qint64 written = 0;
    bool stopped = false;
    waitUntil(
        [&] {
            while (written < total && binary.bytesToWrite() < 1024 * 1024 &&
                   binary.state() == QAbstractSocket::ConnectedState) {
                const qint64 size = std::min<qint64>(block.size(), total - written);
                binary.write(block.constData(), size);
                written += size;
            }
            if (during && !during())
                stopped = true;
            return stopped || binary.state() != QAbstractSocket::ConnectedState ||
                   (written == total && binary.bytesToWrite() == 0);
        },
        120000);
    return written == total && !stopped;
}

void RawPeer::closeBoth()
{
    binary.disconnectFromHost();
    info.disconnectFromHost();
}

TransferRig::TransferRig(const Options &options)
    : m_options(options), m_receiver(std::make_unique<BinaryReceiver>()),
      m_sender(std::make_unique<BinarySender>())
{
    wireSender();
    wireReceiver();
}

TransferRig::~TransferRig()
{
    // The proxies go first, so neither component sees its peer vanish during teardown.
    m_infoProxy.reset();
    m_binaryProxy.reset();
}

void TransferRig::wireSender()
{
    BinarySender *sender = m_sender.get();
    QObject::connect(sender, &BinarySender::Connected, sender, [this] {
        ++senderConnects;
        log << u"S:Connected"_s;
    });
    QObject::connect(sender, &BinarySender::CommandAccepted, sender, [this, sender] {
        log << u"S:CommandAccepted"_s;
        if (!sender->SendFile()) {
            log << u"S:SendFile failed %1 %2"_s.arg(sender->LastErrorNumber())
                       .arg(sender->LastErrorDescription());
        }
    });
    QObject::connect(sender, &BinarySender::CommandRefused, sender, [this, sender] {
        log << u"S:CommandRefused"_s;
        sender->ResetFile();
    });
    QObject::connect(sender, &BinarySender::SendComplete, sender, [this, sender] {
        ++sendCompletes;
        log << u"S:SendComplete"_s;
        sender->ResetFile();
    });
    QObject::connect(sender, &BinarySender::SendError, sender,
                     [this](int number, const QString &description) {
                         ++sendErrors;
                         log << u"S:SendError %1 %2"_s.arg(number).arg(description);
                     });
    QObject::connect(sender, &BinarySender::Error, sender,
                     [this](short number, QString &description, int, const QString &,
                            const QString &, int, bool &) {
                         ++senderSocketErrors;
                         log << u"S:Error %1 %2"_s.arg(number).arg(description);
                     });
    QObject::connect(sender, &BinarySender::Disconnected, sender, [this] {
        ++senderDisconnects;
        log << u"S:Disconnected"_s;
    });
}

void TransferRig::wireReceiver()
{
    BinaryReceiver *receiver = m_receiver.get();
    QObject::connect(receiver, &BinaryReceiver::ConnectionRequest, receiver, [this] {
        ++receiverConnects;
        log << u"R:ConnectionRequest"_s;
    });
    QObject::connect(receiver, &BinaryReceiver::SendRequest, receiver, [this, receiver] {
        ++sendRequests;
        log << u"R:SendRequest %1 %2"_s.arg(receiver->CurrentFileSize())
                   .arg(receiver->CurrentFileName());
        if (acceptAnnouncements && !receiver->AcceptSendRequest(m_target)) {
            log << u"R:Accept failed %1 %2"_s.arg(receiver->LastErrorNumber())
                       .arg(receiver->LastErrorDescription());
        }
    });
    QObject::connect(receiver, &BinaryReceiver::ReceiveComplete, receiver, [this, receiver] {
        ++receiveCompletes;
        log << u"R:ReceiveComplete"_s;
        receiver->ResetFile();
    });
    QObject::connect(receiver, &BinaryReceiver::ReceiveError, receiver,
                     [this, receiver](int number, const QString &description) {
                         ++receiveErrors;
                         log << u"R:ReceiveError %1 %2"_s.arg(number).arg(description);
                         receiver->ResetFile();
                     });
    QObject::connect(receiver, &BinaryReceiver::Error, receiver,
                     [this](short number, QString &description, int, const QString &,
                            const QString &, int, bool &) {
                         ++receiverSocketErrors;
                         log << u"R:Error %1 %2"_s.arg(number).arg(description);
                     });
    QObject::connect(receiver, &BinaryReceiver::Disconnected, receiver, [this, receiver] {
        ++receiverDisconnects;
        log << u"R:Disconnected"_s;
        if (listenAgainOnDisconnect && !receiver->Listen())
            log << u"R:Listen failed %1"_s.arg(receiver->LastErrorDescription());
    });
}

bool TransferRig::connectBoth(QString *why)
{
    return listen(why) && connectSender(why);
}

bool TransferRig::listen(QString *why)
{
    m_receiver->setLocalPortInfo(0);
    m_receiver->setLocalPortBinary(0);
    if (!m_receiver->Listen()) {
        *why = u"Listen: "_s + m_receiver->LastErrorDescription();
        return false;
    }
    m_infoPort = m_receiver->LocalPortInfo();
    m_binaryPort = m_receiver->LocalPortBinary();
    if (m_options.throughProxy) {
        m_infoProxy = std::make_unique<ResegmentingProxy>(m_options.seed);
        m_binaryProxy = std::make_unique<ResegmentingProxy>(m_options.seed + 1);
        for (const auto direction :
             {ResegmentingProxy::Direction::ToTarget, ResegmentingProxy::Direction::FromTarget}) {
            m_infoProxy->setCutting(direction, m_options.infoCutting);
            m_binaryProxy->setCutting(direction, m_options.binaryCutting);
        }
        // An announcement has no delimiter; the receiver reads each arrival as one message.
        ResegmentingProxy::Cutting whole = m_options.infoCutting;
        whole.splitReads = false;
        m_infoProxy->setCutting(ResegmentingProxy::Direction::ToTarget, whole);
        if (!m_infoProxy->listen(u"127.0.0.1"_s, quint16(m_infoPort)) ||
            !m_binaryProxy->listen(u"127.0.0.1"_s, quint16(m_binaryPort))) {
            *why = u"proxy: "_s + m_infoProxy->errorString() + m_binaryProxy->errorString();
            return false;
        }
        m_infoPort = m_infoProxy->port();
        m_binaryPort = m_binaryProxy->port();
    }
    return true;
}

bool TransferRig::connectSender(QString *why)
{
    const int senderBefore = senderConnects;
    const int receiverBefore = receiverConnects;
    m_sender->setRemoteHost(u"127.0.0.1"_s);
    m_sender->setRemotePortInfo(m_infoPort);
    m_sender->setRemotePortBinary(m_binaryPort);
    if (!m_sender->Connect()) {
        *why = u"Connect: "_s + m_sender->LastErrorDescription();
        return false;
    }
    if (!waitUntil(
            [&] { return senderConnects > senderBefore && receiverConnects > receiverBefore; },
            10000)) {
        *why = u"the channels did not come up; "_s + report();
        return false;
    }
    return true;
}

bool TransferRig::startTransfer(const QByteArray &content, int chunkSize, const QString &targetName)
{
    m_source = m_sourceDir.filePath(u"source-"_s + targetName);
    if (!writeFile(m_source, content))
        return false;
    m_target = path(targetName);
    m_sender->ResetFile();
    m_sender->setChunkSize(chunkSize);
    m_sender->setSource(m_source);
    return m_sender->SendInfo();
}

bool TransferRig::transfer(const QByteArray &content, int chunkSize, const QString &targetName,
                           int timeoutMs, QString *why)
{
    const int receivedBefore = receiveCompletes;
    const int sentBefore = sendCompletes;
    const int failuresBefore = receiveErrors + sendErrors;
    if (!startTransfer(content, chunkSize, targetName)) {
        *why = u"SendInfo: "_s + m_sender->LastErrorDescription();
        return false;
    }
    const bool ended = waitUntil(
        [&] {
            return (receiveCompletes > receivedBefore && sendCompletes > sentBefore) ||
                   receiveErrors + sendErrors > failuresBefore;
        },
        timeoutMs);
    if (!ended || receiveErrors + sendErrors > failuresBefore) {
        *why = (ended ? u"failed; "_s : u"timed out; "_s) + report();
        return false;
    }
    if (readFile(m_target) != content) {
        *why = u"the saved file differs from the one sent; "_s + report();
        return false;
    }
    if (QFile::exists(m_target + u"TMP"_s)) {
        *why = u"a temporary file was left; "_s + report();
        return false;
    }
    return true;
}

QString TransferRig::report() const
{
    const QStringList tail = log.mid(std::max<qsizetype>(0, log.size() - 30));
    return u"proxy seed %1 (replay with CORVANE_PROXY_SEED=%1); last events: %2"_s
        .arg(m_options.seed)
        .arg(tail.join(u" | "_s));
}

void TransferRig::destroyReceiver()
{
    m_receiver.reset();
}

void TransferRig::destroySender()
{
    m_sender.reset();
}

void TransferRig::replaceSender()
{
    m_sender = std::make_unique<BinarySender>();
    wireSender();
}

} // namespace corvane
