#pragma once

#include "demo/componentbinding.h"
#include "protocol/defaults.h"

namespace corvane {

class frmReceiver;
class frmSender;

struct WindowPair
{
    frmSender *sender = nullptr;
    frmReceiver *receiver = nullptr;
};

// The programs' start: the sender window's frame at the top left of the screen's available
// area, then the receiver window created, shown and its frame placed touching the sender's
// right edge, top edges level; the pair is placed again as the window manager frames it.
// Both windows delete themselves when closed; neither owns the other.
WindowPair showWindows(const ComponentFactory &factory, int portInfo = DefaultInfoPort,
                       int portBinary = DefaultBinaryPort);

} // namespace corvane
