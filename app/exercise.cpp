// This file contains the scripted crate exercise and its start and stop
// buttons. Not built yet: each callback does nothing.
#include "kovo_uir.h"

int CVICALLBACK StartCB(int, int, int, void*, int, int)
{
    return 0;
}

int CVICALLBACK StopCB(int, int, int, void*, int, int)
{
    return 0;
}
