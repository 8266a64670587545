#include "demo/frmsender.h"

#include "demo/transferdisplay.h"
#include "demo/windowcontrols.h"
#include "demo/windowdialogs.h"
#include "library/classids.h"
#include "protocol/announcedname.h"
#include "protocol/defaults.h"
#include "protocol/errornumber.h"

#include <QDropEvent>
#include <QFile>
#include <QFileInfo>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QMimeData>
#include <QPushButton>
#include <QSettings>
#include <QTimer>

using namespace Qt::StringLiterals;

namespace corvane {

namespace {
// The failures that mean a connection attempt did not get through: the user may try again.
bool failedConnectionAttempt(int number)
{
    switch (number) {
    case ErrorNumber::AddressNotAvailable:
    case ErrorNumber::ConnectionRefused:
    case ErrorNumber::HostNotFound:
    case ErrorNumber::TimedOut:
    case ErrorNumber::NetworkUnreachable:
        return true;
    default:
        return false;
    }
}
} // namespace

frmSender::frmSender(const ComponentFactory &factory, WindowDialogs *dialogs, QWidget *parent)
    : ComponentWindow("frmSender", u"Sender Form"_s, {5880, 6615}, dialogs, parent)
{
    const bool created = createComponent(factory, SenderClassID, "Sender", u"sending"_s);
    buildControls();
    setAcceptDrops(true);
    if (!created) {
        cmdConnect->setEnabled(false);
        return;
    }
    subscribe({
        {"Error(short,QString&,int,QString,QString,int,bool&)", "Sender_Error(short,QString&)"},
        {"Connected()", "Sender_Connected()"},
        {"CommandAccepted()", "Sender_CommandAccepted()"},
        {"CommandRefused()", "Sender_CommandRefused()"},
        {"SendProgress(qint64,qint64)", "Component_Progress(qint64,qint64)"},
        {"SendComplete()", "Sender_SendComplete()"},
        {"SpeedRecord(int)", "Component_SpeedRecord(int)"},
        {"SendError(int,QString)", "Sender_SendError(int,QString)"},
        {"Disconnected()", "Sender_Disconnected()"},
    });
}

frmSender::~frmSender() = default;

void frmSender::buildControls()
{
    using namespace WindowControls;
    const Qt::Alignment right = Qt::AlignRight;

    auto *famRemoteInfo =
        frame(this, "famRemoteInfo", u"Remote Receiver Information"_s, twips(120, 0, 5655, 1215));
    cmdConnect = button(famRemoteInfo, "cmdConnect", u"&Connect to remote receiver"_s,
                        twips(120, 240, 2295, 285), true);
    const QSettings settings;
    txtRemoteHost = field(famRemoteInfo, "txtRemoteHost",
                          settings.value(u"Sender/Host"_s, u"127.0.0.1"_s).toString(),
                          twips(2400, 240, 3135, 285), false, false);
    label(famRemoteInfo, "Label2", u"Remote Port(Info):"_s, twips(120, 600, 2295, 255), right);
    txtRemotePortInfo = field(famRemoteInfo, "txtRemotePortInfo", QString(),
                              twips(2400, 600, 3135, 285), true, true);
    label(famRemoteInfo, "Label3", u"Remote Port(Binary):"_s, twips(120, 840, 2295, 255), right);
    txtRemotePortBinary = field(famRemoteInfo, "txtRemotePortBinary", QString(),
                                twips(2400, 840, 3135, 285), true, true);

    famSendOption =
        frame(this, "famSendOption", u"Send File Option"_s, twips(120, 1200, 5655, 1815));
    famSendOption->setEnabled(false);
    label(famSendOption, "Label4", u"The file in local machine you want to send:"_s,
          twips(120, 240, 4095, 375), Qt::AlignLeft);
    txtSource =
        field(famSendOption, "txtSource", QString(), twips(120, 480, 4455, 285), false, false);
    // Files dropped on the field go to the window, which queues them.
    txtSource->setAcceptDrops(false);
    cmdBrowse =
        button(famSendOption, "cmdBrowse", u"&Browse..."_s, twips(4560, 480, 975, 285), true);
    label(famSendOption, "Label5", u"Total File Size(in bytes):"_s, twips(120, 840, 2295, 255),
          right);
    txtTotalFileSize =
        field(famSendOption, "txtTotalFileSize", u"0"_s, twips(2400, 840, 3135, 285), true, true);
    label(famSendOption, "Label6", u"Chunk Size(in bytes):"_s, twips(120, 1080, 2295, 255), right);
    txtChunkSize = field(famSendOption, "txtChunkSize",
                         settings.value(u"Sender/ChunkSize"_s, DefaultChunkSize).toString(),
                         twips(2400, 1080, 3135, 285), false, true);
    cmdSend =
        button(famSendOption, "cmdSend", u"&Send the file"_s, twips(1560, 1440, 2295, 255), false);
    buildCancel(famSendOption, twips(4320, 1440, 1215, 255));

    buildStatus(3000, {u"Send File Status"_s, u"Total Bytes Sent:"_s, "lblTotalByteSent",
                       u"Percentage"_s, u"Sending Speed(KBps):"_s, true});
    buildLog(4080, 1935);

    connect(cmdBrowse, &QPushButton::clicked, this, &frmSender::cmdBrowse_Click);
    connect(cmdConnect, &QPushButton::clicked, this, &frmSender::cmdConnect_Click);
    connect(cmdSend, &QPushButton::clicked, this, &frmSender::cmdSend_Click);
    connect(txtSource, &QLineEdit::textEdited, this, [this] { m_chosen.clear(); });
}

QString frmSender::remoteHost() const
{
    return AnnouncedName::visible(m_component.text("RemoteHost"));
}

void frmSender::cmdBrowse_Click()
{
    dialogs()->chooseFileToOpen(this, u"All Files *.* (*)"_s,
                                [self = QPointer(this)](const QStringList &paths) {
                                    if (self && !paths.isEmpty())
                                        self->choose(paths);
                                });
}

void frmSender::choose(const QStringList &paths)
{
    m_chosen = paths;
    // Several paths are shown quoted, as file dialogs show them.
    txtSource->setText(paths.size() == 1 ? paths.first() : u'"' + paths.join(u"\" \""_s) + u'"');
    cmdSend->setEnabled(true);
}

void frmSender::dragEnterEvent(QDragEnterEvent *event)
{
    if (event->mimeData()->hasUrls())
        event->acceptProposedAction();
}

void frmSender::dropEvent(QDropEvent *event)
{
    QStringList files;
    QStringList folders;
    for (const QUrl &url : event->mimeData()->urls()) {
        const QString path = url.toLocalFile();
        if (QFileInfo(path).isDir())
            folders << AnnouncedName::visible(path);
        else if (!path.isEmpty())
            files << path;
    }
    event->acceptProposedAction();
    if (!folders.isEmpty()) {
        showError(u"Cannot send a folder"_s,
                  u"Only files can be sent; left out: %1"_s.arg(folders.join(u", "_s)));
    }
    if (!files.isEmpty())
        choose(files);
}

void frmSender::cmdConnect_Click()
{
    cmdConnect->setEnabled(false);
    m_component.set("RemoteHost", txtRemoteHost->text());
    if (!m_component.call("Connect()")) {
        showCallError();
        cmdConnect->setEnabled(true);
    }
}

void frmSender::refuseSend(const QString &reason)
{
    showError(u"Cannot send the file"_s, reason);
    cmdSend->setEnabled(true);
}

void frmSender::cmdSend_Click()
{
    cmdSend->setEnabled(false);
    if (!m_queue.isEmpty()) {
        refuseSend(u"The file %1 is still being sent. Send the next one when it is complete."_s.arg(
            AnnouncedName::visible(m_queue.at(m_current))));
        return;
    }
    bool isNumber = false;
    const int chunkSize = txtChunkSize->text().trimmed().toInt(&isNumber);
    if (!isNumber || chunkSize < 1 || chunkSize > LargestChunkSize) {
        refuseSend(u"The chunk size must be a whole number of bytes from 1 to %1."_s.arg(
            LargestChunkSize));
        return;
    }
    const QStringList files = m_chosen.isEmpty() ? QStringList{txtSource->text()} : m_chosen;
    for (const QString &path : files) {
        const QFileInfo info(path);
        if (path.isEmpty()) {
            refuseSend(u"Choose the file to send first."_s);
            return;
        }
        if (!info.exists()) {
            refuseSend(u"The file %1 does not exist."_s.arg(AnnouncedName::visible(path)));
            return;
        }
        if (!info.isFile()) {
            refuseSend(u"%1 is not a regular file."_s.arg(AnnouncedName::visible(path)));
            return;
        }
        if (QFile file(path); !file.open(QIODevice::ReadOnly)) {
            refuseSend(u"The file %1 cannot be read: %2"_s.arg(AnnouncedName::visible(path),
                                                               file.errorString()));
            return;
        }
    }
    QSettings().setValue(u"Sender/ChunkSize"_s, chunkSize);
    m_chunkSize = chunkSize;
    m_queue = files;
    m_current = 0;
    ++m_queueId;
    announceNext();
}

void frmSender::announceNext()
{
    if (m_queue.size() > 1)
        AddLog(u"Sending file %1 of %2"_s.arg(m_current + 1).arg(m_queue.size()));
    // Each file starts from the component's defaults, so the chunk size is set for each.
    m_component.set("ChunkSize", m_chunkSize);
    m_component.set("Source", m_queue.at(m_current));
    txtTotalFileSize->setText(QString::number(m_component.number("CurrentFileSize")));
    if (!m_component.call("SendInfo()")) {
        showCallError();
        stopQueue();
        return;
    }
    m_sending = true;
    setFileUnderWay(true);
    AddLog(u"File Information Sent to "_s + remoteHost());
    AddLog(u"File Name= "_s + AnnouncedName::visible(m_component.text("CurrentFileName")));
    AddLog(u"File Size(in bytes)= "_s + QString::number(m_component.number("CurrentFileSize")));
    AddLog(u"Waiting for receiver["_s + m_component.text("RemoteHostIP") + u"] ready signal..."_s);
}

// After a refusal or a completed file: the next one in the queue, or the end of the queue.
void frmSender::fileDone()
{
    m_sending = false;
    setFileUnderWay(false);
    if (++m_current < m_queue.size()) {
        // Announced once the event that ended this file has returned.
        QTimer::singleShot(0, this, [this, queue = m_queueId] {
            if (queue == m_queueId)
                announceNext();
        });
        return;
    }
    m_queue.clear();
    cmdSend->setEnabled(true);
}

// Gives up the files not sent yet, naming them when there were several.
void frmSender::stopQueue()
{
    if (m_queue.isEmpty())
        return;
    for (qsizetype i = m_current; m_queue.size() > 1 && i < m_queue.size(); ++i)
        AddLog(u"Not sent: "_s + AnnouncedName::visible(m_queue.at(i)));
    m_queue.clear();
    ++m_queueId;
    cmdSend->setEnabled(true);
}

void frmSender::Sender_Error(short Number, QString &Description)
{
    showError(QString::number(Number), Description);
    if (failedConnectionAttempt(Number))
        cmdConnect->setEnabled(true);
}

void frmSender::Sender_Connected()
{
    AddLog(u"<Sender Control> connected to ["_s + remoteHost() + u"] successfully."_s);
    QSettings().setValue(u"Sender/Host"_s, m_component.text("RemoteHost"));
    txtRemotePortInfo->setText(QString::number(m_component.number("RemotePortInfo")));
    txtRemotePortBinary->setText(QString::number(m_component.number("RemotePortBinary")));
    famSendOption->setEnabled(true);
}

void frmSender::Sender_CommandAccepted()
{
    AddLog(u"Sending command accepted by ["_s + m_component.text("RemoteHostIP") + u']');
    AddLog(u"File Sending Started at "_s + timeOfDay());
    AddLog(u"Now sending file ["_s + AnnouncedName::visible(m_component.text("Source")) + u']');
    startStatus();
    if (!m_component.call("SendFile()"))
        failSend(m_component.errorNumber(), m_component.errorDescription());
}

void frmSender::Sender_CommandRefused()
{
    AddLog(u"Sending command refused by ["_s + m_component.text("RemoteHostIP") + u']');
    m_component.call("ResetFile()");
    stopStatus();
    cmdConnect->setEnabled(false);
    famSendOption->setEnabled(true);
    fileDone();
}

void frmSender::Sender_SendComplete()
{
    AddLog(u"File Sending Complete at "_s + timeOfDay());
    logSha256();
    m_component.call("ResetFile()");
    completeStatus();
    cmdConnect->setEnabled(false);
    famSendOption->setEnabled(true);
    fileDone();
}

void frmSender::Sender_SendError(int Number, const QString &Description)
{
    failSend(Number, Description);
}

void frmSender::failSend(int number, const QString &description)
{
    AddLog(u"Send Error %1: %2"_s.arg(number).arg(AnnouncedName::visible(description)));
    showError(QString::number(number), description);
    endTransfer();
}

// Leaves the window ready for the next file after a transfer that did not complete.
void frmSender::endTransfer()
{
    if (m_sending)
        m_component.call("ResetFile()");
    m_sending = false;
    setFileUnderWay(false);
    stopStatus();
    stopQueue();
}

void frmSender::fileCancelled()
{
    AddLog(u"File Sending Cancelled at "_s + timeOfDay());
    // Cancelling closed both channels.
    cmdConnect->setEnabled(true);
    endTransfer();
}

void frmSender::Sender_Disconnected()
{
    // Both channels report their loss; an enabled cmdConnect means it was already handled
    // (or there was no connection to lose).
    if (cmdConnect->isEnabled())
        return;
    AddLog(u"Connection to ["_s + remoteHost() + u"] lost at "_s + timeOfDay());
    cmdConnect->setEnabled(true);
    // A file that was announced, or sent whole, and not yet confirmed is lost with the
    // connection; a failure while streaming has already said so.
    if (m_sending) {
        showError(u"Connection lost"_s,
                  u"The connection to %1 was lost before the receiver confirmed the file %2."_s.arg(
                      remoteHost(), AnnouncedName::visible(m_component.text("CurrentFileName"))));
    }
    endTransfer();
}

} // namespace corvane
