#include "demo/componentlibrary.h"
#include "demo/frmreceiver.h"
#include "demo/frmsender.h"
#include "demo/transferdisplay.h"
#include "demo/windowcontrols.h"
#include "demo/windowdialogs.h"
#include "demo/windowpair.h"
#include "library/componentfactory.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QGroupBox>
#include <QGuiApplication>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QRandomGenerator>
#include <QScreen>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <functional>
#include <memory>

using namespace corvane;
using namespace Qt::StringLiterals;

namespace {

// Answers the windows' questions and dialogs from a script. A question or save dialog with no
// scripted answer stays pending until the test gives one.
class ScriptedDialogs final : public WindowDialogs
{
public:
    struct Message
    {
        QString title;
        QString text;
    };
    QList<Message> errors;
    QStringList questions;
    QList<bool> yesNoAnswers;
    std::function<void(bool)> pendingQuestion;
    QStringList openAnswers;
    QStringList saveAnswers;
    QStringList suggestedNames;
    // Set while a component event is being delivered; a dialog opened then is counted.
    const bool *insideEvent = nullptr;
    int openedInsideEvent = 0;

    void showError(QWidget *, const QString &title, const QString &text) override
    {
        noteOpened();
        errors.append({title, text});
    }
    void askYesNo(QWidget *, const QString &text, std::function<void(bool)> answer) override
    {
        noteOpened();
        questions.append(text);
        if (yesNoAnswers.isEmpty())
            pendingQuestion = std::move(answer);
        else
            answer(yesNoAnswers.takeFirst());
    }
    void chooseFileToOpen(QWidget *, const QString &,
                          std::function<void(const QString &)> chosen) override
    {
        noteOpened();
        chosen(openAnswers.isEmpty() ? QString() : openAnswers.takeFirst());
    }
    void chooseFileToSave(QWidget *, const QString &, const QString &suggestedName,
                          std::function<void(const QString &)> chosen) override
    {
        noteOpened();
        suggestedNames.append(suggestedName);
        chosen(saveAnswers.isEmpty() ? QString() : saveAnswers.takeFirst());
    }

private:
    void noteOpened()
    {
        if (insideEvent && *insideEvent)
            ++openedInsideEvent;
    }
};

// Calls a function when a signal, connected by signature, arrives.
class Probe final : public QObject
{
    Q_OBJECT
public:
    std::function<void()> onHit;
public slots:
    void hit()
    {
        if (onHit)
            onHit();
    }
};

ComponentFactory libraryFactory()
{
    static ComponentLibrary library;
    static const bool loaded =
        library.load({QFileInfo(QStringLiteral(CORVANE_LIBRARY_FILE)).absolutePath()});
    return loaded ? library.factory() : ComponentFactory();
}

ComponentFactory factoryFor(bool lateBound)
{
    return lateBound ? libraryFactory() : ComponentFactory(&createComponent);
}

template<typename T>
T *control(QWidget *window, const char *name)
{
    return window->findChild<T *>(QString::fromLatin1(name));
}

QTimer *statusTimer(QWidget *window)
{
    return control<QTimer>(window, "tmrStatus");
}

QByteArray randomBytes(qsizetype size)
{
    QByteArray bytes(size, Qt::Uninitialized);
    QRandomGenerator generator(quint32(size) + 7);
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
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<missing>");
}

// The log's lines against expected ones; an expected line ending in "*" takes any non-empty
// rest (a time of day).
bool logMatches(const QString &log, const QStringList &expected, QString *why)
{
    if (!log.endsWith("\r\n"_L1)) {
        *why = u"the log does not end with CR LF: "_s + log;
        return false;
    }
    const QStringList lines = log.chopped(2).split("\r\n"_L1);
    if (lines.size() != expected.size()) {
        *why = u"%1 lines instead of %2:\n%3"_s.arg(lines.size()).arg(expected.size()).arg(log);
        return false;
    }
    for (qsizetype i = 0; i < lines.size(); ++i) {
        const QString &want = expected.at(i);
        const bool ok = want.endsWith(u'*') ? lines.at(i).startsWith(want.chopped(1)) &&
                                                  lines.at(i).size() > want.size() - 1
                                            : lines.at(i) == want;
        if (!ok) {
            *why = u"line %1 is \"%2\", expected \"%3\""_s.arg(i + 1).arg(lines.at(i), want);
            return false;
        }
    }
    return true;
}

#define COMPARE_LOG(log, ...)                                                                      \
    do {                                                                                           \
        QString why;                                                                               \
        QVERIFY2(logMatches((log), QStringList{__VA_ARGS__}, &why), qPrintable(why));              \
    } while (false)

// A receiver window on free ports and a sender window pointed at it, each with its own
// scripted dialogs. The dialogs outlive the windows.
struct WindowsUnderTest
{
    ScriptedDialogs senderDialogs;
    ScriptedDialogs receiverDialogs;
    bool insideReceiverEvent = false;
    bool insideSenderEvent = false;
    Probe enterReceiverEvent;
    Probe leaveReceiverEvent;
    Probe enterSenderEvent;
    Probe leaveSenderEvent;
    std::unique_ptr<frmReceiver> receiver;
    std::unique_ptr<frmSender> sender;
    int portInfo = 0;
    int portBinary = 0;

    // The fences around the events that open dialogs tell whether one is opened inside them:
    // one connection made before the window's own handler, one after it.
    ComponentFactory fenced(const ComponentFactory &factory, const char *event, Probe *enter)
    {
        return [factory, event, enter](const QString &id, QWidget *parent, QString *error) {
            QWidget *component = factory(id, parent, error);
            if (component)
                QObject::connect(component, event, enter, SLOT(hit()));
            return component;
        };
    }

    bool open(const ComponentFactory &factory)
    {
        if (!factory)
            return false;
        receiverDialogs.insideEvent = &insideReceiverEvent;
        senderDialogs.insideEvent = &insideSenderEvent;
        enterReceiverEvent.onHit = [this] {
            insideReceiverEvent = true;
        };
        leaveReceiverEvent.onHit = [this] {
            insideReceiverEvent = false;
        };
        enterSenderEvent.onHit = [this] {
            insideSenderEvent = true;
        };
        leaveSenderEvent.onHit = [this] {
            insideSenderEvent = false;
        };
        const char *senderError =
            SIGNAL(Error(short, QString &, int, QString, QString, int, bool &));
        receiver = std::make_unique<frmReceiver>(
            fenced(factory, SIGNAL(SendRequest()), &enterReceiverEvent), &receiverDialogs, 0, 0);
        sender = std::make_unique<frmSender>(fenced(factory, senderError, &enterSenderEvent),
                                             &senderDialogs);
        if (!receiver->component() || !sender->component() || !receiver->isListening())
            return false;
        QObject::connect(receiver->component(), SIGNAL(SendRequest()), &leaveReceiverEvent,
                         SLOT(hit()));
        QObject::connect(sender->component(), senderError, &leaveSenderEvent, SLOT(hit()));
        portInfo = control<QLineEdit>(receiver.get(), "txtLocalPortInfo")->text().toInt();
        portBinary = control<QLineEdit>(receiver.get(), "txtLocalPortBinary")->text().toInt();
        aimSender(sender.get());
        return portInfo > 0 && portBinary > 0;
    }

