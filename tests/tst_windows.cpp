#include "demo/componentlibrary.h"
#include "demo/frmreceiver.h"
#include "demo/frmsender.h"
#include "demo/transferdisplay.h"
#include "demo/windowdialogs.h"
#include "library/componentfactory.h"
#include "receiver/binaryreceiver.h"
#include "sender/binarysender.h"
#include "support/testing.h"

#include <QtNetwork>
#include <QtTest>
#include <QtWidgets>

using namespace corvane;
using namespace corvane::test;
using namespace Qt::StringLiterals;

namespace {

const qint64 Size = 16 << 20; // more than the sockets hold, so a file is cancelled mid-way

template<typename T = QWidget>
T *find(QWidget *window, const char *name)
{
    return window->findChild<T *>(QString::fromLatin1(name));
}

// The text is these lines ("|" between, CR LF after each); "*" is any text, "~" any lines.
bool logIs(const QString &text, const QString &lines)
{
    static const QString sha = QString::fromLatin1(
        QCryptographicHash::hash(randomBytes(Size), QCryptographicHash::Sha256).toHex());
    static const QHash<QString, QString> blocks = {
        {u"C"_s, u"<Sender Control> connected to [127.0.0.1] successfully."_s},
        {u"R"_s, u"Connection Request from [127.0.0.1]"_s},
        {u"?"_s, u"A file sending request from 127.0.0.1 is made. Do you want to accept it?"_s},
        {u"lost"_s, u"Connection to [127.0.0.1] lost at *"_s},
        {u"A"_s, u"File Information Sent to 127.0.0.1|File Name= x.bin|File Size(in bytes)= "
                 u"16777216|Waiting for receiver[127.0.0.1] ready signal..."_s},
        {u"Q"_s, u"Send Request from [127.0.0.1]|File Name= x.bin|File Size(in bytes)= 16777216"_s},
        {u"sent"_s, u"Sending command accepted by [127.0.0.1]|File Sending Started at *|Now "
                    u"sending file [*/x.bin]"_s},
        {u"done"_s, u"File Sending Complete at *|SHA-256: "_s + sha},
        {u"saving"_s, u"Accepted Send Request at *|Saving file to [*/x.bin.copy]"_s},
        {u"saved"_s, u"File Receive Complete at *|SHA-256: "_s + sha}};
    QStringList expanded;
    for (const QString &block : lines.split(u'|', Qt::SkipEmptyParts))
        expanded << blocks.value(block, block).split(u'|');
    const QString pattern = QRegularExpression::escape(expanded.join(u"\r\n"_s) + u"\r\n"_s)
                                .replace("\\*"_L1, ".+"_L1)
                                .replace(u"\\~\\\r\\\n"_s, u"(?:.*\r\n)*"_s);
    return QRegularExpression(QRegularExpression::anchoredPattern(pattern)).match(text).hasMatch();
}

// A receiver window on free ports and a sender window aimed at it (open() makes those missing),
// logging their dialogs: "title: text", the question, "save <name>"; paths answer file dialogs.
struct Windows final : WindowDialogs
{
    using Paths = std::function<void(const QStringList &)>;
    QString shown;
    QStringList paths;
    std::function<void(bool)> pending;
    bool inside = false; // a dialog opened inside the event that asked for it
    qsizetype requests = 0;
    std::unique_ptr<frmReceiver> receiver;
    std::unique_ptr<frmSender> sender;

    void log(const QString &line) { shown += line + u"\r\n"_s; }
    void showError(QWidget *, const QString &t, const QString &x) override { log(t + u": "_s + x); }
    void askYesNo(QWidget *, const QString &question, std::function<void(bool)> answer) override
    {
        log(question);
        pending = std::move(answer);
    }
    void chooseFileToOpen(QWidget *, const QString &, Paths chosen) override { chosen(paths); }
    void chooseFileToSave(QWidget *, const QString &, const QString &name,
                          std::function<void(const QString &)> chosen) override
    {
        log(u"save "_s + name);
        chosen(paths.isEmpty() ? QString() : paths.takeLast());
    }
    bool open(bool lateBound = false)
    {
        static ComponentLibrary library;
        static const bool loaded = library.load({QStringLiteral(CORVANE_LIBRARY_DIR)});
        const ComponentFactory make =
            lateBound ? loaded ? library.factory() : nullptr : ComponentFactory(&createComponent);
        if (!receiver) { // once the window has handled the request, its question is not out yet
            receiver = std::make_unique<frmReceiver>(make, this, 0, 0);
            auto *rc = qobject_cast<BinaryReceiver *>(receiver->component());
            QObject::connect(rc, &BinaryReceiver::SendRequest, rc,
                             [this] { inside |= shown.count("Do you want"_L1) > requests++; });
        }
        if (!sender) { // nor its error box
            sender = std::make_unique<frmSender>(make, this);
            QObject::connect(qobject_cast<BinarySender *>(sender->component()),
                             &BinarySender::Error, sender.get(),
                             [this](short number, QString &text) {
                                 inside |= shown.endsWith(u"%1: %2\r\n"_s.arg(number).arg(text));
                             });
        }
        QObject *from = sender->component(), *to = receiver->component();
        return receiver->isListening() && from &&
               from->setProperty("RemotePortInfo", to->property("LocalPortInfo")) &&
               from->setProperty("RemotePortBinary", to->property("LocalPortBinary"));
    }
    QPushButton *button(const char *name) const
    {
        QPushButton *own = sender ? find<QPushButton>(sender.get(), name) : nullptr;
        return own ? own : find<QPushButton>(receiver.get(), name);
    }
    QString seen() const
    {
        return sender->eventLog() + u"--\r\n"_s + receiver->eventLog() + u"--\r\n"_s + shown;
    }
};

} // namespace

