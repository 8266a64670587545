#include <QDir>
#include <QFile>
#include <QProcess>
#include <QRandomGenerator>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>

#include <memory>

using namespace Qt::StringLiterals;

namespace {

const QString CliPath = QStringLiteral(CORVANE_CLI_PATH);
constexpr int ProcessTimeoutMs = 30000;

// Two distinct ports that were free a moment ago, taken the way the receiver takes them.
std::pair<int, int> freePorts()
{
    QTcpServer first;
    QTcpServer second;
    first.listen(QHostAddress::Any, 0);
    second.listen(QHostAddress::Any, 0);
    return {first.serverPort(), second.serverPort()};
}

QByteArray randomBytes(qsizetype size, quint32 seed)
{
    QByteArray bytes(size, Qt::Uninitialized);
    QRandomGenerator generator(seed);
    for (char &byte : bytes)
        byte = char(generator.bounded(256));
    return bytes;
}

bool writeFile(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
}

QByteArray readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<unreadable>");
}

QStringList entries(const QString &folder)
{
    return QDir(folder).entryList(
        QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot, QDir::Name);
}

// One run of corvane-cli with its output collected as it comes.
class Cli
{
public:
    Cli()
    {
        QObject::connect(&m_process, &QProcess::readyReadStandardOutput, &m_process,
                         [this] { out += m_process.readAllStandardOutput(); });
        QObject::connect(&m_process, &QProcess::readyReadStandardError, &m_process,
                         [this] { err += m_process.readAllStandardError(); });
    }
    ~Cli()
    {
        if (m_process.state() != QProcess::NotRunning) {
            m_process.kill();
            m_process.waitForFinished(5000);
        }
    }

    void start(const QStringList &arguments) { m_process.start(CliPath, arguments); }
    QProcess &process() { return m_process; }

    bool waitForError(const QByteArray &text, int timeoutMs = ProcessTimeoutMs)
    {
        return QTest::qWaitFor([&] { return err.contains(text); }, timeoutMs);
    }
    // True once the program has ended, with all of its output read.
    bool finish(int timeoutMs = ProcessTimeoutMs)
    {
        const bool ended = QTest::qWaitFor(
            [this] { return m_process.state() == QProcess::NotRunning; }, timeoutMs);
        out += m_process.readAllStandardOutput();
        err += m_process.readAllStandardError();
        return ended;
    }
    int exitCode() const
    {
        return m_process.exitStatus() == QProcess::NormalExit ? m_process.exitCode() : -1;
    }

    QByteArray out;
    QByteArray err;

private:
    QProcess m_process;
};

struct Receiver
{
    Cli cli;
    int infoPort = 0;
    int binaryPort = 0;

    bool start(const QString &folder, const QStringList &extra)
    {
        std::tie(infoPort, binaryPort) = freePorts();
        cli.start(QStringList{u"receive"_s, u"--into"_s, folder, u"--info-port"_s,
                              QString::number(infoPort), u"--binary-port"_s,
                              QString::number(binaryPort)} +
                  extra);
        return cli.waitForError("Listening on");
    }

    QStringList senderArguments(const QStringList &files) const
    {
        return QStringList{u"send"_s} + files +
               QStringList{u"--to"_s,          u"127.0.0.1"_s,
                           u"--info-port"_s,   QString::number(infoPort),
                           u"--binary-port"_s, QString::number(binaryPort)};
    }
};

// A sender that writes the info channel by hand, so it can announce any name.
struct ScriptedSender
{
    QTcpSocket info;
    QTcpSocket binary;

    bool connect(const Receiver &receiver)
    {
        info.connectToHost(QHostAddress::LocalHost, quint16(receiver.infoPort));
        if (reply() != "CNT")
            return false;
        binary.connectToHost(QHostAddress::LocalHost, quint16(receiver.binaryPort));
        return QTest::qWaitFor(
            [this] { return binary.state() == QAbstractSocket::ConnectedState; });
    }
    QByteArray announce(qint64 size, const QByteArray &name)
    {
        info.write("FIS" + QByteArray::number(size) + "|0@" + name);
        return reply();
    }
    // The receiver's next three-letter message.
    QByteArray reply()
    {
        if (!QTest::qWaitFor([this] { return info.bytesAvailable() >= 3; }, ProcessTimeoutMs))
            return {};
        return info.read(3);
    }
};

