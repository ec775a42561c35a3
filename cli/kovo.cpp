// kovo.cpp: This file contains the kovo tool's command line: the crate as its
// first argument, the session's options, one subcommand per command, and the
// exit statuses (0 done, 1 a failed exchange, refused value or unwritten row,
// 2 a command line that cannot be carried out; check's own 0 to 3).
#include <algorithm>
#include <cerrno>
#include <cmath>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <string>
#include <vector>

#include <CLI/CLI.hpp>
#include <fmt/format.h>

#include "commands.h"
#include "output.h"

namespace {

// The objects a get or set can name, for the commands' help.
std::string objectList()
{
    std::string crateWide, tables;
    for (int i = 0; i < kovoObjectCount(); ++i) {
        std::string& list = kovoObjectRows(i) == 0 ? crateWide : tables;
        list += fmt::format("{}{}{}", list.empty() ? "" : " ", kovoObjectName(i), kovoObjectWritable(i) ? "*" : "");
    }
    return fmt::format("\nObjects of the tables:\n  {}\n"
                       "Crate-wide objects (ROWS is \"crate\"):\n  {}\n(* writable)\n",
                       tables, crateWide);
}

const char* const rowsHelp =
    "channels: 0-7,12 (channel = 100 x slot + channel in slot, from 0), slot N, all, and on, off or tripped "
    "to narrow them (channels whose own switch is on or off, or with a failure latched); ranges skip channels "
    "the crate does not have. Sensor and fan rows: 0-3; crate-wide objects: crate";

// A number option that must lie within [low, high] (low itself excluded
// unless lowIncluded): a NaN, an infinity or a number past the bounds is
// refused before anything is sent.
CLI::Validator within(double low, double high, bool lowIncluded)
{
    return CLI::Validator(
        [=](std::string& text) {
            char* end = nullptr;
            errno = 0;
            const double number = std::strtod(text.c_str(), &end);
            const bool ok = !text.empty() && *end == '\0' && errno == 0 && std::isfinite(number) &&
                            (lowIncluded ? number >= low : number > low) && number <= high;
            return ok ? std::string()
                      : fmt::format("\"{}\" is no number {} {} up to {}", text, lowIncluded ? "from" : "above", low, high);
        },
        fmt::format("{} {} to {}", lowIncluded ? "from" : "above", low, high));
}

// The words "slot N" may come as two arguments; they are one selection.
std::vector<std::string> joinedSlots(int argc, char** argv)
{
    std::vector<std::string> args(argv + 1, argv + argc);
    for (size_t i = 0; i + 1 < args.size(); ++i) {
        const std::string& word = args[i];
        const bool slot = word == "slot" || (word.size() > 5 && word.compare(word.size() - 5, 5, ",slot") == 0);
        if (slot && std::isdigit(static_cast<unsigned char>(args[i + 1][0]))) {
            args[i] += " " + args[i + 1];
            args.erase(args.begin() + static_cast<long>(i) + 1);
        }
    }
    std::reverse(args.begin(), args.end());  // CLI11 takes them last first
    return args;
}

}  // namespace

