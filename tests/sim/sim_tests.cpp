// sim_tests.cpp: This file contains the tests of the simulated crate through
// Net-SNMP's command-line tools, a client nobody here wrote: walks, gets and
// sets of the default and described crates, communities, the ramp model on a
// test-advanced clock, every fault mode, malformed layouts and commands, and
// odd datagrams.
#include "kovo_test_support.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

using namespace kovo::test;
using ::testing::HasSubstr;

namespace {

RunResult get(const Sim& sim, const std::vector<std::string>& names, const std::string& community = "ovalis")
{
    return runSnmpTool("snmpget", sim, community, names, {"-t", "0.2", "-r", "0"});
}

}  // namespace

TEST(SimStartup, AnswersGetsOfTheDefaultCrateAndStopsCleanly)
{
    Sim sim = startSim();
    const RunResult r = get(sim, {"sysMainSwitch.0", "outputNumber.0", "outputName.1"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_THAT(r.out, HasSubstr("sysMainSwitch.0 = INTEGER: 0"));
    EXPECT_THAT(r.out, HasSubstr("outputNumber.0 = INTEGER: 24"));
    EXPECT_THAT(r.out, HasSubstr("outputName.1 = STRING: U0"));
    EXPECT_EQ(stopSim(sim), 0);
}