// A receiver that takes the announced file and hangs up once bytes flow.
struct DroppingReceiver
{
    QTcpServer infoServer;
    QTcpServer binaryServer;
    QTcpSocket *info = nullptr;
    QTcpSocket *binary = nullptr;
    qint64 received = 0;

    bool listen()
    {
        if (!infoServer.listen(QHostAddress::LocalHost, 0) ||
            !binaryServer.listen(QHostAddress::LocalHost, 0))
            return false;
        QObject::connect(&infoServer, &QTcpServer::newConnection, &infoServer, [this] {
            info = infoServer.nextPendingConnection();
            info->write("CNT");
            QObject::connect(info, &QTcpSocket::readyRead, info, [this] {
                if (info->readAll().startsWith("FIS"))
                    info->write("ACP");
            });
        });
        QObject::connect(&binaryServer, &QTcpServer::newConnection, &binaryServer, [this] {
            binary = binaryServer.nextPendingConnection();
            QObject::connect(binary, &QTcpSocket::readyRead, binary, [this] {
                received += binary->readAll().size();
                if (received > 0) {
                    binary->abort();
                    info->abort();
                }
            });
        });
        return true;
    }
};

} // namespace

class tst_Cli : public QObject
{
    Q_OBJECT

private slots:
    void filesArriveIdentical_data();
    void filesArriveIdentical();
    void answerOnTheTerminal_data();
    void answerOnTheTerminal();
    void announcedNameStaysInsideFolder_data();
    void announcedNameStaysInsideFolder();
    void existingFileIsKept_data();
    void existingFileIsKept();
    void portInUse_data();
    void portInUse();
    void senderFailures_data();
    void senderFailures();
    void interruptRemovesTemporaryFile();
    void fileTooLargeForTheDiskIsRefused();
    void usageErrors_data();
    void usageErrors();
    void helpAndVersion_data();
    void helpAndVersion();
};

void tst_Cli::filesArriveIdentical_data()
{
    QTest::addColumn<int>("chunkSize");
    QTest::addColumn<QList<qsizetype>>("sizes");

    const QList<qsizetype> three{1, 100003, 3 * 1024 * 1024 + 17};
    QTest::newRow("default chunks") << 4096 << three;
    QTest::newRow("odd chunks") << 1000 << three;
    QTest::newRow("large chunks") << 65536 << three;
    QTest::newRow("with an empty file") << 4096 << QList<qsizetype>{0, 5, 0};
}

void tst_Cli::filesArriveIdentical()
{
    QFETCH(int, chunkSize);
    QFETCH(QList<qsizetype>, sizes);

    QTemporaryDir source;
    QTemporaryDir target;
    QStringList files;
    QList<QByteArray> contents;
    for (qsizetype i = 0; i < sizes.size(); ++i) {
        contents.append(randomBytes(sizes.at(i), quint32(i + 1)));
        files.append(source.filePath(u"file%1.bin"_s.arg(i)));
        QVERIFY(writeFile(files.last(), contents.last()));
    }

    Receiver receiver;
    QVERIFY(
        receiver.start(target.path(), {u"--yes"_s, u"--count"_s, QString::number(sizes.size())}));
    Cli sender;
    sender.start(receiver.senderArguments(files) +
                 QStringList{u"--chunk-size"_s, QString::number(chunkSize)});
    QVERIFY(sender.finish());
    QVERIFY2(sender.exitCode() == 0, sender.err.constData());
    QVERIFY(receiver.cli.finish());
    QVERIFY2(receiver.cli.exitCode() == 0, receiver.cli.err.constData());

    QStringList expected;
    for (qsizetype i = 0; i < sizes.size(); ++i) {
        expected.append(u"file%1.bin"_s.arg(i));
        QCOMPARE(readFile(target.filePath(expected.last())), contents.at(i));
    }
    QCOMPARE(entries(target.path()), expected);
    // One summary line per file on each side, in order.
    for (const QByteArray *out : {&sender.out, &receiver.cli.out}) {
        const QList<QByteArray> lines = out->trimmed().split('\n');
        QCOMPARE(lines.size(), sizes.size());
        for (qsizetype i = 0; i < sizes.size(); ++i) {
            const QByteArray summary =
                expected.at(i).toUtf8() + ": " + QByteArray::number(sizes.at(i)) + " bytes in ";
            QVERIFY2(lines.at(i).startsWith(summary), lines.at(i).constData());
            QVERIFY(lines.at(i).endsWith(" MiB/s"));
        }
    }
}

