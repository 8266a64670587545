#include "demo/componentlibrary.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QLibrary>

using namespace Qt::StringLiterals;

namespace corvane {

namespace {
constexpr char CreateSymbol[] = "corvane_create_component";
} // namespace

QString ComponentLibrary::fileName()
{
    return QStringLiteral(CORVANE_LIBRARY_FILE_NAME);
}

QStringList ComponentLibrary::defaultDirectories()
{
    const QString own = QCoreApplication::applicationDirPath();
    QStringList directories{own,
                            QDir::cleanPath(own + u"/../"_s + QStringLiteral(CORVANE_LIBDIR_NAME)),
                            QStringLiteral(CORVANE_INSTALL_LIBDIR)};
    directories.removeDuplicates();
    return directories;
}

bool ComponentLibrary::load(const QStringList &directories)
{
    QStringList failures;
    for (const QString &directory : directories) {
        const QString path = QDir(directory).filePath(fileName());
        if (!QFileInfo::exists(path)) {
            failures.append(u"%1: not there"_s.arg(path));
            continue;
        }
        QLibrary library(path);
        if (!library.load()) {
            failures.append(u"%1: %2"_s.arg(path, library.errorString()));
            continue;
        }
        auto create = reinterpret_cast<CreateFunction>(library.resolve(CreateSymbol));
        if (!create) {
            failures.append(u"%1: %2"_s.arg(path, library.errorString()));
            continue;
        }
        m_create = create;
        m_loadedPath = path;
        m_errorString.clear();
        return true;
    }
    m_errorString = u"The component library %1 was not found or could not be loaded. "
                    u"Looked for it here:\n%2"_s.arg(fileName(), failures.join(u'\n'));
    return false;
}

ComponentFactory ComponentLibrary::factory() const
{
    return [create = m_create](const QString &classID, QWidget *parent,
                               QString *errorString) -> QWidget * {
        if (!create) {
            if (errorString)
                *errorString = u"The component library is not loaded."_s;
            return nullptr;
        }
        return create(&classID, parent, errorString);
    };
}

} // namespace corvane
