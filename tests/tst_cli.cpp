#include "cli/console.h"
#include "cli/invocation.h"
#include "cli/safefilename.h"
#include "support/childprocess.h"
#include "support/scriptedpeer.h"
#include "support/testing.h"

#include <QBuffer>
#include <QCryptographicHash>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>
#include <optional>
#include <unistd.h>
#include <utility>

using namespace corvane;
using namespace corvane::test;
using namespace Qt::StringLiterals;

namespace {

// corvane-cli run in this process. Its input holds the answers typed ahead, then ends; answers
// starting with "?" leave it open, with nothing typed.
struct Cli
{
    explicit Cli(const QStringList &arguments, const QByteArray &answers = {})
        : run(QStringList{u"corvane-cli"_s} + arguments, console)
    {
        typed = typed && (answers.startsWith('?') ||
                          (::write(fds[1], answers.data(), size_t(answers.size())) >= 0 &&
                           ::close(std::exchange(fds[1], -1)) == 0));
        out.open(QIODevice::WriteOnly);
        err.open(QIODevice::WriteOnly);
        QObject::connect(&run, &Invocation::finished, &run, [this](int code) { exitCode = code; });
        run.start();
    }
    ~Cli() { ::close(fds[0]), ::close(fds[1]); }
    bool finish()
    {
        return waitUntil([this] { return exitCode >= 0; }, 30000) && typed;
    }
    bool asked()
    {
        return waitUntil([this] { return err.data().contains("[y/N]"); }, 20000);
    }

    int fds[2] = {-1, -1};
    bool typed = ::pipe(fds) == 0;
    QBuffer out, err;
    Console console{fds[0], &out, &err};
    Invocation run;
    int exitCode = -1;
};

QStringList split(const QString &text)
{
    return text.split(u' ', Qt::SkipEmptyParts);
}

// Both channels' ports, free a moment ago, as options of either command.
QStringList freePorts()
{
    QTcpServer info, binary;
    return {u"--info-port"_s, QString::number(info.listen() ? info.serverPort() : 0),
            u"--binary-port"_s, QString::number(binary.listen() ? binary.serverPort() : 0)};
}

// From corvane-cli send, files of the sizes in sent (the real program when answers is "?send",
// given Ctrl-C while asked); or from a peer, the announcement in sent, then "hello".
struct Receive
{
    QByteArray sent, options, answers, saved; // names, " " between
    int exitCode;
    QByteArray said; // by either side, "|" between
};
struct Choice
{
    const char *existing; // "|" between; "/" at the end makes a folder, "->" a link
    const char *name;
    bool overwrite;
    const char *chosen; // empty: refused
};

} // namespace

Q_DECLARE_METATYPE(Receive)
Q_DECLARE_METATYPE(Choice)

class tst_Cli : public QObject
{
    Q_OBJECT

    QTcpServer occupant; // holds a port, so that listening there fails

private slots:
    void initTestCase() { QVERIFY(occupant.listen()); }

    // Runs that end by themselves: what they show, on stdout after success, else on stderr.
    void commandLine_data()
    {
        QTest::addColumn<QString>("arguments");
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<QByteArray>("shown");
        const auto row = [](const char *name, const QString &arguments, int exit,
                            const QByteArray &shown) {
            QTest::newRow(name) << arguments << exit << shown;
        };
        row("no command", {}, 2, "corvane-cli: no command given\nTry 'corvane-cli --help'");
        row("option missing", u"send f"_s, 2,
            "corvane-cli: no receiver given (--to HOST)\nTry 'corvane-cli send --help'");
        row("invalid value", u"send f --to h --chunk-size 16777217"_s, 2,
            "invalid value '16777217' for --chunk-size (expected 1 to 16777216)\nTry 'corvane-cli");
        row("no such folder", u"receive --into /none"_s, 2,
            "corvane-cli: not a folder: /none\nTry 'corvane-cli receive --help'");
        row("--help", u"--help"_s, 0, "corvane-cli send FILE... --to HOST [options]\n");
        row("receive -h", u"receive -h"_s, 0, "info channel (default 1700).");
        row("--version", u"--version"_s, 0, "corvane-cli 1.0.0\n");
        row("missing file", u"send /none --to h"_s, 1, "cannot read \"/none\": no such file\n");
        const QString port = freePorts().at(1), busy = QString::number(occupant.serverPort());
        row("nothing listens", u"send /dev/null --to 127.0.0.1 --info-port "_s + port, 1,
            "corvane-cli: cannot connect to 127.0.0.1 port " + port.toUtf8() + ": ");
        const QString ports = u"receive --into / --info-port %1 --binary-port %2"_s;
        row("info port in use", ports.arg(busy, port), 1,
            "corvane-cli: cannot listen on info port " + busy.toUtf8() + ": ");
        row("binary port in use", ports.arg(port, busy), 1,
            "corvane-cli: cannot listen on binary port " + busy.toUtf8() + ": ");
    }
    void commandLine()
    {
        QFETCH(QString, arguments);
        QFETCH(int, exitCode);
        QFETCH(QByteArray, shown);
        Cli cli(split(arguments));
        QVERIFY(cli.finish());
        QCOMPARE(cli.exitCode, exitCode);
        QVERIFY2((exitCode ? cli.err : cli.out).data().contains(shown), cli.err.data().data());
        QVERIFY((exitCode ? cli.out : cli.err).data().isEmpty());
    }

