// launcher_tests.cpp: This file contains the tests of sim-launcher against
// requests no test of ours sends: from other processes of the machine, from
// a web page, from a stale address file, and from a process that is gone.
#include <arpa/inet.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "kovo_test_support.h"

using namespace kovo::test;
using ::testing::MatchesRegex;

namespace {

const std::string launcher = KOVO_SIM_LAUNCHER_PATH;

int connectTo(const std::string& address)
{
    sockaddr_in at{};
    at.sin_family = AF_INET;
    at.sin_port = htons(static_cast<uint16_t>(std::stoi(address.substr(address.rfind(':') + 1))));
    inet_pton(AF_INET, address.substr(0, address.rfind(':')).c_str(), &at.sin_addr);
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    const timeval guard{20, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &guard, sizeof guard);
    if (connect(fd, reinterpret_cast<sockaddr*>(&at), sizeof at) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

// Sends the bytes, ends the sending side and returns all that comes back
// until the launcher closes the connection.
std::string converse(const std::string& address, const std::string& bytes)
{
    const int fd = connectTo(address);
    send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
    shutdown(fd, SHUT_WR);
    std::string reply;
    char buffer[4096];
    for (ssize_t count; (count = recv(fd, buffer, sizeof buffer, 0)) > 0;)
        reply.append(buffer, static_cast<std::size_t>(count));
    close(fd);
    return reply;
}

// A launcher of the test's own, in the background, as CTest's fixture starts one.
struct Launcher {
    std::string folder = makeTempDir("kovo-launcher");
    std::string file = folder + "/address";
    std::string address, token;
    Launcher()
    {
        runProgram({launcher, "serve", file});
        std::ifstream(file) >> address >> token;
    }
    ~Launcher()
    {
        runProgram({launcher, "stop", file});
        std::filesystem::remove_all(folder);
    }
};

}  // namespace

TEST(SimLauncher, RefusesWhatNoTestOfOursSendsAndEndsWithItsStarter)
{
    Launcher own;
    struct stat mode {};
    ASSERT_EQ(stat(own.file.c_str(), &mode), 0);
    EXPECT_EQ(mode.st_mode & 0777, 0600u);
    const std::string hello = "hello " + own.token + "\n", victim = own.folder + "/victim";
    std::ofstream(victim) << "kept";
    const std::string notLoopback = "ok\nfailed [0-9]+\n\".*\" is no loopback UDP address.*\n";
    const struct {
        std::string request, reply;  // the reply, a regular expression of the whole transcript
    } cases[] = {
        {"start udp:127.0.0.1:0 0\n", "error: say hello with the token first\n"},
        {"hello " + std::string(32, '0') + "\nstart udp:127.0.0.1:0 0\n", "error: wrong token\n"},
        {"POST / HTTP/1.1\r\nContent-Length: 31\r\n\r\n" + hello + "start udp:127.0.0.1:0 0\n",
         "error: say hello with the token first\n"},
        {hello + "GET / HTTP/1.1\nstart udp:127.0.0.1:0 0\n", "ok\nerror: request not taken: \"GET / HTTP/1.1\"\n"},
        {hello + "start unix:" + victim + " 0\n", notLoopback},
        {hello + "start udp:0.0.0.0:0 0\n", notLoopback},
        {hello + "start udp6:[::]:0 0\n", notLoopback},
        {hello + "start udp:192.0.2.1:1161 0\n", notLoopback},
        {hello + std::string(1 << 20, 'x'), "(ok\n)?"},
        {hello + "start udp:127.0.0.1:0 2000000\n", "ok\nerror: request not taken: \"start udp:127.0.0.1:0 2000000\"\n"},
        {hello + "keep\nquit\n", "ok\nok\nerror: quit is taken only as the first request, from the launcher's own user\n"},
        {hello + "start udp6:[::1]:0 0\nstop\n", "ok\nready udp6:\\[::1\\]:[0-9]+ /[^ ]+ [0-9]+\nstopped 0\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.request.substr(0, 80));
        EXPECT_THAT(converse(own.address, c.request), MatchesRegex(c.reply));
    }
    EXPECT_TRUE(std::ifstream(victim).good()) << "a file named as a crate's address was removed";

    // From a process of another user, quit is refused.
    if (geteuid() == 0) {
        int pipeFds[2];
        ASSERT_EQ(pipe(pipeFds), 0);
        const pid_t stranger = fork();
        if (stranger == 0) {
            const std::string reply = setuid(65534) == 0 ? converse(own.address, hello + "quit\n") : "setuid failed";
            _exit(write(pipeFds[1], reply.data(), reply.size()) > 0 ? 0 : 1);
        }
        close(pipeFds[1]);
        char reply[256] = "";
        EXPECT_GT(read(pipeFds[0], reply, sizeof reply - 1), 0);
        close(pipeFds[0]);
        waitpid(stranger, nullptr, 0);
        EXPECT_THAT(reply, MatchesRegex("ok\nerror: quit is taken only .*\n"));
    }

    // At most 256 connections at once; and the launcher serves on after all of the above.
    std::vector<int> held;
    for (int i = 0; i < 256; ++i) {
        held.push_back(connectTo(own.address));
        send(held.back(), hello.data(), hello.size(), MSG_NOSIGNAL);
        char reply[3] = "";
        EXPECT_EQ(recv(held.back(), reply, 3, MSG_WAITALL), 3) << i;
    }
    EXPECT_EQ(converse(own.address, hello), "error: too many connections\n");
    for (int fd : held)
        close(fd);
    held.clear();
    EXPECT_THAT(converse(own.address, hello + "start udp:127.0.0.1:0 0\n"), MatchesRegex("ok\nready 127.0.0.1:[0-9]+ .*\n"));

    // A stale address file naming a service that never answers: stop returns, and removes the file.
    const int stale = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in at{};
    at.sin_family = AF_INET;
    at.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof at;
    ASSERT_EQ(bind(stale, reinterpret_cast<sockaddr*>(&at), sizeof at), 0);
    listen(stale, 4);
    getsockname(stale, reinterpret_cast<sockaddr*>(&at), &size);
    const std::string staleFile = own.folder + "/stale";
    std::ofstream(staleFile) << "127.0.0.1:" << ntohs(at.sin_port) << " " << own.token << "\n";
    EXPECT_EQ(runProgram({"timeout", "20", launcher, "stop", staleFile}).status, 0);
    EXPECT_FALSE(std::filesystem::exists(staleFile));
    close(stale);

    // A launcher whose starter ends ends too, and so does one told to stop.
    const std::string started = own.folder + "/started";
    runProgram({"sh", "-c", launcher + " serve " + started + "; true"});
    std::string address;
    std::ifstream(started) >> address;
    bool answering = true;
    for (int tries = 0; answering && tries < 200; ++tries) {
        const int fd = connectTo(address);
        answering = fd >= 0;
        if (answering) {
            close(fd);
            usleep(100000);
        }
    }
    EXPECT_FALSE(answering) << "the launcher outlived its starter";
    runProgram({launcher, "stop", own.file});
    EXPECT_EQ(connectTo(own.address), -1);
}
