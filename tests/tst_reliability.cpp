// Transfers through re-cut channels; sessions broken by either end, a hostile peer or a stranger:
// the file sent or nothing is saved, each failure told once, and the next sender served. And the
// receiver in a process of its own (this program, started with --receive PATH): killed mid-file
// or mid-save it leaves the old target or the new one whole; traced, it answers "ACP" only once
// the temporary file is open and "RFC" only once the file is on disk under its name.

#include "support/childprocess.h"
#include "support/scriptedpeer.h"
#include "support/testing.h"
#include "support/transferrig.h"

#include <QtTest>
#include <QtWidgets>

using namespace corvane;
using namespace corvane::test;
using namespace Qt::StringLiterals;
using Act = std::function<void(TransferRig &)>;

namespace {
// CORVANE_SEED replays a failure; else a fresh seed. Printed either way.
const quint32 baseSeed = [] {
    const quint32 seed = qEnvironmentVariableIsSet("CORVANE_SEED")
                             ? qEnvironmentVariable("CORVANE_SEED").toUInt()
                             : QRandomGenerator::global()->generate();
    qInfo("seed %u (replay with CORVANE_SEED=%u)", seed, seed);
    return seed;
}();

// A hand-made sender on the receiver's own ports, with both channels taken.
bool connectPeer(ScriptedPeer &peer, TransferRig &rig)
{
    return peer.connectInfo(rig.receiver().LocalPortInfo()) && peer.waitForInfo("CNT") &&
           peer.connectBinary(rig.receiver().LocalPortBinary()) &&
           waitUntil([&] { return rig.count(u"R:ConnectionRequest"_s) == 1; });
}

// Breaks the transfer of a 48 MiB file once a MiB has arrived.
Act midFile(const Act &breakIt)
{
    return [=](TransferRig &rig) {
        static const QByteArray content = randomBytes(48 << 20, 48);
        QVERIFY(rig.connectSender() && rig.start(content, u"target.bin"_s, 65536));
        QVERIFY(waitUntil([&] { return rig.receiver().TotalReceived() >= 1 << 20; }));
        breakIt(rig);
    };
}

// A hand-made sender says text (after a flood on the binary channel; with a link to a file
// elsewhere at the temporary path, "dangling" to none, or at the save path), then announces 3
// bytes. The receiver writes only where its host chose, ignores garbage, still hears its peer.
Act hostile(const QByteArray &text, const QString &link = {}, int floodMiB = 0)
{
    return [=](TransferRig &rig) {
        const bool accepted = link != u"temporary" && link != u"dangling";
        QTemporaryDir elsewhere;
        const QString victim = elsewhere.filePath(u"v"_s), target = rig.path(u"target.bin"_s);
        QVERIFY(link == u"dangling" || !writeFile(victim, "precious").isEmpty());
        QVERIFY(link.isEmpty() || QFile::link(victim, link == u"save" ? target : target + u"TMP"));
        ScriptedPeer peer;
        QVERIFY(connectPeer(peer, rig));
        const qint64 before = memoryInUse();
        for (int i = 0; i < floodMiB; ++i) {
            peer.send(randomBytes(1 << 20, i));
            QVERIFY(waitUntil([&] { return peer.binary->bytesToWrite() == 0; }));
        }
        peer.say(text);
        QVERIFY(waitUntil([&] { return peer.info->bytesToWrite() == 0; }));
        settle(200);
        QCOMPARE(rig.count(u"R:SendRequest"_s), int(text.startsWith("FIS3|")));
        if (!text.startsWith("FIS3|"))
            peer.say("FIS3|0@x");
        QVERIFY(waitUntil([&] { return rig.count(u"R:SendRequest"_s) == 1; }));
        if (accepted)
            peer.send("abc");
        QVERIFY2(peer.waitForInfo(accepted ? "CNTACPRFC" : "CNT"), peer.infoBytes.constData());
        QVERIFY(memoryInUse() - before < 32 << 20);
        QCOMPARE(readFile(target), QByteArray(accepted ? "abc" : "<missing>"));
        QCOMPARE(readFile(victim), QByteArray(link == u"dangling" ? "<missing>" : "precious"));
        QVERIFY(!QFile::exists(rig.path(u"../corvane-escape"_s)));
        QFile::remove(target + u"TMP"_s); // the link planted there
        peer.closeBoth();
    };
}

// A stranger from another address on the binary port between the sender's channels, or on the info
// port once it is connected; or a port scanner on the sender's own host ("strays"): 20 short-lived
// connections to the binary port before the receiver has seen the sender. The session stays the
// sender's.
Act stranger(const QByteArray &when)
{
    return [=](TransferRig &rig) {
        QTcpSocket stranger;
        const auto intrude = [&](int port) {
            stranger.bind(QHostAddress(u"127.0.0.2"_s), 0);
            stranger.connectToHost(u"127.0.0.1"_s, quint16(port));
            stranger.write(randomBytes(100000));
        };
        const int binaryPort = rig.receiver().LocalPortBinary();
        if (when == "between")
            QObject::connect(&rig.sender(), &BinarySender::Connected, &stranger,
                             [&] { intrude(binaryPort); });
        if (when == "strays") { // made once the sender's info connection is under way
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
        QVERIFY(when == "strays" ? waitUntil([&] { return rig.count(u"R:ConnectionRequest"_s); })
                                 : rig.connectSender(rig.receiver().LocalPortInfo(), binaryPort));
        if (when == "after")
            intrude(rig.receiver().LocalPortInfo());
        QVERIFY(waitUntil([&] { return stranger.state() == QAbstractSocket::UnconnectedState; }));
        QVERIFY2(rig.transfer(randomBytes(70000), u"target.bin"_s), qPrintable(rig.why()));
        QCOMPARE(rig.count(u"R:ConnectionRequest"_s), 1);
    };
}
} // namespace

class tst_Reliability : public QObject
{
    Q_OBJECT

private slots:
    void recutTransfers_data();
    void recutTransfers();
    void sessions_data();
    void sessions();
    void killedOrTracedReceiver();
};

void tst_Reliability::recutTransfers_data()
{
    QTest::addColumn<int>("sample");
    for (int sample = 0; sample < 13; ++sample)
        QTest::addRow(sample < 12 ? "sample %d" : "200 small files", sample) << sample;
}

// Sizes on, below and above chunk multiples (0 and 1 first), chunks of 1 to 65536 bytes, files
// one after another, binary pieces of any size, answers in 1 to 4: all drawn from the seed.
void tst_Reliability::recutTransfers()
{
    QFETCH(int, sample);
    const quint32 seed = baseSeed + quint32(sample);
    QRandomGenerator random(seed);
    TransferRig rig(seed);
    QVERIFY(rig.listen());
    const int piece = sample == 12 ? 65536 : 1 << random.bounded(4, 17);
    rig.proxy(true)->maxPiece[0] = piece;
    rig.proxy(false)->maxPiece[1] = 1 + int(random.bounded(4));
    QVERIFY(rig.connectSender());
    const int count = sample == 12 ? 200 : 2 + int(random.bounded(2));
    for (int i = 0; i < count; ++i) {
        const int power = 1 << random.bounded(17);
        const int chunk = std::min(65536, power + int(random.bounded(power)));
        // A few chunks, or up to 4096 sends of 2 MiB (32 KiB) in all, in at most 256 pieces.
        const int most = std::min({random.bounded(2) ? 3 : 4096, 256 * piece / chunk,
                                   (sample == 12 ? 32768 : 2 << 20) / chunk});
        const int size = std::max(0, int(random.bounded(most + 1) * chunk + random.bounded(3)) - 1);
        QVERIFY2(rig.transfer(randomBytes(sample ? size : i, seed + i), u"f%1"_s.arg(i % 3), chunk),
                 qPrintable(rig.why()));
    }
    QCOMPARE(rig.count(u"R:SendRequest"_s), count);
}

void tst_Reliability::sessions_data()
{
    // What is told ('|' between events) comes once each, and nothing else is told.
    QTest::addColumn<QString>("told");
    QTest::addColumn<Act>("act");
    const auto row = [](const char *name, const QString &told, Act act) {
        QTest::newRow(name) << told << act;
    };
    const QString senderGone = u"R:ReceiveError 30003 |R:Disconnected"_s,
                  receiverGone = u"S:SendError|S:Disconnected"_s,
                  both = senderGone + u'|' + receiverGone,
                  saved = u"R:ReceiveComplete|R:Disconnected"_s,
                  sent = u"S:SendComplete|R:ReceiveComplete"_s,
                  refused = u"R:AcceptSendRequest failed 75|R:Disconnected"_s;
    row("sender Reset", senderGone, midFile([](auto &r) { r.sender().Reset(); }));
    row("sender destroyed", senderGone, midFile([](auto &r) { r.replaceSender(); }));
    row("binary channel closed", both, midFile([](auto &r) { r.proxy(true)->dropAll(false); }));
    row("binary channel reset", both, midFile([](auto &r) { r.proxy(true)->dropAll(true); }));
    row("info channel closed", both, midFile([](auto &r) { r.proxy(false)->dropAll(false); }));
    row("source shrinks", senderGone + u"|S:SendError 30003 |S:Disconnected",
        midFile([](auto &r) { QFile::resize(r.sender().Source(), 16 << 20); }));
    row("receiver Reset", receiverGone, midFile([](auto &r) {
            r.receiver().Reset();
            r.receiver().Listen();
        }));
    row("receiver destroyed", receiverGone, midFile([](auto &r) { r.destroyReceiver(); }));
    row("disk full", receiverGone + u"|R:ReceiveError 61 |R:Disconnected",
        midFile([](auto &) { limitFileSize(1 << 18); }));
    row("too little free space", u"R:AcceptSendRequest failed 61|R:Disconnected"_s, [](auto &r) {
        ScriptedPeer peer;
        QVERIFY(connectPeer(peer, r));
        const qint64 free = QStorageInfo(r.folder()).bytesAvailable();
        peer.say("FIS" + QByteArray::number(free + (1LL << 30)) + "|0@big.iso");
        QVERIFY(waitUntil([&] { return r.count(u"R:AcceptSendRequest failed"_s); }));
        QVERIFY(!peer.waitForInfo("CNTACP", 150));
        peer.closeBoth();
    });
    row("name with ..", saved, hostile("FIS3|0@../corvane-escape"));
    row("a flood of text", saved, hostile(QByteArray("etaoin shrdlu ").repeated(80000)));
    row("a flood on the binary channel", saved, hostile({}, {}, 64));
    row("link at the temporary path", refused, hostile("FIS3|0@x", u"temporary"_s));
    row("dangling link at the temporary path", refused, hostile("FIS3|0@x", u"dangling"_s));
    row("link at the save path", saved, hostile("FIS3|0@x", u"save"_s));
    row("stranger between the sender's channels", sent, stranger("between"));
    row("stranger once the sender is connected", sent, stranger("after"));
    for (int run = 0; run < qEnvironmentVariable("CORVANE_STRAY_RUNS", u"8"_s).toInt(); ++run)
        QTest::addRow("strays from the sender's address %d", run) << sent << stranger("strays");
    row("256 MiB with memory flat", sent, [](auto &r) {
        const QByteArray content(256 << 20, 'x');
        QObject context;
        qint64 before = memoryInUse(), peak = before;
        QObject::connect(&r.receiver(), &BinaryReceiver::ReceiveProgress, &context,
                         [&] { peak = std::max(peak, memoryInUse()); });
        QVERIFY2(r.connectSender(r.receiver().LocalPortInfo(), r.receiver().LocalPortBinary()) &&
                     r.transfer(content, u"target.bin"_s, 65536),
                 qPrintable(r.why()));
        QVERIFY2(peak - before < 64 << 20, qPrintable(QString::number(peak - before)));
    });
}

void tst_Reliability::sessions()
{
    QFETCH(QString, told);
    QFETCH(Act, act);
    const auto lift = qScopeGuard([] { limitFileSize(-1); });
    TransferRig rig(baseSeed);
    rig.setTarget(u"target.bin"_s);
    QVERIFY(rig.listen());
    act(rig);
    const QStringList expected = told.split(u'|');
    const QRegularExpression failure(u"^.:(Send|Receive)(Error|Complete)|Disconnected|failed"_s);
    QVERIFY2(waitUntil([&] { return rig.log.filter(failure).size() >= expected.size(); }, 20000),
             qPrintable(rig.why()));
    const qint64 position = rig.sender().ReadPosition();
    settle();
    // Told once on each side, nothing else reported, and the sender reads no further.
    const QStringList seen = rig.log.filter(failure);
    for (const QString &event : expected)
        QVERIFY2(seen.filter(event).size() == 1, qPrintable(event + rig.why()));
    QVERIFY2(seen.size() == expected.size(), qPrintable(rig.why()));
    QVERIFY(!rig.sender().Streaming());
    QCOMPARE(rig.sender().ReadPosition(), position);
    QCOMPARE(filesIn(rig.folder()),
             told.contains(u"R:ReceiveComplete") ? QStringList{u"target.bin"_s} : QStringList());
    // Whatever went before, the receiver takes the next sender and saves its file.
    if (QByteArray(QTest::currentDataTag()) == "receiver destroyed")
        return;
    rig.sender().Reset();
    QVERIFY2(rig.connectSender() && rig.transfer(randomBytes(70000), u"next.bin"_s),
             qPrintable(rig.why()));
}

// Runs 0-7 kill it at a random byte, 8-10 up to 120 ms after the last byte left (while it
// saves); run 11 goes to the end, traced (-y names each descriptor's file).
void tst_Reliability::killedOrTracedReceiver()
{
    QRandomGenerator random(baseSeed);
    const QByteArray old = randomBytes(3 << 20, ~baseSeed),
                     content = randomBytes(4 << 20, baseSeed);
    const QString strace = QStandardPaths::findExecutable(u"strace"_s);
    QVERIFY2(!strace.isEmpty(), "strace (Debian package strace) is not installed");
    for (int point = 0; point < 12; ++point) {
        TransferRig rig;
        const QString target = rig.path(u"target.bin"_s), trace = rig.path(u"trace"_s);
        QVERIFY(!writeFile(target, old).isEmpty());
        QStringList command{strace, u"-fyo"_s, trace,
                            u"-etrace=%file,fsync,fdatasync,write,sendto,sendmsg"_s};
        command = command.mid(point < 11 ? 4 : 0) +
                  QStringList{QCoreApplication::applicationFilePath(), u"--receive"_s, target};
        ChildProcess child; // LeakSanitizer cannot run under ptrace
        child.start(
            command.takeFirst(), command,
            {u"ASAN_OPTIONS="_s + qEnvironmentVariable("ASAN_OPTIONS") + u":detect_leaks=0"_s});
        QVERIFY(waitUntil([&] { return child.out.endsWith(" ready\n"); }, 20000));
        const QList<QByteArray> ports = child.out.split(' ');
        QVERIFY(rig.connectSender(ports.value(0).toInt(), ports.value(1).toInt()));
        const qint64 at = point < 8 ? random.bounded(quint32(content.size())) : content.size();
        const int delayMs = point < 8 ? 0 : int(random.bounded(120u));
        QObject::connect(&rig.sender(), &BinarySender::SendProgress, &child.process,
                         [&](qint64 progress) {
                             if (point < 11 && progress >= at)
                                 QTimer::singleShot(delayMs, &child.process, &QProcess::kill);
                         });
        QObject::connect(&rig.sender(), &BinarySender::SendComplete, &child.process,
                         [&] { rig.sender().Reset(); });
        QVERIFY(rig.start(content, u"target.bin"_s, 65536) && child.finish(30000));
        QVERIFY2(readFile(target) == content || (point < 11 && readFile(target) == old),
                 qPrintable(u"killed after %1 bytes + %2 ms"_s.arg(at).arg(delayMs)));
        const QString file = QRegularExpression::escape(target),
                      text = QString::fromLocal8Bit(readFile(trace));
        qsizetype last = -1; // each step first seen after the one before it
        for (const QString &step :
             {u"open.*\"%1TMP\", [^)]*O_NOFOLLOW"_s.arg(file), u"\"ACP\""_s,
              u"f(data)?sync\\(\\d+<%1TMP>"_s.arg(file), u"rename.*\"%1TMP\", .*\"%1\""_s.arg(file),
              u"f(data)?sync\\(\\d+<%1>"_s.arg(QRegularExpression::escape(rig.folder())),
              u"\"RFC\""_s}) {
            const qsizetype line = text.indexOf(QRegularExpression(step));
            QVERIFY2(point < 11 || line > std::exchange(last, line), qPrintable(step));
        }
    }
}

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    tst_Reliability test;
    if (argc != 3 || qstrcmp(argv[1], "--receive") != 0)
        return QTest::qExec(&test, argc, argv);
    // The child: saves each file to the path given, and ends with its sender.
    TransferRig rig;
    rig.setTarget(QString::fromLocal8Bit(argv[2]));
    QObject::connect(&rig.receiver(), &BinaryReceiver::Disconnected, &app, &QApplication::quit);
    rig.listen();
    QTextStream(stdout) << rig.receiver().LocalPortInfo() << ' ' << rig.receiver().LocalPortBinary()
                        << " ready\n";
    return app.exec();
}

#include "tst_reliability.moc"