class tst_Windows : public QObject
{
    Q_OBJECT

private slots:
    void atLoad();
    void transfer_data();
    void transfer();
};

void tst_Windows::atLoad()
{
    const std::tuple<bool, const char *, const char *, QRect> controls[] = {
        {true, "frmSender", "Sender Form", {0, 0, 5880, 6615}},
        {true, "cmdConnect", "&Connect to remote receiver", {120, 240, 2295, 285}},
        {false, "frmReceiver", "Receiver Form", {0, 0, 5880, 6585}},
        {false, "cmdSetTarget", "!Set Save &Target", {2400, 840, 3135, 285}},
        {false, "lblPercentage", "Percentage: ", {3120, 480, 1815, 255}}};
    Windows w;
    QVERIFY(w.open());
    for (const auto &[sender, name, caption, twips] : controls) {
        QWidget *window = sender ? static_cast<QWidget *>(w.sender.get()) : w.receiver.get();
        QWidget *control =
            window->objectName() == QLatin1StringView(name) ? window : find(window, name);
        QVERIFY2(control &&
                     control->property(control->isWindow() ? "windowTitle" : "text") ==
                         QLatin1StringView(caption + (caption[0] == '!')) &&
                     control->geometry() == QRect(twips.topLeft() / 15, twips.size() / 15) &&
                     control->isEnabledTo(control->parentWidget()) == (caption[0] != '!'),
                 name);
    }
    QTcpServer occupant; // a receiver whose port is taken says so
    QVERIFY(occupant.listen(QHostAddress::Any));
    frmReceiver receiver(&createComponent, &w, occupant.serverPort(), 0);
    QTRY_VERIFY(
        logIs(w.shown, u"Not listening: *port %1 (info)*10048*"_s.arg(occupant.serverPort())));

    // Done of total: the label's text ("before": kept), the bar's maximum (77: kept) and value;
    // beyond 2 GiB the bar counts in larger steps, as its range is an int.
    const qint64 GiB = qint64(1) << 30;
    const std::tuple<qint64, qint64, const char *, int, int> rows[] = {
        {0, 1000, "0%", 1000, 0},         {500, 1000, "50%", 1000, 500},
        {999, 1000, "99%", 1000, 999},    {1000, 1000, "100%", 1000, 1000},
        {29, 100, "29%", 100, 29},        {0, 0, "before", 77, 0},
        {1500, 1000, "100%", 1000, 1000}, {3 * GiB, 6 * GiB, "50%", 6 * GiB / 4, 3 * GiB / 4}};
    for (const auto &[done, total, shown, maximum, value] : rows) {
        QProgressBar bar;
        bar.setMaximum(77);
        QLabel bytes, percent(u"before"_s);
        showTransferStatus(&bar, &bytes, &percent, done, total);
        QCOMPARE(percent.text(), QLatin1StringView(shown));
        QCOMPARE(QPoint(bar.maximum(), bar.value()), QPoint(maximum, value));
        QCOMPARE(bytes.text(), QString::number(done));
    }
}

