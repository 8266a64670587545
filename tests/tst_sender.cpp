#include "protocol/errornumber.h"
#include "protocol/socketendpoint.h"
#include "protocol/speedsample.h"
#include "sender/binarysender.h"

#include <QDir>
#include <QPointer>
#include <QRandomGenerator>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <cstring>

using namespace corvane;
using namespace Qt::StringLiterals;
using State = SocketEndpoint::ConnectionState;

namespace {
// A receiver scripted with plain sockets: it listens on both ports, keeps what arrives and
// lets a test answer on the info channel by hand.
struct ScriptedReceiver
{
    QTcpServer info;
    QTcpServer binary;
    QPointer<QTcpSocket> infoPeer;
    QPointer<QTcpSocket> binaryPeer;
    QByteArray infoBytes;
    QByteArray binaryBytes;
    int binaryConnections = 0;
    bool readBinary = true;
    qint64 stopReadingAfter = -1;
    QStringList *log = nullptr;

    bool listen()
    {
        QObject::connect(&info, &QTcpServer::newConnection, &info, [this] {
            infoPeer = info.nextPendingConnection();
            QObject::connect(infoPeer, &QTcpSocket::readyRead, infoPeer,
                             [this] { infoBytes += infoPeer->readAll(); });
        });
        QObject::connect(&binary, &QTcpServer::newConnection, &binary, [this] {
            binaryPeer = binary.nextPendingConnection();
            ++binaryConnections;
            if (log)
                log->append(u"binary connection"_s);
            // Small buffers let back-pressure reach the sender as soon as reading stops.
            binaryPeer->setReadBufferSize(64 * 1024);
            binaryPeer->setSocketOption(QAbstractSocket::ReceiveBufferSizeSocketOption, 256 * 1024);
            QObject::connect(binaryPeer, &QTcpSocket::readyRead, binaryPeer, [this] {
                if (!readBinary)
                    return;
                binaryBytes += binaryPeer->readAll();
                if (stopReadingAfter >= 0 && binaryBytes.size() >= stopReadingAfter)
                    readBinary = false;
            });
        });
        return info.listen(QHostAddress::LocalHost) && binary.listen(QHostAddress::LocalHost);
    }

    void drainBinary()
    {
        readBinary = true;
        if (binaryPeer)
            binaryBytes += binaryPeer->readAll();
    }

    void say(const char *code) { infoPeer->write(code); }

    // True once the peer has closed the channel; reads what is still queued so the close
    // can be seen at all.
    bool closedBySender(const QPointer<QTcpSocket> &socket)
    {
        if (socket == binaryPeer)
            drainBinary();
        return !socket || socket->state() == QAbstractSocket::UnconnectedState;
    }
};

SocketEndpoint *binaryEndpoint(BinarySender &sender)
{
    return qobject_cast<SocketEndpoint *>(sender.TheWinsock());
}

void aim(BinarySender &sender, const ScriptedReceiver &receiver)
{
    sender.setRemoteHost(u"127.0.0.1"_s);
    sender.setRemotePortInfo(receiver.info.serverPort());
    sender.setRemotePortBinary(receiver.binary.serverPort());
}

bool handshake(BinarySender &sender, ScriptedReceiver &receiver)
{
    aim(sender, receiver);
    if (!sender.Connect() || !QTest::qWaitFor([&] { return !receiver.infoPeer.isNull(); }))
        return false;
    receiver.say("CNT");
    return QTest::qWaitFor(
        [&] { return receiver.binaryPeer && binaryEndpoint(sender)->State() == State::Connected; });
}

QByteArray randomBytes(qint64 size)
{
    QByteArray bytes(size, Qt::Uninitialized);
    QRandomGenerator generator{quint32(size)};
    for (qint64 at = 0; at + 4 <= size; at += 4) {
        const quint32 word = generator.generate();
        std::memcpy(bytes.data() + at, &word, 4);
    }
    for (qint64 at = size - size % 4; at < size; ++at)
        bytes[at] = char(generator.bounded(256));
    return bytes;
}

QString writeFile(const QTemporaryDir &dir, const QString &name, const QByteArray &content)
{
    const QString path = dir.filePath(name);
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(content) != content.size())
        return {};
    return path;
}

