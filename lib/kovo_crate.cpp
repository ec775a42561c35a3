/*
 * kovo_crate.cpp: the scripting session of kovo_crate.h: a quiet start-up
 * that looks up the catalogue's objects in the MIB, sessions with the
 * caller's address, communities and timing, single gets and sets that record
 * how each exchange ended, and bulk reads of the channel table and of the
 * crate-wide objects.
 *
 * The objects are the catalogue's translated rows (catalogue.def), named by
 * their MIB names; the MIB gives each its column identifier, value type,
 * access and range. Requests are built and answers decoded with the typed
 * transfers' own value helpers (values.h).
 *
 * Net-SNMP operations relied on: init_snmp, get_node, get_tree, snmp_sess_init,
 * snmp_sess_open (through the library's opening that takes answers only from
 * the crate), snmp_error, snmp_sess_close, snmp_pdu_create,
 * snmp_add_null_var, snmp_pdu_add_variable, snmp_sess_synch_response (which
 * takes over the request whatever the outcome), snmp_sess_error,
 * snmp_oid_compare, snmpv2c GETBULK with non-repeaters 0, snmp_free_pdu.
 * Nothing here writes on standard output or standard error.
 */
#include <cfloat>
#include <climits>
#include <cmath>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "catalogue.h"
#include "catalogue_load.h"
#include "kovo_crate.h"
#include "session_open.h"
#include "values.h"

using namespace torvan_values;

struct kovoCrate {
    void* session;
    std::string host;
    std::string writeCommunity;
    kovoOutcome outcome;
};

