// This file contains the application's globals for the status report
// benchmark, which runs GetStatus without the program's main, and the press of
// the status button. It is a file of its own because the application's global
// `kovo` and the test support's namespace `kovo` cannot meet in one file.
#include "kovo_uir.h"

int p1h;
HSNMP kovo;

void useSession(HSNMP session)
{
    kovo = session;
}

void pressStatusButton()
{
    GetStatus(p1h, PANEL_STATUS, EVENT_COMMIT, nullptr, 0, 0);
}