// Open descriptors of this process that point at the file.
int openHandles(const QString &path)
{
    const QString target = QFileInfo(path).canonicalFilePath();
    int count = 0;
    const QDir fds(u"/proc/self/fd"_s);
    for (const QFileInfo &fd :
         fds.entryInfoList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot))
        count += fd.symLinkTarget() == target ? 1 : 0;
    return count;
}

void recordEvents(BinarySender &sender, QStringList &log)
{
    QObject::connect(&sender, &BinarySender::Connected, &sender, [&] { log << u"Connected"_s; });
    QObject::connect(&sender, &BinarySender::CommandAccepted, &sender,
                     [&] { log << u"CommandAccepted"_s; });
    QObject::connect(&sender, &BinarySender::CommandRefused, &sender,
                     [&] { log << u"CommandRefused"_s; });
    QObject::connect(&sender, &BinarySender::SendComplete, &sender,
                     [&] { log << u"SendComplete"_s; });
}

qint64 sum(const QSignalSpy &queued)
{
    qint64 total = 0;
    for (const QList<QVariant> &call : queued)
        total += call.at(0).toLongLong();
    return total;
}
} // namespace

class tst_Sender : public QObject
{
    Q_OBJECT

private slots:
    void initialState();
    void handshakeOrder();
    void connectFailsToCaller_data();
    void connectFailsToCaller();
    void connectIsDroppedByResetOrDestruction_data();
    void connectIsDroppedByResetOrDestruction();
    void infoCodes_data();
    void infoCodes();
    void hostMayDeleteOrResetFromEvent_data();
    void hostMayDeleteOrResetFromEvent();
    void secondCntReopensBinaryChannel();
    void source_data();
    void source();
    void sendInfoWire();
    void sendInfoFailsToCaller_data();
    void sendInfoFailsToCaller();
    void sendFileFailsToCaller_data();
    void sendFileFailsToCaller();
    void chunks_data();
    void chunks();
    void queueIsBounded();
    void channelLostMidStream_data();
    void channelLostMidStream();
    void speedRecordFollowsRule();
    void completeStopsSpeedTimer();
    void resetFileStopsStream();
    void errorIsPassedOn();
};

void tst_Sender::initialState()
{
    BinarySender sender;
    QCOMPARE(sender.ChunkSize(), 4096);
    QCOMPARE(sender.RemotePortBinary(), 3000);
    QCOMPARE(sender.RemotePortInfo(), 1700);
    QCOMPARE(sender.RemoteHost(), QString());
    QVERIFY(binaryEndpoint(sender));
    sender.resize(200, 90);
    QCOMPARE(sender.size(), QSize(30, 30));
}

void tst_Sender::handshakeOrder()
{
    ScriptedReceiver receiver;
    QStringList log;
    receiver.log = &log;
    QVERIFY(receiver.listen());
    BinarySender sender;
    recordEvents(sender, log);
    aim(sender, receiver);
    QVERIFY(sender.Connect());
    QVERIFY(!receiver.info.hasPendingConnections());
    QTRY_VERIFY(receiver.infoPeer);
    // No binary connection before the receiver's "CNT".
    QTest::qWait(100);
    QCOMPARE(receiver.binaryConnections, 0);
    receiver.say("CNT");
    QTRY_COMPARE(log, (QStringList{u"Connected"_s, u"binary connection"_s}));
    QTRY_COMPARE(binaryEndpoint(sender)->State(), State::Connected);
    QCOMPARE(sender.RemoteHostIP(), u"127.0.0.1"_s);
}

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
    if (host.trimmed().isEmpty())
        QCOMPARE(sender.LastErrorDescription(), u"No remote host is set"_s);
    QTest::qWait(50);
    QCOMPARE(errors.size(), 0);
}

void tst_Sender::connectIsDroppedByResetOrDestruction_data()
{
    QTest::addColumn<bool>("destroy");
    QTest::newRow("Reset") << false;
    QTest::newRow("destroyed") << true;
}

void tst_Sender::connectIsDroppedByResetOrDestruction()
{
    QFETCH(bool, destroy);
    ScriptedReceiver receiver;
    QVERIFY(receiver.listen());
    auto *sender = new BinarySender;
    aim(*sender, receiver);
    QVERIFY(sender->Connect());
    if (destroy)
        delete sender;
    else
        sender->Reset();
    QTest::qWait(200);
    QVERIFY(!receiver.infoPeer);
    QVERIFY(!receiver.info.hasPendingConnections());
    if (!destroy)
        delete sender;
}

