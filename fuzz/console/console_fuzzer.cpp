// console_fuzzer.cpp: This file contains the fuzz target of the console front
// end's line reader: any bytes as the operator's input against a loaded panel
// of every kind of control, whose callbacks check what they receive. A
// callback must only ever be called for its own control, one at a time, and
// see every value within its control's range.
#include <unistd.h>

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <sstream>
#include <string>

#include "check.h"
#include "frontend.h"
#include "userint.h"

using fuzz::require;

namespace {

// SWITCH, LEVEL and GO check their calls; STOP quits the loop.
const char* const panelText = R"([[panel]]
resource = 1
name = "FUZZ"

[[panel.control]]
id = 2
name = "SWITCH"
kind = "toggle"
callback = "FuzzCheckCB"

[[panel.control]]
id = 3
name = "LEVEL"
kind = "numeric"
min = -5
max = 5.5
format = "%.2f"
callback = "FuzzCheckCB"

[[panel.control]]
id = 4
name = "GO"
kind = "command"
callback = "FuzzCheckCB"

[[panel.control]]
id = 5
name = "STOP"
kind = "command"
callback = "FuzzQuitCB"

[[panel.control]]
id = 6
name = "QUIET"
kind = "numeric"
min = 0
max = 1e6
)";

int panel;
bool inside;  // a callback is running
int calls;    // callbacks called for the current input

// Every value on the panel lies within its control's range.
void checkValues()
{
    for (const UiControl& c : uiPanel(panel)->controls) {
        if (c.kind == UI_TOGGLE)
            require(c.value == 0.0 || c.value == 1.0, "toggle holds 0 or 1");
        if (c.kind == UI_NUMERIC)
            require(std::isfinite(c.value) && c.value >= c.minimum && c.value <= c.maximum,
                    "numeric within its range");
    }
}

void checkCall(int panelHandle, int control, void* callbackData, int eventData1, int eventData2, const char* name)
{
    require(!inside, "callbacks never overlap");
    require(panelHandle == panel, "the panel's own handle");
    const UiControl* c = uiControl(panelHandle, control);
    require(c != nullptr && c->callbackName == name, "called for a control bound to it");
    require(callbackData == nullptr && eventData1 == 0 && eventData2 == 0, "no callback data");
    checkValues();
    ++calls;
    // The run-time must refuse to start another callback while this one runs.
    inside = true;
    require(uiOperatorEvent(panelHandle, control, EVENT_COMMIT) == UI_ERR_BUSY, "no callback starts inside another");
    inside = false;
}

}  // namespace

extern "C" int CVICALLBACK FuzzCheckCB(int panelHandle, int control, int event, void* callbackData, int eventData1,
                                       int eventData2)
{
    (void)event;
    checkCall(panelHandle, control, callbackData, eventData1, eventData2, "FuzzCheckCB");
    return 0;
}

extern "C" int CVICALLBACK FuzzQuitCB(int panelHandle, int control, int event, void* callbackData, int eventData1,
                                      int eventData2)
{
    checkCall(panelHandle, control, callbackData, eventData1, eventData2, "FuzzQuitCB");
    if (event == EVENT_COMMIT)
        QuitUserInterface(0);
    return 0;
}

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    uiUseFrontend(&uiConsoleFrontend);
    // LoadPanel reads a file: the panel is written to one for the moment.
    char path[] = "/tmp/console-fuzz-XXXXXX";
    const int fd = mkstemp(path);
    require(fd >= 0 && write(fd, panelText, strlen(panelText)) == static_cast<ssize_t>(strlen(panelText)),
            "the fuzz panel can be written");
    close(fd);
    panel = LoadPanel(0, path, 1);
    unlink(path);
    require(panel > 0 && DisplayPanel(panel) == 0, "the fuzz panel loads and shows");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    SetCtrlVal(panel, 2, 0);
    SetCtrlVal(panel, 3, 0.0);
    SetCtrlVal(panel, 6, 0.0);
    calls = 0;
    const std::string text(reinterpret_cast<const char*>(data), size);
    std::istringstream input(text);
    uiConsoleInput = &input;
    require(RunUserInterface() == 0, "the loop ends with the code of its quit");
    uiConsoleInput = &std::cin;
    checkValues();
    long lines = 1;
    for (char c : text)
        lines += c == '\n';
    require(calls <= lines, "at most one callback a line");
    return 0;
}
