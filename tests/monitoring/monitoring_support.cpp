// monitoring_support.cpp: This file contains the monitoring chain's start
// through scripts/monitor.sh, and the HTTP gets and polling waits that the
// monitoring test and benchmark share.
#include "monitoring_support.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <regex>
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

Chain startChain(const std::filesystem::path& crates, int interval)
{
    Chain chain;
    std::vector<std::string> argv{"bash", KOVO_MONITOR_SCRIPT, "--crates", crates.string()};
    if (interval > 0)
        argv.insert(argv.end(), {"--interval", std::to_string(interval)});
    chain.script = kovo::test::Process({.argv = argv, .input = kovo::test::Input::null});
    // The script prints each server's address ("NAME   http://HOST:PORT/...")
    // once every one answers, then its scratch folder.
    const std::pair<std::string, std::string*> servers[] = {
        {"SNMP exporter", &chain.exporter}, {"Prometheus", &chain.prometheus}, {"Alertmanager", &chain.alertmanager}};
    std::smatch match;
    for (std::string line; chain.scratch.empty() && chain.script.readLine(line, 180000);) {
        if (std::regex_match(line, match, std::regex(R"(Scratch folder +(\S+) .*)")))
            chain.scratch = match[1].str();
        for (const auto& [name, address] : servers)
            if (std::regex_match(line, match, std::regex(name + R"( +http://([^/]+)/.*)")))
                *address = match[1];
    }
    if (chain.scratch.empty() || chain.exporter.empty() || chain.alertmanager.empty() || chain.prometheus.empty()) {
        chain.script.stop();
        throw std::runtime_error("the monitoring did not start:\n" + chain.script.out() + chain.script.err());
    }
    return chain;
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

}  // namespace kovo::monitoring
