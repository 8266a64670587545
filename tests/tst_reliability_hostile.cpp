// Hostile peers: malformed and malicious announcements, garbage on the info channel, strangers
// from another address, a symbolic link planted where the receiver writes, announcements cut
// in two. None may crash or hang the receiver, make it write anywhere but the path its host
// chose, or keep it from serving the legitimate sender afterwards.

#include "resegmentingproxy.h"
#include "transferrig.h"

#include "protocol/errornumber.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTest>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

using namespace corvane;
using namespace Qt::StringLiterals;

namespace {
void settle(int ms = 300)
{
    waitUntil([] { return false; }, ms);
}

// A legitimate sender, after whatever went before, still gets its file across.
bool servesLegitimateSender(TransferRig &rig, quint32 seed, QString *why)
{
    rig.acceptAnnouncements = true;
    return rig.connectSender(why) &&
           rig.transfer(randomBytes(70000, seed), 4096, u"legit.bin"_s, 20000, why);
}

const QStringList escapes{u"corvane-escape-1"_s, u"corvane-escape-2"_s, u"corvane-escape-3"_s};
} // namespace

class tst_ReliabilityHostile : public QObject
{
    Q_OBJECT

private slots:
    void hostileAnnouncement_data();
    void hostileAnnouncement();
    void garbageOnInfoChannel();
    void strangerFromAnotherAddress_data();
    void strangerFromAnotherAddress();
    void strayConnectionsBeforeTheSender();
    void plantedSymbolicLink_data();
    void plantedSymbolicLink();
    void announcementCutInTwo_data();
    void announcementCutInTwo();

private:
    const quint32 m_seed = ResegmentingProxy::seedFromEnvironment();
};

void tst_ReliabilityHostile::hostileAnnouncement_data()
{
    QTest::addColumn<QByteArray>("text");
    // -1: no SendRequest may come of it.
    QTest::addColumn<qint64>("size");

    QTest::newRow("no |") << QByteArray("FIS12@x") << qint64(-1);
    QTest::newRow("no @") << QByteArray("FIS12|0") << qint64(-1);
    QTest::newRow("negative size") << QByteArray("FIS-12|0@x") << qint64(-1);
    QTest::newRow("20-digit size") << QByteArray("FIS12345678901234567890|0@x") << qint64(-1);
    QTest::newRow("non-numeric size") << QByteArray("FIS1a|0@x") << qint64(-1);
    QTest::newRow("leading zero") << QByteArray("FIS03|0@x") << qint64(-1);
    QTest::newRow("empty size") << QByteArray("FIS|0@x") << qint64(-1);
    QTest::newRow("non-numeric reserved") << QByteArray("FIS3|a@x") << qint64(-1);
    QTest::newRow("code alone") << QByteArray("FIS") << qint64(-1);
    QTest::newRow("lower case") << QByteArray("fis3|0@x") << qint64(-1);
    QTest::newRow("NUL alone") << QByteArray(1, '\0') << qint64(-1);
    QTest::newRow("largest 64-bit size")
        << QByteArray("FIS9223372036854775807|0@x") << qint64(9223372036854775807);
    QTest::newRow("empty name") << QByteArray("FIS3|0@") << qint64(3);
    QTest::newRow("8 KiB name") << QByteArray(QByteArray("FIS3|0@") + QByteArray(8192, 'n'))
                                << qint64(3);
    QTest::newRow("name with /") << QByteArray("FIS3|0@../corvane-escape-1") << qint64(3);
    QTest::newRow("absolute name") << QByteArray("FIS3|0@/tmp/corvane-escape-2") << qint64(3);
    QTest::newRow("name with \\") << QByteArray("FIS3|0@..\\..\\corvane-escape-3") << qint64(3);
    QTest::newRow("name ..") << QByteArray("FIS3|0@..") << qint64(3);
    QTest::newRow("name with NUL") << QByteArray("FIS3|0@a\0/../b", 14) << qint64(3);
    QTest::newRow("control characters") << QByteArray("FIS3|0@\x1b[2J\r\n\x07\x7f") << qint64(3);
    QTest::newRow("invalid UTF-8") << QByteArray("FIS3|0@\xff\xfe\xc3") << qint64(3);
}

