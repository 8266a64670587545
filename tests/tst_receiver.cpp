#include "protocol/errornumber.h"
#include "protocol/socketendpoint.h"
#include "receiver/binaryreceiver.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRandomGenerator>
#include <QScopeGuard>
#include <QSignalSpy>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <csignal>
#include <memory>
#include <numeric>
#include <sys/resource.h>

using namespace corvane;
using namespace Qt::StringLiterals;
using State = SocketEndpoint::ConnectionState;
using Progress = QList<std::pair<qint64, qint64>>;

namespace {
QByteArray randomBytes(qsizetype size, quint32 seed = 1)
{
    QByteArray bytes(size, Qt::Uninitialized);
    QRandomGenerator generator(seed);
    for (char &byte : bytes)
        byte = char(generator.bounded(256));
    return bytes;
}

QByteArray fileContents(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<missing>");
}

// Lets queued work run, for checks that something did not happen.
void settle()
{
    QTest::qWait(150);
}

// A receiver listening on loopback, and a sender scripted with plain sockets that records
// what reaches it on the info channel together with the receiver's events, in order.
struct Rig
{
    QTemporaryDir dir;
    std::unique_ptr<BinaryReceiver> receiver = std::make_unique<BinaryReceiver>();
    QTcpSocket info;
    QTcpSocket binary;
    QByteArray wire;
    QStringList timeline;
    Progress progress;
    int sendRequests = 0;
    int completes = 0;
    int connectionRequests = 0;
    int disconnects = 0;
    int infoSends = 0;
    int infoSendsAtComplete = -1;
    QList<std::pair<int, QString>> receiveErrors;
    QList<int> errors;
    QList<int> speeds;

    Rig()
    {
        BinaryReceiver *r = receiver.get();
        QObject::connect(&info, &QTcpSocket::readyRead, &info, [this] {
            const QByteArray bytes = info.readAll();
            wire += bytes;
            timeline << u"wire "_s + QString::fromLatin1(bytes);
        });
        QObject::connect(r, &BinaryReceiver::SendRequest, r, [this] { ++sendRequests; });
        QObject::connect(r, &BinaryReceiver::ConnectionRequest, r,
                         [this] { ++connectionRequests; });
        QObject::connect(r, &BinaryReceiver::Disconnected, r, [this] { ++disconnects; });
        QObject::connect(r, &BinaryReceiver::SpeedRecord, r, [this](int s) { speeds << s; });
        QObject::connect(r, &BinaryReceiver::ReceiveComplete, r, [this] {
            ++completes;
            infoSendsAtComplete = infoSends;
            timeline << u"complete"_s;
        });
        QObject::connect(r, &BinaryReceiver::ReceiveProgress, r, [this](qint64 p, qint64 max) {
            progress.append({p, max});
            timeline << u"progress %1/%2"_s.arg(p).arg(max);
        });
        QObject::connect(r, &BinaryReceiver::ReceiveError, r, [this](int n, const QString &d) {
            receiveErrors.append({n, d});
        });
        QObject::connect(r, &BinaryReceiver::Error, r,
                         [this](short n, QString &, int, const QString &, const QString &, int,
                                bool &) { errors << n; });
        QObject::connect(infoEndpoint(), &SocketEndpoint::DataQueued, r, [this] { ++infoSends; });
        receiver->setLocalPortInfo(0);
        receiver->setLocalPortBinary(0);
    }

    QString path(const QString &name) const { return dir.filePath(name); }
    SocketEndpoint *reader() const
    {
        return qobject_cast<SocketEndpoint *>(receiver->TheWinsock());
    }
    SocketEndpoint *infoEndpoint() const
    {
        for (SocketEndpoint *endpoint : receiver->findChildren<SocketEndpoint *>()) {
            if (endpoint != reader())
                return endpoint;
        }
        return nullptr;
    }
    QTimer *speedTimer() const { return receiver->findChild<QTimer *>(); }

