// This file contains the panel windows: a panel's controls as widgets on the
// panel file's grid (toggles as check boxes, numerics as text fields showing
// the file's format, command buttons as push buttons), the output pane when
// the front end gives one, and a status bar with a message line for refused
// input and the name of the action that runs.
//
// Refused input is explained by the control's label, as the operator knows
// it, and stays in its field, selected, for correction. While a field holds
// refused text, the window's buttons and toggles do nothing but point at it:
// an action started then would use the value the field had before, not the
// one it shows.
//
// Numbers are shown and read in the C locale's notation, a point before the
// decimals, whatever the desktop's locale says: an operator's "2,5" is refused
// with a message, never read as 25 or 2.
#include "panel_window.h"

#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QLocale>
#include <QPushButton>
#include <QPointer>
#include <QSignalBlocker>
#include <QStatusBar>
#include <QVBoxLayout>
#include <cmath>

namespace {

// A panel's window: closing it ends the session as a quit button would; the
// program then discards the panel, which removes the window.
class PanelWindow : public QWidget {
public:
    bool busy = false;             // an action runs: its controls are disabled
    QPointer<QWidget> focusBefore; // where the focus was when it started

protected:
    void closeEvent(QCloseEvent* event) override
    {
        event->ignore();
        QuitUserInterface(0);
    }
};

// The dynamic property of a numeric field that holds the explanation of the
// refused text it shows; absent or empty when the field shows no such text.
constexpr const char* refusalProperty = "refusal";

QString text(const std::string& bytes)
{
    return QString::fromStdString(bytes);
}

// A label for a button or check box: '&' is shown as itself, not taken as the
// mark of a keyboard shortcut.
QString buttonText(const std::string& label)
{
    return text(label).replace(u'&', QStringLiteral("&&"));
}

QLocale numberLocale()
{
    QLocale c = QLocale::c();
    c.setNumberOptions(QLocale::OmitGroupSeparator | QLocale::RejectGroupSeparator);
    return c;
}

QString number(double value)
{
    return QString::number(value, 'g', 6);  // as printf's %g
}

// Explains a refused input in the message line and keeps the typed text in
// its field, selected and focused, for correction.
void refuse(QWidget* window, QLineEdit* field, const QString& why)
{
    field->setProperty(refusalProperty, why);
    showMessage(window, why);
    field->setFocus();
    field->selectAll();
}

// The window's numeric field that holds refused text; after pointing the
// operator at it again. NULL when there is none.
QLineEdit* refusedField(QWidget* window)
{
    for (QLineEdit* field : window->findChildren<QLineEdit*>()) {
        QString why = field->property(refusalProperty).toString();
        if (!why.isEmpty()) {
            refuse(window, field, why);
            return field;
        }
    }
    return nullptr;
}

// The operator finished editing a numeric field (Enter, or focus left it).
// Text left as shown is no change and commits nothing; so is the focus that
// leaves as the window turns busy.
void numericEdited(PanelWindow* window, int panel, int id, QLineEdit* field)
{
    const UiControl* control = uiControl(panel, id);
    if (control == nullptr || window->busy)
        return;
    QString typed = field->text().trimmed();
    if (typed == text(uiFormatValue(control))) {
        if (!field->property(refusalProperty).toString().isEmpty()) {
            showMessage(window, QString());  // corrected back to the value it holds
            showValue(window, control);
        }
        return;
    }
    QString label = text(control->label);
    bool ok = false;
    double value = numberLocale().toDouble(typed, &ok);
    if (!ok || !std::isfinite(value)) {
        refuse(window, field, QStringLiteral("%1 takes a number, not \"%2\"").arg(label, typed));
        return;
    }
    double minimum = control->minimum, maximum = control->maximum;
    // The callback that runs may discard the panel: control is not used afterwards.
    int status = qtOperatorSets(panel, id, value);
    if (status == UI_ERR_VALUE) {
        refuse(window, field,
               QStringLiteral("%1 is outside the range of %2, %3 to %4").arg(typed, label, number(minimum), number(maximum)));
    } else if (const UiControl* now = uiControl(panel, id)) {
        showMessage(window, QString());
        showValue(window, now);
    }
}

QWidget* toggleWidget(QWidget* window, int panel, const UiControl& control)
{
    auto* box = new QCheckBox(buttonText(control.label));
    box->setObjectName(text(control.name));
    QObject::connect(box, &QCheckBox::clicked, [window, panel, id = control.id](bool checked) {
        if (refusedField(window) == nullptr)
            qtOperatorSets(panel, id, checked ? 1.0 : 0.0);
        // Shows what the control holds: the new state, or the old one.
        if (const UiControl* now = uiControl(panel, id))
            showValue(window, now);
    });
    return box;
}

QWidget* numericWidget(PanelWindow* window, int panel, const UiControl& control)
{
    auto* cell = new QWidget;
    auto* layout = new QVBoxLayout(cell);
    layout->setContentsMargins(0, 0, 0, 0);
    auto* label = new QLabel(text(control.label));
    label->setTextFormat(Qt::PlainText);
    auto* field = new QLineEdit;
    field->setObjectName(text(control.name));
    field->setLocale(numberLocale());
    field->setAlignment(Qt::AlignRight);
    field->setMinimumWidth(field->fontMetrics().horizontalAdvance(QStringLiteral("-00000.0000")) + 12);
    field->setToolTip(QStringLiteral("%1 to %2").arg(control.minimum).arg(control.maximum));
    QObject::connect(field, &QLineEdit::editingFinished,
                     [window, panel, id = control.id, field] { numericEdited(window, panel, id, field); });
    layout->addWidget(label);
    layout->addWidget(field);
    return cell;
}

QWidget* commandWidget(QWidget* window, int panel, const UiControl& control)
{
    auto* button = new QPushButton(buttonText(control.label));
    button->setObjectName(text(control.name));
    QObject::connect(button, &QPushButton::clicked, [window, panel, id = control.id] {
        if (refusedField(window) == nullptr)
            qtOperatorPresses(panel, id);
    });
    return button;
}

QWidget* controlWidget(PanelWindow* window, int panel, const UiControl& control)
{
    switch (control.kind) {
    case UI_TOGGLE: return toggleWidget(window, panel, control);
    case UI_NUMERIC: return numericWidget(window, panel, control);
    case UI_COMMAND: break;
    }
    return commandWidget(window, panel, control);
}

// Puts each control in its cell. A control without a row, or whose cell an
// earlier one took, gets a row of its own below the others, so that no
// control ever hides another.
void layOut(QGridLayout* grid, PanelWindow* window, const UiPanel* panel)
{
    int nextRow = 0;
    for (const UiControl& control : panel->controls)
        nextRow = std::max(nextRow, control.row + 1);
    for (const UiControl& control : panel->controls) {
        int row = control.row >= 0 ? control.row : nextRow++;
        int column = std::max(control.column, 0);
        if (grid->itemAtPosition(row, column) != nullptr) {
            row = nextRow++;
            column = 0;
        }
        grid->addWidget(controlWidget(window, panel->handle, control), row, column, Qt::AlignBottom);
    }
}

}  // namespace