int main(int argc, char** argv)
{
#ifndef _WIN32
    // A closed pipe is a failed write to report, not a signal to die of.
    std::signal(SIGPIPE, SIG_IGN);
#endif
    // Help is given without the MIB; anything else needs it.
    char error[256];
    const bool ready = kovoInit(error, sizeof error) == 1;

    CLI::App app{"kovo: the crate's channels and crate-wide values from a shell, over SNMPv2c", "kovo"};
    app.set_version_flag("--version", "kovo 1.0.0");
    app.require_subcommand(1);
    app.footer("kovo HOST COMMAND --help explains a command (any HOST will do).\n"
               "Exit status: 0 done, 1 a failed exchange, a refused value or a row not written, 2 a command line "
               "that cannot be carried out; check: 0 OK, 1 WARNING, 2 CRITICAL, 3 UNKNOWN.");
    app.fallthrough();
    std::string host;
    std::string readCommunity, writeCommunity;
    double timeout = 0;
    int retries = -1;
    bool json = false, csv = false, verbose = false;
    app.add_option("crate", host, "the crate's address: host[:port] (port 161 unless given)")->required();
    auto* readOption = app.add_option("-c,--community", readCommunity,
                                      "read community (default: snmp.conf's defCommunity, else the library's)");
    auto* writeOption = app.add_option("-w,--write-community", writeCommunity, "write community (default: the library's)");
    app.add_option("-t,--timeout", timeout, "seconds per attempt (default: snmp.conf's timeout, else 1)")
        ->check(within(0, 3600, false));
    app.add_option("-r,--retries", retries, "retries after the first attempt (default: snmp.conf's, else 5)")
        ->check(CLI::Range(0, 100));
    auto* jsonFlag = app.add_flag("--json", json, "print what is read as JSON");
    app.add_flag("--csv", csv, "print what is read as CSV: a header line, one row per channel")->excludes(jsonFlag);
    app.add_flag("-v,--verbose", verbose, "say which channels of a range the crate does not have, and each step of a wait");

    std::string rows = "all", object, value, state;
    std::vector<std::string> objects;
    double interval = 2, rampTimeout = 10;
    int count = 0;
    kovo_cli::WaitOptions wait;
    auto* statusCommand = app.add_subcommand("status", "crate-wide values and every present channel, in one bulk read");
    auto* getCommand = app.add_subcommand("get", "read objects of the listed rows");
    getCommand->add_option("rows", rows, rowsHelp)->required();
    getCommand->add_option("objects", objects, "objects to read")->required();
    getCommand->footer(objectList());
    auto* setCommand = app.add_subcommand("set", "write one object of the listed rows; every row is checked first");
    setCommand->add_option("rows", rows, rowsHelp)->required();
    setCommand->add_option("object", object, "the object to write")->required();
    setCommand->add_option("value", value, "the value: a number, an integer or a text, as the object takes")->required();
    auto* waitFlag = setCommand->add_flag("--wait", wait.wait,
                                          "outputVoltage: wait until every channel's sense voltage is within the "
                                          "tolerance; stop when one trips or is switched off");
    auto* toleranceOption =
        setCommand->add_option("--tolerance", wait.tolerance, "volts either side of the target (default 0.1)")
            ->check(within(0, 1000, false));
    auto* waitTimeoutOption =
        setCommand->add_option("--timeout", wait.timeout, "with --wait: seconds each step may take (default 300)")
            ->check(within(0, 86400, false));
    auto* stepOption = setCommand->add_option("--step", wait.step, "volts: move all channels together in steps of at most this, "
                                                "each waited for (implies --wait)")
        ->check(within(0, 1000, false));
    setCommand->footer(objectList());
    auto* switchCommand = app.add_subcommand("switch", "switch the crate or channels on or off");
    switchCommand->add_option("what", rows, "\"crate\", or channels as get and set take them")->required();
    switchCommand->add_option("state", state, "on or off")->required()->check(CLI::IsMember({"on", "off"}));
    auto* watchCommand = app.add_subcommand("watch", "the status table, read anew every interval, stamped with the time");
    watchCommand->add_option("-n,--interval", interval, "seconds between readings, 0.1 to 86400 (default 2)")
        ->check(within(0.1, 86400, true));
    watchCommand->add_option("--count", count, "readings to show, then end (default: until interrupted)")
        ->check(CLI::NonNegativeNumber);
    auto* checkCommand = app.add_subcommand(
        "check", "health check for Nagios, Icinga and their kin: KOVO OK|WARNING|CRITICAL|UNKNOWN - summary | perfdata");
    checkCommand->add_option("rows", rows, "the channels to check (default: all)");
    checkCommand->add_option("--ramp-timeout", rampTimeout,
                             "seconds a channel may ramp before it is a warning; the check reads again meanwhile "
                             "(default 10)")
        ->check(within(0, 86400, true));

    std::vector<std::string> args = joinedSlots(argc, argv);
    try {
        app.parse(args);
        if ((readOption->count() > 0 && readCommunity.empty()) || (writeOption->count() > 0 && writeCommunity.empty()))
            throw CLI::ValidationError("--community", "an empty community is refused: name the community");
        if ((toleranceOption->count() > 0 || waitTimeoutOption->count() > 0) && waitFlag->count() == 0 &&
            stepOption->count() == 0)
            throw CLI::ValidationError("set", "--tolerance and --timeout go with --wait or --step");
        if ((json || csv) && checkCommand->parsed())
            throw CLI::ValidationError("check", "check prints its one line; --json and --csv are for reads");
    } catch (const CLI::ParseError& e) {
        if (checkCommand->parsed() && e.get_exit_code() != 0) {
            std::cout << "KOVO UNKNOWN - " << e.what() << std::endl;
            return kovo_cli::checkUnknown;
        }
        const int status = app.exit(e);
        return status == 0 && std::cout.flush() ? 0 : kovo_cli::exitUsage;
    }
    const int unusable = checkCommand->parsed() ? int{kovo_cli::checkUnknown} : int{kovo_cli::exitFailed};
    if (!ready) {
        fmt::print(checkCommand->parsed() ? stdout : stderr, "{}{}\n", checkCommand->parsed() ? "KOVO UNKNOWN - " : "kovo: ",
                   error);
        return unusable;
    }

    kovoCrate* crate = kovoOpen(host.c_str(), readCommunity.empty() ? nullptr : readCommunity.c_str(),
                                writeCommunity.empty() ? nullptr : writeCommunity.c_str(), timeout, retries, error,
                                sizeof error);
    if (crate == nullptr) {
        fmt::print(checkCommand->parsed() ? stdout : stderr, "{}{}\n", checkCommand->parsed() ? "KOVO UNKNOWN - " : "kovo: ",
                   error);
        return unusable;
    }
    const kovo_cli::Format format = json ? kovo_cli::Format::json : csv ? kovo_cli::Format::csv : kovo_cli::Format::text;
    const kovo_cli::Context context{crate, format, verbose};
    wait.wait = wait.wait || wait.step > 0;
    int status = 0;
    try {
        if (statusCommand->parsed())
            status = kovo_cli::status(context);
        else if (getCommand->parsed())
            status = kovo_cli::get(context, rows, objects);
        else if (setCommand->parsed())
            status = kovo_cli::set(context, rows, object, value, wait);
        else if (switchCommand->parsed())
            status = kovo_cli::switchOnOff(context, rows, state);
        else if (watchCommand->parsed())
            status = kovo_cli::watch(context, interval, count);
        else if (checkCommand->parsed())
            status = kovo_cli::check(context, rows, rampTimeout);
        kovo_cli::flush();
    } catch (const kovo_cli::UsageError& e) {
        fmt::print(stderr, "kovo: {}\n", e.message);
        status = kovo_cli::exitUsage;
    } catch (const kovo_cli::OutputError& e) {
        fmt::print(stderr, "kovo: cannot write standard output: {}\n",
                   e.error != 0 ? std::strerror(e.error) : "write error");
        status = kovo_cli::exitFailed;
    }
    kovoFree(crate);
    return status;
}
