#pragma once

#include <QObject>

class QSocketNotifier;

namespace corvane {

// Turns SIGINT and SIGTERM into a Qt signal on the event loop: the handler only writes one
// byte into a socket pair, which a notifier reads. After the first one the default action
// is back, so a second Ctrl-C ends a program that does not end by itself.
class SignalWatcher final : public QObject
{
    Q_OBJECT

public:
    explicit SignalWatcher(QObject *parent = nullptr);
    ~SignalWatcher() override;
    Q_DISABLE_COPY_MOVE(SignalWatcher)

    // False (with errno set) when the socket pair or the handlers cannot be set up.
    bool watch();

signals:
    void caught(int signalNumber);

private:
    void onReadable();

    QSocketNotifier *m_notifier = nullptr;
};

} // namespace corvane