    void aimSender(frmSender *window) const
    {
        window->component()->setProperty("RemotePortInfo", portInfo);
        window->component()->setProperty("RemotePortBinary", portBinary);
    }

    QPushButton *senderButton(const char *name) const
    {
        return control<QPushButton>(sender.get(), name);
    }

    bool connectWindows()
    {
        senderButton("cmdConnect")->click();
        return QTest::qWaitFor([this] {
            return sender->eventLog().contains("successfully."_L1) &&
                   receiver->eventLog().contains("Connection Request"_L1);
        });
    }

    // Chooses path with the sender's Browse button and clicks Send.
    void send(const QString &path, const QString &chunkSize = u"4096"_s)
    {
        senderDialogs.openAnswers.append(path);
        senderButton("cmdBrowse")->click();
        control<QLineEdit>(sender.get(), "txtChunkSize")->setText(chunkSize);
        senderButton("cmdSend")->click();
    }
};

const QString ConnectedLine = u"<Sender Control> connected to [127.0.0.1] successfully."_s;
const QString ConnectionRequestLine = u"Connection Request from [127.0.0.1]"_s;

} // namespace

class tst_Windows : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase_data();
    void initTestCase();
    void init();

    void controlsAtLoad_data();
    void controlsAtLoad();
    void windowsStandSideBySide();
    void wholeTransferThenAnEmptyFile();
    void percentagesAndBar_data();
    void percentagesAndBar();
    void cancelledBrowseChangesNothing();
    void refusalThenAcceptance();
    void yesThenCancelledDialogThenSetTarget();
    void failedAcceptanceLeavesSetTargetUsable();
    void failedConnectionAttemptAllowsRetry_data();
    void failedConnectionAttemptAllowsRetry();
    void otherErrorKeepsConnectDisabled();
    void badSendInputsAreRefused_data();
    void badSendInputsAreRefused();
    void sendFileFailureLeavesWindowReady();
    void sendErrorLeavesWindowReady();
    void receiveErrorLeavesWindowReady();
    void unsafeAnnouncedNameIsShownEscapedAndOfferedSafe();
    void safeFileName_data();
    void safeFileName();
    void visibleText_data();
    void visibleText();
    void portInUseAtLoad();
    void senderNoticesLostReceiver();
    void receiverListensAgainAfterLostSender();

private:
    QTemporaryDir m_dir;
};

void tst_Windows::initTestCase_data()
{
    QTest::addColumn<bool>("lateBound");
    QTest::newRow("components built in") << false;
    QTest::newRow("library loaded at run time") << true;
}

void tst_Windows::initTestCase()
{
    QVERIFY(m_dir.isValid());
    QVERIFY2(libraryFactory(), "the component library did not load");
}

void tst_Windows::init()
{
    // A window left open by a failed test must not answer for the next one.
    qDeleteAll(QApplication::topLevelWidgets());
}

void tst_Windows::controlsAtLoad_data()
{
    QTest::addColumn<bool>("senderWindow");
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("text");
    QTest::addColumn<bool>("enabled");
    QTest::addColumn<int>("readOnly"); // -1: not a text field
    QTest::addColumn<QRect>("place");

    using WindowControls::twips;
    const auto row = [](bool sender, const char *name, const QString &text, bool enabled,
                        int readOnly, QRect place) {
        QTest::addRow("%s %s", sender ? "sender" : "receiver", name)
            << sender << QString::fromLatin1(name) << text << enabled << readOnly << place;
    };
    row(true, "famRemoteInfo", u"Remote Receiver Information"_s, true, -1,
        twips(120, 0, 5655, 1215));
    row(true, "cmdConnect", u"&Connect to remote receiver"_s, true, -1, twips(120, 240, 2295, 285));
    row(true, "txtRemoteHost", u"127.0.0.1"_s, true, 0, twips(2400, 240, 3135, 285));
    row(true, "Label2", u"Remote Port(Info):"_s, true, -1, twips(120, 600, 2295, 255));
    row(true, "txtRemotePortInfo", QString(), true, 1, twips(2400, 600, 3135, 285));
    row(true, "Label3", u"Remote Port(Binary):"_s, true, -1, twips(120, 840, 2295, 255));
    row(true, "txtRemotePortBinary", QString(), true, 1, twips(2400, 840, 3135, 285));
    row(true, "famSendOption", u"Send File Option"_s, false, -1, twips(120, 1200, 5655, 1815));
    row(true, "Label4", u"The file in local machine you want to send:"_s, true, -1,
        twips(120, 240, 4095, 375));
    row(true, "txtSource", QString(), true, 0, twips(120, 480, 4455, 285));
    row(true, "cmdBrowse", u"&Browse..."_s, true, -1, twips(4560, 480, 975, 285));
    row(true, "Label5", u"Total File Size(in bytes):"_s, true, -1, twips(120, 840, 2295, 255));
    row(true, "txtTotalFileSize", u"0"_s, true, 1, twips(2400, 840, 3135, 285));
    row(true, "Label6", u"Chunk Size(in bytes):"_s, true, -1, twips(120, 1080, 2295, 255));
    row(true, "txtChunkSize", u"4096"_s, true, 0, twips(2400, 1080, 3135, 285));
    row(true, "cmdSend", u"&Send the file"_s, false, -1, twips(1560, 1440, 2295, 255));
    row(true, "famSendStatus", u"Send File Status"_s, true, -1, twips(120, 3000, 5655, 1095));
    row(true, "Label7", u"Total Bytes Sent:"_s, true, -1, twips(120, 240, 2295, 255));
    row(true, "lblTotalByteSent", u"0"_s, true, -1, twips(2400, 240, 3135, 255));
    row(true, "lblPercentage", u"Percentage"_s, true, -1, twips(3120, 480, 1815, 255));
    row(true, "Label8", u"Sending Speed(KBps):"_s, true, -1, twips(120, 720, 2295, 255));
    row(true, "txtSpeed", u"0"_s, true, 1, twips(2400, 720, 3135, 285));
    row(true, "famLog", u"Event Log"_s, true, -1, twips(120, 4080, 5655, 1935));
    row(true, "txtEventLog", QString(), true, 1, twips(120, 240, 5415, 1575));
    row(true, "pb", QString(), true, -1, twips(120, 6120, 5655, 375));

    row(false, "famRemoteInfo", u"Remote Receiver Information"_s, true, -1,
        twips(120, 0, 5655, 1215));
    row(false, "Label1", u"Local Host IP:"_s, true, -1, twips(120, 240, 2295, 255));
    row(false, "txtLocalIP", u"*"_s, true, 1, twips(2400, 240, 3135, 285));
    row(false, "Label2", u"Local Port(Info):"_s, true, -1, twips(120, 600, 2295, 255));
    row(false, "txtLocalPortInfo", u"*"_s, true, 1, twips(2400, 600, 3135, 285));
    row(false, "Label3", u"Local Port(Binary):"_s, true, -1, twips(120, 840, 2295, 255));
    row(false, "txtLocalPortBinary", u"*"_s, true, 1, twips(2400, 840, 3135, 285));
    row(false, "famReceiveOption", u"Send File Option"_s, false, -1, twips(120, 1200, 5655, 1575));
    row(false, "Label4", u"The location to save the file:"_s, true, -1, twips(120, 240, 5415, 255));
    row(false, "txtTarget", QString(), true, 1, twips(120, 480, 5415, 285));
    row(false, "cmdSetTarget", u"Set Save &Target"_s, false, -1, twips(2400, 840, 3135, 285));
    row(false, "Label5", u"Total File Size(in bytes):"_s, true, -1, twips(120, 1200, 2295, 255));
    row(false, "txtTotalFileSize", u"0"_s, true, 1, twips(2400, 1200, 3135, 285));
    row(false, "famSendStatus", u"Receive File Status"_s, true, -1, twips(120, 2760, 5655, 1095));
    row(false, "Label7", u"Total Bytes Received:"_s, true, -1, twips(120, 240, 2295, 255));
    row(false, "lblTotalByteReceived", u"0"_s, true, -1, twips(2400, 240, 3135, 255));
    row(false, "lblPercentage", u"Percentage: "_s, true, -1, twips(3120, 480, 1815, 255));
    row(false, "Label8", u"Download Speed(KBps):"_s, true, -1, twips(120, 720, 2295, 255));
    row(false, "txtSpeed", u"0"_s, true, 1, twips(2400, 720, 3135, 285));
    row(false, "famLog", u"Event Log"_s, true, -1, twips(120, 3840, 5655, 2175));
    row(false, "txtEventLog", QString(), true, 1, twips(120, 240, 5415, 1815));
    row(false, "pb", QString(), true, -1, twips(120, 6120, 5655, 375));
}