void tst_Sender::infoCodes_data()
{
    QTest::addColumn<QStringList>("reads");
    QTest::addColumn<QStringList>("events");

    QTest::newRow("ACP") << QStringList{u"ACP"_s} << QStringList{u"CommandAccepted"_s};
    QTest::newRow("RFS") << QStringList{u"RFS"_s} << QStringList{u"CommandRefused"_s};
    QTest::newRow("RFC") << QStringList{u"RFC"_s} << QStringList{u"SendComplete"_s};
    QTest::newRow("two in one read")
        << QStringList{u"ACPRFC"_s} << QStringList{u"CommandAccepted"_s, u"SendComplete"_s};
    QTest::newRow("three in one read")
        << QStringList{u"RFSACPRFC"_s}
        << QStringList{u"CommandRefused"_s, u"CommandAccepted"_s, u"SendComplete"_s};
    QTest::newRow("split") << QStringList{u"A"_s, u"CP"_s} << QStringList{u"CommandAccepted"_s};
    QTest::newRow("split across two codes") << QStringList{u"AC"_s, u"PRF"_s, u"C"_s}
                                            << QStringList{u"CommandAccepted"_s, u"SendComplete"_s};
    QTest::newRow("CNT with a tail") << QStringList{u"CNTxyz"_s} << QStringList{u"Connected"_s};
    QTest::newRow("lower case") << QStringList{u"acp"_s, u"cnt"_s} << QStringList{};
    QTest::newRow("shifted by a blank") << QStringList{u" ACP"_s} << QStringList{};
    QTest::newRow("garbage then a code")
        << QStringList{u"XYZ"_s, u"RFS"_s} << QStringList{u"CommandRefused"_s};
}

void tst_Sender::infoCodes()
{
    QFETCH(QStringList, reads);
    QFETCH(QStringList, events);
    ScriptedReceiver receiver;
    QVERIFY(receiver.listen());
    BinarySender sender;
    QStringList log;
    recordEvents(sender, log);
    aim(sender, receiver);
    QVERIFY(sender.Connect());
    QTRY_VERIFY(receiver.infoPeer);
    for (const QString &read : reads) {
        receiver.say(read.toLatin1().constData());
        // Lets each piece reach the sender as a read of its own.
        QTest::qWait(30);
    }
    QTRY_COMPARE(log, events);
    QTest::qWait(50);
    QCOMPARE(log, events);
}

void tst_Sender::hostMayDeleteOrResetFromEvent_data()
{
    QTest::addColumn<bool>("destroy");
    QTest::newRow("Reset") << false;
    QTest::newRow("delete") << true;
}

void tst_Sender::hostMayDeleteOrResetFromEvent()
{
    QFETCH(bool, destroy);
    ScriptedReceiver receiver;
    QVERIFY(receiver.listen());
    QPointer<BinarySender> sender = new BinarySender;
    QStringList log;
    recordEvents(*sender, log);
    connect(sender, &BinarySender::CommandAccepted, sender, [&] {
        if (destroy)
            delete sender;
        else
            sender->Reset();
    });
    aim(*sender, receiver);
    QVERIFY(sender->Connect());
    QTRY_VERIFY(receiver.infoPeer);
    receiver.say("ACPRFCRFS");
    QTRY_COMPARE(log, QStringList{u"CommandAccepted"_s});
    QTest::qWait(100);
    QCOMPARE(log, QStringList{u"CommandAccepted"_s});
    QCOMPARE(sender.isNull(), destroy);
    delete sender;
}

void tst_Sender::secondCntReopensBinaryChannel()
{
    ScriptedReceiver receiver;
    QVERIFY(receiver.listen());
    BinarySender sender;
    QSignalSpy connected(&sender, &BinarySender::Connected);
    QVERIFY(handshake(sender, receiver));
    QPointer<QTcpSocket> first = receiver.binaryPeer;
    receiver.say("CNT");
    QTRY_COMPARE(connected.size(), 2);
    QTRY_COMPARE(receiver.binaryConnections, 2);
    QTRY_COMPARE(first->state(), QAbstractSocket::UnconnectedState);
    QTRY_COMPARE(binaryEndpoint(sender)->State(), State::Connected);
    QVERIFY(binaryEndpoint(sender)->SendData(QByteArray("new")));
    QTRY_COMPARE(receiver.binaryBytes, QByteArray("new"));
}

