/*
 * core.cpp: the library's one SNMP client (see core.h): Net-SNMP's start-up
 * with the crate's MIB module and the library's own MIB folder, sessions
 * that take answers only from the crate, the exchange with its answer rules,
 * and the value helpers.
 *
 * Net-SNMP operations relied on: init_snmp, init_mib, read_module,
 * find_module, add_mibdir, snmp_register_callback; snmp_sess_init, in place
 * of snmp_sess_open its two steps netsnmp_tdomain_transport_full and
 * snmp_sess_add (which takes a pre-parse hook), snmp_sess_session,
 * snmp_sess_close; snmp_pdu_create, snmp_add_null_var, snmp_pdu_add_variable,
 * snmp_sess_synch_response (called here alone; it takes over the request
 * whatever the outcome), snmp_oid_compare, snmp_free_pdu.
 */
#include <algorithm>
#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <new>
#include <string>
#include <system_error>

#ifdef _WIN32
#include <winsock2.h>  // before windows.h, which would otherwise bring the old Winsock
#include <windows.h>
#else
#include <dlfcn.h>
#include <link.h>
#endif

#include "core.h"

namespace torvan_core {
namespace {

/* ---- The library's own MIB folder ----
 *
 * The crate module ships with the library: in the build tree's mib folder, or
 * installed in PREFIX/share/snmp/mibs. That folder is added to Net-SNMP's MIB
 * search path behind the folders Net-SNMP searches anyway (MIBDIRS, snmp.conf,
 * its defaults), so that a user's own copy of the module still wins. */

namespace fs = std::filesystem;

/* The file that holds this code: the shared library, or the program that the
 * static library is linked into. Empty when it cannot be told. */
fs::path ownFile()
{
#ifdef _WIN32
    HMODULE module = nullptr;
    char path[MAX_PATH];
    if (!GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                            reinterpret_cast<LPCSTR>(&ownFile), &module))
        return {};
    DWORD length = GetModuleFileNameA(module, path, sizeof path);
    return length > 0 && length < sizeof path ? fs::path(std::string(path, length)) : fs::path();
#else
    Dl_info info;
    link_map* map = nullptr;
    if (dladdr1(reinterpret_cast<void*>(&ownFile), &info, reinterpret_cast<void**>(&map), RTLD_DL_LINKMAP) == 0 ||
        map == nullptr)
        return {};
    // The loader names the main program only as it was started (argv[0]).
    std::error_code error;
    fs::path file = map->l_name[0] != '\0' ? fs::path(map->l_name) : fs::read_symlink("/proc/self/exe", error);
    return error ? fs::path() : fs::weakly_canonical(file, error);
#endif
}

/* The folder holding the crate module that belongs to this copy of the code:
 * the build tree's when the code lies in the build tree, otherwise the
 * installed one relative to the library's or the program's folder, or on
 * Windows the folder "mibs" beside it, as the package lays it out (with the
 * base modules the crate module imports). */
std::string ownMibFolder()
{
    const fs::path file = ownFile();
    if (file.empty())
        return "";
    const fs::path folder = file.parent_path();
    const fs::path buildTree = KOVO_BUILD_TREE;
    const bool inBuildTree = std::mismatch(buildTree.begin(), buildTree.end(), folder.begin(), folder.end()).first ==
                             buildTree.end();
    const fs::path candidates[] = {
        inBuildTree ? fs::path(KOVO_BUILD_MIB_DIR) : fs::path(),
        folder / KOVO_MIB_FROM_LIBDIR,
        folder / KOVO_MIB_FROM_BINDIR,
#ifdef _WIN32
        folder / "mibs",
#endif
    };
    std::error_code error;
    for (const fs::path& candidate : candidates)
        if (!candidate.empty() && fs::is_regular_file(candidate / "TORVAN-CRATE-MIB.txt", error))
            return candidate.lexically_normal().string();
    return "";
}

/* Called by init_snmp once the configuration files are read and before
 * Net-SNMP reads its own MIB folders. Of two folders holding the same module,
 * Net-SNMP takes the one added later: added first, ours stays behind. */
int addOwnMibFolder(int, int, void*, void*)
{
    const std::string folder = ownMibFolder();
    if (!folder.empty())
        add_mibdir(folder.c_str());
    return SNMPERR_SUCCESS;
}

/* Registered when the library is loaded, so that it is in place whenever the
 * library (or the program) starts Net-SNMP. */
const int ownMibFolderRegistered =
    snmp_register_callback(SNMP_CALLBACK_LIBRARY, SNMP_CALLBACK_POST_PREMIB_READ_CONFIG, addOwnMibFolder, nullptr);

/* read_module hands back the MIB tree whether or not it found the module, so
 * the module's entry in Net-SNMP's list of known modules tells whether it was
 * parsed: its import count stays -1 until then. */
bool loadModule(const char* name)
{
    if (read_module(name) == nullptr)
        return false;
    const struct module* mp = find_module(which_module(name));
    return mp != nullptr && mp->no_imports >= 0;
}

/* ---- Answers only from the crate ----
 *
 * A UDP socket takes a datagram from anyone, and Net-SNMP matches an answer
 * to its request by the request-id alone: another local process that sees the
 * session's port and guesses the next request-id could pass its own answer
 * off as the crate's. Net-SNMP's pre-parse hook drops every datagram that
 * does not come from the crate's address and port, and counts it: a flood of
 * them must not flood the output too, so a failed exchange says how many. */

/* What the library keeps with each session it opened (in its myvoid). */
struct SessionState {
    std::string writeCommunity;
    unsigned long dropped = 0;
};

SessionState* stateOf(HSNMP session)
{
    const netsnmp_session* description = snmp_sess_session(session);
    return description != nullptr ? static_cast<SessionState*>(description->myvoid) : nullptr;
}

/* Whether the socket address at source (length bytes) is the crate's. The
 * source is what the transport's receive gave: for UDP over IPv4 an address
 * pair whose first member is the sender's address, for UDP over IPv6 the
 * sender's address alone; either starts with the sender's socket address. */
bool fromPeer(const netsnmp_sockaddr_storage& crate, const void* source, int length)
{
    netsnmp_sockaddr_storage from{};
    if (source == nullptr || length < static_cast<int>(sizeof(sockaddr_in)))
        return false;
    memcpy(&from, source, std::min(static_cast<size_t>(length), sizeof from));
    if (from.sa.sa_family != crate.sa.sa_family)
        return false;
    if (from.sa.sa_family == AF_INET)
        return from.sin.sin_port == crate.sin.sin_port && from.sin.sin_addr.s_addr == crate.sin.sin_addr.s_addr;
#ifdef NETSNMP_ENABLE_IPV6
    if (from.sa.sa_family == AF_INET6 && length >= static_cast<int>(sizeof(sockaddr_in6)))
        return from.sin6.sin6_port == crate.sin6.sin6_port &&
               memcmp(&from.sin6.sin6_addr, &crate.sin6.sin6_addr, sizeof from.sin6.sin6_addr) == 0;
#endif
    return false;
}

/* The hook: 1 to parse a datagram, 0 to drop it. A stream transport is
 * connected to the crate, so only datagrams are checked. */
int fromCrate(netsnmp_session* session, netsnmp_transport* transport, void* source, int sourceLength)
{
    if (transport->flags & NETSNMP_TRANSPORT_FLAG_STREAM)
        return 1;
    const auto* crate = static_cast<const netsnmp_indexed_addr_pair*>(transport->data);
    if (crate != nullptr && transport->data_length >= static_cast<int>(sizeof *crate) &&
        fromPeer(crate->remote_addr, source, sourceLength))
        return 1;
    if (auto* state = static_cast<SessionState*>(session->myvoid))
        ++state->dropped;
    return 0;
}

/* A new request carrying the variables; NULL with the problem named. */
netsnmp_pdu* makeRequest(const SessionState* state, int command, const Variable* variables, size_t count,
                         long repetitions, const char** problem)
{
    netsnmp_pdu* request = snmp_pdu_create(command);
    if (request == nullptr) {
        *problem = "cannot allocate the SNMP request";
        return nullptr;
    }
    if (command == SNMP_MSG_SET) {
        const char* community = state != nullptr ? state->writeCommunity.c_str() : writeCommunity;
        request->community = reinterpret_cast<u_char*>(StrDup(community));
        if (request->community == nullptr) {
            *problem = "cannot allocate the write community";
            snmp_free_pdu(request);
            return nullptr;
        }
        request->community_len = strlen(community);
    }
    if (command == SNMP_MSG_GETBULK) {
        request->non_repeaters = 0;
        request->max_repetitions = repetitions;
    }
    for (size_t i = 0; i < count; ++i) {
        const Variable& v = variables[i];
        if ((v.type != 0 ? snmp_pdu_add_variable(request, v.name, v.length, v.type, v.value, v.size)
                         : snmp_add_null_var(request, v.name, v.length)) == nullptr) {
            *problem = "cannot add the variable to the SNMP request";
            snmp_free_pdu(request);
            return nullptr;
        }
    }
    return request;
}

/* Whether a variable names the object name/length as the request carried it.
 * BER has no form for an identifier without sub-identifiers: Net-SNMP's
 * encoders write two zero bytes or one, read as 0.0.0 or 0.0, and the crate
 * answers about that. */
bool names(const netsnmp_variable_list& vars, const oid* name, size_t length)
{
    if (length > 0)
        return snmp_oid_compare(vars.name, vars.name_length, name, length) == 0;
    static const oid zeros[3] = {0, 0, 0};
    return (vars.name_length == 2 || vars.name_length == 3) &&
           snmp_oid_compare(vars.name, vars.name_length, zeros, vars.name_length) == 0;
}

}  // namespace

