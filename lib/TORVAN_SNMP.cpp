/*
 * TORVAN_SNMP.cpp: the frame of the crate SNMP access library: the string
 * duplicator, the log function, Winsock start-up and clean-up, the entry point
 * of the library as a Windows dynamic library, and opening and closing the
 * SNMPv2c session to one crate, and the library's own MIB folder.
 *
 * Net-SNMP operations relied on here: snmp_sess_init, and in place of
 * snmp_sess_open its two steps netsnmp_tdomain_transport_full and
 * snmp_sess_add (single sessions, addressed only through their handle, with a
 * pre-parse hook that takes answers only from the crate), snmp_error,
 * snmp_sess_close; snmp_register_callback and add_mibdir for the MIB folder.
 */
#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <system_error>

#include <winsock2.h>  // the real one on Windows, before windows.h; the stand-in elsewhere
#ifdef _WIN32
#include <windows.h>
#else
#include <dlfcn.h>
#include <link.h>
#endif

#include "TORVAN_SNMP.h"  // also brings the syslog priority names LOG_ERR, LOG_INFO, LOG_DEBUG
#include "session_open.h"

const char* const readCommunity = "ovalis";
const char* const writeCommunity = "kite";

enum {
    SESSION_TIMEOUT_US = 100000,  // per attempt
    SESSION_RETRIES = 3,
};

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

/* Registered when the library is loaded, so that it is in place whenever
 * SnmpInit (or the program) starts Net-SNMP. */
const int ownMibFolderRegistered =
    snmp_register_callback(SNMP_CALLBACK_LIBRARY, SNMP_CALLBACK_POST_PREMIB_READ_CONFIG, addOwnMibFolder, nullptr);

/* ---- Answers only from the crate ----
 *
 * A UDP socket takes a datagram from anyone, and Net-SNMP matches an answer
 * to its request by the request-id alone: another local process that sees the
 * session's port (in /proc/net/udp) and guesses the next request-id could
 * pass its own answer off as the crate's. Net-SNMP's pre-parse hook drops
 * every datagram that does not come from the crate's address and port. */

/* Whether two socket addresses are the same address and port. */
bool sameEndpoint(const netsnmp_sockaddr_storage& a, const netsnmp_sockaddr_storage& b)
{
    if (a.sa.sa_family != b.sa.sa_family)
        return false;
    if (a.sa.sa_family == AF_INET)
        return a.sin.sin_port == b.sin.sin_port && a.sin.sin_addr.s_addr == b.sin.sin_addr.s_addr;
#ifdef NETSNMP_ENABLE_IPV6
    if (a.sa.sa_family == AF_INET6)
        return a.sin6.sin6_port == b.sin6.sin6_port &&
               memcmp(&a.sin6.sin6_addr, &b.sin6.sin6_addr, sizeof a.sin6.sin6_addr) == 0;
#endif
    return false;
}

/* The hook: 1 to parse a datagram, 0 to drop it. A stream transport is
 * connected to the crate, so only datagrams are checked. */
int fromCrate(netsnmp_session* session, netsnmp_transport* transport, void* source, int sourceLength)
{
    (void)session;
    if (transport->flags & NETSNMP_TRANSPORT_FLAG_STREAM)
        return 1;
    const auto* crate = static_cast<const netsnmp_indexed_addr_pair*>(transport->data);
    const auto* from = static_cast<const netsnmp_indexed_addr_pair*>(source);
    if (crate == nullptr || transport->data_length < static_cast<int>(sizeof *crate) || from == nullptr ||
        sourceLength < static_cast<int>(sizeof *from))
        return 0;
    if (sameEndpoint(crate->remote_addr, from->remote_addr))
        return 1;
    char* sender = netsnmp_transport_peer_string(transport, source, sourceLength);
    fprintf(stderr, "SNMP session: dropped an answer from %s, not the crate's address\n",
            sender != nullptr ? sender : "an unknown sender");
    free(sender);
    return 0;
}

