// requestlog.cpp: This file contains the simulator's request log: one JSON
// line per variable of every request received, with the time, the request's
// number in order of arrival and its request-id, the PDU type, community,
// peer address, identifier, instance name, value type and the value's
// bytes, and once the request is answered the response's error
// status and index and the values answered for the variable, as Net-SNMP's
// tools print them. A request's lines are written when its fate is known:
// answered, dropped, or refused for its community.
#include "sim.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <list>
#include <netinet/in.h>
#include <nlohmann/json.hpp>

namespace sim {

namespace {

FILE* requestLog = nullptr;

// A request whose lines wait for its answer.
struct Pending {
    long reqid;
    std::string peer;
    int command;
    long nonRepeaters, maxRepetitions;          // a GETBULK's
    std::vector<nlohmann::json> lines;
};
std::list<Pending> pending;
long requestsReceived = 0;

const char* pduName(int command)
{
    switch (command) {
    case SNMP_MSG_GET: return "GET";
    case SNMP_MSG_GETNEXT: return "GETNEXT";
    case SNMP_MSG_GETBULK: return "GETBULK";
    case SNMP_MSG_SET: return "SET";
    case SNMP_MSG_RESPONSE: return "RESPONSE";
    case SNMP_MSG_INFORM: return "INFORM";
    case SNMP_MSG_TRAP2: return "TRAP2";
    case SNMP_MSG_REPORT: return "REPORT";
    default: return "OTHER";
    }
}

std::string hexBytes(const unsigned char* bytes, std::size_t count)
{
    static const char digits[] = "0123456789ABCDEF";
    std::string text;
    for (std::size_t i = 0; i < count; ++i) {
        if (i)
            text += ' ';
        text += digits[bytes[i] >> 4];
        text += digits[bytes[i] & 15];
    }
    return text;
}

// Content octets of an integer as BER writes them: big-endian two's
// complement (or unsigned), without redundant leading bytes.
std::string hexInteger(uint64_t bits, bool isSigned)
{
    unsigned char bytes[9];
    for (int i = 0; i < 8; ++i)
        bytes[i + 1] = static_cast<unsigned char>(bits >> (8 * (7 - i)));
    bytes[0] = isSigned && (bits >> 63) ? 0xff : 0;
    int first = 0;
    while (first < 8 && ((bytes[first] == 0 && !(bytes[first + 1] & 0x80)) ||
                         (bytes[first] == 0xff && (bytes[first + 1] & 0x80))))
        ++first;
    return hexBytes(bytes + first, 9 - first);
}

template <typename Number>
std::string hexNetworkOrder(Number number)
{
    unsigned char bytes[sizeof number];
    std::memcpy(bytes, &number, sizeof number);
    std::reverse(bytes, bytes + sizeof number);
    return hexBytes(bytes, sizeof number);
}

// The value's bytes as they travel: content octets, and for the opaque float
// and double the number's bytes in network order.
std::string hexValue(const netsnmp_variable_list* vb)
{
    switch (vb->type) {
    case ASN_INTEGER:
        return hexInteger(static_cast<uint64_t>(static_cast<int64_t>(*vb->val.integer)), true);
    case ASN_COUNTER:
    case ASN_GAUGE:
    case ASN_TIMETICKS:
        return hexInteger(static_cast<uint32_t>(*vb->val.integer), false);
    case ASN_COUNTER64:
    case ASN_OPAQUE_COUNTER64:
    case ASN_OPAQUE_U64:
        return hexInteger((static_cast<uint64_t>(vb->val.counter64->high) << 32) | vb->val.counter64->low, false);
    case ASN_OPAQUE_I64:
        return hexInteger((static_cast<uint64_t>(vb->val.counter64->high) << 32) | vb->val.counter64->low, true);
    case ASN_OPAQUE_FLOAT:
        return hexNetworkOrder(*vb->val.floatVal);
    case ASN_OPAQUE_DOUBLE:
        return hexNetworkOrder(*vb->val.doubleVal);
    case ASN_OBJECT_ID: {
        std::string text;
        for (std::size_t i = 0; i < vb->val_len / sizeof(oid); ++i)
            text += (i ? "." : "") + std::to_string(vb->val.objid[i]);
        return text;
    }
    case ASN_OCTET_STR:
    case ASN_IPADDRESS:
    case ASN_OPAQUE:
    case ASN_BIT_STR:
        return hexBytes(vb->val.string, vb->val_len);
    default:
        return "";
    }
}

std::string dottedOid(const oid* name, std::size_t length)
{
    std::string text;
    for (std::size_t i = 0; i < length; ++i)
        text += (i ? "." : "") + std::to_string(name[i]);
    return text;
}

// The peer of a request as "udp:HOST:PORT" or "udp6:[HOST]:PORT", from the
// transport's data kept with the request: its first member is the peer's
// socket address.
std::string peerOf(const void* data, int length)
{
    sockaddr_storage address{};
    if (!data || length < static_cast<int>(sizeof(sockaddr_in)))
        return "";
    std::memcpy(&address, data, std::min<std::size_t>(static_cast<std::size_t>(length), sizeof address));
    char host[INET6_ADDRSTRLEN] = "";
    if (address.ss_family == AF_INET) {
        const auto* in = reinterpret_cast<const sockaddr_in*>(&address);
        inet_ntop(AF_INET, &in->sin_addr, host, sizeof host);
        return std::string("udp:") + host + ":" + std::to_string(ntohs(in->sin_port));
    }
    if (address.ss_family == AF_INET6 && length >= static_cast<int>(sizeof(sockaddr_in6))) {
        const auto* in6 = reinterpret_cast<const sockaddr_in6*>(&address);
        inet_ntop(AF_INET6, &in6->sin6_addr, host, sizeof host);
        return std::string("udp6:[") + host + "]:" + std::to_string(ntohs(in6->sin6_port));
    }
    return "";
}

void writeLines(const Pending& request)
{
    for (const nlohmann::json& line : request.lines) {
        const std::string text = line.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) + "\n";
        std::fputs(text.c_str(), requestLog);
    }
    std::fflush(requestLog);
}

std::list<Pending>::iterator findPending(long reqid, const std::string& peer)
{
    return std::find_if(pending.begin(), pending.end(),
                        [&](const Pending& p) { return p.reqid == reqid && p.peer == peer; });
}

// One answered variable: its identifier and its value as snmpget prints it.
nlohmann::json answered(const netsnmp_variable_list* vb)
{
    std::vector<char> text(1024 + 4 * vb->val_len);
    if (snprint_value(text.data(), text.size(), vb->name, vb->name_length, vb) < 0)
        text[0] = '\0';
    return {{"oid", dottedOid(vb->name, vb->name_length)}, {"value", text.data()}};
}

// The response's variables that answer request variable `index`: the same
// position, or for a GETBULK's repeater every repetition of it.
nlohmann::json answersTo(const Pending& request, std::size_t index, const std::vector<const netsnmp_variable_list*>& vars)
{
    nlohmann::json answers = nlohmann::json::array();
    const std::size_t count = request.lines.size();
    const std::size_t fixed = std::min<std::size_t>(static_cast<std::size_t>(std::max(0L, request.nonRepeaters)), count);
    if (request.command != SNMP_MSG_GETBULK || index < fixed) {
        if (index < vars.size())
            answers.push_back(answered(vars[index]));
        return answers;
    }
    for (std::size_t at = fixed + (index - fixed); at < vars.size(); at += count - fixed)
        answers.push_back(answered(vars[at]));
    return answers;
}

}  // namespace

