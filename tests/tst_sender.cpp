#include "protocol/errornumber.h"
#include "protocol/socketendpoint.h"
#include "protocol/speedsample.h"
#include "sender/binarysender.h"
#include "support/eventlog.h"
#include "support/scriptedreceiver.h"
#include "support/testsupport.h"

#include <QPointer>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <algorithm>
#include <memory>
#include <numeric>

using namespace corvane;
using namespace corvane::test;
using namespace Qt::StringLiterals;
using State = SocketEndpoint::ConnectionState;

namespace {
constexpr qint64 Large = 64 * 1024 * 1024;

void recordEvents(BinarySender &sender, EventLog &events)
{
    events.record(&sender, &BinarySender::Connected, u"Connected"_s);
    events.record(&sender, &BinarySender::CommandAccepted, u"CommandAccepted"_s);
    events.record(&sender, &BinarySender::CommandRefused, u"CommandRefused"_s);
    events.record(&sender, &BinarySender::SendComplete, u"SendComplete"_s);
}

// A sender aimed at a scripted receiver, with a folder for its sources.
struct Rig
{
    EventLog events;
    QTemporaryDir dir;
    ScriptedReceiver receiver;
    BinarySender sender;

    Rig()
    {
        receiver.log = &events.lines;
        recordEvents(sender, events);
    }
    SocketEndpoint *binary() { return qobject_cast<SocketEndpoint *>(sender.TheWinsock()); }
    QString file(const QString &name, const QByteArray &content)
    {
        return writeFile(dir.filePath(name), content);
    }
    bool connectInfo()
    {
        if (!receiver.listen())
            return false;
        sender.setRemoteHost(u"127.0.0.1"_s);
        sender.setRemotePortInfo(receiver.info.serverPort());
        sender.setRemotePortBinary(receiver.binary.serverPort());
        return sender.Connect() && QTest::qWaitFor([&] { return !receiver.infoPeer.isNull(); });
    }
    bool handshake()
    {
        if (!connectInfo())
            return false;
        receiver.say("CNT");
        return QTest::qWaitFor(
            [&] { return receiver.binaryPeer && binary()->State() == State::Connected; });
    }
};
} // namespace

class tst_Sender : public QObject
{
    Q_OBJECT

private slots:
    void connectFailsToCaller_data();
    void connectFailsToCaller();
    void infoCodes_data();
    void infoCodes();
    void resetOrDeleteDropsPendingWork_data();
    void resetOrDeleteDropsPendingWork();
    void cntOpensBinaryChannel();
    void failsToCaller_data();
    void failsToCaller();
    void chunks_data();
    void chunks();
    void queueIsBounded();
    void channelLostMidStream_data();
    void channelLostMidStream();
    void speedRecordFollowsRule();
    void resetFileStopsStream();
    void errorIsPassedOn();
};

void tst_Sender::connectFailsToCaller_data()
{
    QTest::addColumn<QString>("host");
    QTest::addColumn<int>("port");
    QTest::addColumn<int>("number");

    QTest::newRow("no host") << QString() << 1700 << ErrorNumber::AddressNotAvailable;
    QTest::newRow("blank host") << u"  "_s << 1700 << ErrorNumber::AddressNotAvailable;
    QTest::newRow("port 0") << u"127.0.0.1"_s << 0 << ErrorNumber::SocketInvalidArgument;
    QTest::newRow("port 65536") << u"127.0.0.1"_s << 65536 << ErrorNumber::SocketInvalidArgument;
}

void tst_Sender::connectFailsToCaller()
{
    QFETCH(QString, host);
    QFETCH(int, port);
    QFETCH(int, number);
    BinarySender sender;
    QSignalSpy errors(&sender, &BinarySender::Error);
    sender.setRemoteHost(host);
    sender.setRemotePortInfo(port);
    QVERIFY(!sender.Connect());
    QCOMPARE(sender.LastErrorNumber(), number);
    QVERIFY(!sender.LastErrorDescription().isEmpty());
    settle(50);
    QCOMPARE(errors.size(), 0);
}

