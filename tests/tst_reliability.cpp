// Whole transfers through channels that the network re-cuts, either end failing mid-file, and
// hostile peers. The save path holds the file sent or nothing, no temporary file stays, every
// failure is told once on each side, and the receiver goes on to serve the next sender.

#include "support/scriptedpeer.h"
#include "support/testing.h"
#include "support/transferrig.h"

#include "protocol/errornumber.h"

#include <QFile>
#include <QFileInfo>
#include <QRandomGenerator>
#include <QStorageInfo>
#include <QTest>
#include <QTimer>

#include <csignal>
#include <sys/resource.h>

using namespace corvane;
using namespace corvane::test;
using namespace Qt::StringLiterals;
using Fault = ResegmentingProxy::Fault;
using Act = std::function<void(TransferRig &)>;

namespace {
// A hand-made sender on the receiver's own ports, with both channels taken.
bool connectPeer(ScriptedPeer &peer, TransferRig &rig)
{
    return peer.connectInfo(rig.receiver().LocalPortInfo()) && peer.waitForInfo("CNT") &&
           peer.connectBinary(rig.receiver().LocalPortBinary()) &&
           waitUntil([&] { return rig.count(u"R:ConnectionRequest"_s) == 1; });
}

// Whatever went before, the receiver takes the next sender and saves its file.
bool nextSenderServed(TransferRig &rig)
{
    rig.sender().Reset();
    return rig.connectSender() && rig.transfer(randomBytes(70000, 70000), u"next.bin"_s);
}

// A file-size limit stands in for a full disk: writes beyond it fail with EFBIG.
void limitFileSize(rlim_t size)
{
    std::signal(SIGXFSZ, SIG_IGN);
    rlimit limit{};
    ::getrlimit(RLIMIT_FSIZE, &limit);
    limit.rlim_cur = std::min(size, limit.rlim_max);
    ::setrlimit(RLIMIT_FSIZE, &limit);
}
} // namespace

class tst_Reliability : public QObject
{
    Q_OBJECT

private slots:
    void recutTransfers_data();
    void recutTransfers();
    void faults_data();
    void faults();
    void memoryStaysFlat();
    void hostileInput_data();
    void hostileInput();
    void strangers_data();
    void strangers();

private:
    const quint32 m_seed = seedFromEnvironment();
};

void tst_Reliability::recutTransfers_data()
{
    QTest::addColumn<int>("sample");
    for (int sample = 0; sample < 13; ++sample)
        QTest::addRow(sample < 12 ? "sample %d" : "200 small files", sample) << sample;
}

// Samples of the grid, drawn from the seed: sizes on, below and above multiples of the chunk
// size (0 and 1 in the first sample), chunks of 1 to 65536 bytes, several files on one
// connection, binary pieces of any size, and the receiver's answers cut into 1 to 4 bytes.
void tst_Reliability::recutTransfers()
{
    QFETCH(int, sample);
    const quint32 seed = m_seed + quint32(sample);
    QRandomGenerator random(seed);
    QList<std::pair<int, int>> files; // bytes, and bytes per chunk
    for (int i = 0, count = sample == 12 ? 200 : 2 + int(random.bounded(2)); i < count; ++i) {
        const int power = 1 << random.bounded(17);
        const int chunk = std::min(65536, power + int(random.bounded(power)));
        // A few chunks, or up to 4096 sends and 2 MiB; a byte short, on the chunk or one over.
        const int most = random.bounded(2) ? 4 : std::min(4096, (2 << 20) / chunk) + 1;
        const int size =
            std::max(0, int(random.bounded(most)) * chunk + int(random.bounded(3)) - 1);
        files << std::pair(sample == 0 ? i : sample == 12 ? size % 32768 : size, chunk);
    }
    ResegmentingProxy::Cutting binary, answers;
    // Pieces of any size, but at most a few hundred to a file.
    const int largest = std::max_element(files.begin(), files.end())->first;
    binary.maxPiece = sample == 12 ? 65536 : std::max(1 << random.bounded(4, 17), largest / 256);
    answers.maxPiece = 1 + int(random.bounded(4));
    TransferRig rig(seed);
    QVERIFY(rig.listen());
    rig.proxy(true)->setCutting(ResegmentingProxy::Direction::ToTarget, binary);
    rig.proxy(false)->setCutting(ResegmentingProxy::Direction::FromTarget, answers);
    QVERIFY(rig.connectSender());
    for (qsizetype i = 0; i < files.size(); ++i) {
        const auto [size, chunk] = files[i];
        QVERIFY2(rig.transfer(randomBytes(size, seed + i), u"file-%1"_s.arg(i % 3), chunk),
                 qPrintable(u"chunks of %1: "_s.arg(chunk) + rig.why()));
    }
    QCOMPARE(rig.count(u"R:SendRequest"_s), files.size());
    QCOMPARE(filesIn(rig.folder()).size(), std::min(files.size(), qsizetype(3)));
}