void tst_Windows::controlsAtLoad()
{
    QFETCH_GLOBAL(bool, lateBound);
    QFETCH(bool, senderWindow);
    QFETCH(QString, name);
    QFETCH(QString, text);
    QFETCH(bool, enabled);
    QFETCH(int, readOnly);
    QFETCH(QRect, place);

    WindowsUnderTest windows;
    QVERIFY(windows.open(factoryFor(lateBound)));
    QWidget *window = senderWindow ? static_cast<QWidget *>(windows.sender.get())
                                   : static_cast<QWidget *>(windows.receiver.get());
    QWidget *widget = window->findChild<QWidget *>(name);
    QVERIFY(widget);
    QCOMPARE(widget->geometry(), place);
    QCOMPARE(widget->isEnabledTo(widget->parentWidget()), enabled);

    QString shown;
    if (auto *frame = qobject_cast<QGroupBox *>(widget))
        shown = frame->title();
    else if (auto *button = qobject_cast<QPushButton *>(widget))
        shown = button->text();
    else if (auto *label = qobject_cast<QLabel *>(widget))
        shown = label->text();
    else if (auto *field = qobject_cast<QLineEdit *>(widget))
        shown = field->text();
    else if (auto *log = qobject_cast<QPlainTextEdit *>(widget))
        shown = log->toPlainText();
    if (text == "*"_L1)
        QVERIFY2(!shown.isEmpty(), qPrintable(name));
    else
        QCOMPARE(shown, text);

    if (auto *field = qobject_cast<QLineEdit *>(widget))
        QCOMPARE(int(field->isReadOnly()), readOnly);
    if (auto *log = qobject_cast<QPlainTextEdit *>(widget))
        QCOMPARE(int(log->isReadOnly()), readOnly);
    if (auto *bar = qobject_cast<QProgressBar *>(widget)) {
        QCOMPARE(bar->minimum(), 0);
        QCOMPARE(bar->maximum(), 100);
        QCOMPARE(bar->value(), 0);
    }
    QVERIFY(!statusTimer(window)->isActive());
    QCOMPARE(statusTimer(window)->interval(), 500);
    QCOMPARE(window->windowTitle(), senderWindow ? u"Sender Form"_s : u"Receiver Form"_s);
    QCOMPARE(senderWindow ? windows.sender->eventLog() : windows.receiver->eventLog(), QString());
}

void tst_Windows::windowsStandSideBySide()
{
    QFETCH_GLOBAL(bool, lateBound);
    const WindowPair pair = showWindows(factoryFor(lateBound), 0, 0);
    const std::unique_ptr<frmSender> sender(pair.sender);
    const std::unique_ptr<frmReceiver> receiver(pair.receiver);
    const QPoint origin = QGuiApplication::primaryScreen()->geometry().topLeft();
    QVERIFY(sender->isVisible());
    QVERIFY(receiver->isVisible());
    QCOMPARE(sender->pos(), origin);
    QCOMPARE(receiver->pos(), QPoint(origin.x() + sender->frameGeometry().width(), origin.y()));
    QVERIFY(receiver->isListening());
    QVERIFY(!receiver->parent());
}

