// rows.h: This file contains what the kovo tool and the Python module share
// on top of the library's scripting session: selections of channels ("0-7,12",
// "all", "slot 1", "on", "off", "tripped"), channel columns read in one bulk
// read, the writing of one object to many rows with an outcome per row, and
// how a failed exchange is told to a person.
//
// A channel is called by its index as the library counts it, 100 x slot +
// channel-in-slot (0 to 999); its SNMP instance is index + 1.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "kovo_crate.h"

namespace kovo_rows {

// The rows of the channel table, and the channels of one slot.
constexpr int channelRows = 1000;
constexpr int slotChannels = 100;

// Thrown for a selection that names what cannot be; the message says why.
struct SelectionError {
    std::string message;
};

// The states a selection can narrow to: the channel's own switch on or off,
// or a failure bit latched.
enum State : unsigned { stateOn = 1, stateOff = 2, stateTripped = 4 };

// A selection of channels as given, items separated by commas: channels and
// ranges ("0-7", "12"), "slot N" (or "slot N-M"), "all", and the states "on",
// "off", "tripped". Channels, slots and "all" add up; states narrow what they
// add up to (every present channel when they are alone) to the channels in
// any of the states named.
struct Selection {
    struct Range {
        int first, last;
        bool single;  // one channel named by itself: it must be present
    };
    std::vector<Range> ranges;
    bool all = false;
    unsigned states = 0;
};

// Parses a selection; throws SelectionError.
Selection parseSelection(const std::string& text);

// Whether resolving a selection needs the channel table read from the crate:
// anything but single channels named one by one.
bool needsTable(const Selection& selection);

// A bulk read of channel columns of every present channel, freed with it.
class Table {
public:
    Table() = default;
    Table(Table&& other) noexcept;
    Table& operator=(Table&& other) noexcept;
    Table(const Table&) = delete;
    ~Table();

    // Reads the objects' columns in one bulk read; false with the session's outcome.
    bool read(kovoCrate* crate, const std::vector<int>& objects);

    int rows() const { return table_ ? table_->rows : 0; }
    int channel(int row) const { return table_->channels[row]; }
    // The value of an object read, in a row; NULL for an object not read.
    const kovoValue* value(int row, int object) const;
    // The row of a channel, or -1 when the crate did not answer for it.
    int rowOf(int channel) const;

private:
    kovoTable* table_ = nullptr;
    std::vector<int> objects_;
};

// The columns a selection's states are judged by: outputSwitch and outputStatus.
std::vector<int> stateColumns();

// The channels of a selection, ascending, and those its ranges and slots
// named but the crate does not have. With a table (whose rows are the present
// channels, with the state columns among its columns when states are asked
// for), a single channel named that is absent is an error (SelectionError);
// without one, the single channels are taken as named.
struct Resolved {
    std::vector<int> channels;
    std::vector<int> skipped;
};
Resolved resolve(const Selection& selection, const Table* table);

// What is said of a single channel named that the crate does not have:
// "channel 103 (slot 1, channel 3 of the slot) is not in the crate".
std::string absentChannel(int channel);

// The crate-wide objects, in the catalogue's order.
std::vector<int> crateWideObjects();

// Channels as a person reads a list of them: "0-7, 12, 100-107".
std::string channelList(const std::vector<int>& channels);

// "channel 3" or "channels 3, 5", each followed by what `detail` says of it
// (when given); past the tenth, how many more.
std::string namedChannels(const std::vector<int>& channels, const std::function<std::string(int)>& detail = {});

// An outputStatus's failure bits (those its supervision limits latch), and
// whether it has one latched.
long failureBitsOf(long status);
bool tripped(long status);
// The labels of the failure bits an outputStatus has latched, as a person
// reads them: "failure: current too high, ...".
std::string failuresOf(long status);
// Whether an object's value is a mask of status bits: outputStatus, sysStatus.
bool isStatus(const std::string& object);
// The names or labels of the bits a status value has set ("bit 12" for a bit
// without a name).
std::vector<std::string> statusBits(long status, bool names, const std::string& object = "outputStatus");
// The value of the outputStatus bit of that name ("on", "currentLimited").
long statusBit(const std::string& name);

// A Float read from the crate as the double nearest to the shortest decimal
// that gives back its single-precision value: 24.2, not 24.200000762939453.
double shortest(double number);

// ---- Writing many rows ----

// One row's write: the row and its value, whether it was sent and written,
// the crate's echo, and the outcome that says why not.
using RowWrite = kovoRowSet;

// The writes of one object to many rows. When a value is refused before
// anything is sent (above a channel's limit, outside the MIB's range, an
// absent instance), `refused` holds why and no row is sent.
struct Writes {
    int object = -1;
    std::vector<RowWrite> rows;
    bool refused = false;
    kovoOutcome refusal{};
    Writes() = default;
    Writes(Writes&& other) noexcept;
    Writes& operator=(Writes&& other) noexcept;
    ~Writes();
    bool allWritten() const;
};

// Writes values[i] to rows[i] of the object, in SET requests of many rows
// (kovoSetRows): every row is checked first, so that a refusal leaves nothing
// written; a request the crate refuses leaves the other requests written; no
// further request is sent once the crate has not answered one.
Writes writeRows(kovoCrate* crate, int object, const std::vector<int>& rows, const std::vector<kovoValue>& values);

// ---- Failures told to a person ----

// What a row of the object's table is called: "channel", "sensor", "fan" or
// "community".
const char* rowLabel(const std::string& object);

// The instance an outcome is about, as a person reads it: "channel 3
// outputVoltage (SNMP instance outputVoltage.4)", "sensor 0 sensorTemperature
// (SNMP instance sensorTemperature.1)", "sysMainSwitch"; the object name
// alone for a whole column; "" for none.
std::string describedObject(const std::string& instance);

// The outcome's reason, with what to look at when the crate did not answer:
// its power, and the read community (or the write community for a write).
std::string reasonOf(const kovoOutcome& outcome, bool write);

}  // namespace kovo_rows