namespace {

/* ---- The objects ---- */

/* One object as the session sees it: the catalogue's row, and what the MIB
 * says of it. A table object's identifier is its column, to which the MIB
 * index is appended; a crate-wide object's lacks the instance 0. */
struct Object {
    std::string name;
    int rows;       // rows the catalogue translates; 0 for a crate-wide object
    bool channel;   // a column of the channel table
    oid column[MAX_OID_LEN];
    size_t length;
    int type;
    bool writable;
    bool ranged;  // integer range or text size from the MIB
    long low, high;
    int limit;  // bounding object, or -1
};

struct CatalogueRow {
    const char* text;
    int rows;        // 0 for a crate-wide object
    int translated;
    const char* message;
};
#define KOVO_SCALAR_ROW(name, Object, text, message) {text, 0, 0, message},
#define KOVO_TABLE_ROW(name, Object, text, rows, translated, message) {text, rows, translated, message},
const CatalogueRow catalogueRows[] = {TORVAN_SNMP_CATALOGUE(KOVO_SCALAR_ROW, KOVO_TABLE_ROW)};
#undef KOVO_SCALAR_ROW
#undef KOVO_TABLE_ROW

/* The objects whose value the crate bounds per channel, and the object that
 * bounds each: a write above the bound reaches no hardware. */
const struct {
    const char* object;
    const char* limit;
} channelLimits[] = {
    {"outputVoltage", "outputConfigMaxSenseVoltage"},
    {"outputSupervisionMinSenseVoltage", "outputConfigMaxSenseVoltage"},
    {"outputSupervisionMaxSenseVoltage", "outputConfigMaxSenseVoltage"},
    {"outputSupervisionMaxTerminalVoltage", "outputConfigMaxTerminalVoltage"},
    {"outputCurrent", "outputConfigMaxCurrent"},
    {"outputSupervisionMaxCurrent", "outputConfigMaxCurrent"},
};

std::vector<Object> objects;
std::string initError;
bool started = false;

int objectNamed(const std::string& name)
{
    for (size_t i = 0; i < objects.size(); ++i)
        if (objects[i].name == name)
            return static_cast<int>(i);
    return -1;
}

/* Looks one catalogue row up in the loaded MIB; false when it is not there. */
bool lookUp(const CatalogueRow& row, Object* object)
{
    std::string text = row.text;
    object->rows = row.translated;
    object->channel = row.rows == CHANNEL_ROWS;
    object->name = text.substr(0, text.find('.'));
    object->length = MAX_OID_LEN;
    if (get_node(object->name.c_str(), object->column, &object->length) == 0)
        return false;
    const struct tree* node = get_tree(object->column, object->length, get_tree_head());
    if (node == nullptr)
        return false;
    object->type = node->type == TYPE_OPAQUE ? KOVO_FLOAT : node->type == TYPE_OCTETSTR ? KOVO_TEXT : KOVO_INTEGER;
    object->writable = node->access == MIB_ACCESS_READWRITE || node->access == MIB_ACCESS_CREATE ||
                       node->access == MIB_ACCESS_WRITEONLY;
    object->ranged = node->ranges != nullptr && node->ranges->next == nullptr;
    object->low = object->ranged ? node->ranges->low : 0;
    object->high = object->ranged ? node->ranges->high : 0;
    object->limit = -1;
    return true;
}

bool start()
{
#ifdef _WIN32
    WSADATA data;
    if (WSAStartup(MAKEWORD(2, 2), &data) != 0) {
        initError = "Windows Sockets 2.2 could not be started";
        return false;
    }
#endif
    // "snmpapp" is the name Net-SNMP's own tools read their configuration under.
    init_snmp("snmpapp");
    if (!torvan_catalogue::loadModule("TORVAN-CRATE-MIB")) {
        initError = "Unable to load SNMP MIB file \"TORVAN-CRATE-MIB\"";
        return false;
    }
    for (const CatalogueRow& row : catalogueRows) {
        if (row.message == TORVAN_SNMP_NOT_TRANSLATED)
            continue;
        Object object;
        if (!lookUp(row, &object)) {
            initError = row.message;
            objects.clear();
            return false;
        }
        objects.push_back(object);
    }
    for (const auto& bound : channelLimits)
        objects[static_cast<size_t>(objectNamed(bound.object))].limit = objectNamed(bound.limit);
    return true;
}

const Object* objectAt(int object)
{
    return object >= 0 && static_cast<size_t>(object) < objects.size() ? &objects[static_cast<size_t>(object)]
                                                                        : nullptr;
}

/* ---- Outcomes ---- */

/* Decimal text of a number. (std::to_string would export libstdc++'s digit
 * table from the shared library, which exports its interface alone.) */
std::string decimal(unsigned long number)
{
    char text[24];
    snprintf(text, sizeof text, "%lu", number);
    return text;
}

std::string instanceName(const Object& object, int row)
{
    return object.name + "." + decimal(object.rows == 0 ? 0 : static_cast<unsigned long>(row) + 1);
}

/* Records how the exchange ended; returns false for the caller to pass on. */
bool record(kovoCrate* crate, int kind, const std::string& object, const char* format, ...)
#ifdef __GNUC__
    __attribute__((format(printf, 4, 5)))
#endif
    ;
bool record(kovoCrate* crate, int kind, const std::string& object, const char* format, ...)
{
    kovoOutcome& outcome = crate->outcome;
    outcome.kind = kind;
    outcome.errorStatus = 0;
    snprintf(outcome.object, sizeof outcome.object, "%s", object.c_str());
    va_list args;
    va_start(args, format);
    vsnprintf(outcome.reason, sizeof outcome.reason, format, args);
    va_end(args);
    return kind == KOVO_SUCCESS;
}

bool succeed(kovoCrate* crate)
{
    return record(crate, KOVO_SUCCESS, "", "%s", "");
}

/* An identifier as the messages show it: object.index when it is an instance
 * of a known object, dotted decimal otherwise. */
std::string nameOf(const oid* name, size_t length)
{
    for (const Object& object : objects)
        if (length == object.length + 1 && snmp_oid_compare(name, object.length, object.column, object.length) == 0)
            return object.name + "." + decimal(name[length - 1]);
    return dotted(name, length).text;
}

const char* kindOfType(int type)
{
    return type == KOVO_FLOAT ? "Float" : type == KOVO_TEXT ? "text" : "Integer32";
}

bool isException(u_char type)
{
    return type == SNMP_NOSUCHOBJECT || type == SNMP_NOSUCHINSTANCE || type == SNMP_ENDOFMIBVIEW;
}

/* Decodes a variable by its object's type; false when it has another type
 * (an exception marker included). */
bool decode(const Object& object, const netsnmp_variable_list& vars, kovoValue* value)
{
    *value = kovoValue{};
    double number = 0.0;
    if (object.type == KOVO_INTEGER && vars.type == ASN_INTEGER && numberOf(vars, &number)) {
        value->type = KOVO_INTEGER;
        value->integer = *vars.val.integer;
        value->number = number;
        return true;
    }
    if (object.type == KOVO_FLOAT && vars.type != ASN_INTEGER && numberOf(vars, &number)) {
        value->type = KOVO_FLOAT;
        value->number = number;
        return true;
    }
    if (object.type == KOVO_TEXT && vars.type == ASN_OCTET_STR) {
        value->text = copyOf(vars);
        if (value->text == nullptr)
            return false;
        value->type = KOVO_TEXT;
        value->length = vars.val_len;
        return true;
    }
    return false;
}

/* Sends the request (taken over whatever happens) and waits for the answer.
 * The answer, or NULL with the outcome recorded: no answer, not sent, or an
 * error status (naming the variable the status points at, or about). */
netsnmp_pdu* send(kovoCrate* crate, netsnmp_pdu* request, const std::vector<std::string>& about)
{
    if (request == nullptr) {
        record(crate, KOVO_SEND_FAILED, about.empty() ? "" : about[0], "out of memory for the request");
        return nullptr;
    }
    netsnmp_pdu* response = nullptr;
    const int status = snmp_sess_synch_response(crate->session, request, &response);
    const std::string first = about.empty() ? "" : about[0];
    if (status == STAT_SUCCESS && response != nullptr && response->errstat == SNMP_ERR_NOERROR)
        return response;
    if (status == STAT_SUCCESS && response != nullptr) {
        const long index = response->errindex;
        const std::string object = index >= 1 && static_cast<size_t>(index) <= about.size()
                                       ? about[static_cast<size_t>(index - 1)]
                                       : first;
        record(crate, KOVO_ERROR_STATUS, object, "the crate answered with the error status %s",
               kovoErrorStatusName(static_cast<int>(response->errstat)));
        crate->outcome.errorStatus = static_cast<int>(response->errstat);
    } else if (status == STAT_TIMEOUT) {
        const netsnmp_session* session = snmp_sess_session(crate->session);
        record(crate, KOVO_TIMEOUT, first, "no answer (timeout %g s, %d retries)",
               static_cast<double>(session->timeout) / 1e6, session->retries);
    } else {
        char* text = nullptr;
        int liberr = 0, syserr = 0;
        snmp_sess_error(crate->session, &liberr, &syserr, &text);
        record(crate, KOVO_SEND_FAILED, first, "the request could not be sent: %s", text ? text : "unknown error");
        free(text);
    }
    if (response != nullptr)
        snmp_free_pdu(response);
    return nullptr;
}

/* The identifier of one instance, in out; its length. */
size_t instance(const Object& object, int row, oid* out)
{
    memcpy(out, object.column, object.length * sizeof(oid));
    out[object.length] = object.rows == 0 ? 0 : static_cast<oid>(row + 1);
    return object.length + 1;
}

/* Checks that the answer's variable is the instance asked for and decodes it
 * (what: "answer", or "answer to the set"); records why not otherwise. */
bool take(kovoCrate* crate, const Object& object, const std::string& name, const oid* asked, size_t length,
          const netsnmp_variable_list* vars, kovoValue* value, const char* what)
{
    if (vars == nullptr)
        return record(crate, KOVO_OTHER_OBJECT, name, "the crate's %s carries no variable", what);
    if (snmp_oid_compare(vars->name, vars->name_length, asked, length) != 0)
        return record(crate, KOVO_OTHER_OBJECT, name, "the crate's %s is about %s", what,
                      nameOf(vars->name, vars->name_length).c_str());
    if (isException(vars->type))
        return record(crate, KOVO_NO_SUCH, name, "the crate has no such %s (%s)",
                      object.rows == 0 ? "object" : "instance", typeName(vars->type).name);
    kovoValue decoded;
    if (!decode(object, *vars, &decoded))
        return record(crate, KOVO_WRONG_TYPE, name, "the crate's %s holds %s, not the object's %s", what,
                      typeName(vars->type).name, kindOfType(object.type));
    if (value != nullptr)
        *value = decoded;
    else
        kovoFreeValue(&decoded);
    return succeed(crate);
}

/* The refusals a set makes before anything is sent; false, recorded, for a
 * value the object or the crate does not take. */
bool acceptable(kovoCrate* crate, const Object& object, int row, const std::string& name, const kovoValue& value)
{
    if (!object.writable)
        return record(crate, KOVO_REFUSED, name, "%s is read-only, nothing sent", object.name.c_str());
    if (object.type == KOVO_INTEGER && object.ranged && (value.integer < object.low || value.integer > object.high))
        return record(crate, KOVO_REFUSED, name, "%ld is outside %ld to %ld, nothing sent", value.integer, object.low,
                      object.high);
    if (object.type == KOVO_INTEGER && (value.integer < INT32_MIN || value.integer > INT32_MAX))
        return record(crate, KOVO_REFUSED, name, "%ld is no 32-bit integer, nothing sent", value.integer);
    if (object.type == KOVO_TEXT) {
        const size_t length = value.text != nullptr ? strlen(value.text) : 0;
        if (object.ranged && (static_cast<long>(length) < object.low || static_cast<long>(length) > object.high))
            return record(crate, KOVO_REFUSED, name, "a text of %lu bytes is outside %ld to %ld bytes, nothing sent",
                          static_cast<unsigned long>(length), object.low, object.high);
    }
    if (object.type == KOVO_FLOAT &&
        (!std::isfinite(value.number) || std::fabs(value.number) > static_cast<double>(FLT_MAX)))
        return record(crate, KOVO_REFUSED, name, "%g cannot be sent as a single-precision float, nothing sent",
                      value.number);
    if (object.type != KOVO_FLOAT || object.limit < 0) {  // the instance must be there
        kovoValue current;
        if (!kovoGet(crate, static_cast<int>(&object - objects.data()), row, &current))
            return false;
        kovoFreeValue(&current);
        return true;
    }
    kovoValue limit;
    if (!kovoGet(crate, object.limit, row, &limit))
        return false;  // the limit's outcome tells why; nothing was written
    if (static_cast<double>(static_cast<float>(value.number)) > limit.number)
        return record(crate, KOVO_REFUSED, name, "%g is above the channel's %s of %g, nothing sent", value.number,
                      instanceName(objects[static_cast<size_t>(object.limit)], row).c_str(), limit.number);
    return true;
}

/* ---- Bulk reads ---- */

/* Repetitions asked of each GETBULK: rows of every column per answer. */
const long bulkRepetitions = 100;

/* One column of a bulk read: where the walk stands and whether it is done. */
struct Walk {
    const Object* object;
    oid at[MAX_OID_LEN];
    size_t length;
    bool done;
};

/* Takes one answered variable for its column; false, recorded, when the
 * answer goes backwards or holds the wrong type. */
bool step(kovoCrate* crate, Walk& walk, int column, const netsnmp_variable_list& vars,
          std::map<int, std::vector<kovoValue>>& rows, int columns)
{
    const Object& object = *walk.object;
    if (vars.type == SNMP_ENDOFMIBVIEW || vars.name_length != object.length + 1 ||
        snmp_oid_compare(vars.name, object.length, object.column, object.length) != 0) {
        walk.done = true;  // the walk has left the column
        return true;
    }
    const std::string name = nameOf(vars.name, vars.name_length);
    if (snmp_oid_compare(vars.name, vars.name_length, walk.at, walk.length) <= 0)
        return record(crate, KOVO_OTHER_OBJECT, name, "the crate's answer to a walk past %s does not lie beyond it",
                      nameOf(walk.at, walk.length).c_str());
    const oid index = vars.name[object.length];
    if (index < 1 || index > static_cast<oid>(object.rows))
        return record(crate, KOVO_OTHER_OBJECT, name, "the crate's answer is about a row outside the table");
    kovoValue value;
    if (!decode(object, vars, &value))
        return record(crate, KOVO_WRONG_TYPE, name, "the crate's answer holds %s, not the object's %s",
                      typeName(vars.type).name, kindOfType(object.type));
    std::vector<kovoValue>& row = rows[static_cast<int>(index) - 1];
    if (row.empty())
        row.resize(static_cast<size_t>(columns), kovoValue{});
    kovoFreeValue(&row[static_cast<size_t>(column)]);
    row[static_cast<size_t>(column)] = value;
    memcpy(walk.at, vars.name, vars.name_length * sizeof(oid));
    walk.length = vars.name_length;
    return true;
}

/* One GETBULK of every column not yet done; false, recorded, on a failure. */
bool bulkStep(kovoCrate* crate, std::vector<Walk>& walks, std::map<int, std::vector<kovoValue>>& rows)
{
    std::vector<size_t> active;
    std::vector<std::string> about;
    netsnmp_pdu* request = snmp_pdu_create(SNMP_MSG_GETBULK);
    for (size_t i = 0; i < walks.size(); ++i) {
        if (walks[i].done)
            continue;
        active.push_back(i);
        about.push_back(walks[i].object->name);
        if (request != nullptr && snmp_add_null_var(request, walks[i].at, walks[i].length) == nullptr) {
            snmp_free_pdu(request);
            request = nullptr;
        }
    }
    if (request != nullptr) {
        request->non_repeaters = 0;
        request->max_repetitions = bulkRepetitions;
    }
    netsnmp_pdu* response = send(crate, request, about);
    if (response == nullptr)
        return false;
    bool ok = true;
    size_t position = 0;
    for (const netsnmp_variable_list* vars = response->variables; vars != nullptr && ok;
         vars = vars->next_variable, ++position) {
        const size_t column = active[position % active.size()];
        if (!walks[column].done)
            ok = step(crate, walks[column], static_cast<int>(column), *vars, rows, static_cast<int>(walks.size()));
    }
    if (ok && position == 0)
        ok = record(crate, KOVO_OTHER_OBJECT, about[0], "the crate's answer to a walk carries no variable");
    snmp_free_pdu(response);
    return ok;
}

void freeRows(std::map<int, std::vector<kovoValue>>& rows)
{
    for (auto& entry : rows)
        for (kovoValue& value : entry.second)
            kovoFreeValue(&value);
}

}  // namespace

