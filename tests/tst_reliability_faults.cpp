// Faults during a transfer: either end vanishing, a full disk, a flood of unannounced bytes,
// a short stream, too little free space, and the lost connection that both components report.
// Whatever happens, the save path never holds a partial file, no temporary file stays behind,
// the failure is visible, and the receiver takes the next sender.

#include "resegmentingproxy.h"
#include "transferrig.h"

#include "protocol/errornumber.h"

#include <QFile>
#include <QStorageInfo>
#include <QTest>
#include <QTimer>

#include <csignal>
#include <sys/resource.h>

using namespace corvane;
using namespace Qt::StringLiterals;
using Direction = ResegmentingProxy::Direction;
using Fault = ResegmentingProxy::Fault;

namespace {
constexpr int LargeFile = 16 * 1024 * 1024;

// What a test does to one end in the middle of the file.
enum class Breakage
{
    SenderReset,
    SenderDestroyed,
    ReceiverReset,
    ReceiverDestroyed,
    ProxyClosesBinary,
    ProxyResetsBinary,
    ProxyClosesInfo,
    ProxyDropsBoth,
    SourceShrinks,
};

// Let the loop run a while longer, so that late or repeated events show.
void settle(int ms = 300)
{
    waitUntil([] { return false; }, ms);
}
} // namespace

class tst_ReliabilityFaults : public QObject
{
    Q_OBJECT

private slots:
    void senderGoesMidFile_data();
    void senderGoesMidFile();
    void receiverGoesMidFile_data();
    void receiverGoesMidFile();
    void diskFullWhileReceiving();
    void unannouncedFloodOnBinaryChannel();
    void announcedMoreThanSent_data();
    void announcedMoreThanSent();
    void tooLittleFreeSpace();
    void peerClosingEitherChannelIsReported_data();
    void peerClosingEitherChannelIsReported();

private:
    const quint32 m_seed = ResegmentingProxy::seedFromEnvironment();
};

void tst_ReliabilityFaults::senderGoesMidFile_data()
{
    QTest::addColumn<Breakage>("breakage");
    QTest::newRow("sender Reset") << Breakage::SenderReset;
    QTest::newRow("sender destroyed") << Breakage::SenderDestroyed;
    QTest::newRow("binary channel closed") << Breakage::ProxyClosesBinary;
    QTest::newRow("binary channel reset") << Breakage::ProxyResetsBinary;
    QTest::newRow("info channel closed") << Breakage::ProxyClosesInfo;
    QTest::newRow("source file shrinks") << Breakage::SourceShrinks;
}

void tst_ReliabilityFaults::senderGoesMidFile()
{
    QFETCH(Breakage, breakage);
    TransferRig::Options options;
    options.throughProxy = true;
    options.seed = m_seed;
    options.binaryCutting.maxDelayMs = 0;
    TransferRig rig(options);
    rig.listenAgainOnDisconnect = true;
    QString why;
    QVERIFY2(rig.connectBoth(&why), qPrintable(why));
    if (breakage == Breakage::ProxyClosesBinary)
        rig.binaryProxy()->setFault(Direction::ToTarget, Fault::Close, LargeFile / 3);
    if (breakage == Breakage::ProxyResetsBinary)
        rig.binaryProxy()->setFault(Direction::ToTarget, Fault::Reset, LargeFile / 3);

    // The first megabyte in, the sender goes.
    bool broken = false;
    QObject::connect(&rig.receiver(), &BinaryReceiver::ReceiveProgress, &rig.receiver(),
                     [&](qint64 progress) {
                         if (broken || progress < 1024 * 1024)
                             return;
                         broken = true;
                         QTimer::singleShot(0, &rig.receiver(), [&] {
                             if (breakage == Breakage::SenderReset)
                                 rig.sender().Reset();
                             else if (breakage == Breakage::SenderDestroyed)
                                 rig.destroySender();
                             else if (breakage == Breakage::ProxyClosesInfo)
                                 rig.infoProxy()->dropAll(Fault::Close);
                             else if (breakage == Breakage::SourceShrinks)
                                 QFile::resize(rig.sender().Source(), LargeFile / 2);
                         });
                     });
    const QByteArray content = randomBytes(LargeFile, m_seed);
    QVERIFY(rig.startTransfer(content, 65536, u"target.bin"_s));
    QVERIFY2(waitUntil([&] { return rig.receiverDisconnects == 1; }, 20000),
             qPrintable(rig.report()));
    settle();
    QCOMPARE(rig.receiveErrors, 1);
    QVERIFY2(rig.log.filter(u"R:ReceiveError %1 "_s.arg(ErrorNumber::IncompleteFile)).size() == 1,
             qPrintable(rig.report()));
    QCOMPARE(rig.receiveCompletes, 0);
    QCOMPARE(rig.receiverDisconnects, 1);
    QCOMPARE(filesIn(rig.folder()), QStringList());

    // The receiver listens again and takes the next sender.
    if (breakage == Breakage::SenderDestroyed)
        rig.replaceSender();
    else
        rig.sender().Reset();
    rig.binaryProxy()->setFault(Direction::ToTarget, Fault::None, 0);
    QVERIFY2(rig.connectSender(&why), qPrintable(why));
    QVERIFY2(rig.transfer(randomBytes(300000, m_seed + 1), 4096, u"target.bin"_s, 20000, &why),
             qPrintable(why));
}

