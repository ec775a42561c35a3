// monitoring_support.cpp: This file contains the servers, HTTP gets and
// polling waits that the monitoring test and benchmark share.
#include "monitoring_support.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

namespace kovo::monitoring {

namespace {

std::string urlEncoded(const std::string& text)
{
    std::string out;
    for (const unsigned char c : text) {
        if (std::isalnum(c) || c == '-' || c == '_' || c == '.' || c == '~') {
            out += static_cast<char>(c);
        } else {
            char escape[4];
            std::snprintf(escape, sizeof escape, "%%%02X", c);
            out += escape;
        }
    }
    return out;
}

}  // namespace

int freePort()
{
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    const bool bound = bind(fd, reinterpret_cast<sockaddr*>(&address), size) == 0 &&
                       getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size) == 0;
    close(fd);
    if (!bound)
        throw std::runtime_error("no free loopback port");
    return ntohs(address.sin_port);
}

// HTTP/1.0, so that the server sends the body plainly and closes the connection.
std::string httpGet(const std::string& address, const std::string& path,
                    const std::vector<std::pair<std::string, std::string>>& query)
{
    std::string target = path;
    for (std::size_t i = 0; i < query.size(); ++i)
        target += (i ? "&" : "?") + query[i].first + "=" + urlEncoded(query[i].second);
    const auto colon = address.rfind(':');
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(static_cast<uint16_t>(std::stoi(address.substr(colon + 1))));
    inet_pton(AF_INET, address.substr(0, colon).c_str(), &to.sin_addr);
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    const timeval limit{30, 0};     // a guard against a server that hangs
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    std::string response;
    if (connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to) == 0) {
        const std::string request = "GET " + target + " HTTP/1.0\r\nHost: " + address + "\r\n\r\n";
        if (send(fd, request.data(), request.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(request.size())) {
            char buffer[65536];
            for (ssize_t n; (n = recv(fd, buffer, sizeof buffer, 0)) > 0;)
                response.append(buffer, static_cast<std::size_t>(n));
        }
    }
    close(fd);
    const auto body = response.find("\r\n\r\n");
    const bool ok = response.rfind("HTTP/1.", 0) == 0 && response.compare(9, 3, "200") == 0;
    return ok && body != std::string::npos ? response.substr(body + 4) : "";
}

bool waitUntil(const std::function<bool()>& done, double seconds)
{
    const auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    while (!done()) {
        if (std::chrono::steady_clock::now() > end)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
    }
    return true;
}

Server::Server(const std::string& name, const std::filesystem::path& dir, const std::vector<std::string>& argv,
               const std::string& ready)
    : log(dir / (name + ".log"))
{
    for (int attempt = 0; attempt < 3 && pid < 0; ++attempt) {
        address = "127.0.0.1:" + std::to_string(freePort());
        std::vector<std::string> args = argv;
        for (std::string& a : args)
            if (const auto at = a.find("{address}"); at != std::string::npos)
                a.replace(at, 9, address);
        pid = fork();
        if (pid == 0) {
            prctl(PR_SET_PDEATHSIG, SIGTERM);
            const int fd = open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
            dup2(fd, 1);
            dup2(fd, 2);
            std::vector<char*> raw;
            for (std::string& a : args)
                raw.push_back(a.data());
            raw.push_back(nullptr);
            execvp(raw[0], raw.data());
            _exit(127);
        }
        if (!waitUntil([&] { return exited() || !httpGet(address, ready).empty(); }, 60) || exited())
            stop();
    }
    if (pid < 0)
        throw std::runtime_error(name + " did not start:\n" + readFile(log));
}

Server::~Server()
{
    stop();
}

bool Server::exited()
{
    if (pid > 0 && waitpid(pid, nullptr, WNOHANG) == pid)
        pid = -1;
    return pid < 0;
}

void Server::stop()
{
    if (pid > 0) {
        kill(pid, SIGTERM);
        waitpid(pid, nullptr, 0);
    }
    pid = -1;
}

std::string readFile(const std::filesystem::path& path)
{
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

}  // namespace kovo::monitoring