    bool connectInfo()
    {
        info.connectToHost(u"127.0.0.1"_s, quint16(receiver->LocalPortInfo()));
        return QTest::qWaitFor([this] { return wire == "CNT"; });
    }
    void connectBinary(QTcpSocket &socket, const QString &from = u"127.0.0.1"_s)
    {
        socket.bind(QHostAddress(from), 0);
        socket.connectToHost(u"127.0.0.1"_s, quint16(receiver->LocalPortBinary()));
    }
    bool open()
    {
        if (!receiver->Listen() || !connectInfo())
            return false;
        const int before = connectionRequests;
        connectBinary(binary);
        return QTest::qWaitFor([&] { return connectionRequests == before + 1; });
    }
    bool announce(const QByteArray &text)
    {
        const int before = sendRequests;
        info.write(text);
        return QTest::qWaitFor([&] { return sendRequests == before + 1; });
    }
    // Announces, accepts and waits for "ACP".
    bool accept(qint64 size, const QString &name)
    {
        const QByteArray expected = wire + "ACP";
        return announce("FIS" + QByteArray::number(size) + "|0@" + name.toUtf8()) &&
               receiver->AcceptSendRequest(path(name)) &&
               QTest::qWaitFor([&] { return wire == expected; });
    }
    // Sends each piece only when the previous one has been reported.
    bool sendPaced(const QByteArray &bytes, const QList<int> &pieces)
    {
        qsizetype at = 0;
        for (const int piece : pieces) {
            const qsizetype before = progress.size();
            binary.write(bytes.mid(at, piece));
            at += piece;
            if (!QTest::qWaitFor([&] { return progress.size() == before + 1; }))
                return false;
        }
        return true;
    }
    qsizetype indexOf(const QString &entry) const
    {
        for (qsizetype i = 0; i < timeline.size(); ++i) {
            if (timeline.at(i).contains(entry))
                return i;
        }
        return -1;
    }
};

enum AfterAnswer
{
    KeepGoing,
    CallResetFile,
    CallReset,
    DestroyReceiver
};
enum AcceptSetup
{
    Announced,
    NotAnnounced,
    FolderAtSavePath,
    FolderAtTemporaryPath,
    LinkAtTemporaryPath,
    Huge
};
enum StrayPhase
{
    BeforeAcceptance,
    AfterRefusal,
    AfterCompletion,
    AfterResetFile
};

Progress runningSums(const QList<int> &pieces, qint64 announced)
{
    Progress sums;
    qint64 total = 0;
    for (const int piece : pieces)
        sums.append({total += piece, announced});
    return sums;
}

QList<int> randomPieces(int total, quint32 seed)
{
    QRandomGenerator generator(seed);
    QList<int> pieces;
    for (int left = total; left > 0;) {
        pieces << std::min(left, int(generator.bounded(1, 3000)));
        left -= pieces.last();
    }
    return pieces;
}
} // namespace

class tst_Receiver : public QObject
{
    Q_OBJECT

private slots:
    void faceAndDefaults();
    void handshake();
    void binaryConnectionRefused_data();
    void binaryConnectionRefused();
    void infoMessages_data();
    void infoMessages();
    void answers_data();
    void answers();
    void transfer_data();
    void transfer();
    void zeroSizeFile();
    void nextFileWithoutResetFile();
    void announcementDuringTransfer();
    void staleTemporaryFileIsTruncated();
    void acceptFailures_data();
    void acceptFailures();
    void diskFullWhileWriting();
    void failedSaveKeepsTemporaryFile();
    void strayBytesAreDropped_data();
    void strayBytesAreDropped();
    void resetRemovesTemporaryFile_data();
    void resetRemovesTemporaryFile();
    void senderCloses_data();
    void senderCloses();
    void speedSamples();
    void errorPassThrough_data();
    void errorPassThrough();
};

void tst_Receiver::faceAndDefaults()
{
    BinaryReceiver receiver;
    QCOMPARE(receiver.LocalPortInfo(), 1700);
    QCOMPARE(receiver.LocalPortBinary(), 3000);
    receiver.resize(200, 80);
    QCOMPARE(receiver.size(), QSize(30, 30));
    QVERIFY(!receiver.grab().isNull());
}

void tst_Receiver::handshake()
{
    Rig rig;
    QVERIFY(rig.receiver->Listen());
    QCOMPARE(rig.reader()->State(), State::Listening);
    QVERIFY(rig.connectInfo());
    QCOMPARE(rig.connectionRequests, 0);

    // One sender at a time: the info port no longer listens.
    QTcpSocket second;
    second.connectToHost(u"127.0.0.1"_s, quint16(rig.receiver->LocalPortInfo()));
    QTRY_COMPARE(second.error(), QAbstractSocket::ConnectionRefusedError);

    rig.connectBinary(rig.binary);
    QTRY_COMPARE(rig.connectionRequests, 1);
    QCOMPARE(rig.reader()->RemoteHostIP(), u"127.0.0.1"_s);
    settle();
    QCOMPARE(rig.wire, QByteArray("CNT"));
}

void tst_Receiver::binaryConnectionRefused_data()
{
    QTest::addColumn<bool>("infoFirst");
    QTest::addColumn<QString>("from");
    QTest::newRow("not the info channel's peer") << true << u"127.0.0.2"_s;
    QTest::newRow("no info channel yet") << false << u"127.0.0.1"_s;
}