void tst_Windows::wholeTransferThenAnEmptyFile()
{
    QFETCH_GLOBAL(bool, lateBound);
    WindowsUnderTest windows;
    QVERIFY(windows.open(factoryFor(lateBound)));
    frmSender *sender = windows.sender.get();
    frmReceiver *receiver = windows.receiver.get();
    auto *cmdConnect = windows.senderButton("cmdConnect");
    auto *cmdSend = windows.senderButton("cmdSend");

    // Ports show once the connection stands.
    cmdConnect->click();
    QVERIFY(!cmdConnect->isEnabled());
    QCOMPARE(control<QLineEdit>(sender, "txtRemotePortInfo")->text(), QString());
    QTRY_VERIFY(!sender->eventLog().isEmpty());
    QCOMPARE(sender->eventLog(), ConnectedLine + "\r\n"_L1);
    QCOMPARE(control<QLineEdit>(sender, "txtRemotePortInfo")->text(),
             QString::number(windows.portInfo));
    QCOMPARE(control<QLineEdit>(sender, "txtRemotePortBinary")->text(),
             QString::number(windows.portBinary));
    QVERIFY(control<QGroupBox>(sender, "famSendOption")->isEnabled());
    QTRY_COMPARE(receiver->eventLog(), ConnectionRequestLine + "\r\n"_L1);

    // Timers seen when the transfer's first events arrive, after the windows' handlers ran.
    Probe accepted, firstArrival;
    bool senderTimerAtAccept = false;
    bool receiverTimerAtArrival = false;
    accepted.onHit = [&] {
        senderTimerAtAccept = statusTimer(sender)->isActive();
    };
    firstArrival.onHit = [&] {
        if (!receiverTimerAtArrival)
            receiverTimerAtArrival = statusTimer(receiver)->isActive();
    };
    QObject::connect(sender->component(), SIGNAL(CommandAccepted()), &accepted, SLOT(hit()));
    QObject::connect(receiver->component(), SIGNAL(ReceiveProgress(qint64, qint64)), &firstArrival,
                     SLOT(hit()));

    const QString source = m_dir.filePath(u"data.bin"_s);
    const QString target = m_dir.filePath(u"copy of data.bin"_s);
    const QByteArray content = randomBytes(3 * 1024 * 1024 + 17);
    QVERIFY(writeFile(source, content));
    QFile::remove(target);
    windows.receiverDialogs.yesNoAnswers = {true};
    windows.receiverDialogs.saveAnswers = {target};
    windows.senderDialogs.openAnswers = {source};
    control<QPushButton>(sender, "cmdBrowse")->click();
    QCOMPARE(control<QLineEdit>(sender, "txtSource")->text(), source);
    QVERIFY(cmdSend->isEnabled());
    cmdSend->click();
    QVERIFY(!cmdSend->isEnabled());
    QCOMPARE(control<QLineEdit>(sender, "txtTotalFileSize")->text(),
             QString::number(content.size()));

    QTRY_VERIFY_WITH_TIMEOUT(sender->eventLog().contains("File Sending Complete at"_L1), 30000);
    QTRY_VERIFY(receiver->eventLog().contains("File Receive Complete at"_L1));
    QVERIFY(readFile(target) == content);
    QVERIFY(!QFileInfo::exists(target + "TMP"_L1));
    QVERIFY(senderTimerAtAccept);
    QVERIFY(receiverTimerAtArrival);

    const QString size = QString::number(content.size());
    COMPARE_LOG(sender->eventLog(), ConnectedLine, u"File Information Sent to 127.0.0.1"_s,
                u"File Name= data.bin"_s, u"File Size(in bytes)= "_s + size,
                u"Waiting for receiver[127.0.0.1] ready signal..."_s,
                u"Sending command accepted by [127.0.0.1]"_s, u"File Sending Started at *"_s,
                u"Now sending file ["_s + source + u']', u"File Sending Complete at *"_s);
    COMPARE_LOG(receiver->eventLog(), ConnectionRequestLine, u"Send Request from [127.0.0.1]"_s,
                u"File Name= data.bin"_s, u"File Size(in bytes)= "_s + size,
                u"Accepted Send Request at *"_s, u"Saving file to ["_s + target + u']',
                u"File Receive Complete at *"_s);
    QCOMPARE(windows.receiverDialogs.questions,
             QStringList{u"A file sending request from 127.0.0.1 is made. Do you want to accept "
                         u"it?"_s});
    QCOMPARE(windows.receiverDialogs.suggestedNames, QStringList{u"data.bin"_s});
    QCOMPARE(windows.receiverDialogs.openedInsideEvent, 0);
    QVERIFY(windows.receiverDialogs.errors.isEmpty());
    QVERIFY(windows.senderDialogs.errors.isEmpty());

    // The field shows the same lines, with the caret after the last one.
    for (QWidget *window : {static_cast<QWidget *>(sender), static_cast<QWidget *>(receiver)}) {
        auto *field = control<QPlainTextEdit>(window, "txtEventLog");
        const QString log = window == sender ? sender->eventLog() : receiver->eventLog();
        QCOMPARE(field->toPlainText(), QString(log).replace("\r\n"_L1, "\n"_L1));
        QVERIFY(field->textCursor().atEnd());
        QVERIFY(!statusTimer(window)->isActive());
        QCOMPARE(control<QProgressBar>(window, "pb")->value(), 0);
        QCOMPARE(control<QLabel>(window, "lblPercentage")->text(), u"100%"_s);
    }
    // The state after SendComplete.
    QVERIFY(!cmdConnect->isEnabled());
    QVERIFY(cmdSend->isEnabled());
    QVERIFY(control<QGroupBox>(sender, "famSendOption")->isEnabled());
    // The state after ReceiveComplete.
    QVERIFY(control<QGroupBox>(receiver, "famReceiveOption")->isEnabled());
    QVERIFY(!control<QPushButton>(receiver, "cmdSetTarget")->isEnabled());
    QCOMPARE(control<QLineEdit>(receiver, "txtTotalFileSize")->text(), size);
    QCOMPARE(control<QLineEdit>(receiver, "txtTarget")->text(), target);

    // The next file, an empty one, on the same connections: the same question and dialog,
    // offering the new name; the percentage stays as it was until completion shows 100%.
    const QString emptySource = m_dir.filePath(u"empty.txt"_s);
    const QString emptyTarget = m_dir.filePath(u"empty copy.txt"_s);
    QVERIFY(writeFile(emptySource, {}));
    windows.receiverDialogs.yesNoAnswers = {true};
    windows.receiverDialogs.saveAnswers = {emptyTarget};
    const QString senderBefore = sender->eventLog();
    const QString receiverBefore = receiver->eventLog();
    windows.send(emptySource);
    QTRY_VERIFY(sender->eventLog().count("File Sending Complete at"_L1) == 2);
    QTRY_VERIFY(receiver->eventLog().count("File Receive Complete at"_L1) == 2);
    QVERIFY(QFileInfo(emptyTarget).isFile());
    QCOMPARE(QFileInfo(emptyTarget).size(), 0);
    COMPARE_LOG(sender->eventLog().sliced(senderBefore.size()),
                u"File Information Sent to 127.0.0.1"_s, u"File Name= empty.txt"_s,
                u"File Size(in bytes)= 0"_s, u"Waiting for receiver[127.0.0.1] ready signal..."_s,
                u"Sending command accepted by [127.0.0.1]"_s, u"File Sending Started at *"_s,
                u"Now sending file ["_s + emptySource + u']', u"File Sending Complete at *"_s);
    COMPARE_LOG(receiver->eventLog().sliced(receiverBefore.size()),
                u"Send Request from [127.0.0.1]"_s, u"File Name= empty.txt"_s,
                u"File Size(in bytes)= 0"_s, u"Accepted Send Request at *"_s,
                u"Saving file to ["_s + emptyTarget + u']', u"File Receive Complete at *"_s);
    QCOMPARE(windows.receiverDialogs.suggestedNames, (QStringList{u"data.bin"_s, u"empty.txt"_s}));
    QCOMPARE(windows.receiverDialogs.questions.size(), 2);
    QCOMPARE(windows.receiverDialogs.openedInsideEvent, 0);

    QVERIFY2(sender->binding().missingMembers().isEmpty(),
             qPrintable(sender->binding().missingMembers().join(u", ")));
    QVERIFY2(receiver->binding().missingMembers().isEmpty(),
             qPrintable(receiver->binding().missingMembers().join(u", ")));
}

void tst_Windows::percentagesAndBar_data()
{
    QTest::addColumn<bool>("senderWindow");
    QTest::addColumn<qint64>("done");
    QTest::addColumn<qint64>("total");
    QTest::addColumn<QString>("percentage"); // empty: the label keeps its text
    QTest::addColumn<int>("barMaximum");     // -1: the bar keeps its maximum
    QTest::addColumn<int>("barValue");

    const qint64 sixGiB = qint64(6) << 30;
    for (const bool sender : {true, false}) {
        const char *window = sender ? "sender" : "receiver";
        QTest::addRow("%s 0 of 1000", window) << sender << 0LL << 1000LL << u"0%"_s << 1000 << 0;
        QTest::addRow("%s 500 of 1000", window)
            << sender << 500LL << 1000LL << u"50%"_s << 1000 << 500;
        QTest::addRow("%s 999 of 1000", window)
            << sender << 999LL << 1000LL << u"99%"_s << 1000 << 999;
        QTest::addRow("%s 1000 of 1000", window)
            << sender << 1000LL << 1000LL << u"100%"_s << 1000 << 1000;
        QTest::addRow("%s 29 of 100", window) << sender << 29LL << 100LL << u"29%"_s << 100 << 29;
        QTest::addRow("%s total 0", window) << sender << 0LL << 0LL << QString() << -1 << 0;
        QTest::addRow("%s 3 GiB of 6 GiB", window)
            << sender << sixGiB / 2 << sixGiB << u"50%"_s << int(sixGiB / 4) << int(sixGiB / 8);
        QTest::addRow("%s all of 6 GiB", window)
            << sender << sixGiB << sixGiB << u"100%"_s << int(sixGiB / 4) << int(sixGiB / 4);
        QTest::addRow("%s more than announced", window)
            << sender << 1500LL << 1000LL << u"100%"_s << 1000 << 1000;
    }
}

