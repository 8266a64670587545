#include "demo/qtwindowdialogs.h"

#include <QFileDialog>
#include <QFileInfo>
#include <QMessageBox>

namespace corvane {

namespace {
// Opens the dialog modal to its window; chosen gets the files selected, none when cancelled.
void openFileDialog(QFileDialog *dialog, std::function<void(const QStringList &)> chosen)
{
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    QObject::connect(
        dialog, &QFileDialog::finished, dialog, [dialog, chosen = std::move(chosen)](int result) {
            chosen(result == QDialog::Accepted ? dialog->selectedFiles() : QStringList());
        });
    dialog->open();
}
} // namespace

void QtWindowDialogs::showError(QWidget *parent, const QString &title, const QString &text)
{
    auto *box = new QMessageBox(QMessageBox::Critical, title, text, QMessageBox::Ok, parent);
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->open();
}

void QtWindowDialogs::askYesNo(QWidget *parent, const QString &text,
                               std::function<void(bool yes)> answer)
{
    auto *box = new QMessageBox(QMessageBox::Information, QString(), text,
                                QMessageBox::Yes | QMessageBox::No, parent);
    box->setAttribute(Qt::WA_DeleteOnClose);
    QObject::connect(box, &QMessageBox::finished, box, [box, answer = std::move(answer)] {
        answer(box->clickedButton() == box->button(QMessageBox::Yes));
    });
    box->open();
}

void QtWindowDialogs::chooseFileToOpen(QWidget *parent, const QString &filter,
                                       std::function<void(const QStringList &paths)> chosen)
{
    auto *dialog = new QFileDialog(parent, QString(), QString(), filter);
    dialog->setAcceptMode(QFileDialog::AcceptOpen);
    dialog->setFileMode(QFileDialog::ExistingFiles);
    openFileDialog(dialog, std::move(chosen));
}

void QtWindowDialogs::chooseFileToSave(QWidget *parent, const QString &filter,
                                       const QString &suggestedName,
                                       std::function<void(const QString &path)> chosen)
{
    auto *dialog = new QFileDialog(parent, QString(), QString(), filter);
    dialog->setAcceptMode(QFileDialog::AcceptSave);
    dialog->setFileMode(QFileDialog::AnyFile);
    if (QFileInfo(suggestedName).isDir())
        dialog->setDirectory(suggestedName);
    else if (!suggestedName.isEmpty())
        dialog->selectFile(suggestedName);
    openFileDialog(
        dialog, [chosen = std::move(chosen)](const QStringList &files) { chosen(files.value(0)); });
}

} // namespace corvane
