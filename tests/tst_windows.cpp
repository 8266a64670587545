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

#include <csignal>
#include <sys/resource.h>

using namespace corvane;
using namespace corvane::test;
using namespace Qt::StringLiterals;

namespace {

const qint64 Size = 2 << 20;
const QString Question =
    u"A file sending request from 127.0.0.1 is made. Do you want to accept it?"_s;

ComponentFactory factory(bool lateBound)
{
    static ComponentLibrary library;
    static const bool loaded = library.load({QStringLiteral(CORVANE_LIBRARY_DIR)});
    return !lateBound ? ComponentFactory(&createComponent) : loaded ? library.factory() : nullptr;
}

template<typename T = QWidget>
T *find(QWidget *window, const char *name)
{
    return window->findChild<T *>(QString::fromLatin1(name));
}
QString text(QWidget *c)
{
    const char *shown = c->isWindow() ? "windowTitle" : c->inherits("QGroupBox") ? "title" : "text";
    return c->property(shown).toString();
}

// The text is exactly these lines ("|" between them), each ended by CR LF: "*" stands for any
// text, "~" for any lines, and a block's name for its lines.
bool logIs(const QString &text, const QString &lines)
{
    static const QHash<QString, QString> blocks = {
        {u"C"_s, u"<Sender Control> connected to [127.0.0.1] successfully."_s},
        {u"R"_s, u"Connection Request from [127.0.0.1]"_s},
        {u"?"_s, Question},
        {u"lost"_s, u"Connection to [127.0.0.1] lost at *"_s},
        {u"A"_s, u"File Information Sent to 127.0.0.1|File Name= x.bin|File Size(in bytes)= "
                 u"2097152|Waiting for receiver[127.0.0.1] ready signal..."_s},
        {u"Q"_s, u"Send Request from [127.0.0.1]|File Name= x.bin|File Size(in bytes)= 2097152"_s},
        {u"sent"_s, u"Sending command accepted by [127.0.0.1]|File Sending Started at *|Now "
                    u"sending file [*/x.bin]"_s},
        {u"done"_s, u"File Sending Complete at *"_s},
        {u"saving"_s, u"Accepted Send Request at *|Saving file to [*/x.bin.copy]"_s},
        {u"saved"_s, u"File Receive Complete at *"_s}};
    QStringList expanded;
    for (const QString &block : lines.split(u'|', Qt::SkipEmptyParts))
        expanded << blocks.value(block, block).split(u'|');
    const QString pattern = QRegularExpression::escape(expanded.join(u"\r\n"_s) + u"\r\n"_s)
                                .replace("\\*"_L1, ".+"_L1)
                                .replace(u"\\~\\\r\\\n"_s, u"(?:.*\r\n)*"_s);
    return QRegularExpression(QRegularExpression::anchoredPattern(pattern)).match(text).hasMatch();
}

// A receiver window on free ports and a sender window aimed at it. Their dialogs are logged
// ("title: text", the question, "save <name>"); file dialogs answer from paths, "" cancelling.
struct Windows final : WindowDialogs
{
    QString shown;
    QStringList paths;
    std::function<void(bool)> pending;
    std::unique_ptr<frmReceiver> receiver;
    std::unique_ptr<frmSender> sender;