void tst_Sender::source_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<bool>("exists");
    QTest::addColumn<qint64>("size");

    QTest::newRow("existing file") << u"report.pdf"_s << true << qint64(1234);
    QTest::newRow("missing file keeps the size") << u"missing.bin"_s << false << qint64(77);
}

void tst_Sender::source()
{
    QFETCH(QString, name);
    QFETCH(bool, exists);
    QFETCH(qint64, size);
    QTemporaryDir dir;
    BinarySender sender;
    sender.setSource(writeFile(dir, u"previous"_s, QByteArray(77, 'p')));
    const QString path = exists ? writeFile(dir, name, QByteArray(size, 'x')) : dir.filePath(name);
    sender.setSource(path);
    QCOMPARE(sender.Source(), path);
    QCOMPARE(sender.CurrentFileName(), name);
    QCOMPARE(sender.CurrentFileSize(), size);
    sender.setSource(u"C:\\data\\other.txt"_s);
    QCOMPARE(sender.CurrentFileName(), u"other.txt"_s);
}

void tst_Sender::sendInfoWire()
{
    QTemporaryDir dir;
    ScriptedReceiver receiver;
    QVERIFY(receiver.listen());
    BinarySender sender;
    QVERIFY(handshake(sender, receiver));
    sender.setSource(writeFile(dir, u"a@b report.pdf"_s, QByteArray(1234, 'r')));
    QVERIFY(sender.SendInfo());
    QTRY_COMPARE(receiver.infoBytes, QByteArray("FIS1234|0@a@b report.pdf"));
}

void tst_Sender::sendInfoFailsToCaller_data()
{
    QTest::addColumn<bool>("connected");
    QTest::addColumn<QString>("source");
    QTest::addColumn<int>("number");

    QTest::newRow("not connected") << false << u"file"_s << ErrorNumber::NotConnected;
    QTest::newRow("missing source") << true << u"missing"_s << ErrorNumber::FileNotFound;
    QTest::newRow("no source") << true << QString() << ErrorNumber::FileNotFound;
    QTest::newRow("folder") << true << u"."_s << ErrorNumber::FileNotFound;
}

void tst_Sender::sendInfoFailsToCaller()
{
    QFETCH(bool, connected);
    QFETCH(QString, source);
    QFETCH(int, number);
    QTemporaryDir dir;
    writeFile(dir, u"file"_s, QByteArray(10, 'f'));
    ScriptedReceiver receiver;
    QVERIFY(receiver.listen());
    BinarySender sender;
    if (connected)
        QVERIFY(handshake(sender, receiver));
    sender.setSource(source.isEmpty() ? source : dir.filePath(source));
    QVERIFY(!sender.SendInfo());
    QCOMPARE(sender.LastErrorNumber(), number);
    QVERIFY(!sender.LastErrorDescription().isEmpty());
    QTest::qWait(50);
    QCOMPARE(receiver.infoBytes, QByteArray());
}

void tst_Sender::sendFileFailsToCaller_data()
{
    QTest::addColumn<QString>("source");
    QTest::addColumn<int>("chunkSize");
    QTest::addColumn<bool>("connected");
    QTest::addColumn<int>("number");

    QTest::newRow("chunk size 0") << u"file"_s << 0 << true << ErrorNumber::InvalidArgument;
    QTest::newRow("negative chunk size")
        << u"file"_s << -4096 << true << ErrorNumber::InvalidArgument;
    QTest::newRow("missing source") << u"missing"_s << 4096 << true << ErrorNumber::FileNotFound;
    QTest::newRow("no source") << QString() << 4096 << true << ErrorNumber::FileNotFound;
    QTest::newRow("binary channel down") << u"file"_s << 4096 << false << ErrorNumber::NotConnected;
}

