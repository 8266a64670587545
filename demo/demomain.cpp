// corvane-demo: the same windows with components created from the component library, which is
// loaded at run time and driven by name only.
#include "demo/componentlibrary.h"
#include "demo/helpandversion.h"
#include "demo/windowpair.h"

#include <QApplication>
#include <QMessageBox>

#include <cstdio>

int main(int argc, char *argv[])
{
    if (corvane::answerHelpOrVersion(
            argc, argv,
            QStringLiteral(
                "The windows of corvane, with components created from the component library\n"
                "(libcorvane.so.1), loaded at run time from the program's own folder or\n"
                "the installed library folder and driven by name only.")))
        return 0;
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Corvane Demo"));
    // Where the windows remember the last host, chunk size and save folder.
    QApplication::setOrganizationName(QStringLiteral("Corvane"));

    corvane::ComponentLibrary library;
    if (!library.load(corvane::ComponentLibrary::defaultDirectories())) {
        const QString message = library.errorString();
        std::fprintf(stderr, "corvane-demo: %s\n", qUtf8Printable(message));
        // On a platform nobody can see, a message box would only wait forever.
        const QString platform = QGuiApplication::platformName();
        if (platform != QLatin1StringView("offscreen") && platform != QLatin1StringView("minimal"))
            QMessageBox::critical(nullptr, QStringLiteral("Corvane Demo"), message);
        return 2;
    }
    corvane::showWindows(library.factory());
    return QApplication::exec();
}
