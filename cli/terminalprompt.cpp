#include "cli/terminalprompt.h"

#include "cli/console.h"

#include <QSocketNotifier>
#include <QTimer>

#include <cerrno>
#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

using namespace Qt::StringLiterals;

namespace corvane {

TerminalPrompt::TerminalPrompt(Console &console, QObject *parent)
    : QObject(parent), m_console(console), m_fd(console.input())
{
    if (::fcntl(m_fd, F_GETFD) == -1)
        m_endOfInput = true;
    m_terminal = ::isatty(m_fd) == 1;
}

TerminalPrompt::~TerminalPrompt() = default;

void TerminalPrompt::ask(const QString &question)
{
    m_console.err(question);
    m_waiting = true;
    ++m_generation;
    // Keys pressed on a terminal while nothing was asked (during a transfer, say) must not
    // answer this question; piped answers, on the other hand, are meant for the questions
    // in order.
    if (m_terminal) {
        ::tcflush(m_fd, TCIFLUSH);
        m_buffer.clear();
    }
    // The answer may already be here (typed ahead, or the input has ended); it still comes
    // from the event loop, never from inside the caller.
    if (m_buffer.contains('\n') || m_endOfInput) {
        QTimer::singleShot(0, this, [this, generation = m_generation] {
            if (generation == m_generation)
                answerFromBuffer();
        });
        return;
    }
    if (!m_notifier) {
        m_notifier = new QSocketNotifier(m_fd, QSocketNotifier::Read, this);
        connect(m_notifier, &QSocketNotifier::activated, this, &TerminalPrompt::onReadable);
    }
    m_notifier->setEnabled(true);
}

void TerminalPrompt::cancel()
{
    m_waiting = false;
    ++m_generation;
    if (m_notifier)
        m_notifier->setEnabled(false);
}

void TerminalPrompt::onReadable()
{
    // The notifier said the descriptor is readable, so one read does not block.
    char chunk[4096];
    const ssize_t count = ::read(m_fd, chunk, sizeof chunk);
    if (count > 0)
        m_buffer.append(chunk, count);
    else if (count == 0 || (errno != EINTR && errno != EAGAIN))
        m_endOfInput = true;
    if (m_buffer.contains('\n') || m_endOfInput)
        answerFromBuffer();
}

void TerminalPrompt::answerFromBuffer()
{
    if (!m_waiting)
        return;
    const qsizetype newline = m_buffer.indexOf('\n');
    if (newline < 0 && !m_endOfInput)
        return;
    // At the end of the input a last line without its line feed still counts.
    const qsizetype end = newline < 0 ? m_buffer.size() : newline;
    const QByteArray typed = m_buffer.left(end);
    m_buffer.remove(0, newline < 0 ? end : end + 1);
    // A terminal has echoed the line already; piped answers are echoed here so that the log
    // reads as a dialogue. Either way the prompt line gets its line end.
    const QString line = QString::fromLocal8Bit(typed);
    if (!m_terminal || newline < 0)
        m_console.err((m_terminal ? QString() : line) + u'\n');

    m_waiting = false;
    if (m_notifier)
        m_notifier->setEnabled(false);
    const QString answer = line.trimmed().toLower();
    emit answered(answer == u"y" || answer == u"yes");
}

} // namespace corvane