void tst_Receiver::binaryConnectionRefused()
{
    QFETCH(bool, infoFirst);
    QFETCH(QString, from);
    Rig rig;
    QVERIFY(rig.receiver->Listen());
    if (infoFirst)
        QVERIFY(rig.connectInfo());
    QTcpSocket stranger;
    QSignalSpy strangerClosed(&stranger, &QTcpSocket::disconnected);
    rig.connectBinary(stranger, from);
    QTRY_COMPARE(strangerClosed.size(), 1);
    QCOMPARE(rig.connectionRequests, 0);
    QCOMPARE(rig.reader()->State(), State::Listening);

    // The rightful sender still gets in.
    if (!infoFirst)
        QVERIFY(rig.connectInfo());
    rig.connectBinary(rig.binary);
    QTRY_COMPARE(rig.connectionRequests, 1);
}

void tst_Receiver::infoMessages_data()
{
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<int>("sendRequests");
    QTest::addColumn<int>("completes");
    QTest::addColumn<int>("error");
    QTest::addColumn<qint64>("size");
    QTest::addColumn<QString>("name");

    // Each row follows the announcement FIS77|0@keep.txt.
    QTest::newRow("announcement") << QByteArray("FIS1234|0@report.pdf") << 1 << 0 << 0
                                  << qint64(1234) << u"report.pdf"_s;
    QTest::newRow("name with @") << QByteArray("FIS5|0@a@b.txt") << 1 << 0 << 0 << qint64(5)
                                 << u"a@b.txt"_s;
    QTest::newRow("lower case") << QByteArray("fis1234|0@x") << 0 << 0 << 0 << qint64(77)
                                << u"keep.txt"_s;
    QTest::newRow("two characters")
        << QByteArray("FI") << 0 << 0 << 0 << qint64(77) << u"keep.txt"_s;
    QTest::newRow("unknown code") << QByteArray("XYZ123") << 0 << 0 << 0 << qint64(77)
                                  << u"keep.txt"_s;
    QTest::newRow("receiver's own code")
        << QByteArray("RFC") << 0 << 0 << 0 << qint64(77) << u"keep.txt"_s;
    QTest::newRow("FSC") << QByteArray("FSC") << 0 << 1 << 0 << qint64(77) << u"keep.txt"_s;
    QTest::newRow("FSC and more") << QByteArray("FSCFIS1|0@x") << 0 << 1 << 0 << qint64(77)
                                  << u"keep.txt"_s;
    const int malformed = ErrorNumber::MalformedAnnouncement;
    for (const char *text :
         {"FIS12", "FIS|0@x", "FISabc|0@x", "FIS-5|0@x", "FIS12|0x", "FIS12|x@y", "FIS007|0@x"}) {
        QTest::newRow(text) << QByteArray(text) << 0 << 0 << malformed << qint64(77)
                            << u"keep.txt"_s;
    }
}

void tst_Receiver::infoMessages()
{
    QFETCH(QByteArray, text);
    QFETCH(int, sendRequests);
    QFETCH(int, completes);
    QFETCH(int, error);
    QFETCH(qint64, size);
    QFETCH(QString, name);
    Rig rig;
    QVERIFY(rig.open());
    QVERIFY(rig.announce("FIS77|0@keep.txt"));
    QString description;
    connect(rig.receiver.get(), &BinaryReceiver::Error, rig.receiver.get(),
            [&](short, QString &d, int scode, const QString &source, const QString &helpFile,
                int helpContext, bool &cancel) {
                QCOMPARE(scode, error);
                QCOMPARE(source, u"BinaryReceiver"_s);
                QCOMPARE(helpFile, QString());
                QCOMPARE(helpContext, 0);
                QCOMPARE(cancel, false);
                description = d;
            });

    rig.info.write(text);
    QTRY_COMPARE(rig.sendRequests, 1 + sendRequests);
    QTRY_COMPARE(rig.completes, completes);
    QTRY_COMPARE(rig.errors.size(), error ? 1 : 0);
    settle();
    QCOMPARE(rig.sendRequests, 1 + sendRequests);
    QCOMPARE(rig.completes, completes);
    QCOMPARE(rig.errors, error ? QList<int>{error} : QList<int>{});
    if (error)
        QVERIFY2(description.startsWith(u"Malformed file announcement: "_s),
                 qPrintable(description));
    QCOMPARE(rig.receiver->CurrentFileSize(), size);
    QCOMPARE(rig.receiver->CurrentFileName(), name);
    QCOMPARE(rig.wire, QByteArray("CNT"));
    QCOMPARE(QDir(rig.dir.path()).entryList(QDir::NoDotAndDotDot | QDir::AllEntries),
             QStringList());
}