void tst_Sender::sendFileFailsToCaller()
{
    QFETCH(QString, source);
    QFETCH(int, chunkSize);
    QFETCH(bool, connected);
    QFETCH(int, number);
    QTemporaryDir dir;
    const QString file = writeFile(dir, u"file"_s, randomBytes(10000));
    ScriptedReceiver receiver;
    QVERIFY(receiver.listen());
    BinarySender sender;
    if (connected)
        QVERIFY(handshake(sender, receiver));
    QSignalSpy queued(binaryEndpoint(sender), &SocketEndpoint::DataQueued);
    QSignalSpy sendErrors(&sender, &BinarySender::SendError);
    sender.setSource(source.isEmpty() ? source : dir.filePath(source));
    sender.setChunkSize(chunkSize);
    QVERIFY(!sender.SendFile());
    QCOMPARE(sender.LastErrorNumber(), number);
    QVERIFY(!sender.LastErrorDescription().isEmpty());
    QVERIFY(!sender.Streaming());
    QCOMPARE(sender.ReadPosition(), qint64(0));
    QCOMPARE(queued.size(), 0);
    QCOMPARE(sendErrors.size(), 0);
    QCOMPARE(openHandles(file), 0);
}

void tst_Sender::chunks_data()
{
    QTest::addColumn<qint64>("size");
    QTest::addColumn<int>("chunkSize");
    QTest::addColumn<QList<qint64>>("sends");

    QTest::newRow("10,000 in 4096") << qint64(10000) << 4096 << QList<qint64>{4096, 4096, 1808};
    QTest::newRow("8192 in 4096") << qint64(8192) << 4096 << QList<qint64>{4096, 4096};
    QTest::newRow("100 in 4096") << qint64(100) << 4096 << QList<qint64>{100};
    QTest::newRow("empty") << qint64(0) << 4096 << QList<qint64>{};
    QTest::newRow("2500 in 1000") << qint64(2500) << 1000 << QList<qint64>{1000, 1000, 500};
    QList<qint64> large(24, 65536);
    large.append(1);
    QTest::newRow("1.5 MiB + 1 in 64 KiB") << qint64(24 * 65536 + 1) << 65536 << large;
}

void tst_Sender::chunks()
{
    QFETCH(qint64, size);
    QFETCH(int, chunkSize);
    QFETCH(QList<qint64>, sends);
    QTemporaryDir dir;
    const QByteArray content = randomBytes(size);
    const QString file = writeFile(dir, u"file"_s, content);
    ScriptedReceiver receiver;
    QVERIFY(receiver.listen());
    BinarySender sender;
    QVERIFY(handshake(sender, receiver));
    QSignalSpy queued(binaryEndpoint(sender), &SocketEndpoint::DataQueued);
    QSignalSpy progress(&sender, &BinarySender::SendProgress);
    sender.setSource(file);
    sender.setChunkSize(chunkSize);
    QVERIFY(sender.SendFile());
    QTRY_VERIFY(!sender.Streaming());
    QCOMPARE(openHandles(file), 0);
    QList<qint64> seen;
    for (const QList<QVariant> &call : queued)
        seen.append(call.at(0).toLongLong());
    QCOMPARE(seen, sends);
    QCOMPARE(sender.ReadPosition(), size);
    QTRY_COMPARE(receiver.binaryBytes.size(), content.size());
    QVERIFY(receiver.binaryBytes == content);
    if (size > 0) {
        QTRY_COMPARE(progress.last().at(0).toLongLong(), size);
        QCOMPARE(progress.last().at(1).toLongLong(), size);
    }
    QCOMPARE(sender.SentTotal(), size);

    // Everything was read: a second SendFile finds nothing left and sends nothing.
    QVERIFY(sender.SendFile());
    QVERIFY(!sender.Streaming());
    QCOMPARE(queued.size(), sends.size());
}

