#include "demo/eventlog.h"

#include <QPlainTextEdit>
#include <QTextCursor>

using namespace Qt::StringLiterals;

namespace corvane {

EventLog::EventLog(QPlainTextEdit *field) : m_field(field) {}

void EventLog::add(const QString &text)
{
    const QString line = text + "\r\n"_L1;
    m_text += line;
    // Appending at the end keeps each line's cost independent of the log's length.
    QTextCursor cursor(m_field->document());
    cursor.movePosition(QTextCursor::End);
    cursor.insertText(line);
    m_field->moveCursor(QTextCursor::End);
    m_field->ensureCursorVisible();
}

} // namespace corvane
