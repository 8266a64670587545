#pragma once

#include <QPointer>
#include <QString>
#include <QStringList>
#include <QVariant>

#include <functional>

class QWidget;

namespace corvane {

// Creates the component published under a class identifier as a child of parent, or returns
// nullptr and says why in *errorString. The programs hand the windows one of these: the
// library's own factory when it is linked, the one found in it at run time otherwise.
using ComponentFactory =
    std::function<QWidget *(const QString &classID, QWidget *parent, QString *errorString)>;

// The one way the windows reach their component: properties, methods and events looked up by
// name in its meta-object, so the same window code drives a component compiled into the
// program and one created from the library loaded at run time.
class ComponentBinding final
{
public:
    // Numbers for failures of the binding itself, in the classic runtime numbering.
    static constexpr int NoObject = 91;
    static constexpr int NoSuchMember = 438;

    explicit ComponentBinding(QObject *component = nullptr);

    QObject *object() const { return m_component; }

    // The property's value; an invalid QVariant when it does not exist.
    QVariant get(const char *property) const;
    QString text(const char *property) const { return get(property).toString(); }
    qint64 number(const char *property) const { return get(property).toLongLong(); }
    // Reads property of the object held by the object-valued property holder (for instance
    // RemoteHostIP of the endpoint behind TheWinsock).
    QVariant getFrom(const char *holder, const char *property) const;
    bool set(const char *property, const QVariant &value);

    // Calls a method by its signature, e.g. "Connect()" or "AcceptSendRequest(QString)".
    // Returns the method's bool result (true for a method that returns nothing). After a
    // false result errorNumber() and errorDescription() say why: the component's
    // LastErrorNumber and LastErrorDescription, or the binding's own failure.
    bool call(const char *signature);
    bool call(const char *signature, const QString &argument);
    int errorNumber() const { return m_errorNumber; }
    QString errorDescription() const { return m_errorDescription; }

    // Connects the component's signal to the receiver's slot, both given by signature, as a
    // direct connection: events run their handlers synchronously.
    bool subscribe(const char *signal, QObject *receiver, const char *slot);

    // Every member that was asked for and not found, in the order of the first request.
    QStringList missingMembers() const { return m_missing; }

private:
    bool invoke(const char *signature, const QString *argument);
    bool fail(int number, const QString &description);
    void noteMissing(const char *member) const;

    QPointer<QObject> m_component;
    int m_errorNumber = 0;
    QString m_errorDescription;
    mutable QStringList m_missing;
};

} // namespace corvane
