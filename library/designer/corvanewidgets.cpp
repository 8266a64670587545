#include "library/designer/corvanewidgets.h"

#include "library/componentfactory.h"
#include "library/designer/componentwidgetplugin.h"

using namespace Qt::StringLiterals;

namespace corvane {

CorvaneWidgets::CorvaneWidgets(QObject *parent) : QObject(parent)
{
    m_widgets << new ComponentWidgetPlugin(
        {QLatin1StringView(SenderClassID),
         u"corvane::BinarySender"_s,
         u"sender/binarysender.h"_s,
         u"Sends one file at a time to a BinaryReceiver over two TCP connections"_s,
         {u"RemotePortInfo"_s, u"RemotePortBinary"_s, u"ChunkSize"_s}},
        this);
    m_widgets << new ComponentWidgetPlugin(
        {QLatin1StringView(ReceiverClassID),
         u"corvane::BinaryReceiver"_s,
         u"receiver/binaryreceiver.h"_s,
         u"Receives files from a BinarySender: listens on an info port and a binary port"_s,
         {u"LocalPortInfo"_s, u"LocalPortBinary"_s}},
        this);
}

} // namespace corvane
