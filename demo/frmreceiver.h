#pragma once

#include "demo/componentwindow.h"
#include "protocol/defaults.h"

class QGroupBox;
class QLineEdit;
class QPushButton;

namespace corvane {

// The receiver window: listens with one receiving component (Reader), asks the user about each
// announced file and where to save it (starting in the folder of the last one accepted), and
// shows the transfer in fields, a progress bar and an event log.
class frmReceiver final : public ComponentWindow
{
    Q_OBJECT

public:
    // Creates its component with factory and listens on the given ports (0 picks free ones,
    // which the port fields then show). Without dialogs the window uses the desktop's own;
    // given ones are not owned and must outlive the window.
    explicit frmReceiver(const ComponentFactory &factory, WindowDialogs *dialogs = nullptr,
                         int portInfo = DefaultInfoPort, int portBinary = DefaultBinaryPort,
                         QWidget *parent = nullptr);
    ~frmReceiver() override;
    Q_DISABLE_COPY_MOVE(frmReceiver)

    // True while the window waits for a sender: not during a session, nor before listening
    // again after one.
    bool isListening() const { return m_listening; }

protected:
    void fileCancelled() override;

private slots:
    void cmdSetTarget_Click();
    void Reader_ConnectionRequest();
    void Reader_SendRequest();
    void Reader_ReceiveComplete();
    void Reader_ReceiveError(int Number, const QString &Description);
    void Reader_Disconnected();

private:
    void buildControls();
    void listen();
    QString remoteAddress() const;
    void askAboutRequest(quint64 request);
    void answerRequest(bool yes);
    void chooseSaveTarget();
    void saveTargetChosen(const QString &path);
    void listenAgain();

    // Counts announcements and losses of the sender; an answer given to an older one is void.
    quint64 m_request = 0;
    bool m_listening = false;
    bool m_accepting = false;
    bool m_listenAgainQueued = false;

    QLineEdit *txtLocalIP = nullptr;
    QLineEdit *txtLocalPortInfo = nullptr;
    QLineEdit *txtLocalPortBinary = nullptr;
    QGroupBox *famReceiveOption = nullptr;
    QLineEdit *txtTarget = nullptr;
    QPushButton *cmdSetTarget = nullptr;
    QLineEdit *txtTotalFileSize = nullptr;
};

} // namespace corvane
