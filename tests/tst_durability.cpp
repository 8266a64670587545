// The receiver in a process of its own (this program, started with --receive PATH): killed
// mid-file or mid-save it leaves the old target or the new one whole; traced, it answers "ACP"
// only once the temporary file is open and "RFC" only once the file is on disk under its name.

#include "support/childprocess.h"
#include "support/testing.h"
#include "support/transferrig.h"

#include <QApplication>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTest>
#include <QTimer>

#include <cstdio>

using namespace corvane;
using namespace corvane::test;
using namespace Qt::StringLiterals;

namespace {
// The child: accepts every file to savePath and ends with its sender.
int receive(const QString &savePath)
{
    BinaryReceiver receiver;
    QObject::connect(&receiver, &BinaryReceiver::SendRequest,
                     [&] { receiver.AcceptSendRequest(savePath); });
    QObject::connect(&receiver, &BinaryReceiver::ReceiveComplete, [&] { receiver.ResetFile(); });
    QObject::connect(&receiver, &BinaryReceiver::Disconnected, qApp, &QCoreApplication::quit);
    receiver.setLocalPortInfo(0);
    receiver.setLocalPortBinary(0);
    if (!receiver.Listen())
        return 1;
    std::printf("%d %d listening\n", receiver.LocalPortInfo(), receiver.LocalPortBinary());
    std::fflush(stdout);
    return QCoreApplication::exec();
}

} // namespace

class tst_Durability : public QObject
{
    Q_OBJECT

private slots:
    void killedOrTracedReceiver();
};

// Kills fall anywhere in the stream, or after the last byte left while the receiver saves; the
// last run goes to the end, traced where strace is installed (Debian package strace).
void tst_Durability::killedOrTracedReceiver()
{
    const quint32 seed = seedFromEnvironment();
    QRandomGenerator random(seed);
    const QByteArray oldContent = randomBytes(3 << 20, ~seed),
                     newContent = randomBytes(4 << 20, seed);
    const QString strace = QStandardPaths::findExecutable(u"strace"_s);
    for (int point = 0; point < 12; ++point) {
        TransferRig rig;
        const QString target = rig.path(u"target.bin"_s), trace = rig.path(u"trace"_s);
        QVERIFY(!writeFile(target, oldContent).isEmpty());
        QStringList command{QCoreApplication::applicationFilePath(), u"--receive"_s, target};
        // -y names the file behind each descriptor. LeakSanitizer cannot run under ptrace.
        if (point == 11 && !strace.isEmpty())
            command =
                u"%1 -f -qq -y -s 8 -o %2 -e trace=open,openat,fsync,fdatasync,rename,renameat,"
                "renameat2,write,sendto,sendmsg"_s.arg(strace, trace)
                    .split(u' ') +
                command;
        ChildProcess child;
        child.start(
            command.takeFirst(), command,
            {u"ASAN_OPTIONS=%1:detect_leaks=0"_s.arg(qEnvironmentVariable("ASAN_OPTIONS"))});
        QVERIFY(child.waitForOutput(" listening\n", 20000));
        const QList<QByteArray> ports = child.out.split(' ');
        rig.sender().setRemoteHost(u"127.0.0.1"_s);
        rig.sender().setRemotePortInfo(ports.value(0).toInt());
        rig.sender().setRemotePortBinary(ports.value(1).toInt());
        QVERIFY(rig.sender().Connect());
        QVERIFY(waitUntil([&] { return !rig.sender().RemoteHostIP().isEmpty(); }));
        const qint64 at =
            point < 8 ? random.bounded(quint32(newContent.size())) : newContent.size();
        const int delayMs = point < 8 ? 0 : int(random.bounded(120u));
        QObject::connect(&rig.sender(), &BinarySender::SendProgress, &child.process,
                         [&](qint64 progress) {
                             if (point < 11 && progress >= at)
                                 QTimer::singleShot(delayMs, &child.process, &QProcess::kill);
                         });
        // The child ends with its sender.
        QObject::connect(&rig.sender(), &BinarySender::SendComplete, &child.process,
                         [&] { rig.sender().Reset(); });
        QVERIFY(rig.start(newContent, u"target.bin"_s, 65536));
        QVERIFY(child.finish(30000));
        const QByteArray saved = readFile(target);
        QVERIFY2(saved == newContent || (point < 11 && saved == oldContent),
                 qPrintable(u"killed after %1 bytes + %2 ms: neither file"_s.arg(at).arg(delayMs)));
        if (point < 11 || strace.isEmpty())
            continue;
        QCOMPARE(child.exitCode(), 0);
        const QString file = QRegularExpression::escape(target);
        const QStringList steps{
            u"open.*\"%1TMP\", [^)]*O_NOFOLLOW"_s.arg(file),
            u"\"ACP\""_s,
            u"f(data)?sync\\(\\d+<%1TMP>"_s.arg(file),
            u"rename.*\"%1TMP\", .*\"%1\""_s.arg(file),
            u"f(data)?sync\\(\\d+<%1>"_s.arg(QRegularExpression::escape(rig.folder())),
            u"\"RFC\""_s};
        // Each first seen after the one before it.
        const QStringList lines = QString::fromLocal8Bit(readFile(trace)).split(u'\n');
        QList<qsizetype> lineOf;
        QString order;
        for (const QString &step : steps) {
            lineOf << lines.indexOf(QRegularExpression(u".*"_s + step + u".*"_s));
            order += u' ' + QString::number(lineOf.last());
        }
        QVERIFY2(!lineOf.contains(-1) && std::is_sorted(lineOf.begin(), lineOf.end()),
                 qPrintable(u"open, ACP, fsync, rename, folder fsync, RFC at lines"_s + order));
    }
    if (strace.isEmpty())
        QSKIP("strace is not installed: the order on disk and wire is unchecked");
}

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    if (argc == 3 && qstrcmp(argv[1], "--receive") == 0)
        return receive(QString::fromLocal8Bit(argv[2]));
    tst_Durability test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_durability.moc"
