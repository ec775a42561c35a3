/*
 * userint.h: the panel run-time's interface as the application sees it:
 * panels loaded from a panel file, their controls' values, and the event loop
 * that hands operator actions to control callbacks.
 *
 * Callbacks run one at a time, to completion, on the thread that called
 * RunUserInterface. A value set by the program raises no callback.
 * Every function returns 0 (or a positive handle) on success and one of the
 * negative UI_ERR codes below on failure.
 */
#ifndef KOVO_USERINT_H
#define KOVO_USERINT_H

#ifdef __cplusplus
extern "C" {
#endif

/* Marks a function as a control callback: a panel file may bind a control to
 * it by name, and to no other function. The function goes into a section of
 * its own, whose bounds the run-time checks a name's address against, and is
 * exported so that the name can be looked up at all. On Windows the linker
 * sorts the grouped sections ".kovocb$..." by their suffix, so marker
 * functions in "$a" and "$z" bound the callbacks in "$m". Callbacks must have C
 * linkage (extern "C" in C++), as their names are looked up unmangled. */
#ifdef _WIN32
#define CVICALLBACK __attribute__((section(".kovocb$m"), used)) __declspec(dllexport) __cdecl
#else
#define CVICALLBACK __attribute__((section("kovo_callbacks"), used, visibility("default")))
#endif

/* Event codes handed to control callbacks. */
#define EVENT_COMMIT 1   /* the operator committed a value or pressed a button */

/* A control callback: panel handle, control id, event code, callback data
 * (always NULL here) and two event-specific integers (0 here). */
typedef int (*CtrlCallbackPtr)(int panel, int control, int event, void* callbackData, int eventData1,
                               int eventData2);

/* Failure results. */
enum {
    UI_ERR_FILE = -1,      /* the panel file cannot be opened: nothing is reported */
    UI_ERR_BAD_FILE = -2,  /* the panel file is malformed: one line on standard error says where */
    UI_ERR_PANEL = -3,     /* no loaded panel has this handle */
    UI_ERR_CONTROL = -4,   /* the panel has no control with this id */
    UI_ERR_VALUE = -5,     /* the control holds no value (a button), or the value is out of its range */
    UI_ERR_BUSY = -6       /* called where the run-time cannot serve it (a loop inside the loop) */
};

/* Loads panel panelResourceId from the panel file fileName (a path; a bare
 * name, as the application passes, is looked for in the working folder, then
 * in the folder of the program's executable). Control callbacks are bound by
 * name to the program's CVICALLBACK functions. Returns the new panel's handle
 * (positive); UI_ERR_FILE, silently, when the file cannot be found or opened;
 * UI_ERR_BAD_FILE, with one message naming the file and the line, for any
 * fault in it (a callback name that is no function declared with CVICALLBACK
 * among them). Only top-level panels exist: the parent is ignored. */
int LoadPanel(int parentPanelHandle, const char* fileName, int panelResourceId);

/* Shows the panel to the operator; its controls take operator actions from now on. */
int DisplayPanel(int panel);

/* Removes the panel; its handle is invalid afterwards. */
int DiscardPanel(int panel);

/* Copies the control's value into *value: an int for a toggle, a double for a
 * numeric. UI_ERR_VALUE for a command button. */
int GetCtrlVal(int panel, int control, void* value);

/* Sets the control's value from the one further argument: an int for a toggle
 * (any non-zero value sets it to 1), a double for a numeric (refused with
 * UI_ERR_VALUE outside the control's range). Raises no callback. */
int SetCtrlVal(int panel, int control, ...);

/* Runs the event loop until QuitUserInterface is called (by a callback, or by
 * the front end when the operator ends the session); returns the code passed
 * to QuitUserInterface. */
int RunUserInterface(void);

/* Makes RunUserInterface return returnCode once the current callback has returned. */
int QuitUserInterface(int returnCode);

#ifdef __cplusplus
}
#endif

#endif /* KOVO_USERINT_H */
