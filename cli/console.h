#pragma once

#include <QFile>
#include <QString>

class QIODevice;

namespace corvane {

// corvane-cli's terminal: where answers are read from, standard output for the summary lines
// and standard error for everything else. All the program writes goes through here, so tests
// can hand it a pipe and two buffers instead.
class Console
{
public:
    // Standard input, output and error.
    Console();
    // input: a descriptor to read answers from; out and err: open devices, not owned.
    Console(int input, QIODevice *out, QIODevice *err);
    Q_DISABLE_COPY_MOVE(Console)

    int input() const { return m_input; }
    // Whether standard error is a terminal, where a progress line can be redrawn in place.
    bool errIsTerminal() const { return m_errIsTerminal; }
    void out(const QString &text);
    void err(const QString &text);

private:
    QFile m_stdout;
    QFile m_stderr;
    int m_input = 0;
    QIODevice *m_out = nullptr;
    QIODevice *m_err = nullptr;
    bool m_errIsTerminal = false;
};

} // namespace corvane
