// The programs' two windows on free ports, open until the process is ended.
#include "demo/windowpair.h"
#include "library/componentfactory.h"

#include <QApplication>

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    corvane::showWindows(&corvane::createComponent, 0, 0);
    return QApplication::exec();
}
