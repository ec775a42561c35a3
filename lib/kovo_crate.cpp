/*
 * kovo_crate.cpp: the scripting session of kovo_crate.h, a policy on the
 * library's client core (core.h): a quiet start-up, sessions with the
 * caller's address, communities and timing, gets and sets that print nothing
 * and keep each exchange's outcome, and bulk reads of the channel table and
 * of the crate-wide objects.
 *
 * The objects are the catalogue's translated rows (catalogue.def), named by
 * their MIB names; the MIB gives each its column identifier, value type,
 * access, range and units, the catalogue its rows, limit and short name.
 *
 * Every exported function catches what the C++ inside may throw and turns it
 * into a failure: no exception crosses the C interface.
 */
#include <algorithm>
#include <cfloat>
#include <climits>
#include <cmath>
#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <map>
#include <string>
#include <vector>

#include "catalogue.h"
#include "core.h"
#include "kovo_crate.h"

using namespace torvan_core;

struct kovoCrate {
    HSNMP session;  // NULL once closed
    std::string host;
    kovoOutcome outcome;
    unsigned long dropped;  // datagrams from elsewhere dropped during the current call
    int retries;            // attempts after the first, made by the session itself
    size_t communityBytes;  // the longer community's, as a request carries it
    int (*check)(void*);    // the caller's check between attempts, or NULL
    void* checkData;
};