void tst_Reliability::faults_data()
{
    // With a peer, the act plays the sender; otherwise it breaks the transfer of a 48 MiB file
    // once a MiB has arrived. The failure events that follow come exactly once each.
    QTest::addColumn<bool>("byPeer");
    QTest::addColumn<Act>("act");
    QTest::addColumn<QStringList>("expected");
    const auto row = [](bool byPeer, const char *name, const QStringList &expected, Act act) {
        QTest::newRow(name) << byPeer << act << expected;
    };
    const auto drop = [](QList<bool> binary, Fault how) {
        return [=](TransferRig &rig) {
            for (const bool channel : binary)
                rig.proxy(channel)->dropAll(how);
        };
    };
    const QString incomplete = u"R:ReceiveError %1"_s.arg(ErrorNumber::IncompleteFile);
    const QString diskFull = u"R:ReceiveError %1"_s.arg(ErrorNumber::DiskFull);
    const QString shrunk = u"S:SendError %1"_s.arg(ErrorNumber::IncompleteFile);
    const QString noRoom = u"R:AcceptSendRequest failed %1"_s.arg(ErrorNumber::DiskFull);
    const QStringList senderGone{incomplete, u"R:Disconnected"_s};
    const QStringList receiverGone{u"S:SendError"_s, u"S:Disconnected"_s};
    const QStringList both = senderGone + receiverGone;
    row(false, "sender Reset", senderGone, [](TransferRig &rig) { rig.sender().Reset(); });
    row(false, "sender destroyed", senderGone, [](TransferRig &rig) { rig.replaceSender(); });
    row(false, "binary channel closed", both, drop({true}, Fault::Close));
    row(false, "binary channel reset", both, drop({true}, Fault::Reset));
    row(false, "info channel closed", both, drop({false}, Fault::Close));
    row(false, "both channels dropped", both, drop({false, true}, Fault::Close));
    row(false, "source shrinks", senderGone + QStringList{shrunk, u"S:Disconnected"_s},
        [](TransferRig &rig) { QFile::resize(rig.sender().Source(), 16 << 20); });
    row(false, "receiver Reset", receiverGone, [](TransferRig &rig) {
        rig.receiver().Reset();
        rig.receiver().Listen();
    });
    row(false, "receiver destroyed", receiverGone, [](TransferRig &rig) { rig.destroyReceiver(); });
    row(false, "disk full", receiverGone + QStringList{diskFull, u"R:Disconnected"_s},
        [](TransferRig &) { limitFileSize(1 << 18); });
    row(true, "announced more than sent", senderGone, [](TransferRig &rig) {
        ScriptedPeer peer;
        QVERIFY(connectPeer(peer, rig));
        peer.say("FIS10000|0@short.bin");
        QVERIFY(peer.waitForInfo("CNTACP"));
        peer.send(randomBytes(4000));
        peer.closeBoth();
    });
    row(true, "too little free space", {noRoom, u"R:Disconnected"_s}, [](TransferRig &rig) {
        ScriptedPeer peer;
        QVERIFY(connectPeer(peer, rig));
        const qint64 free = QStorageInfo(rig.folder()).bytesAvailable();
        peer.say("FIS" + QByteArray::number(free + (qint64(1) << 30)) + "|0@big.iso");
        QVERIFY(waitUntil([&] { return rig.count(u"R:AcceptSendRequest failed"_s) == 1; }));
        settle();
        QCOMPARE(peer.infoBytes, QByteArray("CNT"));
        peer.closeBoth();
    });
}

void tst_Reliability::faults()
{
    QFETCH(bool, byPeer);
    QFETCH(Act, act);
    QFETCH(QStringList, expected);
    static const QByteArray content = randomBytes(48 * 1024 * 1024, m_seed);
    const auto lift = qScopeGuard([] { limitFileSize(RLIM_INFINITY); });
    TransferRig rig(m_seed);
    rig.setTarget(u"target.bin"_s);
    QVERIFY(rig.listen());
    if (byPeer) {
        act(rig);
    } else {
        QVERIFY(rig.connectSender());
        QObject::connect(&rig.receiver(), &BinaryReceiver::ReceiveProgress, &rig.receiver(),
                         [&, done = false](qint64 progress) mutable {
                             if (!done && (done = progress >= 1024 * 1024))
                                 QTimer::singleShot(0, [&] { act(rig); });
                         });
        QVERIFY(rig.start(content, u"target.bin"_s, 65536));
    }
    const auto seen = [&](const QString &event) {
        return rig.count(event) > 0;
    };
    QVERIFY2(waitUntil([&] { return std::all_of(expected.begin(), expected.end(), seen); }, 20000),
             qPrintable(rig.why()));
    const qint64 position = rig.sender().ReadPosition();
    settle(300);
    // Told once on each side, nothing ever reported as done, and the sender reads no further.
    for (const QString &event :
         {u"S:SendError"_s, u"S:Disconnected"_s, u"S:SendComplete"_s, u"R:ReceiveError"_s,
          u"R:Disconnected"_s, u"R:ReceiveComplete"_s, u"R:AcceptSendRequest failed"_s})
        QVERIFY2(rig.count(event) == expected.filter(event).size(), qPrintable(event + rig.why()));
    for (const QString &event : expected)
        QVERIFY2(rig.count(event) == 1, qPrintable(rig.why()));
    QVERIFY(!rig.sender().Streaming());
    QCOMPARE(rig.sender().ReadPosition(), position);
    QVERIFY(position < content.size());
    QCOMPARE(filesIn(rig.folder()), QStringList());
    if (QByteArray(QTest::currentDataTag()) != "receiver destroyed")
        QVERIFY2(nextSenderServed(rig), qPrintable(rig.why()));
}