void tst_ReliabilityHostile::hostileAnnouncement()
{
    QFETCH(QByteArray, text);
    QFETCH(qint64, size);
    TransferRig rig(TransferRig::Options{});
    rig.listenAgainOnDisconnect = true;
    rig.setTarget(u"target.bin"_s);
    QString why;
    QVERIFY2(rig.listen(&why), qPrintable(why));
    RawPeer peer;
    QVERIFY(peer.connectInfo(rig.receiver().LocalPortInfo()));
    QVERIFY(peer.connectBinary(rig.receiver().LocalPortBinary()));
    QVERIFY(waitUntil([&] { return rig.receiverConnects == 1; }, 5000));

    peer.sendInfo(text);
    settle();
    if (size < 0) {
        QCOMPARE(rig.sendRequests, 0);
        QCOMPARE(peer.infoReceived, QByteArray("CNT"));
    } else {
        QCOMPARE(rig.sendRequests, 1);
        QCOMPARE(rig.receiver().CurrentFileSize(), size);
        const QByteArray name = text.mid(text.indexOf('@') + 1);
        QCOMPARE(rig.receiver().CurrentFileName(), QString::fromLocal8Bit(name));
        if (size == 3) {
            // Accepted to the host's path, whatever the name says.
            QVERIFY(waitUntil([&] { return peer.infoReceived == "CNTACP"; }, 5000));
            peer.sendBinary("abc");
            QVERIFY(waitUntil([&] { return peer.infoReceived == "CNTACPRFC"; }, 5000));
            QCOMPARE(readFile(rig.path(u"target.bin"_s)), QByteArray("abc"));
        } else {
            QVERIFY(rig.log.filter(u"R:Accept failed %1"_s.arg(ErrorNumber::DiskFull)).size() == 1);
            QCOMPARE(peer.infoReceived, QByteArray("CNT"));
        }
    }
    QCOMPARE(filesIn(rig.folder()), size == 3 ? QStringList{u"target.bin"_s} : QStringList());
    for (const QString &escape : escapes) {
        QVERIFY(!QFile::exists(QDir(rig.folder()).filePath(u"../"_s + escape)));
        QVERIFY(!QFile::exists(u"/tmp/"_s + escape));
        QVERIFY(!QFile::exists(escape));
    }

    peer.closeBoth();
    QVERIFY(waitUntil([&] { return rig.receiverDisconnects == 1; }, 5000));
    QVERIFY2(servesLegitimateSender(rig, m_seed, &why), qPrintable(why));
}

void tst_ReliabilityHostile::garbageOnInfoChannel()
{
    TransferRig rig(TransferRig::Options{});
    rig.listenAgainOnDisconnect = true;
    rig.setTarget(u"target.bin"_s);
    QString why;
    QVERIFY2(rig.listen(&why), qPrintable(why));
    RawPeer peer;
    QVERIFY(peer.connectInfo(rig.receiver().LocalPortInfo()));
    QVERIFY(peer.connectBinary(rig.receiver().LocalPortBinary()));

    // 1 MiB of noise that can never begin a code ("F" is taken out).
    QByteArray garbage = randomBytes(1024 * 1024, m_seed);
    garbage.replace('F', 'G');
    const qint64 memoryBefore = memoryInUse();
    peer.sendInfo(garbage);
    QVERIFY(waitUntil([&] { return peer.info.bytesToWrite() == 0; }, 10000));
    settle(500);
    QVERIFY(memoryInUse() - memoryBefore < 16 * 1024 * 1024);
    QCOMPARE(rig.sendRequests, 0);
    QCOMPARE(peer.infoReceived, QByteArray("CNT"));

    // Still listening to its peer.
    peer.sendInfo("FIS3|0@after-noise.txt");
    QVERIFY(waitUntil([&] { return peer.infoReceived == "CNTACP"; }, 5000));
    peer.sendBinary("xyz");
    QVERIFY(waitUntil([&] { return peer.infoReceived == "CNTACPRFC"; }, 5000));
    QCOMPARE(readFile(rig.path(u"target.bin"_s)), QByteArray("xyz"));

    peer.closeBoth();
    QVERIFY(waitUntil([&] { return rig.receiverDisconnects == 1; }, 5000));
    QVERIFY2(servesLegitimateSender(rig, m_seed, &why), qPrintable(why));
}

void tst_ReliabilityHostile::strangerFromAnotherAddress_data()
{
    QTest::addColumn<QString>("when");
    QTest::newRow("binary port, before any sender") << u"binary first"_s;
    QTest::newRow("binary port, after the sender's info channel") << u"binary between"_s;
    QTest::newRow("info port, while a sender is connected") << u"info while connected"_s;
    QTest::newRow("info port first, then it leaves") << u"info first"_s;
}

