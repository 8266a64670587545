#include "support/transferrig.h"

#include "support/testing.h"

#include <QFile>

using namespace Qt::StringLiterals;

namespace corvane::test {

TransferRig::TransferRig(std::optional<quint32> proxySeed)
    : m_seed(proxySeed), m_receiver(std::make_unique<BinaryReceiver>()),
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
    const auto note = [this](const QString &line) {
        log << u"S:"_s + line;
    };
    QObject::connect(sender, &BinarySender::Connected, sender, [=] { note(u"Connected"_s); });
    QObject::connect(sender, &BinarySender::CommandAccepted, sender, [=] {
        note(u"CommandAccepted"_s);
        if (!sender->SendFile())
            note(u"SendFile failed %1"_s.arg(sender->LastErrorNumber()));
    });
    QObject::connect(sender, &BinarySender::CommandRefused, sender, [=] {
        note(u"CommandRefused"_s);
        sender->ResetFile();
    });
    QObject::connect(sender, &BinarySender::SendComplete, sender, [=] {
        note(u"SendComplete "_s + sender->Sha256());
        sender->ResetFile();
    });
    QObject::connect(
        sender, &BinarySender::SendError, sender,
        [=](int number, const QString &text) { note(u"SendError %1 %2"_s.arg(number).arg(text)); });
    QObject::connect(sender, &BinarySender::Error, sender,
                     [=](short number, QString &text, int, const QString &, const QString &, int,
                         bool &) { note(u"Error %1 %2"_s.arg(number).arg(text)); });
    QObject::connect(sender, &BinarySender::Disconnected, sender, [=] { note(u"Disconnected"_s); });
}

void TransferRig::wireReceiver()
{
    BinaryReceiver *receiver = m_receiver.get();
    const auto note = [this](const QString &line) {
        log << u"R:"_s + line;
    };
    QObject::connect(receiver, &BinaryReceiver::ConnectionRequest, receiver,
                     [=] { note(u"ConnectionRequest"_s); });
    QObject::connect(receiver, &BinaryReceiver::SendRequest, receiver, [=, this] {
        note(u"SendRequest %1 %2"_s.arg(receiver->CurrentFileSize())
                 .arg(receiver->CurrentFileName()));
        if (acceptAnnouncements && !receiver->AcceptSendRequest(m_target))
            note(u"AcceptSendRequest failed %1"_s.arg(receiver->LastErrorNumber()));
    });
    QObject::connect(receiver, &BinaryReceiver::ReceiveComplete, receiver, [=] {
        note(u"ReceiveComplete "_s + receiver->Sha256());
        receiver->ResetFile();
    });
    QObject::connect(receiver, &BinaryReceiver::ReceiveError, receiver,
                     [=](int number, const QString &text) {
                         note(u"ReceiveError %1 %2"_s.arg(number).arg(text));
                     });
    QObject::connect(receiver, &BinaryReceiver::Error, receiver,
                     [=](short number, QString &text, int, const QString &, const QString &, int,
                         bool &) { note(u"Error %1 %2"_s.arg(number).arg(text)); });
    QObject::connect(receiver, &BinaryReceiver::Disconnected, receiver, [=, this] {
        note(u"Disconnected"_s);
        if (listenAgain && !receiver->Listen())
            note(u"Listen failed"_s);
    });
}

bool TransferRig::listen()
{
    m_receiver->setLocalPortInfo(0);
    m_receiver->setLocalPortBinary(0);
    if (!m_receiver->Listen())
        return false;
    if (!m_seed)
        return true;
    m_infoProxy = std::make_unique<ResegmentingProxy>(*m_seed);
    m_binaryProxy = std::make_unique<ResegmentingProxy>(*m_seed + 1);
    // An announcement has no delimiter: the receiver reads each arrival as one message.
    ResegmentingProxy::Cutting whole;
    whole.splitReads = false;
    m_infoProxy->setCutting(ResegmentingProxy::Direction::ToTarget, whole);
    return m_infoProxy->listen(quint16(m_receiver->LocalPortInfo())) &&
           m_binaryProxy->listen(quint16(m_receiver->LocalPortBinary()));
}

bool TransferRig::connectSender()
{
    const int before = count(u"R:ConnectionRequest"_s);
    m_sender->setRemoteHost(u"127.0.0.1"_s);
    m_sender->setRemotePortInfo(m_seed ? m_infoProxy->port() : m_receiver->LocalPortInfo());
    m_sender->setRemotePortBinary(m_seed ? m_binaryProxy->port() : m_receiver->LocalPortBinary());
    return m_sender->Connect() &&
           waitUntil([&] { return count(u"R:ConnectionRequest"_s) > before; }, 10000);
}

bool TransferRig::start(const QByteArray &content, const QString &targetName, int chunkSize)
{
    const QString source = writeFile(m_sources.filePath(targetName), content);
    m_target = path(targetName);
    m_sender->ResetFile();
    m_sender->setChunkSize(chunkSize);
    m_sender->setSource(source);
    return !source.isEmpty() && m_sender->SendInfo();
}

bool TransferRig::transfer(const QByteArray &content, const QString &targetName, int chunkSize,
                           int timeoutMs)
{
    const qsizetype before = log.size();
    const auto since = [&](const QString &event) {
        return log.mid(before).filter(event).size();
    };
    const bool ended =
        start(content, targetName, chunkSize) &&
        waitUntil(
            [&] {
                return (since(u"S:SendComplete"_s) && since(u"R:ReceiveComplete"_s)) ||
                       since(u"Error"_s) || since(u"Disconnected"_s);
            },
            timeoutMs);
    if (!ended || since(u"Error"_s) || since(u"Disconnected"_s))
        failure = ended ? u"failed"_s : u"did not end"_s;
    else if (readFile(m_target) != content)
        failure = u"the saved file differs from the one sent"_s;
    else if (QFile::exists(m_target + u"TMP"_s))
        failure = u"a temporary file stayed"_s;
    else
        return true;
    return false;
}

QString TransferRig::why() const
{
    return failure + u"; seed "_s + (m_seed ? QString::number(*m_seed) : u"-"_s) + u"; events: "_s +
           log.join(u" | "_s);
}

void TransferRig::replaceSender()
{
    m_sender = std::make_unique<BinarySender>();
    wireSender();
}

} // namespace corvane::test
