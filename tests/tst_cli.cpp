#include "cli/safefilename.h"
#include "support/childprocess.h"
#include "support/scriptedpeer.h"
#include "support/testing.h"

#include <QCryptographicHash>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>

using namespace corvane::test;
using namespace Qt::StringLiterals;

// corvane-cli with command's arguments (RECEIVE: "receive" into a new folder with a sums file
// on PORTS, two free ports; BUSY: a port in use), its input the answers, then its end ("?...":
// left open). sent: sizes of files from corvane-cli send (Ctrl-C to the "?send"er or the
// "?receive"r while asked), or an announcement from a peer, then "hello".
struct Run
{
    QByteArray command;
    int exitCode;
    QByteArray said, sent = {}, answers = {}, saved = {}; // said: "|" between; saved: " "
    int sendExit = 0;
    const char *name = nullptr; // the command when not given
};
Q_DECLARE_METATYPE(Run)

class tst_Cli : public QObject
{
    Q_OBJECT

    QTcpServer occupant; // holds a port, so that listening there fails
    static void row(const Run &r) { QTest::newRow(r.name ? r.name : r.command.constData()) << r; }

private slots:
    void initTestCase() { QVERIFY(occupant.listen()); }

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
    // Beside r.txt, r (1).txt, s.txtTMP, .rc, a link t.txt to nothing and a folder u.txt.
    void choosePath()
    {
        QFETCH(QString, name);
        QFETCH(bool, overwrite);
        QFETCH(QString, chosen);
        QTemporaryDir root;
        const QString folder = root.path() + u'/';
        for (const QString &file : {u"r.txt"_s, u"r (1).txt"_s, u"s.txtTMP"_s, u".rc"_s})
            QVERIFY(QFile(folder + file).open(QIODevice::WriteOnly));
        QVERIFY(QFile::link(u"gone"_s, folder + u"t.txt"_s) && QDir(folder).mkdir(u"u.txt"_s));
        QString problem;
        const QString path =
            corvane::SafeFileName::choosePath(root.path(), name, overwrite, &problem);
        QCOMPARE(std::pair(path.mid(folder.size()), problem.isEmpty()),
                 std::pair(chosen, !chosen.isEmpty()));
    }

