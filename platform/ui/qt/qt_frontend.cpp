// This file contains the graphical front end of the panel run-time: a Qt
// Widgets window per displayed panel, operator actions handed to the core as
// they happen, a busy cursor while a callback runs, and the program's standard
// output and error shown in the first window's output pane.
//
// Everything runs on the thread that called InitCVIRTEEx, which is the GUI
// thread; only the output capture's reader thread is apart, and it reaches
// this thread through queued calls.
#include <xcb/xcb.h>

#include <QApplication>
#include <QEventLoop>
#include <QPointer>
#include <clocale>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <map>

#include "frontend.h"
#include "output_capture.h"
#include "output_pane.h"
#include "panel_window.h"

namespace {

QApplication* application;
std::map<int, QPointer<QWidget>> windows;  // by panel handle
QPointer<QPlainTextEdit> pane;             // in the window of panePanel
int panePanel;
QEventLoop* loop;                          // while runLoop runs
int dispatching;                           // operator actions being handed to the core (nested when refused)

// Whether Qt can reach its display. Qt ends the process when it cannot, so
// an X display is tried here first; a platform named in QT_QPA_PLATFORM
// other than xcb is Qt's own business. The trial connection is handed back
// in *held, to be closed only once Qt has its own: an X server with no other
// client resets when its last client leaves, and refuses connections meanwhile.
bool displayReachable(xcb_connection_t** held)
{
    const char* platform = getenv("QT_QPA_PLATFORM");
    if (platform != nullptr && platform[0] != '\0' && strncmp(platform, "xcb", 3) != 0)
        return true;
    *held = xcb_connect(nullptr, nullptr);
    if (xcb_connection_has_error(*held) == 0)
        return true;
    xcb_disconnect(*held);
    *held = nullptr;
    return false;
}

QWidget* windowOf(int panel)
{
    auto found = windows.find(panel);
    return found == windows.end() ? nullptr : found->second.data();
}

// Moves the captured text into the pane; it waits in the capture while there
// is no pane. With drain, everything written so far is included.
void showCapturedOutput(bool drain)
{
    if (pane != nullptr)
        paneAppend(pane, captureTake(drain));
}

// Called on the capture's reader thread.
void outputArrived()
{
    QMetaObject::invokeMethod(application, [] { showCapturedOutput(false); }, Qt::QueuedConnection);
}

// Hands one operator action to the core. A callback runs inside it, blocking
// the window, under a busy cursor; what it printed is in the pane afterwards.
int operate(int panel, int control, const std::function<int()>& action)
{
    const UiControl* target = uiControl(panel, control);
    bool busy = target != nullptr && target->callback != nullptr;
    if (busy)
        QApplication::setOverrideCursor(Qt::WaitCursor);
    ++dispatching;
    int status = action();
    --dispatching;
    if (busy)
        QApplication::restoreOverrideCursor();
    showCapturedOutput(true);
    return status;
}

QString busyMessage()
{
    return QStringLiteral("another action is still running");
}

/* ---- The front end's entries ---- */

int start(int argc, char* argv[])
{
    if (application != nullptr)
        return 1;
    xcb_connection_t* trial = nullptr;
    if (!displayReachable(&trial))
        return 0;
    // Qt gets the program's name only: the program's arguments are its own,
    // and no option on its command line changes how the panel is shown.
    static char fallbackName[] = "kovo";
    static int qtArgc = 1;
    static char* qtArgv[] = {argc > 0 && argv[0] != nullptr ? argv[0] : fallbackName, nullptr};
    application = new QApplication(qtArgc, qtArgv);
    if (trial != nullptr)
        xcb_disconnect(trial);
    // QApplication took the whole locale from the desktop's environment; the
    // program's printf and strtod keep the C notation of numbers.
    setlocale(LC_NUMERIC, "C");
    application->setQuitOnLastWindowClosed(false);
    captureStart(outputArrived);
    return 1;
}

void showPanel(const UiPanel* panel)
{
    QWidget* window = windowOf(panel->handle);
    if (window == nullptr) {
        // The first window gets the pane; once that window has gone, the next
        // one shown gets a new pane, and the capture starts again for it.
        bool withPane = pane == nullptr && captureStart(outputArrived);
        QPlainTextEdit* newPane = withPane ? createOutputPane() : nullptr;
        window = createPanelWindow(panel, newPane);
        windows[panel->handle] = window;
        if (withPane) {
            pane = newPane;
            panePanel = panel->handle;
            showCapturedOutput(true);
        }
    }
    window->show();
    window->raise();
}

void discardPanel(const UiPanel* panel)
{
    QWidget* window = windowOf(panel->handle);
    windows.erase(panel->handle);
    if (window == nullptr)
        return;
    if (panePanel == panel->handle) {
        // The pane goes with its window: it gets the last of the output, and
        // from now on the program writes to its streams directly.
        showCapturedOutput(true);
        captureStop();
        showCapturedOutput(false);
        pane = nullptr;
        panePanel = 0;
    }
    // Leaving a field would otherwise commit its text while the panel goes.
    for (QWidget* child : window->findChildren<QWidget*>())
        child->blockSignals(true);
    window->hide();
    // The action being handed out may have come from this window's widgets.
    if (dispatching > 0)
        window->deleteLater();
    else
        delete window;
}

void valueSet(const UiPanel* panel, const UiControl* control)
{
    if (QWidget* window = windowOf(panel->handle))
        showValue(window, control);
}

void runLoop()
{
    if (uiQuitRequested())
        return;
    QEventLoop events;
    loop = &events;
    events.exec();
    loop = nullptr;
    showCapturedOutput(true);
}

void quit()
{
    if (loop != nullptr)
        loop->exit(0);
}

}  // namespace

void qtOperatorSets(int panel, int control, double value)
{
    std::string why;
    int status = operate(panel, control, [&] { return uiOperatorSets(panel, control, value, &why); });
    QWidget* window = windowOf(panel);
    if (window == nullptr)
        return;
    showMessage(window, status == UI_ERR_VALUE  ? QString::fromStdString(why)
                        : status == UI_ERR_BUSY ? busyMessage()
                                                : QString());
    // The widget shows what the control now holds: the value in the file's
    // format, or the old value after a refusal.
    if (const UiControl* target = uiControl(panel, control))
        showValue(window, target);
}

void qtOperatorPresses(int panel, int control)
{
    int status = operate(panel, control, [&] { return uiOperatorEvent(panel, control, EVENT_COMMIT); });
    if (QWidget* window = windowOf(panel))
        showMessage(window, status == UI_ERR_BUSY ? busyMessage() : QString());
}

const UiFrontend uiGraphicalFrontend = {"qt", start, showPanel, discardPanel, valueSet, runLoop, quit};
