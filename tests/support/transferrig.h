#pragma once

#include "support/resegmentingproxy.h"

#include "receiver/binaryreceiver.h"
#include "sender/binarysender.h"

#include <QDir>
#include <QTemporaryDir>

#include <memory>

namespace corvane::test {

// A sender and a receiver on loopback, optionally through re-cutting proxies, hosted as the
// windows host them (accept to the target, listen again, stream on "ACP", reset when done).
// Events go to log as "S:Event args" or "R:Event args"; completions end with the Sha256.
class TransferRig
{
public:
    // With a seed (0 or more), both channels go through proxies cut from it.
    explicit TransferRig(qint64 proxySeed = -1);
    Q_DISABLE_COPY_MOVE(TransferRig)

    bool listen();
    // Connects the sender to the given ports or this receiver; waits until the session stands.
    bool connectSender(int infoPort = 0, int binaryPort = 0);
    // Where the receiving host saves the next file (a name in folder(), or an absolute path).
    void setTarget(const QString &name) { m_target = path(name); }
    bool start(const QByteArray &content, const QString &targetName, int chunkSize = 4096);
    // Sends content and waits for both sides to be done; false when either side failed, it timed
    // out, the saved bytes differ or a temporary file stayed (why() lists the events).
    bool transfer(const QByteArray &content, const QString &targetName, int chunkSize = 4096);

    int count(const QString &event) const { return int(log.filter(event).size()); }
    QString why() const { return QLatin1String("events: ") + log.join(u'|'); }
    QString path(const QString &name) const { return QDir(m_dir.path()).filePath(name); }
    QString folder() const { return m_dir.path(); }
    BinarySender &sender() { return *m_sender; }
    BinaryReceiver &receiver() { return *m_receiver; }
    ResegmentingProxy *proxy(bool binary) const { return m_proxies[binary].get(); }
    // A new sender in place of the old one (which vanishes), wired the same way.
    void replaceSender();
    void destroyReceiver() { m_receiver.reset(); }

    QStringList log;

private:
    QTemporaryDir m_dir;
    QTemporaryDir m_sources;
    std::unique_ptr<BinaryReceiver> m_receiver = std::make_unique<BinaryReceiver>();
    std::unique_ptr<BinarySender> m_sender;
    std::unique_ptr<ResegmentingProxy> m_proxies[2]; // info, binary
    QString m_target;
};

} // namespace corvane::test
