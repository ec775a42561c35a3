// This file contains the tests of the library's frame: the log function, the
// string duplicator, and opening and closing sessions with real Net-SNMP.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "TORVAN_SNMP.h"
#include "winsock_control.h"

namespace {

// A loopback UDP port on which nothing listens: bound once to find it, then released.
int silentPort()
{
    int fd = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    socklen_t size = sizeof address;
    getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size);
    close(fd);
    return ntohs(address.sin_port);
}

std::string capturedStdout()
{
    fflush(stdout);
    return testing::internal::GetCapturedStdout();
}

class Session : public testing::Test {
protected:
    static inline std::string initFailure;  // what a failed SnmpInit printed
    // A failed SnmpInit fails each test in SetUp: a failure here would only
    // have the suite's tests counted as skipped.
    static void SetUpTestSuite()
    {
        testing::internal::CaptureStdout();
        const bool started = SnmpInit() == 1;
        const std::string printed = capturedStdout();
        if (!started)
            initFailure = "SnmpInit failed:\n" + printed;
    }
    void SetUp() override { ASSERT_TRUE(initFailure.empty()) << initFailure; }
};

}  // namespace

TEST(Frame, SyslogPrintsTheFormattedTextAndOneNewlineWithoutThePriority)
{
    testing::internal::CaptureStdout();
    syslog(6, "value %d", 5);
    syslog(3, "%s", "");
    EXPECT_EQ(capturedStdout(), "value 5\n\n");
}

TEST(Frame, StrDupCopiesTextAndPassesNullThrough)
{
    EXPECT_EQ(StrDup(nullptr), nullptr);
    const char* text = "ovalis";
    char* copy = StrDup(text);
    ASSERT_NE(copy, nullptr);
    EXPECT_NE(copy, text);
    EXPECT_STREQ(copy, text);
    free(copy);
}

TEST_F(Session, OpensToAnAddressWhereNothingAnswersAndClosesCleanly)
{
    std::string address = "127.0.0.1:" + std::to_string(silentPort());
    testing::internal::CaptureStdout();
    HSNMP handle = SnmpOpen(address.c_str());
    EXPECT_EQ(capturedStdout(), "SNMP session for host \"" + address + "\" opened\n");
    ASSERT_NE(handle, nullptr);

    testing::internal::CaptureStdout();
    SnmpClose(handle);
    EXPECT_EQ(capturedStdout(), "SNMP session closed\n");
}

TEST_F(Session, AddressThatCannotBeOpenedGivesNullAndOneErrorLine)
{
    // Net-SNMP refuses a port beyond 65535 itself, before any name service is
    // asked; a TCP connection to a closed loopback port is refused at once.
    for (const std::string address : {"127.0.0.1:99999", "tcp:127.0.0.1:1"}) {
        testing::internal::CaptureStdout();
        HSNMP handle = SnmpOpen(address.c_str());
        std::string out = capturedStdout();
        EXPECT_EQ(handle, nullptr) << address;
        const std::string start = "Open SNMP session for host \"" + address + "\": ";
        ASSERT_EQ(out.compare(0, start.size(), start), 0) << out;
        EXPECT_GT(out.size(), start.size() + 1) << "Net-SNMP's error text is missing";
        EXPECT_EQ(out.find('\n'), out.size() - 1) << out;
    }
}

TEST_F(Session, ClosingANullHandlePrintsNothing)
{
    testing::internal::CaptureStdout();
    SnmpClose(nullptr);
    EXPECT_EQ(capturedStdout(), "");
}

TEST(Frame, CleanupReleasesWinsockOnceAndNothingElse)
{
    int before = winsock_standin_cleanups();
    testing::internal::CaptureStdout();
    SnmpCleanup();
    EXPECT_EQ(capturedStdout(), "");
    EXPECT_EQ(winsock_standin_cleanups(), before + 1);
}
