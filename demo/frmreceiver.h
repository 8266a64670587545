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

// The receiver window: listens with one receiving component (Reader), asks the user about each
// announced file and where to save it, and shows the transfer in fields, a progress bar and an
// event log.
class frmReceiver final : public QWidget
{
    Q_OBJECT

public:
    static constexpr int DefaultPortInfo = 1700;
    static constexpr int DefaultPortBinary = 3000;

    // Creates its component with factory and listens on the given ports (0 picks free ones,
    // which the port fields then show). Without dialogs the window uses the desktop's own;
    // given ones are not owned and must outlive the window.
    explicit frmReceiver(const ComponentFactory &factory, WindowDialogs *dialogs = nullptr,
                         int portInfo = DefaultPortInfo, int portBinary = DefaultPortBinary,
                         QWidget *parent = nullptr);
    ~frmReceiver() override;
    Q_DISABLE_COPY_MOVE(frmReceiver)

    QObject *component() const { return m_reader.object(); }
    const ComponentBinding &binding() const { return m_reader; }
    bool isListening() const { return m_listening; }
    // The event log, each line ending with "\r\n".
    QString eventLog() const;
    void AddLog(const QString &text);

private slots:
    void cmdSetTarget_Click();
    void tmrStatus_Timer();
    void Reader_ConnectionRequest();
    void Reader_SendRequest();
    void Reader_ReceiveProgress(qint64 Progress, qint64 ProgressMax);
    void Reader_SpeedRecord(int Speed);
    void Reader_ReceiveComplete();
    void Reader_ReceiveError(int Number, const QString &Description);
    void Reader_Disconnected();

private:
    void buildControls();
    void subscribe();
    void listen();
    void showError(const QString &title, const QString &text);
    QString remoteAddress() const;
    void askAboutRequest(quint64 request);
    void answerRequest(bool yes);
    void chooseSaveTarget();
    void saveTargetChosen(const QString &path);
    void endTransfer();
    void listenAgain();

    ComponentBinding m_reader;
    std::unique_ptr<WindowDialogs> m_ownDialogs;
    WindowDialogs *m_dialogs = nullptr;
    std::unique_ptr<EventLog> m_log;
    qint64 m_bytesReceived = 0;
    qint64 m_bytesTotal = 0;
    // Counts announcements and losses of the sender; an answer given to an older one is void.
    quint64 m_request = 0;
    bool m_listening = false;
    bool m_accepting = false;
    bool m_listenAgainQueued = false;

    QGroupBox *famRemoteInfo = nullptr;
    QLineEdit *txtLocalIP = nullptr;
    QLineEdit *txtLocalPortInfo = nullptr;
    QLineEdit *txtLocalPortBinary = nullptr;
    QGroupBox *famReceiveOption = nullptr;
    QLineEdit *txtTarget = nullptr;
    QPushButton *cmdSetTarget = nullptr;
    QLineEdit *txtTotalFileSize = nullptr;
    QGroupBox *famSendStatus = nullptr;
    QLabel *lblTotalByteReceived = nullptr;
    QLabel *lblPercentage = nullptr;
    QLineEdit *txtSpeed = nullptr;
    QTimer *tmrStatus = nullptr;
    QGroupBox *famLog = nullptr;
    QPlainTextEdit *txtEventLog = nullptr;
    QProgressBar *pb = nullptr;
};

} // namespace corvane
