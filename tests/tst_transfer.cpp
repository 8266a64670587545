#include "protocol/socketendpoint.h"
#include "receiver/binaryreceiver.h"
#include "sender/binarysender.h"

#include <QDir>
#include <QFile>
#include <QRandomGenerator>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <cstring>

using namespace corvane;
using namespace Qt::StringLiterals;

namespace {
QByteArray randomBytes(qint64 size)
{
    QByteArray bytes(size, Qt::Uninitialized);
    QRandomGenerator generator(quint32(size) ^ 0x5eedu);
    qint64 at = 0;
    for (; at + 4 <= size; at += 4) {
        const quint32 word = generator.generate();
        std::memcpy(bytes.data() + at, &word, 4);
    }
    for (; at < size; ++at)
        bytes[at] = char(generator.bounded(256));
    return bytes;
}

QByteArray contentOf(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// Both components on loopback, driven the way the demonstration windows drive them: the
// receiving host accepts (or refuses) each announcement from SendRequest, the sending host
// calls SendFile from CommandAccepted, and both clear their per-file state when a file is done.
struct Pair
{
    QTemporaryDir dir;
    BinaryReceiver receiver;
    BinarySender sender;
    QStringList log;
    QString target;
    bool refuseNext = false;
    int sendFileFailures = 0;

    Pair()
    {
        QObject::connect(&sender, &BinarySender::Connected, &sender,
                         [this] { log << u"S:Connected"_s; });
        QObject::connect(&sender, &BinarySender::CommandAccepted, &sender, [this] {
            log << u"S:CommandAccepted"_s;
            if (!sender.SendFile())
                ++sendFileFailures;
        });
        QObject::connect(&sender, &BinarySender::CommandRefused, &sender, [this] {
            log << u"S:CommandRefused"_s;
            sender.ResetFile();
        });
        QObject::connect(&sender, &BinarySender::SendProgress, &sender,
                         [this](qint64 done, qint64 max) {
                             log << u"S:SendProgress %1/%2"_s.arg(done).arg(max);
                         });
        QObject::connect(&sender, &BinarySender::SendComplete, &sender, [this] {
            log << u"S:SendComplete"_s;
            sender.ResetFile();
        });
        QObject::connect(&sender, &BinarySender::SendError, &sender,
                         [this](int number, const QString &description) {
                             log << u"S:SendError %1 %2"_s.arg(number).arg(description);
                         });
        QObject::connect(&receiver, &BinaryReceiver::ConnectionRequest, &receiver,
                         [this] { log << u"R:ConnectionRequest"_s; });
        QObject::connect(&receiver, &BinaryReceiver::SendRequest, &receiver, [this] {
            log << u"R:SendRequest %1 %2"_s.arg(receiver.CurrentFileSize())
                       .arg(receiver.CurrentFileName());
            if (refuseNext) {
                refuseNext = false;
                receiver.RefuseSendRequest();
                receiver.ResetFile();
            } else {
                receiver.AcceptSendRequest(target);
            }
        });
        QObject::connect(&receiver, &BinaryReceiver::ReceiveProgress, &receiver,
                         [this](qint64 done, qint64 max) {
                             log << u"R:ReceiveProgress %1/%2"_s.arg(done).arg(max);
                         });
        QObject::connect(&receiver, &BinaryReceiver::ReceiveComplete, &receiver, [this] {
            log << u"R:ReceiveComplete"_s;
            receiver.ResetFile();
        });
        QObject::connect(&receiver, &BinaryReceiver::ReceiveError, &receiver,
                         [this](int number, const QString &description) {
                             log << u"R:ReceiveError %1 %2"_s.arg(number).arg(description);
                         });
    }

    bool connect()
    {
        receiver.setLocalPortInfo(0);
        receiver.setLocalPortBinary(0);
        if (!receiver.Listen())
            return false;
        sender.setRemoteHost(u"127.0.0.1"_s);
        sender.setRemotePortInfo(receiver.LocalPortInfo());
        sender.setRemotePortBinary(receiver.LocalPortBinary());
        return sender.Connect() &&
               QTest::qWaitFor([this] { return log.contains(u"R:ConnectionRequest"_s); });
    }

    // Writes a file of the given content, announces it and waits until both sides are done.
    bool send(const QString &name, const QByteArray &content, int timeoutMs = 10000)
    {
        const QString source = dir.filePath(u"out-"_s + name);
        QFile file(source);
        if (!file.open(QIODevice::WriteOnly) || file.write(content) != content.size())
            return false;
        file.close();
        target = dir.filePath(u"in-"_s + name);
        sender.setSource(source);
        // A spy's wait runs a real event loop; polling would throttle the stream to one
        // chunk per poll.
        QSignalSpy complete(&sender, &BinarySender::SendComplete);
        return sender.SendInfo() && complete.wait(timeoutMs);
    }

    // The log without progress lines, which interleave with the other side's at will.
    QStringList milestones() const
    {
        QStringList kept;
        for (const QString &line : log) {
            if (!line.contains(u"Progress"_s))
                kept << line;
        }
        return kept;
    }

    QStringList leftovers() const { return QDir(dir.path()).entryList({u"*TMP"_s}, QDir::Files); }
};
} // namespace

class tst_Transfer : public QObject
{
    Q_OBJECT

private slots:
    void wholeHandshake();
    void filesArriveIdentical_data();
    void filesArriveIdentical();
    void fiveFilesInARow();
    void refusalThenNewAnnouncement();
    void reconnectAfterListen();
};

void tst_Transfer::wholeHandshake()
{
    Pair pair;
    const QByteArray content = randomBytes(10000);
    const QString source = pair.dir.filePath(u"report.pdf"_s);
    QFile file(source);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(content);
    file.close();
    pair.target = pair.dir.filePath(u"saved.pdf"_s);
    QSignalSpy queued(qobject_cast<SocketEndpoint *>(pair.sender.TheWinsock()),
                      &SocketEndpoint::DataQueued);
    // The sending host announces as soon as both channels are up.
    connect(
        &pair.receiver, &BinaryReceiver::ConnectionRequest, &pair.sender,
        [&] {
            pair.sender.setChunkSize(4096);
            pair.sender.setSource(source);
            QVERIFY(pair.sender.SendInfo());
        },
        Qt::SingleShotConnection);
    QSignalSpy complete(&pair.sender, &BinarySender::SendComplete);
    QVERIFY(pair.connect());
    QVERIFY(complete.wait());

    QCOMPARE(pair.milestones(),
             (QStringList{u"S:Connected"_s, u"R:ConnectionRequest"_s,
                          u"R:SendRequest 10000 report.pdf"_s, u"S:CommandAccepted"_s,
                          u"R:ReceiveComplete"_s, u"S:SendComplete"_s}));
    QList<qint64> sends;
    for (const QList<QVariant> &call : queued)
        sends << call.at(0).toLongLong();
    QCOMPARE(sends, (QList<qint64>{4096, 4096, 1808}));
    QVERIFY(contentOf(pair.target) == content);
    QCOMPARE(pair.leftovers(), QStringList());

    // Progress of each side rises to the size inside its own stretch of the handshake.
    const auto at = [&](const QString &line) {
        return pair.log.indexOf(line);
    };
    const qsizetype accepted = at(u"S:CommandAccepted"_s);
    QVERIFY(at(u"S:SendProgress 10000/10000"_s) < at(u"S:SendComplete"_s));
    QVERIFY(at(u"R:ReceiveProgress 10000/10000"_s) < at(u"R:ReceiveComplete"_s));
    qint64 lastSent = 0;
    for (qsizetype i = 0; i < pair.log.size(); ++i) {
        const QString &line = pair.log.at(i);
        if (!line.contains(u"Progress"_s))
            continue;
        QVERIFY2(i > accepted, qPrintable(line));
        if (line.startsWith(u"S:"_s)) {
            const qint64 sent = line.section(u' ', 1).section(u'/', 0, 0).toLongLong();
            QVERIFY2(sent > lastSent, qPrintable(line));
            lastSent = sent;
        }
    }
    QCOMPARE(lastSent, qint64(10000));
}

void tst_Transfer::filesArriveIdentical_data()
{
    QTest::addColumn<qint64>("size");
    QTest::newRow("0") << qint64(0);
    QTest::newRow("1") << qint64(1);
    QTest::newRow("4096") << qint64(4096);
    QTest::newRow("8192") << qint64(8192);
    QTest::newRow("10,000") << qint64(10000);
    QTest::newRow("50 MiB") << qint64(50) * 1024 * 1024;
}

void tst_Transfer::filesArriveIdentical()
{
    QFETCH(qint64, size);
    Pair pair;
    QVERIFY(pair.connect());
    const QByteArray content = randomBytes(size);
    QVERIFY2(pair.send(u"file.bin"_s, content, 30000), qPrintable(pair.milestones().join(u'\n')));
    QCOMPARE(pair.log.count(u"R:ReceiveComplete"_s), 1);
    QCOMPARE(pair.sendFileFailures, 0);
    QVERIFY(contentOf(pair.target) == content);
    QCOMPARE(pair.leftovers(), QStringList());
    if (size > 0) {
        QVERIFY(pair.log.contains(u"S:SendProgress %1/%1"_s.arg(size)));
        QVERIFY(pair.log.contains(u"R:ReceiveProgress %1/%1"_s.arg(size)));
    }
}

void tst_Transfer::fiveFilesInARow()
{
    Pair pair;
    QVERIFY(pair.connect());
    const QList<qint64> sizes{10000, 1, 0, 4096 * 3, 700000};
    for (qsizetype i = 0; i < sizes.size(); ++i) {
        const QByteArray content = randomBytes(sizes.at(i));
        const QString name = u"file%1.bin"_s.arg(i);
        QVERIFY2(pair.send(name, content), qPrintable(pair.milestones().join(u'\n')));
        QVERIFY2(contentOf(pair.target) == content, qPrintable(name));
    }
    QCOMPARE(pair.log.count(u"S:Connected"_s), 1);
    QCOMPARE(pair.log.count(u"R:ConnectionRequest"_s), 1);
    QCOMPARE(pair.log.count(u"R:ReceiveComplete"_s), 5);
    QCOMPARE(pair.leftovers(), QStringList());
}

void tst_Transfer::refusalThenNewAnnouncement()
{
    Pair pair;
    QVERIFY(pair.connect());
    pair.refuseNext = true;
    const QString refused = pair.dir.filePath(u"refused.bin"_s);
    QFile file(refused);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(randomBytes(5000));
    file.close();
    pair.sender.setSource(refused);
    QVERIFY(pair.sender.SendInfo());
    QTRY_VERIFY(pair.log.contains(u"S:CommandRefused"_s));
    QCOMPARE(pair.sender.CurrentFileSize(), qint64(0));

    const QByteArray content = randomBytes(12345);
    QVERIFY(pair.send(u"second.bin"_s, content));
    QVERIFY(contentOf(pair.target) == content);
    QCOMPARE(pair.milestones(),
             (QStringList{u"S:Connected"_s, u"R:ConnectionRequest"_s,
                          u"R:SendRequest 5000 refused.bin"_s, u"S:CommandRefused"_s,
                          u"R:SendRequest 12345 out-second.bin"_s, u"S:CommandAccepted"_s,
                          u"R:ReceiveComplete"_s, u"S:SendComplete"_s}));
    QCOMPARE(pair.leftovers(), QStringList());
}

void tst_Transfer::reconnectAfterListen()
{
    Pair pair;
    QVERIFY(pair.connect());
    QSignalSpy disconnected(&pair.sender, &BinarySender::Disconnected);
    // Listening again drops both connections; the sender connects anew and works on.
    QVERIFY(pair.receiver.Listen());
    QTRY_COMPARE(disconnected.size(), 1);
    QVERIFY(pair.sender.Connect());
    QTRY_COMPARE(pair.log.count(u"R:ConnectionRequest"_s), 2);
    QCOMPARE(pair.log.count(u"S:Connected"_s), 2);
    const QByteArray content = randomBytes(100000);
    QVERIFY(pair.send(u"again.bin"_s, content));
    QVERIFY(contentOf(pair.target) == content);
}

QTEST_MAIN(tst_Transfer)
#include "tst_transfer.moc"