void tst_Sender::infoCodes_data()
{
    QTest::addColumn<QStringList>("reads");
    QTest::addColumn<QStringList>("events");

    QTest::newRow("RFS") << QStringList{u"RFS"_s} << QStringList{u"CommandRefused"_s};
    QTest::newRow("three in one read")
        << QStringList{u"RFSACPRFC"_s}
        << QStringList{u"CommandRefused"_s, u"CommandAccepted"_s, u"SendComplete"_s};
    QTest::newRow("split across two codes") << QStringList{u"AC"_s, u"PRF"_s, u"C"_s}
                                            << QStringList{u"CommandAccepted"_s, u"SendComplete"_s};
    QTest::newRow("CNT with a tail")
        << QStringList{u"CNTxyz"_s} << QStringList{u"Connected"_s, u"binary connection"_s};
    QTest::newRow("lower case") << QStringList{u"acp"_s} << QStringList{};
    QTest::newRow("stray character after a code")
        << QStringList{u"CNTR"_s, u"ACP"_s}
        << QStringList{u"Connected"_s, u"binary connection"_s, u"CommandAccepted"_s};
    QTest::newRow("garbage then a code")
        << QStringList{u"XYZ"_s, u"RFS"_s} << QStringList{u"CommandRefused"_s};
}

void tst_Sender::infoCodes()
{
    QFETCH(QStringList, reads);
    QFETCH(QStringList, events);
    Rig rig;
    QVERIFY(rig.connectInfo());
    for (const QString &read : reads) {
        rig.receiver.say(read.toLatin1());
        settle(30); // each piece reaches the sender as a read of its own
    }
    QTRY_COMPARE(rig.events.lines, events);
    settle(50);
    QCOMPARE(rig.events.lines, events);
}

void tst_Sender::resetOrDeleteDropsPendingWork_data()
{
    QTest::addColumn<bool>("destroy");
    QTest::addColumn<bool>("fromEvent");
    QTest::newRow("Reset right after Connect") << false << false;
    QTest::newRow("deleted right after Connect") << true << false;
    QTest::newRow("Reset from CommandAccepted") << false << true;
    QTest::newRow("deleted from CommandAccepted") << true << true;
}

void tst_Sender::resetOrDeleteDropsPendingWork()
{
    // Queued work (the deferred connect, codes read in the same go) does nothing once its
    // sender was reset or destroyed.
    QFETCH(bool, destroy);
    QFETCH(bool, fromEvent);
    ScriptedReceiver receiver;
    QVERIFY(receiver.listen());
    EventLog events;
    QPointer<BinarySender> sender = new BinarySender;
    recordEvents(*sender, events);
    const auto drop = [&] {
        destroy ? delete sender.data() : sender->Reset();
    };
    connect(sender, &BinarySender::CommandAccepted, sender, drop);
    sender->setRemoteHost(u"127.0.0.1"_s);
    sender->setRemotePortInfo(receiver.info.serverPort());
    QVERIFY(sender->Connect());
    if (fromEvent) {
        QTRY_VERIFY(receiver.infoPeer);
        receiver.say("ACPRFCRFS");
        QTRY_VERIFY(!events.lines.isEmpty());
    } else {
        drop();
    }
    settle(200);
    QCOMPARE(events.lines, fromEvent ? QStringList{u"CommandAccepted"_s} : QStringList());
    if (!fromEvent)
        QVERIFY(!receiver.infoPeer && !receiver.info.hasPendingConnections());
    QCOMPARE(sender.isNull(), destroy);
    delete sender;
}

void tst_Sender::cntOpensBinaryChannel()
{
    Rig rig;
    QVERIFY(rig.connectInfo());
    settle(100);
    QCOMPARE(rig.receiver.binaryConnections, 0); // nothing before the receiver's "CNT"
    // The binary channel goes where the info channel went, whatever RemoteHost now names.
    rig.sender.setRemoteHost(u"corvane.invalid"_s);
    rig.receiver.say("CNT");
    QTRY_COMPARE(rig.events.lines, (QStringList{u"Connected"_s, u"binary connection"_s}));
    QTRY_COMPARE(rig.binary()->State(), State::Connected);

    // A second "CNT" replaces the binary channel.
    QPointer<QTcpSocket> first = rig.receiver.binaryPeer;
    rig.receiver.say("CNT");
    QTRY_COMPARE(rig.receiver.binaryConnections, 2);
    QCOMPARE(rig.events.lines.count(u"Connected"_s), 2);
    QTRY_COMPARE(first->state(), QAbstractSocket::UnconnectedState);
    QTRY_COMPARE(rig.binary()->State(), State::Connected);
    QVERIFY(rig.binary()->SendData(QByteArray("new")));
    QTRY_COMPARE(rig.receiver.binaryBytes, QByteArray("new"));
}