/* ---- Start-up and sessions ---- */

int kovoInit(char* error, size_t size)
{
    if (!started)
        started = start();
    if (!started && error != nullptr && size > 0)
        snprintf(error, size, "%s", initError.c_str());
    return started ? 1 : 0;
}

kovoCrate* kovoOpen(const char* host, const char* readCommunity_, const char* writeCommunity_, double timeout,
                    int retries, char* error, size_t size)
{
    if (!kovoInit(error, size))
        return nullptr;
    if (host == nullptr || host[0] == '\0') {
        if (error != nullptr && size > 0)
            snprintf(error, size, "no crate address given");
        return nullptr;
    }
    const char* configured = netsnmp_ds_get_string(NETSNMP_DS_LIBRARY_ID, NETSNMP_DS_LIB_COMMUNITY);
    const char* community = readCommunity_ ? readCommunity_ : configured ? configured : readCommunity;
    std::string peer = host, readText = community;

    netsnmp_session session;
    snmp_sess_init(&session);
    session.version = SNMP_VERSION_2c;
    session.peername = &peer[0];
    session.community = reinterpret_cast<u_char*>(&readText[0]);
    session.community_len = readText.size();
    if (timeout > 0)
        session.timeout = timeout * 1e6 < static_cast<double>(LONG_MAX) ? static_cast<long>(timeout * 1e6) : LONG_MAX;
    if (retries >= 0)
        session.retries = retries;
    void* handle = torvan_session::openFromCrate(&session);  // copies what it keeps; answers only from the crate
    if (handle == nullptr) {
        char* text = nullptr;
        int liberr = 0, syserr = 0;
        snmp_error(&session, &liberr, &syserr, &text);
        if (error != nullptr && size > 0)
            snprintf(error, size, "cannot open a session to %s: %s", host, text ? text : "unknown error");
        free(text);
        return nullptr;
    }
    kovoCrate* crate = new kovoCrate{handle, host, writeCommunity_ ? writeCommunity_ : writeCommunity, kovoOutcome{}};
    succeed(crate);
    return crate;
}

