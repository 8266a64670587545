#include "support/transferrig.h"

#include "support/testing.h"

#include "protocol/socketendpoint.h"

#include <QFile>
#include <QRegularExpression>
#include <QVariant>

using namespace Qt::StringLiterals;

namespace corvane::test {

namespace {
// Logs the event with its arguments, then lets the host react as a window would.
template<typename Object, typename... Args>
void record(QStringList &log, Object *object, void (Object::*signal)(Args...), const QString &name,
            const std::function<void()> &then = {})
{
    QObject::connect(object, signal, object, [=, &log](Args... args) {
        QString line = name;
        ((line += u' ' + QVariant::fromValue(args).toString()), ...);
        // A completion carries that side's hash, taken before the host's ResetFile clears it.
        if (name.endsWith(u"Complete"))
            line += u' ' + object->property("Sha256").toString();
        log << line;
        if (then)
            then();
    });
}
} // namespace

TransferRig::TransferRig(std::optional<quint32> proxySeed) : m_seed(proxySeed)
{
    replaceSender();
    BinaryReceiver *r = m_receiver.get();
    record(log, r, &BinaryReceiver::ConnectionRequest, u"R:ConnectionRequest"_s);
    record(log, r, &BinaryReceiver::SendRequest, u"R:SendRequest"_s, [r, this] {
        if (!r->AcceptSendRequest(m_target))
            log << u"R:AcceptSendRequest failed %1"_s.arg(r->LastErrorNumber());
    });
    record(log, r, &BinaryReceiver::ReceiveComplete, u"R:ReceiveComplete"_s,
           [r] { r->ResetFile(); });
    record(log, r, &BinaryReceiver::ReceiveError, u"R:ReceiveError"_s);
    record(log, r, &BinaryReceiver::Error, u"R:Error"_s);
    record(log, r, &BinaryReceiver::Disconnected, u"R:Disconnected"_s, [r, this] {
        if (!r->Listen())
            log << u"R:Listen failed"_s;
    });
}

void TransferRig::replaceSender()
{
    m_sender = std::make_unique<BinarySender>();
    BinarySender *s = m_sender.get();
    record(log, s, &BinarySender::Connected, u"S:Connected"_s);
    record(log, s, &BinarySender::CommandAccepted, u"S:CommandAccepted"_s, [s, this] {
        if (!s->SendFile())
            log << u"S:SendFile failed %1"_s.arg(s->LastErrorNumber());
    });
    record(log, s, &BinarySender::SendComplete, u"S:SendComplete"_s, [s] { s->ResetFile(); });
    record(log, s, &BinarySender::SendError, u"S:SendError"_s);
    record(log, s, &BinarySender::Error, u"S:Error"_s);
    record(log, s, &BinarySender::Disconnected, u"S:Disconnected"_s);
}

bool TransferRig::listen()
{
    m_receiver->setLocalPortInfo(0);
    m_receiver->setLocalPortBinary(0);
    bool ok = m_receiver->Listen();
    for (int binary = 0; m_seed && binary < 2; ++binary) {
        m_proxies[binary] = std::make_unique<ResegmentingProxy>(*m_seed + binary);
        // An announcement has no delimiter: the receiver reads each arrival as one message.
        m_proxies[binary]->setMaxPiece(ResegmentingProxy::ToTarget, binary ? 65536 : 0);
        ok = ok && m_proxies[binary]->listen(quint16(binary ? m_receiver->LocalPortBinary()
                                                            : m_receiver->LocalPortInfo()));
    }
    return ok;
}

bool TransferRig::connectSender(int infoPort, int binaryPort)
{
    // A receiver elsewhere is not seen taking the channels; it may answer "ACP" before this
    // side's binary channel is up, so that is awaited too.
    const int before = infoPort ? -1 : count(u"R:ConnectionRequest"_s);
    if (!infoPort) {
        infoPort = m_seed ? m_proxies[0]->port() : m_receiver->LocalPortInfo();
        binaryPort = m_seed ? m_proxies[1]->port() : m_receiver->LocalPortBinary();
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
    const auto seen = [&](const QString &events) {
        return log.mid(before).filter(QRegularExpression(events)).size();
    };
    const QString failed = u"Error|Disconnected"_s;
    const bool ended = start(content, targetName, chunkSize) &&
                       waitUntil([&] { return seen(failed) || seen(u"Complete"_s) == 2; }, 20000);
    m_failure = !ended                               ? u"did not end"_s
                : seen(failed)                       ? u"failed"_s
                : readFile(m_target) != content      ? u"the saved file differs from the one sent"_s
                : QFile::exists(m_target + u"TMP"_s) ? u"a temporary file stayed"_s
                                                     : QString();
    return m_failure.isEmpty();
}

} // namespace corvane::test