void tst_Sender::failsToCaller_data()
{
    QTest::addColumn<bool>("sendFile");
    QTest::addColumn<bool>("connected");
    QTest::addColumn<QString>("source");
    QTest::addColumn<int>("chunkSize");
    QTest::addColumn<int>("number");

    QTest::newRow("SendInfo, not connected")
        << false << false << u"file"_s << 4096 << ErrorNumber::NotConnected;
    QTest::newRow("SendInfo, missing source")
        << false << true << u"missing"_s << 4096 << ErrorNumber::FileNotFound;
    QTest::newRow("SendInfo, folder")
        << false << true << u"."_s << 4096 << ErrorNumber::FileNotFound;
    QTest::newRow("SendFile, chunk size 0")
        << true << true << u"file"_s << 0 << ErrorNumber::InvalidArgument;
    QTest::newRow("SendFile, negative chunk size")
        << true << true << u"file"_s << -4096 << ErrorNumber::InvalidArgument;
    QTest::newRow("SendFile, missing source")
        << true << true << u"missing"_s << 4096 << ErrorNumber::FileNotFound;
    QTest::newRow("SendFile, binary channel down")
        << true << false << u"file"_s << 4096 << ErrorNumber::NotConnected;
}

void tst_Sender::failsToCaller()
{
    QFETCH(bool, sendFile);
    QFETCH(bool, connected);
    QFETCH(QString, source);
    QFETCH(int, chunkSize);
    QFETCH(int, number);
    Rig rig;
    const QString file = rig.file(u"file"_s, randomBytes(10000));
    QVERIFY(connected ? rig.handshake() : rig.receiver.listen());
    QSignalSpy queued(rig.binary(), &SocketEndpoint::DataQueued);
    QSignalSpy sendErrors(&rig.sender, &BinarySender::SendError);
    rig.sender.setSource(rig.dir.filePath(source));
    rig.sender.setChunkSize(chunkSize);
    QVERIFY(!(sendFile ? rig.sender.SendFile() : rig.sender.SendInfo()));
    QCOMPARE(rig.sender.LastErrorNumber(), number);
    QVERIFY(!rig.sender.LastErrorDescription().isEmpty());
    QVERIFY(!rig.sender.Streaming());
    QCOMPARE(openHandles(file), 0);
    settle(50);
    QCOMPARE(rig.receiver.infoBytes + rig.receiver.binaryBytes, QByteArray());
    QCOMPARE(queued.size() + sendErrors.size(), 0);
}

void tst_Sender::chunks_data()
{
    QTest::addColumn<qint64>("size");
    QTest::addColumn<int>("chunkSize");
    QTest::addColumn<QList<qint64>>("sends");

    QTest::newRow("10,000 in 4096") << qint64(10000) << 4096 << QList<qint64>{4096, 4096, 1808};
    QTest::newRow("8192 in 4096") << qint64(8192) << 4096 << QList<qint64>{4096, 4096};
    QTest::newRow("empty") << qint64(0) << 4096 << QList<qint64>{};
    QList<qint64> large(24, 65536);
    large.append(1);
    QTest::newRow("1.5 MiB + 1 in 64 KiB") << qint64(24 * 65536 + 1) << 65536 << large;
}

void tst_Sender::chunks()
{
    QFETCH(qint64, size);
    QFETCH(int, chunkSize);
    QFETCH(QList<qint64>, sends);
    Rig rig;
    const QByteArray content = randomBytes(size);
    const QString file = rig.file(u"file"_s, content);
    QVERIFY(rig.handshake());
    QSignalSpy queued(rig.binary(), &SocketEndpoint::DataQueued);
    QSignalSpy progress(&rig.sender, &BinarySender::SendProgress);
    rig.sender.setSource(file);
    rig.sender.setChunkSize(chunkSize);
    QVERIFY(rig.sender.SendInfo());
    QTRY_COMPARE(rig.receiver.infoBytes, QByteArray("FIS" + QByteArray::number(size) + "|0@file"));
    QVERIFY(rig.sender.SendFile());
    QTRY_VERIFY(!rig.sender.Streaming());
    QCOMPARE(openHandles(file), 0);
    QCOMPARE(firstArguments(queued), sends);
    QCOMPARE(rig.sender.ReadPosition(), size);
    QVERIFY(rig.receiver.waitForBinary(content.size(), 10000));
    QVERIFY(rig.receiver.binaryBytes == content);
    if (size > 0)
        QTRY_COMPARE(progress.last(), (QList<QVariant>{size, size}));

    // Everything was read: a second SendFile finds nothing left and sends nothing.
    QVERIFY(rig.sender.SendFile());
    QVERIFY(!rig.sender.Streaming());
    QCOMPARE(queued.size(), sends.size());
}