void tst_Windows::transfer_data()
{
    // The steps; the sender's log, the receiver's log, the dialogs shown (see logIs).
    QTest::addColumn<QString>("script");
    QTest::newRow("library")
        << u"library,connect,send,yes x.bin.copy;C|A|sent|done;R|Q|saving|saved;?|save x.bin"_s;
    // Three files in a row, one refused, one cancelled by the sender; then the receiver cancels.
    QTest::newRow("queue, cancels")
        << u"connect,send a.bin b.bin c.bin,no,yes b.copy,yes c.copy,cancel sender,connect,send,"
           u"yes x.bin.copy,cancel receiver,connect,send,yes x.bin.copy;C|Sending file 1 of 3|~|"
           u"Sending command refused by [127.0.0.1]|Sending file 2 of 3|~|done|"
           u"Sending file 3 of 3|~|File Sending Cancelled at *|Not sent: */c.bin|C|A|sent|~|"
           u"lost|C|A|sent|done;R|~|saved|~|Receive Error 30003: *|Sender disconnected at *|R|Q|"
           u"saving|File Receive Cancelled at *|R|Q|saving|saved;?|?|save b.bin|?|save */c.bin|"
           u"?|save */x.bin|~|?|save */x.bin"_s;
    // New windows remember the host, chunk size and folder, and nothing else.
    QTest::newRow("remembered")
        << u"host 127.0.0.2,connect,chunk 65536,send,yes x.bin.copy,reopen,connect,send,"
           u"yes x.bin.copy;<Sender Control> connected to [127.0.0.2] successfully.|~|done;~|"
           u"saved;?|save x.bin|?|save */x.bin"_s;
    // Bad inputs refused; an unsafe name; no save path, then Set Save Target.
    QTest::newRow("refusals")
        << u"connect,chunk 4k,send,chunk 16777217,send,chunk 4096,send /missing,send /,"
           u"send bell\u0007and\ttab\u202E.txt,yes,target copy;C|File Information Sent to *|"
           u"File Name= bell\\x07and\\x09tab\\u202e.txt|~|done;R|Send Request from *|"
           u"File Name= bell\\x07and\\x09tab\\u202e.txt|~|saved;Cannot send the file: The "
           u"chunk size *|*chunk size*|*/missing does not exist*|*/ is not a regular file*|"
           u"?|save bellandtab.txt|save bellandtab.txt"_s;
    // The source vanishes once announced, the receiver's disk fills: each ends the session.
    for (int run = 0; run < qMax(qEnvironmentVariableIntValue("CORVANE_DISKFULL_RUNS"), 1); ++run)
        QTest::addRow("failures %d", run)
            << u"connect,send,vanish,yes x.bin.copy,connect,send,diskfull,yes x.bin.copy,"
               u"connect,send,yes x.bin.copy;C|A|sent|Send Error *|lost|C|A|sent|~|lost|C|A|"
               u"sent|done;R|Q|saving|~|Sender disconnected at *|R|Q|saving|Receive Error 61: *|"
               u"Sender disconnected at *|R|Q|saving|saved;?|save x.bin|*|?|save */x.bin|*|?|"
               u"save */x.bin"_s;
    // A window goes while its question waits; connecting fails until a receiver is back.
    QTest::newRow("lost")
        << u"connect,send,asked,closeSender,yes x.bin.copy,connect,send,asked,closeReceiver,"
           u"connect,send,yes x.bin.copy;C|A|lost|C|A|sent|done;R|Q|saving|saved;?|?|~|"
           u"Connection lost: *|10061: *|?|save x.bin"_s;
}

