/*
 * kovo_uir.h: the main panel of kovo_uir.uir as the program addresses it (the
 * panel's resource id and its control ids, which the panel file repeats), the
 * two globals every command uses, and the control callbacks the panel binds.
 */
#ifndef KOVO_UIR_H
#define KOVO_UIR_H

#include <userint.h>

#include "TORVAN_SNMP.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Panels and controls */
#define PANEL                  1   /* the main panel */
#define PANEL_ISET             2   /* numeric: current limit written to every channel */
#define PANEL_VSET             3   /* numeric: set voltage written to every channel */
#define PANEL_SET_CHANNELS     4   /* command: write VSET and ISET to every channel */
#define PANEL_CHANNEL_SWITCH   5   /* toggle: 1 minus the state wanted for every channel */
#define PANEL_STATUS           6   /* command: print the channel status table */
#define PANEL_START            7   /* command: run the exercise */
#define PANEL_STOP             8   /* command: the exercise's stop button */
#define PANEL_CRATE_SWITCH     9   /* toggle: 1 minus the crate's main switch state */
#define PANEL_QUIT             10  /* command: end the program */

/* Handle of the main panel and the session to the crate, set once by main. */
extern int p1h;
extern HSNMP kovo;

/* Control callbacks */
int CVICALLBACK ExitCB(int panel, int control, int event, void* callbackData, int eventData1, int eventData2);
int CVICALLBACK KovoOnOffCB(int panel, int control, int event, void* callbackData, int eventData1, int eventData2);
int CVICALLBACK KovoChannelsOutputVoltageCB(int panel, int control, int event, void* callbackData, int eventData1,
                                            int eventData2);
int CVICALLBACK KovoChannelsOnOffCB(int panel, int control, int event, void* callbackData, int eventData1,
                                    int eventData2);
int CVICALLBACK GetStatus(int panel, int control, int event, void* callbackData, int eventData1, int eventData2);
int CVICALLBACK StartCB(int panel, int control, int event, void* callbackData, int eventData1, int eventData2);
int CVICALLBACK StopCB(int panel, int control, int event, void* callbackData, int eventData1, int eventData2);

#ifdef __cplusplus
}
#endif

#endif /* KOVO_UIR_H */