void tst_Cli::answerOnTheTerminal_data()
{
    QTest::addColumn<QByteArray>("answers"); // what the receiver's user types
    QTest::addColumn<bool>("closeInput");
    QTest::addColumn<QStringList>("saved");
    QTest::addColumn<int>("senderExit");

    QTest::newRow("no") << QByteArray("n\n") << false << QStringList() << 1;
    QTest::newRow("anything but yes") << QByteArray("sure\n") << false << QStringList() << 1;
    QTest::newRow("end of input") << QByteArray() << true << QStringList() << 1;
    QTest::newRow("yes") << QByteArray("y\n") << false << QStringList{u"a.txt"_s} << 0;
    QTest::newRow("Yes, typed ahead for both")
        << QByteArray(" Yes \ny\n") << false << QStringList{u"a.txt"_s, u"b.txt"_s} << 0;
    QTest::newRow("no, then yes") << QByteArray("n\ny\n") << false << QStringList{u"b.txt"_s} << 1;
}

void tst_Cli::answerOnTheTerminal()
{
    QFETCH(QByteArray, answers);
    QFETCH(bool, closeInput);
    QFETCH(QStringList, saved);
    QFETCH(int, senderExit);

    QTemporaryDir source;
    QTemporaryDir target;
    QStringList files;
    const int fileCount = answers.count('\n') > 1 ? 2 : 1;
    for (const QString &name : QStringList{u"a.txt"_s, u"b.txt"_s}.mid(0, fileCount)) {
        files.append(source.filePath(name));
        QVERIFY(writeFile(files.last(), name.toUtf8()));
    }

    Receiver receiver;
    QVERIFY(receiver.start(target.path(), {}));
    receiver.cli.process().write(answers);
    if (closeInput)
        receiver.cli.process().closeWriteChannel();
    Cli sender;
    sender.start(receiver.senderArguments(files));
    QVERIFY(sender.finish());
    QCOMPARE(sender.exitCode(), senderExit);
    QVERIFY(receiver.cli.err.contains("Accept \"a.txt\" (5 B, 5 bytes) from 127.0.0.1? [y/N]"));
    QCOMPARE(receiver.cli.err.contains("the input has ended (--yes accepts without asking)"),
             closeInput);
    if (senderExit != 0) {
        QVERIFY2(sender.err.contains("corvane-cli: the receiver refused \"a.txt\"") ||
                     sender.err.contains("corvane-cli: the receiver refused \"b.txt\""),
                 sender.err.constData());
    }

    // Refusals leave the receiver waiting for the next sender; it ends cleanly on SIGTERM.
    receiver.cli.process().terminate();
    QVERIFY(receiver.cli.finish());
    QCOMPARE(receiver.cli.exitCode(), 0);
    QCOMPARE(entries(target.path()), saved);
    for (const QString &name : saved)
        QCOMPARE(readFile(target.filePath(name)), name.toUtf8());
}

