#include "demo/windowcontrols.h"

#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>

namespace corvane::WindowControls {

namespace {
template<typename Control>
Control *place(Control *control, const char *name, QRect rect)
{
    control->setObjectName(QString::fromLatin1(name));
    control->setGeometry(rect);
    return control;
}
} // namespace

QFont windowFont(const QFont &desktopFont)
{
    QFont font = desktopFont;
    font.setPointSizeF(8.25);
    return font;
}

QGroupBox *frame(QWidget *parent, const char *name, const QString &caption, QRect rect)
{
    return place(new QGroupBox(caption, parent), name, rect);
}

QLabel *label(QWidget *parent, const char *name, const QString &caption, QRect rect,
              Qt::Alignment alignment)
{
    auto *control = place(new QLabel(caption, parent), name, rect);
    control->setAlignment(alignment | Qt::AlignVCenter);
    return control;
}

QLabel *fieldLabel(QWidget *parent, const char *name, const QString &text, QRect rect)
{
    auto *control = label(parent, name, text, rect, Qt::AlignHCenter);
    control->setFrameStyle(QFrame::Box | QFrame::Plain);
    control->setLineWidth(1);
    control->setBackgroundRole(QPalette::Base);
    control->setForegroundRole(QPalette::Text);
    control->setAutoFillBackground(true);
    return control;
}

QLineEdit *field(QWidget *parent, const char *name, const QString &text, QRect rect, bool readOnly,
                 bool centred)
{
    auto *control = place(new QLineEdit(text, parent), name, rect);
    control->setReadOnly(readOnly);
    if (centred)
        control->setAlignment(Qt::AlignCenter);
    return control;
}

QPushButton *button(QWidget *parent, const char *name, const QString &caption, QRect rect,
                    bool enabled)
{
    auto *control = place(new QPushButton(caption, parent), name, rect);
    control->setEnabled(enabled);
    return control;
}

QPlainTextEdit *logField(QWidget *parent, const char *name, QRect rect)
{
    auto *control = place(new QPlainTextEdit(parent), name, rect);
    control->setReadOnly(true);
    control->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    return control;
}

QProgressBar *progressBar(QWidget *parent, const char *name, QRect rect)
{
    auto *control = place(new QProgressBar(parent), name, rect);
    control->setRange(0, 100);
    control->setValue(0);
    control->setTextVisible(false);
    return control;
}

} // namespace corvane::WindowControls
