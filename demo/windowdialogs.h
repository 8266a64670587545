#pragma once

#include <QString>
#include <QStringList>

#include <functional>

class QWidget;

namespace corvane {

// Every question, file dialog and message box of a window goes through one of these, so that
// tests can answer them. Answers come back through the callbacks, never by blocking the caller;
// a window checks on each answer that the question still stands.
class WindowDialogs
{
public:
    virtual ~WindowDialogs() = default;

    // An error icon, an OK button.
    virtual void showError(QWidget *parent, const QString &title, const QString &text) = 0;
    // The information icon, Yes and No, no caption of its own; answer(true) for Yes.
    virtual void askYesNo(QWidget *parent, const QString &text,
                          std::function<void(bool yes)> answer) = 0;
    // One or more existing files; chosen({}) when cancelled.
    virtual void chooseFileToOpen(QWidget *parent, const QString &filter,
                                  std::function<void(const QStringList &paths)> chosen) = 0;
    // A path to save to, starting at suggestedName (a name, or a path in a folder) and asking
    // before an existing file is overwritten; chosen("") when cancelled.
    virtual void chooseFileToSave(QWidget *parent, const QString &filter,
                                  const QString &suggestedName,
                                  std::function<void(const QString &path)> chosen) = 0;
};

} // namespace corvane
