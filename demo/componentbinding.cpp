#include "demo/componentbinding.h"

#include <QMetaMethod>
#include <QMetaObject>
#include <QMetaProperty>

namespace corvane {

ComponentBinding::ComponentBinding(QObject *component) : m_component(component) {}

void ComponentBinding::noteMissing(const char *member) const
{
    const QString name = QString::fromLatin1(member);
    if (!m_missing.contains(name))
        m_missing.append(name);
}

QVariant ComponentBinding::get(const char *property) const
{
    if (!m_component)
        return {};
    if (m_component->metaObject()->indexOfProperty(property) < 0) {
        noteMissing(property);
        return {};
    }
    return m_component->property(property);
}

QVariant ComponentBinding::getFrom(const char *holder, const char *property) const
{
    QObject *inner = qvariant_cast<QObject *>(get(holder));
    if (!inner)
        return {};
    if (inner->metaObject()->indexOfProperty(property) < 0) {
        noteMissing(property);
        return {};
    }
    return inner->property(property);
}

bool ComponentBinding::set(const char *property, const QVariant &value)
{
    if (!m_component)
        return fail(NoObject, QStringLiteral("The component does not exist."));
    // setProperty would quietly add a dynamic property under a name the component lacks.
    if (m_component->metaObject()->indexOfProperty(property) < 0) {
        noteMissing(property);
        return fail(
            NoSuchMember,
            QStringLiteral("The component has no property %1.").arg(QString::fromLatin1(property)));
    }
    return m_component->setProperty(property, value);
}

bool ComponentBinding::call(const char *signature)
{
    return invoke(signature, nullptr);
}

bool ComponentBinding::call(const char *signature, const QString &argument)
{
    return invoke(signature, &argument);
}

bool ComponentBinding::invoke(const char *signature, const QString *argument)
{
    if (!m_component)
        return fail(NoObject, QStringLiteral("The component does not exist."));
    const QMetaObject *meta = m_component->metaObject();
    const int index = meta->indexOfMethod(QMetaObject::normalizedSignature(signature).constData());
    if (index < 0) {
        noteMissing(signature);
        return fail(
            NoSuchMember,
            QStringLiteral("The component has no method %1.").arg(QString::fromLatin1(signature)));
    }
    const QMetaMethod method = meta->method(index);
    const bool returnsBool = method.returnType() == QMetaType::Bool;
    bool result = !returnsBool;
    bool invoked = false;
    if (argument) {
        invoked = returnsBool
                      ? method.invoke(m_component, Qt::DirectConnection, Q_RETURN_ARG(bool, result),
                                      Q_ARG(QString, *argument))
                      : method.invoke(m_component, Qt::DirectConnection, Q_ARG(QString, *argument));
    } else {
        invoked = returnsBool
                      ? method.invoke(m_component, Qt::DirectConnection, Q_RETURN_ARG(bool, result))
                      : method.invoke(m_component, Qt::DirectConnection);
    }
    if (!invoked) {
        return fail(NoSuchMember, QStringLiteral("The method %1 could not be called.")
                                      .arg(QString::fromLatin1(signature)));
    }
    if (result)
        return true;
    // The call itself may have destroyed the component.
    if (!m_component)
        return fail(NoObject, QStringLiteral("The component does not exist."));
    return fail(get("LastErrorNumber").toInt(), get("LastErrorDescription").toString());
}

bool ComponentBinding::subscribe(const char *signal, QObject *receiver, const char *slot)
{
    if (!m_component || !receiver)
        return false;
    const QMetaObject *meta = m_component->metaObject();
    const int signalIndex =
        meta->indexOfSignal(QMetaObject::normalizedSignature(signal).constData());
    if (signalIndex < 0) {
        noteMissing(signal);
        return false;
    }
    const QMetaObject *receiverMeta = receiver->metaObject();
    const int slotIndex =
        receiverMeta->indexOfMethod(QMetaObject::normalizedSignature(slot).constData());
    if (slotIndex < 0)
        return false;
    return bool(QObject::connect(m_component, meta->method(signalIndex), receiver,
                                 receiverMeta->method(slotIndex), Qt::DirectConnection));
}

bool ComponentBinding::fail(int number, const QString &description)
{
    m_errorNumber = number;
    m_errorDescription = description;
    return false;
}

} // namespace corvane