void tst_Receiver::answers_data()
{
    QTest::addColumn<bool>("accept");
    QTest::addColumn<int>("then");
    QTest::addColumn<QByteArray>("wire");
    QTest::newRow("accept") << true << int(KeepGoing) << QByteArray("CNTACP");
    QTest::newRow("refuse") << false << int(KeepGoing) << QByteArray("CNTRFS");
    QTest::newRow("refuse, ResetFile") << false << int(CallResetFile) << QByteArray("CNTRFS");
    QTest::newRow("accept, ResetFile") << true << int(CallResetFile) << QByteArray("CNT");
    QTest::newRow("accept, Reset") << true << int(CallReset) << QByteArray("CNT");
    QTest::newRow("refuse, Reset") << false << int(CallReset) << QByteArray("CNT");
    QTest::newRow("accept, destroyed") << true << int(DestroyReceiver) << QByteArray("CNT");
}

void tst_Receiver::answers()
{
    QFETCH(bool, accept);
    QFETCH(int, then);
    QFETCH(QByteArray, wire);
    Rig rig;
    QVERIFY(rig.open());
    QVERIFY(rig.announce("FIS10|0@a.bin"));
    QSignalSpy queued(rig.infoEndpoint(), &SocketEndpoint::DataQueued);
    QVERIFY(accept ? rig.receiver->AcceptSendRequest(rig.path(u"a.bin"_s))
                   : rig.receiver->RefuseSendRequest());
    QCOMPARE(queued.size(), 0); // answered after a return to the event loop
    switch (then) {
    case CallResetFile:
        rig.receiver->ResetFile();
        break;
    case CallReset:
        rig.receiver->Reset();
        break;
    case DestroyReceiver:
        rig.receiver.reset();
        break;
    }
    QTRY_COMPARE(rig.wire, wire);
    settle();
    QCOMPARE(rig.wire, wire);
    QCOMPARE(QFileInfo::exists(rig.path(u"a.binTMP"_s)), accept && then == KeepGoing);
}

void tst_Receiver::transfer_data()
{
    QTest::addColumn<QList<int>>("pieces");
    QTest::addColumn<qint64>("announced");
    QTest::addColumn<bool>("paced");
    QTest::addColumn<bool>("existing");

    const QList<int> chunks{4096, 4096, 1808};
    QTest::newRow("4096, 4096, 1808") << chunks << qint64(10000) << true << false;
    QTest::newRow("random pieces, one at a time")
        << randomPieces(10000, 7) << qint64(10000) << true << false;
    QTest::newRow("random pieces, all at once")
        << randomPieces(10000, 8) << qint64(10000) << false << false;
    QTest::newRow("10 in one piece") << QList<int>{10} << qint64(10) << true << false;
    QTest::newRow("12 for 10 announced") << QList<int>{12} << qint64(10) << true << false;
    QTest::newRow("existing target replaced") << chunks << qint64(10000) << true << true;
}

void tst_Receiver::transfer()
{
    QFETCH(QList<int>, pieces);
    QFETCH(qint64, announced);
    QFETCH(bool, paced);
    QFETCH(bool, existing);
    Rig rig;
    const QString target = rig.path(u"report.pdf"_s);
    if (existing) {
        QFile old(target);
        QVERIFY(old.open(QIODevice::WriteOnly));
        old.write(randomBytes(20000, 99));
    }
    QVERIFY(rig.open());
    QVERIFY(rig.accept(announced, u"report.pdf"_s));
    const qint64 total = std::accumulate(pieces.begin(), pieces.end(), qint64(0));
    const QByteArray sent = randomBytes(total);

    if (paced) {
        QVERIFY(rig.sendPaced(sent, pieces));
        QCOMPARE(rig.progress, runningSums(pieces, announced));
    } else {
        for (qsizetype at = 0; const int piece : pieces) {
            rig.binary.write(sent.mid(at, piece));
            at += piece;
        }
    }
    QTRY_COMPARE(rig.wire, QByteArray("CNTACPRFC"));
    QCOMPARE(rig.progress.last(), std::make_pair(total, announced));
    for (qsizetype i = 1; i < rig.progress.size(); ++i)
        QVERIFY(rig.progress.at(i).first > rig.progress.at(i - 1).first);
    QCOMPARE(rig.completes, 1);
    QCOMPARE(rig.infoSendsAtComplete, 2); // "RFC" is handed over only after the event
    QVERIFY(rig.indexOf(u"progress %1/"_s.arg(total)) < rig.indexOf(u"complete"_s));
    QVERIFY(fileContents(target) == sent);
    QVERIFY(!QFileInfo::exists(target + u"TMP"_s));
    QCOMPARE(rig.receiver->TotalReceived(), total);
    QCOMPARE(rig.receiver->SaveTarget(), target);
    QVERIFY(rig.receiveErrors.isEmpty());
}