void tst_Windows::percentagesAndBar()
{
    QFETCH_GLOBAL(bool, lateBound);
    QFETCH(bool, senderWindow);
    QFETCH(qint64, done);
    QFETCH(qint64, total);
    QFETCH(QString, percentage);
    QFETCH(int, barMaximum);
    QFETCH(int, barValue);

    WindowsUnderTest windows;
    QVERIFY(windows.open(factoryFor(lateBound)));
    QWidget *window = senderWindow ? static_cast<QWidget *>(windows.sender.get())
                                   : static_cast<QWidget *>(windows.receiver.get());
    QObject *component = senderWindow ? windows.sender->component() : windows.receiver->component();
    auto *bar = control<QProgressBar>(window, "pb");
    auto *label = control<QLabel>(window, "lblPercentage");
    const QString before = label->text();
    // A previous transfer left the bar at another maximum.
    bar->setMaximum(77);

    // The component reports progress; the status tick shows it.
    QVERIFY(QMetaObject::invokeMethod(component, senderWindow ? "SendProgress" : "ReceiveProgress",
                                      Q_ARG(qint64, done), Q_ARG(qint64, total)));
    QVERIFY(QMetaObject::invokeMethod(statusTimer(window), "timeout"));

    QCOMPARE(label->text(), percentage.isEmpty() ? before : percentage);
    QCOMPARE(bar->maximum(), barMaximum < 0 ? 77 : barMaximum);
    QCOMPARE(bar->value(), barValue);
    const char *bytesLabel = senderWindow ? "lblTotalByteSent" : "lblTotalByteReceived";
    QCOMPARE(control<QLabel>(window, bytesLabel)->text(), QString::number(done));
}

void tst_Windows::cancelledBrowseChangesNothing()
{
    QFETCH_GLOBAL(bool, lateBound);
    WindowsUnderTest windows;
    QVERIFY(windows.open(factoryFor(lateBound)));
    QVERIFY(windows.connectWindows());
    auto *txtSource = control<QLineEdit>(windows.sender.get(), "txtSource");
    auto *cmdSend = windows.senderButton("cmdSend");

    // A path typed by hand does not enable sending; a cancelled dialog keeps it.
    QTest::keyClicks(txtSource, u"/typed/by/hand"_s);
    QVERIFY(!cmdSend->isEnabled());
    windows.senderDialogs.openAnswers = {QString()};
    windows.senderButton("cmdBrowse")->click();
    QCOMPARE(txtSource->text(), u"/typed/by/hand"_s);
    QVERIFY(!cmdSend->isEnabled());
    QVERIFY(windows.senderDialogs.errors.isEmpty());
    QCOMPARE(windows.sender->eventLog(), ConnectedLine + "\r\n"_L1);
}

void tst_Windows::refusalThenAcceptance()
{
    QFETCH_GLOBAL(bool, lateBound);
    WindowsUnderTest windows;
    QVERIFY(windows.open(factoryFor(lateBound)));
    QVERIFY(windows.connectWindows());
    frmSender *sender = windows.sender.get();
    frmReceiver *receiver = windows.receiver.get();

    const QString source = m_dir.filePath(u"refused.bin"_s);
    QVERIFY(writeFile(source, randomBytes(5000)));
    windows.receiverDialogs.yesNoAnswers = {false};
    windows.send(source);
    QTRY_VERIFY(sender->eventLog().contains("Sending command refused by [127.0.0.1]"_L1));
    COMPARE_LOG(sender->eventLog(), ConnectedLine, u"File Information Sent to 127.0.0.1"_s,
                u"File Name= refused.bin"_s, u"File Size(in bytes)= 5000"_s,
                u"Waiting for receiver[127.0.0.1] ready signal..."_s,
                u"Sending command refused by [127.0.0.1]"_s);
    COMPARE_LOG(receiver->eventLog(), ConnectionRequestLine, u"Send Request from [127.0.0.1]"_s,
                u"File Name= refused.bin"_s, u"File Size(in bytes)= 5000"_s);
    // The sender's state after CommandRefused.
    QVERIFY(!windows.senderButton("cmdConnect")->isEnabled());
    QVERIFY(windows.senderButton("cmdSend")->isEnabled());
    QVERIFY(control<QGroupBox>(sender, "famSendOption")->isEnabled());
    QCOMPARE(control<QProgressBar>(sender, "pb")->value(), 0);
    QVERIFY(!statusTimer(sender)->isActive());
    // No changes nothing in the receiver window.
    QCOMPARE(control<QLineEdit>(receiver, "txtTotalFileSize")->text(), u"0"_s);
    QVERIFY(!control<QGroupBox>(receiver, "famReceiveOption")->isEnabled());
    QVERIFY(!control<QPushButton>(receiver, "cmdSetTarget")->isEnabled());
    QVERIFY(!statusTimer(receiver)->isActive());
    QVERIFY(windows.receiverDialogs.suggestedNames.isEmpty());

    // The same file announced again is accepted.
    const QString target = m_dir.filePath(u"accepted.bin"_s);
    windows.receiverDialogs.yesNoAnswers = {true};
    windows.receiverDialogs.saveAnswers = {target};
    windows.senderButton("cmdSend")->click();
    QTRY_VERIFY(sender->eventLog().contains("File Sending Complete at"_L1));
    QTRY_VERIFY(receiver->eventLog().contains("File Receive Complete at"_L1));
    QVERIFY(readFile(target) == readFile(source));
}

void tst_Windows::yesThenCancelledDialogThenSetTarget()
{
    QFETCH_GLOBAL(bool, lateBound);
    WindowsUnderTest windows;
    QVERIFY(windows.open(factoryFor(lateBound)));
    QVERIFY(windows.connectWindows());
    frmSender *sender = windows.sender.get();
    frmReceiver *receiver = windows.receiver.get();
    auto *cmdSetTarget = control<QPushButton>(receiver, "cmdSetTarget");

    const QString source = m_dir.filePath(u"later.bin"_s);
    const QByteArray content = randomBytes(70000);
    QVERIFY(writeFile(source, content));
    windows.receiverDialogs.yesNoAnswers = {true};
    windows.receiverDialogs.saveAnswers = {QString()};
    windows.send(source);
    QTRY_COMPARE(windows.receiverDialogs.suggestedNames, QStringList{u"later.bin"_s});
    QCOMPARE(control<QLineEdit>(receiver, "txtTotalFileSize")->text(), u"70000"_s);
    QVERIFY(control<QGroupBox>(receiver, "famReceiveOption")->isEnabled());
    QVERIFY(cmdSetTarget->isEnabled());
    QVERIFY(!statusTimer(receiver)->isActive());
    QCOMPARE(control<QLineEdit>(receiver, "txtTarget")->text(), QString());
    // Nothing logged after the request, and the sender hears nothing.
    QTest::qWait(200);
    COMPARE_LOG(receiver->eventLog(), ConnectionRequestLine, u"Send Request from [127.0.0.1]"_s,
                u"File Name= later.bin"_s, u"File Size(in bytes)= 70000"_s);
    QVERIFY(sender->eventLog().endsWith("ready signal...\r\n"_L1));

    const QString target = m_dir.filePath(u"later copy.bin"_s);
    windows.receiverDialogs.saveAnswers = {target};
    cmdSetTarget->click();
    QVERIFY(!cmdSetTarget->isEnabled());
    QCOMPARE(control<QLineEdit>(receiver, "txtTarget")->text(), target);
    QCOMPARE(windows.receiverDialogs.suggestedNames, (QStringList{u"later.bin"_s, u"later.bin"_s}));
    QTRY_VERIFY(sender->eventLog().contains("File Sending Complete at"_L1));
    QTRY_VERIFY(receiver->eventLog().contains("File Receive Complete at"_L1));
    QVERIFY(readFile(target) == content);
    COMPARE_LOG(receiver->eventLog(), ConnectionRequestLine, u"Send Request from [127.0.0.1]"_s,
                u"File Name= later.bin"_s, u"File Size(in bytes)= 70000"_s,
                u"Accepted Send Request at *"_s, u"Saving file to ["_s + target + u']',
                u"File Receive Complete at *"_s);
}