void tst_ReliabilityFaults::receiverGoesMidFile_data()
{
    QTest::addColumn<Breakage>("breakage");
    QTest::newRow("receiver Reset") << Breakage::ReceiverReset;
    QTest::newRow("receiver destroyed") << Breakage::ReceiverDestroyed;
    QTest::newRow("both channels closed") << Breakage::ProxyDropsBoth;
    QTest::newRow("binary channel reset") << Breakage::ProxyResetsBinary;
}

void tst_ReliabilityFaults::receiverGoesMidFile()
{
    QFETCH(Breakage, breakage);
    TransferRig::Options options;
    options.throughProxy = true;
    options.seed = m_seed;
    options.binaryCutting.maxDelayMs = 0;
    TransferRig rig(options);
    QString why;
    QVERIFY2(rig.connectBoth(&why), qPrintable(why));

    bool broken = false;
    QObject::connect(&rig.sender(), &BinarySender::SendProgress, &rig.sender(),
                     [&](qint64 progress) {
                         if (broken || progress < 2 * 1024 * 1024)
                             return;
                         broken = true;
                         QTimer::singleShot(0, &rig.sender(), [&] {
                             switch (breakage) {
                             case Breakage::ReceiverReset:
                                 rig.receiver().Reset();
                                 break;
                             case Breakage::ReceiverDestroyed:
                                 rig.destroyReceiver();
                                 break;
                             case Breakage::ProxyDropsBoth:
                                 rig.infoProxy()->dropAll(Fault::Close);
                                 rig.binaryProxy()->dropAll(Fault::Close);
                                 break;
                             default:
                                 rig.binaryProxy()->dropAll(Fault::Reset);
                                 break;
                             }
                         });
                     });
    // Large enough that the sender is still handing chunks over when the receiver goes.
    QVERIFY(rig.startTransfer(randomBytes(4 * LargeFile, m_seed), 65536, u"target.bin"_s));
    QVERIFY2(waitUntil([&] { return rig.senderDisconnects > 0; }, 30000), qPrintable(rig.report()));
    settle(500);
    // Told once, and stopped.
    QVERIFY2(rig.sendErrors == 1, qPrintable(rig.report()));
    QVERIFY2(rig.senderSocketErrors <= 1, qPrintable(rig.report()));
    QCOMPARE(rig.senderDisconnects, 1);
    QCOMPARE(rig.sendCompletes, 0);
    QVERIFY(!rig.sender().Streaming());
    const qint64 position = rig.sender().ReadPosition();
    settle(200);
    QCOMPARE(rig.sender().ReadPosition(), position);
    QVERIFY(position < 4 * LargeFile);
    QCOMPARE(filesIn(rig.folder()), QStringList());
}

void tst_ReliabilityFaults::diskFullWhileReceiving()
{
    TransferRig::Options options;
    TransferRig rig(options);
    rig.listenAgainOnDisconnect = true;
    QString why;
    QVERIFY2(rig.connectBoth(&why), qPrintable(why));
    const QByteArray content = randomBytes(2 * 1024 * 1024, m_seed);

    // A file-size limit stands in for a full disk: writes past it fail with EFBIG, which
    // the receiver must treat like ENOSPC. The limit is lifted again whatever happens.
    rlimit original{};
    QVERIFY(::getrlimit(RLIMIT_FSIZE, &original) == 0);
    const auto previousHandler = std::signal(SIGXFSZ, SIG_IGN);
    const auto restore = qScopeGuard([&] {
        ::setrlimit(RLIMIT_FSIZE, &original);
        std::signal(SIGXFSZ, previousHandler);
    });
    QVERIFY(rig.startTransfer(content, 65536, u"target.bin"_s));
    rlimit limited = original;
    limited.rlim_cur = 256 * 1024;
    QVERIFY(::setrlimit(RLIMIT_FSIZE, &limited) == 0);

    QVERIFY2(waitUntil([&] { return rig.receiveErrors > 0; }, 20000), qPrintable(rig.report()));
    settle(500);
    QVERIFY2(rig.log.filter(u"R:ReceiveError %1 "_s.arg(ErrorNumber::DiskFull)).size() == 1,
             qPrintable(rig.report()));
    QCOMPARE(rig.receiveErrors, 1);
    QCOMPARE(rig.receiveCompletes, 0);
    // No "RFC": the sender learns of the failure from the close of both channels.
    QCOMPARE(rig.sendCompletes, 0);
    QVERIFY2(waitUntil([&] { return rig.senderDisconnects == 1; }, 5000), qPrintable(rig.report()));
    QCOMPARE(rig.receiverDisconnects, 1);
    QCOMPARE(filesIn(rig.folder()), QStringList());
    ::setrlimit(RLIMIT_FSIZE, &original);

    // The receiver listens again and the sender connects again for the next file.
    QVERIFY2(rig.connectSender(&why), qPrintable(why));
    QVERIFY2(rig.transfer(randomBytes(100000, m_seed + 2), 4096, u"next.bin"_s, 20000, &why),
             qPrintable(why));
}

