// This file contains the panel windows: a panel's controls as widgets on the
// panel file's grid (toggles as check boxes, numerics as text fields showing
// the file's format, command buttons as push buttons), a message line for
// refused input, and the output pane when the front end gives one.
//
// Numbers are shown and read in the C locale's notation, a point before the
// decimals, whatever the desktop's locale says: an operator's "2,5" is refused
// with a message, never read as 25 or 2.
#include "panel_window.h"

#include <QCheckBox>
#include <QCloseEvent>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QLocale>
#include <QPushButton>
#include <QSignalBlocker>
#include <QVBoxLayout>
#include <cmath>

namespace {

// A panel's window: closing it ends the session as a quit button would; the
// program then discards the panel, which removes the window.
class PanelWindow : public QWidget {
protected:
    void closeEvent(QCloseEvent* event) override
    {
        event->ignore();
        QuitUserInterface(0);
    }
};

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

// The operator finished editing a numeric field (Enter, or focus left it).
// Text left as shown is no change and commits nothing.
void numericEdited(QWidget* window, int panel, int id, QLineEdit* field)
{
    const UiControl* control = uiControl(panel, id);
    if (control == nullptr)
        return;
    QString typed = field->text().trimmed();
    if (typed == text(uiFormatValue(control)))
        return;
    bool ok = false;
    double value = numberLocale().toDouble(typed, &ok);
    if (!ok || !std::isfinite(value)) {
        showMessage(window, QStringLiteral("%1 takes a number, not \"%2\"").arg(text(control->name), typed));
        showValue(window, control);
        return;
    }
    qtOperatorSets(panel, id, value);
}

QWidget* toggleWidget(int panel, const UiControl& control)
{
    auto* box = new QCheckBox(buttonText(control.label));
    box->setObjectName(text(control.name));
    QObject::connect(box, &QCheckBox::clicked,
                     [panel, id = control.id](bool checked) { qtOperatorSets(panel, id, checked ? 1.0 : 0.0); });
    return box;
}

QWidget* numericWidget(QWidget* window, int panel, const UiControl& control)
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

QWidget* commandWidget(int panel, const UiControl& control)
{
    auto* button = new QPushButton(buttonText(control.label));
    button->setObjectName(text(control.name));
    QObject::connect(button, &QPushButton::clicked, [panel, id = control.id] { qtOperatorPresses(panel, id); });
    return button;
}

QWidget* controlWidget(QWidget* window, int panel, const UiControl& control)
{
    switch (control.kind) {
    case UI_TOGGLE: return toggleWidget(panel, control);
    case UI_NUMERIC: return numericWidget(window, panel, control);
    case UI_COMMAND: break;
    }
    return commandWidget(panel, control);
}

// Puts each control in its cell. A control without a row, or whose cell an
// earlier one took, gets a row of its own below the others, so that no
// control ever hides another.
void layOut(QGridLayout* grid, QWidget* window, const UiPanel* panel)
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
    auto* controls = new QHBoxLayout;
    auto* grid = new QGridLayout;
    layOut(grid, window, panel);
    controls->addLayout(grid);
    controls->addStretch(1);
    layout->addLayout(controls);
    if (pane != nullptr)
        layout->addWidget(pane, 1);
    else
        layout->addStretch(1);
    auto* message = new QLabel;
    message->setObjectName(messageLineName);
    message->setTextFormat(Qt::PlainText);
    message->setStyleSheet(QStringLiteral("color: #b00000"));
    layout->addWidget(message);
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
        field->setText(text(uiFormatValue(control)));
        field->setCursorPosition(0);
    }
}

void showMessage(QWidget* window, const QString& message)
{
    if (auto* line = window->findChild<QLabel*>(messageLineName))
        line->setText(message);
}
