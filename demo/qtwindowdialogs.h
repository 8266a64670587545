#pragma once

#include "demo/windowdialogs.h"

namespace corvane {

// The desktop's own message boxes and file dialogs, opened modal to their window without a
// nested event loop: each reports its answer when it closes.
class QtWindowDialogs final : public WindowDialogs
{
public:
    void showError(QWidget *parent, const QString &title, const QString &text) override;
    void askYesNo(QWidget *parent, const QString &text,
                  std::function<void(bool yes)> answer) override;
    void chooseFileToOpen(QWidget *parent, const QString &filter,
                          std::function<void(const QStringList &paths)> chosen) override;
    void chooseFileToSave(QWidget *parent, const QString &filter, const QString &suggestedName,
                          std::function<void(const QString &path)> chosen) override;
};

} // namespace corvane
