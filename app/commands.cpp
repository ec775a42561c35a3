// This file contains the operator's crate and channel commands and the channel
// status report: the crate switch, the set-channels button, the channel switch
// and the status button, and the channel walk that finds the present channels.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include <userint.h>
#include <utility.h>

#include "kovo_uir.h"
#include "transfers.h"  // the byte count of a name, which may hold zero bytes

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

// The bytes of a crate's text shown whole, at most this many bytes of shown
// text: twice the longest name the crate's MIB allows, so that every proper
// name shows as it is, and a longer one still fits on the table's line.
constexpr size_t shownTextLimit = 64;

// The length of the UTF-8 sequence that starts text, and its code point in
// *code; 0 when text does not start with a well-formed sequence (a stray or
// missing continuation byte, an overlong form, a surrogate, beyond U+10FFFF).
size_t utf8Sequence(std::string_view text, char32_t* code)
{
    const auto lead = static_cast<unsigned char>(text[0]);
    size_t length = 0;
    if (lead < 0x80)
        length = 1;
    else if (lead >= 0xC2 && lead <= 0xDF)
        length = 2;
    else if (lead >= 0xE0 && lead <= 0xEF)
        length = 3;
    else if (lead >= 0xF0 && lead <= 0xF4)
        length = 4;
    if (length == 0 || length > text.size())
        return 0;
    char32_t value = length == 1 ? lead : lead & (0x7F >> length);
    for (size_t i = 1; i < length; ++i) {
        const auto next = static_cast<unsigned char>(text[i]);
        if ((next & 0xC0) != 0x80)
            return 0;
        value = value << 6 | (next & 0x3F);
    }
    static const char32_t least[] = {0, 0, 0x80, 0x800, 0x10000};
    if (value < least[length] || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF))
        return 0;
    *code = value;
    return length;
}

// Code points that move the cursor, start a terminal sequence, break the line
// or reorder the text around them: C0, DEL and C1 controls, the line and
// paragraph separators, and the bidirectional marks, embeddings, overrides
// and isolates.
bool isControl(char32_t code)
{
    return code < 0x20 || (code >= 0x7F && code <= 0x9F) || code == 0x061C || code == 0x200E || code == 0x200F ||
           (code >= 0x2028 && code <= 0x202E) || (code >= 0x2066 && code <= 0x2069);
}

// Text from the crate as the operator's terminal or output pane is given it,
// so that a channel name cannot move the cursor, recolour or retitle the
// terminal, draw a line of its own or reverse the line it is on: a byte that
// is no well-formed UTF-8 as \xHH, an ASCII control as \xHH, any other control
// as \u{HHHH}, and the backslash itself as \x5C, so that every escape shown is
// one of ours. Other printable text, UTF-8 included, is unchanged. A text that would
// show longer than shownTextLimit is cut after a whole character or escape,
// marked with "...[N bytes]", N being the whole text's byte count.
std::string shown(std::string_view text)
{
    std::string out;
    for (size_t at = 0; at < text.size();) {
        char32_t code = 0;
        const size_t length = utf8Sequence(text.substr(at), &code);
        char piece[16];
        if (length == 0)
            snprintf(piece, sizeof piece, "\\x%02X", static_cast<unsigned char>(text[at]));
        else if (code < 0x80 && (isControl(code) || code == '\\'))
            snprintf(piece, sizeof piece, "\\x%02X", static_cast<unsigned>(code));
        else if (isControl(code))
            snprintf(piece, sizeof piece, "\\u{%X}", static_cast<unsigned>(code));
        else
            snprintf(piece, sizeof piece, "%.*s", static_cast<int>(length), text.data() + at);
        if (out.size() + strlen(piece) > shownTextLimit)
            return out + "...[" + std::to_string(text.size()) + " bytes]";
        out += piece;
        at += length == 0 ? 1 : length;
    }
    return out;
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
           shown(name).c_str(), iret, vSet, iSet, iMon, vSense, vTerminal, vRpUp, vRpDown);
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