void tst_Receiver::zeroSizeFile()
{
    Rig rig;
    QVERIFY(rig.open());
    QVERIFY(rig.announce("FIS0|0@empty.txt"));
    QVERIFY(rig.receiver->AcceptSendRequest(rig.path(u"empty.txt"_s)));
    QTRY_COMPARE(rig.wire, QByteArray("CNTACPRFC"));
    QCOMPARE(rig.completes, 1);
    QCOMPARE(rig.infoSendsAtComplete, 2);
    QVERIFY(rig.progress.isEmpty());
    QCOMPARE(fileContents(rig.path(u"empty.txt"_s)), QByteArray(""));
    QVERIFY(!QFileInfo::exists(rig.path(u"empty.txtTMP"_s)));
}

void tst_Receiver::nextFileWithoutResetFile()
{
    Rig rig;
    QVERIFY(rig.open());
    QVERIFY(rig.accept(10, u"first.bin"_s));
    rig.binary.write("0123456789");
    QTRY_COMPARE(rig.wire, QByteArray("CNTACPRFC"));
    QVERIFY(rig.accept(6, u"second.bin"_s));
    rig.binary.write("abcdef");
    QTRY_COMPARE(rig.completes, 2);
    QCOMPARE(rig.progress, (Progress{{10, 10}, {6, 6}}));
    QCOMPARE(fileContents(rig.path(u"second.bin"_s)), QByteArray("abcdef"));
}

void tst_Receiver::announcementDuringTransfer()
{
    Rig rig;
    QVERIFY(rig.open());
    QVERIFY(rig.accept(10, u"a.bin"_s));
    rig.binary.write("0123");
    QTRY_COMPARE(rig.progress.size(), 1);
    QVERIFY(rig.announce("FIS3|0@other.bin"));
    QCOMPARE(rig.receiver->CurrentFileSize(), qint64(3));
    QVERIFY(!rig.receiver->AcceptSendRequest(rig.path(u"other.bin"_s)));
    QCOMPARE(rig.receiver->LastErrorNumber(), ErrorNumber::TransferInProgress);

    rig.binary.write("456789");
    QTRY_COMPARE(rig.completes, 1);
    QCOMPARE(rig.progress, (Progress{{4, 10}, {10, 10}}));
    QCOMPARE(fileContents(rig.path(u"a.bin"_s)), QByteArray("0123456789"));
    QVERIFY(!QFileInfo::exists(rig.path(u"other.binTMP"_s)));
}

void tst_Receiver::staleTemporaryFileIsTruncated()
{
    Rig rig;
    QFile stale(rig.path(u"a.binTMP"_s));
    QVERIFY(stale.open(QIODevice::WriteOnly));
    stale.write(randomBytes(20000, 5));
    stale.close();
    QVERIFY(rig.open());
    QVERIFY(rig.accept(10, u"a.bin"_s));
    rig.binary.write("0123456789");
    QTRY_COMPARE(rig.completes, 1);
    QCOMPARE(fileContents(rig.path(u"a.bin"_s)), QByteArray("0123456789"));
}

void tst_Receiver::acceptFailures_data()
{
    QTest::addColumn<int>("setup");
    QTest::addColumn<QString>("target");
    QTest::addColumn<int>("number");
    QTest::addColumn<QString>("says");
    QTest::newRow("no path") << int(Announced) << QString() << ErrorNumber::InvalidArgument
                             << u"No save path"_s;
    QTest::newRow("nothing announced")
        << int(NotAnnounced) << u"a.bin"_s << ErrorNumber::InvalidArgument << u"announcement"_s;
    QTest::newRow("missing folder") << int(Announced) << u"missing/a.bin"_s
                                    << ErrorNumber::PathNotFound << u"missing/a.binTMP"_s;
    QTest::newRow("folder at the save path")
        << int(FolderAtSavePath) << u"a.bin"_s << ErrorNumber::PathFileAccess << u"is a folder"_s;
    QTest::newRow("folder at the temporary path")
        << int(FolderAtTemporaryPath) << u"a.bin"_s << ErrorNumber::PathFileAccess << u"a.binTMP"_s;
    QTest::newRow("symbolic link at the temporary path")
        << int(LinkAtTemporaryPath) << u"a.bin"_s << ErrorNumber::PathFileAccess
        << u"symbolic link"_s;
    QTest::newRow("too little free space") << int(Huge) << u"a.bin"_s << ErrorNumber::DiskFull
                                           << u"1152921504606846976 bytes announced"_s;
}

