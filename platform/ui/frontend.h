/*
 * frontend.h: the seam between the panel run-time's core and its front ends.
 *
 * The core (userint.cpp) owns everything that does not depend on how the
 * panel is presented: the loaded panels and their controls, the panel file,
 * GetCtrlVal/SetCtrlVal, callback dispatch and the quit request. A front end
 * presents the displayed panels to the operator and turns the operator's
 * actions into calls of uiOperatorSets / uiOperatorEvent below; it never calls
 * a control callback itself and never changes the model directly.
 *
 * Two front ends exist: the console one (console.cpp), always built, and a
 * graphical one, built in when the KOVO_GUI option is on: Qt's in qt/ on
 * Linux (library target kovo_ui_qt), the Win32 API's in win32/ on Windows
 * (kovo_ui_win32). It defines uiGraphicalFrontend below; the core then sees
 * KOVO_UI_GRAPHICAL and uiChooseFrontend may pick it. Nothing else in the core
 * names it.
 *
 * Everything here runs on the one thread that runs the event loop (a front
 * end may keep its windows on a thread of its own).
 */
#ifndef KOVO_UI_FRONTEND_H
#define KOVO_UI_FRONTEND_H

#include <istream>
#include <string>
#include <vector>

#include "userint.h"

/* ---- The model: what a panel file describes, as loaded ---- */

enum UiKind { UI_TOGGLE, UI_NUMERIC, UI_COMMAND };

/* One control of a loaded panel. */
struct UiControl {
    int id = 0;               /* the id the program addresses it by (e.g. PANEL_VSET) */
    std::string name;         /* e.g. "VSET"; the header's macro is <panel name>_<name> */
    UiKind kind = UI_COMMAND;
    std::string label;        /* text shown beside the control; the name when the file gives none */
    double value = 0.0;       /* toggles 0 or 1, numerics within [minimum, maximum], commands 0 */
    double minimum = 0.0, maximum = 0.0;  /* numerics only */
    std::string format;       /* numerics only: printf text with exactly one double conversion */
    std::string callbackName; /* empty when no callback is bound */
    CtrlCallbackPtr callback = nullptr;  /* resolved when the panel loaded; NULL when none is bound */
    int row = -1, column = -1;  /* grid position for a graphical front end; -1 when the file gives none */
};

/* One loaded panel. */
struct UiPanel {
    int handle = 0;           /* as returned by LoadPanel; 0 once discarded */
    int resourceId = 0;       /* the panel's number in its file */
    std::string name;         /* e.g. "PANEL", the prefix of the header's control ids */
    std::string title;        /* window title; the name when the file gives none */
    bool displayed = false;   /* DisplayPanel was called: the operator can act on it */
    std::vector<UiControl> controls;  /* in the file's order */
};

/* ---- The front end's side ---- */

/* What a front end offers the core. The core calls these on the loop's thread. */
struct UiFrontend {
    const char* name;  /* "console", "qt", "win32": for messages only */

    /* Called once by InitCVIRTEEx with the program's arguments (argv ends in
     * NULL). Returns 1 when the front end can run; 0 makes the core fall back
     * to the console front end (a graphical one that cannot reach its display). */
    int (*start)(int argc, char* argv[]);

    /* DisplayPanel: panel->displayed is already set. */
    void (*showPanel)(const UiPanel* panel);

    /* DiscardPanel: called before the panel is removed from the model. */
    void (*discardPanel)(const UiPanel* panel);

    /* SetCtrlVal changed a value: show the new one. Must not raise a callback. */
    void (*valueSet)(const UiPanel* panel, const UiControl* control);

    /* RunUserInterface: take operator actions until uiQuitRequested() is true,
     * then return. When the operator ends the session (end of input, window
     * closed) call QuitUserInterface(0) and return, as a quit button would. */
    void (*runLoop)(void);

    /* QuitUserInterface was called (normally from inside a callback): make
     * runLoop return once control is back in the loop. */
    void (*quit)(void);
};

extern const UiFrontend uiConsoleFrontend;
#ifdef KOVO_UI_GRAPHICAL
extern const UiFrontend uiGraphicalFrontend;  /* defined by qt/ or win32/ */
#endif

/* The front end for this process: the console one when standard input is a
 * pipe or a regular file (a script feeding actions) or no graphical one is
 * built in; otherwise the graphical one, whose start falls back to the console
 * when no display answers. A terminal, /dev/null or a closed standard input
 * leaves the choice to the display. */
const UiFrontend* uiChooseFrontend(void);

/* Makes the core use this front end from now on, instead of the one chosen by
 * InitCVIRTEEx: for tests that drive a front end in-process. */
void uiUseFrontend(const UiFrontend* frontend);

/* ---- The core's services for front ends ---- */

/* The panel with this handle, or NULL. */
const UiPanel* uiPanel(int handle);

/* The displayed panels, in the order they were loaded. */
std::vector<const UiPanel*> uiDisplayedPanels(void);

/* The control with this id on that panel, or NULL. */
const UiControl* uiControl(int panel, int control);

/* The operator entered value into the control: it is checked (toggles take 0
 * or 1, numerics a finite value within their range, command buttons none),
 * stored, and the control's callback, if any, receives EVENT_COMMIT. On a
 * refused value returns UI_ERR_VALUE with the reason in *why (when why is not
 * NULL) and changes nothing. */
int uiOperatorSets(int panel, int control, double value, std::string* why);

/* The control's callback, if any, receives event (a button press is
 * EVENT_COMMIT); no value changes. Returns UI_ERR_BUSY while another callback
 * is still running, so that callbacks never overlap. */
int uiOperatorEvent(int panel, int control, int event);

/* QuitUserInterface has been called since RunUserInterface started. */
bool uiQuitRequested(void);

/* The control's value as text: "0"/"1" for toggles, the file's format for
 * numerics (in the C locale's notation as long as the process keeps the C
 * numeric locale), "" for command buttons. */
std::string uiFormatValue(const UiControl* control);

/* "toggle", "numeric" or "command": the panel file's names of the kinds. */
const char* uiKindName(UiKind kind);

/* Set by a front end that keeps its windows up to date while the program
 * waits in Sleep: called on the thread that called Sleep, it returns true once
 * at least milliseconds have passed, or false at once when it has nothing to
 * do there (another thread, no callback running) and Sleep just pauses. */
extern bool (*uiPause)(unsigned milliseconds);

/* ---- The console front end's input, for tests ---- */

/* Where the console front end reads operator actions; standard input unless a
 * test points it at a stream of its own. */
extern std::istream* uiConsoleInput;

#endif /* KOVO_UI_FRONTEND_H */