/* snmp_sess_open with the hook in place: Net-SNMP's own open does the same
 * for a session like ours (no local address, no broadcast), without a hook. */
HSNMP openSession(netsnmp_session* session)
{
    netsnmp_transport* transport =
        netsnmp_tdomain_transport_full("snmp", session->peername, session->local_port, "udp,udp6", nullptr);
    if (transport == nullptr) {
        session->s_snmp_errno = SNMPERR_BAD_ADDRESS;
        session->s_errno = errno;
        snmp_set_detail(session->peername);
        return nullptr;
    }
    return snmp_sess_add(session, transport, fromCrate, nullptr);
}

}  // namespace

HSNMP torvan_session::openFromCrate(netsnmp_session* session)
{
    return openSession(session);
}

char* StrDup(const char* str)
{
    if (str == nullptr)
        return nullptr;
    size_t size = strlen(str) + 1;
    char* copy = static_cast<char*>(malloc(size));
    if (copy != nullptr)
        memcpy(copy, str, size);
    return copy;
}

void syslog(int priority, const char* format, ...)
{
    (void)priority;  // every message is printed; the priority only documents its weight
    va_list args;
    va_start(args, format);
    vprintf(format, args);
    va_end(args);
    putchar('\n');
}

char* winsock_startup(void)
{
    WSADATA wsaData;
    int err = WSAStartup(MAKEWORD(2, 2), &wsaData);
    if (err != 0) {
        printf("WSAStartup failed with error: %d\n", err);
        return nullptr;
    }
    if (LOBYTE(wsaData.wVersion) != 2 || HIBYTE(wsaData.wVersion) != 2) {
        printf("Could not find a usable version of Winsock.dll\n");
        WSACleanup();
        return nullptr;
    }
    printf("The Winsock 2.2 dll was found okay\n");
    return nullptr;
}

void winsock_cleanup(void)
{
    WSACleanup();
}

extern "C" BOOL APIENTRY DllMain(HANDLE hModule, DWORD ul_reason_for_call, LPVOID lpReserved)
{
    (void)hModule;
    (void)ul_reason_for_call;
    (void)lpReserved;
    return TRUE;
}

void SnmpCleanup(void)
{
    winsock_cleanup();
}

HSNMP SnmpOpen(const char* ipAddress)
{
    struct snmp_session session;
    snmp_sess_init(&session);
    session.version = SNMP_VERSION_2c;
    session.peername = StrDup(ipAddress);
    session.community = reinterpret_cast<u_char*>(StrDup(readCommunity));
    session.community_len = session.community != nullptr ? strlen(reinterpret_cast<char*>(session.community)) : 0;
    session.timeout = SESSION_TIMEOUT_US;
    session.retries = SESSION_RETRIES;

    // A description without its peer name or community would open a session to
    // the wrong place or with no community: refuse it as a failed open.
    HSNMP handle = nullptr;
    if (session.peername != nullptr && session.community != nullptr)
        handle = openSession(&session);

    if (handle == nullptr) {
        int liberr = 0, syserr = 0;
        char* errstr = nullptr;
        snmp_error(&session, &liberr, &syserr, &errstr);
        syslog(LOG_ERR, "Open SNMP session for host \"%s\": %s", ipAddress, errstr != nullptr ? errstr : "out of memory");
        free(errstr);
    } else {
        syslog(LOG_INFO, "SNMP session for host \"%s\" opened", ipAddress);
    }

    // snmp_sess_open keeps copies of its own; ours are released here.
    free(session.peername);
    free(session.community);
    return handle;
}

void SnmpClose(HSNMP m_sessp)
{
    if (m_sessp == nullptr)
        return;
    if (snmp_sess_close(m_sessp) == 0)
        syslog(LOG_ERR, "Close SNMP session: ERROR");
    else
        syslog(LOG_INFO, "SNMP session closed");
}