void tst_ReliabilityFaults::unannouncedFloodOnBinaryChannel()
{
    TransferRig::Options options;
    TransferRig rig(options);
    rig.acceptAnnouncements = false;
    rig.listenAgainOnDisconnect = true;
    QString why;
    QVERIFY2(rig.listen(&why), qPrintable(why));
    RawPeer peer;
    QVERIFY(peer.connectInfo(rig.receiver().LocalPortInfo()));
    QVERIFY(peer.connectBinary(rig.receiver().LocalPortBinary()));
    QVERIFY(waitUntil([&] { return rig.receiverConnects == 1; }, 5000));

    // 100 MiB that nobody announced: the receiver drops them as they come, holding at most
    // its read buffer, and still answers the info channel in the middle of the flood.
    const qint64 memoryBefore = memoryInUse();
    qint64 memoryPeak = memoryBefore;
    bool announced = false;
    bool answeredDuringFlood = false;
    const bool flooded = peer.streamBinary(100 * 1024 * 1024, [&] {
        memoryPeak = std::max(memoryPeak, memoryInUse());
        if (!announced) {
            announced = true;
            peer.sendInfo("FIS5|0@hello.txt");
        }
        answeredDuringFlood = answeredDuringFlood || rig.sendRequests == 1;
        return true;
    });
    QVERIFY(flooded);
    QVERIFY(answeredDuringFlood);
    const qint64 growth = memoryPeak - memoryBefore;
    qInfo("memory in use grew by %lld KiB during the flood", growth / 1024);
    QVERIFY2(growth < 32 * 1024 * 1024, qPrintable(u"grew by %1 bytes"_s.arg(growth)));
    QCOMPARE(filesIn(rig.folder()), QStringList());
    QCOMPARE(rig.receiver().TotalReceived(), qint64(0));

    // The flooding peer leaves; a legitimate sender is served as usual.
    peer.closeBoth();
    QVERIFY(waitUntil([&] { return rig.receiverDisconnects == 1; }, 10000));
    rig.acceptAnnouncements = true;
    QVERIFY2(rig.connectSender(&why), qPrintable(why));
    QVERIFY2(rig.transfer(randomBytes(500000, m_seed), 4096, u"legit.bin"_s, 20000, &why),
             qPrintable(why));
    QCOMPARE(filesIn(rig.folder()), QStringList{u"legit.bin"_s});
}

void tst_ReliabilityFaults::announcedMoreThanSent_data()
{
    QTest::addColumn<int>("sent");
    QTest::addColumn<bool>("infoFirst");
    QTest::newRow("nothing, info closed first") << 0 << true;
    QTest::newRow("4000 of 10000, binary closed first") << 4000 << false;
    QTest::newRow("4000 of 10000, info closed first") << 4000 << true;
    QTest::newRow("9999 of 10000, binary closed first") << 9999 << false;
}

void tst_ReliabilityFaults::announcedMoreThanSent()
{
    QFETCH(int, sent);
    QFETCH(bool, infoFirst);
    TransferRig::Options options;
    TransferRig rig(options);
    rig.listenAgainOnDisconnect = true;
    QString why;
    QVERIFY2(rig.listen(&why), qPrintable(why));
    rig.setTarget(u"short.bin"_s);
    RawPeer peer;
    QVERIFY(peer.connectInfo(rig.receiver().LocalPortInfo()));
    QVERIFY(peer.connectBinary(rig.receiver().LocalPortBinary()));
    QVERIFY(waitUntil([&] { return rig.receiverConnects == 1; }, 5000));
    peer.sendInfo("FIS10000|0@short.bin");
    QVERIFY(waitUntil([&] { return peer.infoReceived == "CNTACP"; }, 5000));
    const QByteArray content = randomBytes(sent, m_seed);
    peer.sendBinary(content);
    QVERIFY(waitUntil([&] { return rig.receiver().TotalReceived() == sent; }, 5000));

    if (infoFirst) {
        peer.info.disconnectFromHost();
        peer.binary.disconnectFromHost();
    } else {
        peer.binary.disconnectFromHost();
        peer.info.disconnectFromHost();
    }
    QVERIFY2(waitUntil([&] { return rig.receiverDisconnects == 1; }, 5000),
             qPrintable(rig.report()));
    settle();
    QCOMPARE(rig.receiveErrors, 1);
    QVERIFY2(rig.log.filter(u"R:ReceiveError %1 "_s.arg(ErrorNumber::IncompleteFile)).size() == 1,
             qPrintable(rig.report()));
    QCOMPARE(rig.receiveCompletes, 0);
    QCOMPARE(peer.infoReceived, QByteArray("CNTACP"));
    QCOMPARE(filesIn(rig.folder()), QStringList());
}

