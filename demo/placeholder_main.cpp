#include <QApplication>
#include <QLabel>

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    QLabel label(QStringLiteral("Corvane: the windows are on their way."));
    label.show();
    return app.exec();
}
