#pragma once

#include <QByteArray>
#include <QObject>
#include <QString>

class QSocketNotifier;

namespace corvane {

class Console;

// Asks yes/no questions and reads the answers from the console's input without blocking: a
// notifier on the descriptor reports each line, and the answer comes back as a signal from
// the event loop. Piped lines answer the questions in order; on a terminal only what is
// typed after the question counts. The end of the input (or no input at all) answers "no"
// to this and every later question.
class TerminalPrompt final : public QObject
{
    Q_OBJECT

public:
    explicit TerminalPrompt(Console &console, QObject *parent = nullptr);
    ~TerminalPrompt() override;
    Q_DISABLE_COPY_MOVE(TerminalPrompt)

    // Writes the question to the console's stderr and answers through answered(). One question at a
    // time: a question asked while another waits replaces it.
    void ask(const QString &question);
    // Forgets the waiting question; no answer comes for it.
    void cancel();
    // True once the input has ended: every answer from now on is "no".
    bool endOfInput() const { return m_endOfInput && !m_buffer.contains('\n'); }

signals:
    void answered(bool yes);

private:
    void onReadable();
    void answerFromBuffer();

    Console &m_console;
    int m_fd = 0;
    QSocketNotifier *m_notifier = nullptr;
    QByteArray m_buffer;
    bool m_endOfInput = false;
    bool m_terminal = false;
    bool m_waiting = false;
    int m_generation = 0;
};

} // namespace corvane
