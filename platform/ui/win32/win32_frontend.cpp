// This file contains the graphical front end of the panel run-time on
// Windows: panel windows on the plain Win32 API, on a GUI thread of the front
// end's own, while control callbacks keep running on the thread that called
// RunUserInterface (the loop thread), one at a time.
//
// The threads meet in three ways only, so that none can wait for another in a
// circle:
//  - loop thread to GUI thread: SendMessage to the GUI thread's hidden
//    messenger window, from the front end's entries (show, discard, a value
//    set, an action done). The GUI thread answers without waiting for anyone;
//    what it needs of the model comes with the message.
//  - GUI thread to loop thread: the queue of operator actions below, which
//    the GUI thread only fills; it never waits for the loop thread.
//  - output readers to GUI thread: PostMessage, never SendMessage.
//
// An operator's click on a control with a callback turns every window busy
// at once, on the GUI thread (controls disabled, the action's label in the
// status line, the wait cursor); the loop thread takes the action, runs the
// callback and says when it is done. Clicks made meanwhile reach disabled
// controls and are gone: nothing clicked during an action starts another one
// afterwards. Closing a window is queued like an action, so the program ends
// once the action that runs is over, through the program's own shut-down.
#include <windows.h>
#include <commctrl.h>

#include <atomic>
#include <condition_variable>
#include <deque>
#include <future>
#include <map>
#include <mutex>
#include <thread>

#include "frontend.h"
#include "output_capture.h"
#include "panel_window.h"