namespace {

/* ---- The objects ---- */

/* One object as the session sees it: the catalogue's row, and what the MIB
 * says of it. A table object's identifier is its column, to which the MIB
 * index is appended; a crate-wide object's lacks the instance 0. */
struct Object {
    std::string name;
    int rows;      // rows the catalogue translates; 0 for a crate-wide object
    bool channel;  // a column of the channel table
    oid column[MAX_OID_LEN];
    size_t length;
    int type;
    bool writable;
    bool ranged;  // integer range or text size from the MIB
    long low, high;
    std::string units;
    int limit;  // the catalogue's bounding object, or -1
    const char* alias;
};

struct CatalogueRow {
    const char* name;
    int rows;  // 0 for a crate-wide object
    int translated;
    const char* limit;
    const char* alias;
};
#define KOVO_SCALAR_ROW(name, Object, mib, message) {#mib, 0, 0, "none", ""},
#define KOVO_TABLE_ROW(name, Object, mib, rows, translated, message, limit, alias) \
    {#mib, rows, translated, #limit, alias},
#define KOVO_UNFILLED(...)
const CatalogueRow catalogueRows[] = {
    TORVAN_SNMP_CATALOGUE(KOVO_SCALAR_ROW, KOVO_TABLE_ROW, KOVO_UNFILLED, KOVO_UNFILLED)};
#undef KOVO_SCALAR_ROW
#undef KOVO_TABLE_ROW
#undef KOVO_UNFILLED

std::vector<Object> objects;
std::string initError;
bool started = false;

int objectNamed(const std::string& name)
{
    for (size_t i = 0; i < objects.size(); ++i)
        if (objects[i].name == name || (objects[i].alias[0] != '\0' && name == objects[i].alias))
            return static_cast<int>(i);
    return -1;
}

const Object* objectAt(int object)
{
    return object >= 0 && static_cast<size_t>(object) < objects.size() ? &objects[static_cast<size_t>(object)]
                                                                        : nullptr;
}

/* Looks one catalogue row up in the loaded MIB; false when it is not there. */
bool lookUp(const CatalogueRow& row, Object* object)
{
    object->name = row.name;
    object->rows = row.translated;
    object->channel = row.rows == CHANNEL_ROWS;
    object->length = MAX_OID_LEN;
    if (get_node(row.name, object->column, &object->length) == 0)
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
    object->units = node->units != nullptr ? node->units : "";
    object->limit = -1;
    object->alias = row.alias;
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
    if (!torvan_core::start("snmpapp", false)) {
        initError = "Unable to load SNMP MIB file \"TORVAN-CRATE-MIB\"";
        return false;
    }
    std::vector<Object> found(sizeof catalogueRows / sizeof catalogueRows[0]);
    for (size_t i = 0; i < found.size(); ++i)
        if (!lookUp(catalogueRows[i], &found[i])) {
            initError = std::string("TORVAN-CRATE-MIB defines no object ") + catalogueRows[i].name;
            return false;
        }
    objects = std::move(found);
    for (size_t i = 0; i < objects.size(); ++i) {
        const std::string limit = catalogueRows[i].limit;
        objects[i].limit = limit == "none" ? -1 : objectNamed(limit);
        if (limit != "none" && objects[i].limit < 0) {
            initError = "the limit " + limit + " of " + objects[i].name + " is no object of the catalogue";
            objects.clear();
            return false;
        }
    }
    return true;
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
#ifdef __GNUC__
__attribute__((format(printf, 4, 5)))
#endif
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
    outcome.dropped = crate->dropped;
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

/* The answer types each value type of the MIB takes. */
bool takesInteger(const netsnmp_variable_list& vars) { return vars.type == ASN_INTEGER; }
bool takesFloat(const netsnmp_variable_list& vars) { return vars.type != ASN_INTEGER && isNumber(vars); }
bool takesText(const netsnmp_variable_list& vars) { return vars.type == ASN_OCTET_STR; }
bool (*takes(int type))(const netsnmp_variable_list&)
{
    return type == KOVO_FLOAT ? takesFloat : type == KOVO_TEXT ? takesText : takesInteger;
}

/* Decodes a variable by its object's type; false when it has another type
 * (an exception marker included) or its text cannot be allocated. */
bool decode(const Object& object, const netsnmp_variable_list& vars, kovoValue* value)
{
    *value = kovoValue{};
    if (!takes(object.type)(vars))
        return false;
    value->type = object.type;
    if (object.type == KOVO_TEXT) {
        value->text = copyOf(vars);
        value->length = vars.val_len;
        return value->text != nullptr;
    }
    numberOf(vars, &value->number);
    value->integer = object.type == KOVO_INTEGER ? *vars.val.integer : 0;
    return true;
}

/* Records a failed exchange of the core in the session's outcome; about
 * names the variables asked for, in order. Returns false. */
bool recordFailure(kovoCrate* crate, const Outcome& outcome, const std::vector<std::string>& about,
                   bool interrupted = false)
{
    const std::string first = about.empty() ? "" : about[0];
    if (interrupted)
        return record(crate, KOVO_INTERRUPTED, first, "no answer yet, and stopped by the caller before the next attempt");
    switch (outcome.result) {
    case Result::success:
        break;
    case Result::notSent:
        record(crate, KOVO_SEND_FAILED, first, "%s", outcome.problem);
        break;
    case Result::timeout: {
        const netsnmp_session* session = snmp_sess_session(crate->session);
        record(crate, KOVO_TIMEOUT, first, "no answer (timeout %g s, %d retries)",
               static_cast<double>(session->timeout) / 1e6, crate->retries);
        break;
    }
    case Result::sendFailed: {
        char* text = nullptr;
        int liberr = 0, syserr = 0;
        snmp_sess_error(crate->session, &liberr, &syserr, &text);
        record(crate, KOVO_SEND_FAILED, first, "the request could not be sent: %s", text ? text : "unknown error");
        free(text);
        break;
    }
    case Result::errorStatus: {
        const long index = outcome.errorIndex;
        const std::string object = index >= 1 && static_cast<size_t>(index) <= about.size()
                                       ? about[static_cast<size_t>(index - 1)]
                                       : first;
        record(crate, KOVO_ERROR_STATUS, object, "the crate answered with the error status %s",
               kovoErrorStatusName(static_cast<int>(outcome.errorStatus)));
        crate->outcome.errorStatus = static_cast<int>(outcome.errorStatus);
        break;
    }
    case Result::noVariable:
        record(crate, KOVO_OTHER_OBJECT, first, "the crate's answer carries no variable");
        break;
    case Result::otherObject:
        record(crate, KOVO_OTHER_OBJECT, first, "the crate's answer is about %s",
               nameOf(outcome.about, outcome.aboutLength).c_str());
        break;
    }
    return false;
}

/* The session of an open crate; NULL, recorded where there is a crate, for
 * a NULL or closed one. */
HSNMP sessionOf(kovoCrate* crate)
{
    if (crate == nullptr)
        return nullptr;
    if (crate->session == nullptr)
        record(crate, KOVO_REFUSED, "", "the session to %s is closed, nothing sent", crate->host.c_str());
    return crate->session;
}

/* One exchange of the core for the session, its attempts made one at a
 * time under one request-id, with the caller's check between them: the
 * answer, or a null Response with *outcome saying why (and *interrupted
 * when the check stopped it). */
Response attempts(kovoCrate* crate, int command, const Variable* asked, size_t count, long repetitions,
                  Outcome* outcome, bool* interrupted)
{
    *interrupted = false;
    long requestId = 0;
    for (int attempt = 0;; ++attempt) {
        Response response = exchange(crate->session, command, asked, count, repetitions, outcome, requestId);
        crate->dropped += outcome->dropped;
        if (response || outcome->result != Result::timeout || attempt >= crate->retries)
            return response;
        if (crate->check != nullptr && crate->check(crate->checkData) != 0) {
            *interrupted = true;
            return response;
        }
        requestId = outcome->requestId;
    }
}

/* One exchange for the session: the answer, or a null Response with the
 * outcome recorded. */
Response exchangeFor(kovoCrate* crate, int command, const std::vector<Variable>& asked, long repetitions,
                     const std::vector<std::string>& about)
{
    Outcome outcome;
    bool interrupted = false;
    Response response = attempts(crate, command, asked.data(), asked.size(), repetitions, &outcome, &interrupted);
    if (!response)
        recordFailure(crate, outcome, about, interrupted);
    return response;
}

/* The identifier of one instance, in out; its length. */
size_t instance(const Object& object, int row, oid* out)
{
    memcpy(out, object.column, object.length * sizeof(oid));
    out[object.length] = object.rows == 0 ? 0 : static_cast<oid>(row + 1);
    return object.length + 1;
}

/* Takes the answer's value of one instance asked (what: "answer", or "answer
 * to the set"); records why not otherwise. */
bool take(kovoCrate* crate, const Object& object, const std::string& name, const netsnmp_pdu& response,
          const oid* asked, size_t length, kovoValue* value, const char* what)
{
    bool accepted = false;
    const netsnmp_variable_list* vars = answerFor(response, asked, length, takes(object.type), &accepted);
    if (vars == nullptr)
        return record(crate, KOVO_OTHER_OBJECT, name, "the crate's %s carries no variable for it", what);
    if (!accepted && isException(vars->type))
        return record(crate, KOVO_NO_SUCH, name, "the crate has no such %s (%s)",
                      object.rows == 0 ? "object" : "instance", typeName(vars->type));
    kovoValue decoded;
    if (!accepted || !decode(object, *vars, &decoded))
        return record(crate, KOVO_WRONG_TYPE, name, "the crate's %s holds %s, not the object's %s", what,
                      typeName(vars->type), kindOfType(object.type));
    if (value != nullptr)
        *value = decoded;
    else
        kovoFreeValue(&decoded);
    return succeed(crate);
}

/* The bytes of a text value: length of them, or up to the terminator when
 * length is 0. */
size_t textLength(const kovoValue& value)
{
    return value.text == nullptr ? 0 : value.length > 0 ? value.length : strlen(value.text);
}

/* Gets one instance; the refusals of an unknown object or row first. */
bool getOne(kovoCrate* crate, int object, int row, kovoValue* value)
{
    const Object* o = objectAt(object);
    if (o == nullptr)
        return record(crate, KOVO_REFUSED, "", "no such object (number %d), nothing sent", object);
    if (o->rows > 0 && (row < 0 || row >= o->rows))
        return record(crate, KOVO_REFUSED, o->name, "row %d is outside 0 to %d, nothing sent", row, o->rows - 1);
    oid asked[MAX_OID_LEN];
    const size_t length = instance(*o, row, asked);
    const std::string name = instanceName(*o, row);
    const Response response = exchangeFor(crate, SNMP_MSG_GET, {{asked, length, 0, nullptr, 0}}, 0, {name});
    return response && take(crate, *o, name, *response, asked, length, value, "answer");
}

/* The refusals of a value that need nothing from the crate; false, recorded,
 * for a value the object does not take. */
bool acceptable(kovoCrate* crate, const Object& object, const std::string& name, const kovoValue& value)
{
    if (!object.writable)
        return record(crate, KOVO_REFUSED, name, "%s is read-only, nothing sent", object.name.c_str());
    if (object.type == KOVO_INTEGER && object.ranged && (value.integer < object.low || value.integer > object.high))
        return record(crate, KOVO_REFUSED, name, "%ld is outside %ld to %ld, nothing sent", value.integer, object.low,
                      object.high);
    if (object.type == KOVO_INTEGER && (value.integer < INT32_MIN || value.integer > INT32_MAX))
        return record(crate, KOVO_REFUSED, name, "%ld is no 32-bit integer, nothing sent", value.integer);
    if (object.type == KOVO_TEXT) {
        const size_t length = textLength(value);
        if (object.ranged && (static_cast<long>(length) < object.low || static_cast<long>(length) > object.high))
            return record(crate, KOVO_REFUSED, name, "a text of %lu bytes is outside %ld to %ld bytes, nothing sent",
                          static_cast<unsigned long>(length), object.low, object.high);
    }
    if (object.type == KOVO_FLOAT &&
        (!std::isfinite(value.number) || std::fabs(value.number) > static_cast<double>(FLT_MAX)))
        return record(crate, KOVO_REFUSED, name, "%g cannot be sent as a single-precision float, nothing sent",
                      value.number);
    // A Float of the crate is a voltage, a current or a rate: none is negative.
    if (object.type == KOVO_FLOAT && value.number < 0)
        return record(crate, KOVO_REFUSED, name, "%g is negative, which %s never is, nothing sent", value.number,
                      object.name.c_str());
    return true;
}

/* Whether a number may be written under the limit its limit instance
 * (limitName) reads; false, recorded, when not. */
bool withinLimit(kovoCrate* crate, const std::string& name, const std::string& limitName, double number, double limit)
{
    // A limit that is no number, or below zero, bounds nothing: no write is safe.
    if (!std::isfinite(limit) || limit < 0)
        return record(crate, KOVO_REFUSED, name, "the channel's %s reads %g, which bounds no write, nothing sent",
                      limitName.c_str(), limit);
    if (static_cast<double>(static_cast<float>(number)) > limit)
        return record(crate, KOVO_REFUSED, name, "%g is above the channel's %s of %g, nothing sent", number,
                      limitName.c_str(), limit);
    return true;
}

/* ---- Requests as large as fit a datagram ---- */

/* The most bytes an SNMP message of many variables, or its answer, may take. */
const size_t datagramBytes = 1400;

/* Bytes of a BER encoding whose content takes content bytes. */
size_t encoded(size_t content)
{
    return 1 + (content < 0x80 ? 1 : content < 0x100 ? 2 : content < 0x10000 ? 3 : 5) + content;
}

/* Bytes of a message carrying variables of variableBytes bytes in all. */
size_t messageBytes(size_t communityBytes, size_t variableBytes)
{
    const size_t pdu = encoded(encoded(4) + encoded(1) + encoded(1) + encoded(variableBytes));  // id, status, index
    return encoded(encoded(1) + encoded(communityBytes) + pdu);
}

/* Bytes of one variable of an object in a request or in its answer,
 * whichever is more: a get's answer brings a value of the object's type (a
 * text as long as the MIB lets it be), a set's echoes the value sent. */
size_t variableBytes(const Variable& v, const Object& object)
{
    size_t name = 1;  // the first two sub-identifiers share a byte
    for (size_t i = 2; i < v.length; ++i)
        for (oid rest = v.name[i];; rest >>= 7) {
            ++name;
            if (rest < 0x80)
                break;
        }
    const size_t value = object.type == KOVO_FLOAT     ? encoded(encoded(4) + 2)  // opaque float: tag 9F 78
                         : object.type == KOVO_INTEGER ? encoded(4)
                         : v.type != 0                 ? encoded(v.size)
                                                       : encoded(object.ranged ? static_cast<size_t>(object.high) : 255);
    return encoded(encoded(name) + value);
}

/* Sends variables of the object in order, in requests as large as fit a
 * datagram, and calls answered(first, count, response, outcome, interrupted)
 * as each request ends, until it returns false. A request the crate answers
 * tooBig goes again in halves, and no later request is larger. */
template <typename Answered>
void inRequests(kovoCrate* crate, int command, const std::vector<Variable>& asked, const Object& object,
                Answered answered)
{
    std::vector<size_t> bytes;
    for (const Variable& v : asked)
        bytes.push_back(variableBytes(v, object));
    size_t most = asked.size();
    for (size_t at = 0; at < asked.size();) {
        size_t count = 1, sum = bytes[at];
        while (at + count < asked.size() && count < most &&
               messageBytes(crate->communityBytes, sum + bytes[at + count]) <= datagramBytes)
            sum += bytes[at + count++];
        Outcome outcome;
        bool interrupted = false;
        const Response response = attempts(crate, command, &asked[at], count, 0, &outcome, &interrupted);
        if (!response && outcome.result == Result::errorStatus && outcome.errorStatus == SNMP_ERR_TOOBIG &&
            count > 1) {
            most = count / 2;
            continue;
        }
        if (!answered(at, count, response, outcome, interrupted))
            return;
        at += count;
    }
}

/* ---- Sets ---- */

/* The instances of the rows of an object, as the variables of a get: their
 * identifiers kept in *ids, their names in *names. */
std::vector<Variable> instances(const Object& object, const kovoRowSet* rows, int count, std::vector<oid>* ids,
                                std::vector<std::string>* names)
{
    const size_t length = object.length + 1;
    ids->assign(static_cast<size_t>(count) * length, 0);
    std::vector<Variable> asked;
    for (int i = 0; i < count; ++i) {
        oid* name = ids->data() + static_cast<size_t>(i) * length;
        asked.push_back({name, instance(object, rows[i].row, name), 0, nullptr, 0});
        names->push_back(instanceName(object, rows[i].row));
    }
    return asked;
}

/* The names of variables first to first + count. */
std::vector<std::string> namesOf(const std::vector<std::string>& names, size_t first, size_t count)
{
    const auto from = names.begin() + static_cast<std::ptrdiff_t>(first);
    return {from, from + static_cast<std::ptrdiff_t>(count)};
}

/* Checks the rows of a set before anything is sent (see kovoSetRows); false,
 * recorded, at the first refusal. */
bool checkRows(kovoCrate* crate, const Object& o, const kovoRowSet* rows, int count)
{
    std::vector<bool> named(static_cast<size_t>(std::max(o.rows, 1)));
    for (int i = 0; i < count; ++i) {
        const int row = o.rows > 0 ? rows[i].row : 0;
        if (row < 0 || row >= std::max(o.rows, 1))
            return record(crate, KOVO_REFUSED, o.name, "row %d is outside 0 to %d, nothing sent", row, o.rows - 1);
        const std::string name = instanceName(o, row);
        if (named[static_cast<size_t>(row)])
            return record(crate, KOVO_REFUSED, name, "the row is named twice in one set, nothing sent");
        named[static_cast<size_t>(row)] = true;
        if (!acceptable(crate, o, name, rows[i].value))
            return false;
    }
    // What the checks read: the bounding object where there is one, else the
    // object itself, so that an instance the crate does not have fails here.
    const bool bounded = o.type == KOVO_FLOAT && o.limit >= 0;
    const Object& read = bounded ? objects[static_cast<size_t>(o.limit)] : o;
    std::vector<oid> ids;
    std::vector<std::string> names;
    const std::vector<Variable> asked = instances(read, rows, count, &ids, &names);
    bool checked = true;
    inRequests(crate, SNMP_MSG_GET, asked, read,
               [&](size_t first, size_t n, const Response& response, const Outcome& outcome, bool interrupted) {
                   if (!response)
                       return checked = recordFailure(crate, outcome, namesOf(names, first, n), interrupted);
                   for (size_t i = first; i < first + n && checked; ++i) {
                       kovoValue current{};
                       checked = take(crate, read, names[i], *response, asked[i].name, asked[i].length, &current,
                                      "answer") &&
                                 (!bounded || withinLimit(crate, instanceName(o, rows[i].row), names[i],
                                                          rows[i].value.number, current.number));
                       kovoFreeValue(&current);
                   }
                   return checked;
               });
    return checked;
}

/* The value sent, as the echo of a set whose answer holds none of its type. */
kovoValue sentValue(const Object& object, const kovoValue& value)
{
    const size_t length = object.type == KOVO_TEXT ? textLength(value) : 0;
    kovoValue sent{object.type, object.type == KOVO_INTEGER ? value.integer : 0,
                   object.type == KOVO_INTEGER ? static_cast<double>(value.integer) : static_cast<float>(value.number),
                   nullptr, length};
    if (object.type == KOVO_TEXT && (sent.text = static_cast<char*>(malloc(length + 1))) != nullptr) {
        memcpy(sent.text, value.text != nullptr ? value.text : "", length);
        sent.text[length] = '\0';
    }
    return sent;
}

/* Takes one row's part of a set's answer: written, with the crate's echo.
 * The crate's noError confirms the write whatever value it echoes: where
 * that holds none of the object's type, the value sent stands and the
 * outcome keeps a note of the odd echo. Not written when the answer names
 * nothing of the row. */
void takeEcho(kovoCrate* crate, const Object& o, kovoRowSet& row, const std::string& name,
              const netsnmp_pdu& response, const Variable& asked)
{
    if (take(crate, o, name, response, asked.name, asked.length, &row.echo, "answer to the set")) {
        row.written = 1;
    } else if (crate->outcome.kind != KOVO_OTHER_OBJECT) {
        const std::string note = crate->outcome.reason;
        record(crate, KOVO_SUCCESS, name, "%s; the value sent stands", note.c_str());
        row.echo = sentValue(o, row.value);
        row.written = 1;
    }
    row.outcome = crate->outcome;
}

/* The variables of a set of the rows: each row's value as the object's type
 * travels (INTEGER from 4 bytes, a Float rounded to single precision), kept
 * in *integers and *numbers. */
std::vector<Variable> setVariables(const Object& o, const kovoRowSet* rows, int count, std::vector<oid>* ids,
                                   std::vector<std::string>* names, std::vector<int32_t>* integers,
                                   std::vector<float>* numbers)
{
    std::vector<Variable> asked = instances(o, rows, count, ids, names);
    integers->resize(static_cast<size_t>(count));
    numbers->resize(static_cast<size_t>(count));
    for (size_t i = 0; i < asked.size(); ++i) {
        const kovoValue& value = rows[i].value;
        Variable& v = asked[i];
        if (o.type == KOVO_INTEGER) {
            (*integers)[i] = static_cast<int32_t>(value.integer);
            v = {v.name, v.length, ASN_INTEGER, &(*integers)[i], sizeof(int32_t)};
        } else if (o.type == KOVO_FLOAT) {
            (*numbers)[i] = static_cast<float>(value.number);
            v = {v.name, v.length, ASN_OPAQUE_FLOAT, &(*numbers)[i], sizeof(float)};
        } else {
            v = {v.name, v.length, ASN_OCTET_STR, value.text != nullptr ? value.text : "", textLength(value)};
        }
    }
    return asked;
}

/* Gives the rows never sent their outcome (the refusal, or an unanswered
 * request before them) and the session that of the first row not written;
 * true when every row was written. */
bool settle(kovoCrate* crate, kovoRowSet* rows, int count, bool checked)
{
    const kovoOutcome refusal = crate->outcome;
    int unwritten = -1;
    for (int i = 0; i < count; ++i) {
        if (!checked) {
            rows[i].outcome = refusal;
        } else if (!rows[i].sent) {
            record(crate, KOVO_REFUSED, "", "not sent, as an earlier request of the set went unanswered");
            rows[i].outcome = crate->outcome;
        }
        if (!rows[i].written && unwritten < 0)
            unwritten = i;
    }
    crate->outcome = rows[unwritten >= 0 ? unwritten : 0].outcome;
    crate->outcome.dropped = crate->dropped;
    return unwritten < 0;
}

bool setRows(kovoCrate* crate, int object, kovoRowSet* rows, int count)
{
    const Object* o = objectAt(object);
    if (o == nullptr)
        return record(crate, KOVO_REFUSED, "", "no such object (number %d), nothing sent", object);
    if (rows == nullptr || count <= 0 || count > std::max(o->rows, 1))
        return record(crate, KOVO_REFUSED, o->name, "%d rows, or no list, to write: nothing sent", count);
    for (int i = 0; i < count; ++i) {
        rows[i].sent = rows[i].written = 0;
        rows[i].echo = kovoValue{};
    }
    const bool checked = checkRows(crate, *o, rows, count);
    std::vector<oid> ids;
    std::vector<std::string> names;
    std::vector<int32_t> integers;
    std::vector<float> numbers;
    const std::vector<Variable> asked =
        checked ? setVariables(*o, rows, count, &ids, &names, &integers, &numbers) : std::vector<Variable>();
    inRequests(crate, SNMP_MSG_SET, asked, *o,
               [&](size_t first, size_t n, const Response& response, const Outcome& outcome, bool interrupted) {
                   for (size_t i = first; i < first + n; ++i)
                       rows[i].sent = 1;
                   if (response) {
                       for (size_t i = first; i < first + n; ++i)
                           takeEcho(crate, *o, rows[i], names[i], *response, asked[i]);
                       return true;
                   }
                   recordFailure(crate, outcome, namesOf(names, first, n), interrupted);
                   for (size_t i = first; i < first + n; ++i)
                       rows[i].outcome = crate->outcome;
                   // A request without an answer may or may not have been carried
                   // out: the crate is sent nothing more.
                   return !interrupted && (outcome.result == Result::errorStatus ||
                                           outcome.result == Result::noVariable ||
                                           outcome.result == Result::otherObject);
               });
    return settle(crate, rows, count, checked);
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
                      typeName(vars.type), kindOfType(object.type));
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
    std::vector<Variable> asked;
    for (size_t i = 0; i < walks.size(); ++i) {
        if (walks[i].done)
            continue;
        active.push_back(i);
        about.push_back(walks[i].object->name);
        asked.push_back({walks[i].at, walks[i].length, 0, nullptr, 0});
    }
    const Response response = exchangeFor(crate, SNMP_MSG_GETBULK, asked, bulkRepetitions, about);
    if (!response)
        return false;
    size_t position = 0;
    for (const netsnmp_variable_list* vars = response->variables; vars != nullptr;
         vars = vars->next_variable, ++position) {
        const size_t column = active[position % active.size()];
        if (!walks[column].done &&
            !step(crate, walks[column], static_cast<int>(column), *vars, rows, static_cast<int>(walks.size())))
            return false;
    }
    return true;
}

void freeRows(std::map<int, std::vector<kovoValue>>& rows)
{
    for (auto& entry : rows)
        for (kovoValue& value : entry.second)
            kovoFreeValue(&value);
}

bool readScalars(kovoCrate* crate, const int* objectList, int count, kovoValue* values)
{
    if (objectList == nullptr || values == nullptr || count <= 0 || count > kovoObjectCount())
        return record(crate, KOVO_REFUSED, "", "%d objects, or no list, to read: nothing sent", count);
    std::vector<std::string> names;
    std::vector<std::vector<oid>> identifiers;
    std::vector<Variable> asked;
    for (int i = 0; i < count; ++i) {
        const Object* o = objectAt(objectList[i]);
        if (o == nullptr || o->rows != 0)
            return record(crate, KOVO_REFUSED, o ? o->name : "", "not a crate-wide object, nothing sent");
        names.push_back(instanceName(*o, 0));
        identifiers.emplace_back(MAX_OID_LEN);
        identifiers.back().resize(instance(*o, 0, identifiers.back().data()));
    }
    for (const auto& identifier : identifiers)
        asked.push_back({identifier.data(), identifier.size(), 0, nullptr, 0});
    const Response response = exchangeFor(crate, SNMP_MSG_GET, asked, 0, names);
    if (!response)
        return false;
    int filled = 0;
    for (; filled < count; ++filled) {
        const Object& o = objects[static_cast<size_t>(objectList[filled])];
        const Variable& v = asked[static_cast<size_t>(filled)];
        if (take(crate, o, names[static_cast<size_t>(filled)], *response, v.name, v.length, &values[filled],
                 "answer"))
            continue;
        if (crate->outcome.kind != KOVO_NO_SUCH)
            break;
        values[filled] = kovoValue{};  // a crate without this object: no value
    }
    if (filled == count)
        return succeed(crate);
    for (int j = 0; j < filled; ++j)
        kovoFreeValue(&values[j]);
    return false;
}

kovoTable* readColumns(kovoCrate* crate, const int* objectList, int count)
{
    if (objectList == nullptr || count <= 0 || count > kovoObjectCount()) {
        record(crate, KOVO_REFUSED, "", "%d columns, or no list, to read: nothing sent", count);
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

/* Runs one call of the C interface for an open crate: a failure, recorded,
 * for a NULL or closed crate, or when anything inside throws. */
template <typename Call>
auto guarded(kovoCrate* crate, decltype(std::declval<Call>()()) failure, Call call) -> decltype(call())
{
    if (sessionOf(crate) == nullptr)
        return failure;
    crate->dropped = 0;
    try {
        return call();
    } catch (const std::exception& e) {
        record(crate, KOVO_SEND_FAILED, "", "the library failed: %s", e.what());
    } catch (...) {
        record(crate, KOVO_SEND_FAILED, "", "the library failed");
    }
    return failure;
}

}  // namespace

/* ---- Start-up and sessions ---- */

int kovoInit(char* error, size_t size)
{
    try {
        if (!started)
            started = start();
        if (!started && error != nullptr && size > 0)
            snprintf(error, size, "%s", initError.c_str());
    } catch (...) {
        if (error != nullptr && size > 0)
            snprintf(error, size, "out of memory while starting");
        return 0;
    }
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
    try {
        const char* configured = netsnmp_ds_get_string(NETSNMP_DS_LIBRARY_ID, NETSNMP_DS_LIB_COMMUNITY);
        const char* write = writeCommunity_ ? writeCommunity_ : writeCommunity;
        const long timeoutUs = !(timeout > 0)                            ? -1
                               : timeout * 1e6 < static_cast<double>(LONG_MAX) ? static_cast<long>(timeout * 1e6)
                                                                               : LONG_MAX;
        std::string reason;
        HSNMP session = open({host, readCommunity_ ? readCommunity_ : configured ? configured : readCommunity,
                              write, timeoutUs, retries},
                             &reason);
        if (session == nullptr) {
            if (error != nullptr && size > 0)
                snprintf(error, size, "cannot open a session to %s: %s", host, reason.c_str());
            return nullptr;
        }
        // The session makes the attempts one at a time (see attempts), so
        // that the caller's check runs between them.
        netsnmp_session* description = snmp_sess_session(session);
        const int attemptsAfterFirst = description->retries;
        description->retries = 0;
        kovoCrate* crate = new kovoCrate{session, host, kovoOutcome{}, 0, attemptsAfterFirst,
                                         std::max(description->community_len, strlen(write)), nullptr, nullptr};
        succeed(crate);
        return crate;
    } catch (...) {
        if (error != nullptr && size > 0)
            snprintf(error, size, "out of memory while opening a session to %s", host);
        return nullptr;
    }
}

void kovoClose(kovoCrate* crate)
{
    if (crate == nullptr || crate->session == nullptr)
        return;
    close(crate->session);
    crate->session = nullptr;
}

void kovoFree(kovoCrate* crate)
{
    kovoClose(crate);
    delete crate;
}

const char* kovoHost(const kovoCrate* crate)
{
    return crate != nullptr ? crate->host.c_str() : "";
}

void kovoSetInterruptCheck(kovoCrate* crate, int (*check)(void* data), void* data)
{
    if (crate == nullptr)
        return;
    crate->check = check;
    crate->checkData = data;
}

const kovoOutcome* kovoLastOutcome(const kovoCrate* crate)
{
    static const kovoOutcome noCrate = {KOVO_REFUSED, 0, "", "no crate (NULL), nothing sent", 0};
    return crate != nullptr ? &crate->outcome : &noCrate;
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
    try {
        return name != nullptr ? objectNamed(name) : -1;
    } catch (...) {
        return -1;
    }
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

const char* kovoObjectUnits(int object)
{
    const Object* o = objectAt(object);
    return o ? o->units.c_str() : nullptr;
}

/* ---- Gets and sets ---- */

int kovoGet(kovoCrate* crate, int object, int row, kovoValue* value)
{
    return guarded(crate, 0, [&] { return getOne(crate, object, row, value) ? 1 : 0; });
}

int kovoCheckSet(kovoCrate* crate, int object, int row, const kovoValue* value)
{
    return guarded(crate, 0, [&] {
        const Object* o = objectAt(object);
        if (o == nullptr || value == nullptr) {
            record(crate, KOVO_REFUSED, "", "no such object (number %d) or no value, nothing sent", object);
            return 0;
        }
        const kovoRowSet one{row, *value, 0, 0, {}, {}};
        return checkRows(crate, *o, &one, 1) ? 1 : 0;
    });
}

int kovoSet(kovoCrate* crate, int object, int row, const kovoValue* value, kovoValue* echo)
{
    return guarded(crate, 0, [&] {
        if (value == nullptr) {
            record(crate, KOVO_REFUSED, "", "no value to write, nothing sent");
            return 0;
        }
        kovoRowSet one{row, *value, 0, 0, {}, {}};
        const bool written = setRows(crate, object, &one, 1);
        if (written && echo != nullptr)
            *echo = one.echo;
        else
            kovoFreeValue(&one.echo);
        return written ? 1 : 0;
    });
}

int kovoSetRows(kovoCrate* crate, int object, kovoRowSet* rows, int count)
{
    return guarded(crate, 0, [&] { return setRows(crate, object, rows, count) ? 1 : 0; });
}

/* ---- Bulk reads ---- */

int kovoReadScalars(kovoCrate* crate, const int* objectList, int count, kovoValue* values)
{
    return guarded(crate, 0, [&] { return readScalars(crate, objectList, count, values) ? 1 : 0; });
}

kovoTable* kovoReadColumns(kovoCrate* crate, const int* objectList, int count)
{
    return guarded(crate, static_cast<kovoTable*>(nullptr), [&] { return readColumns(crate, objectList, count); });
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
