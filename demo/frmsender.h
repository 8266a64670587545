#pragma once

#include "demo/componentbinding.h"

#include <QWidget>

#include <memory>

class QGroupBox;
class QLabel;
class QLineEdit;
class QPlainTextEdit;
class QProgressBar;
class QPushButton;
class QTimer;

namespace corvane {

class EventLog;
class WindowDialogs;

// The sender window: drives one sending component (Sender) through a connection, the choice
// of a file and its announcement, and shows the transfer in fields, a progress bar and an
// event log. It has no transfer logic of its own.
class frmSender final : public QWidget
{
    Q_OBJECT

public:
    static constexpr int MaxChunkSize = 64 * 1024 * 1024;

    // Creates its component with factory. Without dialogs the window uses the desktop's own;
    // given ones are not owned and must outlive the window.
    explicit frmSender(const ComponentFactory &factory, WindowDialogs *dialogs = nullptr,
                       QWidget *parent = nullptr);
    ~frmSender() override;
    Q_DISABLE_COPY_MOVE(frmSender)

    // The component, for hosts and tests that set what the window leaves alone (the ports).
    QObject *component() const { return m_sender.object(); }
    const ComponentBinding &binding() const { return m_sender; }
    // The event log, each line ending with "\r\n".
    QString eventLog() const;
    void AddLog(const QString &text);

private slots:
    void cmdBrowse_Click();
    void cmdConnect_Click();
    void cmdSend_Click();
    void tmrStatus_Timer();
    void Sender_Error(short Number, QString &Description);
    void Sender_Connected();
    void Sender_CommandAccepted();
    void Sender_CommandRefused();
    void Sender_SendProgress(qint64 Progress, qint64 ProgressMax);
    void Sender_SendComplete();
    void Sender_SpeedRecord(int Speed);
    void Sender_SendError(int Number, const QString &Description);
    void Sender_Disconnected();

private:
    void buildControls();
    void subscribe();
    void showError(const QString &title, const QString &text);
    void refuseSend(const QString &reason);
    void failSend(int number, const QString &description);
    void endTransfer();
    QString remoteHost() const;

    ComponentBinding m_sender;
    std::unique_ptr<WindowDialogs> m_ownDialogs;
    WindowDialogs *m_dialogs = nullptr;
    std::unique_ptr<EventLog> m_log;
    qint64 m_bytesSent = 0;
    qint64 m_bytesTotal = 0;
    // From a successful announcement until its refusal, completion or failure.
    bool m_sending = false;

    QGroupBox *famRemoteInfo = nullptr;
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
    QGroupBox *famSendStatus = nullptr;
    QLabel *lblTotalByteSent = nullptr;
    QLabel *lblPercentage = nullptr;
    QLineEdit *txtSpeed = nullptr;
    QTimer *tmrStatus = nullptr;
    QGroupBox *famLog = nullptr;
    QPlainTextEdit *txtEventLog = nullptr;
    QProgressBar *pb = nullptr;
};

} // namespace corvane
