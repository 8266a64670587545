#pragma once

#include "demo/componentbinding.h"
#include "protocol/timeleft.h"

#include <QWidget>

#include <initializer_list>
#include <memory>

class QGroupBox;
class QLabel;
class QLineEdit;
class QPlainTextEdit;
class QProgressBar;
class QPushButton;
class QTimer;

namespace corvane {

class WindowDialogs;

// What the sender and the receiver window share: their component, created by class identifier
// and reached only through the binding; its events subscribed by name; error boxes that open
// once the event that asked for them has returned; the event log; the status display (bar,
// byte count, percentage, speed, time left) that a 500 ms tick refreshes from the last progress
// event; and the Cancel button that gives up the file under way.
class ComponentWindow : public QWidget
{
    Q_OBJECT

public:
    ~ComponentWindow() override;
    Q_DISABLE_COPY_MOVE(ComponentWindow)

    // The component, for hosts and tests that set what the window leaves alone (the ports).
    QObject *component() const { return m_component.object(); }
    const ComponentBinding &binding() const { return m_component; }
    // The event log, each line ending with "\r\n".
    QString eventLog() const { return m_log; }
    // Appends text and "\r\n" and puts the caret after it.
    void AddLog(const QString &text);

protected:
    struct Event
    {
        const char *signal;
        const char *handler;
    };
    struct StatusTexts
    {
        QString caption;
        QString bytesCaption;
        const char *bytesName;
        QString percentage;
        QString speedCaption;
        bool speedCentred;
    };

    // Without dialogs the window uses the desktop's own; given ones are not owned and must
    // outlive the window. The size is the client area's, in twips.
    ComponentWindow(const char *name, const QString &caption, QSize size, WindowDialogs *dialogs,
                    QWidget *parent);

    // Creates the component published under classID as a hidden child named name. When it
    // cannot be created, says so in an error box and returns false.
    bool createComponent(const ComponentFactory &factory, const char *classID, const char *name,
                         const QString &role);
    void subscribe(std::initializer_list<Event> events);
    // The status frame at top (its inside is the same in both windows) and the bar below it.
    void buildStatus(int top, const StatusTexts &texts);
    // The log frame at top, its field filling it.
    void buildLog(int top, int height);
    // The Cancel button in frame, enabled while a file is under way; Escape presses it.
    void buildCancel(QWidget *frame, QRect place);
    void setFileUnderWay(bool underWay);
    // Runs once the component has given up the file the user cancelled.
    virtual void fileCancelled() = 0;
    // Logs the SHA-256 of the file just completed, as the component computed it.
    void logSha256();

    void showError(const QString &title, const QString &text);
    // The binding's last failure, titled with its number.
    void showCallError();
    WindowDialogs *dialogs() const { return m_dialogs; }

    // Starts the tick for a transfer; the time left is unknown until speeds come in.
    void startStatus();
    // Stops the tick, empties the bar, clears the time left and forgets the progress; the other
    // labels keep their text.
    void stopStatus();
    // The same after a complete file, with the percentage at "100%".
    void completeStatus();

    ComponentBinding m_component;

protected slots:
    void tmrStatus_Timer();
    void Component_Progress(qint64 Progress, qint64 ProgressMax);
    void Component_SpeedRecord(int Speed);

private slots:
    void cmdCancel_Click();

private:
    std::unique_ptr<WindowDialogs> m_ownDialogs;
    WindowDialogs *m_dialogs = nullptr;
    QString m_log;
    qint64 m_bytesDone = 0;
    qint64 m_bytesTotal = 0;
    TimeLeft m_timeLeft;

    QLabel *m_bytes = nullptr;
    QLabel *lblPercentage = nullptr;
    QLabel *lblTimeLeft = nullptr;
    QLineEdit *txtSpeed = nullptr;
    QTimer *tmrStatus = nullptr;
    QPlainTextEdit *txtEventLog = nullptr;
    QProgressBar *pb = nullptr;
    QPushButton *cmdCancel = nullptr;
};

} // namespace corvane
