// This file contains the program's entry: it brings up the panel run-time, the
// main panel and the crate library in order, shows the crate's main switch,
// runs the event loop until the quit button, and takes everything down again.
#ifdef _WIN32
#include <winsock2.h>  // before windows.h, which would otherwise bring the old Winsock
#include <windows.h>
#endif
#include <cvirte.h>
#include <userint.h>
#include <utility.h>

#include "TORVAN_SNMP.h"
#include "kovo_uir.h"

#ifndef KOVO_CRATE_ADDRESS
#error "KOVO_CRATE_ADDRESS, the crate's address as text, must be defined by the build"
#endif

int p1h;
HSNMP kovo;

int main(int argc, char* argv[])
{
    (void)argc;
    // The run-time and the panel first: without them nothing is started.
    if (InitCVIRTEEx(0, argv, 0) == 0)
        return -1;
    if ((p1h = LoadPanel(0, "kovo_uir.uir", PANEL)) < 0)
        return -1;

    // The library has logged its reason when it cannot start.
    if (!SnmpInit())
        return 0;
    // A session that does not open leaves kovo null; the program runs on.
    kovo = SnmpOpen(KOVO_CRATE_ADDRESS);

    // The crate switch control holds 1 minus the crate's state; setting it
    // from here raises no callback, so the crate is not switched.
    SetCtrlVal(p1h, PANEL_CRATE_SWITCH, 1 - getMainSwitch(kovo));
    DisplayPanel(p1h);
    RunUserInterface();

    DiscardPanel(p1h);
    SnmpClose(kovo);
    SnmpCleanup();
    return 0;
}

// The quit button: the event loop ends once this returns.
int CVICALLBACK ExitCB(int panel, int control, int event, void* callbackData, int eventData1, int eventData2)
{
    (void)panel, (void)control, (void)callbackData, (void)eventData1, (void)eventData2;
    if (event == EVENT_COMMIT)
        QuitUserInterface(0);
    return 0;
}
