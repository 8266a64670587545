#include "support/scriptedreceiver.h"
#include "support/testsupport.h"
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>

#include <memory>

using namespace corvane::test;
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

QStringList entries(const QString &folder)
{
    return QDir(folder).entryList(
        QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot, QDir::Name);
}

// One run of corvane-cli; QProcess buffers its output, gathered whenever it is looked at.
struct Cli
{
    QProcess process;
    QByteArray out;
    QByteArray err;

    ~Cli()
    {
        if (process.state() != QProcess::NotRunning) {
            process.kill();
            process.waitForFinished(5000);
        }
    }
    void start(const QStringList &arguments) { process.start(CliPath, arguments); }
    void gather()
    {
        out += process.readAllStandardOutput();
        err += process.readAllStandardError();
    }
    bool waitForError(const QByteArray &text)
    {
        return QTest::qWaitFor([&] { return gather(), err.contains(text); }, ProcessTimeoutMs);
    }
    // True once the program has ended, with all of its output read.
    bool finish()
    {
        const bool ended = QTest::qWaitFor(
            [this] { return process.state() == QProcess::NotRunning; }, ProcessTimeoutMs);
        gather();
        return ended;
    }
    int exitCode() const
    {
        return process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    }
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
    void commandLine_data();
    void commandLine();
};

void tst_Cli::filesArriveIdentical_data()
{
    QTest::addColumn<int>("chunkSize");
    QTest::addColumn<QList<qsizetype>>("sizes");

    QTest::newRow("default chunks") << 4096 << QList<qsizetype>{1, 100003, 3 * 1024 * 1024 + 17};
    QTest::newRow("odd chunks, empty files") << 1000 << QList<qsizetype>{0, 100003, 0};
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
        QVERIFY(!writeFile(files.last(), contents.last()).isEmpty());
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
    QTest::newRow("end of input") << QByteArray() << true << QStringList() << 1;
    QTest::newRow("not yes, then Yes")
        << QByteArray("sure\n Yes \n") << false << QStringList{u"b.txt"_s} << 1;
    QTest::newRow("yes typed ahead for both")
        << QByteArray("y\ny\n") << false << QStringList{u"a.txt"_s, u"b.txt"_s} << 0;
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
        QVERIFY(!writeFile(files.last(), name.toUtf8()).isEmpty());
    }

    Receiver receiver;
    QVERIFY(receiver.start(target.path(), {}));
    receiver.cli.process.write(answers);
    if (closeInput)
        receiver.cli.process.closeWriteChannel();
    Cli sender;
    sender.start(receiver.senderArguments(files));
    QVERIFY(sender.finish());
    QCOMPARE(sender.exitCode(), senderExit);
    receiver.cli.gather();
    QVERIFY2(receiver.cli.err.contains("Accept \"a.txt\" (5 B, 5 bytes) from 127.0.0.1? [y/N]"),
             receiver.cli.err.constData());
    QCOMPARE(receiver.cli.err.contains("the input has ended (--yes accepts without asking)"),
             closeInput);
    if (senderExit != 0) {
        QVERIFY2(sender.err.contains("corvane-cli: the receiver refused \"a.txt\"") ||
                     sender.err.contains("corvane-cli: the receiver refused \"b.txt\""),
                 sender.err.constData());
    }

    // Refusals leave the receiver waiting for the next sender; it ends cleanly on SIGTERM.
    receiver.cli.process.terminate();
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
    QTest::newRow("backslash parents") << QByteArray("..\\..\\x") << u"x"_s;
    QTest::newRow("control characters and NUL")
        << QByteArray("a\x01\nb\x1b[2J\0c\x7f.txt", 15) << u"ab[2Jc.txt"_s;
    QTest::newRow("right-to-left override")
        << QByteArray("invoice\u202efdp.exe") << u"invoicefdp.exe"_s;
    QTest::newRow("too long for the file system")
        << QByteArray(300, 'a') + ".txt" << QString(236, u'a') + u".txt"_s;
    QTest::newRow("empty") << QByteArray() << QString();
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
        receiver.cli.process.terminate();
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
    for (const QByteArray hidden : {"\x1b", "\u202e"})
        QVERIFY(!receiver.cli.err.contains(hidden) && !receiver.cli.out.contains(hidden));
    if (announced.contains("\u202e"))
        QVERIFY(receiver.cli.err.contains("\"invoice\\u202efdp.exe\" as \"invoicefdp.exe\""));
}

void tst_Cli::existingFileIsKept_data()
{
    QTest::addColumn<QStringList>("existing"); // a trailing "/" makes a folder, "->" a link
    QTest::addColumn<bool>("overwrite");
    QTest::addColumn<QString>("saved");

    QTest::newRow("kept, next free number")
        << QStringList{u"report.txt"_s, u"report (1).txt"_s} << false << u"report (2).txt"_s;
    QTest::newRow("temporary twin taken")
        << QStringList{u"report.txtTMP"_s} << false << u"report (1).txt"_s;
    QTest::newRow("dangling link kept")
        << QStringList{u"report.txt->../outside.txt"_s} << false << u"report (1).txt"_s;
    QTest::newRow("overwrite") << QStringList{u"report.txt"_s} << true << u"report.txt"_s;
    QTest::newRow("a folder is never overwritten")
        << QStringList{u"report.txt/"_s} << true << u"report (1).txt"_s;
}

