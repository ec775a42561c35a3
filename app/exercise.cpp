// This file contains the scripted crate exercise, a fixed sequence of reads,
// writes and pauses on one channel with a printed transcript, and the start
// and stop buttons of the exercise.
#include <cstdio>

#include <userint.h>
#include <utility.h>

#include "kovo_uir.h"

// The exercise itself; only the start button runs it.
void snmptest(void);

namespace {

constexpr int channel = 2;        // the exercise channel: slot 0, channel 2
constexpr unsigned pause = 1000;  // ms the crate is given to follow a step
constexpr double firstRiseRate = 46.0;    // the rise rates the transcript announces
constexpr double secondRiseRate = 100.0;
const char separator[] = "-----------------------------------------------------------------\n";

// Shows what has been printed so far before the program waits, so that an
// operator watching a log sees each step as it happens.
void pauseExercise()
{
    fflush(stdout);
    Sleep(pause);
}

}  // namespace

// Runs the exercise on the exercise channel and prints its transcript: every
// value printed is the one read in the same step, and each write follows the
// line that announces it. Results of writes are not examined; a failed read
// prints its failure value. Does nothing without a session.
void snmptest(void)
{
    if (kovo == nullptr)
        return;
    int iret;
    double voltage, ret;

    fputs(separator, stdout);
    printf("Turning channel %i ON\n", channel);
    setMainSwitch(kovo, 1);
    pauseExercise();
    printf(".... Turning channel %i ON\n", channel);
    setChannelSwitch(kovo, channel, 1);
    pauseExercise();

    iret = getChannelSwitch(kovo, channel);
    printf("Channel Status = %i\n\n", iret);
    iret = getOutputNumber(kovo);
    printf("getOutputNumber = %i\n\n", iret);
    iret = getOutputGroups(kovo);
    printf("getOutputGroups = %i\n\n", iret);

    voltage = getOutputVoltage(kovo, channel);
    printf("Output Voltage = %f.  I will now change it to 24.2\n", voltage);
    setOutputVoltage(kovo, channel, 24.2);
    voltage = getOutputVoltage(kovo, channel);
    printf("Output Voltage = %f.  I will now change it to 12.3\n", voltage);
    setOutputVoltage(kovo, channel, 12.3);
    voltage = getOutputVoltage(kovo, channel);
    printf("Output Voltage = %f.\n\n", voltage);

    ret = getOutputSenseMeasurement(kovo, channel);
    printf("Sense Voltage =  %f\n", ret);
    pauseExercise();
    ret = getOutputSenseMeasurement(kovo, channel);
    printf("Sense Voltage =  %f.  It the channel is ramping it should have changed.\n\n", ret);
    ret = getCurrentMeasurement(kovo, channel);
    printf("Current Measurement =  %f\n\n", ret);

    ret = getOutputRiseRate(kovo, channel);
    printf("Ramp Rate is %f, Let's make it 46.\n", ret);
    setOutputRiseRate(kovo, channel, firstRiseRate);
    ret = getOutputRiseRate(kovo, channel);
    printf("Ramp Rate is %f, Let's make it 100.\n", ret);
    setOutputRiseRate(kovo, channel, secondRiseRate);
    ret = getOutputRiseRate(kovo, channel);
    printf("Ramp Rate is %f.\n\n", ret);

    iret = getChannelSwitch(kovo, channel);
    printf("Channel Status = %i\n\n", iret);
    pauseExercise();

    // Only an off crate is reported here; an on crate gets no line.
    if (getMainSwitch(kovo) == 0)
        printf("Crate is now Off\n");
    fputs(separator, stdout);
    fflush(stdout);
}

// The start button: runs the exercise to its end. Nothing else can happen on
// the panel meanwhile.
int CVICALLBACK StartCB(int panel, int control, int event, void* callbackData, int eventData1, int eventData2)
{
    (void)panel, (void)control, (void)callbackData, (void)eventData1, (void)eventData2;
    if (event == EVENT_COMMIT)
        snmptest();
    return 0;
}

// The stop button: the exercise cannot be interrupted, so it does nothing.
int CVICALLBACK StopCB(int panel, int control, int event, void* callbackData, int eventData1, int eventData2)
{
    (void)panel, (void)control, (void)event, (void)callbackData, (void)eventData1, (void)eventData2;
    return 0;
}
