#pragma once

#include <QFont>
#include <QRect>
#include <QString>

#include <Qt>

class QGroupBox;
class QLabel;
class QLineEdit;
class QPlainTextEdit;
class QProgressBar;
class QPushButton;
class QWidget;

namespace corvane {

// Builders for the windows' controls: each control gets its name as objectName and its place
// given in twips at 15 twips per pixel.
namespace WindowControls {

constexpr int TwipsPerPixel = 15;

constexpr QRect twips(int left, int top, int width, int height)
{
    return QRect(left / TwipsPerPixel, top / TwipsPerPixel, width / TwipsPerPixel,
                 height / TwipsPerPixel);
}

// The desktop's font at the size the layout was made for.
QFont windowFont(const QFont &desktopFont);

QGroupBox *frame(QWidget *parent, const char *name, const QString &caption, QRect place);
QLabel *label(QWidget *parent, const char *name, const QString &caption, QRect place,
              Qt::Alignment alignment);
// A label that looks like a field: single-line border, the window's field colours.
QLabel *fieldLabel(QWidget *parent, const char *name, const QString &text, QRect place);
QLineEdit *field(QWidget *parent, const char *name, const QString &text, QRect place, bool readOnly,
                 bool centred);
QPushButton *button(QWidget *parent, const char *name, const QString &caption, QRect place,
                    bool enabled);
QPlainTextEdit *logField(QWidget *parent, const char *name, QRect place);
QProgressBar *progressBar(QWidget *parent, const char *name, QRect place);

} // namespace WindowControls

} // namespace corvane