/* ---- Start-up ---- */

bool start(const char* application, bool transcript)
{
    if (transcript)
        syslog(LOG_DEBUG, "*** Initialise SNMP ***");
    init_snmp(application);
    if (transcript)
        init_mib();
    if (loadModule("TORVAN-CRATE-MIB"))
        return true;
    if (transcript)
        syslog(LOG_ERR, "Unable to load SNMP MIB file \"%s\"", "TORVAN-CRATE-MIB");
    return false;
}

/* ---- Sessions ---- */

HSNMP open(const SessionSettings& settings, std::string* error)
{
    netsnmp_session session;
    snmp_sess_init(&session);
    session.version = SNMP_VERSION_2c;
    session.peername = StrDup(settings.peer);
    session.community = reinterpret_cast<u_char*>(StrDup(settings.readCommunity));
    session.community_len = session.community != nullptr ? strlen(reinterpret_cast<char*>(session.community)) : 0;
    if (settings.timeout >= 0)
        session.timeout = settings.timeout;
    if (settings.retries >= 0)
        session.retries = settings.retries;

    // snmp_sess_open with the hook in place: Net-SNMP's own open does the
    // same for a session like ours (no local address, no broadcast). A
    // description without its peer name or community would open a session to
    // the wrong place or with no community: it is refused as a failed open.
    HSNMP handle = nullptr;
    if (session.peername != nullptr && session.community != nullptr && settings.writeCommunity != nullptr) {
        netsnmp_transport* transport =
            netsnmp_tdomain_transport_full("snmp", session.peername, session.local_port, "udp,udp6", nullptr);
        if (transport != nullptr) {
            handle = snmp_sess_add(&session, transport, fromCrate, nullptr);
        } else {
            session.s_snmp_errno = SNMPERR_BAD_ADDRESS;
            session.s_errno = errno;
            snmp_set_detail(session.peername);
        }
    }
    // The callers are C functions, which no exception may cross: a session
    // whose state cannot be allocated is closed again as a failed open.
    SessionState* state = nullptr;
    try {
        state = handle != nullptr ? new SessionState{settings.writeCommunity} : nullptr;
    } catch (const std::bad_alloc&) {
    }
    if (state != nullptr) {
        snmp_sess_session(handle)->myvoid = state;
    } else if (handle != nullptr) {
        snmp_sess_close(handle);
        handle = nullptr;
        *error = "out of memory";
    } else {
        int liberr = 0, syserr = 0;
        char* text = nullptr;
        snmp_error(&session, &liberr, &syserr, &text);
        *error = text != nullptr ? text : "out of memory";
        free(text);
    }
    // Net-SNMP keeps copies of its own; ours are released here.
    free(session.peername);
    free(session.community);
    return handle;
}

