// request_fuzzer.cpp: This file contains the fuzz target of crate-sim's
// handling of a request: any bytes as one datagram received by the agent,
// taken through Net-SNMP's message parsing and community check, crate-sim's
// packet hook (request log, faults) and request handler into the crate model,
// and answered into a buffer. No datagram crosses a network: the agent reads
// and answers through a transport of this file.
//
// After each input the crate must be as before, unless the input was a set
// with a write community that the agent answered without error, and then only
// the instances it named (and the values computed from them) may differ.
#include "sim_support.h"

#include <fcntl.h>
#include <netinet/in.h>
#include <sys/select.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>

#include <net-snmp/agent/net-snmp-agent-includes.h>

extern "C" netsnmp_session* main_session;   // the agent's listening session

using fuzz::require;

namespace {

// The datagram being received, and the answer sent for it.
const uint8_t* received;
size_t receivedSize;
std::vector<u_char> answer;

// What the agent was asked, as seen on the way into crate-sim's hook.
struct Request {
    bool seen = false;
    int command = 0;
    long version = 0;
    std::string community;
    std::vector<std::string> names;   // "object.index" of each variable
};
Request request;

sim::Crate pristine;                  // the crate before every input
netsnmp_session* agentSession;        // reads and answers through the transport below
int (*crateHook)(int, netsnmp_session*, int, netsnmp_pdu*, void*);

// The transport hands the agent the datagram, from 127.0.0.1 as a UDP
// client would, and keeps the answer.
int receive(netsnmp_transport*, void* buffer, int size, void** opaque, int* opaqueLength)
{
    auto* from = static_cast<netsnmp_indexed_addr_pair*>(calloc(1, sizeof(netsnmp_indexed_addr_pair)));
    from->remote_addr.sin.sin_family = AF_INET;
    from->remote_addr.sin.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    from->remote_addr.sin.sin_port = htons(40000);
    *opaque = from;
    *opaqueLength = sizeof *from;
    const int length = static_cast<int>(std::min(receivedSize, static_cast<size_t>(size)));
    std::copy_n(received, length, static_cast<uint8_t*>(buffer));
    return length;
}

int send(netsnmp_transport*, const void* buffer, int size, void**, int*)
{
    answer.assign(static_cast<const u_char*>(buffer), static_cast<const u_char*>(buffer) + size);
    return size;
}

int closeTransport(netsnmp_transport*)
{
    return 0;
}

// Notes the request, then hands it to crate-sim's hook as the agent would.
int observe(int operation, netsnmp_session* session, int reqid, netsnmp_pdu* pdu, void* magic)
{
    if (operation == NETSNMP_CALLBACK_OP_RECEIVED_MESSAGE) {
        request.seen = true;
        request.command = pdu->command;
        request.version = pdu->version;
        request.community.assign(reinterpret_cast<const char*>(pdu->community), pdu->community_len);
        for (const netsnmp_variable_list* vb = pdu->variables; vb; vb = vb->next_variable)
            request.names.push_back(sim::instanceNameOf(vb->name, vb->name_length));
    }
    return crateHook(operation, session, reqid, pdu, magic);
}

// Faults on some instances of the built-in crate, so that inputs reach the
// code that answers otherwise than the crate would.
const char* const faults[] = {
    "fault outputVoltage.2 set type Counter64",
    "fault outputVoltage.3 type OpaqueDouble",
    "fault outputCurrent.4 value 0.5",
    "fault outputName.5 any noSuchInstance",
    "fault outputSwitch.6 error badValue",
    "fault outputVoltage.7 drop",
    "fault fanSpeed.2 type IpAddress",
    "fault psSerialNumber.0 type Opaque 12.5",
};

void startAgent()
{
    fuzz::startAgentLibrary();
    sim::simulation.crate = sim::defaultCrate();
    int line = 0;
    require(sim::runCommand("model frozen", ++line) == "ok", "the model can be frozen");
    for (const char* fault : faults)
        require(sim::runCommand(fault, ++line) == "ok", "the faults are accepted");
    std::string bound, error;
    require(sim::openRequestLog("/dev/null", error), "the request log opens");
    // The agent's own session listens on a free loopback port nobody sends to.
    require(sim::startAgent("udp:127.0.0.1:0", "", bound, error), "the agent starts");  // "": the built-in layout
    pristine = sim::simulation.crate;
    crateHook = main_session->callback;
}

void openAgentSession()
{
    auto* transport = static_cast<netsnmp_transport*>(calloc(1, sizeof(netsnmp_transport)));
    transport->domain = netsnmpUDPDomain;
    transport->domain_length = netsnmpUDPDomain_len;
    transport->sock = open("/dev/null", O_RDONLY);   // only ever selected, never read
    transport->msgMaxSize = 65507;
    transport->f_recv = receive;
    transport->f_send = send;
    transport->f_close = closeTransport;
    netsnmp_session session = *main_session;
    session.callback = observe;
    session.callback_magic = nullptr;
    agentSession = snmp_add(&session, transport, nullptr, nullptr);
    require(agentSession != nullptr, "the agent session opens");
}

// The answer's error status, or -1 when there is none or it is no response.
long answerStatus()
{
    if (answer.empty())
        return -1;
    u_char community[256];
    size_t communityLength = sizeof community, length = answer.size();
    long version = 0;
    u_char* data = snmp_comstr_parse(answer.data(), &length, community, &communityLength, &version);
    require(data != nullptr, "the answer is a community message");
    netsnmp_pdu* pdu = static_cast<netsnmp_pdu*>(calloc(1, sizeof(netsnmp_pdu)));
    pdu->version = version;
    require(snmp_pdu_parse(pdu, data, &length) == 0, "the answer parses");
    const long status = pdu->command == SNMP_MSG_RESPONSE ? pdu->errstat : -1;
    snmp_free_pdu(pdu);
    require(status >= 0, "the answer is a response");
    return status;
}

// The rule: the crate changes only by a set with a write community that was
// answered without error, and only in the instances the set named.
void checkChanges(const fuzz::Instances& changed, long status)
{
    bool writer = false;
    for (const auto& [index, row] : pristine.communities)
        writer = writer || (index > 1 && !row[sim::snmpCommunityName].text.empty() &&
                            row[sim::snmpCommunityName].text == request.community);
    require(request.seen && request.command == SNMP_MSG_SET && writer, "only a set with a write community changes");
    require(status == SNMP_ERR_NOERROR, "only a set answered without error changes");
    for (const auto& [object, index] : changed)
        require(sim::isDerived(object) ||
                    std::count(request.names.begin(), request.names.end(), sim::instanceName(object, index)) > 0,
                "only the instances a set names change");
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    startAgent();
    openAgentSession();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    received = data;
    receivedSize = size;
    answer.clear();
    request = Request{};
    netsnmp_transport* transport = snmp_sess_transport(snmp_sess_pointer(agentSession));
    fd_set readable;
    FD_ZERO(&readable);
    FD_SET(transport->sock, &readable);
    snmp_sess_read(snmp_sess_pointer(agentSession), &readable);
    const long status = answerStatus();
    const fuzz::Instances changed = fuzz::changedInstances(pristine, sim::simulation.crate);
    if (!changed.empty()) {
        checkChanges(changed, status);
        sim::simulation.crate = pristine;
    }
    return 0;
}