void tst_Sender::queueIsBounded()
{
    Rig rig;
    const QByteArray content = randomBytes(Large);
    rig.receiver.readBinary = false;
    QVERIFY(rig.handshake());
    QSignalSpy queued(rig.binary(), &SocketEndpoint::DataQueued);
    rig.sender.setSource(rig.file(u"big"_s, content));
    QVERIFY(rig.sender.SendFile());
    QCOMPARE(queued.size(), 1);
    // The receiver reads nothing: the sender stops handing over chunks at the high-water mark.
    QTRY_VERIFY(rig.binary()->BytesToWrite() >= 1024 * 1024);
    settle(200);
    QVERIFY(rig.binary()->BytesToWrite() < 1024 * 1024 + 4096);
    QVERIFY(rig.sender.ReadPosition() < content.size() / 2);
    const QList<qint64> sends = firstArguments(queued);
    QCOMPARE(std::accumulate(sends.begin(), sends.end(), qint64(0)), rig.sender.ReadPosition());
    QVERIFY(rig.sender.Streaming());

    // "RFC" stops the speed timer even while chunks are still queued.
    QSignalSpy speed(&rig.sender, &BinarySender::SpeedRecord);
    QVERIFY(speed.wait());
    rig.receiver.say("RFC");
    QTRY_VERIFY(rig.events.lines.contains(u"SendComplete"_s));
    const qsizetype ticks = speed.size();
    settle(700);
    QCOMPARE(speed.size(), ticks);

    rig.receiver.drainBinary();
    QVERIFY(rig.receiver.waitForBinary(content.size(), 30000));
    QVERIFY(rig.receiver.binaryBytes == content);
    QVERIFY(!rig.sender.Streaming());
}

void tst_Sender::channelLostMidStream_data()
{
    QTest::addColumn<bool>("binaryLost");
    QTest::newRow("binary channel closed") << true;
    QTest::newRow("info channel closed") << false;
}

void tst_Sender::channelLostMidStream()
{
    QFETCH(bool, binaryLost);
    Rig rig;
    const QString file = rig.file(u"big"_s, randomBytes(Large));
    QVERIFY(rig.handshake());
    QSignalSpy sendErrors(&rig.sender, &BinarySender::SendError);
    QSignalSpy disconnected(&rig.sender, &BinarySender::Disconnected);
    QSignalSpy speed(&rig.sender, &BinarySender::SpeedRecord);
    rig.sender.setSource(file);
    rig.receiver.stopReadingAfter = 1024 * 1024;
    QVERIFY(rig.sender.SendFile());
    QTRY_VERIFY(!rig.receiver.readBinary);
    ScriptedReceiver &receiver = rig.receiver;
    (binaryLost ? receiver.binaryPeer : receiver.infoPeer)->abort();

    QTRY_COMPARE(sendErrors.size(), 1);
    QVERIFY(!rig.sender.Streaming());
    QCOMPARE(openHandles(file), 0);
    const QString description = sendErrors.first().at(1).toString();
    QVERIFY2(sendErrors.first().at(0).toInt() != 0, qPrintable(description));
    QVERIFY2(description.contains(u" of 67108864 bytes"_s), qPrintable(description));
    QTRY_COMPARE(disconnected.size(), 1);
    // The sender closes the other channel itself.
    QTRY_VERIFY(receiver.closedByPeer(binaryLost ? receiver.infoPeer : receiver.binaryPeer));

    // Reading and the speed timer stopped; nothing is reported twice.
    const qint64 readPosition = rig.sender.ReadPosition();
    QVERIFY(readPosition < Large);
    const qsizetype ticks = speed.size();
    settle(1100);
    QCOMPARE(rig.sender.ReadPosition(), readPosition);
    QCOMPARE(speed.size(), ticks);
    QCOMPARE(sendErrors.size(), 1);
    QCOMPARE(disconnected.size(), 1);
}

