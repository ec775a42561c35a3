// faults.cpp: This file contains the fault injection of the simulator: the
// names of error statuses and value types, the parsing of a fault from the
// words of a control command or a layout entry, the lookup of the fault that
// governs one request, and the renaming of an answer by an `about` fault.
#include "sim.h"

#include <net-snmp/agent/net-snmp-agent-includes.h>

#include <algorithm>
#include <cstring>
#include <strings.h>

namespace sim {

namespace {

struct Named {
    const char* name;
    int code;
};

// Error statuses that a fault can answer with, by their SNMP names.
const Named errorStatuses[] = {
    {"tooBig", SNMP_ERR_TOOBIG},
    {"noSuchName", SNMP_ERR_NOSUCHNAME},
    {"badValue", SNMP_ERR_BADVALUE},
    {"readOnly", SNMP_ERR_READONLY},
    {"genErr", SNMP_ERR_GENERR},
    {"noAccess", SNMP_ERR_NOACCESS},
    {"wrongType", SNMP_ERR_WRONGTYPE},
    {"wrongLength", SNMP_ERR_WRONGLENGTH},
    {"wrongEncoding", SNMP_ERR_WRONGENCODING},
    {"wrongValue", SNMP_ERR_WRONGVALUE},
    {"noCreation", SNMP_ERR_NOCREATION},
    {"inconsistentValue", SNMP_ERR_INCONSISTENTVALUE},
    {"resourceUnavailable", SNMP_ERR_RESOURCEUNAVAILABLE},
    {"commitFailed", SNMP_ERR_COMMITFAILED},
    {"undoFailed", SNMP_ERR_UNDOFAILED},
    {"authorizationError", SNMP_ERR_AUTHORIZATIONERROR},
    {"notWritable", SNMP_ERR_NOTWRITABLE},
    {"inconsistentName", SNMP_ERR_INCONSISTENTNAME},
};

// Value types: the name in the request log and, for the types a fault can
// answer with, the name a fault gives.
struct TypeName {
    int type;
    const char* log;
    const char* fault;
};
const TypeName typeNames[] = {
    {ASN_NULL, "NULL", nullptr},
    {ASN_INTEGER, "INTEGER", "Integer"},
    {ASN_OCTET_STR, "OCTET STRING", "OctetString"},
    {ASN_BIT_STR, "BIT STRING", nullptr},
    {ASN_OBJECT_ID, "OBJECT IDENTIFIER", nullptr},
    {ASN_IPADDRESS, "IPADDRESS", "IpAddress"},
    {ASN_COUNTER, "COUNTER32", "Counter32"},
    {ASN_GAUGE, "GAUGE32", "Gauge32"},
    {ASN_TIMETICKS, "TIMETICKS", "TimeTicks"},
    {ASN_OPAQUE, "OPAQUE", "Opaque"},
    {ASN_COUNTER64, "COUNTER64", "Counter64"},
    {ASN_OPAQUE_FLOAT, "OPAQUE FLOAT", "OpaqueFloat"},
    {ASN_OPAQUE_DOUBLE, "OPAQUE DOUBLE", "OpaqueDouble"},
    {ASN_OPAQUE_COUNTER64, "OPAQUE COUNTER64", nullptr},
    {ASN_OPAQUE_I64, "OPAQUE I64", nullptr},
    {ASN_OPAQUE_U64, "OPAQUE U64", nullptr},
    {SNMP_NOSUCHOBJECT, "NOSUCHOBJECT", nullptr},
    {SNMP_NOSUCHINSTANCE, "NOSUCHINSTANCE", nullptr},
    {SNMP_ENDOFMIBVIEW, "ENDOFMIBVIEW", nullptr},
};

int faultTypeNamed(std::string_view name)
{
    for (const auto& t : typeNames)
        if (t.fault && name.size() == std::strlen(t.fault) && strncasecmp(t.fault, name.data(), name.size()) == 0)
            return t.type;
    return -1;
}

int errorStatusNamed(std::string_view name)
{
    for (const auto& s : errorStatuses)
        if (name == s.name)
            return s.code;
    return -1;
}

bool validTarget(std::string_view target)
{
    return target == "all" || objectNamed(target) != none || parseInstanceName(target).has_value();
}

bool matches(const Fault& fault, bool set, Object object, int index)
{
    if (fault.on != FaultOn::any && (fault.on == FaultOn::set) != set)
        return false;
    if (fault.target == "all" || fault.target == objects[object].name)
        return true;
    return fault.target == instanceName(object, index);
}

// The latest fault added that matches a get or set of one instance and is
// (or, with `about` false, is not) an about fault; null when there is none.
const Fault* latest(bool set, Object object, int index, bool about)
{
    const auto& faults = simulation.faults;
    for (auto f = faults.rbegin(); f != faults.rend(); ++f)
        if ((f->kind == FaultKind::about) == about && matches(*f, set, object, index))
            return &*f;
    return nullptr;
}

}  // namespace

const char* typeName(int asnType)
{
    for (const auto& t : typeNames)
        if (t.type == asnType)
            return t.log;
    return "UNKNOWN";
}

// Parses "TARGET [get|set|any] KIND [ARGUMENT] [VALUE]" into `fault`; returns
// "" or the reason the words are not a fault. KIND is one of: error STATUS,
// type TYPE [VALUE], noSuchObject, noSuchInstance, value VALUE, drop,
// about INSTANCE.
std::string parseFault(const std::vector<std::string>& words, Fault& fault)
{
    std::size_t at = 0;
    auto next = [&]() -> const std::string* { return at < words.size() ? &words[at++] : nullptr; };
    const std::string* target = next();
    if (!target)
        return "a fault needs a target: all, an object or an instance such as outputVoltage.3";
    if (!validTarget(*target))
        return "unknown target \"" + *target + "\"";
    fault.target = *target;
    const std::string* word = next();
    fault.on = FaultOn::any;
    if (word && (*word == "get" || *word == "set" || *word == "any")) {
        fault.on = *word == "get" ? FaultOn::get : *word == "set" ? FaultOn::set : FaultOn::any;
        word = next();
    }
    if (!word)
        return "a fault needs a kind: error, type, noSuchObject, noSuchInstance, value, drop or about";
    const std::string kind = *word;
    if (kind == "error") {
        const std::string* status = next();
        fault.kind = FaultKind::error;
        fault.code = status ? errorStatusNamed(*status) : -1;
        if (fault.code < 0)
            return "unknown error status \"" + (status ? *status : std::string()) + "\"";
    } else if (kind == "type") {
        const std::string* type = next();
        fault.kind = FaultKind::type;
        fault.code = type ? faultTypeNamed(*type) : -1;
        if (fault.code < 0)
            return "unknown value type \"" + (type ? *type : std::string()) +
                   "\" (Integer, OctetString, IpAddress, Counter32, Gauge32, TimeTicks, Opaque, Counter64, "
                   "OpaqueFloat, OpaqueDouble)";
        if (const std::string* value = next())
            fault.value = *value;
    } else if (kind == "noSuchObject" || kind == "noSuchInstance") {
        fault.kind = FaultKind::exception;
        fault.code = kind == "noSuchObject" ? SNMP_NOSUCHOBJECT : SNMP_NOSUCHINSTANCE;
    } else if (kind == "value") {
        const std::string* value = next();
        fault.kind = FaultKind::value;
        if (!value)
            return "a value fault needs the value to answer with";
        fault.value = *value;
    } else if (kind == "drop") {
        fault.kind = FaultKind::drop;
    } else if (kind == "about") {
        const std::string* instance = next();
        fault.kind = FaultKind::about;
        if (!instance || !parseInstanceName(*instance))
            return "an about fault needs the instance to answer about, such as sysMainSwitch.0";
        fault.value = *instance;
    } else {
        return "unknown fault kind \"" + kind + "\"";
    }
    if (at < words.size())
        return "unexpected \"" + words[at] + "\" after the fault";
    return "";
}

// The fault that governs a get or set of one instance: the latest one added
// that matches it, about faults aside; or null.
const Fault* findFault(bool set, Object object, int index)
{
    return latest(set, object, index, false);
}

// Gives the answer to a get or set of an instance (the agent's variable once
// it holds the answer: MODE_GET or MODE_SET_COMMIT) the identifier of another
// instance when an about fault says so. Walks are left alone.
void answerAbout(netsnmp_variable_list* vb, int mode)
{
    if (mode != MODE_GET && mode != MODE_SET_COMMIT)
        return;
    const auto asked = parseInstanceName(instanceNameOf(vb->name, vb->name_length));
    const Fault* fault = asked ? latest(mode == MODE_SET_COMMIT, asked->first, asked->second, true) : nullptr;
    if (!fault)
        return;
    const auto [object, index] = *parseInstanceName(*fault->value);
    std::vector<oid> id = objects[object].id;
    id.push_back(static_cast<oid>(index));
    snmp_set_var_objid(vb, id.data(), id.size());
}

// Removes the faults of one target ("" for all of them); returns how many.
int clearFaults(std::string_view target)
{
    auto& faults = simulation.faults;
    const auto before = faults.size();
    std::erase_if(faults, [&](const Fault& f) { return target.empty() || f.target == target; });
    return static_cast<int>(before - faults.size());
}

}  // namespace sim
