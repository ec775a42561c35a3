// This file contains the fixture shared by the transfer and accessor tests: a
// simulated crate on a free loopback port, the library started once per test
// process, one session to the crate, and helpers to steer the crate and read
// what it received.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "catalogue.h"
#include "kovo_test_support.h"

namespace transfers_test {

// The crate the tests talk to: the built-in crate (slots 0, 1 and 3 with
// eight channels each) plus the channels of MIB index 999 and 1000, its
// values held still so that what a get returns is what the model holds.
inline const char* const frozenLayout =
    "model = \"frozen\"\n"
    "[[channel]]\nindex = 999\n"
    "[[channel]]\nindex = 1000\n";

// Dotted text of an identifier, as the simulator's request log writes it.
inline std::string dotted(const oid* identifier, size_t length)
{
    std::string text;
    for (size_t i = 0; i < length; ++i)
        text += (i ? "." : "") + std::to_string(identifier[i]);
    return text;
}

// Frees text returned by the library when it goes out of scope.
struct Text {
    char* text;
    explicit Text(char* t) : text(t) {}
    ~Text() { free(text); }
    Text(const Text&) = delete;
    Text& operator=(const Text&) = delete;
};

class CrateSession : public ::testing::Test {
protected:
    static bool initialised()
    {
        static const bool started = SnmpInit() == 1;  // the catalogue is filled once per process
        return started;
    }
    // A set-up that fails leaves sim null, and each test fails in SetUp: a
    // failure here would only have the suite's tests counted as skipped.
    static void SetUpTestSuite()
    {
        if (initialised())
            sim = new kovo::test::Sim(kovo::test::startSim(frozenLayout, ""));
    }
    static void TearDownTestSuite()
    {
        if (sim == nullptr)
            return;
        kovo::test::stopSim(*sim);
        delete sim;
        sim = nullptr;
    }
    void SetUp() override
    {
        ASSERT_TRUE(initialised()) << "SnmpInit failed (its reason is on standard output); MIBDIRS is \""
                                   << (getenv("MIBDIRS") != nullptr ? getenv("MIBDIRS") : "(unset)") << "\"";
        ASSERT_NE(sim, nullptr) << "crate-sim did not start";
        session = SnmpOpen(sim->address.c_str());
        ASSERT_NE(session, nullptr);
        // On a loaded machine the crate's answer may take longer than 0.1 s,
        // and the retry would show as a second request in the log. The tests
        // that count attempts open a session with the library's own timing.
        snmp_sess_session(session)->timeout = 10000000;
        command("clear");
        logged = kovo::test::simLog(*sim).size();
    }
    void TearDown() override
    {
        SnmpClose(session);  // null after a failed SetUp, which SnmpClose passes over
        if (sim != nullptr)
            command("clear");
    }

    // Runs one control command of the simulator and expects it to succeed.
    static std::string command(const std::string& line)
    {
        const std::string reply = kovo::test::simCommand(*sim, line);
        EXPECT_EQ(reply.rfind("ok", 0), 0u) << line << " -> " << reply;
        return reply;
    }

    // The requests the crate logged since the last call (or since SetUp).
    std::vector<kovo::test::LogEntry> received()
    {
        auto log = kovo::test::simLog(*sim);
        std::vector<kovo::test::LogEntry> fresh(log.begin() + static_cast<long>(std::min(logged, log.size())), log.end());
        logged = log.size();
        return fresh;
    }

    static inline kovo::test::Sim* sim = nullptr;
    HSNMP session = nullptr;
    size_t logged = 0;
};

}  // namespace transfers_test
