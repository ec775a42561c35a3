// This file contains the control callbacks that the run-time's in-process
// tests bind from their panel files: exported C functions, found by name.
#include "ui_test_callbacks.h"

std::vector<CallbackCall> callbackCalls;

extern "C" int CVICALLBACK TestRecordCB(int panel, int control, int event, void* callbackData, int eventData1,
                                        int eventData2)
{
    callbackCalls.push_back({panel, control, event, callbackData, eventData1, eventData2});
    return 0;
}

extern "C" int CVICALLBACK TestQuitCB(int panel, int control, int event, void* callbackData, int eventData1,
                                      int eventData2)
{
    TestRecordCB(panel, control, event, callbackData, eventData1, eventData2);
    if (event == EVENT_COMMIT)
        QuitUserInterface(7);
    return 0;
}
