#include "demo/frmreceiver.h"

#include "demo/transferdisplay.h"
#include "demo/windowcontrols.h"
#include "demo/windowdialogs.h"
#include "library/classids.h"
#include "protocol/announcedname.h"

#include <QDir>
#include <QFileInfo>
#include <QGroupBox>
#include <QLineEdit>
#include <QPushButton>
#include <QSettings>
#include <QTimer>

using namespace Qt::StringLiterals;

namespace corvane {

frmReceiver::frmReceiver(const ComponentFactory &factory, WindowDialogs *dialogs, int portInfo,
                         int portBinary, QWidget *parent)
    : ComponentWindow("frmReceiver", u"Receiver Form"_s, {5880, 6585}, dialogs, parent)
{
    const bool created = createComponent(factory, ReceiverClassID, "Reader", u"receiving"_s);
    buildControls();
    if (!created)
        return;
    subscribe({
        {"ConnectionRequest()", "Reader_ConnectionRequest()"},
        {"SendRequest()", "Reader_SendRequest()"},
        {"ReceiveProgress(qint64,qint64)", "Component_Progress(qint64,qint64)"},
        {"SpeedRecord(int)", "Component_SpeedRecord(int)"},
        {"ReceiveComplete()", "Reader_ReceiveComplete()"},
        {"ReceiveError(int,QString)", "Reader_ReceiveError(int,QString)"},
        {"Disconnected()", "Reader_Disconnected()"},
    });
    m_component.set("LocalPortBinary", portBinary);
    m_component.set("LocalPortInfo", portInfo);
    listen();
}

frmReceiver::~frmReceiver() = default;

void frmReceiver::buildControls()
{
    using namespace WindowControls;
    const Qt::Alignment right = Qt::AlignRight;

    auto *famRemoteInfo =
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
    buildCancel(famReceiveOption, twips(1080, 840, 1215, 285));
    label(famReceiveOption, "Label5", u"Total File Size(in bytes):"_s, twips(120, 1200, 2295, 255),
          right);
    txtTotalFileSize = field(famReceiveOption, "txtTotalFileSize", u"0"_s,
                             twips(2400, 1200, 3135, 285), true, false);

    buildStatus(2760, {u"Receive File Status"_s, u"Total Bytes Received:"_s, "lblTotalByteReceived",
                       u"Percentage: "_s, u"Download Speed(KBps):"_s, false});
    buildLog(3840, 2175);

    connect(cmdSetTarget, &QPushButton::clicked, this, &frmReceiver::cmdSetTarget_Click);
}

void frmReceiver::listen()
{
    m_listening = m_component.call("Listen()");
    txtLocalIP->setText(m_component.text("LocalIP"));
    const QString portInfo = QString::number(m_component.number("LocalPortInfo"));
    const QString portBinary = QString::number(m_component.number("LocalPortBinary"));
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
                  .arg(portInfo, portBinary, m_component.errorDescription())
                  .arg(m_component.errorNumber()));
}

QString frmReceiver::remoteAddress() const
{
    return m_component.getFrom("TheWinsock", "RemoteHostIP").toString();
}

void frmReceiver::Reader_ConnectionRequest()
{
    m_listening = false;
    AddLog(u"Connection Request from ["_s + remoteAddress() + u']');
}

void frmReceiver::Reader_SendRequest()
{
    const quint64 request = ++m_request;
    setFileUnderWay(true);
    AddLog(u"Send Request from ["_s + remoteAddress() + u']');
    AddLog(u"File Name= "_s + AnnouncedName::visible(m_component.text("CurrentFileName")));
    AddLog(u"File Size(in bytes)= "_s + QString::number(m_component.number("CurrentFileSize")));
    // The question waits until the component's event has returned.
    QTimer::singleShot(0, this, [this, request] { askAboutRequest(request); });
}

void frmReceiver::askAboutRequest(quint64 request)
{
    if (request != m_request)
        return;
    const QString question = u"A file sending request from "_s + remoteAddress() +
                             u" is made. Do you want to accept it?"_s;
    dialogs()->askYesNo(this, question, [self = QPointer(this), request](bool yes) {
        if (self && request == self->m_request)
            self->answerRequest(yes);
    });
}

void frmReceiver::answerRequest(bool yes)
{
    if (!yes) {
        if (!m_component.call("RefuseSendRequest()"))
            showCallError();
        m_component.call("ResetFile()");
        setFileUnderWay(false);
        return;
    }
    txtTotalFileSize->setText(QString::number(m_component.number("CurrentFileSize")));
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
    const QString name = AnnouncedName::safeName(m_component.text("CurrentFileName"));
    const QString folder = QSettings().value(u"Receiver/Folder"_s).toString();
    dialogs()->chooseFileToSave(this, u"All File *.* (*)"_s,
                                folder.isEmpty() ? name : QDir(folder).filePath(name),
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
    startStatus();
    m_accepting = true;
    const bool accepted = m_component.call("AcceptSendRequest(QString)", path);
    m_accepting = false;
    if (!accepted) {
        stopStatus();
        cmdSetTarget->setEnabled(true);
        // The description names the chosen path.
        showError(QString::number(m_component.errorNumber()),
                  AnnouncedName::visible(m_component.errorDescription()));
        return;
    }
    QSettings().setValue(u"Receiver/Folder"_s, QFileInfo(path).absolutePath());
    AddLog(u"Accepted Send Request at "_s + timeOfDay());
    AddLog(u"Saving file to ["_s + txtTarget->text() + u']');
    cmdSetTarget->setEnabled(false);
}

void frmReceiver::Reader_ReceiveComplete()
{
    if (m_accepting) {
        // An empty file completes at once; its lines follow the acceptance's.
        QTimer::singleShot(0, this, &frmReceiver::Reader_ReceiveComplete);
        return;
    }
    AddLog(u"File Receive Complete at "_s + timeOfDay());
    logSha256();
    m_component.call("ResetFile()");
    completeStatus();
    setFileUnderWay(false);
}

void frmReceiver::Reader_ReceiveError(int Number, const QString &Description)
{
    AddLog(u"Receive Error %1: %2"_s.arg(Number).arg(AnnouncedName::visible(Description)));
    stopStatus();
    m_component.call("ResetFile()");
    setFileUnderWay(false);
}

void frmReceiver::Reader_Disconnected()
{
    // Both channels report their loss; the first report is handled for both.
    if (m_listenAgainQueued)
        return;
    m_listenAgainQueued = true;
    m_listening = false;
    ++m_request;
    AddLog(u"Sender disconnected at "_s + timeOfDay());
    stopStatus();
    setFileUnderWay(false);
    cmdSetTarget->setEnabled(false);
    // Listening again closes the component's endpoints: not from inside their notification.
    QTimer::singleShot(0, this, &frmReceiver::listenAgain);
}

void frmReceiver::fileCancelled()
{
    AddLog(u"File Receive Cancelled at "_s + timeOfDay());
    // A question or save dialog still open no longer counts.
    ++m_request;
    stopStatus();
    cmdSetTarget->setEnabled(false);
    // Cancelling closed both channels; a sender may connect again.
    listenAgain();
}

void frmReceiver::listenAgain()
{
    m_listenAgainQueued = false;
    m_component.call("ResetFile()");
    listen();
}

} // namespace corvane