void kovoClose(kovoCrate* crate)
{
    if (crate == nullptr)
        return;
    snmp_sess_close(crate->session);
    delete crate;
}

const char* kovoHost(const kovoCrate* crate)
{
    return crate->host.c_str();
}

const kovoOutcome* kovoLastOutcome(const kovoCrate* crate)
{
    return &crate->outcome;
}

const char* kovoErrorStatusName(int status)
{
    static const char* const names[] = {
        "noError",   "tooBig",      "noSuchName",    "badValue",          "readOnly",
        "genErr",    "noAccess",    "wrongType",     "wrongLength",       "wrongEncoding",
        "wrongValue", "noCreation", "inconsistentValue", "resourceUnavailable", "commitFailed",
        "undoFailed", "authorizationError", "notWritable", "inconsistentName",
    };
    return status >= 0 && static_cast<size_t>(status) < sizeof names / sizeof names[0] ? names[status] : "unknown";
}

/* ---- Objects ---- */

int kovoObjectCount(void)
{
    return static_cast<int>(objects.size());
}

int kovoObject(const char* name)
{
    return name != nullptr ? objectNamed(name) : -1;
}

const char* kovoObjectName(int object)
{
    const Object* o = objectAt(object);
    return o ? o->name.c_str() : nullptr;
}

