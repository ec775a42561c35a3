// This file contains the tests of allocation failures inside the transfers:
// the copy of the write community and the text of a value. The library's
// calls to malloc are wrapped at link time so that one chosen call fails;
// Net-SNMP's own allocations are not touched.
#include "crate_session.h"

extern "C" void* __real_malloc(size_t size);

namespace {

// Wrapped calls to let through before one fails; negative: none fails.
int allocationsBeforeFailure = -1;

}  // namespace

extern "C" void* __wrap_malloc(size_t size)
{
    if (allocationsBeforeFailure == 0) {
        allocationsBeforeFailure = -1;
        return nullptr;
    }
    if (allocationsBeforeFailure > 0)
        --allocationsBeforeFailure;
    return __real_malloc(size);
}

namespace transfers_test {
namespace {

using ::testing::internal::CaptureStderr;
using ::testing::internal::GetCapturedStderr;

class Allocation : public CrateSession {};

// Without the community copy a set is not sent at all: failure value, one line.
TEST_F(Allocation, SetWithoutCommunityCopyIsNotSent)
{
    CaptureStderr();
    allocationsBeforeFailure = 0;
    const int switched = snmpSetInt(session, oidChannelSwitch[0], lengthChannelSwitch[0], 1);
    allocationsBeforeFailure = 0;
    const double voltage = snmpSetDouble(session, oidOutputVoltage[0], lengthOutputVoltage[0], 2.5);
    allocationsBeforeFailure = -1;
    const std::string text = GetCapturedStderr();
    EXPECT_EQ(switched, 0);
    EXPECT_EQ(voltage, 0.0);
    EXPECT_EQ(text, "snmpSetInt: cannot allocate the write community\n"
                    "snmpSetDouble: cannot allocate the write community\n");
    EXPECT_TRUE(received().empty());
    // The next set goes out as usual.
    EXPECT_EQ(snmpSetDouble(session, oidOutputVoltage[0], lengthOutputVoltage[0], 2.5), 2.5);
}

// Without room for the text a string get returns null, whatever the value's type.
TEST_F(Allocation, TextWithoutRoomIsNull)
{
    for (const char* answer : {"type OctetString abc", "type Integer 42", "type OpaqueFloat 5"}) {
        SCOPED_TRACE(answer);
        command(std::string("fault outputName.1 ") + answer);
        CaptureStderr();
        allocationsBeforeFailure = 0;
        char* text = snmpGetString(session, oidOutputName[0], lengthOutputName[0]);
        allocationsBeforeFailure = -1;
        EXPECT_EQ(GetCapturedStderr(), "snmpGetString: cannot allocate the text\n");
        EXPECT_EQ(text, nullptr);
        free(text);
        EXPECT_EQ(received().size(), 1u);
    }
}

}  // namespace
}  // namespace transfers_test
