// sim.h: This file contains the declarations shared by the parts of the
// simulated crate: the object table, the crate model, faults, the layout, the
// control commands and the SNMP agent.
#pragma once

#include <array>
#include <csignal>
#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include <net-snmp/net-snmp-config.h>
#include <net-snmp/net-snmp-includes.h>

#include "catalogue.def"

namespace sim {

enum class Record { crate, channel, sensor, community, fan };
enum class Kind { integer, real, text };

// The objects the crate serves: one enumerator, named as the MIB names it, per
// object that the library's catalogue translates, in catalogue order; `none`
// marks "no object".
enum Object : int {
    none = -1,
#define SIM_SCALAR(name, Object, mib, message) mib,
#define SIM_TABLE(name, Object, mib, rows, translated, message, limit, alias) mib,
#define SIM_UNFILLED(...)
    TORVAN_SNMP_CATALOGUE(SIM_SCALAR, SIM_TABLE, SIM_UNFILLED, SIM_UNFILLED)
#undef SIM_SCALAR
#undef SIM_TABLE
#undef SIM_UNFILLED
    objectCount
};

// What the simulator knows of one object: its catalogue row (where an
// instance lives, the object bounding a write from above) and what the MIB
// module says of it (identifier, type, access, integer range or text size).
struct ObjectInfo {
    const char* name;
    Record record;
    Object limit;
    std::vector<oid> id = {};
    Kind kind = Kind::integer;
    bool writable = false;
    bool bounded = false;
    long low = 0, high = 0;
};
extern std::array<ObjectInfo, objectCount> objects;

// The value of one object instance; the member used is the one of the object's kind.
struct Value {
    int32_t integer = 0;
    float real = 0;
    std::string text;
};
using Row = std::array<Value, objectCount>;   // one instance of every object; a record uses its own

// One channel's sense voltage in closed form: `start` volts at model time
// `since`; its value at a later time follows from the channel's switch, set
// voltage, current limit, load and rates, which have not changed since
// `since`. With it, the failure bits the channel's supervision has latched.
struct Ramp {
    double start = 0;
    double since = 0;
    float shown = 0;            // the sense voltage last seen in the row; another one there was set directly
    std::uint64_t moves = 0;    // the model's move count when the row's measured values were last written
    int failures = 0;           // outputStatus failure bits latched since the channel was last switched on
};

struct Crate {
    Row scalars;
    std::map<int, Row> channels, sensors, communities, fans;   // by MIB index
    std::map<int, double> loads;                               // channel load resistance, ohm
    std::map<int, int> maxTemperatures;                        // channel module's temperature limit, degrees Celsius
    std::vector<Ramp> ramps;                                   // by channel MIB index
    std::set<int> wide;                                        // channels whose supervision can switch others off
    bool rampsCrateOn = false;                                 // the main switch the ramps run under
};

// The temperature limit of a channel's module when the layout gives none: the
// top of the MIB's temperature range, which no reading passes.
constexpr int defaultMaxTemperature = 127;

enum class Mode { live, manual, frozen };

// Faults answer gets or sets of matching instances otherwise than the crate would.
// An `about` fault only renames the answer (to the instance in `value`), so it
// combines with any other fault of the instance.
enum class FaultOn { get, set, any };
enum class FaultKind { error, type, exception, value, drop, about };
struct Fault {
    std::string target;          // "all", an object name, or an instance name "outputVoltage.3"
    FaultOn on = FaultOn::any;
    FaultKind kind = FaultKind::error;
    int code = 0;                // error status, ASN.1 type, or exception type
    std::optional<std::string> value;
};

// The whole simulation: one per process.
struct Simulation {
    Crate crate;
    Mode mode = Mode::live;
    double delay = 0;            // seconds every answer is held back
    int maxVariables = 0;        // a get or set of more variables is answered tooBig; 0: no bound
    std::vector<Fault> faults;
};
extern Simulation simulation;

extern volatile std::sig_atomic_t keepRunning;   // cleared by SIGINT, SIGTERM and "quit"

constexpr std::size_t maxFaults = 1000;
constexpr double maxDelay = 60;

// objects and values (model.cpp)
Object objectNamed(std::string_view name);
std::string instanceName(Object object, int index);
std::optional<std::pair<Object, int>> parseInstanceName(std::string_view name);
std::optional<Value> parseValue(Kind kind, std::string_view text);
std::string formatValue(Kind kind, const Value& value);
double numberOf(Kind kind, const Value& value);
std::map<int, Row>* tableOf(Crate& crate, Record record);
Value* findValue(Crate& crate, Object object, int index);   // a channel's values brought up to the model's time

// What a channel drives toward at present, from its settings, its load and
// the crate's main switch.
struct Drive {
    bool on = false;             // the crate and the channel are on
    double target = 0;           // the set voltage while on, else 0
    double reach = 0;            // where the voltage goes: the target, or less where the load would draw more than the current limit
    double load = 0;             // ohm; 0: no load
    double currentLimit = 0;     // A
};

// The moment a ramp passes one or more limits: seconds after its start, and
// the failure bits of the limits passed then.
struct Crossing {
    double after;
    int bits;
};

// What the behaviour asks for when limits are passed.
struct Actions {
    bool channelOff = false, moduleOff = false, crateOff = false;
};

// the crate model (model.cpp)
bool isDerived(Object object);      // computed by the model from other objects, never stored
Row newRow(Record record);
void addChannel(Crate& crate, int index, std::string name);
Crate defaultCrate();
double wallSeconds();
void updateModel();
void advanceModel(double seconds);
void deriveValues(Crate& crate);
int checkWrite(Crate& crate, Object object, int index, const Value& value);
void applyWrite(Crate& crate, Object object, int index, const Value& value);
void noteWrite(Crate& crate, Object object, int index);
void noteSupervision(Crate& crate);

// faults (faults.cpp)
std::string parseFault(const std::vector<std::string>& words, Fault& fault);
const Fault* findFault(bool set, Object object, int index);
void answerAbout(netsnmp_variable_list* vb, int mode);
int clearFaults(std::string_view target);
const char* typeName(int asnType);

// supervision (supervision.cpp)
extern const int failureBits;                   // the outputStatus bits that latch
int statusBits(const Drive& drive, float sense, bool limited);
bool currentLimited(const Drive& drive, float sense);
int passedLimits(const Drive& drive, const Row& channel, int maxTemperature);
Crossing nextCrossing(const Drive& drive, const Row& channel, double v, double span, int latched);
Actions actionsFor(const Row& channel, int failures);
bool switchesOthers(const Row& channel);

// layout (layout.cpp)
bool loadLayout(const std::string& path, std::string& error);
bool loadLayoutText(std::string_view text, const std::string& path, std::string& error);

// control commands (control.cpp)
std::string runCommand(std::string_view line, int lineNumber);
void startControl();

// the SNMP agent (agent.cpp)
bool initAgent(const std::string& stateDir, std::string& error);
bool startAgent(const std::string& address, const std::string& layout, std::string& bound, std::string& error);
std::string instanceNameOf(const oid* name, std::size_t length);
void stopAgent();

// the request log (requestlog.cpp)
bool openRequestLog(const std::string& path, std::string& error);
void logRequest(const netsnmp_pdu* pdu);
void logResponse(const u_char* datagram, int size, const void* transportData, int transportDataLength);
void logUnanswered(const netsnmp_pdu* pdu);
void closeRequestLog();

}  // namespace sim
