#include "library/designer/componentwidgetplugin.h"

#include "library/componentfactory.h"

#include <QPixmap>
#include <QVariant>
#include <QWidget>

using namespace Qt::StringLiterals;

namespace corvane {

ComponentWidgetPlugin::ComponentWidgetPlugin(Description description, QObject *parent)
    : QObject(parent), m_description(std::move(description))
{}

std::unique_ptr<QWidget> ComponentWidgetPlugin::createInstance() const
{
    return std::unique_ptr<QWidget>(createComponent(m_description.classID, nullptr));
}

QIcon ComponentWidgetPlugin::icon() const
{
    if (m_icon.isNull()) {
        if (const auto face = createInstance())
            m_icon = QIcon(face->grab());
    }
    return m_icon;
}

QString ComponentWidgetPlugin::domXml() const
{
    // The object name is the class name in lower camel case, as Designer names new widgets.
    QString objectName = m_description.className.section(u"::"_s, -1);
    objectName[0] = objectName[0].toLower();
    QString xml = u"<ui language=\"c++\">\n <widget class=\""_s + m_description.className +
                  u"\" name=\""_s + objectName + u"\">\n"_s;
    // The values come from a new instance, so the form and the component cannot disagree.
    if (const auto fresh = createInstance()) {
        for (const QString &name : m_description.defaults) {
            xml += u"  <property name=\""_s + name + u"\">\n   <number>"_s +
                   QString::number(fresh->property(name.toLatin1().constData()).toInt()) +
                   u"</number>\n  </property>\n"_s;
        }
    }
    return xml + u" </widget>\n</ui>\n"_s;
}

QWidget *ComponentWidgetPlugin::createWidget(QWidget *parent)
{
    return createComponent(m_description.classID, parent);
}

} // namespace corvane
