#include "demo/componentwindow.h"

#include "demo/qtwindowdialogs.h"
#include "demo/transferdisplay.h"
#include "demo/windowcontrols.h"

#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QShortcut>
#include <QTextCursor>
#include <QTimer>

using namespace Qt::StringLiterals;

namespace corvane {

namespace {
constexpr int StatusInterval = 500;
const QString TimeLeftCaption = u"Time left: "_s;
} // namespace

ComponentWindow::ComponentWindow(const char *name, const QString &caption, QSize size,
                                 WindowDialogs *dialogs, QWidget *parent)
    : QWidget(parent), m_dialogs(dialogs)
{
    if (!m_dialogs) {
        m_ownDialogs = std::make_unique<QtWindowDialogs>();
        m_dialogs = m_ownDialogs.get();
    }
    setObjectName(QString::fromLatin1(name));
    setWindowTitle(caption);
    resize(WindowControls::twips(0, 0, size.width(), size.height()).size());
    setFont(WindowControls::windowFont(font()));
}

ComponentWindow::~ComponentWindow() = default;

bool ComponentWindow::createComponent(const ComponentFactory &factory, const char *classID,
                                      const char *name, const QString &role)
{
    const QString id = QString::fromLatin1(classID);
    QString error;
    QWidget *component = factory ? factory(id, this, &error) : nullptr;
    m_component = ComponentBinding(component);
    if (!component) {
        showError(windowTitle(),
                  u"The %1 component %2 could not be created: %3"_s.arg(role, id, error));
        return false;
    }
    component->setObjectName(QString::fromLatin1(name));
    component->move(WindowControls::twips(4440, 6120, 0, 0).topLeft());
    // Its face says nothing at run time and would stick out under the progress bar.
    component->hide();
    return true;
}

void ComponentWindow::subscribe(std::initializer_list<Event> events)
{
    for (const Event &event : events)
        m_component.subscribe(event.signal, this, event.handler);
}

void ComponentWindow::buildStatus(int top, const StatusTexts &texts)
{
    using namespace WindowControls;
    auto *frame =
        WindowControls::frame(this, "famSendStatus", texts.caption, twips(120, top, 5655, 1095));
    label(frame, "Label7", texts.bytesCaption, twips(120, 240, 2295, 255), Qt::AlignRight);
    m_bytes = fieldLabel(frame, texts.bytesName, u"0"_s, twips(2400, 240, 3135, 255));
    lblPercentage = label(frame, "lblPercentage", texts.percentage, twips(3120, 480, 1815, 255),
                          Qt::AlignHCenter);
    // In the free space left of the percentage: nothing else in the frame moves.
    lblTimeLeft =
        label(frame, "lblTimeLeft", QString(), twips(120, 480, 2895, 255), Qt::AlignRight);
    label(frame, "Label8", texts.speedCaption, twips(120, 720, 2295, 255), Qt::AlignRight);
    txtSpeed =
        field(frame, "txtSpeed", u"0"_s, twips(2400, 720, 3135, 285), true, texts.speedCentred);
    tmrStatus = new QTimer(frame);
    tmrStatus->setObjectName(u"tmrStatus"_s);
    tmrStatus->setInterval(StatusInterval);
    connect(tmrStatus, &QTimer::timeout, this, &ComponentWindow::tmrStatus_Timer);
    pb = progressBar(this, "pb", twips(120, 6120, 5655, 375));
}

void ComponentWindow::buildLog(int top, int height)
{
    using namespace WindowControls;
    auto *famLog = frame(this, "famLog", u"Event Log"_s, twips(120, top, 5655, height));
    txtEventLog = logField(famLog, "txtEventLog", twips(120, 240, 5415, height - 360));
}

void ComponentWindow::buildCancel(QWidget *frame, QRect place)
{
    cmdCancel = WindowControls::button(frame, "cmdCancel", u"Cancel"_s, place, false);
    cmdCancel->setToolTip(u"Stops the file under way (Esc)"_s);
    // A button's own shortcut clicks it 100 ms later; Escape cancels at once.
    connect(new QShortcut(Qt::Key_Escape, this), &QShortcut::activated, cmdCancel,
            &QPushButton::click);
    connect(cmdCancel, &QPushButton::clicked, this, &ComponentWindow::cmdCancel_Click);
}

void ComponentWindow::setFileUnderWay(bool underWay)
{
    cmdCancel->setEnabled(underWay);
}

void ComponentWindow::cmdCancel_Click()
{
    // Cancel fails only when no file is under way: this one was complete, as its event will say.
    if (!m_component.call("Cancel()"))
        return;
    setFileUnderWay(false);
    fileCancelled();
}

void ComponentWindow::logSha256()
{
    AddLog(u"SHA-256: "_s + m_component.text("Sha256"));
}

void ComponentWindow::AddLog(const QString &text)
{
    // The field turns "\r\n" into a paragraph break, so the exact text is kept beside it.
    const QString line = text + "\r\n"_L1;
    m_log += line;
    QTextCursor cursor(txtEventLog->document());
    cursor.movePosition(QTextCursor::End);
    cursor.insertText(line);
    txtEventLog->moveCursor(QTextCursor::End);
    txtEventLog->ensureCursorVisible();
}

void ComponentWindow::showError(const QString &title, const QString &text)
{
    // Never from inside a component's event: the box opens once the event has returned.
    QTimer::singleShot(0, this, [this, title, text] { m_dialogs->showError(this, title, text); });
}

void ComponentWindow::showCallError()
{
    showError(QString::number(m_component.errorNumber()), m_component.errorDescription());
}

void ComponentWindow::startStatus()
{
    m_timeLeft.clear();
    lblTimeLeft->setText(TimeLeftCaption + TimeLeft::format(std::nullopt));
    tmrStatus->start();
}

void ComponentWindow::stopStatus()
{
    tmrStatus->stop();
    pb->setValue(0);
    lblTimeLeft->clear();
    m_timeLeft.clear();
    m_bytesDone = 0;
    m_bytesTotal = 0;
}

void ComponentWindow::completeStatus()
{
    stopStatus();
    lblPercentage->setText(u"100%"_s);
}

void ComponentWindow::tmrStatus_Timer()
{
    showTransferStatus(pb, m_bytes, lblPercentage, m_bytesDone, m_bytesTotal);
    if (m_bytesTotal > 0) {
        lblTimeLeft->setText(TimeLeftCaption +
                             TimeLeft::format(m_timeLeft.seconds(m_bytesTotal - m_bytesDone)));
    }
}

void ComponentWindow::Component_Progress(qint64 Progress, qint64 ProgressMax)
{
    m_bytesDone = Progress;
    m_bytesTotal = ProgressMax;
}

void ComponentWindow::Component_SpeedRecord(int Speed)
{
    txtSpeed->setText(QString::number(Speed));
    m_timeLeft.addSample(Speed);
}

} // namespace corvane