int close(HSNMP session)
{
    netsnmp_session* description = snmp_sess_session(session);
    if (description != nullptr) {
        delete static_cast<SessionState*>(description->myvoid);
        description->myvoid = nullptr;
    }
    return snmp_sess_close(session);
}

/* ---- Exchanges ---- */

Response exchange(HSNMP session, int command, const Variable* variables, size_t count, long repetitions,
                  Outcome* outcome, long requestId)
{
    *outcome = Outcome{};
    // Callers pass a null handle on when the crate could not be opened.
    if (session == nullptr) {
        outcome->result = Result::notSent;
        outcome->problem = "no SNMP session (null handle), nothing sent";
        return nullptr;
    }
    SessionState* state = stateOf(session);
    netsnmp_pdu* request = makeRequest(state, command, variables, count, repetitions, &outcome->problem);
    if (request == nullptr) {
        outcome->result = Result::notSent;
        return nullptr;
    }
    if (requestId != 0)
        request->reqid = requestId;
    outcome->requestId = request->reqid;
    const unsigned long droppedBefore = state != nullptr ? state->dropped : 0;
    netsnmp_pdu* received = nullptr;
    const int status = snmp_sess_synch_response(session, request, &received);  // takes over request
    Response response(received);
    outcome->dropped = state != nullptr ? state->dropped - droppedBefore : 0;
    if (status != STAT_SUCCESS || !response) {
        outcome->result = status == STAT_TIMEOUT ? Result::timeout : Result::sendFailed;
        return nullptr;
    }
    if (!answersRequest(*response, command, variables, count, outcome))
        return nullptr;
    return response;
}

