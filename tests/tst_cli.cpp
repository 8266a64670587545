#include "cli/console.h"
#include "cli/invocation.h"
#include "cli/safefilename.h"
#include "support/childprocess.h"
#include "support/scriptedpeer.h"
#include "support/testing.h"

#include <QBuffer>
#include <QCryptographicHash>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>
#include <optional>
#include <unistd.h>

using namespace corvane;
using namespace corvane::test;
using namespace Qt::StringLiterals;

namespace {

// corvane-cli in this process; its input a pipe with the answers typed ahead, open on request.
struct Cli
{
    Cli(const QStringList &arguments, const QByteArray &answers = {}, bool open = false)
        : run(QStringList{u"corvane-cli"_s} + arguments, console)
    {
        ok = ok && ::write(fds[1], answers.data(), size_t(answers.size())) == answers.size() &&
             (open || ::close(std::exchange(fds[1], -1)) == 0);
        out.open(QIODevice::WriteOnly), err.open(QIODevice::WriteOnly);
        run.start();
    }
    ~Cli() { ::close(fds[0]), ::close(fds[1]); }
    int exitCode() { return ok && (!done.isEmpty() || done.wait(20000)) ? done[0][0].toInt() : -1; }

    int fds[2] = {-1, -1};
    bool ok = ::pipe(fds) == 0;
    QBuffer out, err;
    Console console{fds[0], &out, &err};
    Invocation run;
    QSignalSpy done{&run, &Invocation::finished};
};

// corvane-cli receive in this process, into a new folder two levels down, with a sums file, on
// two free ports; sent files of these sizes by corvane-cli send in this process, or else an
// announcement by a scripted peer that sends "hello" once accepted.
struct Run
{
    QString options = {};
    QString alone = {}; // instead, corvane-cli with just these arguments
    QList<int> sizes = {};
    QByteArray peerSays = {};
    QByteArray answers = {};   // typed ahead; then the input ends unless an interrupt comes
    bool interrupt = false;    // the receiver, once it has asked
    bool sigintSender = false; // the real corvane-cli send instead, once the receiver asks
    QStringList saved = {};
    int exitCode = 0;         // the run's; the sender's is 0 if all were saved, else 1
    QString printed = {};     // on stdout instead of the summaries of the saved files
    QByteArrayList said = {}; // on stderr, by either side
};

} // namespace

Q_DECLARE_METATYPE(Run)

class tst_Cli : public QObject
{
    Q_OBJECT

    QTcpServer occupant; // holds a port, so that listening there fails

private slots:
    void initTestCase() { QVERIFY(occupant.listen()); }

