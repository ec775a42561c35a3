// This file contains the operator's crate and channel commands and the channel
// status report: the crate switch, the set-channels button, the channel switch
// and the status button, and the channel walk that finds the present channels.
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include <userint.h>
#include <utility.h>

#include "kovo_uir.h"
#include "crate_text.h"

namespace {

// The crate's slots and the channels of one slot that the walk visits.
constexpr int slots = 4;
constexpr int channelsPerSlot = 8;

// Calls visit(channel, name) for every present channel, in walk order: slots 0
// to 3, channels 0 to 7 within each, channel index 100 * slot + channel. A
// channel whose name cannot be read counts as absent and is not visited; each
// name, all the bytes the crate sent, is released once its visit has returned.
void walkChannels(auto visit)
{
    for (int slot = 0; slot < slots; ++slot)
        for (int inSlot = 0; inSlot < channelsPerSlot; ++inSlot) {
            int channel = 100 * slot + inSlot;
            char* name = getOutputName(kovo, channel);
            if (name == nullptr)
                continue;
            visit(channel, std::string_view(name, receivedTextLength(name)));
            free(name);
        }
}

// The walk of the channel commands: channel index 0 is named but never
// written by them (the status report does list it).
void walkChannelsToWrite(auto visit)
{
    walkChannels([&](int channel, std::string_view name) {
        if (channel != 0)
            visit(channel, name);
    });
}

// Prints the status table's line of one present channel, after reading its
// values in the order the crate is asked for them; a failed read shows as 0.
void printStatusLine(int channel, std::string_view name)
{
    int iret = getChannelSwitch(kovo, channel);
    double vSet = getOutputVoltage(kovo, channel);
    double iSet = getOutputCurrent(kovo, channel);
    double vTerminal = getOutputTerminalMeasurement(kovo, channel);
    double vSense = getOutputSenseMeasurement(kovo, channel);
    double iMon = getCurrentMeasurement(kovo, channel);
    double vRpUp = getOutputRiseRate(kovo, channel);
    double vRpDown = getOutputFallRate(kovo, channel);
    printf("%3i %s\t[%i]\tVset=%g\tIset=%g\tImon=%g\tVmon=%g\tVterm=%g\tRUp=%g\tRDn=%g\n", channel,
           torvan_text::shown(name).c_str(), iret, vSet, iSet, iMon, vSense, vTerminal, vRpUp, vRpDown);
}

}  // namespace

// The crate switch: writes the main switch state the control asks for (the
// control holds 1 minus it) and reports the state the crate reads back.
int CVICALLBACK KovoOnOffCB(int panel, int control, int event, void* callbackData, int eventData1, int eventData2)
{
    (void)callbackData, (void)eventData1, (void)eventData2;
    if (event != EVENT_COMMIT)
        return 0;
    // Nothing goes to the crate from a value that could not be read.
    int val = 0;
    if (GetCtrlVal(panel, control, &val) < 0)
        return 0;

    setMainSwitch(kovo, 1 - val);
    Sleep(100);
    if (getMainSwitch(kovo) == 0)
        printf("Crate is now Off\n");
    else
        printf("Crate is now On\n");
    return 0;
}

// The set-channels button: writes the panel's set voltage and current limit,
// as they stand, to every present channel.
int CVICALLBACK KovoChannelsOutputVoltageCB(int panel, int control, int event, void* callbackData, int eventData1,
                                            int eventData2)
{
    (void)control, (void)callbackData, (void)eventData1, (void)eventData2;
    if (event != EVENT_COMMIT)
        return 0;
    double vset = 0.0, iset = 0.0;
    if (GetCtrlVal(panel, PANEL_VSET, &vset) < 0 || GetCtrlVal(panel, PANEL_ISET, &iset) < 0)
        return 0;

    walkChannelsToWrite([&](int channel, std::string_view) {
        printf("%d  Vset=%f Iset=%f \n", channel, vset, iset);
        setOutputVoltage(kovo, channel, vset);
        setOutputCurrent(kovo, channel, iset);
    });
    return 0;
}

// The channel switch: switches every present channel to the state the
// control asks for (it holds 1 minus it).
int CVICALLBACK KovoChannelsOnOffCB(int panel, int control, int event, void* callbackData, int eventData1,
                                    int eventData2)
{
    (void)callbackData, (void)eventData1, (void)eventData2;
    if (event != EVENT_COMMIT)
        return 0;
    int val = 0;
    if (GetCtrlVal(panel, control, &val) < 0)
        return 0;
    int wanted = 1 - val;

    walkChannelsToWrite([&](int channel, std::string_view) {
        // A channel already on is left alone when on is wanted. Off is written
        // to every channel: a failed read gives 0 too, so a channel that reads
        // off may still be on, and an off that is sent twice does no harm.
        if (wanted == 1 && getChannelSwitch(kovo, channel) == 1)
            return;
        setChannelSwitch(kovo, channel, wanted);
    });
    return 0;
}

// The status button: prints one table line per present channel, channel
// index 0 included; no heading and no summary.
int CVICALLBACK GetStatus(int panel, int control, int event, void* callbackData, int eventData1, int eventData2)
{
    (void)panel, (void)control, (void)callbackData, (void)eventData1, (void)eventData2;
    if (event == EVENT_COMMIT)
        walkChannels(printStatusLine);
    return 0;
}
