// This file contains the interface of the panel windows: one window per
// displayed panel, its controls laid out on the file's grid, and the calls by
// which its widgets hand operator actions to the front end.
#ifndef KOVO_UI_QT_PANEL_WINDOW_H
#define KOVO_UI_QT_PANEL_WINDOW_H

#include <QPlainTextEdit>
#include <QString>
#include <QWidget>

#include "frontend.h"

/* The object name of the window's message line, where refused input is explained. */
inline constexpr const char* messageLineName = "message line";

/* A new window for panel, titled with its title, with one widget per control
 * (named after the control) showing the control's value, and pane, when not
 * NULL, below them. Closing the window asks the event loop to quit. */
QWidget* createPanelWindow(const UiPanel* panel, QPlainTextEdit* pane);

/* Shows the control's value in its widget without raising any action. */
void showValue(QWidget* window, const UiControl* control);

/* Shows text in the window's message line; empty text clears it. */
void showMessage(QWidget* window, const QString& text);

/* Defined by the front end: the operator entered value into a toggle or a
 * numeric, or pressed a command button. */
void qtOperatorSets(int panel, int control, double value);
void qtOperatorPresses(int panel, int control);

#endif /* KOVO_UI_QT_PANEL_WINDOW_H */
