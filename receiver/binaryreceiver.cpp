// Placeholder until the receiver lands.
#include "receiver/binaryreceiver.h"

#include "protocol/socketendpoint.h"
#include "receiver/temporarytarget.h"

namespace corvane {
BinaryReceiver::BinaryReceiver(QWidget *parent)
    : QWidget(parent)
{
}
BinaryReceiver::~BinaryReceiver() = default;
QObject *BinaryReceiver::TheWinsock() const { return wsReader; }
QString BinaryReceiver::LocalHostName() const { return {}; }
QString BinaryReceiver::LocalIP() const { return {}; }
int BinaryReceiver::LocalPortBinary() const { return 0; }
void BinaryReceiver::setLocalPortBinary(int) {}
int BinaryReceiver::LocalPortInfo() const { return 0; }
void BinaryReceiver::setLocalPortInfo(int) {}
void BinaryReceiver::ResetFile() {}
void BinaryReceiver::Reset() {}
bool BinaryReceiver::AcceptSendRequest(const QString &) { return false; }
bool BinaryReceiver::RefuseSendRequest() { return false; }
bool BinaryReceiver::Listen() { return false; }
void BinaryReceiver::resizeEvent(QResizeEvent *) {}
void BinaryReceiver::paintEvent(QPaintEvent *) {}
} // namespace corvane
