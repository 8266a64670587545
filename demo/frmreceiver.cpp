#include "demo/frmreceiver.h"

#include "demo/eventlog.h"
#include "demo/qtwindowdialogs.h"
#include "demo/transferdisplay.h"
#include "demo/windowcontrols.h"
#include "protocol/announcedname.h"

#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QTimer>

using namespace Qt::StringLiterals;

namespace corvane {

namespace {
constexpr auto ReceiverClassID = "Corvane.BinaryReceiver"_L1;
constexpr int StatusInterval = 500;
} // namespace

frmReceiver::frmReceiver(const ComponentFactory &factory, WindowDialogs *dialogs, int portInfo,
                         int portBinary, QWidget *parent)
    : QWidget(parent)
{
    if (!dialogs) {
        m_ownDialogs = std::make_unique<QtWindowDialogs>();
        dialogs = m_ownDialogs.get();
    }
    m_dialogs = dialogs;
    setObjectName(u"frmReceiver"_s);
    setWindowTitle(u"Receiver Form"_s);
    resize(WindowControls::twips(0, 0, 5880, 6585).size());
    setFont(WindowControls::windowFont(font()));

    QString error;
    QWidget *component = factory ? factory(ReceiverClassID, this, &error) : nullptr;
    if (component) {
        component->setObjectName(u"Reader"_s);
        component->move(WindowControls::twips(4440, 6120, 0, 0).topLeft());
        // Its face says nothing at run time and would stick out under the progress bar.
        component->hide();
    }
    m_reader = ComponentBinding(component);
    buildControls();
    if (!component) {
        showError(u"Receiver Form"_s, u"The receiving component %1 could not be created: %2"_s.arg(
                                          ReceiverClassID, error));
        return;
    }
    subscribe();

    m_reader.set("LocalPortBinary", portBinary);
    m_reader.set("LocalPortInfo", portInfo);
    listen();
}

frmReceiver::~frmReceiver() = default;

void frmReceiver::buildControls()
{
    using namespace WindowControls;
    const Qt::Alignment right = Qt::AlignRight;

    famRemoteInfo =
        frame(this, "famRemoteInfo", u"Remote Receiver Information"_s, twips(120, 0, 5655, 1215));
    label(famRemoteInfo, "Label1", u"Local Host IP:"_s, twips(120, 240, 2295, 255), right);
    txtLocalIP =
        field(famRemoteInfo, "txtLocalIP", QString(), twips(2400, 240, 3135, 285), true, false);
    label(famRemoteInfo, "Label2", u"Local Port(Info):"_s, twips(120, 600, 2295, 255), right);
    txtLocalPortInfo = field(famRemoteInfo, "txtLocalPortInfo", QString(),
                             twips(2400, 600, 3135, 285), true, false);
    label(famRemoteInfo, "Label3", u"Local Port(Binary):"_s, twips(120, 840, 2295, 255), right);
    txtLocalPortBinary = field(famRemoteInfo, "txtLocalPortBinary", QString(),
                               twips(2400, 840, 3135, 285), true, false);

    famReceiveOption =
        frame(this, "famReceiveOption", u"Send File Option"_s, twips(120, 1200, 5655, 1575));
    famReceiveOption->setEnabled(false);
    label(famReceiveOption, "Label4", u"The location to save the file:"_s,
          twips(120, 240, 5415, 255), Qt::AlignLeft);
    txtTarget =
        field(famReceiveOption, "txtTarget", QString(), twips(120, 480, 5415, 285), true, false);
    cmdSetTarget = button(famReceiveOption, "cmdSetTarget", u"Set Save &Target"_s,
                          twips(2400, 840, 3135, 285), false);
    label(famReceiveOption, "Label5", u"Total File Size(in bytes):"_s, twips(120, 1200, 2295, 255),
          right);
    txtTotalFileSize = field(famReceiveOption, "txtTotalFileSize", u"0"_s,
                             twips(2400, 1200, 3135, 285), true, false);

    famSendStatus =
        frame(this, "famSendStatus", u"Receive File Status"_s, twips(120, 2760, 5655, 1095));
    label(famSendStatus, "Label7", u"Total Bytes Received:"_s, twips(120, 240, 2295, 255), right);
    lblTotalByteReceived =
        fieldLabel(famSendStatus, "lblTotalByteReceived", u"0"_s, twips(2400, 240, 3135, 255));
    lblPercentage = label(famSendStatus, "lblPercentage", u"Percentage: "_s,
                          twips(3120, 480, 1815, 255), Qt::AlignHCenter);
    label(famSendStatus, "Label8", u"Download Speed(KBps):"_s, twips(120, 720, 2295, 255), right);
    txtSpeed = field(famSendStatus, "txtSpeed", u"0"_s, twips(2400, 720, 3135, 285), true, false);

    famLog = frame(this, "famLog", u"Event Log"_s, twips(120, 3840, 5655, 2175));
    txtEventLog = logField(famLog, "txtEventLog", twips(120, 240, 5415, 1815));
    m_log = std::make_unique<EventLog>(txtEventLog);

    pb = progressBar(this, "pb", twips(120, 6120, 5655, 375));
    tmrStatus = new QTimer(this);
    tmrStatus->setObjectName(u"tmrStatus"_s);
    tmrStatus->setInterval(StatusInterval);

    connect(cmdSetTarget, &QPushButton::clicked, this, &frmReceiver::cmdSetTarget_Click);
    connect(tmrStatus, &QTimer::timeout, this, &frmReceiver::tmrStatus_Timer);
}

void frmReceiver::subscribe()
{
    static constexpr std::pair<const char *, const char *> events[] = {
        {"ConnectionRequest()", "Reader_ConnectionRequest()"},
        {"SendRequest()", "Reader_SendRequest()"},
        {"ReceiveProgress(qint64,qint64)", "Reader_ReceiveProgress(qint64,qint64)"},
        {"SpeedRecord(int)", "Reader_SpeedRecord(int)"},
        {"ReceiveComplete()", "Reader_ReceiveComplete()"},
        {"ReceiveError(int,QString)", "Reader_ReceiveError(int,QString)"},
        {"Disconnected()", "Reader_Disconnected()"},
    };
    for (const auto &[event, handler] : events)
        m_reader.subscribe(event, this, handler);
}

void frmReceiver::listen()
{
    m_listening = m_reader.call("Listen()");
    txtLocalIP->setText(m_reader.text("LocalIP"));
    const QString portInfo = QString::number(m_reader.number("LocalPortInfo"));
    const QString portBinary = QString::number(m_reader.number("LocalPortBinary"));
    if (m_listening) {
        txtLocalPortInfo->setText(portInfo);
        txtLocalPortBinary->setText(portBinary);
        return;
    }
    txtLocalPortInfo->setText(portInfo + u" (not listening)"_s);
    txtLocalPortBinary->setText(portBinary + u" (not listening)"_s);
    showError(u"Not listening"_s,
              u"The receiver cannot listen on port %1 (info) and port %2 (binary): %3 (error %4)."
              u" No sender can connect to this window."_s
                  .arg(portInfo, portBinary, m_reader.errorDescription())
                  .arg(m_reader.errorNumber()));
}

QString frmReceiver::eventLog() const
{
    return m_log->text();
}

void frmReceiver::AddLog(const QString &text)
{
    m_log->add(text);
}

void frmReceiver::showError(const QString &title, const QString &text)
{
    QTimer::singleShot(0, this, [this, title, text] { m_dialogs->showError(this, title, text); });
}

QString frmReceiver::remoteAddress() const
{
    return m_reader.getFrom("TheWinsock", "RemoteHostIP").toString();
}

void frmReceiver::Reader_ConnectionRequest()
{
    AddLog(u"Connection Request from ["_s + remoteAddress() + u']');
}

void frmReceiver::Reader_SendRequest()
{
    const quint64 request = ++m_request;
    AddLog(u"Send Request from ["_s + remoteAddress() + u']');
    AddLog(u"File Name= "_s + AnnouncedName::visible(m_reader.text("CurrentFileName")));
    AddLog(u"File Size(in bytes)= "_s + QString::number(m_reader.number("CurrentFileSize")));
    // The question waits until the component's event has returned.
    QTimer::singleShot(0, this, [this, request] { askAboutRequest(request); });
}

void frmReceiver::askAboutRequest(quint64 request)
{
    if (request != m_request)
        return;
    const QString question = u"A file sending request from "_s + remoteAddress() +
                             u" is made. Do you want to accept it?"_s;
    m_dialogs->askYesNo(this, question, [self = QPointer(this), request](bool yes) {
        if (self && request == self->m_request)
            self->answerRequest(yes);
    });
}

void frmReceiver::answerRequest(bool yes)
{
    if (!yes) {
        if (!m_reader.call("RefuseSendRequest()"))
            showError(QString::number(m_reader.errorNumber()), m_reader.errorDescription());
        m_reader.call("ResetFile()");
        return;
    }
    txtTotalFileSize->setText(QString::number(m_reader.number("CurrentFileSize")));
    famReceiveOption->setEnabled(true);
    chooseSaveTarget();
}

void frmReceiver::cmdSetTarget_Click()
{
    chooseSaveTarget();
}

void frmReceiver::chooseSaveTarget()
{
    const quint64 request = m_request;
    m_dialogs->chooseFileToSave(this, u"All File *.* (*)"_s,
                                AnnouncedName::safeName(m_reader.text("CurrentFileName")),
                                [self = QPointer(this), request](const QString &path) {
                                    if (self && request == self->m_request)
                                        self->saveTargetChosen(path);
                                });
}

void frmReceiver::saveTargetChosen(const QString &path)
{
    if (path.isEmpty()) {
        cmdSetTarget->setEnabled(true);
        return;
    }
    // The field shows the path escaped; the component gets it as chosen.
    txtTarget->setText(AnnouncedName::visible(path));
    tmrStatus->start();
    m_accepting = true;
    const bool accepted = m_reader.call("AcceptSendRequest(QString)", path);
    m_accepting = false;
    if (!accepted) {
        tmrStatus->stop();
        cmdSetTarget->setEnabled(true);
        // The description names the chosen path.
        showError(QString::number(m_reader.errorNumber()),
                  AnnouncedName::visible(m_reader.errorDescription()));
        return;
    }
    AddLog(u"Accepted Send Request at "_s + timeOfDay());
    AddLog(u"Saving file to ["_s + txtTarget->text() + u']');
    cmdSetTarget->setEnabled(false);
}

void frmReceiver::tmrStatus_Timer()
{
    showTransferStatus(pb, lblTotalByteReceived, lblPercentage, m_bytesReceived, m_bytesTotal);
}

void frmReceiver::Reader_ReceiveProgress(qint64 Progress, qint64 ProgressMax)
{
    m_bytesReceived = Progress;
    m_bytesTotal = ProgressMax;
}

void frmReceiver::Reader_SpeedRecord(int Speed)
{
    txtSpeed->setText(QString::number(Speed));
}

void frmReceiver::Reader_ReceiveComplete()
{
    if (m_accepting) {
        // An empty file completes at once; its lines follow the acceptance's.
        QTimer::singleShot(0, this, &frmReceiver::Reader_ReceiveComplete);
        return;
    }
    tmrStatus->stop();
    AddLog(u"File Receive Complete at "_s + timeOfDay());
    pb->setValue(0);
    m_reader.call("ResetFile()");
    m_bytesReceived = 0;
    m_bytesTotal = 0;
    lblPercentage->setText(u"100%"_s);
}

void frmReceiver::Reader_ReceiveError(int Number, const QString &Description)
{
    AddLog(u"Receive Error %1: %2"_s.arg(Number).arg(AnnouncedName::visible(Description)));
    endTransfer();
}

// Leaves the window ready for the next file after one that did not arrive.
void frmReceiver::endTransfer()
{
    tmrStatus->stop();
    pb->setValue(0);
    m_reader.call("ResetFile()");
    m_bytesReceived = 0;
    m_bytesTotal = 0;
}

void frmReceiver::Reader_Disconnected()
{
    // Both channels report their loss; the first report is handled for both.
    if (m_listenAgainQueued)
        return;
    m_listenAgainQueued = true;
    ++m_request;
    AddLog(u"Sender disconnected at "_s + timeOfDay());
    tmrStatus->stop();
    pb->setValue(0);
    m_bytesReceived = 0;
    m_bytesTotal = 0;
    cmdSetTarget->setEnabled(false);
    // Listening again closes the component's endpoints: not from inside their notification.
    QTimer::singleShot(0, this, &frmReceiver::listenAgain);
}

void frmReceiver::listenAgain()
{
    m_listenAgainQueued = false;
    m_reader.call("ResetFile()");
    listen();
}

} // namespace corvane
