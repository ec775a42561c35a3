// agent.cpp: This file contains the SNMP side of the simulator, built on
// Net-SNMP's embedded master agent: the objects resolved through the MIB
// module, the index of served instances, the request handler (gets, walks,
// sets with their faults), and the packet hook in front of the agent that
// has the request logged, drops requests and holds answers back. The system
// group of SNMPv2-MIB (sysDescr, sysObjectID, sysUpTime, ...) is Net-SNMP's
// own module, set read-only through its configuration lines.
//
// Net-SNMP does the protocol: community checks through its VACM configuration
// (rocommunity/rwcommunity), GETBULK turned into GETNEXT passes, the SET
// phases RESERVE1 (checks), ACTION (write), COMMIT (echo), UNDO and FREE.
// A request is not answered at all by not handing its packet to the agent.
#include "sim.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <list>
#include <set>
#include <netinet/in.h>
#include <sys/socket.h>

#include <net-snmp/agent/net-snmp-agent-includes.h>

extern "C" netsnmp_session* main_session;   // the agent's listening session, set by init_master_agent
extern "C" void init_system_mib(void);      // SNMPv2-MIB's system group, in Net-SNMP's agent MIB library

namespace sim {

namespace {

constexpr const char* moduleName = "TORVAN-CRATE-MIB";
// What the delay holds back at once: requests, and their variables in all,
// since one datagram can carry thousands of variables.
constexpr std::size_t maxHeld = 1000;
constexpr std::size_t maxHeldVariables = 20000;

struct Instance {
    std::vector<oid> id;
    Object object;
    int index;
};
std::vector<Instance> instances;            // every served instance, by identifier
std::vector<oid> crateRoot;                 // crateObjects: the subtree registered with the agent

// What a request identifier names: an instance of an object (present or not),
// an identifier below an object that is no instance of it (index -1), or none.
struct Found {
    Object object = none;
    int index = -1;
    bool present = false;
};

struct Held {
    netsnmp_session* session;
    netsnmp_pdu* pdu;
    void* magic;
    std::size_t variables;                  // as received: the agent may rework the PDU
};
std::list<Held> held;
std::size_t heldVariables = 0;
bool droppingHeld = false;                  // said once until room is made again

std::size_t variablesOf(const netsnmp_pdu* pdu)
{
    std::size_t count = 0;
    for (const netsnmp_variable_list* vb = pdu->variables; vb; vb = vb->next_variable)
        ++count;
    return count;
}

bool startsWith(const oid* name, std::size_t length, const std::vector<oid>& prefix)
{
    return length >= prefix.size() && std::equal(prefix.begin(), prefix.end(), name);
}

bool lessThan(const std::vector<oid>& a, const oid* name, std::size_t length)
{
    return std::lexicographical_compare(a.begin(), a.end(), name, name + length);
}

Found lookup(const oid* name, std::size_t length)
{
    const auto it = std::lower_bound(instances.begin(), instances.end(), 0,
                                     [&](const Instance& i, int) { return lessThan(i.id, name, length); });
    if (it != instances.end() && it->id.size() == length && std::equal(it->id.begin(), it->id.end(), name))
        return {it->object, it->index, true};
    for (int o = 0; o < objectCount; ++o) {
        const auto& id = objects[o].id;
        if (!startsWith(name, length, id))
            continue;
        const bool instanceForm = length == id.size() + 1 && name[length - 1] <= 1000;
        return {static_cast<Object>(o), instanceForm ? static_cast<int>(name[length - 1]) : -1, false};
    }
    return {};
}

// The first served instance after `name`, or null at the end of the subtree.
const Instance* following(const oid* name, std::size_t length)
{
    const auto it = std::upper_bound(instances.begin(), instances.end(), 0, [&](int, const Instance& i) {
        return std::lexicographical_compare(name, name + length, i.id.begin(), i.id.end());
    });
    return it == instances.end() ? nullptr : &*it;
}

int asnTypeOf(Kind kind)
{
    switch (kind) {
    case Kind::integer: return ASN_INTEGER;
    case Kind::real: return ASN_OPAQUE_FLOAT;
    case Kind::text: return ASN_OCTET_STR;
    }
    return ASN_NULL;
}

void putValue(netsnmp_variable_list* vb, Kind kind, const Value& value)
{
    switch (kind) {
    case Kind::integer:
        snmp_set_var_typed_integer(vb, ASN_INTEGER, value.integer);
        break;
    case Kind::real:
        snmp_set_var_typed_value(vb, ASN_OPAQUE_FLOAT, &value.real, sizeof value.real);
        break;
    case Kind::text:
        snmp_set_var_typed_value(vb, ASN_OCTET_STR, value.text.data(), value.text.size());
        break;
    }
}

// Puts a value of another type: `number` converted to it, or `text` for an
// octet string; a plain Opaque carries the number's single-precision bytes
// without the float tag.
void putTyped(netsnmp_variable_list* vb, int type, double number, const std::string& text)
{
    const double whole = std::isfinite(number) ? std::trunc(number) : 0.0;
    const auto u32 = static_cast<uint32_t>(static_cast<int64_t>(std::clamp(whole, -4294967295.0, 4294967295.0)));
    const float single = static_cast<float>(number);
    switch (type) {
    case ASN_INTEGER:
        snmp_set_var_typed_integer(vb, ASN_INTEGER, static_cast<long>(std::clamp(whole, -2147483648.0, 2147483647.0)));
        break;
    case ASN_COUNTER:
    case ASN_GAUGE:
    case ASN_TIMETICKS:
        snmp_set_var_typed_integer(vb, static_cast<u_char>(type), u32);
        break;
    case ASN_IPADDRESS: {
        const uint32_t address = htonl(u32);
        snmp_set_var_typed_value(vb, ASN_IPADDRESS, &address, sizeof address);
        break;
    }
    case ASN_COUNTER64: {
        const auto n = static_cast<uint64_t>(std::clamp(whole, 0.0, 1.8e19));
        counter64 c{n >> 32, n & 0xffffffffu};
        snmp_set_var_typed_value(vb, ASN_COUNTER64, &c, sizeof c);
        break;
    }
    case ASN_OPAQUE: {
        uint32_t bits;
        std::memcpy(&bits, &single, sizeof bits);
        bits = htonl(bits);
        snmp_set_var_typed_value(vb, ASN_OPAQUE, &bits, sizeof bits);
        break;
    }
    case ASN_OPAQUE_FLOAT:
        snmp_set_var_typed_value(vb, ASN_OPAQUE_FLOAT, &single, sizeof single);
        break;
    case ASN_OPAQUE_DOUBLE:
        snmp_set_var_typed_value(vb, ASN_OPAQUE_DOUBLE, &number, sizeof number);
        break;
    default:
        snmp_set_var_typed_value(vb, ASN_OCTET_STR, text.data(), text.size());
        break;
    }
}

// Answers a variable as a value fault or a type fault says, from `base`: the
// instance's value for a get, the value written for a set.
void putFaultValue(netsnmp_variable_list* vb, const Fault& fault, Kind kind, const Value& base)
{
    if (fault.kind == FaultKind::value) {
        if (const auto value = parseValue(kind, *fault.value))
            putValue(vb, kind, *value);
        else
            putTyped(vb, ASN_OCTET_STR, 0, *fault.value);
        return;
    }
    const std::string text = fault.value ? *fault.value : formatValue(kind, base);
    const double number = fault.value ? std::strtod(fault.value->c_str(), nullptr) : numberOf(kind, base);
    putTyped(vb, fault.code, number, text);
}

// Answers one variable of a GET (or, with `walking`, the instance a GETNEXT
// moved to): its value, unless a fault says otherwise.
void answerGet(netsnmp_agent_request_info* reqinfo, netsnmp_request_info* request, const Found& found, bool walking)
{
    if (found.object == none)
        return (void)netsnmp_set_request_error(reqinfo, request, SNMP_NOSUCHOBJECT);
    const Kind kind = objects[found.object].kind;
    const Value* value = found.present ? findValue(simulation.crate, found.object, found.index) : nullptr;
    if (const Fault* fault = findFault(false, found.object, found.index)) {
        switch (fault->kind) {
        case FaultKind::error:
            return (void)netsnmp_set_request_error(reqinfo, request, fault->code);
        case FaultKind::exception:
            if (walking)     // a walk cannot carry an exception; it would end the walk here
                break;
            return (void)snmp_set_var_typed_value(request->requestvb, static_cast<u_char>(fault->code), nullptr, 0);
        case FaultKind::type:
        case FaultKind::value:
            return putFaultValue(request->requestvb, *fault, kind, value ? *value : Value{});
        case FaultKind::drop:
        case FaultKind::about:
            break;
        }
    }
    if (!value)
        return (void)netsnmp_set_request_error(reqinfo, request, SNMP_NOSUCHINSTANCE);
    putValue(request->requestvb, kind, *value);
}

void answerGetNext(netsnmp_agent_request_info* reqinfo, netsnmp_request_info* request)
{
    netsnmp_variable_list* vb = request->requestvb;
    const Instance* next = following(vb->name, vb->name_length);
    if (!next)
        return;     // left as it is, the agent goes on with the next subtree
    snmp_set_var_objid(vb, next->id.data(), next->id.size());
    answerGet(reqinfo, request, {next->object, next->index, true}, true);
}

// The written value in the object's kind; false when the variable's type is
// not the object's.
bool writtenValue(const netsnmp_variable_list* vb, Kind kind, Value& value)
{
    if (vb->type != asnTypeOf(kind))
        return false;
    switch (kind) {
    case Kind::integer: value.integer = static_cast<int32_t>(*vb->val.integer); break;
    case Kind::real: value.real = *vb->val.floatVal; break;
    case Kind::text: value.text.assign(reinterpret_cast<const char*>(vb->val.string), vb->val_len); break;
    }
    return true;
}

int checkSet(const netsnmp_variable_list* vb)
{
    const Found found = lookup(vb->name, vb->name_length);
    if (found.object == none || found.index < 0)
        return SNMP_ERR_NOTWRITABLE;
    const Fault* fault = findFault(true, found.object, found.index);
    if (fault && fault->kind == FaultKind::error)
        return fault->code;
    const ObjectInfo& info = objects[found.object];
    if (!info.writable)
        return SNMP_ERR_NOTWRITABLE;
    Value value;
    if (!writtenValue(vb, info.kind, value))
        return SNMP_ERR_WRONGTYPE;
    return checkWrite(simulation.crate, found.object, found.index, value);
}

void freeValue(void* value)
{
    delete static_cast<Value*>(value);
}

// ACTION: stores the write, keeping the old value with the request for UNDO.
void applySet(netsnmp_request_info* request)
{
    const netsnmp_variable_list* vb = request->requestvb;
    const Found found = lookup(vb->name, vb->name_length);
    Value value;
    writtenValue(vb, objects[found.object].kind, value);
    Value* stored = findValue(simulation.crate, found.object, found.index);
    netsnmp_request_add_list_data(request, netsnmp_create_data_list("crate-sim", new Value(*stored), freeValue));
    applyWrite(simulation.crate, found.object, found.index, value);
}

void undoSet(netsnmp_request_info* request)
{
    const netsnmp_variable_list* vb = request->requestvb;
    const Found found = lookup(vb->name, vb->name_length);
    if (auto* old = static_cast<Value*>(netsnmp_request_get_list_data(request, "crate-sim"))) {
        *findValue(simulation.crate, found.object, found.index) = *old;
        deriveValues(simulation.crate);
    }
}

// COMMIT: the response echoes the written value unless a fault says otherwise.
void echoSet(netsnmp_request_info* request)
{
    netsnmp_variable_list* vb = request->requestvb;
    const Found found = lookup(vb->name, vb->name_length);
    const Fault* fault = findFault(true, found.object, found.index);
    if (!fault || fault->kind == FaultKind::error || fault->kind == FaultKind::drop)
        return;
    if (fault->kind == FaultKind::exception)
        return (void)snmp_set_var_typed_value(vb, static_cast<u_char>(fault->code), nullptr, 0);
    const Kind kind = objects[found.object].kind;
    Value written;
    writtenValue(vb, kind, written);
    putFaultValue(vb, *fault, kind, written);
}

// True when the request carries more variables than the crate takes in one
// get or set (its answer would be too big for the crate).
bool tooBig(const netsnmp_agent_request_info* reqinfo)
{
    return simulation.maxVariables > 0 && reqinfo->asp && reqinfo->asp->pdu &&
           variablesOf(reqinfo->asp->pdu) > static_cast<std::size_t>(simulation.maxVariables);
}

int handleRequests(netsnmp_mib_handler*, netsnmp_handler_registration*, netsnmp_agent_request_info* reqinfo,
                   netsnmp_request_info* requests)
{
    if ((reqinfo->mode == MODE_GET || reqinfo->mode == MODE_SET_RESERVE1) && tooBig(reqinfo)) {
        netsnmp_set_request_error(reqinfo, requests, SNMP_ERR_TOOBIG);
        return SNMP_ERR_NOERROR;
    }
    for (netsnmp_request_info* request = requests; request; request = request->next) {
        netsnmp_variable_list* vb = request->requestvb;
        switch (reqinfo->mode) {
        case MODE_GET:
            answerGet(reqinfo, request, lookup(vb->name, vb->name_length), false);
            break;
        case MODE_GETNEXT:
            answerGetNext(reqinfo, request);
            break;
        case MODE_SET_RESERVE1:
            if (const int status = checkSet(vb))
                netsnmp_set_request_error(reqinfo, request, status);
            break;
        case MODE_SET_ACTION:
            applySet(request);
            break;
        case MODE_SET_UNDO:
            undoSet(request);
            break;
        case MODE_SET_COMMIT:
            echoSet(request);
            break;
        default:
            break;
        }
        answerAbout(vb, reqinfo->mode);
    }
    return SNMP_ERR_NOERROR;
}

// --- the packet hook -------------------------------------------------------

// True when a drop fault governs any variable of the request: the instance it
// names, or for a walk the instance it moves to.
bool dropped(const netsnmp_pdu* pdu)
{
    const bool set = pdu->command == SNMP_MSG_SET;
    const bool walk = pdu->command == SNMP_MSG_GETNEXT || pdu->command == SNMP_MSG_GETBULK;
    if (simulation.faults.empty() || (!set && !walk && pdu->command != SNMP_MSG_GET))
        return false;
    for (const netsnmp_variable_list* vb = pdu->variables; vb; vb = vb->next_variable) {
        Found found = lookup(vb->name, vb->name_length);
        if (walk) {
            const Instance* next = following(vb->name, vb->name_length);
            found = next ? Found{next->object, next->index, true} : Found{};
        }
        if (found.object == none || found.index < 0)
            continue;
        const Fault* fault = findFault(set, found.object, found.index);
        if (fault && fault->kind == FaultKind::drop)
            return true;
    }
    return false;
}

void releaseHeld(unsigned int, void* entry)
{
    const auto it = std::find_if(held.begin(), held.end(), [&](const Held& h) { return &h == entry; });
    if (it == held.end())
        return;
    updateModel();
    handle_snmp_packet(NETSNMP_CALLBACK_OP_RECEIVED_MESSAGE, it->session, it->pdu->reqid, it->pdu, it->magic);
    logUnanswered(it->pdu);
    heldVariables -= it->variables;
    snmp_free_pdu(it->pdu);
    held.erase(it);
}

// Hands a copy of the request to the agent after the delay; the library frees
// the original when this hook returns. Beyond what it holds at most, a
// request is dropped, as a loaded agent drops what it cannot queue.
void holdBack(netsnmp_session* session, netsnmp_pdu* pdu, void* magic)
{
    const std::size_t variables = variablesOf(pdu);
    if (held.size() >= maxHeld || heldVariables + variables > maxHeldVariables) {
        if (!droppingHeld)
            std::fprintf(stderr, "crate-sim: %zu answers (%zu variables) already held back, requests dropped\n",
                         held.size(), heldVariables);
        droppingHeld = true;
        return logUnanswered(pdu);
    }
    droppingHeld = false;
    netsnmp_pdu* copy = snmp_clone_pdu(pdu);
    if (!copy)
        return logUnanswered(pdu);
    held.push_back({session, copy, magic, variables});
    heldVariables += variables;
    const double delay = simulation.delay;
    timeval t{static_cast<time_t>(delay), static_cast<suseconds_t>((delay - std::floor(delay)) * 1e6)};
    snmp_alarm_register_hr(t, 0, releaseHeld, &held.back());
}

int receivePacket(int operation, netsnmp_session* session, int reqid, netsnmp_pdu* pdu, void* magic)
{
    if (operation != NETSNMP_CALLBACK_OP_RECEIVED_MESSAGE)
        return handle_snmp_packet(operation, session, reqid, pdu, magic);
    updateModel();
    logRequest(pdu);
    if (dropped(pdu)) {
        logUnanswered(pdu);
        return 1;
    }
    if (simulation.delay > 0) {
        holdBack(session, pdu, magic);
        return 1;
    }
    const int result = handle_snmp_packet(operation, session, reqid, pdu, magic);
    logUnanswered(pdu);     // refused for its community: the agent sent nothing
    return result;
}

// The agent's transport hands every datagram it sends through here, so that
// the request log sees each response as it leaves.
int (*sendDatagram)(netsnmp_transport*, const void*, int, void**, int*) = nullptr;

int sendLogged(netsnmp_transport* transport, const void* data, int size, void** opaque, int* opaqueLength)
{
    logResponse(static_cast<const u_char*>(data), size, opaque ? *opaque : nullptr, opaqueLength ? *opaqueLength : 0);
    return sendDatagram(transport, data, size, opaque, opaqueLength);
}

// The address the agent's socket is bound to, "udp:HOST:PORT" or
// "udp6:[HOST]:PORT"; "" for a socket that is not UDP over IP.
std::string boundAddress(const netsnmp_transport* transport)
{
    sockaddr_storage address{};
    socklen_t size = sizeof address;
    int type = 0;
    socklen_t typeSize = sizeof type;
    if (!transport || getsockname(transport->sock, reinterpret_cast<sockaddr*>(&address), &size) != 0 ||
        getsockopt(transport->sock, SOL_SOCKET, SO_TYPE, &type, &typeSize) != 0 || type != SOCK_DGRAM ||
        (address.ss_family != AF_INET && address.ss_family != AF_INET6))
        return "";
    char host[INET6_ADDRSTRLEN] = "";
    if (address.ss_family == AF_INET) {
        const auto* in = reinterpret_cast<const sockaddr_in*>(&address);
        inet_ntop(AF_INET, &in->sin_addr, host, sizeof host);
        return std::string("udp:") + host + ":" + std::to_string(ntohs(in->sin_port));
    }
    const auto* in6 = reinterpret_cast<const sockaddr_in6*>(&address);
    inet_ntop(AF_INET6, &in6->sin6_addr, host, sizeof host);
    return std::string("udp6:[") + host + "]:" + std::to_string(ntohs(in6->sin6_port));
}

// Hands one configuration line to the agent as if read from its file.
void configure(const std::string& line)
{
    std::vector<char> text(line.begin(), line.end());
    text.push_back('\0');
    netsnmp_config(text.data());
}

// Loads the crate MIB module through Net-SNMP's MIB search path and takes
// every object's identifier, type, access and range from it.
bool resolveObjects(std::string& error)
{
    read_module(moduleName);    // reports nothing when the module is missing: the lookup below tells
    oid id[MAX_OID_LEN];
    std::size_t length = MAX_OID_LEN;
    if (!get_node("crateObjects", id, &length)) {
        error = std::string("cannot load the MIB module ") + moduleName + " from the MIB search path " +
                netsnmp_get_mib_directory() + " (set MIBDIRS)";
        return false;
    }
    crateRoot.assign(id, id + length);
    for (ObjectInfo& info : objects) {
        length = MAX_OID_LEN;
        const tree* node = get_node(info.name, id, &length) ? get_tree(id, length, get_tree_head()) : nullptr;
        if (!node) {
            error = std::string(moduleName) + " defines no object " + info.name;
            return false;
        }
        info.id.assign(id, id + length);
        switch (node->type) {
        case TYPE_INTEGER:
        case TYPE_INTEGER32: info.kind = Kind::integer; break;
        case TYPE_OPAQUE: info.kind = Kind::real; break;
        case TYPE_OCTETSTR: info.kind = Kind::text; break;
        default:
            error = std::string("the MIB type of ") + info.name + " is none the crate sends";
            return false;
        }
        info.writable = node->access == MIB_ACCESS_READWRITE;
        info.bounded = node->ranges != nullptr;
        if (node->ranges) {
            info.low = node->ranges->low;
            info.high = node->ranges->high;
        }
    }
    return true;
}

// Lists every instance of the crate in identifier order.
void buildIndex()
{
    instances.clear();
    for (int o = 0; o < objectCount; ++o) {
        const ObjectInfo& info = objects[o];
        auto add = [&](int index) {
            Instance instance{info.id, static_cast<Object>(o), index};
            instance.id.push_back(static_cast<oid>(index));
            instances.push_back(std::move(instance));
        };
        if (auto* table = tableOf(simulation.crate, info.record))
            for (const auto& row : *table)
                add(row.first);
        else
            add(0);
    }
    std::sort(instances.begin(), instances.end(), [](const Instance& a, const Instance& b) { return a.id < b.id; });
}

// The crate module that belongs to this program: the build tree's, or the one
// installed relative to the program's folder; "" when neither is there.
std::string ownMibFolder()
{
    namespace fs = std::filesystem;
    std::error_code error;
    const fs::path folder = fs::read_symlink("/proc/self/exe", error).parent_path();
    const fs::path buildTree = KOVO_BUILD_TREE;
    const bool inBuildTree = !error && std::mismatch(buildTree.begin(), buildTree.end(), folder.begin(),
                                                     folder.end()).first == buildTree.end();
    const fs::path candidate = inBuildTree ? fs::path(KOVO_BUILD_MIB_DIR) : folder / KOVO_MIB_FROM_BINDIR;
    return !error && fs::is_regular_file(candidate / (std::string(moduleName) + ".txt"), error)
               ? candidate.lexically_normal().string()
               : "";
}

// Called by init_snmp before Net-SNMP reads its own MIB folders. Of two
// folders holding the same module, Net-SNMP takes the one added later: added
// first, ours stays behind MIBDIRS and the configured folders.
int addOwnMibFolder(int, int, void*, void*)
{
    const std::string folder = ownMibFolder();
    if (!folder.empty())
        add_mibdir(folder.c_str());
    return SNMPERR_SUCCESS;
}

// The system group's values, as configuration lines: a value given there is
// read-only to every community. sysObjectID is the crate module's identity,
// under the enterprise.
void configureSystemGroup(const std::string& layout)
{
    // The layout by its file name, on one line, short enough for the field.
    std::string name = layout.empty() ? "built-in" : std::filesystem::path(layout).filename().string().substr(0, 64);
    std::replace_if(name.begin(), name.end(), [](unsigned char c) { return c < 0x20 || c == 0x7f; }, '?');
    std::size_t channels = simulation.crate.channels.size();
    std::set<int> slots;
    for (const auto& entry : simulation.crate.channels)
        slots.insert((entry.first - 1) / 100);
    configure("sysdescr crate-sim " KOVO_VERSION ", simulated power-supply crate: layout " +
              name + ", " + std::to_string(channels) +
              " channels in " + std::to_string(slots.size()) + " slots, " +
              std::to_string(simulation.crate.sensors.size()) + " sensors, " +
              std::to_string(simulation.crate.fans.size()) + " fans");
    oid id[MAX_OID_LEN];
    std::size_t length = MAX_OID_LEN;
    if (get_node("torvanCrateMIB", id, &length)) {
        std::string text;
        for (std::size_t i = 0; i < length; ++i)
            text += "." + std::to_string(id[i]);
        configure("sysobjectid " + text);
    }
    configure("syscontact crate-sim, the simulated crate of the kovo project");
    configure("sysname crate-sim");
    configure("syslocation simulated, on this host");
    configure("sysservices 72");
}

}  // namespace

// The instance name of an identifier, "object.index", or "" when it is no
// instance of a crate object (present or not).
std::string instanceNameOf(const oid* name, std::size_t length)
{
    const Found found = lookup(name, length);
    const bool instance = found.object != none && found.index >= 0 &&
                          (objects[found.object].record == Record::crate) == (found.index == 0);
    return instance ? instanceName(found.object, found.index) : "";
}

// Brings up Net-SNMP as an embedded master agent with its state kept in
// `stateDir`, neither reading nor writing any system configuration or state,
// and loads the crate MIB module.
bool initAgent(const std::string& stateDir, std::string& error)
{
    netsnmp_ds_set_string(NETSNMP_DS_LIBRARY_ID, NETSNMP_DS_LIB_PERSISTENT_DIR, stateDir.c_str());
    netsnmp_ds_set_string(NETSNMP_DS_LIBRARY_ID, NETSNMP_DS_LIB_CONFIGURATION_DIR, stateDir.c_str());
    netsnmp_ds_set_boolean(NETSNMP_DS_LIBRARY_ID, NETSNMP_DS_LIB_DONT_READ_CONFIGS, 1);
    netsnmp_ds_set_boolean(NETSNMP_DS_LIBRARY_ID, NETSNMP_DS_LIB_DONT_PERSIST_STATE, 1);
    netsnmp_ds_set_boolean(NETSNMP_DS_LIBRARY_ID, NETSNMP_DS_LIB_DISABLE_PERSISTENT_LOAD, 1);
    netsnmp_ds_set_boolean(NETSNMP_DS_LIBRARY_ID, NETSNMP_DS_LIB_DISABLE_PERSISTENT_SAVE, 1);
    netsnmp_ds_set_boolean(NETSNMP_DS_APPLICATION_ID, NETSNMP_DS_AGENT_NO_ROOT_ACCESS, 1);
    netsnmp_ds_set_boolean(NETSNMP_DS_APPLICATION_ID, NETSNMP_DS_AGENT_ROLE, 0);
    netsnmp_ds_set_boolean(NETSNMP_DS_APPLICATION_ID, NETSNMP_DS_AGENT_DONT_LOG_TCPWRAPPERS_CONNECTS, 1);
    // No SMUX port: the crate speaks SNMP on its one address only.
    static char withoutSmux[] = "-smux";
    add_to_init_list(withoutSmux);
    // Only the crate module is loaded, later; start-up chatter about the absent
    // configuration file and the default MIB list is not for the user.
    setenv("MIBS", "", 1);
    netsnmp_log_handler* quiet = netsnmp_register_loghandler(NETSNMP_LOGHANDLER_NONE, LOG_DEBUG);
    snmp_register_callback(SNMP_CALLBACK_LIBRARY, SNMP_CALLBACK_POST_PREMIB_READ_CONFIG, addOwnMibFolder, nullptr);
    init_agent("crate-sim");
    init_system_mib();
    init_snmp("crate-sim");
    netsnmp_remove_loghandler(quiet);
    return resolveObjects(error);
}

// Serves the crate on `address` (one transport) with the crate's community
// names as access rules, for requests over IPv4 and IPv6 alike: the first
// read-only, the others read-write.
bool startAgent(const std::string& address, const std::string& layout, std::string& bound, std::string& error)
{
    for (const auto& [index, row] : simulation.crate.communities) {
        const std::string& name = row[snmpCommunityName].text;
        const std::string rule = index == 1 ? "rocommunity" : "rwcommunity";
        if (!name.empty()) {
            configure(rule + " " + name);
            configure(rule + "6 " + name);
        }
    }
    buildIndex();
    netsnmp_handler_registration* registration = netsnmp_create_handler_registration(
        "crate", handleRequests, crateRoot.data(), crateRoot.size(), HANDLER_CAN_RWRITE);
    if (!registration || netsnmp_register_handler(registration) != MIB_REGISTERED_OK) {
        error = "cannot register the crate objects with the agent";
        return false;
    }
    netsnmp_ds_set_string(NETSNMP_DS_APPLICATION_ID, NETSNMP_DS_AGENT_PORTS, address.c_str());
    if (init_master_agent() != 0 || !main_session) {
        error = "cannot listen on " + address;
        return false;
    }
    // The crate speaks SNMP over UDP; TCP, Unix sockets and the rest are
    // refused rather than served half (drops and delays are per datagram).
    netsnmp_transport* transport = snmp_sess_transport(snmp_sess_pointer(main_session));
    bound = boundAddress(transport);
    if (bound.empty()) {
        error = "--listen " + address + ": only UDP is served, give udp:HOST:PORT or udp6:[HOST]:PORT";
        return false;
    }
    main_session->callback = receivePacket;
    sendDatagram = transport->f_send;
    transport->f_send = sendLogged;
    configureSystemGroup(layout);
    return true;
}

void stopAgent()
{
    for (Held& h : held)
        snmp_free_pdu(h.pdu);
    held.clear();
    heldVariables = 0;
    snmp_shutdown("crate-sim");
    closeRequestLog();
}

}  // namespace sim
