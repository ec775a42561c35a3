// This file contains the leak test of the transfers: many calls over every
// path, answered or not, must leave the heap as they found it.
#include "crate_session.h"

#include <malloc.h>

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/lsan_interface.h>
// The sanitizer's allocator statistics; g++ ships no header declaring it.
extern "C" size_t __sanitizer_get_current_allocated_bytes(void);
#endif

namespace transfers_test {
namespace {

using ::testing::internal::CaptureStderr;
using ::testing::internal::GetCapturedStderr;

// Bytes the program holds on the heap right now.
size_t heapInUse()
{
#if defined(__SANITIZE_ADDRESS__)
    return __sanitizer_get_current_allocated_bytes();
#else
    return mallinfo2().uordblks;
#endif
}

// All five transfers once on one identifier.
void allFive(HSNMP session, const oid* identifier, size_t length)
{
    snmpGetInt(session, identifier, length);
    snmpGetDouble(session, identifier, length);
    free(snmpGetString(session, identifier, length));
    snmpSetInt(session, identifier, length, 1);
    snmpSetDouble(session, identifier, length, 1.0);
}

class Leaks : public CrateSession {};

// One round takes every path: values of each accepted type, an octet string,
// an error status, a type not accepted, an exception, an empty identifier, a
// missing session, a refused number, and a crate that does not answer.
TEST_F(Leaks, EveryPathReleasesWhatItTook)
{
    command("fault outputVoltage.2 error badValue");
    command("fault outputVoltage.3 type Counter32 9");
    command("fault outputVoltage.4 noSuchInstance");
    command("fault outputVoltage.5 type OctetString abcdefghij");
    command("fault outputVoltage.6 type Integer 1234567890");
    command("fault outputVoltage.7 drop");
    HSNMP quick = SnmpOpen(sim->address.c_str());  // only ever waits for the dropped object
    ASSERT_NE(quick, nullptr);
    snmp_sess_session(quick)->timeout = 1000;
    snmp_sess_session(quick)->retries = 0;

    auto round = [&] {
        for (int row = 0; row < 6; ++row)
            allFive(session, oidOutputVoltage[row], lengthOutputVoltage[row]);
        allFive(session, oidOutputName[0], lengthOutputName[0]);
        allFive(session, oidOutputVoltage[0], 0);
        allFive(nullptr, oidOutputVoltage[0], lengthOutputVoltage[0]);
        snmpSetDouble(session, oidOutputVoltage[0], lengthOutputVoltage[0], 1e300);
        allFive(quick, oidOutputVoltage[6], lengthOutputVoltage[6]);
    };
    CaptureStderr();
    round();  // lets Net-SNMP make whatever it keeps for good
    const size_t before = heapInUse();
    for (int i = 0; i < 100; ++i)
        round();
    const size_t after = heapInUse();
    const std::string messages = GetCapturedStderr();
    SnmpClose(quick);

    EXPECT_NE(messages.find("Error in packet"), std::string::npos);
    EXPECT_NE(messages.find("snmpget: Timeout"), std::string::npos);
    // 100 rounds of about 60 exchanges: a leak of even one byte a call shows.
    EXPECT_LT(after, before + 1000) << "heap grew by " << (after - before) << " bytes";
#if defined(__SANITIZE_ADDRESS__)
    EXPECT_EQ(__lsan_do_recoverable_leak_check(), 0);
#endif
}

}  // namespace
}  // namespace transfers_test
