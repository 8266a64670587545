#pragma once

#include "support/resegmentingproxy.h"

#include "receiver/binaryreceiver.h"
#include "sender/binarysender.h"

#include <QStringList>
#include <QTemporaryDir>

#include <memory>

namespace corvane::test {

// A sender and a receiver in this process on loopback, each channel optionally through a
// re-cutting proxy, driven the way the windows drive them: the receiving host accepts each
// announcement to the next target, the sending host streams from CommandAccepted, and both
// clear their per-file state when a file is done. Every event goes to log as "S:Event args"
// or "R:Event args".
class TransferRig
{
public:
    // With a seed, both channels go through proxies cut from it.
    explicit TransferRig(std::optional<quint32> proxySeed = std::nullopt);
    ~TransferRig();
    Q_DISABLE_COPY_MOVE(TransferRig)

    // Listens on free ports (and starts the proxies); then connects the sender and waits
    // until the receiver has taken both channels.
    bool listen();
    bool connectSender();
    bool connectBoth() { return listen() && connectSender(); }
    // Where the receiving host saves the next file announced by a peer other than this sender.
    void setTarget(const QString &name) { m_target = path(name); }
    // Announces content under targetName and returns at once; the hosts go on as above.
    bool start(const QByteArray &content, const QString &targetName, int chunkSize = 4096);
    // Sends content and waits for both sides to report it done; false (with why() saying so)
    // when either side failed, it timed out, the saved bytes differ or a temporary file stayed.
    bool transfer(const QByteArray &content, const QString &targetName, int chunkSize = 4096,
                  int timeoutMs = 20000);

    int count(const QString &event) const { return int(log.filter(event).size()); }
    QString why() const;
    QString path(const QString &name) const { return m_dir.filePath(name); }
    QString folder() const { return m_dir.path(); }

    BinarySender &sender() { return *m_sender; }
    BinaryReceiver &receiver() { return *m_receiver; }
    ResegmentingProxy *proxy(bool binary) const
    {
        return (binary ? m_binaryProxy : m_infoProxy).get();
    }
    // A new sender in place of the old one (which vanishes), wired the same way.
    void replaceSender();
    void destroyReceiver() { m_receiver.reset(); }

    QStringList log;
    bool acceptAnnouncements = true;
    // The receiving host calls Listen again when the session ends, as the window does.
    bool listenAgain = true;
    QString failure;

private:
    void wireSender();
    void wireReceiver();

    std::optional<quint32> m_seed;
    QTemporaryDir m_dir;
    QTemporaryDir m_sources;
    std::unique_ptr<BinaryReceiver> m_receiver;
    std::unique_ptr<BinarySender> m_sender;
    std::unique_ptr<ResegmentingProxy> m_infoProxy;
    std::unique_ptr<ResegmentingProxy> m_binaryProxy;
    QString m_target;
};

} // namespace corvane::test