void tst_Receiver::acceptFailures()
{
    QFETCH(int, setup);
    QFETCH(QString, target);
    QFETCH(int, number);
    QFETCH(QString, says);
    Rig rig;
    QVERIFY(rig.open());
    const QString path = target.isEmpty() ? QString() : rig.path(target);
    const QString elsewhere = rig.path(u"precious.txt"_s);
    if (setup == FolderAtSavePath || setup == FolderAtTemporaryPath)
        QVERIFY(QDir(rig.dir.path()).mkdir(setup == FolderAtSavePath ? u"a.bin"_s : u"a.binTMP"_s));
    if (setup == LinkAtTemporaryPath) {
        QFile precious(elsewhere);
        QVERIFY(precious.open(QIODevice::WriteOnly));
        precious.write("keep me");
        precious.close();
        QVERIFY(QFile::link(elsewhere, path + u"TMP"_s));
    }
    if (setup != NotAnnounced)
        QVERIFY(rig.announce(setup == Huge ? "FIS1152921504606846976|0@a.bin" : "FIS10|0@a.bin"));

    QVERIFY(!rig.receiver->AcceptSendRequest(path));
    QCOMPARE(rig.receiver->LastErrorNumber(), number);
    QVERIFY2(rig.receiver->LastErrorDescription().contains(says),
             qPrintable(rig.receiver->LastErrorDescription()));
    settle();
    QCOMPARE(rig.wire, QByteArray("CNT"));
    QVERIFY(!QFileInfo(rig.path(u"a.bin"_s)).isFile());
    if (setup == LinkAtTemporaryPath)
        QCOMPARE(fileContents(elsewhere), QByteArray("keep me"));
    else if (setup != FolderAtTemporaryPath)
        QVERIFY(!QFileInfo::exists(rig.path(u"a.binTMP"_s)));
}

void tst_Receiver::diskFullWhileWriting()
{
    Rig rig;
    QVERIFY(rig.open());
    QVERIFY(rig.accept(200000, u"big.bin"_s));

    // Files of this process may not grow past 64 KiB for a while: writes fail with EFBIG.
    rlimit saved{};
    QCOMPARE(getrlimit(RLIMIT_FSIZE, &saved), 0);
    const auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
    rlimit low = saved;
    low.rlim_cur = 64 * 1024;
    QCOMPARE(setrlimit(RLIMIT_FSIZE, &low), 0);
    const auto restore = qScopeGuard([&] {
        setrlimit(RLIMIT_FSIZE, &saved);
        std::signal(SIGXFSZ, oldHandler);
    });

    rig.binary.write(randomBytes(200000));
    QTRY_COMPARE(rig.receiveErrors.size(), 1);
    QCOMPARE(rig.receiveErrors.first().first, ErrorNumber::DiskFull);
    const qsizetype reported = rig.progress.size();
    settle();
    QCOMPARE(rig.progress.size(), reported);
    QCOMPARE(rig.completes, 0);
    QCOMPARE(rig.wire, QByteArray("CNTACP"));
    QVERIFY(!QFileInfo::exists(rig.path(u"big.bin"_s)));
    QVERIFY(!QFileInfo::exists(rig.path(u"big.binTMP"_s)));
    QVERIFY(!rig.speedTimer()->isActive());
}

void tst_Receiver::failedSaveKeepsTemporaryFile()
{
    Rig rig;
    QVERIFY(rig.open());
    QVERIFY(rig.accept(10, u"a.bin"_s));
    rig.binary.write("01234");
    QTRY_COMPARE(rig.progress.size(), 1);
    // Something else takes the save path meanwhile.
    QVERIFY(QDir(rig.dir.path()).mkpath(u"a.bin/inside"_s));
    rig.binary.write("56789");

    QTRY_COMPARE(rig.receiveErrors.size(), 1);
    const auto [number, description] = rig.receiveErrors.first();
    QCOMPARE(number, ErrorNumber::SaveFailed);
    QVERIFY2(description.contains(rig.path(u"a.binTMP"_s)) &&
                 description.contains(rig.path(u"a.bin"_s) + u'"'),
             qPrintable(description));
    QCOMPARE(fileContents(rig.path(u"a.binTMP"_s)), QByteArray("0123456789"));
    settle();
    QCOMPARE(rig.completes, 0);
    QCOMPARE(rig.wire, QByteArray("CNTACP"));
    QVERIFY(!rig.speedTimer()->isActive());
}