void tst_Windows::failedAcceptanceLeavesSetTargetUsable()
{
    QFETCH_GLOBAL(bool, lateBound);
    WindowsUnderTest windows;
    QVERIFY(windows.open(factoryFor(lateBound)));
    QVERIFY(windows.connectWindows());
    frmReceiver *receiver = windows.receiver.get();
    auto *cmdSetTarget = control<QPushButton>(receiver, "cmdSetTarget");

    const QString source = m_dir.filePath(u"nowhere.bin"_s);
    QVERIFY(writeFile(source, randomBytes(3000)));
    const QString unwritable = m_dir.filePath(u"no such folder/nowhere.bin"_s);
    windows.receiverDialogs.yesNoAnswers = {true};
    windows.receiverDialogs.saveAnswers = {unwritable};
    windows.send(source);
    QTRY_COMPARE(windows.receiverDialogs.errors.size(), 1);
    QVERIFY(!windows.receiverDialogs.errors.first().text.isEmpty());
    QVERIFY(cmdSetTarget->isEnabled());
    QVERIFY(!statusTimer(receiver)->isActive());
    QCOMPARE(control<QLineEdit>(receiver, "txtTarget")->text(), unwritable);
    QCOMPARE(receiver->eventLog().count("\r\n"_L1), 4);
    QVERIFY(!QFileInfo::exists(unwritable + "TMP"_L1));

    const QString target = m_dir.filePath(u"somewhere.bin"_s);
    windows.receiverDialogs.saveAnswers = {target};
    cmdSetTarget->click();
    QTRY_VERIFY(receiver->eventLog().contains("File Receive Complete at"_L1));
    QVERIFY(readFile(target) == readFile(source));
    QVERIFY(!cmdSetTarget->isEnabled());
}

void tst_Windows::failedConnectionAttemptAllowsRetry_data()
{
    QTest::addColumn<QString>("host");
    QTest::addColumn<bool>("closedPort");
    QTest::addColumn<int>("number");

    QTest::newRow("refused") << u"127.0.0.1"_s << true << 10061;
    QTest::newRow("no host") << QString() << false << 10049;
    QTest::newRow("blank host") << u"   "_s << false << 10049;
}

void tst_Windows::failedConnectionAttemptAllowsRetry()
{
    QFETCH_GLOBAL(bool, lateBound);
    QFETCH(QString, host);
    QFETCH(bool, closedPort);
    QFETCH(int, number);

    WindowsUnderTest windows;
    QVERIFY(windows.open(factoryFor(lateBound)));
    frmSender *sender = windows.sender.get();
    if (closedPort) {
        QTcpServer probe;
        QVERIFY(probe.listen(QHostAddress::LocalHost));
        sender->component()->setProperty("RemotePortInfo", int(probe.serverPort()));
    }
    control<QLineEdit>(sender, "txtRemoteHost")->setText(host);
    auto *cmdConnect = windows.senderButton("cmdConnect");
    cmdConnect->click();
    QTRY_COMPARE(windows.senderDialogs.errors.size(), 1);
    QCOMPARE(windows.senderDialogs.errors.first().title, QString::number(number));
    QVERIFY(!windows.senderDialogs.errors.first().text.isEmpty());
    QCOMPARE(windows.senderDialogs.openedInsideEvent, 0);
    QVERIFY(cmdConnect->isEnabled());
    QCOMPARE(sender->eventLog(), QString());

    // The retry reaches the receiver.
    control<QLineEdit>(sender, "txtRemoteHost")->setText(u"127.0.0.1"_s);
    windows.aimSender(sender);
    QVERIFY(windows.connectWindows());
    QVERIFY(!cmdConnect->isEnabled());
}

void tst_Windows::otherErrorKeepsConnectDisabled()
{
    QFETCH_GLOBAL(bool, lateBound);
    WindowsUnderTest windows;
    QVERIFY(windows.open(factoryFor(lateBound)));
    QVERIFY(windows.connectWindows());
    QString description = u"The connection was aborted"_s;
    bool cancelDisplay = false;
    QVERIFY(QMetaObject::invokeMethod(windows.sender->component(), "Error", Q_ARG(short, 10053),
                                      Q_ARG(QString &, description), Q_ARG(int, 10053),
                                      Q_ARG(QString, u"wsInfo"_s), Q_ARG(QString, QString()),
                                      Q_ARG(int, 0), Q_ARG(bool &, cancelDisplay)));
    QTRY_COMPARE(windows.senderDialogs.errors.size(), 1);
    QCOMPARE(windows.senderDialogs.errors.first().title, u"10053"_s);
    QCOMPARE(windows.senderDialogs.errors.first().text, description);
    QCOMPARE(windows.senderDialogs.openedInsideEvent, 0);
    QVERIFY(!windows.senderButton("cmdConnect")->isEnabled());
    QCOMPARE(windows.sender->eventLog(), ConnectedLine + "\r\n"_L1);
}

void tst_Windows::badSendInputsAreRefused_data()
{
    QTest::addColumn<QString>("chunkSize");
    QTest::addColumn<QString>("file"); // relative to the test folder; "" for none
    QTest::addColumn<QString>("reason");

    QTest::newRow("chunk size not a number") << u"4k"_s << u"good.bin"_s << u"chunk size"_s;
    QTest::newRow("chunk size empty") << QString() << u"good.bin"_s << u"chunk size"_s;
    QTest::newRow("chunk size 0") << u"0"_s << u"good.bin"_s << u"chunk size"_s;
    QTest::newRow("chunk size negative") << u"-4096"_s << u"good.bin"_s << u"chunk size"_s;
    QTest::newRow("chunk size above 64 MiB") << u"67108865"_s << u"good.bin"_s << u"chunk size"_s;
    QTest::newRow("chunk size beyond 32 bits")
        << u"4294971392"_s << u"good.bin"_s << u"chunk size"_s;
    QTest::newRow("missing file") << u"4096"_s << u"missing.bin"_s << u"does not exist"_s;
    QTest::newRow("a folder") << u"4096"_s << u"folder"_s << u"not a regular file"_s;
}

