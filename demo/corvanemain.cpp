// corvane: the program with the components built in.
#include "demo/helpandversion.h"
#include "demo/windowpair.h"
#include "library/componentfactory.h"

#include <QApplication>

int main(int argc, char *argv[])
{
    if (corvane::answerHelpOrVersion(
            argc, argv,
            QStringLiteral(
                "Copies one file at a time to another machine over TCP. Opens the sender\n"
                "window and the receiver window side by side; the receiver listens on\n"
                "ports 1700 (info) and 3000 (binary), the sender connects to the host\n"
                "given in its window.")))
        return 0;
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Corvane"));
    // Where the windows remember the last host, chunk size and save folder.
    QApplication::setOrganizationName(QStringLiteral("Corvane"));
    corvane::showWindows(&corvane::createComponent);
    return QApplication::exec();
}