void tst_ReliabilityHostile::strangerFromAnotherAddress()
{
    QFETCH(QString, when);
    const QHostAddress elsewhere(u"127.0.0.2"_s);
    TransferRig rig(TransferRig::Options{});
    rig.listenAgainOnDisconnect = true;
    rig.setTarget(u"target.bin"_s);
    QString why;
    QVERIFY2(rig.listen(&why), qPrintable(why));
    const int infoPort = rig.receiver().LocalPortInfo();
    const int binaryPort = rig.receiver().LocalPortBinary();

    QTcpSocket stranger;
    QVERIFY(stranger.bind(elsewhere, 0));
    const auto strangerShutOut = [&] {
        return waitUntil([&] { return stranger.state() == QAbstractSocket::UnconnectedState; },
                         5000);
    };

    if (when == u"binary first"_s || when == u"binary between"_s) {
        RawPeer peer;
        if (when == u"binary between"_s)
            QVERIFY(peer.connectInfo(infoPort));
        stranger.connectToHost(u"127.0.0.1"_s, quint16(binaryPort));
        stranger.write(randomBytes(100000, m_seed));
        QVERIFY(strangerShutOut());
        QCOMPARE(rig.receiverConnects, 0);
        if (when == u"binary between"_s) {
            // The port still waits for the sender's own binary channel.
            QVERIFY(peer.connectBinary(binaryPort));
            QVERIFY(waitUntil([&] { return rig.receiverConnects == 1; }, 5000));
            peer.sendInfo("FIS4|0@own.bin");
            QVERIFY(waitUntil([&] { return peer.infoReceived == "CNTACP"; }, 5000));
            peer.sendBinary("mine");
            QVERIFY(waitUntil([&] { return peer.infoReceived == "CNTACPRFC"; }, 5000));
            QCOMPARE(readFile(rig.path(u"target.bin"_s)), QByteArray("mine"));
            peer.closeBoth();
            QVERIFY(waitUntil([&] { return rig.receiverDisconnects == 1; }, 5000));
        }
    } else if (when == u"info while connected"_s) {
        QVERIFY2(rig.connectSender(&why), qPrintable(why));
        stranger.connectToHost(u"127.0.0.1"_s, quint16(infoPort));
        QVERIFY(strangerShutOut());
        QCOMPARE(rig.receiverConnects, 1);
        QVERIFY2(rig.transfer(randomBytes(5000, m_seed), 4096, u"target.bin"_s, 10000, &why),
                 qPrintable(why));
        rig.sender().Reset();
        QVERIFY(waitUntil([&] { return rig.receiverDisconnects == 1; }, 5000));
    } else {
        // A stranger that took the info port first is served alone; its binary channel from
        // yet another address is not taken. When it leaves, the port is free again.
        QByteArray answer;
        QObject::connect(&stranger, &QTcpSocket::readyRead, &stranger,
                         [&] { answer += stranger.readAll(); });
        stranger.connectToHost(u"127.0.0.1"_s, quint16(infoPort));
        QVERIFY(waitUntil([&] { return answer == "CNT"; }, 5000));
        QTcpSocket otherBinary;
        otherBinary.connectToHost(u"127.0.0.1"_s, quint16(binaryPort));
        QVERIFY(waitUntil([&] { return otherBinary.state() == QAbstractSocket::UnconnectedState; },
                          5000));
        QCOMPARE(rig.receiverConnects, 0);
        stranger.disconnectFromHost();
        QVERIFY(waitUntil([&] { return rig.receiverDisconnects == 1; }, 5000));
    }
    QVERIFY2(servesLegitimateSender(rig, m_seed + 1, &why), qPrintable(why));
    QVERIFY(!filesIn(rig.folder()).contains(u"target.binTMP"_s));
}

void tst_ReliabilityHostile::strayConnectionsBeforeTheSender()
{
    // Short-lived connections to the binary port from the sender's own address (a port scanner
    // on the same host), made as the sender connects, must not stand in for its channel.
    const int runs = qEnvironmentVariableIntValue("CORVANE_STRAY_RUNS");
    for (int run = 0; run < (runs > 0 ? runs : 8); ++run) {
        TransferRig rig(TransferRig::Options{});
        QString why;
        QVERIFY2(rig.listen(&why), qPrintable(why));
        rig.sender().setRemoteHost(u"127.0.0.1"_s);
        rig.sender().setRemotePortInfo(rig.receiver().LocalPortInfo());
        rig.sender().setRemotePortBinary(rig.receiver().LocalPortBinary());
        QVERIFY(rig.sender().Connect());
        // The sender's info connection is made now; the strays follow before the receiver
        // has seen any of them.
        QCoreApplication::sendPostedEvents();
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(quint16(rig.receiver().LocalPortBinary()));
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        for (int stray = 0; stray < 20; ++stray) {
            const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
            QVERIFY(::connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0);
            ::close(fd);
        }
        QVERIFY(waitUntil([&] { return rig.senderConnects > 0; }, 5000));
        QVERIFY2(rig.transfer(randomBytes(5000, m_seed + run), 4096, u"t.bin"_s, 5000, &why),
                 qPrintable(u"run %1: %2"_s.arg(run).arg(why)));
    }
}