void tst_Sender::queueIsBounded()
{
    QTemporaryDir dir;
    const QByteArray content = randomBytes(64 * 1024 * 1024);
    ScriptedReceiver receiver;
    QVERIFY(receiver.listen());
    receiver.readBinary = false;
    BinarySender sender;
    QVERIFY(handshake(sender, receiver));
    QSignalSpy queued(binaryEndpoint(sender), &SocketEndpoint::DataQueued);
    sender.setSource(writeFile(dir, u"big"_s, content));
    QVERIFY(sender.SendFile());
    QCOMPARE(queued.size(), 1);
    // The receiver reads nothing: the sender stops handing over chunks at the high-water mark.
    QTRY_VERIFY(binaryEndpoint(sender)->BytesToWrite() >= 1024 * 1024);
    QTest::qWait(200);
    QVERIFY(binaryEndpoint(sender)->BytesToWrite() < 1024 * 1024 + 4096);
    QVERIFY(sender.ReadPosition() < content.size() / 2);
    QCOMPARE(sum(queued), sender.ReadPosition());
    QVERIFY(sender.Streaming());

    receiver.drainBinary();
    QTRY_COMPARE_WITH_TIMEOUT(receiver.binaryBytes.size(), content.size(), 30000);
    QVERIFY(receiver.binaryBytes == content);
    QVERIFY(!sender.Streaming());
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
    QTemporaryDir dir;
    const QString file = writeFile(dir, u"big"_s, randomBytes(64 * 1024 * 1024));
    ScriptedReceiver receiver;
    QVERIFY(receiver.listen());
    BinarySender sender;
    QVERIFY(handshake(sender, receiver));
    QSignalSpy sendErrors(&sender, &BinarySender::SendError);
    QSignalSpy disconnected(&sender, &BinarySender::Disconnected);
    QSignalSpy speed(&sender, &BinarySender::SpeedRecord);
    sender.setSource(file);
    receiver.stopReadingAfter = 1024 * 1024;
    QVERIFY(sender.SendFile());
    QTRY_VERIFY(!receiver.readBinary);
    (binaryLost ? receiver.binaryPeer : receiver.infoPeer)->abort();

    QTRY_COMPARE(sendErrors.size(), 1);
    QVERIFY(!sender.Streaming());
    QCOMPARE(openHandles(file), 0);
    // Says how far it got.
    const QString description = sendErrors.first().at(1).toString();
    QVERIFY2(sendErrors.first().at(0).toInt() != 0, qPrintable(description));
    QVERIFY2(description.contains(u" of 67108864 bytes"_s), qPrintable(description));
    QTRY_COMPARE(disconnected.size(), 1);
    // The sender closes the other channel itself.
    QTRY_VERIFY(receiver.closedBySender(binaryLost ? receiver.infoPeer : receiver.binaryPeer));

    const qint64 readPosition = sender.ReadPosition();
    QVERIFY(readPosition < 64 * 1024 * 1024);
    const qsizetype ticks = speed.size();
    QTest::qWait(1100);
    QCOMPARE(sender.ReadPosition(), readPosition);
    QCOMPARE(speed.size(), ticks);
    QCOMPARE(sendErrors.size(), 1);
    QCOMPARE(disconnected.size(), 1);
}

void tst_Sender::speedRecordFollowsRule()
{
    QTemporaryDir dir;
    const QByteArray content = randomBytes(16 * 1024 * 1024);
    ScriptedReceiver receiver;
    QVERIFY(receiver.listen());
    receiver.readBinary = false;
    BinarySender sender;
    QVERIFY(handshake(sender, receiver));
    // About 6 MiB/s, so the stream outlasts a few ticks.
    QTimer throttle;
    connect(&throttle, &QTimer::timeout, &throttle,
            [&] { receiver.binaryBytes += receiver.binaryPeer->read(64 * 1024); });
    throttle.start(10);
    QList<int> speeds;
    QList<qint64> sentAtTick;
    connect(&sender, &BinarySender::SpeedRecord, &sender, [&](int speed) {
        speeds.append(speed);
        sentAtTick.append(sender.SentTotal());
    });
    sender.setSource(writeFile(dir, u"big"_s, content));
    QVERIFY(sender.SendFile());
    QTRY_VERIFY_WITH_TIMEOUT(!sender.Streaming(), 30000);
    QVERIFY2(speeds.size() >= 2, qPrintable(QString::number(speeds.size())));
    qint64 previous = 0;
    bool moving = false;
    for (qsizetype i = 0; i < speeds.size(); ++i) {
        QCOMPARE(speeds.at(i), speedSample(sentAtTick.at(i) - previous));
        moving = moving || speeds.at(i) > 0;
        previous = sentAtTick.at(i);
    }
    QVERIFY(moving);
    // The timer stops with the last chunk handed over.
    const qsizetype ticks = speeds.size();
    QTest::qWait(700);
    QCOMPARE(speeds.size(), ticks);
    QTRY_COMPARE_WITH_TIMEOUT(receiver.binaryBytes.size(), content.size(), 30000);
    QVERIFY(receiver.binaryBytes == content);
}