QWidget* createPanelWindow(const UiPanel* panel, QPlainTextEdit* pane)
{
    auto* window = new PanelWindow;
    window->setObjectName(text(panel->name));
    window->setWindowTitle(text(panel->title));
    window->setLocale(numberLocale());
    auto* layout = new QVBoxLayout(window);
    // The controls keep their natural widths at the left, however wide the pane.
    auto* controls = new QWidget;
    controls->setObjectName(controlsName);
    auto* row = new QHBoxLayout(controls);
    row->setContentsMargins(0, 0, 0, 0);
    auto* grid = new QGridLayout;
    layOut(grid, window, panel);
    row->addLayout(grid);
    row->addStretch(1);
    layout->addWidget(controls);
    if (pane != nullptr)
        layout->addWidget(pane, 1);
    else
        layout->addStretch(1);
    auto* status = new QStatusBar;
    status->setObjectName(statusBarName);
    status->setSizeGripEnabled(false);
    auto* message = new QLabel;
    message->setObjectName(messageLineName);
    message->setTextFormat(Qt::PlainText);
    message->setStyleSheet(QStringLiteral("color: #b00000"));
    status->addWidget(message, 1);
    layout->addWidget(status);
    for (const UiControl& control : panel->controls)
        showValue(window, &control);
    return window;
}

void showValue(QWidget* window, const UiControl* control)
{
    QWidget* widget = window->findChild<QWidget*>(text(control->name));
    if (auto* box = qobject_cast<QCheckBox*>(widget)) {
        QSignalBlocker quiet(box);
        box->setChecked(control->value != 0.0);
    } else if (auto* field = qobject_cast<QLineEdit*>(widget)) {
        QSignalBlocker quiet(field);
        field->setProperty(refusalProperty, QString());
        field->setText(text(uiFormatValue(control)));
        field->setCursorPosition(0);
    }
}

void showMessage(QWidget* window, const QString& message)
{
    if (auto* line = window->findChild<QLabel*>(messageLineName))
        line->setText(message);
}

void showBusy(QWidget* window, const QString& text)
{
    auto* panelWindow = static_cast<PanelWindow*>(window);
    auto* controls = window->findChild<QWidget*>(controlsName);
    auto* status = window->findChild<QStatusBar*>(statusBarName);
    bool busy = !text.isEmpty();
    if (busy == panelWindow->busy)
        return;
    if (busy)
        panelWindow->focusBefore = QApplication::focusWidget();
    // Set first: the focus leaving a field as its area is disabled commits nothing.
    panelWindow->busy = busy;
    controls->setEnabled(!busy);
    if (busy) {
        status->showMessage(text);
        return;
    }
    status->clearMessage();
    if (panelWindow->focusBefore != nullptr && panelWindow->focusBefore->window() == window)
        panelWindow->focusBefore->setFocus();
}