void tst_Cli::announcedNameStaysInsideFolder_data()
{
    QTest::addColumn<QByteArray>("announced");
    QTest::addColumn<QString>("saved"); // empty: refused

    QTest::newRow("parent folders") << QByteArray("../../x") << u"x"_s;
    QTest::newRow("absolute path") << QByteArray("/etc/x") << u"x"_s;
    QTest::newRow("backslash") << QByteArray("a\\b") << u"b"_s;
    QTest::newRow("backslash parents") << QByteArray("..\\..\\x") << u"x"_s;
    QTest::newRow("control characters") << QByteArray("a\x01"
                                                      "b\x1b[2Jc\x7f.txt")
                                        << u"ab[2Jc.txt"_s;
    QTest::newRow("line break") << QByteArray("line\nbreak") << u"linebreak"_s;
    QTest::newRow("NUL") << QByteArray("nul\0byte", 8) << u"nulbyte"_s;
    QTest::newRow("too long for the file system")
        << QByteArray(300, 'a') + ".txt" << QString(236, u'a') + u".txt"_s;
    QTest::newRow("empty") << QByteArray() << QString();
    QTest::newRow("dot") << QByteArray(".") << QString();
    QTest::newRow("dot dot") << QByteArray("..") << QString();
    QTest::newRow("folder only") << QByteArray("dir/") << QString();
    QTest::newRow("parent behind a backslash") << QByteArray("x\\..") << QString();
    QTest::newRow("control characters only") << QByteArray("\x01\x02") << QString();
    QTest::newRow("dot dot around a control character") << QByteArray(".\x01.") << QString();
}

void tst_Cli::announcedNameStaysInsideFolder()
{
    QFETCH(QByteArray, announced);
    QFETCH(QString, saved);

    // The folder lies two levels down, so "../../x" would land inside the temporary tree.
    QTemporaryDir root;
    const QString folder = root.filePath(u"a/b/into"_s);
    QVERIFY(QDir().mkpath(folder));

    Receiver receiver;
    QVERIFY(receiver.start(folder, {u"--yes"_s, u"--count"_s, u"1"_s}));
    ScriptedSender sender;
    QVERIFY(sender.connect(receiver));
    const QByteArray content("hello");
    const QByteArray answer = sender.announce(content.size(), announced);

    if (saved.isEmpty()) {
        QCOMPARE(answer, QByteArray("RFS"));
        QVERIFY(receiver.cli.waitForError("Refused"));
        receiver.cli.process().terminate();
    } else {
        QCOMPARE(answer, QByteArray("ACP"));
        sender.binary.write(content);
        QCOMPARE(sender.reply(), QByteArray("RFC"));
        sender.info.close();
        sender.binary.close();
    }
    QVERIFY(receiver.cli.finish());
    QCOMPARE(receiver.cli.exitCode(), 0);
    QCOMPARE(entries(folder), saved.isEmpty() ? QStringList() : QStringList{saved});
    if (!saved.isEmpty())
        QCOMPARE(readFile(folder + u'/' + saved), content);
    QCOMPARE(entries(root.path()), QStringList{u"a"_s});
    QCOMPARE(entries(root.filePath(u"a"_s)), QStringList{u"b"_s});
    QCOMPARE(entries(root.filePath(u"a/b"_s)), QStringList{u"into"_s});
    // Whatever came from the network reaches the terminal escaped.
    QVERIFY(!receiver.cli.err.contains('\x1b'));
}

void tst_Cli::existingFileIsKept_data()
{
    QTest::addColumn<QStringList>("existing"); // a trailing "/" makes a folder, "->" a link
    QTest::addColumn<bool>("overwrite");
    QTest::addColumn<QString>("saved");

    QTest::newRow("nothing there") << QStringList() << false << u"report.txt"_s;
    QTest::newRow("kept") << QStringList{u"report.txt"_s} << false << u"report (1).txt"_s;
    QTest::newRow("next free number")
        << QStringList{u"report.txt"_s, u"report (1).txt"_s} << false << u"report (2).txt"_s;
    QTest::newRow("temporary twin taken")
        << QStringList{u"report.txtTMP"_s} << false << u"report (1).txt"_s;
    QTest::newRow("dangling link kept")
        << QStringList{u"report.txt->../outside.txt"_s} << false << u"report (1).txt"_s;
    QTest::newRow("overwrite") << QStringList{u"report.txt"_s} << true << u"report.txt"_s;
    QTest::newRow("a folder is never overwritten")
        << QStringList{u"report.txt/"_s} << true << u"report (1).txt"_s;
    QTest::newRow("overwrite leaves a temporary twin alone")
        << QStringList{u"report.txt"_s, u"report.txtTMP"_s} << true << u"report (1).txt"_s;
}

