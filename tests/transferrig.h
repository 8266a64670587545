#pragma once

#include "resegmentingproxy.h"

#include "receiver/binaryreceiver.h"
#include "sender/binarysender.h"

#include <QByteArray>
#include <QHostAddress>
#include <QStringList>
#include <QTcpSocket>
#include <QTemporaryDir>

#include <functional>
#include <memory>

namespace corvane {

QByteArray randomBytes(qsizetype size, quint32 seed);
bool writeFile(const QString &path, const QByteArray &bytes);
QByteArray readFile(const QString &path);
// Files in a folder, hidden ones included.
QStringList filesIn(const QString &folder);
// Memory this process holds: its resident size from /proc, or under AddressSanitizer, whose
// quarantine keeps freed blocks resident for a while, the bytes its allocator has live.
qint64 memoryInUse();
// Runs the event loop until condition holds or the time is up. Unlike QTest::qWaitFor, which
// sleeps 10 ms between turns, it never sleeps: a stream that moves one block per turn of
// the loop runs at full speed.
bool waitUntil(const std::function<bool()> &condition, int timeoutMs);

// A hand-made peer in place of a BinarySender: two plain sockets, optionally bound to a
// chosen local address, that write whatever a test wants and record what comes back.
class RawPeer
{
public:
    RawPeer();
    Q_DISABLE_COPY_MOVE(RawPeer)

    // Connects the info channel and waits for the receiver's "CNT".
    bool connectInfo(int port, const QHostAddress &from = {});
    // Connects the binary channel; whether the receiver keeps it shows later.
    bool connectBinary(int port, const QHostAddress &from = {});
    void sendInfo(const QByteArray &text);
    void sendBinary(const QByteArray &bytes);
    // Writes total bytes on the binary channel, never more than 1 MiB queued at a time.
    // Calls during() between writes; stops early when it returns false.
    bool streamBinary(qint64 total, const std::function<bool()> &during);
    void closeBoth();

    QTcpSocket info;
    QTcpSocket binary;
    QByteArray infoReceived;
};

// A sender and a receiver in this process, on loopback, optionally with a re-cutting proxy on
// each channel, driven the way the windows drive them: the receiving host accepts each
// announcement to the next target, the sending host streams from CommandAccepted, and both
// clear their per-file state when a file is done. Every event is logged with its side.
class TransferRig
{
public:
    struct Options
    {
        bool throughProxy = false;
        quint32 seed = 0;
        ResegmentingProxy::Cutting infoCutting;
        ResegmentingProxy::Cutting binaryCutting;
    };

    explicit TransferRig(const Options &options);
    ~TransferRig();
    Q_DISABLE_COPY_MOVE(TransferRig)

    // Listens, connects (through the proxies when asked) and waits until both channels are up.
    bool connectBoth(QString *why);
    // The two halves of connectBoth; connectSender also reconnects after a loss.
    bool listen(QString *why);
    bool connectSender(QString *why);
    // Sends one file and waits for both sides to report it done; the target is in folder().
    bool transfer(const QByteArray &content, int chunkSize, const QString &targetName,
                  int timeoutMs, QString *why);
    // Announces content and returns at once; the hosts go on as above.
    bool startTransfer(const QByteArray &content, int chunkSize, const QString &targetName);

    // Where the receiving host saves the next accepted file.
    void setTarget(const QString &name) { m_target = path(name); }
    QString folder() const { return m_dir.path(); }
    QString path(const QString &name) const { return m_dir.filePath(name); }
    // What to print on failure: seed and the event log.
    QString report() const;

    BinaryReceiver &receiver() { return *m_receiver; }
    BinarySender &sender() { return *m_sender; }
    // Lets a test take the receiver away (it disappears) or put a fresh one in its place.
    void destroyReceiver();
    void destroySender();
    // A new sender in place of the old one, wired the same way.
    void replaceSender();
    ResegmentingProxy *infoProxy() const { return m_infoProxy.get(); }
    ResegmentingProxy *binaryProxy() const { return m_binaryProxy.get(); }

    QStringList log;
    int receiveCompletes = 0;
    int sendCompletes = 0;
    int receiveErrors = 0;
    int sendErrors = 0;
    int senderSocketErrors = 0;
    int receiverSocketErrors = 0;
    int senderDisconnects = 0;
    int receiverDisconnects = 0;
    int sendRequests = 0;
    int senderConnects = 0;
    int receiverConnects = 0;
    bool acceptAnnouncements = true;
    // Hosts call Listen again when the sender goes, as the receiver window does.
    bool listenAgainOnDisconnect = false;

private:
    void wireSender();
    void wireReceiver();

    Options m_options;
    QTemporaryDir m_dir;
    QTemporaryDir m_sourceDir;
    std::unique_ptr<BinaryReceiver> m_receiver;
    std::unique_ptr<BinarySender> m_sender;
    std::unique_ptr<ResegmentingProxy> m_infoProxy;
    std::unique_ptr<ResegmentingProxy> m_binaryProxy;
    QString m_source;
    QString m_target;
    int m_infoPort = 0;
    int m_binaryPort = 0;
};

} // namespace corvane
