#include "cli/console.h"
#include "cli/invocation.h"
#include "cli/safefilename.h"
#include "support/childprocess.h"
#include "support/scriptedpeer.h"
#include "support/testing.h"

#include <QtTest>

#include <csignal>
#include <unistd.h>

using namespace corvane;
using namespace corvane::test;
using namespace Qt::StringLiterals;

// corvane-cli receive in this process, into a folder with a sums file, from the real corvane-cli
// send (files f0, f1... of these sizes) or a scripted peer that sends "hello" once accepted.
struct Run
{
    QString opts = {}; // for receive
    QList<int> sizes = {};
    QString sends = {}; // more arguments for send
    QByteArray peer = {};
    QByteArray typed = {};  // the answers; then the input ends unless an interrupt comes
    bool interrupt = false; // the receiver, once it has asked
    bool sigint = false;    // to the sender, once the receiver asks
    int sent = 0;           // corvane-cli send's exit code
    QStringList saved = {};
    int code = 0;            // the receiver's exit code
    QByteArrayList err = {}; // on stderr, by either side
};
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
        const QString folder = root.path() + u'/';
        for (const QString &file : {u"r.txt"_s, u"r (1).txt"_s, u"s.txtTMP"_s, u".rc"_s})
            QVERIFY(!writeFile(folder + file, {}).isEmpty());
        QVERIFY(QFile::link(u"gone"_s, folder + u"t.txt"_s) && QDir(folder).mkdir(u"u.txt"_s));
        QString problem;
        QCOMPARE(SafeFileName::choosePath(root.path(), name, overwrite, &problem),
                 chosen.isEmpty() ? chosen : folder + chosen);
    }

    void run_data()
    {
        QTest::addColumn<Run>("row");
        const QString busy = QString::number(occupant.serverPort());
        QTest::newRow("chunk limit") << Run{
            .sizes = {5}, .sends = u"--chunk-size 16777217"_s, .sent = 2, .err = {"16777216)"}};
        QTest::newRow("missing file") << Run{
            .sizes = {5}, .sends = u"/none"_s, .sent = 1, .err = {"\"/none\": no such file"}};
        QTest::newRow("binary port in use") << Run{
            .opts = u"--binary-port "_s + busy, .code = 1, .err = {"binary port " + busy.toUtf8()}};
        QTest::newRow("answers") << Run{
            .sizes = {5, 0, 5},
            .typed = "sure\n Yes \n",
            .sent = 1,
            .saved = {u"f1"_s},
            .err = {"Accept \"f0\" (5 bytes) from 127.0.0.1? [y/N] sure\n",
                    "the receiver refused \"f0\"", "\"f2\": no answer, the input has ended"}};
        QTest::newRow("Ctrl-C to the sender") << Run{
            .sizes = {5}, .sigint = true, .sent = 130, .err = {"cancelled; \"f0\" was not sent"}};
        QTest::newRow("receiver interrupted when asking") << Run{
            .sizes = {5}, .interrupt = true, .sent = 1, .err = {"closed the connection; \"f0\""}};
        QTest::newRow("hostile name")
            << Run{.opts = u"--yes --count 1"_s,
                   .peer = "FIS5|0@../../a\x01\nb\x1b[2J\0c\u202e.txt"_ba,
                   .saved = {u"ab[2Jc.txt"_s},
                   .err = {"\"../../a\\x01\\x0ab\\x1b[2J\\x00c\\u202e.txt\" as \"ab[2Jc.txt\""}};
        QTest::newRow("receiver interrupted mid-file")
            << Run{.peer = "FIS1000|0@part",
                   .typed = "y\n",
                   .interrupt = true,
                   .code = 130,
                   .err = {"cancelled; \"part\" was not saved"}};
    }
    void run()
    {
        QFETCH(Run, row);
        QTemporaryDir root; // the folder lies two levels down, so "../../x" would land in root
        const QString folder = root.filePath(u"a/b/into"_s), sums = root.filePath(u"sums"_s);
        QTcpServer info, binary; // for two ports free a moment ago
        QVERIFY(info.listen() && binary.listen() && QDir().mkpath(folder) &&
                !writeFile(sums, {}).isEmpty());
        const QStringList ports{u"--info-port"_s, QString::number(info.serverPort()),
                                u"--binary-port"_s, QString::number(binary.serverPort())};
        info.close(), binary.close();
        const bool stops = row.interrupt || row.sigint; // the input stays open for them
        int fds[2] = {-1, -1};                          // a pipe holding the answers typed ahead
        QVERIFY(::pipe(fds) == 0 &&
                ::write(fds[1], row.typed.data(), size_t(row.typed.size())) == row.typed.size());
        if (!stops)
            ::close(std::exchange(fds[1], -1));
        QBuffer out, err;
        out.open(QIODevice::WriteOnly), err.open(QIODevice::WriteOnly);
        Console console(fds[0], &out, &err);
        Invocation cli(QStringList{u"corvane-cli"_s, u"receive"_s, u"--into"_s, folder,
                                   u"--sha256-file"_s, sums} +
                           ports + row.opts.split(u' ', Qt::SkipEmptyParts),
                       console);
        int code = -1;
        connect(&cli, &Invocation::finished, this, [&code](int value) { code = value; });
        cli.start();
        ScriptedPeer peer;
        if (!row.peer.isEmpty()) {
            QVERIFY(peer.connectInfo(ports[1].toInt()) && peer.waitForInfo("CNT") &&
                    peer.connectBinary(ports[3].toInt()));
            peer.say(row.peer);
            QTRY_COMPARE(peer.infoBytes.size(), 6); // the answer
            peer.send(peer.infoBytes.endsWith("ACP") ? "hello" : "");
            QVERIFY(row.saved.isEmpty() || peer.waitForInfo("CNTACPRFC"));
        }
        QStringList send = QStringList{u"send"_s, u"--to"_s, u"127.0.0.1"_s} + ports;
        for (int n = 0; n < row.sizes.size(); ++n)
            send << writeFile(root.filePath(u"f%1"_s.arg(n)), randomBytes(row.sizes[n], n));
        ChildProcess sender; // the real program: its signal handling and a quiet start
        if (!row.sizes.isEmpty())
            sender.start(QStringLiteral(CORVANE_CLI_PATH),
                         send + row.sends.split(u' ', Qt::SkipEmptyParts));
        QTRY_VERIFY_WITH_TIMEOUT(!stops || err.data().contains("[y/N]"), 20000);
        if (row.interrupt)
            cli.interrupt();
        QVERIFY(!row.sigint || ::kill(pid_t(sender.process.processId()), SIGINT) == 0);
        QVERIFY2(sender.finish() && sender.exitCode() == row.sent &&
                     (!row.sigint || sender.err.startsWith("Connected to 127.0.0.1")),
                 sender.err.constData());
        if (!row.opts.contains(u"--count"_s))
            cli.interrupt();
        QTRY_COMPARE_WITH_TIMEOUT(code, row.code, 20000);
        ::close(fds[0]), ::close(fds[1]);
        QCOMPARE(filesIn(folder), row.saved);
        QString summaries, lines; // each side's stdout, and what sha256sum -c reads in the folder
        for (const QString &name : row.saved) {
            const QByteArray content = row.peer.isEmpty() ? readFile(root.filePath(name)) : "hello";
            const QString hash = QString::fromLatin1(
                QCryptographicHash::hash(content, QCryptographicHash::Sha256).toHex());
            summaries += name + u": %1 bytes, SHA-256 "_s.arg(content.size()) + hash + u'\n';
            lines += hash + u"  "_s + name + u'\n';
        }
        QCOMPARE(readFile(sums), lines.toUtf8()); // the run still exists: flushed lines only
        const QRegularExpression timing(u" in [^,]+, [^,\n]+"_s);
        QCOMPARE(QString::fromUtf8(out.data() + sender.out).remove(timing), // receiver, sender
                 summaries.repeated(row.sizes.isEmpty() ? 1 : 2));
        const QByteArray shown = err.data() + sender.err;
        for (const QByteArray &said : row.err)
            QVERIFY2(shown.contains(said) && !shown.contains('\x1b') && !shown.contains("\u202e"),
                     shown.constData());
    }
};

QTEST_MAIN(tst_Cli)
#include "tst_cli.moc"