// Keeps the lines of a request received, one per variable, until its fate is
// known (logResponse or logUnanswered).
void logRequest(const netsnmp_pdu* pdu)
{
    if (!requestLog)
        return;
    const double time = wallSeconds();
    const std::string community(reinterpret_cast<const char*>(pdu->community), pdu->community ? pdu->community_len : 0);
    Pending request{pdu->reqid, peerOf(pdu->transport_data, pdu->transport_data_length), pdu->command,
                    pdu->non_repeaters, pdu->max_repetitions, {}};
    for (const netsnmp_variable_list* vb = pdu->variables; vb; vb = vb->next_variable)
        request.lines.push_back({
            {"time", time},
            {"request", requestsReceived + 1},
            {"reqid", pdu->reqid},
            {"pdu", pduName(pdu->command)},
            {"community", community},
            {"peer", request.peer},
            {"oid", dottedOid(vb->name, vb->name_length)},
            {"name", instanceNameOf(vb->name, vb->name_length)},
            {"type", typeName(vb->type)},
            {"value", hexValue(vb)},
        });
    pending.push_back(std::move(request));
    ++requestsReceived;
}

// Writes the lines of the request that a datagram leaving the agent answers,
// with the response's error status, index and answered values.
void logResponse(const u_char* datagram, int size, const void* transportData, int transportDataLength)
{
    if (!requestLog || pending.empty() || size <= 0)
        return;
    std::vector<u_char> bytes(datagram, datagram + size);
    size_t length = bytes.size();
    u_char community[256];
    size_t communityLength = sizeof community;
    long version = 0;
    u_char* body = snmp_comstr_parse(bytes.data(), &length, community, &communityLength, &version);
    netsnmp_pdu* response = body ? snmp_pdu_create(SNMP_MSG_RESPONSE) : nullptr;
    if (!response)
        return;
    if (snmp_pdu_parse(response, body, &length) == 0 && response->command == SNMP_MSG_RESPONSE) {
        const auto request = findPending(response->reqid, peerOf(transportData, transportDataLength));
        if (request != pending.end()) {
            std::vector<const netsnmp_variable_list*> vars;
            for (const netsnmp_variable_list* vb = response->variables; vb; vb = vb->next_variable)
                vars.push_back(vb);
            for (std::size_t i = 0; i < request->lines.size(); ++i) {
                request->lines[i]["errstat"] = response->errstat;
                request->lines[i]["errindex"] = response->errindex;
                request->lines[i]["answer"] = answersTo(*request, i, vars);
            }
            writeLines(*request);
            pending.erase(request);
        }
    }
    snmp_free_pdu(response);
}

// Writes the lines of a request that got no answer (dropped, refused for its
// community); nothing when they were written with its answer.
void logUnanswered(const netsnmp_pdu* pdu)
{
    if (!requestLog)
        return;
    const auto request = findPending(pdu->reqid, peerOf(pdu->transport_data, pdu->transport_data_length));
    if (request == pending.end())
        return;
    writeLines(*request);
    pending.erase(request);
}

bool openRequestLog(const std::string& path, std::string& error)
{
    requestLog = std::fopen(path.c_str(), "w");
    if (!requestLog)
        error = "cannot write the request log " + path + ": " + std::strerror(errno);
    return requestLog != nullptr;
}

void closeRequestLog()
{
    for (const Pending& request : pending)      // held back when the simulator stopped
        if (requestLog)
            writeLines(request);
    pending.clear();
    if (requestLog)
        std::fclose(requestLog);
    requestLog = nullptr;
}

}  // namespace sim