bool answersRequest(const netsnmp_pdu& response, int command, const Variable* variables, size_t count, Outcome* outcome)
{
    if (response.errstat != SNMP_ERR_NOERROR) {
        outcome->result = Result::errorStatus;
        outcome->errorStatus = response.errstat;
        outcome->errorIndex = response.errindex;
        return false;
    }
    if (response.variables == nullptr) {
        outcome->result = Result::noVariable;
        return false;
    }
    if (command == SNMP_MSG_GETBULK)  // a walk's answer lies beyond what was asked
        return true;
    for (const netsnmp_variable_list* vars = response.variables; vars != nullptr; vars = vars->next_variable) {
        bool asked = false;
        for (size_t i = 0; i < count && !asked; ++i)
            asked = names(*vars, variables[i].name, variables[i].length);
        if (!asked) {
            outcome->result = Result::otherObject;
            outcome->aboutLength = std::min(vars->name_length, static_cast<size_t>(MAX_OID_LEN));
            memcpy(outcome->about, vars->name, outcome->aboutLength * sizeof(oid));
            return false;
        }
    }
    return true;
}

const netsnmp_variable_list* answerFor(const netsnmp_pdu& response, const oid* name, size_t length,
                                       bool (*accept)(const netsnmp_variable_list&), bool* accepted)
{
    const netsnmp_variable_list* last = nullptr;
    const netsnmp_variable_list* lastAccepted = nullptr;
    for (const netsnmp_variable_list* vars = response.variables; vars != nullptr; vars = vars->next_variable) {
        if (!names(*vars, name, length))
            continue;
        last = vars;
        if (accept(*vars))
            lastAccepted = vars;
    }
    *accepted = lastAccepted != nullptr;
    return lastAccepted != nullptr ? lastAccepted : last;
}