// Memory does not grow with the file.
void tst_Reliability::memoryStaysFlat()
{
    QTemporaryDir sources;
    QFile source(sources.filePath(u"large.bin"_s));
    QVERIFY(source.open(QIODevice::WriteOnly) && source.resize(256 * 1024 * 1024));
    TransferRig rig;
    QVERIFY(rig.connectBoth());
    rig.setTarget(u"large.bin"_s);
    rig.sender().setChunkSize(65536);
    rig.sender().setSource(source.fileName());
    const qint64 before = memoryInUse();
    qint64 peak = before;
    QTimer sampler;
    QObject::connect(&sampler, &QTimer::timeout, [&] { peak = std::max(peak, memoryInUse()); });
    sampler.start(5);
    QVERIFY(rig.sender().SendInfo());
    QVERIFY2(waitUntil([&] { return rig.count(u"R:ReceiveComplete"_s); }, 120000),
             qPrintable(rig.why()));
    QCOMPARE(QFileInfo(rig.path(u"large.bin"_s)).size(), source.size());

    QVERIFY2(peak - before < 64 * 1024 * 1024, qPrintable(QString::number(peak - before)));
}

// A peer's announcement, garbage on either channel, or a link planted where the receiver
// writes. The receiver writes only to the path its host chose (a link there is replaced, one at
// the temporary path refused), answers garbage with nothing and goes on hearing its peer.
void tst_Reliability::hostileInput_data()
{
    QTest::addColumn<QByteArray>("text");
    // A link to a file elsewhere at the temporary path ("temporary", "dangling" when the file
    // does not exist) or at the save path ("save").
    QTest::addColumn<QString>("link");
    QTest::addColumn<int>("floodMiB"); // sent first on the binary channel, unannounced
    const auto row = [](const char *name, const QByteArray &text, const QString &link = {},
                        int floodMiB = 0) {
        QTest::newRow(name) << text << link << floodMiB;
    };
    row("name with ..", "FIS3|0@../corvane-escape");
    row("absolute name", "FIS3|0@/tmp/corvane-escape");
    row("20-digit size", "FIS12345678901234567890|0@x");
    row("announcement in lower case", "fis3|0@x");
    row("fsc in lower case", "fsc");
    row("random bytes", randomBytes(64 * 1024, m_seed).replace('F', 'G'));
    row("a flood of text", QByteArray("etaoin shrdlu ").repeated(80000));
    row("link at the temporary path", "FIS3|0@x", u"temporary"_s);
    row("dangling link at the temporary path", "FIS3|0@x", u"dangling"_s);
    row("link at the save path", "FIS3|0@x", u"save"_s);
    row("a flood on the binary channel", {}, {}, 64);
}

