#include "demo/windowpair.h"

#include "demo/frmreceiver.h"
#include "demo/frmsender.h"

#include <QPointer>
#include <QScreen>
#include <QWindow>

#include <memory>

namespace corvane {

namespace {

// Moves allowed while the window manager frames the pair; one that keeps putting the windows
// elsewhere has the last word after that.
constexpr int MaxPlacementMoves = 10;

QPoint besideOf(const QWidget *window)
{
    const QRect frame = window->frameGeometry();
    return {frame.x() + frame.width(), frame.y()};
}

bool framed(const QWidget *window)
{
    return window->frameGeometry() != window->geometry();
}

// A window's frame size is known only once the window manager has framed it, and until then
// a move places its client area rather than its frame. So every change of either window's
// geometry checks the pair again, until both are framed and in place.
void keepPlaced(frmSender *sender, frmReceiver *receiver, QPoint topLeft)
{
    auto *placing = new QObject(sender);
    const QPointer<frmReceiver> other(receiver);
    const auto moves = std::make_shared<int>(0);
    const auto place = [sender, other, topLeft, placing, moves] {
        if (!other)
            return placing->deleteLater();
        const int movesBefore = *moves;
        const auto moveTo = [&moves](QWidget *window, QPoint wanted) {
            if (window->frameGeometry().topLeft() != wanted) {
                window->move(wanted);
                ++*moves;
            }
        };
        moveTo(sender, topLeft);
        moveTo(other, besideOf(sender));
        const bool settled = *moves == movesBefore && framed(sender) && framed(other);
        if (settled || *moves >= MaxPlacementMoves)
            placing->deleteLater();
    };
    for (QWindow *window : {sender->windowHandle(), receiver->windowHandle()}) {
        for (const auto changed : {&QWindow::xChanged, &QWindow::yChanged, &QWindow::widthChanged,
                                   &QWindow::heightChanged})
            QObject::connect(window, changed, placing, place, Qt::QueuedConnection);
    }
}

} // namespace

WindowPair showWindows(const ComponentFactory &factory, int portInfo, int portBinary)
{
    auto *sender = new frmSender(factory);
    sender->setAttribute(Qt::WA_DeleteOnClose);
    // Moved before it is shown, a window asks the window manager to put its frame's corner
    // at that point.
    const QPoint topLeft = sender->screen()->availableGeometry().topLeft();
    sender->move(topLeft);
    sender->show();

    auto *receiver = new frmReceiver(factory, nullptr, portInfo, portBinary);
    receiver->setAttribute(Qt::WA_DeleteOnClose);
    receiver->move(besideOf(sender));
    receiver->show();
    keepPlaced(sender, receiver, topLeft);
    return {sender, receiver};
}

} // namespace corvane
