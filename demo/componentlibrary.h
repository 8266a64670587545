#pragma once

#include "demo/componentbinding.h"

#include <QStringList>

namespace corvane {

// The component library found and loaded at run time, for a program that is not linked to it.
// It stays loaded for the rest of the program's life.
class ComponentLibrary final
{
public:
    // The library's file name on this platform, e.g. "libcorvane.so.1".
    static QString fileName();
    // The program's own folder, then the library folder of an installation around it, then
    // the library folder it was built to be installed to.
    static QStringList defaultDirectories();

    // Tries the library in each directory in turn; false when none loads and offers the
    // factory. errorString() then names what was looked for, where, and why each failed.
    bool load(const QStringList &directories);
    QString errorString() const { return m_errorString; }
    QString loadedPath() const { return m_loadedPath; }
    // Valid after a successful load.
    ComponentFactory factory() const;

private:
    using CreateFunction = QWidget *(*)(const QString *, QWidget *, QString *);
    CreateFunction m_create = nullptr;
    QString m_loadedPath;
    QString m_errorString;
};

} // namespace corvane
