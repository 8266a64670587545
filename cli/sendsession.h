#pragma once

#include "cli/commandline.h"
#include "cli/progressprinter.h"

#include <QObject>
#include <QPointer>
#include <QString>

class QTimer;

namespace corvane {

class BinarySender;
class Console;

// "corvane-cli send": connects one BinarySender to the receiver, then announces and streams
// each file in turn on the same two connections, waiting for the receiver's confirmation
// ("RFC") before the next. A refused file is skipped; an error or a lost connection ends the
// session. finished() carries the exit code: success only when every file was confirmed.
class SendSession final : public QObject
{
    Q_OBJECT

public:
    // How long connecting and the receiver's greeting may take.
    static constexpr int HandshakeTimeoutMs = 30000;

    // Everything it tells the user goes to console.
    SendSession(const SendOptions &options, Console &console, QObject *parent = nullptr);
    ~SendSession() override;
    Q_DISABLE_COPY_MOVE(SendSession)

    void start();
    // Ctrl-C or SIGTERM: cancels the file under way (the receiver discards what it has) and
    // ends with ExitCode::Cancelled.
    void interrupt();

signals:
    void finished(int exitCode);

private:
    void onConnected();
    void onBinaryConnected();
    void announceNext();
    void onAccepted();
    void onRefused();
    void onComplete();
    void onSendError(int number, const QString &description);
    void onSocketError(short number, QString &description, bool &cancelDisplay);
    void onDisconnected();
    void onHandshakeTimeout();
    void fail(const QString &message);
    void finish(int exitCode);
    QString currentFileName() const;

    SendOptions m_options;
    BinarySender *m_sender = nullptr;
    QPointer<QObject> m_binaryChannel;
    QTimer *m_handshakeTimer = nullptr;
    ProgressPrinter m_progress;
    int m_next = 0;     // index of the next file to announce
    int m_current = -1; // index of the file in flight
    int m_refused = 0;
    bool m_infoConnected = false;
    bool m_started = false;
    bool m_streaming = false;
    bool m_finished = false;
};

} // namespace corvane
