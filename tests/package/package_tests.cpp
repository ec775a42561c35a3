// package_tests.cpp: This file contains the test of the installed package,
// seen as its users see it: the tree installed into a temporary prefix, and
// by another user into a prefix of their own; the shared library's dynamic
// symbols against the declarations of its installed headers; a small C
// program built through pkg-config, through find_package in a CMake project
// of its own (shared and static library) and with the source tree taken in
// through add_subdirectory, each run against the installed crate-sim (a get
// and a float set round trip); the installed kovo tool and Python module
// reading it; and the installed program, started from / by its full path,
// finding its panel file and the MIB module and reading the crate at the
// address compiled into it.
//
// A run of the program installs the tree once, into a work folder that is
// kept when a case fails; CTest runs each case alone, so each installs for
// itself.
#include <arpa/inet.h>
#include <pwd.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <regex>
#include <set>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "kovo_test_support.h"

namespace fs = std::filesystem;
using namespace kovo::test;

namespace {

const std::string build = KOVO_BINARY_DIR;
const std::string consumerSource = std::string(KOVO_SOURCE_DIR) + "/tests/package/consumer";
constexpr int runTimeoutMs = 60000;

// What a consumer prints after its start-up: the main switch, a float set and
// its read back, and a channel's name.
const std::string roundTrip = "\nmain switch 0\nset 12.25\nget 12.25\nname U0\n";

const char* const installedFiles[] = {
    "lib/libTORVAN_SNMP.so.1.0.0",
    "lib/libTORVAN_SNMP.so.1",
    "lib/libTORVAN_SNMP.so",
    "lib/libTORVAN_SNMP.a",
    "include/TORVAN_SNMP/TORVAN_SNMP.h",
    "include/TORVAN_SNMP/netsnmplib.h",
    "include/TORVAN_SNMP/accessors.def",
    "include/TORVAN_SNMP/kovo_crate.h",
    "lib/pkgconfig/TORVAN_SNMP.pc",
    "lib/cmake/TORVAN_SNMP/TORVAN_SNMPConfig.cmake",
    "lib/cmake/TORVAN_SNMP/TORVAN_SNMPConfigVersion.cmake",
    "share/snmp/mibs/TORVAN-CRATE-MIB.txt",
    "bin/kovo_uir",
    "bin/kovo_uir.uir",
    "bin/crate-sim",
    "bin/kovo",
};

std::string join(const std::vector<std::string>& parts, const std::string& separator = " ")
{
    std::string text;
    for (const std::string& part : parts)
        text += (text.empty() ? "" : separator) + part;
    return text;
}

std::vector<std::string> words(const std::string& text)
{
    std::istringstream stream(text);
    return {std::istream_iterator<std::string>(stream), {}};
}

bool contains(const std::string& text, const std::string& part)
{
    return text.find(part) != std::string::npos;
}

// Runs a step the test cannot go on without; throws, failing the test with
// the step's output, when it fails.
RunResult must(const std::vector<std::string>& argv, const std::string& input = "",
               const std::vector<std::string>& env = {})
{
    RunResult result = runProgram(argv, input, "", env);
    if (result.status != 0)
        throw std::runtime_error(join(argv) + " failed (" + std::to_string(result.status) + "):\n" + result.out +
                                 result.err);
    return result;
}

bool onPath(const std::string& program)
{
    std::istringstream folders(std::getenv("PATH") ? std::getenv("PATH") : "");
    for (std::string folder; std::getline(folders, folder, ':');)
        if (!folder.empty() && access((folder + "/" + program).c_str(), X_OK) == 0)
            return true;
    return false;
}

std::string execLine(const std::string& prefix)
{
    return "Exec=\"" + prefix + "/bin/kovo_uir\"";
}

// Whether the desktop entry installed under `prefix` starts the program installed there.
bool desktopEntryStartsProgram(const std::string& prefix)
{
    const std::vector<std::string> entry = lines(readFile(prefix + "/share/applications/kovo_uir.desktop"));
    return std::ranges::find(entry, execLine(prefix)) != entry.end();
}

// Every name the installed headers declare (functions and globals), from the
// preprocessed headers: one declaration per statement, typedefs and enums aside.
std::set<std::string> declaredNames(const std::string& include)
{
    const RunResult preprocessed = must({"cc", "-E", "-I", include, "-"},
                                        "#include <TORVAN_SNMP.h>\n#include <catalogue.h>\n#include <kovo_crate.h>\n");
    std::string code;
    bool ours = false;
    for (const std::string& line : lines(preprocessed.out)) {
        if (line.starts_with("# "))
            ours = contains(line, include);
        else if (ours)
            code += line + " ";
    }
    code = std::regex_replace(code, std::regex(R"(__attribute__\s*\(\((?:[^()]|\([^()]*\))*\)\))"), " ");
    code = std::regex_replace(code, std::regex(R"(\{[^{}]*\})"), " ");  // the members of structures and enumerations
    static const std::regex typeStatement(R"(^\s*(typedef|enum)\b)"), identifier(R"([A-Za-z_]\w*)");
    std::set<std::string> names;
    std::istringstream statements(code);
    for (std::string statement; std::getline(statements, statement, ';');) {
        if (words(statement).empty() || std::regex_search(statement, typeStatement))
            continue;
        const std::string head = statement.substr(0, statement.find(contains(statement, "(") ? '(' : '['));
        std::string last;
        for (std::sregex_iterator name(head.begin(), head.end(), identifier), end; name != end; ++name)
            last = name->str();
        if (!last.empty())
            names.insert(last);
    }
    return names;
}

std::set<std::string> exportedNames(const std::string& library)
{
    std::set<std::string> names;
    for (const std::string& line : lines(must({"nm", "-D", "--defined-only", library}).out))
        if (!words(line).empty())
            names.insert(words(line).back());
    return names;
}

std::vector<std::string> difference(const std::set<std::string>& a, const std::set<std::string>& b)
{
    std::vector<std::string> only;
    std::ranges::set_difference(a, b, std::back_inserter(only));
    return only;
}

// Where a crate at the compiled-in address listens, when that is a loopback
// address ("HOST:PORT" or "[HOST]:PORT", with or without its transport);
// "" for an address off this machine.
std::string loopbackListenAddress(const std::string& address)
{
    static const std::regex form(R"((udp6?:)?(?:\[([^\]]+)\]|([^:\[\]]+)):\d+)");
    std::smatch part;
    if (!std::regex_match(address, part, form))
        return "";
    in_addr v4{};
    in6_addr v6{};
    if (part[3].matched && inet_pton(AF_INET, part[3].str().c_str(), &v4) == 1 && ntohl(v4.s_addr) >> 24 == 127)
        return part[1].matched ? address : "udp:" + address;
    if (part[2].matched && inet_pton(AF_INET6, part[2].str().c_str(), &v6) == 1 && IN6_IS_ADDR_LOOPBACK(&v6))
        return part[1].matched ? address : "udp6:" + address;
    return "";
}

// A user made for a test, removed with its home when the test ends, also when it fails.
struct UserRemoval {
    std::string name;
    ~UserRemoval() { runProgram({"userdel", "--remove", name}); }
};

class Package : public ::testing::Test {
protected:
    static inline std::string work, prefix;
    static inline std::vector<std::string> manifest;  // what the install wrote, by the build tree's record
    static inline std::string installFailure;

