#pragma once

#include "demo/componentbinding.h"
#include "demo/frmreceiver.h"

namespace corvane {

class frmSender;

struct WindowPair
{
    frmSender *sender = nullptr;
    frmReceiver *receiver = nullptr;
};

// The programs' start: the sender window at the screen's top left, then the receiver window
// created, shown and placed touching its right edge. Both windows delete themselves when
// closed; neither owns the other.
WindowPair showWindows(const ComponentFactory &factory, int portInfo = frmReceiver::DefaultPortInfo,
                       int portBinary = frmReceiver::DefaultPortBinary);

} // namespace corvane