void tst_Sender::speedRecordFollowsRule()
{
    Rig rig;
    const QByteArray content = randomBytes(16 * 1024 * 1024);
    rig.receiver.readBinary = false;
    QVERIFY(rig.handshake());
    // Reads about 6 MiB/s, so the stream outlasts a few ticks.
    QTimer throttle;
    connect(&throttle, &QTimer::timeout, &throttle,
            [&] { rig.receiver.binaryBytes += rig.receiver.binaryPeer->read(64 * 1024); });
    throttle.start(10);
    QList<int> speeds;
    QList<qint64> sentAtTick;
    connect(&rig.sender, &BinarySender::SpeedRecord, &rig.sender, [&](int speed) {
        speeds.append(speed);
        sentAtTick.append(rig.sender.SentTotal());
    });
    rig.sender.setSource(rig.file(u"big"_s, content));
    QVERIFY(rig.sender.SendFile());
    QTRY_VERIFY_WITH_TIMEOUT(!rig.sender.Streaming(), 30000);
    QVERIFY2(speeds.size() >= 2, qPrintable(QString::number(speeds.size())));
    qint64 previous = 0;
    for (qsizetype i = 0; i < speeds.size(); ++i) {
        QCOMPARE(speeds.at(i), speedSample(sentAtTick.at(i) - previous));
        previous = sentAtTick.at(i);
    }
    QVERIFY(*std::max_element(speeds.begin(), speeds.end()) > 0);
    // The timer stops with the last chunk handed over.
    const qsizetype ticks = speeds.size();
    settle(700);
    QCOMPARE(speeds.size(), ticks);
}

void tst_Sender::resetFileStopsStream()
{
    Rig rig;
    rig.receiver.readBinary = false;
    QVERIFY(rig.handshake());
    QSignalSpy sendErrors(&rig.sender, &BinarySender::SendError);
    QSignalSpy disconnected(&rig.sender, &BinarySender::Disconnected);
    QSignalSpy speed(&rig.sender, &BinarySender::SpeedRecord);
    const QString file = rig.file(u"big"_s, randomBytes(Large));
    rig.sender.setSource(file);
    rig.sender.setChunkSize(8192);
    QVERIFY(rig.sender.SendFile());
    QTRY_VERIFY(rig.sender.ReadPosition() > 1024 * 1024);

    rig.sender.ResetFile();
    QVERIFY(!rig.sender.Streaming());
    QCOMPARE(openHandles(file), 0);
    QCOMPARE(rig.sender.ReadPosition(), qint64(0));
    QCOMPARE(rig.sender.ChunkSize(), 4096);
    QCOMPARE(rig.binary()->State(), State::Connected);

    rig.sender.Reset();
    QTRY_VERIFY(rig.receiver.closedByPeer(rig.receiver.infoPeer));
    QTRY_VERIFY(rig.receiver.closedByPeer(rig.receiver.binaryPeer));
    settle(600);
    QCOMPARE(speed.size(), 0);
    QCOMPARE(sendErrors.size(), 0);
    QCOMPARE(disconnected.size(), 0);
}

void tst_Sender::errorIsPassedOn()
{
    BinarySender sender;
    QStringList seen;
    // The second handler sees what the first wrote: the values travel by reference.
    connect(&sender, &BinarySender::Error, &sender,
            [&](short number, QString &description, int, const QString &, const QString &, int,
                bool &cancelDisplay) {
                seen << QString::number(number);
                description += u" (seen)"_s;
                cancelDisplay = true;
            });
    connect(
        &sender, &BinarySender::Error, &sender,
        [&](short, QString &description, int, const QString &, const QString &, int,
            bool &cancelDisplay) { seen << description << QVariant(cancelDisplay).toString(); });
    sender.setRemoteHost(u"127.0.0.1"_s);
    sender.setRemotePortInfo(freePort());
    QVERIFY(sender.Connect());
    QTRY_COMPARE(seen, (QStringList{QString::number(ErrorNumber::ConnectionRefused),
                                    u"Connection refused (seen)"_s, u"true"_s}));
}

QTEST_MAIN(tst_Sender)
#include "tst_sender.moc"