    void choosePath_data()
    {
        QTest::addColumn<Choice>("row");
        QTest::newRow("kept") << Choice{"r.txt|r (1).txt", "r.txt", false, "r (2).txt"};
        QTest::newRow("leading dot") << Choice{".rc", ".rc", false, ".rc (1)"};
        QTest::newRow("temporary twin") << Choice{"r.txtTMP", "r.txt", false, "r (1).txt"};
        QTest::newRow("dangling link") << Choice{"r.txt->../gone", "r.txt", false, "r (1).txt"};
        QTest::newRow("overwrite") << Choice{"r.txt", "r.txt", true, "r.txt"};
        QTest::newRow("never a folder") << Choice{"r.txt/", "r.txt", true, "r (1).txt"};
        QTest::newRow("outside") << Choice{"", "../r.txt", false, ""};
    }
    void choosePath()
    {
        QFETCH(Choice, row);
        QTemporaryDir root;
        const QString folder = QFileInfo(root.path()).canonicalFilePath() + u'/';
        for (const QString &entry : QString::fromUtf8(row.existing).split(u'|')) {
            const QString path = folder + entry.section(u"->"_s, 0, 0);
            QVERIFY(entry.isEmpty() || entry.endsWith(u'/') ? QDir().mkpath(path)
                    : entry.contains(u"->"_s) ? QFile::link(entry.section(u"->"_s, 1), path)
                                              : QFile(path).open(QIODevice::WriteOnly));
        }
        QString problem, chosen = QString::fromUtf8(row.chosen);
        QCOMPARE(SafeFileName::choosePath(folder.chopped(1), QString::fromUtf8(row.name),
                                          row.overwrite, &problem),
                 chosen.isEmpty() ? chosen : folder + chosen);
        QCOMPARE(problem.isEmpty(), !chosen.isEmpty());
    }