void tst_Reliability::hostileInput()
{
    QFETCH(QByteArray, text);
    QFETCH(QString, link);
    QFETCH(int, floodMiB);
    const bool accepted = link != u"temporary" && link != u"dangling";
    QTemporaryDir elsewhere;
    const QString victim = elsewhere.filePath(u"victim"_s);
    QVERIFY(link == u"dangling" || !writeFile(victim, "precious").isEmpty());
    TransferRig rig;
    rig.setTarget(u"target.bin"_s);
    QVERIFY(rig.listen());
    const QString target = rig.path(u"target.bin"_s);
    QVERIFY(link.isEmpty() || QFile::link(victim, link == u"save" ? target : target + u"TMP"_s));
    ScriptedPeer peer;
    QVERIFY(connectPeer(peer, rig));
    const qint64 before = memoryInUse();
    for (int i = 0; i < floodMiB; ++i) {
        peer.send(randomBytes(1024 * 1024, i));
        // The receiver goes on reading, or the peer's own buffer would not drain.
        QVERIFY(waitUntil([&] { return peer.binary->bytesToWrite() == 0; }));
    }
    peer.say(text);
    QVERIFY(waitUntil([&] { return peer.info->bytesToWrite() == 0; }));
    settle(300);
    QCOMPARE(rig.count(u"R:SendRequest"_s), int(text.startsWith("FIS3|")));
    // After garbage the peer is still heard.
    if (!text.startsWith("FIS3|"))
        peer.say("FIS3|0@x");
    if (accepted) {
        QVERIFY(peer.waitForInfo("CNTACP"));
        peer.send("abc");
        QVERIFY(peer.waitForInfo("CNTACPRFC"));
    }
    settle(100);
    QCOMPARE(peer.infoBytes, QByteArray(accepted ? "CNTACPRFC" : "CNT"));
    QCOMPARE(rig.count(u"R:ReceiveComplete"_s), int(accepted));
    QVERIFY(memoryInUse() - before < 32 * 1024 * 1024);
    // The chosen file, never a link, and beside it at most the link planted there.
    QCOMPARE(readFile(target), QByteArray(accepted ? "abc" : "<missing>"));
    QVERIFY(!QFileInfo(target).isSymLink());
    QCOMPARE(filesIn(rig.folder()).size(), int(accepted) + int(!link.isEmpty() && !accepted));
    QCOMPARE(readFile(victim), QByteArray(link == u"dangling" ? "<missing>" : "precious"));
    QCOMPARE(filesIn(elsewhere.path()).size(), link == u"dangling" ? 0 : 1);
    QVERIFY(!QFile::exists(rig.path(u"../corvane-escape"_s)));
    QVERIFY(!QFile::exists(u"/tmp/corvane-escape"_s));
    peer.closeBoth();
    QVERIFY(waitUntil([&] { return rig.count(u"R:Disconnected"_s) == 1; }));
    QVERIFY2(nextSenderServed(rig), qPrintable(rig.why()));
}

void tst_Reliability::strangers_data()
{
    QTest::addColumn<int>("runs");
    QTest::newRow("binary port, before any sender") << 1;
    QTest::newRow("binary port, between the sender's channels") << 1;
    QTest::newRow("info port, while a sender is connected") << 1;
    // A port scanner on the sender's own host: 20 short-lived connections to the binary port,
    // made just after the sender's info connection, before the receiver has seen any of them.
    const int runs = qEnvironmentVariableIntValue("CORVANE_STRAY_RUNS");
    QTest::newRow("strays from the sender's address") << (runs > 0 ? runs : 8);
}

// Nobody but the sender on the info channel takes a channel of the session.
void tst_Reliability::strangers()
{
    QFETCH(int, runs);
    const QByteArray row = QTest::currentDataTag();
    for (int run = 0; run < runs; ++run) {
        TransferRig rig;
        QVERIFY(rig.listen());
        QTcpSocket stranger;
        QVERIFY(stranger.bind(QHostAddress(u"127.0.0.2"_s), 0));
        const auto intrude = [&](int port) {
            stranger.connectToHost(u"127.0.0.1"_s, quint16(port));
            stranger.write(randomBytes(100000));
        };
        const int binaryPort = rig.receiver().LocalPortBinary();
        if (row.startsWith("binary port, before"))
            intrude(binaryPort);
        if (row.startsWith("binary port, between"))
            QObject::connect(&rig.sender(), &BinarySender::Connected, [&] { intrude(binaryPort); });
        if (row.startsWith("strays")) {
            stranger.abort();
            rig.sender().setRemoteHost(u"127.0.0.1"_s);
            rig.sender().setRemotePortInfo(rig.receiver().LocalPortInfo());
            rig.sender().setRemotePortBinary(binaryPort);
            QVERIFY(rig.sender().Connect());
            QCoreApplication::sendPostedEvents();
            for (int stray = 0; stray < 20; ++stray) {
                QTcpSocket socket;
                socket.connectToHost(u"127.0.0.1"_s, quint16(binaryPort));
                QVERIFY(socket.waitForConnected());
            }
        }
        QVERIFY(row.startsWith("strays")
                    ? waitUntil([&] { return rig.count(u"R:ConnectionRequest"_s); })
                    : rig.connectSender());
        if (row.startsWith("info port"))
            intrude(rig.receiver().LocalPortInfo());
        QVERIFY(waitUntil([&] { return stranger.state() == QAbstractSocket::UnconnectedState; }));
        QVERIFY2(rig.transfer(randomBytes(70000, m_seed + run), u"target.bin"_s),
                 qPrintable(u"run %1: "_s.arg(run) + rig.why()));
        QCOMPARE(rig.count(u"R:ConnectionRequest"_s), 1);
    }
}

QTEST_MAIN(tst_Reliability)
#include "tst_reliability.moc"
