// This file contains the test callbacks' interface and the record they keep.
#ifndef KOVO_UI_TEST_CALLBACKS_H
#define KOVO_UI_TEST_CALLBACKS_H

#include <vector>

#include "userint.h"

// One call of a test callback, with its arguments.
struct CallbackCall {
    int panel, control, event;
    void* callbackData;
    int eventData1, eventData2;
    bool operator==(const CallbackCall&) const = default;
};

// Every call of TestRecordCB and TestQuitCB, in order; tests clear it.
extern std::vector<CallbackCall> callbackCalls;

// Records its call.
extern "C" int CVICALLBACK TestRecordCB(int panel, int control, int event, void* callbackData, int eventData1,
                                        int eventData2);
// Records its call and, on commit, quits the event loop with code 7.
extern "C" int CVICALLBACK TestQuitCB(int panel, int control, int event, void* callbackData, int eventData1,
                                      int eventData2);

#endif /* KOVO_UI_TEST_CALLBACKS_H */
