#include "library/componentfactory.h"

#include "receiver/binaryreceiver.h"
#include "sender/binarysender.h"

namespace corvane {

QWidget *createComponent(const QString &classID, QWidget *parent, QString *errorString)
{
    if (classID == QLatin1StringView(SenderClassID))
        return new BinarySender(parent);
    if (classID == QLatin1StringView(ReceiverClassID))
        return new BinaryReceiver(parent);
    if (errorString) {
        *errorString =
            QStringLiteral("Unknown class identifier \"%1\": this library publishes "
                           "\"%2\" and \"%3\".")
                .arg(classID, QLatin1StringView(SenderClassID), QLatin1StringView(ReceiverClassID));
    }
    return nullptr;
}

} // namespace corvane

QWidget *corvane_create_component(const QString *classID, QWidget *parent, QString *errorString)
{
    if (classID)
        return corvane::createComponent(*classID, parent, errorString);
    if (errorString)
        *errorString = QStringLiteral("No class identifier was given.");
    return nullptr;
}
