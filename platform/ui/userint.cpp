// This file contains the core of the panel run-time: start-up and the choice
// of front end, the table of loaded panels, control values, callback dispatch
// and the event loop's quit request. How panels reach the operator is left to
// the front end (frontend.h).
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <charconv>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <deque>

#include "cvirte.h"
#include "frontend.h"
#include "panel_file.h"
#include "userint.h"

namespace {

// Loaded panels; the panel with handle h is panels[h - 1]. A deque keeps the
// panels where they are while more are loaded, since front ends hold pointers
// to them. A discarded panel keeps its slot with handle 0.
std::deque<UiPanel> panels;

const UiFrontend* frontend;  // chosen by InitCVIRTEEx (or a test); the console until then
bool started;                // InitCVIRTEEx has run
bool loopRunning;            // RunUserInterface has not returned yet
bool quitRequested;          // QuitUserInterface was called since the loop started
int quitCode;                // its argument, RunUserInterface's result
bool inCallback;             // a control callback is running

const UiFrontend* front()
{
    if (frontend == nullptr)
        frontend = &uiConsoleFrontend;
    return frontend;
}

UiPanel* findPanel(int handle)
{
    if (handle < 1 || handle > static_cast<int>(panels.size()) || panels[handle - 1].handle != handle)
        return nullptr;
    return &panels[handle - 1];
}

UiControl* findControl(UiPanel* panel, int control)
{
    if (panel == nullptr)
        return nullptr;
    for (UiControl& c : panel->controls)
        if (c.id == control)
            return &c;
    return nullptr;
}

// A number as the shortest text that reads back as the same double: a value
// the operator entered shows as entered, not rounded to six digits.
std::string exact(double value)
{
    char text[32];
    return std::string(text, std::to_chars(text, text + sizeof text, value).ptr);
}

// Whether the control can hold value; the reason in *why when it cannot.
bool valueFits(const UiControl& control, double value, std::string* why)
{
    char reason[256] = "";
    if (control.kind == UI_COMMAND)
        snprintf(reason, sizeof reason, "%s is a command button and holds no value", control.name.c_str());
    else if (control.kind == UI_TOGGLE && value != 0.0 && value != 1.0)
        snprintf(reason, sizeof reason, "%s is a toggle: its value is 0 or 1", control.name.c_str());
    else if (control.kind == UI_NUMERIC && !(value >= control.minimum && value <= control.maximum))
        snprintf(reason, sizeof reason, "%s is outside the range of %s, %s to %s", exact(value).c_str(),
                 control.name.c_str(), exact(control.minimum).c_str(), exact(control.maximum).c_str());
    if (why != nullptr)
        *why = reason;
    return reason[0] == '\0';
}

// Opens /dev/null on each of standard input, output and error that the
// program was started without. Otherwise the next file or socket opened (a
// display connection) would become that descriptor, and the program's output
// would go into it. On Windows the descriptors are left as they are: a
// program started without its handles (from Explorer) has them bound by the
// window's output capture.
void fillStandardDescriptors()
{
#ifndef _WIN32
    // In rising order: open gives the lowest free descriptor, the closed one.
    for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd)
        if (fcntl(fd, F_GETFD) == -1 && errno == EBADF)
            open("/dev/null", fd == STDIN_FILENO ? O_RDONLY : O_WRONLY);
#endif
}

// Whether standard input is a pipe or a regular file: a script feeding actions.
bool inputIsScript()
{
    struct stat input;
    return fstat(STDIN_FILENO, &input) == 0 && (S_ISFIFO(input.st_mode) || S_ISREG(input.st_mode));
}

}  // namespace

/* ---- Start-up and the choice of front end ---- */

const UiFrontend* uiChooseFrontend(void)
{
#ifdef KOVO_UI_GRAPHICAL
    if (!inputIsScript())
        return &uiGraphicalFrontend;
#else
    (void)inputIsScript;
#endif
    return &uiConsoleFrontend;
}

void uiUseFrontend(const UiFrontend* chosen)
{
    frontend = chosen;
}

int InitCVIRTEEx(int hInstance, char* argv[], void* reserved)
{
    (void)hInstance;
    (void)reserved;
    fillStandardDescriptors();
    if (started)
        return 1;
    started = true;
    // Line by line even into a pipe or file, so that an operator's log that
    // takes both streams keeps standard output's lines in order with standard error's.
    setvbuf(stdout, nullptr, _IOLBF, BUFSIZ);
    int argc = 0;
    while (argv != nullptr && argv[argc] != nullptr)
        ++argc;
    frontend = uiChooseFrontend();
    if (frontend->start(argc, argv) == 0) {
        frontend = &uiConsoleFrontend;
        frontend->start(argc, argv);
    }
    return 1;
}

/* ---- Panels ---- */