void tst_Windows::badSendInputsAreRefused()
{
    QFETCH_GLOBAL(bool, lateBound);
    QFETCH(QString, chunkSize);
    QFETCH(QString, file);
    QFETCH(QString, reason);

    QVERIFY(writeFile(m_dir.filePath(u"good.bin"_s), randomBytes(100)));
    QDir(m_dir.path()).mkdir(u"folder"_s);
    WindowsUnderTest windows;
    QVERIFY(windows.open(factoryFor(lateBound)));
    QVERIFY(windows.connectWindows());
    int requests = 0;
    Probe request;
    request.onHit = [&] {
        ++requests;
    };
    QObject::connect(windows.receiver->component(), SIGNAL(SendRequest()), &request, SLOT(hit()));

    windows.send(m_dir.filePath(file), chunkSize);
    QTRY_COMPARE(windows.senderDialogs.errors.size(), 1);
    QVERIFY2(windows.senderDialogs.errors.first().text.contains(reason),
             qPrintable(windows.senderDialogs.errors.first().text));
    QVERIFY(windows.senderButton("cmdSend")->isEnabled());
    QCOMPARE(windows.sender->eventLog(), ConnectedLine + "\r\n"_L1);
    QTest::qWait(100);
    QCOMPARE(requests, 0);

    // Put right, the same window sends.
    windows.receiverDialogs.yesNoAnswers = {false};
    windows.send(m_dir.filePath(u"good.bin"_s), u"4096"_s);
    QTRY_COMPARE(requests, 1);
}

void tst_Windows::sendFileFailureLeavesWindowReady()
{
    QFETCH_GLOBAL(bool, lateBound);
    WindowsUnderTest windows;
    QVERIFY(windows.open(factoryFor(lateBound)));
    QVERIFY(windows.connectWindows());
    frmSender *sender = windows.sender.get();

    // The file disappears while the receiver's user thinks about it.
    const QString source = m_dir.filePath(u"vanishing.bin"_s);
    QVERIFY(writeFile(source, randomBytes(10000)));
    windows.send(source);
    QTRY_VERIFY(windows.receiverDialogs.pendingQuestion);
    QVERIFY(QFile::remove(source));
    windows.receiverDialogs.saveAnswers = {m_dir.filePath(u"never.bin"_s)};
    std::exchange(windows.receiverDialogs.pendingQuestion, nullptr)(true);

    QTRY_VERIFY(sender->eventLog().contains("Send Error"_L1));
    const QStringList lines = sender->eventLog().chopped(2).split("\r\n"_L1);
    QVERIFY(lines.at(lines.size() - 2).startsWith("Now sending file ["_L1));
    QVERIFY2(lines.last().startsWith("Send Error "_L1), qPrintable(lines.last()));
    QTRY_COMPARE(windows.senderDialogs.errors.size(), 1);
    QVERIFY(lines.last().endsWith(windows.senderDialogs.errors.first().text));
    QCOMPARE(windows.senderDialogs.openedInsideEvent, 0);
    QVERIFY(!statusTimer(sender)->isActive());
    QCOMPARE(control<QProgressBar>(sender, "pb")->value(), 0);
    QVERIFY(windows.senderButton("cmdSend")->isEnabled());
}

void tst_Windows::sendErrorLeavesWindowReady()
{
    QFETCH_GLOBAL(bool, lateBound);
    WindowsUnderTest windows;
    QVERIFY(windows.open(factoryFor(lateBound)));
    QVERIFY(windows.connectWindows());
    frmSender *sender = windows.sender.get();
    QObject *component = sender->component();

    // An announced file, progress shown, the tick running.
    const QString source = m_dir.filePath(u"interrupted.bin"_s);
    QVERIFY(writeFile(source, randomBytes(1000)));
    windows.send(source);
    QTRY_VERIFY(windows.receiverDialogs.pendingQuestion);
    QVERIFY(!windows.senderButton("cmdSend")->isEnabled());
    statusTimer(sender)->start();
    QVERIFY(QMetaObject::invokeMethod(component, "SendProgress", Q_ARG(qint64, 300),
                                      Q_ARG(qint64, 1000)));
    QVERIFY(QMetaObject::invokeMethod(statusTimer(sender), "timeout"));
    QCOMPARE(control<QProgressBar>(sender, "pb")->value(), 300);

    // Another file chosen meanwhile cannot go out while this one is under way.
    const QString other = m_dir.filePath(u"other.bin"_s);
    QVERIFY(writeFile(other, randomBytes(10)));
    const QString logBefore = sender->eventLog();
    windows.send(other);
    QTRY_COMPARE(windows.senderDialogs.errors.size(), 1);
    QVERIFY(windows.senderDialogs.errors.first().text.contains("still being sent"_L1));
    QCOMPARE(sender->eventLog(), logBefore);
    QCOMPARE(component->property("Source").toString(), source);
    windows.senderDialogs.errors.clear();

    QVERIFY(QMetaObject::invokeMethod(component, "SendError", Q_ARG(int, 10054),
                                      Q_ARG(QString, u"Connection reset\nby peer"_s)));
    QVERIFY(sender->eventLog().endsWith("Send Error 10054: Connection reset\\x0aby peer\r\n"_L1));
    QVERIFY(!statusTimer(sender)->isActive());
    QCOMPARE(control<QProgressBar>(sender, "pb")->value(), 0);
    QVERIFY(windows.senderButton("cmdSend")->isEnabled());
    QTRY_COMPARE(windows.senderDialogs.errors.size(), 1);
    QCOMPARE(windows.senderDialogs.errors.first().title, u"10054"_s);
    QCOMPARE(windows.senderDialogs.openedInsideEvent, 0);
}

void tst_Windows::receiveErrorLeavesWindowReady()
{
    QFETCH_GLOBAL(bool, lateBound);
    WindowsUnderTest windows;
    QVERIFY(windows.open(factoryFor(lateBound)));
    frmReceiver *receiver = windows.receiver.get();
    QObject *component = receiver->component();

    statusTimer(receiver)->start();
    QVERIFY(QMetaObject::invokeMethod(component, "ReceiveProgress", Q_ARG(qint64, 600),
                                      Q_ARG(qint64, 1000)));
    QVERIFY(QMetaObject::invokeMethod(statusTimer(receiver), "timeout"));
    QCOMPARE(control<QProgressBar>(receiver, "pb")->value(), 600);

    QVERIFY(QMetaObject::invokeMethod(component, "ReceiveError", Q_ARG(int, 61),
                                      Q_ARG(QString, u"Disk full"_s)));
    QCOMPARE(receiver->eventLog(), u"Receive Error 61: Disk full\r\n"_s);
    QVERIFY(!statusTimer(receiver)->isActive());
    QCOMPARE(control<QProgressBar>(receiver, "pb")->value(), 0);
    // A later tick (none runs, but were one to) would show nothing of the failed file.
    QVERIFY(QMetaObject::invokeMethod(statusTimer(receiver), "timeout"));
    QCOMPARE(control<QLabel>(receiver, "lblTotalByteReceived")->text(), u"0"_s);
}

void tst_Windows::unsafeAnnouncedNameIsShownEscapedAndOfferedSafe()
{
    QFETCH_GLOBAL(bool, lateBound);
    WindowsUnderTest windows;
    QVERIFY(windows.open(factoryFor(lateBound)));
    QVERIFY(windows.connectWindows());

    const QString source = m_dir.filePath(u"bell\u0007and\ttab.txt"_s);
    QVERIFY(writeFile(source, "tiny"));
    windows.receiverDialogs.yesNoAnswers = {true};
    windows.receiverDialogs.saveAnswers = {QString()};
    windows.send(source);
    QTRY_COMPARE(windows.receiverDialogs.suggestedNames.size(), 1);
    QCOMPARE(windows.receiverDialogs.suggestedNames.first(), u"bellandtab.txt"_s);
    QVERIFY(windows.receiver->eventLog().contains("File Name= bell\\x07and\\x09tab.txt\r\n"_L1));
    QVERIFY(windows.sender->eventLog().contains("File Name= bell\\x07and\\x09tab.txt\r\n"_L1));
}

