#pragma once

#include "cli/commandline.h"
#include "cli/progressprinter.h"

#include <QObject>
#include <QString>

class QFile;
class QTimer;

namespace corvane {

class BinaryReceiver;
class Console;
class TerminalPrompt;

// "corvane-cli receive": one BinaryReceiver listening on the two ports. Each announced file
// is asked about on the terminal (or accepted at once with --yes) and saved into the folder
// under its announced name made safe. When a sender leaves, the receiver listens again for
// the next. finished() carries the exit code: success unless an accepted file was not saved.
class ReceiveSession final : public QObject
{
    Q_OBJECT

public:
    // After the last counted file, how long to wait for the sender to hang up before ending
    // anyway; the confirmation ("RFC") goes out in the meantime.
    static constexpr int ClosingGraceMs = 2000;

    // Everything it tells the user goes to console.
    ReceiveSession(const ReceiveOptions &options, Console &console, QObject *parent = nullptr);
    ~ReceiveSession() override;
    Q_DISABLE_COPY_MOVE(ReceiveSession)

    void start();
    // Ctrl-C or SIGTERM: cancels a file in progress (no temporary file stays; the exit code is
    // ExitCode::Cancelled) and ends.
    void interrupt();

signals:
    void finished(int exitCode);

private:
    void onConnectionRequest();
    void onSendRequest();
    void onAnswer(bool yes);
    void accept();
    void refuse(const QString &reason);
    void onProgress(qint64 progress);
    void onComplete();
    void onReceiveError(int number, const QString &description);
    void onSocketError(short number, QString &description, bool &cancelDisplay);
    void onDisconnected();
    void failFile(const QString &message);
    void restartListening();
    bool listen();
    void finish(int exitCode);

    ReceiveOptions m_options;
    Console &m_console;
    BinaryReceiver *m_receiver = nullptr;
    TerminalPrompt *m_prompt = nullptr;
    QTimer *m_closingTimer = nullptr;
    QFile *m_sums = nullptr; // --sha256-file
    ProgressPrinter m_progress;
    QString m_announcedName; // as the sender wrote it
    QString m_safeName;      // made safe, before a free name was chosen
    QString m_savedName;     // the name in the folder
    qint64 m_announcedSize = 0;
    int m_requestGeneration = 0;
    int m_saved = 0;
    int m_failed = 0;
    bool m_asking = false;
    bool m_receiving = false;
    bool m_restartQueued = false;
    bool m_closing = false; // the count is reached: no further file
    bool m_finished = false;
};

} // namespace corvane
