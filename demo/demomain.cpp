// corvane-demo: the same windows with components created from the component library, which is
// loaded at run time and driven by name only.
#include "demo/componentlibrary.h"
#include "demo/windowpair.h"

#include <QApplication>
#include <QMessageBox>

#include <cstdio>

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Corvane Demo"));

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