void tst_Windows::safeFileName_data()
{
    QTest::addColumn<QString>("announced");
    QTest::addColumn<QString>("offered");

    QTest::newRow("plain") << u"report.pdf"_s << u"report.pdf"_s;
    QTest::newRow("relative climb") << u"../../etc/passwd"_s << u"passwd"_s;
    QTest::newRow("absolute") << u"/etc/cron.d/job"_s << u"job"_s;
    QTest::newRow("backslashes") << u"C:\\Users\\x\\a.txt"_s << u"a.txt"_s;
    QTest::newRow("folder only") << u"folder/"_s << QString();
    QTest::newRow("dot") << u"."_s << QString();
    QTest::newRow("dot dot") << u".."_s << QString();
    QTest::newRow("dot dot hidden by controls") << u".\u0001.\u2028"_s << QString();
    QTest::newRow("control characters") << u"a\nb\r\u007fc\u0085.txt"_s << u"abc.txt"_s;
    QTest::newRow("three dots stay") << u"..."_s << u"..."_s;
    QTest::newRow("empty") << QString() << QString();
}

void tst_Windows::safeFileName()
{
    QFETCH(QString, announced);
    QFETCH(QString, offered);
    QCOMPARE(corvane::safeFileName(announced), offered);
}

void tst_Windows::visibleText_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("visible");

    QTest::newRow("plain") << u"Grüße.txt"_s << u"Grüße.txt"_s;
    QTest::newRow("line break") << u"a\r\nb"_s << u"a\\x0d\\x0ab"_s;
    QTest::newRow("nul and escape") << QString(u"x\u0000\u001b[2J"_s) << u"x\\x00\\x1b[2J"_s;
    QTest::newRow("right-to-left override") << u"\u202Etxt.exe"_s << u"\\u202etxt.exe"_s;
    QTest::newRow("line separator") << u"a\u2028b"_s << u"a\\u2028b"_s;
}

void tst_Windows::visibleText()
{
    QFETCH(QString, text);
    QFETCH(QString, visible);
    QCOMPARE(corvane::visibleText(text), visible);
}

void tst_Windows::portInUseAtLoad()
{
    QFETCH_GLOBAL(bool, lateBound);
    QTcpServer occupant;
    QVERIFY(occupant.listen(QHostAddress::Any));
    const int busyPort = occupant.serverPort();

    ScriptedDialogs dialogs;
    frmReceiver receiver(factoryFor(lateBound), &dialogs, busyPort, 0);
    QVERIFY(!receiver.isListening());
    QTRY_COMPARE(dialogs.errors.size(), 1);
    QVERIFY2(dialogs.errors.first().text.contains(QString::number(busyPort)),
             qPrintable(dialogs.errors.first().text));
    QVERIFY(dialogs.errors.first().text.contains("10048"_L1));
    QVERIFY(control<QLineEdit>(&receiver, "txtLocalPortInfo")->text().contains("not listening"_L1));
    QVERIFY(!control<QLineEdit>(&receiver, "txtLocalIP")->text().isEmpty());
    QVERIFY(control<QGroupBox>(&receiver, "famLog")->isEnabled());
    QCOMPARE(receiver.eventLog(), QString());
}

void tst_Windows::senderNoticesLostReceiver()
{
    QFETCH_GLOBAL(bool, lateBound);
    WindowsUnderTest windows;
    QVERIFY(windows.open(factoryFor(lateBound)));
    QVERIFY(windows.connectWindows());
    frmSender *sender = windows.sender.get();

    // Lost while the receiver's user is asked: the announced file is over.
    const QString source = m_dir.filePath(u"orphan.bin"_s);
    QVERIFY(writeFile(source, randomBytes(2000)));
    windows.send(source);
    QTRY_VERIFY(windows.receiverDialogs.pendingQuestion);
    QVERIFY(!windows.senderButton("cmdSend")->isEnabled());
    statusTimer(sender)->start();
    windows.receiver.reset();

    QTRY_VERIFY(sender->eventLog().contains("lost at"_L1));
    QTest::qWait(200);
    const QStringList lines = sender->eventLog().chopped(2).split("\r\n"_L1);
    QCOMPARE(lines.filter("lost at"_L1).size(), 1);
    QVERIFY(lines.last().startsWith("Connection to [127.0.0.1] lost at "_L1));
    QVERIFY(windows.senderButton("cmdConnect")->isEnabled());
    QVERIFY(windows.senderButton("cmdSend")->isEnabled());
    QVERIFY(!statusTimer(sender)->isActive());
    QCOMPARE(control<QProgressBar>(sender, "pb")->value(), 0);

    // Announcing without a connection fails visibly and logs nothing.
    const QString logBefore = sender->eventLog();
    windows.senderButton("cmdSend")->click();
    QTRY_COMPARE(windows.senderDialogs.errors.size(), 1);
    QCOMPARE(sender->eventLog(), logBefore);
    QVERIFY(windows.senderButton("cmdSend")->isEnabled());
}

void tst_Windows::receiverListensAgainAfterLostSender()
{
    QFETCH_GLOBAL(bool, lateBound);
    WindowsUnderTest windows;
    QVERIFY(windows.open(factoryFor(lateBound)));
    QVERIFY(windows.connectWindows());
    frmReceiver *receiver = windows.receiver.get();

    // Lost while the user is asked: the answer no longer counts.
    const QString source = m_dir.filePath(u"question.bin"_s);
    QVERIFY(writeFile(source, randomBytes(2000)));
    windows.send(source);
    QTRY_VERIFY(windows.receiverDialogs.pendingQuestion);
    windows.sender.reset();

    QTRY_VERIFY(receiver->eventLog().contains("Sender disconnected at "_L1));
    QTRY_VERIFY(receiver->isListening());
    std::exchange(windows.receiverDialogs.pendingQuestion, nullptr)(true);
    QVERIFY(windows.receiverDialogs.suggestedNames.isEmpty());
    QCOMPARE(receiver->eventLog().count("Sender disconnected"_L1), 1);
    QCOMPARE(control<QLineEdit>(receiver, "txtLocalPortInfo")->text(),
             QString::number(windows.portInfo));
    QVERIFY(!statusTimer(receiver)->isActive());

    // A new sender reaches the same ports and sends.
    windows.sender = std::make_unique<frmSender>(factoryFor(lateBound), &windows.senderDialogs);
    windows.aimSender(windows.sender.get());
    QVERIFY(windows.connectWindows());
    const QString target = m_dir.filePath(u"second sender.bin"_s);
    windows.receiverDialogs.yesNoAnswers = {true};
    windows.receiverDialogs.saveAnswers = {target};
    windows.send(source);
    QTRY_VERIFY(receiver->eventLog().contains("File Receive Complete at"_L1));
    QVERIFY(readFile(target) == readFile(source));
    const QStringList lines = receiver->eventLog().chopped(2).split("\r\n"_L1);
    QCOMPARE(lines.filter(ConnectionRequestLine).size(), 2);
}

QTEST_MAIN(tst_Windows)
#include "tst_windows.moc"
