// corvane: the program with the components built in.
#include "demo/windowpair.h"
#include "library/componentfactory.h"

#include <QApplication>

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Corvane"));
    corvane::showWindows(&corvane::createComponent);
    return QApplication::exec();
}