void tst_Sender::completeStopsSpeedTimer()
{
    QTemporaryDir dir;
    ScriptedReceiver receiver;
    QVERIFY(receiver.listen());
    receiver.readBinary = false;
    BinarySender sender;
    QVERIFY(handshake(sender, receiver));
    QSignalSpy speed(&sender, &BinarySender::SpeedRecord);
    QSignalSpy complete(&sender, &BinarySender::SendComplete);
    sender.setSource(writeFile(dir, u"big"_s, randomBytes(64 * 1024 * 1024)));
    QVERIFY(sender.SendFile());
    QTRY_VERIFY(speed.size() >= 1);
    receiver.say("RFC");
    QTRY_COMPARE(complete.size(), 1);
    const qsizetype ticks = speed.size();
    QTest::qWait(700);
    QCOMPARE(speed.size(), ticks);
}

void tst_Sender::resetFileStopsStream()
{
    QTemporaryDir dir;
    ScriptedReceiver receiver;
    QVERIFY(receiver.listen());
    receiver.readBinary = false;
    BinarySender sender;
    QVERIFY(handshake(sender, receiver));
    QSignalSpy sendErrors(&sender, &BinarySender::SendError);
    QSignalSpy disconnected(&sender, &BinarySender::Disconnected);
    QSignalSpy speed(&sender, &BinarySender::SpeedRecord);
    const QString file = writeFile(dir, u"big"_s, randomBytes(64 * 1024 * 1024));
    sender.setSource(file);
    sender.setChunkSize(8192);
    QVERIFY(sender.SendFile());
    QTRY_VERIFY(sender.ReadPosition() > 1024 * 1024);

    sender.ResetFile();
    QVERIFY(!sender.Streaming());
    QCOMPARE(openHandles(file), 0);
    QCOMPARE(sender.ChunkSize(), 4096);
    QCOMPARE(sender.ReadPosition(), qint64(0));
    QCOMPARE(sender.SentTotal(), qint64(0));
    QCOMPARE(sender.CurrentFileSize(), qint64(0));
    QCOMPARE(sender.CurrentFileName(), QString());
    QCOMPARE(sender.Source(), QString());
    QCOMPARE(binaryEndpoint(sender)->State(), State::Connected);

    sender.Reset();
    QTRY_VERIFY(receiver.closedBySender(receiver.infoPeer));
    QTRY_VERIFY(receiver.closedBySender(receiver.binaryPeer));
    QTest::qWait(600);
    QCOMPARE(speed.size(), 0);
    QCOMPARE(sendErrors.size(), 0);
    QCOMPARE(disconnected.size(), 0);
}

void tst_Sender::errorIsPassedOn()
{
    QTcpServer probe;
    QVERIFY(probe.listen(QHostAddress::LocalHost));
    const int freePort = probe.serverPort();
    probe.close();

    BinarySender sender;
    QList<int> numbers;
    QStringList descriptions;
    // The second handler sees what the first wrote: the text travels by reference.
    connect(&sender, &BinarySender::Error, &sender,
            [&](short number, QString &description, int, const QString &, const QString &, int,
                bool &cancelDisplay) {
                numbers.append(number);
                description += u" (seen)"_s;
                cancelDisplay = true;
            });
    connect(&sender, &BinarySender::Error, &sender,
            [&](short, QString &description, int, const QString &, const QString &, int,
                bool &cancelDisplay) {
                descriptions.append(description);
                QVERIFY(cancelDisplay);
            });
    sender.setRemoteHost(u"127.0.0.1"_s);
    sender.setRemotePortInfo(freePort);
    QVERIFY(sender.Connect());
    QTRY_COMPARE(numbers, QList<int>{ErrorNumber::ConnectionRefused});
    QCOMPARE(descriptions, QStringList{u"Connection refused (seen)"_s});
}

QTEST_MAIN(tst_Sender)
#include "tst_sender.moc"