/* ---- Values ---- */

bool numberOf(const netsnmp_variable_list& vars, double* number)
{
    if (vars.type == ASN_OPAQUE_FLOAT && vars.val.floatVal != nullptr)
        *number = *vars.val.floatVal;
    else if (vars.type == ASN_OPAQUE_DOUBLE && vars.val.doubleVal != nullptr)
        *number = *vars.val.doubleVal;
    else if (vars.type == ASN_INTEGER && vars.val.integer != nullptr)
        *number = static_cast<double>(*vars.val.integer);
    else
        return false;
    return true;
}

bool isNumber(const netsnmp_variable_list& vars)
{
    double number = 0.0;
    return numberOf(vars, &number);
}

bool isNumberOrText(const netsnmp_variable_list& vars)
{
    return isNumber(vars) || vars.type == ASN_OCTET_STR;
}

int truncateToInt(double number)
{
    if (std::isnan(number))
        return 0;
    if (number >= static_cast<double>(INT_MAX))
        return INT_MAX;
    if (number <= static_cast<double>(INT_MIN))
        return INT_MIN;
    return static_cast<int>(number);
}

char* copyOf(const netsnmp_variable_list& vars)
{
    char* text = static_cast<char*>(malloc(vars.val_len + 1));
    if (text == nullptr)
        return nullptr;
    if (vars.val_len > 0)
        memcpy(text, vars.val.string, vars.val_len);
    text[vars.val_len] = '\0';
    return text;
}

char* formatted(const netsnmp_variable_list& vars)
{
    double number = 0.0;
    if (!numberOf(vars, &number))
        return nullptr;
    const bool integer = vars.type == ASN_INTEGER;
    const long whole = integer ? *vars.val.integer : 0;
    const int needed = integer ? snprintf(nullptr, 0, "%9ld", whole) : snprintf(nullptr, 0, "%9f", number);
    const size_t size = needed < 10 ? 10 : static_cast<size_t>(needed) + 1;
    char* text = static_cast<char*>(malloc(size));
    if (text == nullptr)
        return nullptr;
    if (integer)
        snprintf(text, size, "%9ld", whole);
    else
        snprintf(text, size, "%9f", number);
    return text;
}

const char* typeName(u_char type)
{
    static const struct {
        u_char type;
        const char* name;
    } types[] = {
        {ASN_INTEGER, "INTEGER"},          {ASN_OCTET_STR, "OCTET STRING"},
        {ASN_NULL, "NULL"},                {ASN_OBJECT_ID, "OBJECT IDENTIFIER"},
        {ASN_IPADDRESS, "IpAddress"},      {ASN_COUNTER, "Counter32"},
        {ASN_GAUGE, "Gauge32"},            {ASN_TIMETICKS, "TimeTicks"},
        {ASN_OPAQUE, "Opaque"},            {ASN_COUNTER64, "Counter64"},
        {ASN_OPAQUE_FLOAT, "opaque float"}, {ASN_OPAQUE_DOUBLE, "opaque double"},
        {SNMP_NOSUCHOBJECT, "noSuchObject"}, {SNMP_NOSUCHINSTANCE, "noSuchInstance"},
        {SNMP_ENDOFMIBVIEW, "endOfMibView"},
    };
    for (const auto& t : types)
        if (t.type == type)
            return t.name;
    return "an unknown type";
}

Dotted dotted(const oid* name, size_t length)
{
    Dotted dotted{};
    size_t used = 0;
    for (size_t i = 0; i < length && used < sizeof dotted.text; ++i)
        used += static_cast<size_t>(snprintf(dotted.text + used, sizeof dotted.text - used, i > 0 ? ".%lu" : "%lu",
                                             static_cast<unsigned long>(name[i])));
    return dotted;
}

}  // namespace torvan_core