void tst_Receiver::strayBytesAreDropped_data()
{
    QTest::addColumn<int>("phase");
    QTest::newRow("before acceptance") << int(BeforeAcceptance);
    QTest::newRow("after refusal") << int(AfterRefusal);
    QTest::newRow("after completion") << int(AfterCompletion);
    QTest::newRow("after ResetFile") << int(AfterResetFile);
}

void tst_Receiver::strayBytesAreDropped()
{
    QFETCH(int, phase);
    Rig rig;
    QVERIFY(rig.open());
    const QString target = rig.path(u"a.bin"_s);
    QByteArray expectedWire = "CNT";
    switch (phase) {
    case BeforeAcceptance:
        QVERIFY(rig.announce("FIS10|0@a.bin"));
        break;
    case AfterRefusal:
        QVERIFY(rig.announce("FIS10|0@a.bin"));
        QVERIFY(rig.receiver->RefuseSendRequest());
        expectedWire += "RFS";
        QTRY_COMPARE(rig.wire, expectedWire);
        break;
    case AfterCompletion:
        QVERIFY(rig.accept(10, u"a.bin"_s));
        rig.binary.write("0123456789");
        expectedWire += "ACPRFC";
        QTRY_COMPARE(rig.wire, expectedWire);
        break;
    case AfterResetFile:
        QVERIFY(rig.accept(10, u"a.bin"_s));
        expectedWire += "ACP";
        rig.receiver->ResetFile();
        break;
    }
    const Progress before = rig.progress;
    rig.binary.write("strayXYZ");
    settle();
    QCOMPARE(rig.progress, before);
    QCOMPARE(rig.completes, phase == AfterCompletion ? 1 : 0);
    QCOMPARE(rig.wire, expectedWire);
    QCOMPARE(fileContents(target),
             QByteArray(phase == AfterCompletion ? "0123456789" : "<missing>"));
    QVERIFY(!QFileInfo::exists(target + u"TMP"_s));

    if (phase == BeforeAcceptance) {
        // The file accepted afterwards starts with its own first byte.
        QVERIFY(rig.receiver->AcceptSendRequest(target));
        QTRY_COMPARE(rig.wire, QByteArray("CNTACP"));
        rig.binary.write("0123456789");
        QTRY_COMPARE(rig.completes, 1);
        QCOMPARE(rig.progress, (Progress{{10, 10}}));
        QCOMPARE(fileContents(target), QByteArray("0123456789"));
    }
}

void tst_Receiver::resetRemovesTemporaryFile_data()
{
    QTest::addColumn<bool>("full");
    QTest::newRow("ResetFile") << false;
    QTest::newRow("Reset") << true;
}

void tst_Receiver::resetRemovesTemporaryFile()
{
    QFETCH(bool, full);
    Rig rig;
    QVERIFY(rig.open());
    QVERIFY(rig.accept(10000, u"a.bin"_s));
    rig.binary.write(randomBytes(4000));
    QTRY_COMPARE(rig.receiver->TotalReceived(), qint64(4000));
    QVERIFY(QFileInfo::exists(rig.path(u"a.binTMP"_s)));

    full ? rig.receiver->Reset() : rig.receiver->ResetFile();
    QVERIFY(!QFileInfo::exists(rig.path(u"a.binTMP"_s)));
    QCOMPARE(rig.receiver->TotalReceived(), qint64(0));
    QCOMPARE(rig.receiver->CurrentFileSize(), qint64(0));
    QCOMPARE(rig.receiver->CurrentFileName(), QString());
    QCOMPARE(rig.receiver->SaveTarget(), rig.path(u"a.bin"_s));
    QVERIFY(!rig.speedTimer()->isActive());
    if (full) {
        QCOMPARE(rig.reader()->State(), State::Closed);
        QTRY_COMPARE(rig.info.state(), QAbstractSocket::UnconnectedState);
    } else {
        QCOMPARE(rig.reader()->State(), State::Connected);
        rig.binary.write(randomBytes(6000));
        settle();
    }
    QCOMPARE(rig.completes, 0);
    QCOMPARE(rig.disconnects, 0);
    QVERIFY(!QFileInfo::exists(rig.path(u"a.bin"_s)));
}

void tst_Receiver::senderCloses_data()
{
    QTest::addColumn<bool>("closeInfo");
    QTest::addColumn<int>("sent");
    QTest::newRow("info channel, mid-file") << true << 4000;
    QTest::newRow("binary channel, mid-file") << false << 4000;
    QTest::newRow("binary channel, right after the last byte") << false << 10000;
}