int kovoObjectType(int object)
{
    const Object* o = objectAt(object);
    return o ? o->type : KOVO_NONE;
}

int kovoObjectWritable(int object)
{
    const Object* o = objectAt(object);
    return o && o->writable ? 1 : 0;
}

int kovoObjectRows(int object)
{
    const Object* o = objectAt(object);
    return o ? o->rows : 0;
}

/* ---- Gets and sets ---- */

int kovoGet(kovoCrate* crate, int object, int row, kovoValue* value)
{
    const Object* o = objectAt(object);
    if (o == nullptr)
        return record(crate, KOVO_REFUSED, "", "no such object (number %d), nothing sent", object);
    if (o->rows > 0 && (row < 0 || row >= o->rows))
        return record(crate, KOVO_REFUSED, o->name, "row %d is outside 0 to %d, nothing sent", row, o->rows - 1);
    oid asked[MAX_OID_LEN];
    const size_t length = instance(*o, row, asked);
    const std::string name = instanceName(*o, row);
    netsnmp_pdu* response = send(crate, makeRequest("kovoGet", asked, length, nullptr), {name});
    if (response == nullptr)
        return 0;
    const bool ok = response->variables != nullptr && response->variables->next_variable != nullptr
                        ? record(crate, KOVO_OTHER_OBJECT, name, "the crate's answer carries several variables")
                        : take(crate, *o, name, asked, length, response->variables, value, "answer");
    snmp_free_pdu(response);
    return ok ? 1 : 0;
}