namespace {

// Requests to the messenger; wParam unused, lParam points at the request's data.
enum : UINT {
    showRequest = WM_APP + 1,  // const PanelView*
    discardRequest,            // const int* (panel handle)
    valueRequest,              // const ValueChange*
    doneRequest,               // const Done*
    outputArrived,             // posted by the output readers; no data
};

struct ValueChange {
    int panel, control;
    std::string value;
};

// One operator action, in the order the operator made them.
struct Action {
    enum Kind { set, press, close } kind;
    int panel, control;
    double value;
    bool busy;  // the windows show it busy until it is done
};

struct Done {
    Action action;
    int status;
    std::string why, value;  // the refusal's reason; the control's value afterwards
};

HWND messenger;  // created and used by the GUI thread; other threads only send or post to it

std::mutex actionLock;  // guards actions
std::condition_variable actionQueued;
std::deque<Action> actions;

/* ---- GUI thread ---- */

std::map<int, HWND> windows;  // by panel handle
// The panel whose window holds the pane; 0 when none does. Written by the GUI
// thread, read by the loop thread while it waits for a discard.
std::atomic<int> panePanel;
std::string busyText;         // the status line's text while an action runs

// Called on an output reader's thread.
void outputArrivedHere()
{
    PostMessageW(messenger, outputArrived, 0, 0);
}

void showAllBusy(const std::string& text)
{
    busyText = text;
    for (auto& [handle, window] : windows)
        showBusy(window, text);
}

void showOutput()
{
    auto found = windows.find(panePanel);
    if (found != windows.end())
        paneAppend(windowPane(found->second), captureTake(false));
}

void show(const PanelView& view)
{
    HWND& window = windows[view.handle];
    if (window == nullptr) {
        // The first window gets the pane; once that window has gone, the next one does.
        bool withPane = panePanel == 0 && captureStart(outputArrivedHere, nullptr);
        window = createPanelWindow(view, withPane);
        if (window == nullptr) {
            windows.erase(view.handle);
            return;
        }
        if (withPane) {
            panePanel = view.handle;
            showOutput();
        }
    }
    if (!busyText.empty())
        showBusy(window, busyText);
    ShowWindow(window, SW_SHOW);
    SetForegroundWindow(window);
}

void discard(int panel)
{
    auto found = windows.find(panel);
    if (found == windows.end())
        return;
    HWND window = found->second;
    windows.erase(found);
    if (panel == panePanel) {
        // The capture has been stopped on the loop thread: the pane gets the last of it.
        paneAppend(windowPane(window), captureTake(false));
        panePanel = 0;
    }
    destroyPanelWindow(window);
}

void done(const Done& result)
{
    auto found = windows.find(result.action.panel);
    HWND window = found == windows.end() ? nullptr : found->second;
    if (result.action.busy)
        showAllBusy("");
    if (window == nullptr || result.action.kind != Action::set)
        return;
    if (result.status == UI_ERR_VALUE)
        showRefusal(window, result.action.control, result.why);
    else
        showValue(window, result.action.control, result.value);
}

LRESULT CALLBACK messengerProcedure(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam)
{
    switch (message) {
    case showRequest: show(*reinterpret_cast<const PanelView*>(lParam)); return 0;
    case discardRequest: discard(*reinterpret_cast<const int*>(lParam)); return 0;
    case valueRequest: {
        const auto* change = reinterpret_cast<const ValueChange*>(lParam);
        if (auto found = windows.find(change->panel); found != windows.end())
            showValue(found->second, change->control, change->value);
        return 0;
    }
    case doneRequest: done(*reinterpret_cast<const Done*>(lParam)); return 0;
    case outputArrived: showOutput(); return 0;
    }
    return DefWindowProcW(hwnd, message, wParam, lParam);
}

// Keyboard navigation of the panel windows: Tab between controls, Enter
// commits the field it is typed in.
bool dialogMessage(MSG* message)
{
    HWND top = message->hwnd != nullptr ? GetAncestor(message->hwnd, GA_ROOT) : nullptr;
    for (auto& [handle, window] : windows)
        if (window == top)
            return IsDialogMessageW(window, message) != 0;
    return false;
}

void guiThread(std::promise<bool>* ready)
{
    HINSTANCE instance = GetModuleHandleW(nullptr);
    INITCOMMONCONTROLSEX controls = {sizeof controls, ICC_STANDARD_CLASSES};
    InitCommonControlsEx(&controls);
    WNDCLASSW messengerClass = {};
    messengerClass.lpfnWndProc = messengerProcedure;
    messengerClass.hInstance = instance;
    messengerClass.lpszClassName = L"KovoMessenger";
    // A hidden top-level window: making it needs the display, which tells
    // whether the windows can be shown at all.
    bool usable = LoadLibraryW(L"riched20.dll") != nullptr && RegisterClassW(&messengerClass) != 0 &&
                  registerPanelWindow(instance) &&
                  (messenger = CreateWindowExW(0, L"KovoMessenger", L"", WS_POPUP, 0, 0, 0, 0, nullptr, nullptr,
                                               instance, nullptr)) != nullptr;
    ready->set_value(usable);
    if (!usable)
        return;
    MSG message;
    while (GetMessageW(&message, nullptr, 0, 0) > 0) {
        if (!dialogMessage(&message)) {
            TranslateMessage(&message);
            DispatchMessageW(&message);
        }
    }
}

/* ---- Loop thread: the front end's entries ---- */

PanelView viewOf(const UiPanel* panel)
{
    PanelView view{panel->handle, panel->title, {}};
    for (const UiControl& c : panel->controls)
        view.controls.push_back({c.id, c.kind, c.label, c.minimum, c.maximum, c.callback != nullptr,
                                 uiFormatValue(&c), c.row, c.column});
    return view;
}

int start(int, char*[])
{
    if (messenger != nullptr)
        return 1;
    std::promise<bool> ready;
    std::future<bool> usable = ready.get_future();
    // The GUI thread runs until the process ends.
    std::thread(guiThread, &ready).detach();
    if (!usable.get())
        return 0;
    // What the program writes from now on waits for the first window's pane.
    captureStart(outputArrivedHere, nullptr);
    return 1;
}

void showPanel(const UiPanel* panel)
{
    PanelView view = viewOf(panel);
    SendMessageW(messenger, showRequest, 0, reinterpret_cast<LPARAM>(&view));
}

void discardPanel(const UiPanel* panel)
{
    // The pane's window goes: from now on the program writes to its streams directly.
    if (panel->handle == panePanel)
        captureStop();
    SendMessageW(messenger, discardRequest, 0, reinterpret_cast<LPARAM>(&panel->handle));
}

void valueSet(const UiPanel* panel, const UiControl* control)
{
    ValueChange change{panel->handle, control->id, uiFormatValue(control)};
    SendMessageW(messenger, valueRequest, 0, reinterpret_cast<LPARAM>(&change));
}

Action nextAction()
{
    std::unique_lock<std::mutex> guard(actionLock);
    actionQueued.wait(guard, [] { return !actions.empty(); });
    Action action = actions.front();
    actions.pop_front();
    return action;
}

Done perform(const Action& action)
{
    Done result{action, 0, "", ""};
    if (action.kind == Action::set)
        result.status = uiOperatorSets(action.panel, action.control, action.value, &result.why);
    else
        result.status = uiOperatorEvent(action.panel, action.control, EVENT_COMMIT);
    // The callback may have discarded the panel: the control is looked up again.
    if (const UiControl* control = uiControl(action.panel, action.control))
        result.value = uiFormatValue(control);
    return result;
}

void runLoop()
{
    while (!uiQuitRequested()) {
        Action action = nextAction();
        if (action.kind == Action::close) {
            QuitUserInterface(0);
            return;
        }
        Done result = perform(action);
        fflush(stdout);
        SendMessageW(messenger, doneRequest, 0, reinterpret_cast<LPARAM>(&result));
    }
}

void quit() {}

void queue(const Action& action)
{
    {
        std::lock_guard<std::mutex> guard(actionLock);
        actions.push_back(action);
    }
    actionQueued.notify_one();
}

}  // namespace

/* ---- GUI thread: what the windows hand over ---- */

void win32Operate(int panel, const ControlView& control, double value, bool isSet)
{
    if (!busyText.empty())
        return;  // a click that reached a control during an action is dropped
    Action action{isSet ? Action::set : Action::press, panel, control.id, value, control.hasCallback};
    if (action.busy)
        showAllBusy(control.label + ": running\u2026");
    queue(action);
}

void win32Close(void)
{
    queue({Action::close, 0, 0, 0.0, false});
}

const UiFrontend uiGraphicalFrontend = {"win32", start, showPanel, discardPanel, valueSet, runLoop, quit};