void tst_Receiver::senderCloses()
{
    QFETCH(bool, closeInfo);
    QFETCH(int, sent);
    Rig rig;
    QVERIFY(rig.open());
    QVERIFY(rig.accept(10000, u"a.bin"_s));
    const QByteArray bytes = randomBytes(sent);
    rig.binary.write(bytes);
    if (sent < 10000)
        QTRY_COMPARE(rig.receiver->TotalReceived(), qint64(sent));
    (closeInfo ? rig.info : rig.binary).disconnectFromHost();

    QTRY_COMPARE(rig.disconnects, 1);
    QTRY_COMPARE((closeInfo ? rig.binary : rig.info).state(), QAbstractSocket::UnconnectedState);
    if (sent < 10000) {
        QCOMPARE(rig.receiveErrors.size(), 1);
        QCOMPARE(rig.receiveErrors.first().first, ErrorNumber::IncompleteFile);
        QVERIFY2(rig.receiveErrors.first().second.contains(u"4000 of 10000 bytes"_s),
                 qPrintable(rig.receiveErrors.first().second));
        QVERIFY(!QFileInfo::exists(rig.path(u"a.bin"_s)));
    } else {
        QVERIFY(rig.receiveErrors.isEmpty());
        QCOMPARE(rig.completes, 1);
        QVERIFY(fileContents(rig.path(u"a.bin"_s)) == bytes);
    }
    QVERIFY(!QFileInfo::exists(rig.path(u"a.binTMP"_s)));
    settle();
    QCOMPARE(rig.disconnects, 1);

    // Listening again takes a new sender.
    QVERIFY(rig.receiver->Listen());
    QTcpSocket info, binary;
    rig.wire.clear();
    QObject::connect(&info, &QTcpSocket::readyRead, &info, [&] { rig.wire += info.readAll(); });
    info.connectToHost(u"127.0.0.1"_s, quint16(rig.receiver->LocalPortInfo()));
    QTRY_COMPARE(rig.wire, QByteArray("CNT"));
    rig.connectBinary(binary);
    QTRY_COMPARE(rig.connectionRequests, 2);
}

void tst_Receiver::speedSamples()
{
    Rig rig;
    QVERIFY(rig.open());
    constexpr qint64 mebibyte = 1024 * 1024;
    QVERIFY(rig.accept(2 * mebibyte, u"a.bin"_s));
    QVERIFY(!rig.speedTimer()->isActive());
    rig.binary.write(randomBytes(mebibyte));
    QTRY_COMPARE(rig.receiver->TotalReceived(), mebibyte);
    QVERIFY(rig.speedTimer()->isActive());
    QCOMPARE(rig.speedTimer()->interval(), 500);
    // The whole mebibyte lands in the first tick, nothing in the second.
    QTRY_COMPARE_WITH_TIMEOUT(rig.speeds.size(), 2, 3000);
    QCOMPARE(rig.speeds, (QList<int>{2048, 0}));

    rig.binary.write(randomBytes(mebibyte, 2));
    QTRY_COMPARE(rig.completes, 1);
    QVERIFY(!rig.speedTimer()->isActive());
    const qsizetype samples = rig.speeds.size();
    QTest::qWait(700);
    QCOMPARE(rig.speeds.size(), samples);
}

void tst_Receiver::errorPassThrough_data()
{
    QTest::addColumn<bool>("binary");
    QTest::newRow("info endpoint") << false;
    QTest::newRow("binary endpoint") << true;
}

void tst_Receiver::errorPassThrough()
{
    QFETCH(bool, binary);
    Rig rig;
    SocketEndpoint *endpoint = binary ? rig.reader() : rig.infoEndpoint();
    QStringList seen;
    connect(rig.receiver.get(), &BinaryReceiver::Error, rig.receiver.get(),
            [&](short number, QString &description, int scode, const QString &source,
                const QString &helpFile, int helpContext, bool &cancelDisplay) {
                seen << QString::number(number) << description << QString::number(scode) << source
                     << helpFile << QString::number(helpContext)
                     << QVariant(cancelDisplay).toString();
                description = u"rewritten by the host"_s;
                cancelDisplay = true;
            });
    QString description = u"Connection reset by peer"_s;
    bool cancelDisplay = false;
    emit endpoint->Error(10054, description, 10054, u"SocketEndpoint"_s, u"help.chm"_s, 7,
                         cancelDisplay);
    QCOMPARE(seen, (QStringList{u"10054"_s, u"Connection reset by peer"_s, u"10054"_s,
                                u"SocketEndpoint"_s, u"help.chm"_s, u"7"_s, u"false"_s}));
    QCOMPARE(description, u"rewritten by the host"_s);
    QVERIFY(cancelDisplay);
}

QTEST_MAIN(tst_Receiver)
#include "tst_receiver.moc"