void tst_ReliabilityHostile::plantedSymbolicLink_data()
{
    QTest::addColumn<bool>("atTemporaryPath");
    QTest::addColumn<bool>("dangling");
    QTest::newRow("temporary path, link to a file elsewhere") << true << false;
    QTest::newRow("temporary path, dangling link") << true << true;
    QTest::newRow("save path, link to a file elsewhere") << false << false;
}

void tst_ReliabilityHostile::plantedSymbolicLink()
{
    QFETCH(bool, atTemporaryPath);
    QFETCH(bool, dangling);
    QTemporaryDir elsewhere;
    const QString victim = elsewhere.filePath(u"victim.txt"_s);
    if (!dangling)
        QVERIFY(writeFile(victim, "precious"));
    TransferRig rig(TransferRig::Options{});
    rig.acceptAnnouncements = false;
    QString why;
    QVERIFY2(rig.connectBoth(&why), qPrintable(why));
    const QString target = rig.path(u"target.bin"_s);
    const QString link = atTemporaryPath ? target + u"TMP"_s : target;
    QVERIFY(QFile::link(victim, link));

    const QByteArray content = randomBytes(50000, m_seed);
    QVERIFY(rig.startTransfer(content, 4096, u"unused"_s));
    QVERIFY(waitUntil([&] { return rig.sendRequests == 1; }, 5000));
    const bool accepted = rig.receiver().AcceptSendRequest(target);
    if (atTemporaryPath) {
        // Refused before anything is written or answered; the host may choose again.
        QVERIFY(!accepted);
        QVERIFY(!rig.receiver().LastErrorDescription().isEmpty());
        settle();
        QVERIFY(!rig.log.contains(u"S:CommandAccepted"_s));
        QVERIFY(rig.receiver().AcceptSendRequest(rig.path(u"chosen-again.bin"_s)));
    } else {
        QVERIFY(accepted);
    }
    QVERIFY2(waitUntil([&] { return rig.receiveCompletes == 1 && rig.sendCompletes == 1; }, 10000),
             qPrintable(rig.report()));

    // The link's target was never touched, and the link itself is only replaced when it
    // stood at the save path.
    if (dangling)
        QVERIFY(!QFile::exists(victim));
    else
        QCOMPARE(readFile(victim), QByteArray("precious"));
    if (atTemporaryPath) {
        QCOMPARE(QFileInfo(link).symLinkTarget(), victim);
        QCOMPARE(readFile(rig.path(u"chosen-again.bin"_s)), content);
    } else {
        QVERIFY(!QFileInfo(target).isSymLink());
        QCOMPARE(readFile(target), content);
    }
    QCOMPARE(filesIn(elsewhere.path()), dangling ? QStringList() : QStringList{u"victim.txt"_s});
}

void tst_ReliabilityHostile::announcementCutInTwo_data()
{
    QTest::addColumn<int>("cut");
    const int length = int(qstrlen("FIS4097|0@report.pdf"));
    for (int cut = 1; cut < length; ++cut)
        QTest::addRow("after %d characters", cut) << cut;
}

// The info channel has no delimiter. A cut before the name leaves a start that can only be
// part of a message, which waits for its rest; a cut inside the name cannot be told and
// shortens it. Either way exactly one request with the size the sender wrote.
void tst_ReliabilityHostile::announcementCutInTwo()
{
    QFETCH(int, cut);
    const QByteArray text("FIS4097|0@report.pdf");
    TransferRig rig(TransferRig::Options{});
    rig.acceptAnnouncements = false;
    QString why;
    QVERIFY2(rig.listen(&why), qPrintable(why));
    RawPeer peer;
    QVERIFY(peer.connectInfo(rig.receiver().LocalPortInfo()));
    peer.sendInfo(text.first(cut));
    settle(60);
    peer.sendInfo(text.sliced(cut));
    settle(200);
    QCOMPARE(rig.sendRequests, 1);
    QCOMPARE(rig.receiver().CurrentFileSize(), qint64(4097));
    if (cut <= text.indexOf('@'))
        QCOMPARE(rig.receiver().CurrentFileName(), u"report.pdf"_s);
    else
        QCOMPARE(rig.receiver().CurrentFileName(), QString::fromLatin1(text.sliced(10, cut - 10)));
}

QTEST_MAIN(tst_ReliabilityHostile)
#include "tst_reliability_hostile.moc"