    // A failure here fails each case in SetUp: gtest would skip them, which CTest counts as passed.
    static void SetUpTestSuite()
    {
        try {
            work = makeTempDir("kovo-package");
            prefix = work + "/prefix";
            std::ofstream(work + "/snmp.conf") << "mibs :\nmibdirs /usr/share/snmp/mibs/ietf\n";
            must({"cmake", "--install", build, "--prefix", prefix});
            manifest = lines(readFile(build + "/install_manifest.txt"));
        } catch (const std::exception& e) {
            installFailure = e.what();
        }
    }

    void SetUp() override
    {
        if (!installFailure.empty())
            FAIL() << "the tree could not be installed: " << installFailure;
    }

    static void TearDownTestSuite()
    {
        if (work.empty())
            return;
        if (::testing::UnitTest::GetInstance()->current_test_suite()->Failed()) {
            std::printf("(kept %s)\n", work.c_str());
        } else {
            std::error_code ignored;
            fs::remove_all(work, ignored);
        }
    }

    // Net-SNMP sees no MIBDIRS, and a configuration whose MIB folders hold
    // only the base modules: the crate module can come only from the
    // installed prefix.
    static std::vector<std::string> cleanEnv(const std::vector<std::string>& extra = {})
    {
        std::vector<std::string> env{"MIBDIRS", "MIBS", "DISPLAY", "WAYLAND_DISPLAY", "SNMPCONFPATH=" + work};
        env.insert(env.end(), extra.begin(), extra.end());
        return env;
    }

    static Sim startInstalledSim(const std::string& listen = "")
    {
        return startSimProgram(prefix + "/bin/crate-sim", cleanEnv({"MIBDIRS=/usr/share/snmp/mibs/ietf"}), "", listen,
                               RequestLog::kept);
    }

