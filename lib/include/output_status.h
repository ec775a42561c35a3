/*
 * output_status.h: what a channel's outputStatus bits, the crate's sysStatus
 * bits and a channel's outputSupervisionBehavior codes mean, as the crate
 * reports and takes them.
 *
 * Each table is a macro that takes the row macro as its argument (XX below),
 * so that including this header defines no name but these prefixed ones.
 */
#ifndef TORVAN_OUTPUT_STATUS_H
#define TORVAN_OUTPUT_STATUS_H

/*
 * The bits of outputStatus, lowest first: XX(bit, name, label).
 *   bit    the bit's number; its value in the status is 1 << bit
 *   name   the bit's name in code and in machine-readable output
 *   label  how an operator's table spells it
 * Bits 0 to 2 follow the channel as it is; the failure bits 3 to 8 latch when
 * the channel passes one of its supervision limits and stay set until the
 * channel is switched on again (a write of 1 to outputSwitch), whatever the
 * limit's behaviour did to the channel. Bit 9 follows the channel as it is.
 */
#define TORVAN_OUTPUT_STATUS_BITS(XX)                                   \
    XX(0, on,                     "on")                                 \
    XX(1, rampingUp,              "ramping up")                         \
    XX(2, rampingDown,            "ramping down")                       \
    XX(3, failureMinSenseVoltage, "failure: sense voltage too low")     \
    XX(4, failureMaxSenseVoltage, "failure: sense voltage too high")    \
    XX(5, failureMaxTerminalVoltage, "failure: terminal voltage too high") \
    XX(6, failureMaxCurrent,      "failure: current too high")          \
    XX(7, failureMaxPower,        "failure: power too high")            \
    XX(8, failureMaxTemperature,  "failure: temperature too high")      \
    XX(9, currentLimited,         "current limited")

/*
 * The bits of the crate's sysStatus, lowest first: XX(bit, name, label), as
 * for outputStatus. Bit 0 follows the main switch.
 */
#define TORVAN_SYSTEM_STATUS_BITS(XX) \
    XX(0, mainOn, "main switch on")

/*
 * The supervision limits, in the order of their two-bit fields in
 * outputSupervisionBehavior: XX(limit, name, failureBit).
 *   limit       the field's number: the behaviour of this limit is
 *               (outputSupervisionBehavior >> (2 * limit)) & 3
 *   name        the limit's name, as in TORVAN_OUTPUT_STATUS_BITS' failure bits
 *   failureBit  the outputStatus bit that latches when the limit is passed
 */
#define TORVAN_SUPERVISION_LIMITS(XX)          \
    XX(0, minSenseVoltage,    3)               \
    XX(1, maxSenseVoltage,    4)               \
    XX(2, maxTerminalVoltage, 5)               \
    XX(3, maxCurrent,         6)               \
    XX(4, maxPower,           7)               \
    XX(5, maxTemperature,     8)

/*
 * What the channel does when a limit is passed: the codes of one two-bit
 * field of outputSupervisionBehavior, XX(code, name, label).
 */
#define TORVAN_SUPERVISION_BEHAVIOURS(XX)                     \
    XX(0, ignore,        "ignore")                            \
    XX(1, channelOff,    "switch the channel off")            \
    XX(2, moduleOff,     "switch the channel's module off")   \
    XX(3, crateOff,      "switch the crate off")

#endif /* TORVAN_OUTPUT_STATUS_H */