void tst_Cli::existingFileIsKept()
{
    QFETCH(QStringList, existing);
    QFETCH(bool, overwrite);
    QFETCH(QString, saved);

    QTemporaryDir root;
    const QString folder = root.filePath(u"into"_s);
    QVERIFY(QDir().mkpath(folder));
    QStringList before;
    for (const QString &entry : existing) {
        const QString path = folder + u'/' + entry;
        if (entry.endsWith(u'/')) {
            QVERIFY(QDir().mkpath(path));
        } else if (const qsizetype arrow = entry.indexOf(u"->"_s); arrow > 0) {
            QVERIFY(QFile::link(entry.mid(arrow + 2), folder + u'/' + entry.left(arrow)));
        } else {
            QVERIFY(writeFile(path, "old"));
        }
        before.append(entry.left(entry.indexOf(u"->"_s)).remove(u'/'));
    }
    const QString file = root.filePath(u"report.txt"_s);
    QVERIFY(writeFile(file, "new"));

    Receiver receiver;
    QStringList extra{u"--yes"_s, u"--count"_s, u"1"_s};
    if (overwrite)
        extra.append(u"--overwrite"_s);
    QVERIFY(receiver.start(folder, extra));
    Cli sender;
    sender.start(receiver.senderArguments({file}));
    QVERIFY(sender.finish());
    QVERIFY2(sender.exitCode() == 0, sender.err.constData());
    QVERIFY(receiver.cli.finish());
    QCOMPARE(receiver.cli.exitCode(), 0);

    QCOMPARE(readFile(folder + u'/' + saved), QByteArray("new"));
    QStringList after = before;
    if (!after.contains(saved))
        after.append(saved);
    after.sort();
    QCOMPARE(entries(folder), after);
    for (const QString &entry : existing) {
        const QString path = folder + u'/' + entry;
        if (entry != saved && !entry.endsWith(u'/') && !entry.contains(u"->"_s))
            QCOMPARE(readFile(path), QByteArray("old"));
    }
    // Nothing was written through the link.
    QVERIFY(!QFile::exists(root.filePath(u"outside.txt"_s)));
}

void tst_Cli::portInUse_data()
{
    QTest::addColumn<bool>("infoTaken");
    QTest::newRow("info port") << true;
    QTest::newRow("binary port") << false;
}

void tst_Cli::portInUse()
{
    QFETCH(bool, infoTaken);

    QTemporaryDir target;
    QTcpServer occupant;
    QVERIFY(occupant.listen(QHostAddress::Any, 0));
    const int free = freePorts().first;
    const int info = infoTaken ? occupant.serverPort() : free;
    const int binary = infoTaken ? free : occupant.serverPort();

    Cli receiver;
    receiver.start({u"receive"_s, u"--into"_s, target.path(), u"--yes"_s, u"--info-port"_s,
                    QString::number(info), u"--binary-port"_s, QString::number(binary)});
    QVERIFY(receiver.finish());
    QCOMPARE(receiver.exitCode(), 1);
    const QByteArray expected = "corvane-cli: cannot listen on " +
                                QByteArray(infoTaken ? "info" : "binary") + " port " +
                                QByteArray::number(occupant.serverPort()) + ": ";
    QVERIFY2(receiver.err.startsWith(expected), receiver.err.constData());
    QVERIFY(receiver.err.contains("in use"));
}

void tst_Cli::senderFailures_data()
{
    QTest::addColumn<QString>("failure");
    QTest::addColumn<QByteArray>("message");

    QTest::newRow("nothing listens") << u"no receiver"_s << QByteArray("cannot connect to");
    QTest::newRow("missing file") << u"missing file"_s << QByteArray("cannot read");
    QTest::newRow("receiver hangs up mid-file") << u"dropped"_s << QByteArray("\"big.bin\"");
}