    void log(const QString &line) { shown += line + u"\r\n"_s; }
    void showError(QWidget *, const QString &t, const QString &x) override { log(t + u": "_s + x); }
    void askYesNo(QWidget *, const QString &question, std::function<void(bool)> answer) override
    {
        log(question);
        pending = std::move(answer);
    }
    void chooseFileToOpen(QWidget *, const QString &,
                          std::function<void(const QString &)> chosen) override
    {
        chosen(paths.isEmpty() ? QString() : paths.takeFirst());
    }
    void chooseFileToSave(QWidget *parent, const QString &filter, const QString &name,
                          std::function<void(const QString &)> chosen) override
    {
        log(u"save "_s + name);
        chooseFileToOpen(parent, filter, chosen);
    }
    // Creates the windows that are missing and aims the sender at the receiver.
    bool open(bool lateBound = false)
    {
        if (!receiver)
            receiver = std::make_unique<frmReceiver>(factory(lateBound), this, 0, 0);
        if (!sender)
            sender = std::make_unique<frmSender>(factory(lateBound), this);
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
    // Both logs and the dialogs shown, "--" between them.
    QString seen() const
    {
        return (sender ? sender->eventLog() : QString()) + u"--\r\n"_s +
               (receiver ? receiver->eventLog() : QString()) + u"--\r\n"_s + shown;
    }
};

} // namespace

class tst_Windows : public QObject
{
    Q_OBJECT

private slots:
    void atLoad();
    void percentage();
    void transfer_data();
    void transfer();
};

void tst_Windows::atLoad()
{
    // Captions and places in twips of a few controls; "!" first: disabled at load.
    const std::tuple<bool, const char *, const char *, QRect> controls[] = {
        {true, "frmSender", "Sender Form", {0, 0, 5880, 6615}},
        {true, "cmdConnect", "&Connect to remote receiver", {120, 240, 2295, 285}},
        {true, "cmdSend", "!&Send the file", {1560, 1440, 2295, 255}},
        {false, "frmReceiver", "Receiver Form", {0, 0, 5880, 6585}},
        {false, "cmdSetTarget", "!Set Save &Target", {2400, 840, 3135, 285}},
        {false, "lblPercentage", "Percentage: ", {3120, 480, 1815, 255}}};
    Windows w;
    QVERIFY(w.open());
    for (const auto &[sender, name, caption, twips] : controls) {
        QWidget *window = sender ? static_cast<QWidget *>(w.sender.get()) : w.receiver.get();
        QWidget *control =
            window->objectName() == QLatin1StringView(name) ? window : find(window, name);
        const bool disabled = caption[0] == '!';
        QVERIFY2(control && text(control) == QLatin1StringView(caption + disabled) &&
                     control->geometry() == QRect(twips.topLeft() / 15, twips.size() / 15) &&
                     control->isEnabledTo(control->parentWidget()) == !disabled,
                 name);
    }
    // A receiver whose port is taken says so.
    QTcpServer occupant;
    QVERIFY(occupant.listen(QHostAddress::Any));
    frmReceiver receiver(factory(false), &w, occupant.serverPort(), 0);
    QVERIFY(!receiver.isListening());
    QTRY_VERIFY(
        logIs(w.shown, u"Not listening: *port %1 (info)*10048*"_s.arg(occupant.serverPort())));
}

void tst_Windows::percentage()
{
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
    // The steps (see transfer); the sender's log, the receiver's log, the dialogs (see logIs).
    QTest::addColumn<QString>("spec");
    const QString whole =
        u"connect,send,yes x.bin.copy;C|A|sent|done;R|Q|saving|saved;?|save x.bin"_s;
    QTest::newRow("built in") << whole;
    QTest::newRow("library") << u"library,"_s + whole;
    QTest::newRow("refused, then accepted")
        << u"connect,send,no,send,yes x.bin.copy;C|A|Sending command refused by [127.0.0.1]|A|sent|"
           u"done;R|Q|Q|saving|saved;?|?|save x.bin"_s;
    QTest::newRow("no save path, then Set Save Target; unsafe name")
        << u"connect,send bell\u0007and\ttab\u202E.txt,yes,target copy;C|~|File Name= bell\\x07"
           u"and\\x09tab\\u202e.txt|~|done;R|~|File Name= bell\\x07and\\x09tab\\u202e.txt|~|"
           u"saved;?|save bellandtab.txt|save bellandtab.txt"_s;
    QTest::newRow("source vanishes")
        << u"connect,send,vanish,yes x.bin.copy,connect,send,yes x.bin.copy;C|A|sent|Send Error *|"
           u"lost|C|A|sent|done;R|Q|saving|~|Sender disconnected at *|R|Q|saving|saved;?|save "
           u"x.bin|*|?|save x.bin"_s;
    QTest::newRow("receiver disk full")
        << u"connect,send,diskfull,yes x.bin.copy,connect,send,yes x.bin.copy;C|A|sent|~|lost|C|"
           u"A|sent|done;R|Q|saving|Receive Error 61: *|Sender disconnected at *|R|Q|saving|saved;"
           u"?|save x.bin|*|?|save x.bin"_s;
    // Without a receiver, connecting fails and can be tried again.
    QTest::newRow("receiver lost")
        << u"connect,send,asked,closeReceiver,fail,connect,send,yes x.bin.copy;C|A|"
           u"lost|C|A|sent|done;R|Q|saving|saved;?|~|Connection lost: *|10061: *|?|save "
           u"x.bin"_s;
    QTest::newRow("sender lost")
        << u"connect,send,asked,closeSender,yes x.bin.copy,connect,send,yes x.bin.copy;C|A|sent|"
           u"done;R|Q|Sender disconnected at *|R|Q|saving|saved;?|?|save x.bin"_s;
    QTest::newRow("bad inputs")
        << u"connect,chunk 4k,send,chunk 16777217,send,chunk 4096,send missing,send folder;C;R;"
           u"Cannot send the file: The chunk size *|Cannot send the file: The chunk size *|*does "
           u"not exist*|*not a regular file*"_s;
}

void tst_Windows::transfer()
{
    QFETCH(QString, spec);
    const QStringList steps = spec.section(u';', 0, 0).split(u',');
    const QString expected = spec.section(u';', 1).replace(u';', u"|--|"_s);
    const QByteArray content = randomBytes(Size);
    const int runs = qMax(qEnvironmentVariableIntValue("CORVANE_DISKFULL_RUNS"), 1);
    for (int run = 0; run < (spec.contains("diskfull"_L1) ? runs : 1); ++run) {
        QTemporaryDir dir;
        rlimit unlimited{};
        QVERIFY(::getrlimit(RLIMIT_FSIZE, &unlimited) == 0);
        const auto unlimit = qScopeGuard([&] { ::setrlimit(RLIMIT_FSIZE, &unlimited); });
        Windows w;
        QVERIFY2(w.open(steps[0] == "library"_L1), "the component library did not load");
        // Whether a window opened a dialog inside the event that asked for it.
        auto *sc = qobject_cast<BinarySender *>(w.sender->component());
        auto *rc = qobject_cast<BinaryReceiver *>(w.receiver->component());
        bool inside = false;
        qsizetype requests = 0;
        connect(sc, &BinarySender::Error, sc, [&](short number, QString &text) {
            inside |= w.shown.endsWith(u"%1: %2\r\n"_s.arg(number).arg(text));
        });
        connect(rc, &BinaryReceiver::SendRequest, rc,
                [&] { inside |= w.shown.count(Question) > requests++; });
        QStringList sent{u"folder"_s};
        QVERIFY(QDir(dir.path()).mkdir(u"folder"_s));
        QString chunk = u"4096"_s;
        for (const QString &step : steps) {
            const QString verb = step.section(u' ', 0, 0), arg = step.section(u' ', 1);
            if (verb == "connect"_L1) { // once both windows are ready for it
                QTRY_VERIFY(w.open() && w.button("cmdConnect")->isEnabled());
                ::setrlimit(RLIMIT_FSIZE, &unlimited);
                w.button("cmdConnect")->click();
                QTRY_VERIFY(logIs(w.sender->eventLog(), u"~|C"_s) &&
                            logIs(w.receiver->eventLog(), u"~|R"_s));
            } else if (verb == "fail"_L1) { // a connection attempt without a receiver
                QTRY_VERIFY(w.button("cmdConnect")->isEnabled());
                w.button("cmdConnect")->click();
                QTRY_VERIFY(w.button("cmdConnect")->isEnabled());
            } else if (verb == "send"_L1) { // Browse, then Send
                sent << (arg.isEmpty() ? u"x.bin"_s : arg);
                QVERIFY(!sent.last().contains(u'.') ||
                        !writeFile(dir.filePath(sent.last()), content).isEmpty());
                w.paths = {dir.filePath(sent.last())};
                w.button("cmdBrowse")->click();
                find<QLineEdit>(w.sender.get(), "txtChunkSize")->setText(chunk);
                w.button("cmdSend")->click();
            } else if (verb == "yes"_L1 || verb == "no"_L1) { // the path chosen, "" none
                QTRY_VERIFY(w.pending);
                w.paths << (arg.isEmpty() ? QString() : dir.filePath(arg));
                std::exchange(w.pending, nullptr)(verb == "yes"_L1);
                QTRY_VERIFY(verb == "yes"_L1 || w.button("cmdSend")->isEnabled());
            } else if (verb == "target"_L1) { // Set Save Target, once the window's box is shown
                QTRY_VERIFY(w.button("cmdSetTarget")->isEnabled());
                settle();
                w.paths << dir.filePath(arg);
                w.button("cmdSetTarget")->click();
            } else if (verb == "closeReceiver"_L1) {
                w.receiver.reset();
                w.pending = nullptr;
            } else if (verb == "closeSender"_L1) {
                w.sender.reset();
                QTRY_VERIFY(w.receiver->eventLog().contains("Sender disconnected"_L1));
            }
            chunk = verb == "chunk"_L1 ? arg : chunk;
            QVERIFY(verb != "asked"_L1 || waitUntil([&] { return bool(w.pending); }));
            QVERIFY(verb != "vanish"_L1 || QFile::remove(dir.filePath(u"x.bin"_s)));
            const rlimit limited{256 * 1024, unlimited.rlim_max}; // a full disk
            QVERIFY(verb != "diskfull"_L1 || (std::signal(SIGXFSZ, SIG_IGN) != SIG_ERR &&
                                              ::setrlimit(RLIMIT_FSIZE, &limited) == 0));
        }

        // The logs and dialogs come to what they should and stay there.
        QTRY_VERIFY2_WITH_TIMEOUT(logIs(w.seen(), expected), qPrintable(w.seen()), 20000);
        settle();
        QVERIFY2(logIs(w.seen(), expected), qPrintable(w.seen()));
        // Nothing partial stays: each file that was not sent is a whole copy.
        QStringList copies = filesIn(dir.path());
        copies.removeIf([&](const QString &name) { return sent.contains(name); });
        QCOMPARE(copies.size(), w.receiver->eventLog().count("Complete"_L1));
        for (const QString &name : copies)
            QVERIFY2(readFile(dir.filePath(name)) == content, qPrintable(name));
        for (ComponentWindow *window :
             std::initializer_list<ComponentWindow *>{w.sender.get(), w.receiver.get()}) {
            auto *field = find<QPlainTextEdit>(window, "txtEventLog");
            QCOMPARE(field->toPlainText(), QString(window->eventLog()).replace("\r\n"_L1, "\n"_L1));
            QVERIFY(field->textCursor().atEnd() && !find<QTimer>(window, "tmrStatus")->isActive());
            QVERIFY(find<QProgressBar>(window, "pb")->value() == 0 &&
                    (copies.isEmpty() || text(find(window, "lblPercentage")) == "100%"_L1));
        }
        QVERIFY(!w.button("cmdSetTarget")->isEnabled() && !w.button("cmdConnect")->isEnabled());
        QVERIFY(w.button("cmdSend")->isEnabled() == (sent.size() > 1) && !inside);
    }
}

QTEST_MAIN(tst_Windows)
#include "tst_windows.moc"
