// This file contains the operator's crate and channel commands and the channel
// status report. Not built yet: each callback does nothing.
#include "kovo_uir.h"

int CVICALLBACK KovoOnOffCB(int, int, int, void*, int, int)
{
    return 0;
}

int CVICALLBACK KovoChannelsOutputVoltageCB(int, int, int, void*, int, int)
{
    return 0;
}

int CVICALLBACK KovoChannelsOnOffCB(int, int, int, void*, int, int)
{
    return 0;
}

int CVICALLBACK GetStatus(int, int, int, void*, int, int)
{
    return 0;
}
