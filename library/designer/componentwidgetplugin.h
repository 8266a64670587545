#pragma once

#include <QIcon>
#include <QObject>
#include <QStringList>
#include <QtUiPlugin/QDesignerCustomWidgetInterface>

#include <memory>

namespace corvane {

// One component as Qt Designer offers it: created through the library's factory, shown in
// the widget box under "Corvane" with its own face as the icon, and dropped onto a form with
// the defaults of its ports (and the sender's chunk size).
class ComponentWidgetPlugin final : public QObject, public QDesignerCustomWidgetInterface
{
    Q_OBJECT
    Q_INTERFACES(QDesignerCustomWidgetInterface)

public:
    struct Description
    {
        QString classID;     // the factory's identifier, "Corvane.BinarySender"
        QString className;   // the C++ class, as forms and generated code name it
        QString includeFile; // as a program built against the installed package includes it
        QString toolTip;
        QStringList defaults; // properties written into a new form with a new instance's values
    };

    ComponentWidgetPlugin(Description description, QObject *parent);
    Q_DISABLE_COPY_MOVE(ComponentWidgetPlugin)

    QString name() const override { return m_description.className; }
    QString group() const override { return QStringLiteral("Corvane"); }
    QIcon icon() const override;
    QString toolTip() const override { return m_description.toolTip; }
    QString whatsThis() const override { return m_description.toolTip; }
    QString includeFile() const override { return m_description.includeFile; }
    bool isContainer() const override { return false; }
    QString domXml() const override;
    QWidget *createWidget(QWidget *parent) override;

private:
    std::unique_ptr<QWidget> createInstance() const;

    const Description m_description;
    // Drawn on first use: a face can only be painted once the application exists.
    mutable QIcon m_icon;
};

} // namespace corvane