    static void expectRoundTrip(const std::string& how, const std::string& program, const Sim& sim,
                                const std::vector<std::string>& env)
    {
        const RunResult result = run({.argv = {program, sim.address}, .env = env}, "", runTimeoutMs);
        EXPECT_TRUE(result.status == 0 && contains(result.out, roundTrip))
            << "the consumer built through " << how << " did not round-trip\n" << result.out << result.err;
        EXPECT_TRUE(contains(result.out, transcript("library/startup.txt")))
            << "the " << how << " consumer did not load the installed MIB module\n" << result.out << result.err;
    }
};

TEST_F(Package, InstallsItsFilesIntoThePrefixAndNothingOutside)
{
    std::vector<std::string> outside;
    for (const std::string& path : manifest)
        if (!path.starts_with(prefix + "/"))
            outside.push_back(path);
    EXPECT_TRUE(!manifest.empty() && outside.empty()) << "files installed outside the prefix:\n" << join(outside, "\n");
    for (const char* name : installedFiles)
        EXPECT_TRUE(fs::exists(prefix + "/" + name)) << "not installed: " << name;
    EXPECT_TRUE(desktopEntryStartsProgram(prefix))
        << "the desktop entry does not start the program under the prefix: " << execLine(prefix);
    const RunResult headers = must({"objdump", "-p", prefix + "/lib/libTORVAN_SNMP.so"});
    static const std::regex soname(R"(\s*SONAME\s+libTORVAN_SNMP\.so\.1)");
    EXPECT_TRUE(std::ranges::any_of(lines(headers.out), [](const std::string& line) {
        return std::regex_match(line, soname);
    })) << "soname is not libTORVAN_SNMP.so.1\n" << headers.out;
}

// A build that root made, installed by a user who may not write to it into a
// prefix of their own.
TEST_F(Package, AnotherUserInstallsTheBuildIntoTheirOwnPrefix)
{
    if (geteuid() != 0 || !onPath("useradd"))
        GTEST_SKIP() << "not run: installing as another user needs root and useradd, to make that user";
    const std::string user = "kovo-install-" + std::to_string(getpid());
    must({"useradd", "--create-home", user});
    const UserRemoval removal{user};
    const passwd* account = getpwnam(user.c_str());
    ASSERT_NE(account, nullptr) << "no account for the user just made, " << user;
    const std::string home = account->pw_dir;
    const char* path = std::getenv("PATH");
    const std::vector<std::string> asUser{"runuser", "-u", user, "--", "env", "-i",
                                          std::string("PATH=") + (path ? path : "/usr/bin:/bin"), "HOME=" + home};
    std::vector<std::string> readable = asUser;
    readable.insert(readable.end(), {"test", "-r", build + "/cmake_install.cmake"});
    if (runProgram(readable).status != 0)
        GTEST_SKIP() << "not run: another user cannot read the build tree " << build;

    std::vector<std::string> install = asUser;
    install.insert(install.end(), {"cmake", "--install", build, "--prefix", home + "/kovo"});
    const RunResult result = runProgram(install);
    EXPECT_TRUE(result.status == 0 && desktopEntryStartsProgram(home + "/kovo"))
        << "another user could not install the build into their own prefix\n"
        << execLine(home + "/kovo") << "\n" << result.out << result.err;
}

TEST_F(Package, SharedLibraryExportsWhatItsHeadersDeclare)
{
    const std::set<std::string> declared = declaredNames(prefix + "/include/TORVAN_SNMP");
    const std::set<std::string> exported = exportedNames(prefix + "/lib/libTORVAN_SNMP.so");
    EXPECT_GT(declared.size(), 100u) << "the headers' declarations were not found: " << join({declared.begin(), declared.end()});
    EXPECT_TRUE(declared == exported) << "exports differ from the header's declarations\n"
                                      << "exported, not declared: " << join(difference(exported, declared)) << "\n"
                                      << "declared, not exported: " << join(difference(declared, exported));
}

TEST_F(Package, ConsumersOfTheInstalledLibraryRoundTrip)
{
    const std::vector<std::string> flags =
        words(must({"pkg-config", "--cflags", "--libs", "TORVAN_SNMP"}, "",
                   {"PKG_CONFIG_PATH=" + prefix + "/lib/pkgconfig"}).out);
    std::vector<std::string> compile{"cc", consumerSource + "/consumer.c", "-o", work + "/pc-consumer"};
    compile.insert(compile.end(), flags.begin(), flags.end());
    must(compile);
    for (const std::string kind : {"", "_static"}) {
        const std::string folder = work + "/cmake-consumer" + kind;
        must({"cmake", "-S", consumerSource, "-B", folder, "-DCMAKE_PREFIX_PATH=" + prefix,
              "-DCONSUMER_LINKS=TORVAN_SNMP::TORVAN_SNMP" + kind});
        must({"cmake", "--build", folder});
    }

    const Sim sim = startInstalledSim();
    expectRoundTrip("pkg-config", work + "/pc-consumer", sim, cleanEnv({"LD_LIBRARY_PATH=" + prefix + "/lib"}));
    expectRoundTrip("find_package", work + "/cmake-consumer/consumer", sim, cleanEnv());
    // Linked statically, the library's code lies in a program outside the
    // prefix, with no MIB folder relative to it: the user names it.
    expectRoundTrip("find_package, statically linked", work + "/cmake-consumer_static/consumer", sim,
                    cleanEnv({"MIBDIRS=" + prefix + "/share/snmp/mibs:/usr/share/snmp/mibs/ietf"}));
}

// The source tree taken in by a project of its own through add_subdirectory:
// the library under its package name, and none of the tree's tests.
TEST_F(Package, ConsumerEmbeddingTheSourceTreeRoundTrips)
{
    const std::string embedded = work + "/embedding-consumer";
    must({"cmake", "-S", consumerSource, "-B", embedded, std::string("-DCONSUMER_KOVO_SOURCE=") + KOVO_SOURCE_DIR});
    must({"cmake", "--build", embedded, "--target", "consumer", "-j",
          std::to_string(std::max(1u, std::thread::hardware_concurrency()))});
    EXPECT_FALSE(fs::exists(embedded + "/kovo/tests")) << "an embedding project got the tree's tests";

    const Sim sim = startInstalledSim();
    expectRoundTrip("add_subdirectory", embedded + "/consumer", sim, cleanEnv());
}

// The installed tool and Python module find the installed MIB module themselves.
TEST_F(Package, InstalledToolAndPythonModuleReadTheCrate)
{
    const Sim sim = startInstalledSim();
    const RunResult tool = run({.argv = {prefix + "/bin/kovo", sim.address, "get", "0", "outputName"},
                                .cwd = "/",
                                .env = cleanEnv()},
                               "", runTimeoutMs);
    EXPECT_TRUE(tool.status == 0 && tool.out == "channel 0  outputName U0\n")
        << "the installed kovo did not read the crate\n" << tool.out << tool.err;

    const std::string site = prefix + "/lib/python3/dist-packages";
    if (!fs::is_directory(site))
        return;
    const std::string script = "import kovo; print(kovo.Crate('" + sim.address + "').channels[0].name)";
    const RunResult module =
        run({.argv = {"python3", "-c", script}, .cwd = "/", .env = cleanEnv({"PYTHONPATH=" + site})}, "", runTimeoutMs);
    EXPECT_TRUE(module.status == 0 && module.out == "U0\n")
        << "the installed Python module did not read the crate\n" << module.out << module.err;
}

// The installed program from /, by its full path: its panel file lies beside
// it, and it reads the main switch of the crate at its compiled-in address,
// which the crate's start makes this test's own.
TEST_F(Package, InstalledProgramFromRootReadsTheCrateAtItsAddress)
{
    const std::string listen = loopbackListenAddress(KOVO_CRATE_ADDRESS);
    if (listen.empty())
        GTEST_SKIP() << "the compiled-in crate address " << KOVO_CRATE_ADDRESS
                     << " is not on this machine: the installed program is not run, as no test reaches a real crate";
    const Sim sim = startInstalledSim(listen);
    const RunResult app = run({.argv = {prefix + "/bin/kovo_uir"}, .cwd = "/", .env = cleanEnv()}, "show\n", runTimeoutMs);
    EXPECT_TRUE(app.status == 0 && contains(app.err, "panel PANEL \"Crate control\""))
        << "the installed program started from / did not show its panel\n" << app.out << app.err;
    EXPECT_TRUE(contains(app.out, transcript("library/startup.txt")))
        << "the installed program did not load the installed MIB module\n" << app.out;
    const std::vector<LogEntry> requests = simLog(sim);
    EXPECT_TRUE(std::ranges::any_of(requests, [](const LogEntry& entry) {
        return entry.pdu == "GET" && entry.name == "sysMainSwitch.0";
    })) << "the installed program did not read the crate at " << KOVO_CRATE_ADDRESS << "\n"
        << readFile(sim.dir + "/requests.jsonl") << app.out << app.err;
}

}  // namespace