int kovoCheckSet(kovoCrate* crate, int object, int row, const kovoValue* value)
{
    const Object* o = objectAt(object);
    if (o == nullptr || value == nullptr)
        return record(crate, KOVO_REFUSED, "", "no such object (number %d), nothing sent", object);
    if (o->rows > 0 && (row < 0 || row >= o->rows))
        return record(crate, KOVO_REFUSED, o->name, "row %d is outside 0 to %d, nothing sent", row, o->rows - 1);
    return acceptable(crate, *o, row, instanceName(*o, row), *value) ? 1 : 0;
}

int kovoSet(kovoCrate* crate, int object, int row, const kovoValue* value, kovoValue* echo)
{
    if (!kovoCheckSet(crate, object, row, value))
        return 0;
    const Object* o = objectAt(object);
    const std::string name = instanceName(*o, row);

    const int32_t integer = static_cast<int32_t>(value->integer);  // INTEGER is sent from 4 bytes
    const float number = static_cast<float>(value->number);        // rounds to nearest
    const char* text = value->text != nullptr ? value->text : "";
    const SetValue set = o->type == KOVO_INTEGER ? SetValue{ASN_INTEGER, &integer, sizeof integer}
                         : o->type == KOVO_FLOAT ? SetValue{ASN_OPAQUE_FLOAT, &number, sizeof number}
                                                 : SetValue{ASN_OCTET_STR, text, strlen(text)};
    oid asked[MAX_OID_LEN];
    const size_t length = instance(*o, row, asked);
    netsnmp_pdu* request = makeRequest("kovoSet", asked, length, &set);
    if (request != nullptr) {  // the session's own write community, in place of the library's
        free(request->community);
        request->community = reinterpret_cast<u_char*>(StrDup(crate->writeCommunity.c_str()));
        request->community_len = crate->writeCommunity.size();
        if (request->community == nullptr) {
            snmp_free_pdu(request);
            request = nullptr;
        }
    }
    netsnmp_pdu* response = send(crate, request, {name});
    if (response == nullptr)
        return 0;
    const bool ok = response->variables != nullptr && response->variables->next_variable != nullptr
                        ? record(crate, KOVO_OTHER_OBJECT, name, "the crate's answer to the set carries several variables")
                        : take(crate, *o, name, asked, length, response->variables, echo, "answer to the set");
    snmp_free_pdu(response);
    return ok ? 1 : 0;
}

