#include "demo/windowpair.h"

#include "demo/frmsender.h"

#include <QGuiApplication>
#include <QScreen>

namespace corvane {

WindowPair showWindows(const ComponentFactory &factory, int portInfo, int portBinary)
{
    auto *sender = new frmSender(factory);
    sender->setAttribute(Qt::WA_DeleteOnClose);
    sender->show();
    const QPoint screenTopLeft = QGuiApplication::primaryScreen()->geometry().topLeft();
    sender->move(screenTopLeft);

    auto *receiver = new frmReceiver(factory, nullptr, portInfo, portBinary);
    receiver->setAttribute(Qt::WA_DeleteOnClose);
    receiver->show();
    receiver->move(screenTopLeft.x() + sender->frameGeometry().width(), screenTopLeft.y());
    return {sender, receiver};
}

} // namespace corvane