void tst_ReliabilityFaults::tooLittleFreeSpace()
{
    TransferRig::Options options;
    TransferRig rig(options);
    rig.acceptAnnouncements = false;
    QString why;
    QVERIFY2(rig.listen(&why), qPrintable(why));
    RawPeer peer;
    QVERIFY(peer.connectInfo(rig.receiver().LocalPortInfo()));
    QVERIFY(peer.connectBinary(rig.receiver().LocalPortBinary()));

    const QStorageInfo storage(rig.folder());
    QVERIFY(storage.isValid());
    const qint64 tooLarge = storage.bytesAvailable() + 1024 * 1024 * 1024;
    peer.sendInfo("FIS" + QByteArray::number(tooLarge) + "|0@big.iso");
    QVERIFY(waitUntil([&] { return rig.sendRequests == 1; }, 5000));
    QCOMPARE(rig.receiver().CurrentFileSize(), tooLarge);

    QVERIFY(!rig.receiver().AcceptSendRequest(rig.path(u"big.iso"_s)));
    QCOMPARE(rig.receiver().LastErrorNumber(), ErrorNumber::DiskFull);
    QVERIFY2(rig.receiver().LastErrorDescription().contains(QString::number(tooLarge)),
             qPrintable(rig.receiver().LastErrorDescription()));
    settle();
    // Refused before anything was written or answered.
    QCOMPARE(peer.infoReceived, QByteArray("CNT"));
    QCOMPARE(filesIn(rig.folder()), QStringList());

    // A file that fits is taken on the same connections.
    rig.receiver().ResetFile();
    peer.sendInfo("FIS3|0@small.txt");
    QVERIFY(waitUntil([&] { return rig.sendRequests == 2; }, 5000));
    QVERIFY(rig.receiver().AcceptSendRequest(rig.path(u"small.txt"_s)));
    QVERIFY(waitUntil([&] { return peer.infoReceived == "CNTACP"; }, 5000));
    peer.sendBinary("abc");
    QVERIFY(waitUntil([&] { return peer.infoReceived == "CNTACPRFC"; }, 5000));
    QCOMPARE(readFile(rig.path(u"small.txt"_s)), QByteArray("abc"));
}

void tst_ReliabilityFaults::peerClosingEitherChannelIsReported_data()
{
    QTest::addColumn<bool>("infoChannel");
    QTest::newRow("info channel") << true;
    QTest::newRow("binary channel") << false;
}

void tst_ReliabilityFaults::peerClosingEitherChannelIsReported()
{
    QFETCH(bool, infoChannel);
    TransferRig::Options options;
    options.throughProxy = true;
    options.seed = m_seed;
    TransferRig rig(options);
    rig.listenAgainOnDisconnect = true;
    QString why;
    QVERIFY2(rig.connectBoth(&why), qPrintable(why));
    QVERIFY2(rig.transfer(randomBytes(10000, m_seed), 4096, u"first.bin"_s, 10000, &why),
             qPrintable(why));

    // Between files, one channel goes: both ends say so once, and nothing else.
    (infoChannel ? rig.infoProxy() : rig.binaryProxy())->dropAll(Fault::Close);
    QVERIFY2(
        waitUntil([&] { return rig.senderDisconnects == 1 && rig.receiverDisconnects == 1; }, 5000),
        qPrintable(rig.report()));
    settle();
    QCOMPARE(rig.senderDisconnects, 1);
    QCOMPARE(rig.receiverDisconnects, 1);
    QCOMPARE(rig.sendErrors + rig.receiveErrors, 0);
    QCOMPARE(rig.senderSocketErrors + rig.receiverSocketErrors, 0);

    // The receiver listened again; the same sender connects anew and goes on.
    QVERIFY2(rig.connectSender(&why), qPrintable(why));
    QVERIFY2(rig.transfer(randomBytes(10000, m_seed + 1), 4096, u"second.bin"_s, 10000, &why),
             qPrintable(why));
}

QTEST_MAIN(tst_ReliabilityFaults)
#include "tst_reliability_faults.moc"