    void receive_data()
    {
        QTest::addColumn<Receive>("row");
        const auto row = [](const char *name, const Receive &row) {
            QTest::newRow(name) << row;
        };
        row("identical",
            {"1 0 100003 3145745", "--yes --count 4 --sha256-file SUMS", "", "f0 f1 f2 f3", 0, ""});
        row("not yes, then Yes",
            {"5 5", "", "sure\n Yes \n", "f1", 0,
             "Accept \"f0\" (5 bytes) from 127.0.0.1? [y/N] sure\n|the receiver refused \"f0\""});
        row("yes typed ahead", {"5 5", "", "y\ny\n", "f0 f1", 0, "Connected to 127.0.0.1"});
        row("end of input", {"5", "", "", "", 0, "the input has ended (--yes accepts without"});
        row("sender interrupted", {"5", "", "?send", "", 0, "cancelled; \"f0\" was not sent\n"});
        row("receiver interrupted",
            {"5", "", "?receive", "", 0,
             "the receiver closed the connection; \"f0\" was not confirmed"});
        row("parent folders",
            {"FIS5|0@../../x", "--yes --sha256-file SUMS", "", "x", 0, "\"../../x\" as \"x\""});
        row("absolute path", {"FIS5|0@/etc/x", "--yes", "", "x", 0, ""});
        row("control characters and NUL", {QByteArray("FIS5|0@a\x01\nb\x1b[2J\0c", 18), "--yes", "",
                                           "ab[2Jc", 0, "Saving \"a\\x01\\x0ab\\x1b[2J"});
        row("right-to-left override", {"FIS5|0@a\u202eexe.txt", "--yes", "", "aexe.txt", 0,
                                       "Saving \"a\\u202eexe.txt\" as \"aexe.txt\""});
        row("empty", {"FIS5|0@", "--yes", "", "", 0, "Refused \"\": not a usable file name"});
        row("too large for the disk", {"FIS1152921504606846976|0@huge", "--yes", "", "", 1,
                                       "corvane-cli: cannot save \"huge\": "});
        row("interrupted", {"FIS1000|0@part", "--yes", "", "", 130,
                            "corvane-cli: cancelled; \"part\" was not saved"});
    }
    void receive()
    {
        QFETCH(Receive, row);
        // The folder lies two levels down, so "../../x" would land inside the temporary tree.
        QTemporaryDir root;
        const QString folder = root.filePath(u"a/b/into"_s);
        const QStringList ports = freePorts(), saved = split(QString::fromUtf8(row.saved));
        QVERIFY(QDir().mkpath(folder));
        const QString sums = root.filePath(u"sums"_s);
        const QString options = QString::fromUtf8(row.options).replace(u"SUMS"_s, sums);
        Cli receiver(split(u"receive --into "_s + folder + u' ' + options) + ports, row.answers);
        QStringList files;
        ScriptedPeer peer;
        if (row.sent.startsWith("FIS")) {
            QVERIFY(peer.connectInfo(ports[1].toInt()) && peer.waitForInfo("CNT") &&
                    peer.connectBinary(ports[3].toInt()));
            peer.say(row.sent);
            QVERIFY(waitUntil([&] { return peer.infoBytes.size() == 6; }));
            peer.send(peer.infoBytes.endsWith("ACP") ? "hello" : "");
            QVERIFY(saved.isEmpty() || peer.waitForInfo("CNTACPRFC"));
        }
        for (const QString &size : peer.info ? QStringList() : split(QString::fromUtf8(row.sent)))
            files << writeFile(root.filePath(u"f%1"_s.arg(files.size())),
                               randomBytes(size.toInt(), quint32(files.size())));
        const QStringList args = split(u"send --to 127.0.0.1 --chunk-size 1000"_s) + ports + files;
        ChildProcess program; // the real program, given Ctrl-C while asked
        std::optional<Cli> sender;
        if (row.answers == "?send") {
            program.start(QStringLiteral(CORVANE_CLI_PATH), args);
            QVERIFY(receiver.asked());
            ::kill(pid_t(program.process.processId()), SIGINT);
            QVERIFY(program.finish());
            QCOMPARE(program.exitCode(), 130);
            QVERIFY(program.out.isEmpty() && program.err.startsWith("Connected to 127.0.0.1"));
        } else if (!files.isEmpty()) {
            sender.emplace(args);
            if (row.answers == "?receive" && receiver.asked())
                receiver.run.interrupt();
            QVERIFY(sender->finish());
            QCOMPARE(sender->exitCode, saved.size() == files.size() ? 0 : 1);
        }
        if (!options.contains(u"--count"_s))
            receiver.run.interrupt();
        QVERIFY(receiver.finish());
        QCOMPARE(receiver.exitCode, row.exitCode);
        QCOMPARE(filesIn(folder), saved);
        QCOMPARE(filesIn(root.filePath(u"a"_s)), QStringList{u"b"_s});
        QString summaries, lines; // each side's stdout, and what sha256sum -c reads in the folder
        for (const QString &name : saved) {
            const QByteArray content = files.isEmpty() ? "hello" : readFile(root.filePath(name));
            const QString hash = QString::fromLatin1(
                QCryptographicHash::hash(content, QCryptographicHash::Sha256).toHex());
            QCOMPARE(readFile(folder + u'/' + name), content);
            summaries += name + u": %1 bytes, SHA-256 "_s.arg(content.size()) + hash + u'\n';
            lines += hash + u"  "_s + name + u'\n';
        }
        QCOMPARE(readFile(sums), options.contains(u"sha256"_s) ? lines.toUtf8() : "<missing>");
        const QRegularExpression timing(u" in [^,]+, [^,\n]+"_s);
        for (const QBuffer *out : {&receiver.out, sender ? &sender->out : &receiver.out})
            QCOMPARE(QString::fromUtf8(out->data()).remove(timing), summaries);
        const QByteArray shown =
            receiver.err.data() + program.err + (sender ? sender->err.data() : "");
        for (const QByteArray &said : row.said.split('|'))
            QVERIFY2(shown.contains(said) && !shown.contains('\x1b') && !shown.contains("\u202e"),
                     shown.constData());
    }
};

QTEST_MAIN(tst_Cli)
#include "tst_cli.moc"
