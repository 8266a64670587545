#pragma once

#include <QString>

class QPlainTextEdit;

namespace corvane {

// A window's event log. The text keeps each line's carriage return and line feed exactly; the
// read-only field shows the same lines (a text field turns "\r\n" into a paragraph break) and
// keeps the newest one in view.
class EventLog final
{
public:
    explicit EventLog(QPlainTextEdit *field);

    // Appends text and "\r\n", and puts the caret after it.
    void add(const QString &text);
    QString text() const { return m_text; }

private:
    QPlainTextEdit *m_field;
    QString m_text;
};

} // namespace corvane
