// This file contains the interface of the panel windows: one window per
// displayed panel, its controls laid out on the file's grid, and the calls by
// which its widgets hand operator actions to the front end.
#ifndef KOVO_UI_QT_PANEL_WINDOW_H
#define KOVO_UI_QT_PANEL_WINDOW_H

#include <QPlainTextEdit>
#include <QString>
#include <QWidget>

#include "frontend.h"

/* The object names of the window's message line, where refused input is
 * explained, of the status bar that holds it, and of the area of the controls. */
inline constexpr const char* messageLineName = "message line";
inline constexpr const char* statusBarName = "status bar";
inline constexpr const char* controlsName = "controls";

/* A new window for panel, titled with its title, with one widget per control
 * (named after the control) showing the control's value, pane, when not NULL,
 * below them, and a status bar. Closing the window asks the event loop to quit. */
QWidget* createPanelWindow(const UiPanel* panel, QPlainTextEdit* pane);

/* Shows the control's value in its widget without raising any action; a
 * numeric field's refused text is replaced. */
void showValue(QWidget* window, const UiControl* control);

/* Shows text in the window's message line; empty text clears it. */
void showMessage(QWidget* window, const QString& text);

/* Shows the window busy with an action, text (not empty) in its status bar
 * and its controls disabled, so that nothing the operator does meanwhile
 * reaches them; text typed into fields stays. An empty text ends that: the
 * controls take actions again and the focus goes back where it was. */
void showBusy(QWidget* window, const QString& text);

/* Defined by the front end: the operator entered value into a toggle or a
 * numeric, or pressed a command button. Both return uiOperatorSets' or
 * uiOperatorEvent's result. */
int qtOperatorSets(int panel, int control, double value);
int qtOperatorPresses(int panel, int control);

#endif /* KOVO_UI_QT_PANEL_WINDOW_H */