/* ---- Bulk reads ---- */

int kovoReadScalars(kovoCrate* crate, const int* objectList, int count, kovoValue* values)
{
    std::vector<std::string> names;
    netsnmp_pdu* request = count > 0 ? snmp_pdu_create(SNMP_MSG_GET) : nullptr;
    for (int i = 0; i < count; ++i) {
        const Object* o = objectAt(objectList[i]);
        if (o == nullptr || o->rows != 0) {
            if (request != nullptr)
                snmp_free_pdu(request);
            return record(crate, KOVO_REFUSED, o ? o->name : "", "not a crate-wide object, nothing sent");
        }
        names.push_back(instanceName(*o, 0));
        oid asked[MAX_OID_LEN];
        const size_t length = instance(*o, 0, asked);
        if (request != nullptr && snmp_add_null_var(request, asked, length) == nullptr) {
            snmp_free_pdu(request);
            request = nullptr;
        }
    }
    if (count <= 0)
        return record(crate, KOVO_REFUSED, "", "no object to read, nothing sent");
    netsnmp_pdu* response = send(crate, request, names);
    if (response == nullptr)
        return 0;
    bool ok = true;
    const netsnmp_variable_list* vars = response->variables;
    int filled = 0;
    for (; filled < count && ok; vars = vars ? vars->next_variable : nullptr) {
        const Object& o = objects[static_cast<size_t>(objectList[filled])];
        oid asked[MAX_OID_LEN];
        const size_t length = instance(o, 0, asked);
        ok = take(crate, o, names[static_cast<size_t>(filled)], asked, length, vars, &values[filled], "answer");
        if (!ok && crate->outcome.kind == KOVO_NO_SUCH) {  // a crate without this object: no value
            values[filled] = kovoValue{};
            ok = succeed(crate);
        }
        filled += ok ? 1 : 0;
    }
    if (ok && vars != nullptr)
        ok = record(crate, KOVO_OTHER_OBJECT, nameOf(vars->name, vars->name_length),
                    "the crate's answer carries more variables than were asked for");
    if (!ok)
        for (int j = 0; j < filled; ++j)
            kovoFreeValue(&values[j]);
    snmp_free_pdu(response);
    return ok ? 1 : 0;
}

