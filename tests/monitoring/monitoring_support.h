// monitoring_support.h: This file contains what the monitoring test and
// benchmark share: servers of Debian's monitoring packages run on free
// loopback ports, plain HTTP gets of them, and waits that poll.
#pragma once

#include <sys/types.h>

#include <filesystem>
#include <functional>
#include <string>
#include <vector>

namespace kovo::monitoring {

// A loopback TCP port nobody listens on now.
int freePort();

// The body of an HTTP GET of http://ADDRESS/PATH ("" when it cannot be had);
// `query` pairs are URL-encoded onto the path.
std::string httpGet(const std::string& address, const std::string& path,
                    const std::vector<std::pair<std::string, std::string>>& query = {});

// Polls until `done` holds, for at most `seconds`; false if it never did.
bool waitUntil(const std::function<bool()>& done, double seconds);

// One server (exporter, Prometheus, Alertmanager) on a free loopback port,
// its output in NAME.log in `dir`; stopped with the object, and with the
// program should that die first. argv's "{address}" becomes the server's
// address; the server counts as started once `ready` (a path) answers. A
// port lost to another program meanwhile is replaced by another. Throws with
// the log when it does not start.
struct Server {
    std::string address;
    pid_t pid = -1;
    std::filesystem::path log;

    Server(const std::string& name, const std::filesystem::path& dir, const std::vector<std::string>& argv,
           const std::string& ready);
    ~Server();
    Server(const Server&) = delete;
    Server& operator=(const Server&) = delete;
    bool exited();
    void stop();
};

std::string readFile(const std::filesystem::path& path);

}  // namespace kovo::monitoring