    void run_data()
    {
        QTest::addColumn<Run>("row");
        row({"", 2, "corvane-cli: no command given\nTry 'corvane-cli --help'"});
        row({"send f", 2, "no receiver given (--to HOST)\nTry 'corvane-cli send --help'"});
        row({"send f --to h --chunk-size 16777217", 2,
             "invalid value '16777217' for --chunk-size (expected 1 to 16777216)\nTry 'corvane"});
        row({"receive --into /none", 2, "not a folder: /none\nTry 'corvane-cli receive --help'"});
        row({"--help", 0, "corvane-cli send FILE... --to HOST [options]\n"});
        row({"receive -h", 0, "info channel (default 1700)."});
        row({"--version", 0, "corvane-cli 1.0.0\n"});
        row({"send /none --to h", 1, "corvane-cli: cannot read \"/none\": no such file\n"});
        row({"send /dev/null --to 127.0.0.1 PORTS", 1, "corvane-cli: cannot connect to 127.0.0.1"});
        row({"RECEIVE --info-port BUSY", 1, "corvane-cli: cannot listen on info port BUSY: "});
        row({"RECEIVE --binary-port BUSY", 1, "corvane-cli: cannot listen on binary port BUSY: "});
        row({"RECEIVE --yes --count 4", 0, "", "1 0 100003 3145745", "", "f0 f1 f2 f3"});
        row({"RECEIVE", 0,
             "Accept \"f0\" (5 bytes) from 127.0.0.1? [y/N] sure\n|the receiver refused \"f0\"|"
             "Refused \"f2\": no answer, the input has ended (--yes accepts without asking)",
             "5 5 5", "sure\n Yes \n", "f1", 1, "answers"});
        row({"RECEIVE", 0, "cancelled; \"f0\" was not sent\n", "5", "?send", "", 130,
             "sender interrupted"});
        row({"RECEIVE", 0, "the receiver closed the connection; \"f0\" was not confirmed", "5",
             "?receive", "", 1, "receiver interrupted"});
        row({"RECEIVE --yes", 0,
             "Saving \"../../a\\x01\\x0ab\\x1b[2J\\x00c\\u202e.txt\" as \"ab[2Jc.txt\"",
             "FIS5|0@../../a\x01\nb\x1b[2J\0c\u202e.txt"_ba, "", "ab[2Jc.txt", 0, "hostile name"});
        row({"RECEIVE --yes", 0, "Refused \"\": not a usable file name", "FIS5|0@", "", "", 0,
             "empty"});
        row({"RECEIVE --yes", 1, "corvane-cli: cannot save \"huge\": ",
             "FIS1152921504606846976|0@huge", "", "", 0, "too large for the disk"});
        row({"RECEIVE --yes", 130, "corvane-cli: cancelled; \"part\" was not saved",
             "FIS1000|0@part", "", "", 0, "interrupted"});
    }
    void run()
    {
        QFETCH(Run, row);
        // The folder lies two levels down, so "../../x" would land inside the temporary tree.
        QTemporaryDir root;
        const QString folder = root.filePath(u"a/b/into"_s), sums = root.filePath(u"sums"_s);
        const QByteArray busy = QByteArray::number(occupant.serverPort());
        QTcpServer first, second; // for two ports free a moment ago
        QVERIFY(first.listen() && second.listen());
        const int info = first.serverPort(), binary = second.serverPort();
        const QString ports = u" --info-port %1 --binary-port %2 "_s.arg(info).arg(binary);
        first.close(), second.close();
        const QStringList saved = QString::fromUtf8(row.saved).split(u' ', Qt::SkipEmptyParts);
        const bool peered = row.sent.startsWith("FIS");
        ChildProcess cli, sender;
        ScriptedPeer peer;
        QVERIFY(QDir().mkpath(folder) && !writeFile(sums, {}).isEmpty());
        QString command = QString::fromUtf8(row.command);
        command.replace(u"RECEIVE"_s,
                        u"receive --into %1 --sha256-file %2 PORTS"_s.arg(folder, sums));
        command.replace(u"PORTS"_s, ports).replace(u"BUSY"_s, QString::fromLatin1(busy));
        cli.start(QStringLiteral(CORVANE_CLI_PATH), command.split(u' ', Qt::SkipEmptyParts));
        if (!row.answers.startsWith('?'))
            cli.process.write(row.answers), cli.process.closeWriteChannel();
        QVERIFY(row.sent.isEmpty() || cli.waitForOutput("Listening on"));
        if (peered) {
            QVERIFY(peer.connectInfo(info) && peer.waitForInfo("CNT") &&
                    peer.connectBinary(binary));
            peer.say(row.sent);
            QVERIFY(waitUntil([&] { return peer.infoBytes.size() == 6; }));
            peer.send(peer.infoBytes.endsWith("ACP") ? "hello" : "");
            QVERIFY(saved.isEmpty() || peer.waitForInfo("CNTACPRFC"));
        } else if (!row.sent.isEmpty()) {
            QString send = u"send --to 127.0.0.1 --chunk-size 1000"_s + ports;
            for (int n = 0; const QByteArray &s : row.sent.split(' ')) // files f0, f1, ...
                send += writeFile(root.filePath(u"f%1"_s.arg(n++)), randomBytes(s.toInt())) + u' ';
            sender.start(QStringLiteral(CORVANE_CLI_PATH), send.split(u' ', Qt::SkipEmptyParts));
        }
        const qint64 pid = (row.answers == "?send" ? sender : cli).process.processId();
        if (row.answers.startsWith('?')) // Ctrl-C to one side while the receiver asks
            QVERIFY(cli.waitForOutput("[y/N]") && pid > 0 && ::kill(pid_t(pid), SIGINT) == 0);
        QVERIFY(row.answers == "?receive" || sender.finish());
        QString summaries, lines; // each side's stdout, and what sha256sum -c reads in the folder
        for (const QString &name : saved) {
            const QByteArray content = peered ? "hello" : readFile(root.filePath(name));
            const QString hash = QString::fromLatin1(
                QCryptographicHash::hash(content, QCryptographicHash::Sha256).toHex());
            summaries += name + u": %1 bytes, SHA-256 "_s.arg(content.size()) + hash + u'\n';
            lines += hash + u"  "_s + name + u'\n';
        }
        // Read while the receiver still runs: its lines must not wait for its exit.
        QCOMPARE(readFile(sums), lines.toUtf8());
        if (!row.sent.isEmpty() && !row.command.contains("--count") && row.answers != "?receive")
            cli.process.terminate();
        QVERIFY(sender.finish() && cli.finish());
        QCOMPARE(std::pair(cli.exitCode(), sender.exitCode()),
                 std::pair(row.exitCode, row.sendExit));
        QCOMPARE(filesIn(folder), saved);
        const bool text = row.sent.isEmpty() && !row.exitCode; // help and version, on stdout alone
        const QRegularExpression timing(u" in [^,]+, [^,\n]+"_s);
        for (const QByteArray &out : {text ? cli.err : cli.out, peered ? cli.out : sender.out})
            QCOMPARE(QString::fromUtf8(out).remove(timing), text ? QString() : summaries);
        // The receiver's own line comes first (no platform warnings); names show no raw escapes.
        const QByteArray shown = text ? cli.out : cli.err + sender.err;
        for (QByteArray said : row.said.split('|'))
            QVERIFY2(shown.contains(said.replace("BUSY", busy)) && !shown.contains('\x1b') &&
                         !shown.contains("\u202e") &&
                         (row.sent.isEmpty() || shown.startsWith("Listening on")),
                     shown.constData());
    }
};

QTEST_MAIN(tst_Cli)
#include "tst_cli.moc"
