#include "demo/componentlibrary.h"
#include "demo/frmreceiver.h"
#include "demo/frmsender.h"
#include "demo/windowdialogs.h"
#include "demo/windowpair.h"
#include "library/componentfactory.h"
#include "support/testsupport.h"

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
#include <QRegularExpression>
#include <QScreen>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <csignal>
#include <functional>
#include <memory>

#include <sys/resource.h>

using namespace corvane;
using namespace corvane::test;
using namespace Qt::StringLiterals;

namespace {

// Answers the windows' questions and dialogs from a script. A question with no scripted
// answer stays pending until the test gives one.
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

    void showError(QWidget *, const QString &title, const QString &text) override
    {
        errors.append({title, text});
    }
    void askYesNo(QWidget *, const QString &text, std::function<void(bool)> answer) override
    {
        questions.append(text);
        if (yesNoAnswers.isEmpty())
            pendingQuestion = std::move(answer);
        else
            answer(yesNoAnswers.takeFirst());
    }
    void chooseFileToOpen(QWidget *, const QString &,
                          std::function<void(const QString &)> chosen) override
    {
        chosen(openAnswers.isEmpty() ? QString() : openAnswers.takeFirst());
    }
    void chooseFileToSave(QWidget *, const QString &, const QString &suggestedName,
                          std::function<void(const QString &)> chosen) override
    {
        suggestedNames.append(suggestedName);
        chosen(saveAnswers.isEmpty() ? QString() : saveAnswers.takeFirst());
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

QString fieldText(QWidget *window, const char *name)
{
    return control<QLineEdit>(window, name)->text();
}

QTimer *statusTimer(QWidget *window)
{
    return control<QTimer>(window, "tmrStatus");
}

// The log is exactly the expected lines, each ended by CR LF; a line ending in "*" takes any
// non-empty rest (a time of day).
bool logMatches(const QString &log, const QStringList &expected)
{
    QString pattern;
    for (const QString &line : expected) {
        pattern += line.endsWith(u'*')
                       ? QRegularExpression::escape(line.chopped(1)) + "[^\\r\\n]+"_L1
                       : QRegularExpression::escape(line);
        pattern += "\\r\\n"_L1;
    }
    return QRegularExpression(QRegularExpression::anchoredPattern(pattern)).match(log).hasMatch();
}

#define COMPARE_LOG(log, expected) QVERIFY2(logMatches((log), (expected)), qPrintable(log))

const QString ConnectedLine = u"<Sender Control> connected to [127.0.0.1] successfully."_s;
const QString ConnectionRequestLine = u"Connection Request from [127.0.0.1]"_s;

QStringList sentLines(const QString &name, qint64 size, const QString &source)
{
    return {u"File Information Sent to 127.0.0.1"_s,
            u"File Name= "_s + name,
            u"File Size(in bytes)= "_s + QString::number(size),
            u"Waiting for receiver[127.0.0.1] ready signal..."_s,
            u"Sending command accepted by [127.0.0.1]"_s,
            u"File Sending Started at *"_s,
            u"Now sending file ["_s + source + u']',
            u"File Sending Complete at *"_s};
}

QStringList requestLines(const QString &name, qint64 size)
{
    return {u"Send Request from [127.0.0.1]"_s, u"File Name= "_s + name,
            u"File Size(in bytes)= "_s + QString::number(size)};
}

QStringList receivedLines(const QString &name, qint64 size, const QString &target)
{
    return requestLines(name, size) + QStringList{u"Accepted Send Request at *"_s,
                                                  u"Saving file to ["_s + target + u']',
                                                  u"File Receive Complete at *"_s};
}

// True when the dialogs of the last events were each opened after their event had returned:
// seen right after the window's own handler, the count had not yet reached that event's dialog.
bool openedAfterEvents(const QList<qsizetype> &countsAtEvents, qsizetype finalCount)
{
    for (qsizetype i = 0; i < countsAtEvents.size(); ++i) {
        if (countsAtEvents.at(i) != finalCount - countsAtEvents.size() + i)
            return false;
    }
    return !countsAtEvents.isEmpty();
}

// A receiver window on free ports and a sender window pointed at it, each with its own
// scripted dialogs. The dialogs outlive the windows.
struct WindowsUnderTest
{
    ScriptedDialogs senderDialogs;
    ScriptedDialogs receiverDialogs;
    std::unique_ptr<frmReceiver> receiver;
    std::unique_ptr<frmSender> sender;
    int portInfo = 0;
    int portBinary = 0;
    // Dialog counts right after the windows' handlers of SendRequest and Error returned.
    QList<qsizetype> questionsAtRequests;
    QList<qsizetype> errorsAtSenderErrors;
    Probe afterRequest;
    Probe afterSenderError;

    bool open(const ComponentFactory &factory)
    {
        if (!factory)
            return false;
        receiver = std::make_unique<frmReceiver>(factory, &receiverDialogs, 0, 0);
        sender = std::make_unique<frmSender>(factory, &senderDialogs);
        if (!receiver->component() || !sender->component() || !receiver->isListening())
            return false;
        afterRequest.onHit = [this] {
            questionsAtRequests.append(receiverDialogs.questions.size());
        };
        afterSenderError.onHit = [this] {
            errorsAtSenderErrors.append(senderDialogs.errors.size());
        };
        QObject::connect(receiver->component(), SIGNAL(SendRequest()), &afterRequest, SLOT(hit()));
        QObject::connect(sender->component(),
                         SIGNAL(Error(short, QString &, int, QString, QString, int, bool &)),
                         &afterSenderError, SLOT(hit()));
        portInfo = fieldText(receiver.get(), "txtLocalPortInfo").toInt();
        portBinary = fieldText(receiver.get(), "txtLocalPortBinary").toInt();
        aimSender(sender.get());
        return portInfo > 0 && portBinary > 0;
    }

    void aimSender(frmSender *window) const
    {
        window->component()->setProperty("RemotePortInfo", portInfo);
        window->component()->setProperty("RemotePortBinary", portBinary);
    }

    QWidget *window(bool senderWindow) const
    {
        return senderWindow ? static_cast<QWidget *>(sender.get())
                            : static_cast<QWidget *>(receiver.get());
    }
    QObject *component(bool senderWindow) const
    {
        return senderWindow ? sender->component() : receiver->component();
    }

    QPushButton *senderButton(const char *name) const
    {
        return control<QPushButton>(sender.get(), name);
    }

    bool connectWindows()
    {
        const qsizetype sent = sender->eventLog().count("successfully."_L1);
        const qsizetype received = receiver->eventLog().count("Connection Request"_L1);
        senderButton("cmdConnect")->click();
        return QTest::qWaitFor([=, this] {
            return sender->eventLog().count("successfully."_L1) > sent &&
                   receiver->eventLog().count("Connection Request"_L1) > received;
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

// Both windows in this row's binding, the sender connected if asked.
#define OPEN_WINDOWS(windows, connected)                                                           \
    QFETCH_GLOBAL(bool, lateBound);                                                                \
    WindowsUnderTest windows;                                                                      \
    QVERIFY(windows.open(factoryFor(lateBound)));                                                  \
    QVERIFY(!(connected) || windows.connectWindows())

} // namespace

class tst_Windows : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase_data();
    void initTestCase();
    void init();
    void controlsAtLoad();
    void windowsStandSideBySide();
    void wholeTransfer();
    void percentagesAndBar_data();
    void percentagesAndBar();
    void refusalThenAcceptance();
    void setTargetAfterUnusableSaveAnswer_data();
    void setTargetAfterUnusableSaveAnswer();
    void failedConnectionAttemptAllowsRetry_data();
    void failedConnectionAttemptAllowsRetry();
    void badSendInputsAreRefused_data();
    void badSendInputsAreRefused();
    void sendFileFailureLeavesWindowReady();
    void receiverFailureReachesSenderWindow();
    void errorEventLeavesWindowReady_data();
    void errorEventLeavesWindowReady();
    void unsafeAnnouncedNameIsShownEscapedAndOfferedSafe();
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

void tst_Windows::controlsAtLoad()
{
    OPEN_WINDOWS(windows, false);

    // "name=initial text;": a leading "!" marks a control disabled at load, "*" any non-empty
    // text.
    const QString senderControls =
        u"famRemoteInfo=Remote Receiver Information;cmdConnect=&Connect to remote receiver;"
        u"txtRemoteHost=127.0.0.1;Label2=Remote Port(Info):;txtRemotePortInfo=;"
        u"Label3=Remote Port(Binary):;txtRemotePortBinary=;!famSendOption=Send File Option;"
        u"Label4=The file in local machine you want to send:;txtSource=;cmdBrowse=&Browse...;"
        u"Label5=Total File Size(in bytes):;txtTotalFileSize=0;Label6=Chunk Size(in bytes):;"
        u"txtChunkSize=4096;!cmdSend=&Send the file;famSendStatus=Send File Status;"
        u"Label7=Total Bytes Sent:;lblTotalByteSent=0;lblPercentage=Percentage;"
        u"Label8=Sending Speed(KBps):;txtSpeed=0;famLog=Event Log;txtEventLog="_s;
    const QString receiverControls =
        u"famRemoteInfo=Remote Receiver Information;Label1=Local Host IP:;txtLocalIP=*;"
        u"Label2=Local Port(Info):;txtLocalPortInfo=*;Label3=Local Port(Binary):;"
        u"txtLocalPortBinary=*;!famReceiveOption=Send File Option;"
        u"Label4=The location to save the file:;txtTarget=;!cmdSetTarget=Set Save &Target;"
        u"Label5=Total File Size(in bytes):;txtTotalFileSize=0;"
        u"famSendStatus=Receive File Status;Label7=Total Bytes Received:;"
        u"lblTotalByteReceived=0;lblPercentage=Percentage: ;Label8=Download Speed(KBps):;"
        u"txtSpeed=0;famLog=Event Log;txtEventLog="_s;

    for (const bool senderWindow : {true, false}) {
        QWidget *window = windows.window(senderWindow);
        for (const QString &entry :
             (senderWindow ? senderControls : receiverControls).split(u';')) {
            const bool enabled = !entry.startsWith(u'!');
            const QString name = entry.section(u'=', 0, 0).mid(enabled ? 0 : 1);
            const QString text = entry.section(u'=', 1);
            QWidget *widget = window->findChild<QWidget *>(name);
            QVERIFY2(widget, qPrintable(name));
            QVERIFY2(widget->isEnabledTo(widget->parentWidget()) == enabled, qPrintable(name));
            const char *shownBy = qobject_cast<QGroupBox *>(widget)        ? "title"
                                  : qobject_cast<QPlainTextEdit *>(widget) ? "plainText"
                                                                           : "text";
            const QString shown = widget->property(shownBy).toString();
            if (text == "*"_L1)
                QVERIFY2(!shown.isEmpty(), qPrintable(name));
            else
                QCOMPARE(shown, text);
        }
        QCOMPARE(control<QProgressBar>(window, "pb")->value(), 0);
        QVERIFY(!statusTimer(window)->isActive());
        QCOMPARE(statusTimer(window)->interval(), 500);
        QCOMPARE(window->windowTitle(), senderWindow ? u"Sender Form"_s : u"Receiver Form"_s);
    }
    QCOMPARE(windows.sender->eventLog(), QString());
    QCOMPARE(windows.receiver->eventLog(), QString());
}

void tst_Windows::windowsStandSideBySide()
{
    QFETCH_GLOBAL(bool, lateBound);
    const WindowPair pair = showWindows(factoryFor(lateBound), 0, 0);
    const std::unique_ptr<frmSender> sender(pair.sender);
    const std::unique_ptr<frmReceiver> receiver(pair.receiver);
    const QPoint origin = QGuiApplication::primaryScreen()->availableGeometry().topLeft();
    QVERIFY(sender->isVisible());
    QVERIFY(receiver->isVisible());
    QCOMPARE(sender->pos(), origin);
    QCOMPARE(receiver->pos(), QPoint(origin.x() + sender->frameGeometry().width(), origin.y()));
    QVERIFY(receiver->isListening());
    QVERIFY(!receiver->parent());
}

void tst_Windows::wholeTransfer()
{
    OPEN_WINDOWS(windows, false);
    frmSender *sender = windows.sender.get();
    frmReceiver *receiver = windows.receiver.get();
    auto *cmdConnect = windows.senderButton("cmdConnect");
    auto *cmdSend = windows.senderButton("cmdSend");

    // Ports show once the connection stands.
    cmdConnect->click();
    QVERIFY(!cmdConnect->isEnabled());
    QCOMPARE(fieldText(sender, "txtRemotePortInfo"), QString());
    QTRY_COMPARE(sender->eventLog(), ConnectedLine + "\r\n"_L1);
    QCOMPARE(fieldText(sender, "txtRemotePortInfo"), QString::number(windows.portInfo));
    QCOMPARE(fieldText(sender, "txtRemotePortBinary"), QString::number(windows.portBinary));
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
    QVERIFY(!writeFile(source, content).isEmpty());
    QFile::remove(target);
    windows.receiverDialogs.yesNoAnswers = {true};
    windows.receiverDialogs.saveAnswers = {target};

    // A path typed by hand does not enable sending, and a cancelled Browse keeps it.
    auto *txtSource = control<QLineEdit>(sender, "txtSource");
    QTest::keyClicks(txtSource, u"/typed/by/hand"_s);
    windows.senderDialogs.openAnswers = {QString(), source};
    windows.senderButton("cmdBrowse")->click();
    QCOMPARE(txtSource->text(), u"/typed/by/hand"_s);
    QVERIFY(!cmdSend->isEnabled());
    windows.senderButton("cmdBrowse")->click();
    QCOMPARE(txtSource->text(), source);
    QVERIFY(cmdSend->isEnabled());
    cmdSend->click();
    QVERIFY(!cmdSend->isEnabled());
    QCOMPARE(fieldText(sender, "txtTotalFileSize"), QString::number(content.size()));

    QTRY_VERIFY_WITH_TIMEOUT(sender->eventLog().contains("File Sending Complete at"_L1), 30000);
    QTRY_VERIFY(receiver->eventLog().contains("File Receive Complete at"_L1));
    QVERIFY(readFile(target) == content);
    QVERIFY(!QFileInfo::exists(target + "TMP"_L1));
    QVERIFY(senderTimerAtAccept);
    QVERIFY(receiverTimerAtArrival);
    COMPARE_LOG(sender->eventLog(),
                QStringList{ConnectedLine} + sentLines(u"data.bin"_s, content.size(), source));
    COMPARE_LOG(receiver->eventLog(), QStringList{ConnectionRequestLine} +
                                          receivedLines(u"data.bin"_s, content.size(), target));
    QCOMPARE(windows.receiverDialogs.questions,
             QStringList{u"A file sending request from 127.0.0.1 is made. Do you want to accept "
                         u"it?"_s});
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
    // The states after SendComplete and ReceiveComplete.
    QVERIFY(!cmdConnect->isEnabled());
    QVERIFY(cmdSend->isEnabled());
    QVERIFY(control<QGroupBox>(receiver, "famReceiveOption")->isEnabled());
    QVERIFY(!control<QPushButton>(receiver, "cmdSetTarget")->isEnabled());
    QCOMPARE(fieldText(receiver, "txtTarget"), target);

    QCOMPARE(windows.receiverDialogs.suggestedNames, QStringList{u"data.bin"_s});
    QVERIFY(
        openedAfterEvents(windows.questionsAtRequests, windows.receiverDialogs.questions.size()));

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

    const auto row = [](const char *name, bool sender, qint64 done, qint64 total,
                        const QString &percentage, int barMaximum, int barValue) {
        QTest::newRow(name) << sender << done << total << percentage << barMaximum << barValue;
    };
    row("sender 0 of 1000", true, 0, 1000, u"0%"_s, 1000, 0);
    row("receiver 500 of 1000", false, 500, 1000, u"50%"_s, 1000, 500);
    row("sender 999 of 1000", true, 999, 1000, u"99%"_s, 1000, 999);
    row("sender 1000 of 1000", true, 1000, 1000, u"100%"_s, 1000, 1000);
    row("receiver 1000 of 1000", false, 1000, 1000, u"100%"_s, 1000, 1000);
    row("receiver 29 of 100", false, 29, 100, u"29%"_s, 100, 29);
    row("sender total 0", true, 0, 0, QString(), -1, 0);
    row("receiver total 0", false, 0, 0, QString(), -1, 0);
    // Beyond 2 GiB the bar counts quarters: its range is an int.
    const qint64 sixGiB = qint64(6) << 30;
    row("receiver 3 GiB of 6 GiB", false, sixGiB / 2, sixGiB, u"50%"_s, sixGiB / 4, sixGiB / 8);
    row("sender more than announced", true, 1500, 1000, u"100%"_s, 1000, 1000);
}

void tst_Windows::percentagesAndBar()
{
    QFETCH(bool, senderWindow);
    QFETCH(qint64, done);
    QFETCH(qint64, total);
    QFETCH(QString, percentage);
    QFETCH(int, barMaximum);
    QFETCH(int, barValue);
    OPEN_WINDOWS(windows, false);
    QWidget *window = windows.window(senderWindow);
    QObject *component = windows.component(senderWindow);
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

void tst_Windows::refusalThenAcceptance()
{
    OPEN_WINDOWS(windows, true);
    frmSender *sender = windows.sender.get();
    frmReceiver *receiver = windows.receiver.get();

    const QString source = m_dir.filePath(u"refused.bin"_s);
    QVERIFY(!writeFile(source, randomBytes(5000)).isEmpty());
    windows.receiverDialogs.yesNoAnswers = {false};
    windows.send(source);
    QTRY_VERIFY(sender->eventLog().contains("Sending command refused by [127.0.0.1]"_L1));
    COMPARE_LOG(sender->eventLog(), QStringList{ConnectedLine} +
                                        sentLines(u"refused.bin"_s, 5000, source).mid(0, 4) +
                                        QStringList{u"Sending command refused by [127.0.0.1]"_s});
    COMPARE_LOG(receiver->eventLog(),
                QStringList{ConnectionRequestLine} + requestLines(u"refused.bin"_s, 5000));
    // The sender's state after CommandRefused; No changes nothing in the receiver window.
    QVERIFY(!windows.senderButton("cmdConnect")->isEnabled());
    QVERIFY(windows.senderButton("cmdSend")->isEnabled());
    QVERIFY(!statusTimer(sender)->isActive());
    QCOMPARE(fieldText(receiver, "txtTotalFileSize"), u"0"_s);
    QVERIFY(!control<QGroupBox>(receiver, "famReceiveOption")->isEnabled());
    QVERIFY(!control<QPushButton>(receiver, "cmdSetTarget")->isEnabled());
    QVERIFY(!statusTimer(receiver)->isActive());
    QVERIFY(windows.receiverDialogs.suggestedNames.isEmpty());

    // The same file announced again is accepted.
    const QString target = m_dir.filePath(u"accepted.bin"_s);
    windows.receiverDialogs.yesNoAnswers = {true};
    windows.receiverDialogs.saveAnswers = {target};
    windows.senderButton("cmdSend")->click();
    QTRY_VERIFY(receiver->eventLog().contains("File Receive Complete at"_L1));
    QVERIFY(readFile(target) == readFile(source));
    QVERIFY(
        openedAfterEvents(windows.questionsAtRequests, windows.receiverDialogs.questions.size()));
}

void tst_Windows::setTargetAfterUnusableSaveAnswer_data()
{
    QTest::addColumn<QString>("firstAnswer"); // relative to the test folder
    QTest::addColumn<int>("errorsShown");

    QTest::newRow("dialog cancelled") << QString() << 0;
    QTest::newRow("folder missing") << u"no such folder/later.bin"_s << 1;
}

void tst_Windows::setTargetAfterUnusableSaveAnswer()
{
    QFETCH(QString, firstAnswer);
    QFETCH(int, errorsShown);
    OPEN_WINDOWS(windows, true);
    frmReceiver *receiver = windows.receiver.get();
    auto *cmdSetTarget = control<QPushButton>(receiver, "cmdSetTarget");

    const QString source = m_dir.filePath(u"later.bin"_s);
    const QByteArray content = randomBytes(70000);
    QVERIFY(!writeFile(source, content).isEmpty());
    const QString unusable = firstAnswer.isEmpty() ? QString() : m_dir.filePath(firstAnswer);
    windows.receiverDialogs.yesNoAnswers = {true};
    windows.receiverDialogs.saveAnswers = {unusable};
    windows.send(source);
    QTRY_COMPARE(windows.receiverDialogs.suggestedNames, QStringList{u"later.bin"_s});
    QTRY_COMPARE(windows.receiverDialogs.errors.size(), errorsShown);
    QCOMPARE(fieldText(receiver, "txtTotalFileSize"), u"70000"_s);
    QVERIFY(control<QGroupBox>(receiver, "famReceiveOption")->isEnabled());
    QVERIFY(cmdSetTarget->isEnabled());
    QVERIFY(!statusTimer(receiver)->isActive());
    QCOMPARE(fieldText(receiver, "txtTarget"), unusable);
    // Nothing logged after the request, and the sender hears nothing.
    QTest::qWait(200);
    COMPARE_LOG(receiver->eventLog(),
                QStringList{ConnectionRequestLine} + requestLines(u"later.bin"_s, 70000));
    QVERIFY(windows.sender->eventLog().endsWith("ready signal...\r\n"_L1));
    QVERIFY(unusable.isEmpty() || !QFileInfo::exists(unusable + "TMP"_L1));

    const QString target = m_dir.filePath(u"later copy.bin"_s);
    windows.receiverDialogs.saveAnswers = {target};
    cmdSetTarget->click();
    QVERIFY(!cmdSetTarget->isEnabled());
    QCOMPARE(fieldText(receiver, "txtTarget"), target);
    QCOMPARE(windows.receiverDialogs.suggestedNames, (QStringList{u"later.bin"_s, u"later.bin"_s}));
    QTRY_VERIFY(windows.sender->eventLog().contains("File Sending Complete at"_L1));
    QTRY_VERIFY(receiver->eventLog().contains("File Receive Complete at"_L1));
    QVERIFY(readFile(target) == content);
    COMPARE_LOG(receiver->eventLog(),
                QStringList{ConnectionRequestLine} + receivedLines(u"later.bin"_s, 70000, target));
}

void tst_Windows::failedConnectionAttemptAllowsRetry_data()
{
    QTest::addColumn<QString>("host");
    QTest::addColumn<int>("number");

    QTest::newRow("refused") << u"127.0.0.1"_s << 10061;
    QTest::newRow("no host") << QString() << 10049;
}

void tst_Windows::failedConnectionAttemptAllowsRetry()
{
    QFETCH(QString, host);
    QFETCH(int, number);
    OPEN_WINDOWS(windows, false);
    frmSender *sender = windows.sender.get();
    {
        QTcpServer closed;
        QVERIFY(closed.listen(QHostAddress::LocalHost));
        sender->component()->setProperty("RemotePortInfo", int(closed.serverPort()));
    }
    control<QLineEdit>(sender, "txtRemoteHost")->setText(host);
    auto *cmdConnect = windows.senderButton("cmdConnect");
    cmdConnect->click();
    QTRY_COMPARE(windows.senderDialogs.errors.size(), 1);
    QCOMPARE(windows.senderDialogs.errors.first().title, QString::number(number));
    QVERIFY(!windows.senderDialogs.errors.first().text.isEmpty());
    QVERIFY(cmdConnect->isEnabled());
    QCOMPARE(sender->eventLog(), QString());

    // The retry reaches the receiver; an error on a working connection keeps Connect disabled.
    control<QLineEdit>(sender, "txtRemoteHost")->setText(u"127.0.0.1"_s);
    windows.aimSender(sender);
    QVERIFY(windows.connectWindows());
    QVERIFY(!cmdConnect->isEnabled());
    QString description = u"The connection was aborted"_s;
    bool cancelDisplay = false;
    QVERIFY(QMetaObject::invokeMethod(sender->component(), "Error", Q_ARG(short, 10053),
                                      Q_ARG(QString &, description), Q_ARG(int, 10053),
                                      Q_ARG(QString, u"wsInfo"_s), Q_ARG(QString, QString()),
                                      Q_ARG(int, 0), Q_ARG(bool &, cancelDisplay)));
    QTRY_COMPARE(windows.senderDialogs.errors.size(), 2);
    QCOMPARE(windows.senderDialogs.errors.last().title, u"10053"_s);
    QCOMPARE(windows.senderDialogs.errors.last().text, description);
    QVERIFY(!cmdConnect->isEnabled());
    QCOMPARE(sender->eventLog(), ConnectedLine + "\r\n"_L1);
    QVERIFY(openedAfterEvents(windows.errorsAtSenderErrors, windows.senderDialogs.errors.size()));
}

void tst_Windows::badSendInputsAreRefused_data()
{
    QTest::addColumn<QString>("chunkSize");
    QTest::addColumn<QString>("file"); // relative to the test folder
    QTest::addColumn<QString>("reason");

    QTest::newRow("chunk size not a number") << u"4k"_s << u"good.bin"_s << u"chunk size"_s;
    QTest::newRow("chunk size 0") << u"0"_s << u"good.bin"_s << u"chunk size"_s;
    QTest::newRow("chunk size above 64 MiB") << u"67108865"_s << u"good.bin"_s << u"chunk size"_s;
    QTest::newRow("missing file") << u"4096"_s << u"missing.bin"_s << u"does not exist"_s;
    QTest::newRow("a folder") << u"4096"_s << u"folder"_s << u"not a regular file"_s;
}

void tst_Windows::badSendInputsAreRefused()
{
    QFETCH_GLOBAL(bool, lateBound);
    QFETCH(QString, chunkSize);
    QFETCH(QString, file);
    QFETCH(QString, reason);

    QVERIFY(!writeFile(m_dir.filePath(u"good.bin"_s), randomBytes(100)).isEmpty());
    QDir(m_dir.path()).mkdir(u"folder"_s);
    WindowsUnderTest windows;
    QVERIFY(windows.open(factoryFor(lateBound)));
    QVERIFY(windows.connectWindows());

    windows.send(m_dir.filePath(file), chunkSize);
    QTRY_COMPARE(windows.senderDialogs.errors.size(), 1);
    QVERIFY2(windows.senderDialogs.errors.first().text.contains(reason),
             qPrintable(windows.senderDialogs.errors.first().text));
    QVERIFY(windows.senderButton("cmdSend")->isEnabled());
    QCOMPARE(windows.sender->eventLog(), ConnectedLine + "\r\n"_L1);

    // Put right, the same window sends; the receiver heard of the good file only.
    windows.receiverDialogs.yesNoAnswers = {false};
    windows.send(m_dir.filePath(u"good.bin"_s), u"4096"_s);
    QTRY_VERIFY(windows.sender->eventLog().contains("refused by"_L1));
    QCOMPARE(windows.receiver->eventLog().count("Send Request"_L1), 1);
    QCOMPARE(windows.senderDialogs.errors.size(), 1);
}

void tst_Windows::sendFileFailureLeavesWindowReady()
{
    OPEN_WINDOWS(windows, true);
    frmSender *sender = windows.sender.get();

    // The file disappears while the receiver's user thinks about it.
    const QString source = m_dir.filePath(u"vanishing.bin"_s);
    QVERIFY(!writeFile(source, randomBytes(10000)).isEmpty());
    windows.send(source);
    QTRY_VERIFY(windows.receiverDialogs.pendingQuestion);
    QVERIFY(QFile::remove(source));
    windows.receiverDialogs.saveAnswers = {m_dir.filePath(u"never.bin"_s)};
    std::exchange(windows.receiverDialogs.pendingQuestion, nullptr)(true);

    // The failure is said first; then the session ends, so the receiver drops its file.
    QTRY_VERIFY(sender->eventLog().contains("lost at"_L1));
    const QStringList lines = sender->eventLog().chopped(2).split("\r\n"_L1);
    QVERIFY(lines.at(lines.size() - 3).startsWith("Now sending file ["_L1));
    QVERIFY2(lines.at(lines.size() - 2).startsWith("Send Error "_L1), qPrintable(lines.last()));
    QTRY_COMPARE(windows.senderDialogs.errors.size(), 1);
    QVERIFY(lines.at(lines.size() - 2).endsWith(windows.senderDialogs.errors.first().text));
    QVERIFY(windows.senderButton("cmdConnect")->isEnabled());
    QTRY_VERIFY(windows.receiver->eventLog().contains("Sender disconnected"_L1));
    QCOMPARE(QDir(m_dir.path()).entryList({u"never*"_s}, QDir::Files), QStringList());
    QVERIFY(!statusTimer(sender)->isActive());
    QCOMPARE(control<QProgressBar>(sender, "pb")->value(), 0);
    QVERIFY(windows.senderButton("cmdSend")->isEnabled());
}

void tst_Windows::receiverFailureReachesSenderWindow()
{
    // The receiver's disk fills during the file: both windows say so and are ready again.
    const int runs = qEnvironmentVariableIntValue("CORVANE_DISKFULL_RUNS");
    const QString source = writeFile(m_dir.filePath(u"big.bin"_s), randomBytes(2 << 20));
    for (int run = 0; run < std::max(runs, 1); ++run) {
        OPEN_WINDOWS(windows, true);
        windows.receiverDialogs.yesNoAnswers = {true};
        windows.receiverDialogs.saveAnswers = {m_dir.filePath(u"full.bin"_s)};
        rlimit original{};
        QVERIFY(::getrlimit(RLIMIT_FSIZE, &original) == 0);
        const auto previousHandler = std::signal(SIGXFSZ, SIG_IGN);
        const auto restore = qScopeGuard([&] {
            ::setrlimit(RLIMIT_FSIZE, &original);
            std::signal(SIGXFSZ, previousHandler);
        });
        rlimit limited = original;
        limited.rlim_cur = 256 * 1024;
        QVERIFY(::setrlimit(RLIMIT_FSIZE, &limited) == 0);
        windows.send(source);
        QTRY_VERIFY(windows.sender->eventLog().contains("lost at"_L1));
        QVERIFY(windows.receiver->eventLog().contains("Receive Error 61"_L1));
        QTRY_COMPARE(windows.senderDialogs.errors.size(), 1);
        QVERIFY(windows.senderButton("cmdConnect")->isEnabled());
        QCOMPARE(QDir(m_dir.path()).entryList({u"full*"_s}, QDir::Files), QStringList());
        QTRY_VERIFY(windows.receiver->isListening());
        QVERIFY(windows.connectWindows());
    }
}

void tst_Windows::errorEventLeavesWindowReady_data()
{
    QTest::addColumn<bool>("senderWindow");
    QTest::addColumn<QString>("description");
    QTest::addColumn<QString>("logLine");

    QTest::newRow("SendError") << true << u"Connection reset\nby peer"_s
                               << u"Send Error 10054: Connection reset\\x0aby peer"_s;
    QTest::newRow("ReceiveError") << false << u"Disk full"_s << u"Receive Error 10054: Disk full"_s;
}

void tst_Windows::errorEventLeavesWindowReady()
{
    QFETCH(bool, senderWindow);
    QFETCH(QString, description);
    QFETCH(QString, logLine);
    OPEN_WINDOWS(windows, senderWindow);
    QWidget *window = windows.window(senderWindow);
    QObject *component = windows.component(senderWindow);
    if (senderWindow) {
        const QString source = m_dir.filePath(u"interrupted.bin"_s);
        QVERIFY(!writeFile(source, randomBytes(1000)).isEmpty());
        windows.send(source);
        QTRY_VERIFY(windows.receiverDialogs.pendingQuestion);
        QVERIFY(!windows.senderButton("cmdSend")->isEnabled());
    }
    // Progress shown, the tick running.
    statusTimer(window)->start();
    QVERIFY(QMetaObject::invokeMethod(component, senderWindow ? "SendProgress" : "ReceiveProgress",
                                      Q_ARG(qint64, 300), Q_ARG(qint64, 1000)));
    QVERIFY(QMetaObject::invokeMethod(statusTimer(window), "timeout"));
    QCOMPARE(control<QProgressBar>(window, "pb")->value(), 300);

    QVERIFY(QMetaObject::invokeMethod(component, senderWindow ? "SendError" : "ReceiveError",
                                      Q_ARG(int, 10054), Q_ARG(QString, description)));
    const QString log = senderWindow ? windows.sender->eventLog() : windows.receiver->eventLog();
    QVERIFY2(log.endsWith(logLine + "\r\n"_L1), qPrintable(log));
    QVERIFY(!statusTimer(window)->isActive());
    QCOMPARE(control<QProgressBar>(window, "pb")->value(), 0);
    // A later tick would show nothing of the failed file.
    QVERIFY(QMetaObject::invokeMethod(statusTimer(window), "timeout"));
    QCOMPARE(
        control<QLabel>(window, senderWindow ? "lblTotalByteSent" : "lblTotalByteReceived")->text(),
        u"0"_s);
    if (senderWindow) {
        QVERIFY(windows.senderButton("cmdSend")->isEnabled());
        QTRY_COMPARE(windows.senderDialogs.errors.size(), 1);
        QCOMPARE(windows.senderDialogs.errors.first().title, u"10054"_s);
    }
}

void tst_Windows::unsafeAnnouncedNameIsShownEscapedAndOfferedSafe()
{
    OPEN_WINDOWS(windows, true);

    const QString source = m_dir.filePath(u"bell\u0007and\ttab\u202E.txt"_s);
    QVERIFY(!writeFile(source, "tiny").isEmpty());
    windows.receiverDialogs.yesNoAnswers = {true};
    windows.receiverDialogs.saveAnswers = {QString()};
    windows.send(source);
    QTRY_COMPARE(windows.receiverDialogs.suggestedNames, QStringList{u"bellandtab.txt"_s});
    QVERIFY(
        windows.receiver->eventLog().contains("File Name= bell\\x07and\\x09tab\\u202e.txt\r\n"_L1));
    QVERIFY(
        windows.sender->eventLog().contains("File Name= bell\\x07and\\x09tab\\u202e.txt\r\n"_L1));
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
    QVERIFY(fieldText(&receiver, "txtLocalPortInfo").contains("not listening"_L1));
    QVERIFY(control<QGroupBox>(&receiver, "famLog")->isEnabled());
    QCOMPARE(receiver.eventLog(), QString());
}

void tst_Windows::senderNoticesLostReceiver()
{
    OPEN_WINDOWS(windows, true);
    frmSender *sender = windows.sender.get();

    // Lost while the receiver's user is asked: the announced file is over.
    const QString source = m_dir.filePath(u"orphan.bin"_s);
    QVERIFY(!writeFile(source, randomBytes(2000)).isEmpty());
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
    OPEN_WINDOWS(windows, true);
    frmReceiver *receiver = windows.receiver.get();

    // Lost while the user is asked: the answer no longer counts.
    const QString source = m_dir.filePath(u"question.bin"_s);
    QVERIFY(!writeFile(source, randomBytes(2000)).isEmpty());
    windows.send(source);
    QTRY_VERIFY(windows.receiverDialogs.pendingQuestion);
    windows.sender.reset();

    QTRY_VERIFY(receiver->eventLog().contains("Sender disconnected at "_L1));
    QTRY_VERIFY(receiver->isListening());
    std::exchange(windows.receiverDialogs.pendingQuestion, nullptr)(true);
    QVERIFY(windows.receiverDialogs.suggestedNames.isEmpty());
    QCOMPARE(receiver->eventLog().count("Sender disconnected"_L1), 1);
    QCOMPARE(fieldText(receiver, "txtLocalPortInfo"), QString::number(windows.portInfo));
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
    QCOMPARE(receiver->eventLog().count(ConnectionRequestLine), 2);
}

QTEST_MAIN(tst_Windows)
#include "tst_windows.moc"
