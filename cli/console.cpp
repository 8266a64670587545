#include "cli/console.h"

#include <unistd.h>

namespace corvane {

Console::Console() : m_out(&m_stdout), m_err(&m_stderr)
{
    // Unbuffered: each text reaches the terminal when written, in the order written.
    m_stdout.open(STDOUT_FILENO, QIODevice::WriteOnly | QIODevice::Unbuffered);
    m_stderr.open(STDERR_FILENO, QIODevice::WriteOnly | QIODevice::Unbuffered);
    m_errIsTerminal = ::isatty(STDERR_FILENO) == 1;
}

Console::Console(int input, QIODevice *out, QIODevice *err) : m_input(input), m_out(out), m_err(err)
{}

void Console::out(const QString &text)
{
    m_out->write(text.toLocal8Bit());
}

void Console::err(const QString &text)
{
    m_err->write(text.toLocal8Bit());
}

} // namespace corvane
