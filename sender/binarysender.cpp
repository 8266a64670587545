// Placeholder until the sender lands.
#include "sender/binarysender.h"

#include "protocol/infocodestream.h"
#include "protocol/socketendpoint.h"

#include <QTimer>

namespace corvane {
BinarySender::BinarySender(QWidget *parent)
    : QWidget(parent)
{
}
BinarySender::~BinarySender() = default;
QObject *BinarySender::TheWinsock() const { return wsSender; }
QString BinarySender::RemoteHost() const { return {}; }
void BinarySender::setRemoteHost(const QString &) {}
QString BinarySender::RemoteHostIP() const { return {}; }
int BinarySender::RemotePortBinary() const { return 0; }
void BinarySender::setRemotePortBinary(int) {}
int BinarySender::RemotePortInfo() const { return 0; }
void BinarySender::setRemotePortInfo(int) {}
void BinarySender::setSource(const QString &) {}
void BinarySender::ResetFile() {}
void BinarySender::Reset() {}
bool BinarySender::Connect() { return false; }
bool BinarySender::SendInfo() { return false; }
bool BinarySender::SendFile() { return false; }
void BinarySender::resizeEvent(QResizeEvent *) {}
void BinarySender::paintEvent(QPaintEvent *) {}
} // namespace corvane
