#pragma once

#include "demo/componentwindow.h"

class QGroupBox;
class QLineEdit;
class QPushButton;

namespace corvane {

// The sender window: drives one sending component (Sender) through a connection, the choice
// of a file and its announcement, and shows the transfer in fields, a progress bar and an
// event log. It has no transfer logic of its own.
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
    void refuseSend(const QString &reason);
    void failSend(int number, const QString &description);
    void endTransfer();
    QString remoteHost() const;

    // From a successful announcement until its refusal, completion or failure.
    bool m_sending = false;

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