void tst_Windows::transfer()
{
    QFETCH(QString, script);
    const QStringList steps = script.section(u';', 0, 0).split(u',');
    const QString expected = script.section(u';', 1).replace(u';', u"|--|"_s);
    const QByteArray content = randomBytes(Size);
    QTemporaryDir dir, src;                   // what the receiver saved, what the sender sent
    QStandardPaths::setTestModeEnabled(true); // the windows' settings are this test's own
    QSettings().clear();
    const auto unlimit = qScopeGuard([] { limitFileSize(-1); });
    Windows w;
    QVERIFY2(w.open(steps[0] == "library"_L1), "the component library did not load");
    for (const QString &step : steps) {
        const QString verb = step.section(u' ', 0, 0), arg = step.section(u' ', 1);
        if (verb == "connect"_L1) { // once both windows are ready for it
            QTRY_VERIFY(w.open() && w.button("cmdConnect")->isEnabled());
            limitFileSize(-1);
            w.button("cmdConnect")->click();
            QTRY_VERIFY(logIs(w.receiver->eventLog(), u"~|Connection Request from *"_s));
        } else if (verb == "send"_L1) { // Browse for the files (x.bin by default), then Send
            w.paths.clear();            // absolute paths are not written
            for (const QString &name : (arg.isEmpty() ? u"x.bin"_s : arg).split(u' '))
                w.paths << (name.startsWith(u'/') ? name : writeFile(src.filePath(name), content));
            w.button("cmdBrowse")->click();
            w.button("cmdSend")->click();
        } else if (verb == "yes"_L1 || verb == "no"_L1) { // the path chosen, "" none
            QTRY_VERIFY(w.pending);
            w.paths << (arg.isEmpty() ? QString() : dir.filePath(arg));
            std::exchange(w.pending, nullptr)(verb == "yes"_L1);
        } else if (verb == "cancel"_L1) { // Escape in that window once the bytes arrive
            QWidget *window =
                arg == "sender"_L1 ? static_cast<QWidget *>(w.sender.get()) : w.receiver.get();
            window->show();
            QVERIFY(QTest::qWaitForWindowActive(window));
            auto *rc = qobject_cast<BinaryReceiver *>(w.receiver->component());
            QVERIFY(QSignalSpy(rc, &BinaryReceiver::ReceiveProgress).wait());
            // The time left is unknown until a speed comes in, then shows on the tick.
            auto *label = find<QLabel>(w.receiver.get(), "lblTimeLeft");
            QCOMPARE(label->text(), "Time left: --"_L1);
            emit rc->SpeedRecord(1024);
            QMetaObject::invokeMethod(find<QTimer>(w.receiver.get(), "tmrStatus"), "timeout");
            QVERIFY(label->text().contains(QRegularExpression(u"^Time left: 0:1\\d$"_s)));
            QTest::keyClick(window, Qt::Key_Escape);
        } else if (verb == "reopen"_L1) { // new windows: the host shows in the log
            w.sender.reset();
            w.receiver.reset();
            QVERIFY(w.open() && QSettings().allKeys().size() == 3 &&
                    find<QLineEdit>(w.sender.get(), "txtChunkSize")->text() == "65536"_L1);
        } else if (verb == "host"_L1 || verb == "chunk"_L1) {
            find<QLineEdit>(w.sender.get(), verb == "host"_L1 ? "txtRemoteHost" : "txtChunkSize")
                ->setText(arg);
        } else if (verb == "target"_L1) { // Set Save Target, once the window's box is shown
            QTRY_VERIFY(w.button("cmdSetTarget")->isEnabled());
            settle();
            w.paths << dir.filePath(arg);
            w.button("cmdSetTarget")->click();
        } else if (verb == "closeReceiver"_L1) { // then connecting fails until it is back
            w.receiver.reset();
            w.pending = nullptr;
            QTRY_VERIFY(w.button("cmdConnect")->isEnabled());
            w.button("cmdConnect")->click();
            QTRY_VERIFY(w.button("cmdConnect")->isEnabled());
        } else if (verb == "closeSender"_L1) {
            w.sender.reset();
            QTRY_VERIFY(w.receiver->eventLog().contains("Sender disconnected"_L1));
        }
        QVERIFY(verb != "asked"_L1 || waitUntil([&] { return bool(w.pending); }));
        QVERIFY(verb != "vanish"_L1 || QFile::remove(src.filePath(u"x.bin"_s)));
        if (verb == "diskfull"_L1)
            limitFileSize(256 * 1024);
    }

    // The logs and dialogs come to what they should and stay there.
    QTRY_VERIFY2_WITH_TIMEOUT(logIs(w.seen(), expected), qPrintable(w.seen()), 20000);
    settle();
    QVERIFY2(logIs(w.seen(), expected), qPrintable(w.seen()));
    // Nothing partial stays: each file saved is a whole copy.
    const QStringList copies = filesIn(dir.path());
    QCOMPARE(copies.size(), w.receiver->eventLog().count("Complete"_L1));
    for (const QString &name : copies)
        QVERIFY2(readFile(dir.filePath(name)) == content, qPrintable(name));
    for (ComponentWindow *window :
         std::initializer_list<ComponentWindow *>{w.sender.get(), w.receiver.get()}) {
        auto *field = find<QPlainTextEdit>(window, "txtEventLog");
        QCOMPARE(field->toPlainText(), QString(window->eventLog()).replace("\r\n"_L1, "\n"_L1));
        QVERIFY(field->textCursor().atEnd() && !find<QTimer>(window, "tmrStatus")->isActive() &&
                find<QLabel>(window, "lblTimeLeft")->text().isEmpty() &&
                !find<QPushButton>(window, "cmdCancel")->isEnabled() &&
                find<QProgressBar>(window, "pb")->value() == 0 &&
                (copies.isEmpty() || find<QLabel>(window, "lblPercentage")->text() == "100%"_L1));
    }
    QVERIFY(!w.button("cmdSetTarget")->isEnabled() && !w.button("cmdConnect")->isEnabled());
    QVERIFY(w.button("cmdSend")->isEnabled() && !w.inside);
}

QTEST_MAIN(tst_Windows)
#include "tst_windows.moc"
