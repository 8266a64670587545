#include "support/transferrig.h"

#include "support/testing.h"

#include "protocol/socketendpoint.h"

#include <QFile>
#include <QMetaMethod>
#include <QRegularExpression>
#include <QVariant>

using namespace Qt::StringLiterals;

namespace corvane::test {

// Logs the event with its arguments (a completion with that side's hash, taken before the
// host's ResetFile clears it), then lets the host react as a window would.
template<typename Object, typename... Args>
static void record(QStringList &log, Object *object, void (Object::*signal)(Args...),
                   const std::function<void()> &then = {})
{
    const QString name = (std::is_same_v<Object, BinarySender> ? u"S:"_s : u"R:"_s) +
                         QString::fromLatin1(QMetaMethod::fromSignal(signal).name());
    QObject::connect(object, signal, object, [=, &log](Args... args) {
        QString line = name;
        ((line += u' ' + QVariant::fromValue(args).toString()), ...);
        if (name.endsWith(u"Complete"))
            line += u' ' + object->property("Sha256").toString();
        log << line;
        if (then)
            then();
    });
}

TransferRig::TransferRig(qint64 proxySeed)
{
    replaceSender();
    BinaryReceiver *r = m_receiver.get();
    record(log, r, &BinaryReceiver::ConnectionRequest);
    record(log, r, &BinaryReceiver::SendRequest, [r, this] {
        if (!r->AcceptSendRequest(m_target))
            log << u"R:AcceptSendRequest failed %1"_s.arg(r->LastErrorNumber());
    });
    record(log, r, &BinaryReceiver::ReceiveComplete, [r] { r->ResetFile(); });
    record(log, r, &BinaryReceiver::ReceiveError);
    record(log, r, &BinaryReceiver::Error);
    record(log, r, &BinaryReceiver::Disconnected, [r] { r->Listen(); });
    for (int binary = 0; proxySeed >= 0 && binary < 2; ++binary) {
        m_proxies[binary] = std::make_unique<ResegmentingProxy>(quint32(proxySeed) + binary);
        // An announcement has no delimiter: the receiver reads each arrival as one message.
        m_proxies[binary]->maxPiece[0] = binary ? 65536 : 0;
    }
}

void TransferRig::replaceSender()
{
    m_sender = std::make_unique<BinarySender>();
    BinarySender *s = m_sender.get();
    record(log, s, &BinarySender::CommandAccepted, [s, this] {
        if (!s->SendFile())
            log << u"S:SendFile failed %1"_s.arg(s->LastErrorNumber());
    });
    record(log, s, &BinarySender::SendComplete, [s] { s->ResetFile(); });
    record(log, s, &BinarySender::SendError);
    record(log, s, &BinarySender::Error);
    record(log, s, &BinarySender::Disconnected);
}

bool TransferRig::listen()
{
    m_receiver->setLocalPortInfo(0);
    m_receiver->setLocalPortBinary(0);
    return m_receiver->Listen() &&
           (!m_proxies[0] || (m_proxies[0]->listen(quint16(m_receiver->LocalPortInfo())) &&
                              m_proxies[1]->listen(quint16(m_receiver->LocalPortBinary()))));
}

bool TransferRig::connectSender(int infoPort, int binaryPort)
{
    // A receiver elsewhere is not seen taking the channels, and may answer "ACP" before this
    // side's binary channel is up: that is awaited too.
    const int before = infoPort ? -1 : count(u"R:ConnectionRequest"_s);
    if (!infoPort) {
        infoPort = m_proxies[0] ? m_proxies[0]->port() : m_receiver->LocalPortInfo();
        binaryPort = m_proxies[1] ? m_proxies[1]->port() : m_receiver->LocalPortBinary();
    }
    m_sender->setRemoteHost(u"127.0.0.1"_s);
    m_sender->setRemotePortInfo(infoPort);
    m_sender->setRemotePortBinary(binaryPort);
    const auto *binary = qobject_cast<SocketEndpoint *>(m_sender->TheWinsock());
    return m_sender->Connect() && waitUntil([&] {
               return count(u"R:ConnectionRequest"_s) > before &&
                      binary->State() == SocketEndpoint::ConnectionState::Connected;
           });
}

bool TransferRig::start(const QByteArray &content, const QString &targetName, int chunkSize)
{
    const QString source = writeFile(m_sources.filePath(targetName), content);
    setTarget(targetName);
    m_sender->ResetFile();
    m_sender->setChunkSize(chunkSize);
    m_sender->setSource(source);
    return !source.isEmpty() && m_sender->SendInfo();
}

bool TransferRig::transfer(const QByteArray &content, const QString &targetName, int chunkSize)
{
    const qsizetype before = log.size();
    const QRegularExpression failed(u"Error|Disconnected"_s);
    const auto seen = [&](const auto &events) {
        return log.mid(before).filter(events).size();
    };
    const bool ended = start(content, targetName, chunkSize) &&
                       waitUntil([&] { return seen(failed) || seen(u"Complete"_s) == 2; }, 20000);
    return ended && !seen(failed) && readFile(m_target) == content &&
           !QFile::exists(m_target + u"TMP"_s);
}

} // namespace corvane::test