    // In a folder holding r.txt, r (1).txt, s.txtTMP, .rc, a link t.txt to nothing, a folder u.txt.
    void choosePath_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<bool>("overwrite");
        QTest::addColumn<QString>("chosen"); // empty: refused
        QTest::newRow("kept") << u"r.txt"_s << false << u"r (2).txt"_s;
        QTest::newRow("overwrite") << u"r.txt"_s << true << u"r.txt"_s;
        QTest::newRow("temporary twin") << u"s.txt"_s << false << u"s (1).txt"_s;
        QTest::newRow("dangling link") << u"t.txt"_s << false << u"t (1).txt"_s;
        QTest::newRow("never a folder") << u"u.txt"_s << true << u"u (1).txt"_s;
        QTest::newRow("leading dot") << u".rc"_s << false << u".rc (1)"_s;
        QTest::newRow("outside") << u"../r.txt"_s << false << QString();
    }
    void choosePath()
    {
        QFETCH(QString, name);
        QFETCH(bool, overwrite);
        QFETCH(QString, chosen);
        QTemporaryDir root;
        const QString folder = QFileInfo(root.path()).canonicalFilePath() + u'/';
        for (const QString &file : {u"r.txt"_s, u"r (1).txt"_s, u"s.txtTMP"_s, u".rc"_s})
            QVERIFY(!writeFile(folder + file, {}).isEmpty());
        QVERIFY(QFile::link(u"gone"_s, folder + u"t.txt"_s) && QDir(folder).mkdir(u"u.txt"_s));
        QString problem;
        QCOMPARE(SafeFileName::choosePath(folder.chopped(1), name, overwrite, &problem),
                 chosen.isEmpty() ? chosen : folder + chosen);
    }

    void run_data()
    {
        QTest::addColumn<Run>("row");
        const QString busy = QString::number(occupant.serverPort());
        QTest::newRow("chunk limit") << Run{.alone = u"send f --to h --chunk-size 16777217"_s,
                                            .exitCode = 2,
                                            .said = {"(expected 1 to 16777216)"}};
        QTest::newRow("version") << Run{.alone = u"--version"_s,
                                        .printed = u"corvane-cli 1.0.0\n"_s};
        QTest::newRow("missing file") << Run{
            .alone = u"send /none --to h"_s, .exitCode = 1, .said = {"\"/none\": no such file"}};
        QTest::newRow("help") << Run{.options = u"-h"_s, .printed = u"(default 1700)."_s};
        QTest::newRow("info port in use") << Run{.options = u"--info-port "_s + busy,
                                                 .exitCode = 1,
                                                 .said = {"on info port " + busy.toUtf8()}};
        QTest::newRow("binary port in use") << Run{.options = u"--binary-port "_s + busy,
                                                   .exitCode = 1,
                                                   .said = {"on binary port " + busy.toUtf8()}};
        QTest::newRow("answers") << Run{
            .sizes = {5, 0, 5},
            .answers = "sure\n Yes \n",
            .saved = {u"f1"_s},
            .said = {"Accept \"f0\" (5 bytes) from 127.0.0.1? [y/N] sure\n",
                     "the receiver refused \"f0\"", "\"f2\": no answer, the input has ended"}};
        QTest::newRow("Ctrl-C to the real sender")
            << Run{.sizes = {5}, .sigintSender = true, .said = {"cancelled; \"f0\" was not sent"}};
        QTest::newRow("receiver interrupted when asking")
            << Run{.sizes = {5}, .interrupt = true, .said = {"closed the connection; \"f0\""}};
        QTest::newRow("hostile name")
            << Run{.options = u"--yes --count 1"_s,
                   .peerSays = "FIS5|0@../../a\x01\nb\x1b[2J\0c\u202e.txt"_ba,
                   .saved = {u"ab[2Jc.txt"_s},
                   .said = {"\"../../a\\x01\\x0ab\\x1b[2J\\x00c\\u202e.txt\" as \"ab[2Jc.txt\""}};
        QTest::newRow("too large for the disk")
            << Run{.peerSays = "FIS1152921504606846976|0@huge", .answers = "y\n", .exitCode = 1};
        QTest::newRow("receiver interrupted mid-file")
            << Run{.peerSays = "FIS1000|0@part",
                   .answers = "y\n",
                   .interrupt = true,
                   .exitCode = 130,
                   .said = {"cancelled; \"part\" was not saved"}};
    }
    void run()
    {
        QFETCH(Run, row);
        QTemporaryDir root; // the folder lies two levels down, so "../../x" would land in root
        const QString folder = root.filePath(u"a/b/into"_s), sums = root.filePath(u"sums"_s);
        QTcpServer info, binary; // for two ports free a moment ago
        QVERIFY(info.listen() && binary.listen());
        const QStringList ports{u"--info-port"_s, QString::number(info.serverPort()),
                                u"--binary-port"_s, QString::number(binary.serverPort())};
        info.close(), binary.close();
        const bool peered = !row.peerSays.isEmpty(), stops = row.interrupt || row.sigintSender;
        QVERIFY(QDir().mkpath(folder) && !writeFile(sums, {}).isEmpty());
        Cli cli(row.alone.isEmpty()
                    ? QStringList{u"receive"_s, u"--into"_s, folder, u"--sha256-file"_s, sums} +
                          ports + row.options.split(u' ', Qt::SkipEmptyParts)
                    : row.alone.split(u' '),
                row.answers, stops);
        ScriptedPeer peer;
        if (peered) {
            QVERIFY(peer.connectInfo(ports[1].toInt()) && peer.waitForInfo("CNT") &&
                    peer.connectBinary(ports[3].toInt()));
            peer.say(row.peerSays);
            QTRY_COMPARE(peer.infoBytes.size(), 6); // the answer
            peer.send(peer.infoBytes.endsWith("ACP") ? "hello" : "");
            QVERIFY(row.saved.isEmpty() || peer.waitForInfo("CNTACPRFC"));
        }
        QStringList send = QStringList{u"send"_s, u"--to"_s, u"127.0.0.1"_s} + ports;
        for (int n = 0; n < row.sizes.size(); ++n)
            send << writeFile(root.filePath(u"f%1"_s.arg(n)), randomBytes(row.sizes[n], n));
        ChildProcess program; // the real program: its signal handling and a quiet start
        std::optional<Cli> sender;
        if (row.sigintSender)
            program.start(QStringLiteral(CORVANE_CLI_PATH), send);
        else if (!row.sizes.isEmpty())
            sender.emplace(send << u"--chunk-size"_s << u"1000"_s);
        QTRY_VERIFY_WITH_TIMEOUT(!stops || cli.err.data().contains("[y/N]"), 20000);
        if (row.interrupt)
            cli.run.interrupt();
        if (row.sigintSender) {
            QVERIFY(::kill(pid_t(program.process.processId()), SIGINT) == 0 && program.finish());
            QVERIFY2(program.exitCode() == 130 && program.err.startsWith("Connected to 127.0.0.1"),
                     program.err.constData());
        }
        QVERIFY(!sender || sender->exitCode() == (row.saved.size() == row.sizes.size() ? 0 : 1));
        if (!row.options.contains(u"--count"_s))
            cli.run.interrupt();
        QCOMPARE(cli.exitCode(), row.exitCode);
        QCOMPARE(filesIn(folder), row.saved);

        QString summaries, lines; // each side's stdout, and what sha256sum -c reads in the folder
        for (const QString &name : row.saved) {
            const QByteArray content = peered ? "hello" : readFile(root.filePath(name));
            const QString hash = QString::fromLatin1(
                QCryptographicHash::hash(content, QCryptographicHash::Sha256).toHex());
            summaries += name + u": %1 bytes, SHA-256 "_s.arg(content.size()) + hash + u'\n';
            lines += hash + u"  "_s + name + u'\n';
        }
        QCOMPARE(readFile(sums), lines.toUtf8()); // the run still exists: flushed lines only
        const QRegularExpression timing(u" in [^,]+, [^,\n]+"_s);
        const QString out = QString::fromUtf8(cli.out.data()).remove(timing);
        QVERIFY2(row.printed.isEmpty() ? out == summaries : out.contains(row.printed),
                 qPrintable(out));
        QCOMPARE(sender ? QString::fromUtf8(sender->out.data()).remove(timing) : summaries,
                 summaries);
        const QByteArray shown = cli.err.data() + program.err + (sender ? sender->err.data() : "");
        for (const QByteArray &said : row.said)
            QVERIFY2(shown.contains(said) && !shown.contains('\x1b') && !shown.contains("\u202e"),
                     shown.constData());
    }
};

QTEST_MAIN(tst_Cli)
#include "tst_cli.moc"