void tst_Cli::senderFailures()
{
    QFETCH(QString, failure);
    QFETCH(QByteArray, message);

    QTemporaryDir source;
    QString file = source.filePath(u"big.bin"_s);
    QVERIFY(writeFile(file, randomBytes(512 * 1024, 7)));
    DroppingReceiver dropping;
    QVERIFY(dropping.listen());
    auto [infoPort, binaryPort] = freePorts();
    if (failure == u"missing file")
        file = source.filePath(u"missing.bin"_s);
    if (failure == u"dropped") {
        infoPort = dropping.infoServer.serverPort();
        binaryPort = dropping.binaryServer.serverPort();
    }

    Cli sender;
    sender.start({u"send"_s, file, u"--to"_s, u"127.0.0.1"_s, u"--info-port"_s,
                  QString::number(infoPort), u"--binary-port"_s, QString::number(binaryPort)});
    QVERIFY(sender.finish());
    QCOMPARE(sender.exitCode(), 1);
    QVERIFY2(sender.err.startsWith("corvane-cli: ") || sender.err.contains("\ncorvane-cli: "),
             sender.err.constData());
    QVERIFY2(sender.err.contains(message), sender.err.constData());
    QVERIFY(sender.out.isEmpty());
}

void tst_Cli::interruptRemovesTemporaryFile()
{
    QTemporaryDir target;
    Receiver receiver;
    QVERIFY(receiver.start(target.path(), {u"--yes"_s}));
    ScriptedSender sender;
    QVERIFY(sender.connect(receiver));
    QCOMPARE(sender.announce(1000, "part.bin"), QByteArray("ACP"));
    sender.binary.write(QByteArray(10, 'x'));
    QTRY_VERIFY(QFile::exists(target.filePath(u"part.binTMP"_s)));

    receiver.cli.process().terminate();
    QVERIFY(receiver.cli.finish());
    QCOMPARE(receiver.cli.exitCode(), 1);
    QVERIFY(receiver.cli.err.contains("corvane-cli: interrupted; \"part.bin\" was not saved"));
    QCOMPARE(entries(target.path()), QStringList());
}

void tst_Cli::fileTooLargeForTheDiskIsRefused()
{
    QTemporaryDir target;
    Receiver receiver;
    QVERIFY(receiver.start(target.path(), {u"--yes"_s}));
    ScriptedSender sender;
    QVERIFY(sender.connect(receiver));
    QCOMPARE(sender.announce(Q_INT64_C(1) << 60, "huge.bin"), QByteArray("RFS"));
    QVERIFY(receiver.cli.waitForError("Refused \"huge.bin\""));
    QVERIFY(receiver.cli.err.contains("corvane-cli: cannot save \"huge.bin\": "));

    // The sender may go on with another file on the same connections.
    QCOMPARE(sender.announce(2, "small.bin"), QByteArray("ACP"));
    sender.binary.write("ok");
    QCOMPARE(sender.reply(), QByteArray("RFC"));
    receiver.cli.process().terminate();
    QVERIFY(receiver.cli.finish());
    // A file that was wanted but could not be saved makes the run a failure.
    QCOMPARE(receiver.cli.exitCode(), 1);
    QCOMPARE(entries(target.path()), QStringList{u"small.bin"_s});
}

