// The receiver in a process of its own (this program, started with --receive PATH): killed
// mid-file or mid-save it leaves the old target or the new one whole; traced, it answers "ACP"
// only once the temporary file is open and "RFC" only once the file is on disk under its name.

#include "support/childprocess.h"
#include "support/transferrig.h"

#include <QApplication>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTest>
#include <QTimer>

using namespace corvane;
using namespace corvane::test;
using namespace Qt::StringLiterals;

class tst_Durability : public QObject
{
    Q_OBJECT

private slots:
    // Runs 0-7 kill it at a random byte, 8-10 up to 120 ms after the last byte left (while it
    // saves); run 11 goes to the end, traced (-y names each descriptor's file).
    void killedOrTracedReceiver()
    {
        const quint32 seed = seedFromEnvironment();
        QRandomGenerator random(seed);
        const QByteArray old = randomBytes(3 << 20, ~seed), content = randomBytes(4 << 20, seed);
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
                     qPrintable(u"killed after %1 bytes + %2 ms"_s.arg(at).arg(delayMs)));
            const QString file = QRegularExpression::escape(target),
                          text = QString::fromLocal8Bit(readFile(trace));
            qsizetype last = -1; // each step first seen after the one before it
            for (const QString &step :
                 {u"open.*\"%1TMP\", [^)]*O_NOFOLLOW"_s.arg(file), u"\"ACP\""_s,
                  u"f(data)?sync\\(\\d+<%1TMP>"_s.arg(file),
                  u"rename.*\"%1TMP\", .*\"%1\""_s.arg(file),
                  u"f(data)?sync\\(\\d+<%1>"_s.arg(QRegularExpression::escape(rig.folder())),
                  u"\"RFC\""_s}) {
                const qsizetype line = text.indexOf(QRegularExpression(step));
                QVERIFY2(point < 11 || line > std::exchange(last, line), qPrintable(step));
            }
        }
    }
};

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    tst_Durability test;
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

#include "tst_durability.moc"