kovoTable* kovoReadColumns(kovoCrate* crate, const int* objectList, int count)
{
    if (count <= 0) {
        record(crate, KOVO_REFUSED, "", "no column to read, nothing sent");
        return nullptr;
    }
    std::vector<Walk> walks(static_cast<size_t>(count));
    for (int i = 0; i < count; ++i) {
        const Object* o = objectAt(objectList[i]);
        if (o == nullptr || !o->channel) {
            record(crate, KOVO_REFUSED, o ? o->name : "", "not a column of the channel table, nothing sent");
            return nullptr;
        }
        Walk& walk = walks[static_cast<size_t>(i)];
        walk.object = o;
        memcpy(walk.at, o->column, o->length * sizeof(oid));
        walk.length = o->length;
        walk.done = false;
    }
    std::map<int, std::vector<kovoValue>> rows;
    for (;;) {
        bool pending = false;
        for (const Walk& walk : walks)
            pending = pending || !walk.done;
        if (!pending)
            break;
        if (!bulkStep(crate, walks, rows)) {
            freeRows(rows);
            return nullptr;
        }
    }
    auto* table = static_cast<kovoTable*>(calloc(1, sizeof(kovoTable)));
    const size_t cells = rows.size() * static_cast<size_t>(count);
    if (table != nullptr) {
        table->channels = static_cast<int*>(calloc(rows.size() + 1, sizeof(int)));
        table->values = static_cast<kovoValue*>(calloc(cells + 1, sizeof(kovoValue)));
    }
    if (table == nullptr || table->channels == nullptr || table->values == nullptr) {
        freeRows(rows);
        kovoFreeTable(table);
        record(crate, KOVO_SEND_FAILED, "", "out of memory for the table");
        return nullptr;
    }
    table->rows = static_cast<int>(rows.size());
    table->columns = count;
    size_t r = 0;
    for (auto& entry : rows) {
        table->channels[r] = entry.first;
        memcpy(&table->values[r * static_cast<size_t>(count)], entry.second.data(),
               static_cast<size_t>(count) * sizeof(kovoValue));
        ++r;
    }
    succeed(crate);
    return table;
}

void kovoFreeValue(kovoValue* value)
{
    if (value == nullptr)
        return;
    free(value->text);
    *value = kovoValue{};
}

void kovoFreeTable(kovoTable* table)
{
    if (table == nullptr)
        return;
    if (table->values != nullptr)
        for (size_t i = 0; i < static_cast<size_t>(table->rows) * static_cast<size_t>(table->columns); ++i)
            kovoFreeValue(&table->values[i]);
    free(table->values);
    free(table->channels);
    free(table);
}
