// This file contains the graphical front end of the panel run-time: a Qt
// Widgets window per displayed panel, operator actions handed to the core as
// they happen, and the program's standard output and error shown in the first
// window's output pane.
//
// Everything runs on the thread that called InitCVIRTEEx, which is the GUI
// thread; only the output capture's reader thread is apart, and it reaches
// this thread through queued calls.
//
// A callback runs on the GUI thread, to completion, and holds it. Meanwhile
// the windows show the action as busy (wait cursor, the action's label in the
// status bar, controls disabled) and are brought up to date whenever the
// program writes on stdout or stderr and while it waits in Sleep: the pane
// gets what was written and Qt handles everything but operator input, which
// waits. Once the callback has returned, that input goes to the still
// disabled controls, which drop it, so that nothing clicked during an action
// starts another one afterwards. A window closed meanwhile ends the loop once
// the callback has returned.
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>
#include <xcb/xcb.h>

#include <QApplication>
#include <QDir>
#include <QEventLoop>
#include <QLibraryInfo>
#include <QPointer>
#include <QThread>
#include <QTimer>
#include <chrono>
#include <clocale>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <map>
#include <thread>

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
int dispatching;                           // operator actions being handed to the core
QString busyText;                          // the status bar's text while a callback runs

// Whether an X display answers: the trial connection is handed back in *held,
// to be closed only once Qt has its own, as an X server with no other client
// resets when its last client leaves, and refuses connections meanwhile.
bool xAnswers(xcb_connection_t** held)
{
    if (*held != nullptr)
        return true;
    xcb_connection_t* trial = xcb_connect(nullptr, nullptr);
    if (xcb_connection_has_error(trial) == 0) {
        *held = trial;
        return true;
    }
    xcb_disconnect(trial);
    return false;
}

// Whether a Wayland compositor answers on the socket its clients would use.
bool waylandAnswers()
{
    if (getenv("WAYLAND_SOCKET") != nullptr)
        return true;  // the launcher handed over a connection
    const char* name = getenv("WAYLAND_DISPLAY");
    const char* folder = getenv("XDG_RUNTIME_DIR");
    std::string path = name != nullptr && name[0] == '/' ? name : "";
    if (path.empty() && folder != nullptr && folder[0] != '\0')
        path = std::string(folder) + "/" + (name != nullptr && name[0] != '\0' ? name : "wayland-0");
    sockaddr_un address{};
    if (path.empty() || path.size() >= sizeof address.sun_path)
        return false;
    address.sun_family = AF_UNIX;
    memcpy(address.sun_path, path.c_str(), path.size());
    int probe = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    bool answers = probe >= 0 && connect(probe, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    if (probe >= 0)
        close(probe);
    return answers;
}

bool waylandPluginInstalled()
{
    QDir platforms(QLibraryInfo::path(QLibraryInfo::PluginsPath) + QStringLiteral("/platforms"));
    return !platforms.entryList({QStringLiteral("libqwayland*")}, QDir::Files).isEmpty();
}

// The Qt platform to start with when a display answers: "" for Qt's own
// choice, "wayland" for a Wayland compositor without an X display, NULL when
// none answers. Qt ends the process when it cannot reach its display, so
// this is tried here first. A platform named in QT_QPA_PLATFORM (a list, the
// first usable one taken) is Qt's own business unless it is X or Wayland.
const char* reachablePlatform(xcb_connection_t** held)
{
    const char* named = getenv("QT_QPA_PLATFORM");
    if (named != nullptr && named[0] != '\0') {
        for (const QString& entry : QString::fromLocal8Bit(named).split(u';', Qt::SkipEmptyParts)) {
            QString platform = entry.section(u':', 0, 0);
            if (platform == QLatin1String("xcb") ? xAnswers(held)
                : platform.startsWith(QLatin1String("wayland")) ? waylandAnswers()
                                                                 : true)
                return "";
        }
        return nullptr;
    }
    if (xAnswers(held))
        return "";
    if (waylandAnswers() && waylandPluginInstalled())
        return "wayland";
    return nullptr;
}

QWidget* windowOf(int panel)
{
    auto found = windows.find(panel);
    return found == windows.end() ? nullptr : found->second.data();
}

// Moves the captured text into the pane; it waits in the capture while there
// is no pane. With drain, everything that reached descriptors 1 and 2 so far
// is included.
void showCapturedOutput(bool drain)
{
    if (pane != nullptr)
        paneAppend(pane, captureTake(drain));
}

// The same, with what waits in stdio's buffers passed on first; never from
// inside a write of stdio's own, which would pass its bytes on twice.
void flushAndShowOutput()
{
    fflush(stdout);
    fflush(stderr);
    showCapturedOutput(true);
}

// Called on the capture's reader thread.
void outputArrived()
{
    QMetaObject::invokeMethod(application, [] { showCapturedOutput(false); }, Qt::QueuedConnection);
}

// The thread is asked first: other threads write too, and only the GUI
// thread touches the count.
bool callbackHoldsThisThread()
{
    return QThread::currentThread() == application->thread() && dispatching > 0;
}

// The window catches up with the program while a callback runs: what it has
// written goes into the pane, and every event but operator input is handled
// (paints, exposes, a close, output read by the capture's thread).
void catchUp()
{
    showCapturedOutput(true);
    QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents);
}

// Called on the writing thread after each write of stdout or stderr.
void outputWritten()
{
    if (callbackHoldsThisThread())
        catchUp();
}

