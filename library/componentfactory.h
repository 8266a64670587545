#pragma once

#include "corvane_export.h"
#include "library/classids.h"

#include <QString>

class QWidget;

namespace corvane {

// Creates the component published under classID as a child of parent. Returns nullptr and
// says why in *errorString (when given) for an identifier the library does not publish.
CORVANE_EXPORT QWidget *createComponent(const QString &classID, QWidget *parent,
                                        QString *errorString = nullptr);

} // namespace corvane

// The same, under an unmangled name for programs that load the library at run time.
extern "C" CORVANE_EXPORT QWidget *corvane_create_component(const QString *classID, QWidget *parent,
                                                            QString *errorString);
