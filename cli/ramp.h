// ramp.h: This file contains set-and-wait, shared by kovo's set --wait and the
// Python module's Crate.ramp: the channels' set voltage written, then their
// measured sense voltage and status read in bulk until every one is within
// tolerance, stopping at once when a failure bit latches or the crate or a
// channel is switched off, and after a timeout naming the channels still
// outside. With a step, the set voltages move by at most the step at a time,
// each step waited for by all, so that the channels of one group never drift
// apart by more than a step.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "rows.h"

namespace kovo_rows {

struct RampOptions {
    double tolerance = 0.1;         // volts either side of the target
    double timeout = 300;           // seconds each step may take
    double step = 0;                // volts per step; 0: one step to the target
    double interval = 0.1;          // seconds from one reading to the next
    std::function<void()> between;  // called between readings; may throw to stop
    std::function<void(const std::string&)> progress;  // one line per step reached
};

// How a ramp ended.
enum class RampEnd {
    reached,      // every channel within tolerance of the target
    notOn,        // nothing written: the crate or a channel is switched off
    absent,       // nothing written: a channel is not in the crate
    refused,      // nothing written: a value refused before sending (writes.refusal)
    writeFailed,  // a write failed (writes)
    readFailed,   // a reading failed (outcome)
    tripped,      // a failure bit latched
    switchedOff,  // a channel was switched off
    crateOff,     // the crate was switched off
    timedOut      // channels still outside the tolerance after the timeout
};

// A channel's last reading: the target of its step, its sense voltage (NaN
// when never read) and its status.
struct RampReading {
    int channel;
    double target;
    double sense;
    long status;
};

struct RampResult {
    RampEnd end = RampEnd::reached;
    std::string message;                // what ended it, for a person; "" when reached
    std::vector<int> channels;          // the channels the message names
    Writes writes;                      // the last step's writes
    kovoOutcome outcome{};              // the failed reading, for readFailed
    std::vector<RampReading> readings;  // one per channel, in the order given
    double seconds = 0;                 // from the first write to the end
};

// Ramps the channels' outputVoltage to `voltage` and waits as described above.
RampResult ramp(kovoCrate* crate, const std::vector<int>& channels, double voltage, const RampOptions& options);

}  // namespace kovo_rows