// Sleep while a callback runs: the window stays live for the pause, which
// lasts at least as long as asked.
bool pauseLive(unsigned milliseconds)
{
    if (!callbackHoldsThisThread())
        return false;
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
    catchUp();
    // Events are waited for here rather than in a nested event loop, which
    // would delete a window that the callback discarded while its widget's
    // handler is still running further up.
    QTimer wake;
    wake.setSingleShot(true);
    wake.setTimerType(Qt::PreciseTimer);
    wake.start(std::chrono::milliseconds(milliseconds));
    while (wake.isActive()) {
        showCapturedOutput(true);
        QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents | QEventLoop::WaitForMoreEvents);
    }
    std::this_thread::sleep_until(end);  // a timer may end a little early
    return true;
}

// Shows every window busy with the action text names, or, with an empty
// text, no longer busy; a window shown meanwhile is shown busy too.
void showAllBusy(const QString& text)
{
    busyText = text;
    for (auto& [handle, window] : windows)
        if (window != nullptr)
            showBusy(window, text);
}

// Hands one operator action to the core. A callback runs inside it, with the
// windows busy; the input made meanwhile is dropped by the disabled controls.
int operate(int panel, int control, const std::function<int()>& action)
{
    const UiControl* target = uiControl(panel, control);
    bool busy = target != nullptr && target->callback != nullptr;
    if (busy) {
        QApplication::setOverrideCursor(Qt::WaitCursor);
        showAllBusy(QString::fromStdString(target->label) + QStringLiteral(": running\u2026"));
        ++dispatching;
        catchUp();  // the busy state is on the screen before the callback starts
    } else {
        ++dispatching;
    }
    int status = action();
    flushAndShowOutput();
    if (busy) {
        QCoreApplication::processEvents();
        QApplication::restoreOverrideCursor();
        showAllBusy(QString());
    }
    --dispatching;
    return status;
}

/* ---- The front end's entries ---- */

int start(int argc, char* argv[])
{
    if (application != nullptr)
        return 1;
    xcb_connection_t* trial = nullptr;
    const char* platform = reachablePlatform(&trial);
    if (platform == nullptr)
        return 0;
    // Qt gets the program's name only, and the platform to use when it must
    // be told: the program's arguments are its own, and no option on its
    // command line changes how the panel is shown.
    static char fallbackName[] = "kovo";
    static char platformOption[] = "-platform";
    static std::string platformName = platform;
    static char* qtArgv[] = {argc > 0 && argv[0] != nullptr ? argv[0] : fallbackName, platformOption,
                             platformName.data(), nullptr};
    static int qtArgc = platformName.empty() ? 1 : 3;
    if (qtArgc == 1)
        qtArgv[1] = nullptr;
    // Qt's own event dispatcher rather than GLib's: under GLib, window system
    // events are not handled while one of them (the click that started a
    // callback) is being handled, so the clicks made during a callback could
    // not be dropped once it returns, but would start actions afterwards. Qt
    // reads the choice at start-up; the program's environment is left as it was.
    const char* noGlib = getenv("QT_NO_GLIB");
    std::string before = noGlib != nullptr ? noGlib : "";
    setenv("QT_NO_GLIB", "1", 1);
    application = new QApplication(qtArgc, qtArgv);
    if (noGlib != nullptr)
        setenv("QT_NO_GLIB", before.c_str(), 1);
    else
        unsetenv("QT_NO_GLIB");
    if (trial != nullptr)
        xcb_disconnect(trial);
    // QApplication took the whole locale from the desktop's environment; the
    // program's printf and strtod keep the C notation of numbers.
    setlocale(LC_NUMERIC, "C");
    application->setQuitOnLastWindowClosed(false);
    captureStart(outputArrived, outputWritten);
    uiPause = pauseLive;
    return 1;
}

void showPanel(const UiPanel* panel)
{
    QWidget* window = windowOf(panel->handle);
    if (window == nullptr) {
        // The first window gets the pane; once that window has gone, the next
        // one shown gets a new pane, and the capture starts again for it.
        bool withPane = pane == nullptr && captureStart(outputArrived, outputWritten);
        QPlainTextEdit* newPane = withPane ? createOutputPane() : nullptr;
        window = createPanelWindow(panel, newPane);
        windows[panel->handle] = window;
        if (withPane) {
            pane = newPane;
            panePanel = panel->handle;
            flushAndShowOutput();
        }
    }
    if (!busyText.isEmpty())
        showBusy(window, busyText);
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
        flushAndShowOutput();
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
    flushAndShowOutput();
}

void quit()
{
    if (loop != nullptr)
        loop->exit(0);
}

}  // namespace

int qtOperatorSets(int panel, int control, double value)
{
    int status = operate(panel, control, [&] { return uiOperatorSets(panel, control, value, nullptr); });
    if (QWidget* window = windowOf(panel); window != nullptr && status == 0)
        showMessage(window, QString());
    return status;
}

int qtOperatorPresses(int panel, int control)
{
    int status = operate(panel, control, [&] { return uiOperatorEvent(panel, control, EVENT_COMMIT); });
    if (QWidget* window = windowOf(panel); window != nullptr && status == 0)
        showMessage(window, QString());
    return status;
}

const UiFrontend uiGraphicalFrontend = {"qt", start, showPanel, discardPanel, valueSet, runLoop, quit};