int LoadPanel(int parentPanelHandle, const char* fileName, int panelResourceId)
{
    (void)parentPanelHandle;
    UiPanel panel;
    if (int status = uiReadPanelFile(fileName, panelResourceId, &panel))
        return status;
    int handle = static_cast<int>(panels.size()) + 1;
    panel.handle = handle;
    panels.push_back(std::move(panel));
    return handle;
}

int DisplayPanel(int panel)
{
    UiPanel* p = findPanel(panel);
    if (p == nullptr)
        return UI_ERR_PANEL;
    p->displayed = true;
    front()->showPanel(p);
    return 0;
}

int DiscardPanel(int panel)
{
    UiPanel* p = findPanel(panel);
    if (p == nullptr)
        return UI_ERR_PANEL;
    front()->discardPanel(p);
    p->handle = 0;
    p->displayed = false;
    p->controls.clear();
    return 0;
}

/* ---- Control values ---- */

int GetCtrlVal(int panel, int control, void* value)
{
    UiPanel* p = findPanel(panel);
    UiControl* c = findControl(p, control);
    if (c == nullptr)
        return p == nullptr ? UI_ERR_PANEL : UI_ERR_CONTROL;
    if (c->kind == UI_TOGGLE)
        *static_cast<int*>(value) = static_cast<int>(c->value);
    else if (c->kind == UI_NUMERIC)
        *static_cast<double*>(value) = c->value;
    else
        return UI_ERR_VALUE;
    return 0;
}

int SetCtrlVal(int panel, int control, ...)
{
    UiPanel* p = findPanel(panel);
    UiControl* c = findControl(p, control);
    if (c == nullptr)
        return p == nullptr ? UI_ERR_PANEL : UI_ERR_CONTROL;
    if (c->kind == UI_COMMAND)
        return UI_ERR_VALUE;
    va_list args;
    va_start(args, control);
    double value = c->kind == UI_TOGGLE ? (va_arg(args, int) != 0) : va_arg(args, double);
    va_end(args);
    if (!valueFits(*c, value, nullptr))
        return UI_ERR_VALUE;
    c->value = value;
    front()->valueSet(p, c);
    return 0;
}

/* ---- The event loop ---- */

int RunUserInterface(void)
{
    if (loopRunning)
        return UI_ERR_BUSY;
    loopRunning = true;
    quitRequested = false;
    quitCode = 0;
    front()->runLoop();
    loopRunning = false;
    return quitCode;
}

int QuitUserInterface(int returnCode)
{
    quitRequested = true;
    quitCode = returnCode;
    front()->quit();
    return 0;
}

/* ---- Services for front ends ---- */

const UiPanel* uiPanel(int handle)
{
    return findPanel(handle);
}

std::vector<const UiPanel*> uiDisplayedPanels(void)
{
    std::vector<const UiPanel*> shown;
    for (const UiPanel& p : panels)
        if (p.handle != 0 && p.displayed)
            shown.push_back(&p);
    return shown;
}

const UiControl* uiControl(int panel, int control)
{
    return findControl(findPanel(panel), control);
}

int uiOperatorSets(int panel, int control, double value, std::string* why)
{
    UiPanel* p = findPanel(panel);
    UiControl* c = findControl(p, control);
    if (c == nullptr)
        return p == nullptr ? UI_ERR_PANEL : UI_ERR_CONTROL;
    if (inCallback)
        return UI_ERR_BUSY;
    if (!valueFits(*c, value, why))
        return UI_ERR_VALUE;
    c->value = value;
    return uiOperatorEvent(panel, control, EVENT_COMMIT);
}

int uiOperatorEvent(int panel, int control, int event)
{
    UiControl* c = findControl(findPanel(panel), control);
    if (c == nullptr)
        return findPanel(panel) == nullptr ? UI_ERR_PANEL : UI_ERR_CONTROL;
    if (inCallback)
        return UI_ERR_BUSY;
    if (c->callback == nullptr)
        return 0;
    // The callback may discard panels or load new ones; nothing of c is used afterwards.
    inCallback = true;
    c->callback(panel, control, event, nullptr, 0, 0);
    inCallback = false;
    return 0;
}

bool uiQuitRequested(void)
{
    return quitRequested;
}

std::string uiFormatValue(const UiControl* control)
{
    if (control->kind == UI_COMMAND)
        return "";
    if (control->kind == UI_TOGGLE)
        return control->value != 0.0 ? "1" : "0";
    int length = snprintf(nullptr, 0, control->format.c_str(), control->value);
    std::string text(length > 0 ? length : 0, '\0');
    snprintf(text.data(), text.size() + 1, control->format.c_str(), control->value);
    return text;
}

const char* uiKindName(UiKind kind)
{
    switch (kind) {
    case UI_TOGGLE: return "toggle";
    case UI_NUMERIC: return "numeric";
    case UI_COMMAND: return "command";
    }
    return "?";
}
