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
    const QByteArray old = randomBytes(3 << 20, ~seed), content = randomBytes(4 << 20, seed);
    const QString strace = QStandardPaths::findExecutable(u"strace"_s);
    const QString env =
        u"ASAN_OPTIONS=%1:detect_leaks=0"_s.arg(qEnvironmentVariable("ASAN_OPTIONS"));
    for (int point = 0; point < 12; ++point) {
        TransferRig rig;
        const QString target = rig.path(u"target.bin"_s), trace = rig.path(u"trace"_s);
        QVERIFY(!writeFile(target, old).isEmpty());
        QStringList command{QCoreApplication::applicationFilePath(), u"--receive"_s, target};
        // -y names the file behind each descriptor. LeakSanitizer cannot run under ptrace.
        if (point == 11 && !strace.isEmpty())
            command = QStringList{strace, u"-fy"_s, u"-o"_s, trace,
                                  u"-etrace=%file,fsync,fdatasync,write,sendto,sendmsg"_s} +
                      command;
        ChildProcess child;
        child.start(command.takeFirst(), command, {env});
        QVERIFY(child.waitForOutput(" ready\n", 20000));
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
                 qPrintable(u"killed after %1 bytes + %2 ms: neither file"_s.arg(at).arg(delayMs)));
        if (point < 11 || strace.isEmpty())
            continue;
        QCOMPARE(child.exitCode(), 0);
        const QString file = QRegularExpression::escape(target),
                      text = QString::fromLocal8Bit(readFile(trace));
        qsizetype last = -1; // each step first seen after the one before it
        for (const QString &step :
             {u"open.*\"%1TMP\", [^)]*O_NOFOLLOW"_s.arg(file), u"\"ACP\""_s,
              u"f(data)?sync\\(\\d+<%1TMP>"_s.arg(file), u"rename.*\"%1TMP\", .*\"%1\""_s.arg(file),
              u"f(data)?sync\\(\\d+<%1>"_s.arg(QRegularExpression::escape(rig.folder())),
              u"\"RFC\""_s}) {
            const qsizetype line = text.indexOf(QRegularExpression(step));
            QVERIFY2(line > std::exchange(last, line), qPrintable(step));
        }
    }
    if (strace.isEmpty())
        QSKIP("strace is not installed: the order on disk and wire is unchecked");
}

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    if (argc != 3 || qstrcmp(argv[1], "--receive") != 0) {
        tst_Durability test;
        return QTest::qExec(&test, argc, argv);
    }
    // The child: saves each file to the path given, and ends with its sender (reset once done).
    TransferRig rig;
    rig.setTarget(QString::fromLocal8Bit(argv[2]));
    QObject::connect(&rig.receiver(), &BinaryReceiver::Disconnected, &app, &QApplication::quit);
    if (!rig.listen())
        return 1;
    std::printf("%d %d ready\n", rig.receiver().LocalPortInfo(), rig.receiver().LocalPortBinary());
    std::fflush(stdout);
    return app.exec();
}

#include "tst_durability.moc"
