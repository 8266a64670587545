#include "protocol/socketendpoint.h"
#include "receiver/binaryreceiver.h"
#include "sender/binarysender.h"
#include "support/eventlog.h"
#include "support/testsupport.h"

#include <QDir>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

using namespace corvane;
using namespace corvane::test;
using namespace Qt::StringLiterals;

namespace {
// Both components on loopback, driven the way the windows drive them: the receiving host
// accepts (or refuses) each announcement from SendRequest, the sending host calls SendFile
// from CommandAccepted, and both clear their per-file state when a file is done.
struct Pair
{
    EventLog log;
    QTemporaryDir dir;
    BinaryReceiver receiver;
    BinarySender sender;
    bool refuseNext = false;

    Pair()
    {
        log.record(&sender, &BinarySender::Connected, u"S:Connected"_s);
        log.record(&sender, &BinarySender::CommandAccepted, u"S:CommandAccepted"_s);
        log.record(&sender, &BinarySender::CommandRefused, u"S:CommandRefused"_s);
        log.record(&sender, &BinarySender::SendProgress, u"S:SendProgress"_s);
        log.record(&sender, &BinarySender::SendComplete, u"S:SendComplete"_s);
        log.record(&sender, &BinarySender::SendError, u"S:SendError"_s);
        log.record(&receiver, &BinaryReceiver::ConnectionRequest, u"R:ConnectionRequest"_s);
        log.record(&receiver, &BinaryReceiver::ReceiveProgress, u"R:ReceiveProgress"_s);
        log.record(&receiver, &BinaryReceiver::ReceiveComplete, u"R:ReceiveComplete"_s);
        log.record(&receiver, &BinaryReceiver::ReceiveError, u"R:ReceiveError"_s);
        QObject::connect(&sender, &BinarySender::CommandAccepted, &sender, [this] {
            if (!sender.SendFile())
                log.lines << u"S:SendFile failed"_s;
        });
        QObject::connect(&sender, &BinarySender::CommandRefused, &sender,
                         [this] { sender.ResetFile(); });
        QObject::connect(&sender, &BinarySender::SendComplete, &sender,
                         [this] { sender.ResetFile(); });
        QObject::connect(&receiver, &BinaryReceiver::SendRequest, &receiver, [this] {
            log.lines << u"R:SendRequest %1 %2"_s.arg(receiver.CurrentFileSize())
                             .arg(receiver.CurrentFileName());
            if (refuseNext) {
                refuseNext = false;
                receiver.RefuseSendRequest();
                receiver.ResetFile();
            } else {
                receiver.AcceptSendRequest(dir.filePath(u"in-"_s + receiver.CurrentFileName()));
            }
        });
        QObject::connect(&receiver, &BinaryReceiver::ReceiveComplete, &receiver,
                         [this] { receiver.ResetFile(); });
        receiver.setLocalPortInfo(0);
        receiver.setLocalPortBinary(0);
    }

    bool connect()
    {
        if (!receiver.Listen())
            return false;
        sender.setRemoteHost(u"127.0.0.1"_s);
        sender.setRemotePortInfo(receiver.LocalPortInfo());
        sender.setRemotePortBinary(receiver.LocalPortBinary());
        return sender.Connect() &&
               QTest::qWaitFor([this] { return log.lines.contains(u"R:ConnectionRequest"_s); });
    }

    // Announces a file of this content and waits until both sides are done. A spy's wait
    // runs the event loop without pause; polling would throttle the stream.
    bool send(const QString &name, const QByteArray &content, int timeoutMs = 10000)
    {
        sender.setSource(writeFile(dir.filePath(name), content));
        QSignalSpy complete(&sender, &BinarySender::SendComplete);
        return sender.SendInfo() && complete.wait(timeoutMs);
    }

    QStringList folder() const { return QDir(dir.path()).entryList(QDir::Files); }
};
} // namespace

class tst_Transfer : public QObject
{
    Q_OBJECT

private slots:
    void wholeHandshake();
    void refusalThenFiftyMebibytes();
};

void tst_Transfer::wholeHandshake()
{
    Pair pair;
    const QByteArray content = randomBytes(10000);
    QSignalSpy queued(qobject_cast<SocketEndpoint *>(pair.sender.TheWinsock()),
                      &SocketEndpoint::DataQueued);
    QVERIFY(pair.connect());
    QVERIFY(pair.send(u"report.pdf"_s, content));

    QCOMPARE(pair.log.without(u"Progress"_s),
             (QStringList{u"S:Connected"_s, u"R:ConnectionRequest"_s,
                          u"R:SendRequest 10000 report.pdf"_s, u"S:CommandAccepted"_s,
                          u"R:ReceiveComplete"_s, u"S:SendComplete"_s}));
    QCOMPARE(firstArguments(queued), (QList<qint64>{4096, 4096, 1808}));
    QVERIFY(readFile(pair.dir.filePath(u"in-report.pdf"_s)) == content);
    QCOMPARE(pair.folder(), (QStringList{u"in-report.pdf"_s, u"report.pdf"_s}));

    // Each side's progress runs between the acceptance and its own completion.
    const QStringList &log = pair.log.lines;
    const qsizetype accepted = log.indexOf(u"S:CommandAccepted"_s);
    QVERIFY(accepted < log.indexOf(QRegularExpression(u".*Progress.*"_s)));
    QVERIFY(log.indexOf(u"S:SendProgress 10000 10000"_s) < log.indexOf(u"S:SendComplete"_s));
    QVERIFY(log.indexOf(u"R:ReceiveProgress 10000 10000"_s) < log.indexOf(u"R:ReceiveComplete"_s));
}

void tst_Transfer::refusalThenFiftyMebibytes()
{
    Pair pair;
    QVERIFY(pair.connect());
    pair.refuseNext = true;
    pair.sender.setSource(writeFile(pair.dir.filePath(u"refused.bin"_s), randomBytes(5000)));
    QVERIFY(pair.sender.SendInfo());
    QTRY_VERIFY(pair.log.lines.contains(u"S:CommandRefused"_s));

    // Unthrottled between the two components, beyond the proxy suite's largest file.
    const QByteArray content = randomBytes(qint64(50) * 1024 * 1024, 50);
    QVERIFY2(pair.send(u"second.bin"_s, content, 30000),
             qPrintable(pair.log.without(u"Progress"_s).join(u'\n')));
    QVERIFY(readFile(pair.dir.filePath(u"in-second.bin"_s)) == content);
    QCOMPARE(pair.log.without(u"Progress"_s),
             (QStringList{u"S:Connected"_s, u"R:ConnectionRequest"_s,
                          u"R:SendRequest 5000 refused.bin"_s, u"S:CommandRefused"_s,
                          u"R:SendRequest 52428800 second.bin"_s, u"S:CommandAccepted"_s,
                          u"R:ReceiveComplete"_s, u"S:SendComplete"_s}));
    QCOMPARE(pair.folder(), (QStringList{u"in-second.bin"_s, u"refused.bin"_s, u"second.bin"_s}));
    QVERIFY(pair.log.lines.contains(u"S:SendProgress 52428800 52428800"_s));
    QVERIFY(pair.log.lines.contains(u"R:ReceiveProgress 52428800 52428800"_s));
}

QTEST_MAIN(tst_Transfer)
#include "tst_transfer.moc"
