// kovo.cpp: This file contains the kovo tool's command line: the crate as its
// first argument, the session's options, one subcommand per command, and the
// exit statuses (0 done, 1 a failed exchange or refused value, 2 a command
// line that cannot be carried out).
#include <string>
#include <vector>

#include <CLI/CLI.hpp>
#include <fmt/format.h>

#include "commands.h"

namespace {

// The objects a get or set can name, for the commands' help.
std::string objectList()
{
    std::string crateWide, tables;
    for (int i = 0; i < kovoObjectCount(); ++i) {
        std::string& list = kovoObjectRows(i) == 0 ? crateWide : tables;
        list += fmt::format("{}{}{}", list.empty() ? "" : " ", kovoObjectName(i), kovoObjectWritable(i) ? "*" : "");
    }
    return fmt::format("\nObjects of the tables (ROWS such as 0-7,12; channel = 100 x slot + channel in slot):\n  {}\n"
                       "Crate-wide objects (ROWS is \"crate\"):\n  {}\n(* writable)\n",
                       tables, crateWide);
}

}  // namespace

int main(int argc, char** argv)
{
    // Help is given without the MIB; anything else needs it.
    char error[256];
    const bool ready = kovoInit(error, sizeof error) == 1;

    CLI::App app{"kovo: the crate's channels and crate-wide values from a shell, over SNMPv2c", "kovo"};
    app.set_version_flag("--version", "kovo 1.0.0");
    app.require_subcommand(1);
    app.footer("kovo HOST COMMAND --help explains a command (any HOST will do).\n"
               "Exit status: 0 done, 1 a failed exchange or a refused value, 2 a command line that cannot be carried out.");
    app.fallthrough();
    std::string host;
    std::string readCommunity, writeCommunity;
    double timeout = 0;
    int retries = -1;
    bool json = false;
    app.add_option("crate", host, "the crate's address: host[:port] (port 161 unless given)")->required();
    app.add_option("-c,--community", readCommunity,
                   "read community (default: snmp.conf's defCommunity, else the library's)");
    app.add_option("-w,--write-community", writeCommunity, "write community (default: the library's)");
    app.add_option("-t,--timeout", timeout, "seconds per attempt (default: snmp.conf's timeout, else 1)")
        ->check(CLI::PositiveNumber);
    app.add_option("-r,--retries", retries, "retries after the first attempt (default: snmp.conf's, else 5)")
        ->check(CLI::NonNegativeNumber);
    app.add_flag("--json", json, "print what is read as JSON");

    std::string rows, object, value, state;
    std::vector<std::string> objects;
    double interval = 2;
    int count = 0;
    auto* statusCommand = app.add_subcommand("status", "crate-wide values and every present channel, in one bulk read");
    auto* getCommand = app.add_subcommand("get", "read objects of the listed rows");
    getCommand->add_option("rows", rows, "rows (0-7,12) or \"crate\"")->required();
    getCommand->add_option("objects", objects, "objects to read")->required();
    getCommand->footer(objectList());
    auto* setCommand = app.add_subcommand("set", "write one object of the listed rows; every row is checked first");
    setCommand->add_option("rows", rows, "rows (0-7,12) or \"crate\"")->required();
    setCommand->add_option("object", object, "the object to write")->required();
    setCommand->add_option("value", value, "the value: a number, an integer or a text, as the object takes")->required();
    setCommand->footer(objectList());
    auto* switchCommand = app.add_subcommand("switch", "switch the crate or channels on or off");
    switchCommand->add_option("what", rows, "\"crate\", or channels (0-7,12)")->required();
    switchCommand->add_option("state", state, "on or off")->required()->check(CLI::IsMember({"on", "off"}));
    auto* watchCommand = app.add_subcommand("watch", "the status table, read anew every interval");
    watchCommand->add_option("-n,--interval", interval, "seconds between readings (default 2)")
        ->check(CLI::PositiveNumber);
    watchCommand->add_option("--count", count, "readings to show, then end (default: until interrupted)")
        ->check(CLI::NonNegativeNumber);

    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        return app.exit(e) == 0 ? 0 : kovo_cli::exitUsage;
    }
    if (!ready) {
        fmt::print(stderr, "kovo: {}\n", error);
        return kovo_cli::exitFailed;
    }

    kovoCrate* crate = kovoOpen(host.c_str(), readCommunity.empty() ? nullptr : readCommunity.c_str(),
                                writeCommunity.empty() ? nullptr : writeCommunity.c_str(), timeout, retries, error,
                                sizeof error);
    if (crate == nullptr) {
        fmt::print(stderr, "kovo: {}\n", error);
        return kovo_cli::exitFailed;
    }
    const kovo_cli::Context context{crate, json};
    int status = 0;
    try {
        if (statusCommand->parsed())
            status = kovo_cli::status(context);
        else if (getCommand->parsed())
            status = kovo_cli::get(context, rows, objects);
        else if (setCommand->parsed())
            status = kovo_cli::set(context, rows, object, value);
        else if (switchCommand->parsed())
            status = kovo_cli::switchOnOff(context, rows, state);
        else if (watchCommand->parsed())
            status = kovo_cli::watch(context, interval, count);
    } catch (const kovo_cli::UsageError& e) {
        fmt::print(stderr, "kovo: {}\n", e.message);
        status = kovo_cli::exitUsage;
    }
    kovoFree(crate);
    return status;
}