void tst_Cli::usageErrors_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QByteArray>("problem");
    QTest::addColumn<QByteArray>("hint");

    const QByteArray general = "Try 'corvane-cli --help'";
    const QByteArray send = "Try 'corvane-cli send --help'";
    const QByteArray receive = "Try 'corvane-cli receive --help'";
    const QString folder = QDir::tempPath();
    QTest::newRow("no command") << QStringList() << QByteArray("no command given") << general;
    QTest::newRow("unknown command")
        << QStringList{u"fly"_s} << QByteArray("unknown command 'fly'") << general;
    QTest::newRow("unknown option")
        << QStringList{u"--fast"_s} << QByteArray("unknown option '--fast'") << general;
    QTest::newRow("send nothing") << QStringList{u"send"_s, u"--to"_s, u"h"_s}
                                  << QByteArray("no file to send") << send;
    QTest::newRow("send nowhere") << QStringList{u"send"_s, u"f"_s}
                                  << QByteArray("no receiver given") << send;
    QTest::newRow("chunk size 0") << QStringList{u"send"_s,         u"f"_s, u"--to"_s, u"h"_s,
                                                 u"--chunk-size"_s, u"0"_s}
                                  << QByteArray("invalid value '0' for --chunk-size") << send;
    QTest::newRow("chunk size not a number")
        << QStringList{u"send"_s, u"f"_s, u"--to"_s, u"h"_s, u"--chunk-size"_s, u"4k"_s}
        << QByteArray("invalid value '4k' for --chunk-size") << send;
    QTest::newRow("port too large")
        << QStringList{u"send"_s, u"f"_s, u"--to"_s, u"h"_s, u"--info-port"_s, u"65536"_s}
        << QByteArray("invalid value '65536' for --info-port") << send;
    QTest::newRow("one port for both")
        << QStringList{u"send"_s,        u"f"_s,    u"--to"_s,          u"h"_s,
                       u"--info-port"_s, u"5000"_s, u"--binary-port"_s, u"5000"_s}
        << QByteArray("the info port and the binary port must differ") << send;
    QTest::newRow("option without value")
        << QStringList{u"send"_s, u"f"_s, u"--to"_s} << QByteArray("Missing value after") << send;
    QTest::newRow("receive nowhere")
        << QStringList{u"receive"_s} << QByteArray("no folder to save into") << receive;
    QTest::newRow("no such folder")
        << QStringList{u"receive"_s, u"--into"_s, u"/nonexistent/folder"_s}
        << QByteArray("not a folder: /nonexistent/folder") << receive;
    QTest::newRow("count 0") << QStringList{u"receive"_s, u"--into"_s, folder, u"--count"_s, u"0"_s}
                             << QByteArray("invalid value '0' for --count") << receive;
    QTest::newRow("stray argument") << QStringList{u"receive"_s, u"--into"_s, folder, u"extra"_s}
                                    << QByteArray("unexpected argument 'extra'") << receive;
    QTest::newRow("option of the other command")
        << QStringList{u"receive"_s, u"--into"_s, folder, u"--to"_s, u"h"_s}
        << QByteArray("Unknown option 'to'") << receive;
}

void tst_Cli::usageErrors()
{
    QFETCH(QStringList, arguments);
    QFETCH(QByteArray, problem);
    QFETCH(QByteArray, hint);

    Cli cli;
    cli.start(arguments);
    QVERIFY(cli.finish());
    QCOMPARE(cli.exitCode(), 2);
    QVERIFY2(cli.err.startsWith(QByteArray("corvane-cli: " + problem)), cli.err.constData());
    QVERIFY2(cli.err.contains(QByteArray("\n" + hint)), cli.err.constData());
    QVERIFY(cli.out.isEmpty());
}

void tst_Cli::helpAndVersion_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QByteArray>("start");

    QTest::newRow("--help") << QStringList{u"--help"_s}
                            << QByteArray("Usage: corvane-cli send FILE... --to HOST");
    QTest::newRow("send --help") << QStringList{u"send"_s, u"--help"_s}
                                 << QByteArray("Usage: corvane-cli send FILE... --to HOST");
    QTest::newRow("receive -h") << QStringList{u"receive"_s, u"-h"_s}
                                << QByteArray("Usage: corvane-cli receive --into DIR");
    QTest::newRow("--version") << QStringList{u"--version"_s} << QByteArray("corvane-cli 1.");
}

void tst_Cli::helpAndVersion()
{
    QFETCH(QStringList, arguments);
    QFETCH(QByteArray, start);

    Cli cli;
    cli.start(arguments);
    QVERIFY(cli.finish());
    QCOMPARE(cli.exitCode(), 0);
    QVERIFY2(cli.out.startsWith(start), cli.out.constData());
    // Nothing from the headless platform clutters stderr.
    QCOMPARE(cli.err, QByteArray());
}

QTEST_MAIN(tst_Cli)
#include "tst_cli.moc"
