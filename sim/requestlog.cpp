// requestlog.cpp: This file contains the simulator's request log: one JSON
// line per variable of every request received, with the time, PDU type,
// community, identifier, instance name, value type and the value's bytes.
#include "sim.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <nlohmann/json.hpp>

namespace sim {

namespace {

FILE* requestLog = nullptr;

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

}  // namespace

// Writes one line per variable of a request received, flushed at once.
void logRequest(const netsnmp_pdu* pdu)
{
    if (!requestLog)
        return;
    const double time = wallSeconds();
    const std::string community(reinterpret_cast<const char*>(pdu->community), pdu->community ? pdu->community_len : 0);
    for (const netsnmp_variable_list* vb = pdu->variables; vb; vb = vb->next_variable) {
        const nlohmann::json line = {
            {"time", time},
            {"pdu", pduName(pdu->command)},
            {"community", community},
            {"oid", dottedOid(vb->name, vb->name_length)},
            {"name", instanceNameOf(vb->name, vb->name_length)},
            {"type", typeName(vb->type)},
            {"value", hexValue(vb)},
        };
        const std::string text = line.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) + "\n";
        std::fputs(text.c_str(), requestLog);
        std::fflush(requestLog);
    }
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
    if (requestLog)
        std::fclose(requestLog);
    requestLog = nullptr;
}

}  // namespace sim
