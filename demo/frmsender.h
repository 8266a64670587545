#pragma once

#include "demo/componentwindow.h"

class QGroupBox;
class QLineEdit;
class QPushButton;

namespace corvane {

// The sender window: drives one sending component (Sender) through a connection, the choice
// of files and their announcement, and shows each transfer in fields, a progress bar and an
// event log. Several files chosen at once, or dropped on it, go one after another on the same
// connection. It has no transfer logic of its own.
class frmSender final : public ComponentWindow
{
    Q_OBJECT

public:
    // Creates its component with factory. Without dialogs the window uses the desktop's own;
    // given ones are not owned and must outlive the window.
    explicit frmSender(const ComponentFactory &factory, WindowDialogs *dialogs = nullptr,
                       QWidget *parent = nullptr);
    ~frmSender() override;
    Q_DISABLE_COPY_MOVE(frmSender)

protected:
    void dragEnterEvent(QDragEnterEvent *event) override;
    void dropEvent(QDropEvent *event) override;
    void fileCancelled() override;

private slots:
    void cmdBrowse_Click();
    void cmdConnect_Click();
    void cmdSend_Click();
    void Sender_Error(short Number, QString &Description);
    void Sender_Connected();
    void Sender_CommandAccepted();
    void Sender_CommandRefused();
    void Sender_SendComplete();
    void Sender_SendError(int Number, const QString &Description);
    void Sender_Disconnected();

private:
    void buildControls();
    void choose(const QStringList &paths);
    void refuseSend(const QString &reason);
    void announceNext();
    void fileDone();
    void failSend(int number, const QString &description);
    void endTransfer();
    void stopQueue();
    QString remoteHost() const;

    // From a successful announcement until its refusal, completion or failure.
    bool m_sending = false;
    // The files chosen with Browse or dropped, as txtSource shows them until it is edited.
    QStringList m_chosen;
    // The files being sent one after another, and the one under way.
    QStringList m_queue;
    qsizetype m_current = 0;
    // Counts queues begun and given up, so a queued announcement of an old one does nothing.
    quint64 m_queueId = 0;
    int m_chunkSize = 0;

    QPushButton *cmdConnect = nullptr;
    QLineEdit *txtRemoteHost = nullptr;
    QLineEdit *txtRemotePortInfo = nullptr;
    QLineEdit *txtRemotePortBinary = nullptr;
    QGroupBox *famSendOption = nullptr;
    QLineEdit *txtSource = nullptr;
    QPushButton *cmdBrowse = nullptr;
    QLineEdit *txtTotalFileSize = nullptr;
    QLineEdit *txtChunkSize = nullptr;
    QPushButton *cmdSend = nullptr;
};

} // namespace corvane
