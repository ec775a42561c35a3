// This file contains the interface between the Windows front end's threads
// and its windows: what the GUI thread keeps of a panel (copied from the model
// on the loop thread, as the GUI thread never reads the model), the panel
// window and its output pane, and the actions a window hands back.
#ifndef KOVO_UI_WIN32_PANEL_WINDOW_H
#define KOVO_UI_WIN32_PANEL_WINDOW_H

#include <windows.h>

#include <string>
#include <vector>

#include "frontend.h"
#include "output_capture.h"

/* A control as the GUI thread knows it. */
struct ControlView {
    int id = 0;
    UiKind kind = UI_COMMAND;
    std::string label;
    double minimum = 0.0, maximum = 0.0;
    bool hasCallback = false;
    std::string value;  /* uiFormatValue: "0"/"1" for toggles, the file's format for numerics */
    int row = -1, column = -1;
};

/* A panel as the GUI thread knows it. */
struct PanelView {
    int handle = 0;
    std::string title;
    std::vector<ControlView> controls;
};

/* UTF-8 to UTF-16 and back. */
std::wstring widen(const std::string& text);
std::string narrow(const std::wstring& text);

/* ---- The panel window (GUI thread) ---- */

/* Registers the window class; false when it cannot be. */
bool registerPanelWindow(HINSTANCE instance);

/* A new, hidden window for the panel with one control per panel control on
 * the file's grid, an output pane below them when withPane is set, and a
 * status line; NULL when it cannot be made. */
HWND createPanelWindow(const PanelView& view, bool withPane);

/* Removes the window; a field it holds commits nothing as the focus leaves it. */
void destroyPanelWindow(HWND window);

/* Shows the control's value without raising any action; a numeric field's
 * refused text is replaced. */
void showValue(HWND window, int control, const std::string& value);

/* Shows the window busy with an action: text in its status line, controls
 * disabled (text typed into fields stays), the wait cursor. An empty text
 * ends that, and the focus goes back where it was. */
void showBusy(HWND window, const std::string& text);

/* Shows why the operator's value for the control was refused, and keeps it
 * selected in its field. */
void showRefusal(HWND window, int control, const std::string& why);

/* The window's output pane, or NULL. */
HWND windowPane(HWND window);

/* ---- The output pane (GUI thread) ---- */

/* A new, empty pane, child id, in parent; only one is fed at a time. */
HWND createOutputPane(HWND parent, int id, int dpi);

/* The pane's smallest useful size: a status table line wide, 24 lines high. */
SIZE outputPaneSize(HWND pane);

/* Appends what the program wrote, standard error in red; the view follows
 * the end when it showed the end before. */
void paneAppend(HWND pane, const std::vector<CapturedText>& texts);

/* ---- Defined by the front end (GUI thread) ---- */

/* The operator entered value into a toggle or numeric (isSet), or pressed a
 * command button: handed to the loop thread, with every window shown busy
 * while the control's callback runs. */
void win32Operate(int panel, const ControlView& control, double value, bool isSet);

/* The operator closed a window: the program ends once the action that runs,
 * if any, is over. */
void win32Close(void);

#endif /* KOVO_UI_WIN32_PANEL_WINDOW_H */