void tst_Cli::existingFileIsKept()
{
    QFETCH(QStringList, existing);
    QFETCH(bool, overwrite);
    QFETCH(QString, saved);

    QTemporaryDir root;
    const QString folder = root.filePath(u"into"_s);
    QVERIFY(QDir().mkpath(folder));
    QStringList after{saved};
    for (const QString &entry : existing) {
        const QString name = entry.section(u"->"_s, 0, 0).remove(u'/');
        if (entry.endsWith(u'/'))
            QVERIFY(QDir().mkpath(folder + u'/' + name));
        else if (entry.contains(u"->"_s))
            QVERIFY(QFile::link(entry.section(u"->"_s, 1), folder + u'/' + name));
        else
            QVERIFY(!writeFile(folder + u'/' + name, "old").isEmpty());
        after.append(name);
    }
    const QString file = root.filePath(u"report.txt"_s);
    QVERIFY(!writeFile(file, "new").isEmpty());

    Receiver receiver;
    QVERIFY(
        receiver.start(folder, QStringList{u"--yes"_s, u"--count"_s, u"1"_s} +
                                   (overwrite ? QStringList{u"--overwrite"_s} : QStringList())));
    Cli sender;
    sender.start(receiver.senderArguments({file}));
    QVERIFY(sender.finish());
    QVERIFY2(sender.exitCode() == 0, sender.err.constData());
    QVERIFY(receiver.cli.finish());
    QCOMPARE(receiver.cli.exitCode(), 0);

    QCOMPARE(readFile(folder + u'/' + saved), QByteArray("new"));
    after.removeDuplicates();
    after.sort();
    QCOMPARE(entries(folder), after);
    for (const QString &entry : existing) {
        if (entry != saved && !entry.endsWith(u'/') && !entry.contains(u"->"_s))
            QCOMPARE(readFile(folder + u'/' + entry), QByteArray("old"));
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
    const QString file =
        source.filePath(failure == u"missing file" ? u"missing.bin"_s : u"big.bin"_s);
    QVERIFY(!writeFile(source.filePath(u"big.bin"_s), randomBytes(512 * 1024, 7)).isEmpty());
    ScriptedReceiver dropping;
    QVERIFY(dropping.listen());
    auto [infoPort, binaryPort] = freePorts();
    if (failure == u"dropped") {
        infoPort = dropping.info.serverPort();
        binaryPort = dropping.binary.serverPort();
    }

    Cli sender;
    sender.start({u"send"_s, file, u"--to"_s, u"127.0.0.1"_s, u"--info-port"_s,
                  QString::number(infoPort), u"--binary-port"_s, QString::number(binaryPort)});
    if (failure == u"dropped") {
        // Accepts the file and hangs up once its bytes flow.
        QTRY_VERIFY(dropping.infoPeer);
        dropping.say("CNT");
        QTRY_VERIFY(dropping.infoBytes.startsWith("FIS"));
        dropping.say("ACP");
        QTRY_VERIFY(!dropping.binaryBytes.isEmpty());
        dropping.binaryPeer->abort();
        dropping.infoPeer->abort();
    }
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

    receiver.cli.process.terminate();
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
    receiver.cli.process.terminate();
    QVERIFY(receiver.cli.finish());
    // A file that was wanted but could not be saved makes the run a failure.
    QCOMPARE(receiver.cli.exitCode(), 1);
    QCOMPARE(entries(target.path()), QStringList{u"small.bin"_s});
}

void tst_Cli::commandLine_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QByteArray>("start"); // of stdout after success, of stderr otherwise
    QTest::addColumn<QByteArray>("hint");

    const QByteArray general = "\nTry 'corvane-cli --help'";
    const QByteArray send = "\nTry 'corvane-cli send --help'";
    const QByteArray receive = "\nTry 'corvane-cli receive --help'";
    const auto usage = [](const char *name, const QStringList &arguments, const char *problem,
                          const QByteArray &hint) {
        QTest::newRow(name) << arguments << 2 << "corvane-cli: " + QByteArray(problem) << hint;
    };
    usage("no command", {}, "no command given", general);
    usage("required option missing", {u"send"_s, u"f"_s}, "no receiver given", send);
    usage("invalid value", {u"send"_s, u"f"_s, u"--to"_s, u"h"_s, u"--chunk-size"_s, u"4k"_s},
          "invalid value '4k' for --chunk-size", send);
    usage("no such folder", {u"receive"_s, u"--into"_s, u"/nonexistent/folder"_s},
          "not a folder: /nonexistent/folder", receive);
    usage("option of the other command",
          {u"receive"_s, u"--into"_s, QDir::tempPath(), u"--to"_s, u"h"_s}, "Unknown option 'to'",
          receive);
    QTest::newRow("--help") << QStringList{u"--help"_s} << 0
                            << QByteArray("Usage: corvane-cli send FILE... --to HOST")
                            << QByteArray();
    QTest::newRow("receive -h") << QStringList{u"receive"_s, u"-h"_s} << 0
                                << QByteArray("Usage: corvane-cli receive --into DIR")
                                << QByteArray();
    QTest::newRow("--version") << QStringList{u"--version"_s} << 0 << QByteArray("corvane-cli 1.")
                               << QByteArray();
}

void tst_Cli::commandLine()
{
    QFETCH(QStringList, arguments);
    QFETCH(int, exitCode);
    QFETCH(QByteArray, start);
    QFETCH(QByteArray, hint);

    Cli cli;
    cli.start(arguments);
    QVERIFY(cli.finish());
    QCOMPARE(cli.exitCode(), exitCode);
    // Each answer on its own stream: nothing else, not even from the headless platform.
    const QByteArray &shown = exitCode == 0 ? cli.out : cli.err;
    QVERIFY2(shown.startsWith(start) && shown.contains(hint), shown.constData());
    QVERIFY((exitCode == 0 ? cli.err : cli.out).isEmpty());
}

QTEST_MAIN(tst_Cli)
#include "tst_cli.moc"
