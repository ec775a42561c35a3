// This file contains the tests of the accessors against the simulated crate:
// one loop over the accessor table proves that each reads or writes its own
// object and row through its own transfer; the other cases cover empty rows,
// indices outside the tables, a missing session, a crate that does not answer
// and the conversions that belong to single accessors.
#include "crate_session.h"

#ifdef _WIN32
#include <winsock2.h>  // started by SnmpInit
#include <ws2tcpip.h>
#else
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>
#endif

#include <climits>
#include <cstring>
#include <type_traits>

namespace transfers_test {
namespace {

using ::testing::internal::CaptureStderr;
using ::testing::internal::GetCapturedStderr;

// The result of one accessor call in one shape: a number, or a text.
struct Outcome {
    bool isText = false;
    bool isNull = false;
    double number = 0;
    std::string text;
};
Outcome outcome(int value) { return {false, false, static_cast<double>(value), ""}; }
Outcome outcome(double value) { return {false, false, value, ""}; }
Outcome outcome(char* value)
{
    Outcome o{true, value == nullptr, 0, value ? value : ""};
    free(value);
    return o;
}
bool isFailure(const Outcome& o) { return o.isText ? o.isNull : o.number == 0; }

// The value a setter of each type writes in these tests, and its bytes on the wire.
template <typename T> T sample() { return std::is_same_v<T, double> ? T(2.5) : T(1); }
template <typename T> const char* sampleOnWire() { return std::is_same_v<T, double> ? "40 20 00 00" : "01"; }

// One accessor as the tests see it, generated from the library's own table.
struct Accessor {
    const char* name;
    const char* object;
    const char* transfer;
    const oid* identifiers;  // row 0
    const size_t* lengths;
    int rows;                // 0 for a crate-wide object
    bool set;
    const char* onWire;      // bytes a setter sends
    Outcome (*call)(HSNMP, int index);
};

#define GET(function, result, transfer, Object)                                                  \
    {#function, #Object, #transfer, oid##Object, &length##Object, 0, false, "",                  \
     [](HSNMP h, int) { return outcome(function(h)); }},
#define GET_ROW(function, result, transfer, Object, index, rows)                                 \
    {#function, #Object, #transfer, oid##Object[0], length##Object, rows, false, "",             \
     [](HSNMP h, int i) { return outcome(function(h, i)); }},
#define SET(function, result, transfer, Object, type)                                            \
    {#function, #Object, #transfer, oid##Object, &length##Object, 0, true, sampleOnWire<type>(), \
     [](HSNMP h, int) { return outcome(function(h, sample<type>())); }},
#define SET_ROW(function, result, transfer, Object, index, rows, type)                           \
    {#function, #Object, #transfer, oid##Object[0], length##Object, rows, true, sampleOnWire<type>(), \
     [](HSNMP h, int i) { return outcome(function(h, i, sample<type>())); }},
#define SET_CONST(function, result, transfer, Object, constant)                                  \
    {#function, #Object, #transfer, oid##Object, &length##Object, 0, true, "01",                 \
     [](HSNMP h, int) { return outcome(function(h)); }},
const Accessor accessors[] = {TORVAN_SNMP_ACCESSORS(GET, GET_ROW, SET, SET_ROW, SET_CONST)};
#undef GET
#undef GET_ROW
#undef SET
#undef SET_ROW
#undef SET_CONST

// The catalogue's MIB name text of each object, to name the instance a row stands for.
struct Named {
    const char* object;
    const char* text;
};
#define SCALAR(name, Object, mib, ...) {#Object, #mib ".0"},
#define TABLE(name, Object, mib, ...) {#Object, #mib "."},
const Named catalogueTexts[] = {TORVAN_SNMP_CATALOGUE(SCALAR, TABLE, SCALAR, TABLE)};
#undef SCALAR
#undef TABLE

// The instance a row of an accessor's object stands for: the scalar's name,
// or the stem followed by the MIB index, row + 1.
std::string instanceOf(const Accessor& a, int row)
{
    for (const Named& n : catalogueTexts)
        if (std::strcmp(n.object, a.object) == 0)
            return a.rows == 0 ? n.text : n.text + std::to_string(row + 1);
    ADD_FAILURE() << "no catalogue row for " << a.object;
    return "";
}

size_t lengthOf(const Accessor& a, int row) { return a.lengths[a.rows == 0 ? 0 : row]; }

// A row inside the table of each shape, away from row 0 so that an index
// shifted by one shows, and the last row of the fan table.
int sampleRow(const Accessor& a)
{
    switch (a.rows) {
    case CHANNEL_ROWS: return 101;
    case SENSOR_ROWS: return 6;
    case FAN_ROWS: return FAN_ROWS - 1;
    default: return 0;
    }
}

class Accessors : public CrateSession {};

// Every accessor whose row is translated sends one request of its own kind
// for its own object's row, and returns what the crate holds (a getter) or
// what the crate echoes (a setter, which also writes the value).
TEST_F(Accessors, EveryAccessorReachesItsOwnRowThroughItsTransfer)
{
    std::vector<std::string> neverTranslated;
    for (const Accessor& a : accessors) {
        const int row = sampleRow(a);
        if (lengthOf(a, row) == 0) {
            neverTranslated.push_back(a.name);  // see EmptyRowsGoOutAsTheyAre
            continue;
        }
        SCOPED_TRACE(a.name);
        const std::string instance = instanceOf(a, row);
        const bool text = std::strcmp(a.transfer, "snmpGetString") == 0;
        const bool real = std::strcmp(a.transfer, "snmpGetDouble") == 0;
        std::string expected;
        if (!a.set) {
            // Store a value the transfer can give back exactly; an object the
            // crate computes itself is read back from the crate instead.
            expected = text ? "name of " + instance : real ? "2.5" : "3";
            const std::string reply =
                kovo::test::simCommand(*sim, "set " + instance + " " + (text ? "\"" + expected + "\"" : expected));
            if (reply != "ok")
                expected = command("get " + instance).substr(3);
        }

        const Outcome result = a.call(session, row);

        const auto log = received();
        ASSERT_EQ(log.size(), 1u);
        EXPECT_EQ(log[0].name, instance);
        EXPECT_EQ(log[0].oid, dotted(a.identifiers + row * OID_CAPACITY, lengthOf(a, row)));
        EXPECT_EQ(log[0].pdu, a.set ? "SET" : "GET");
        EXPECT_EQ(log[0].community, a.set ? "kite" : "ovalis");
        if (a.set) {
            EXPECT_EQ(log[0].value, a.onWire);
            EXPECT_EQ(result.number, std::strcmp(a.onWire, "01") == 0 ? 1.0 : 2.5);
        } else if (text) {
            EXPECT_EQ(result.text, expected);
        } else {
            EXPECT_EQ(result.number, std::stod(expected));
        }
    }
    EXPECT_EQ(neverTranslated, (std::vector<std::string>{"getOutputGroup", "getOutputSupervisionMaxTemperature",
                                                         "setGroupSwitch", "getGroupSwitch"}));
}

// The last translated channel row stands for MIB index 1000, its neighbour for 999.
TEST_F(Accessors, LastChannelRowsStandForTheirOwnIndices)
{
    command("set outputVoltage.999 1.25");
    EXPECT_EQ(getOutputVoltage(session, 998), 1.25);
    getOutputVoltage(session, 999);
    const auto log = received();
    ASSERT_EQ(log.size(), 2u);
    EXPECT_EQ(log[0].name, "outputVoltage.999");
    EXPECT_EQ(log[1].oid.substr(log[1].oid.rfind('.')), ".1000");
}

// Rows never translated (the never-filled objects, channel rows 1000 to
// 1099, sensor rows 8 to 11) go out with their empty identifier; the crate
// has no such object, and the accessor returns the transfer's failure value,
// a getter without a word.
TEST_F(Accessors, EmptyRowsGoOutAsTheyAre)
{
    for (const Accessor& a : accessors) {
        for (int row : {sampleRow(a), a.rows > 0 ? a.rows - 1 : 0, a.rows == SENSOR_ROWS ? 8 : 0}) {
            if (lengthOf(a, row) != 0)
                continue;
            SCOPED_TRACE(std::string(a.name) + " row " + std::to_string(row));
            CaptureStderr();
            EXPECT_TRUE(isFailure(a.call(session, row)));
            const std::string err = GetCapturedStderr();
            EXPECT_TRUE(a.set || err.empty()) << err;
            const auto log = received();
            ASSERT_EQ(log.size(), 1u);
            EXPECT_EQ(log[0].name, "");
            EXPECT_EQ(log[0].pdu, a.set ? "SET" : "GET");
        }
    }
}

// An index outside its table is refused: failure value, one line naming the
// accessor and the index, nothing sent.
TEST_F(Accessors, IndexOutsideItsTableIsRefused)
{
    for (const Accessor& a : accessors) {
        if (a.rows == 0)
            continue;
        for (int row : {-1, a.rows, INT_MIN, INT_MAX}) {
            SCOPED_TRACE(std::string(a.name) + " row " + std::to_string(row));
            CaptureStderr();
            EXPECT_TRUE(isFailure(a.call(session, row)));
            const std::string text = GetCapturedStderr();
            EXPECT_EQ(text.rfind(std::string(a.name) + ": ", 0), 0u) << text;
            EXPECT_NE(text.find(" " + std::to_string(row) + " "), std::string::npos) << text;
            EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 1) << text;
        }
    }
    EXPECT_TRUE(received().empty());
}

// Without a session every accessor returns its failure value at once, sends
// nothing, and its transfer says so in one line.
TEST_F(Accessors, NullHandleGivesFailureValues)
{
    for (const Accessor& a : accessors) {
        SCOPED_TRACE(a.name);
        CaptureStderr();
        EXPECT_TRUE(isFailure(a.call(nullptr, sampleRow(a))));
        const std::string text = GetCapturedStderr();
        EXPECT_EQ(text, std::string(a.transfer) + ": no SNMP session (null handle), nothing sent\n");
    }
    EXPECT_TRUE(received().empty());
}

// With no crate answering every accessor returns 0, 0.0 or null. The "crate"
// is a socket of the test's own that never answers; the session waits 10 ms
// once instead of four times 0.1 s, since no answer can ever come.
TEST_F(Accessors, NoAnswerGivesFailureValues)
{
    auto silent = socket(AF_INET, SOCK_DGRAM, 0);
    ASSERT_NE(silent, decltype(silent)(-1));
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    ASSERT_EQ(bind(silent, reinterpret_cast<sockaddr*>(&address), size), 0);
    ASSERT_EQ(getsockname(silent, reinterpret_cast<sockaddr*>(&address), &size), 0);
    const std::string peer = "127.0.0.1:" + std::to_string(ntohs(address.sin_port));
    HSNMP quiet = SnmpOpen(peer.c_str());
    ASSERT_NE(quiet, nullptr);
    snmp_sess_session(quiet)->timeout = 10000;
    snmp_sess_session(quiet)->retries = 0;

    for (const Accessor& a : accessors) {
        SCOPED_TRACE(a.name);
        CaptureStderr();
        EXPECT_TRUE(isFailure(a.call(quiet, sampleRow(a))));
        EXPECT_EQ(GetCapturedStderr(), "snmpget: Timeout\n");
    }
    SnmpClose(quiet);
    size_t requests = 0;
    char datagram[2048];
#ifdef _WIN32
    u_long dontWait = 1;
    ioctlsocket(silent, FIONBIO, &dontWait);
    while (recv(silent, datagram, sizeof datagram, 0) > 0)
        ++requests;
    closesocket(silent);
#else
    while (recv(silent, datagram, sizeof datagram, MSG_DONTWAIT) > 0)
        ++requests;
    close(silent);
#endif
    EXPECT_EQ(requests, std::size(accessors));
}

// An answer queued for the session before its request, with the request-id
// that the request will carry (they go up by one) and another value, from
// another port than the crate's: dropped silently, and the crate's own answer
// taken. When the exchange fails, one line after the failure's own counts the
// answers dropped meanwhile.
TEST_F(Accessors, AnswerFromAnotherPortIsNotTheCrates)
{
    auto forge = [&] {
        netsnmp_pdu* forged = snmp_pdu_create(SNMP_MSG_RESPONSE);
        forged->version = SNMP_VERSION_2c;
        forged->errstat = forged->errindex = 0;
        forged->reqid = snmp_get_next_reqid() + 1;
        forged->flags |= UCD_MSG_FLAG_FORWARD_ENCODE;  // the bytes from the buffer's start
        const long five = 5;
        snmp_pdu_add_variable(forged, oidChannelSwitch[0], lengthChannelSwitch[0], ASN_INTEGER, &five, sizeof five);
        u_char buffer[256], *bytes = buffer;
        size_t left = sizeof buffer, offset = 0;
        ASSERT_EQ(snmp_build(&bytes, &left, &offset, snmp_sess_session(session), forged), 0);
        snmp_free_pdu(forged);
        sockaddr_in client{};
        socklen_t size = sizeof client;
        getsockname(snmp_sess_transport(session)->sock, reinterpret_cast<sockaddr*>(&client), &size);
        client.sin_addr.s_addr = htonl(INADDR_LOOPBACK);  // the session listens on every address
        auto impostor = socket(AF_INET, SOCK_DGRAM, 0);
        sendto(impostor, reinterpret_cast<char*>(buffer), static_cast<int>(sizeof buffer - left), 0,
               reinterpret_cast<sockaddr*>(&client), size);
#ifdef _WIN32
        closesocket(impostor);
#else
        close(impostor);
#endif
    };
    forge();
    CaptureStderr();
    EXPECT_EQ(setChannelSwitch(session, 0, 1), 1);
    EXPECT_EQ(GetCapturedStderr(), "");

    command("fault outputSwitch.1 drop");
    snmp_sess_session(session)->timeout = 200000;
    snmp_sess_session(session)->retries = 0;
    forge();
    CaptureStderr();
    EXPECT_EQ(setChannelSwitch(session, 0, 1), 0);
    EXPECT_EQ(GetCapturedStderr(),
              "snmpget: Timeout\nsnmpSetInt: 1 answer(s) from another address than the crate's dropped meanwhile\n");
}

// The configuration maxima are read as integers, the supervision maxima as
// floating numbers.
TEST_F(Accessors, ConfigurationMaximaLoseTheirFraction)
{
    command("set outputConfigMaxCurrent.2 1.5");
    command("set outputSupervisionMaxCurrent.2 1.5");
    command("set outputConfigMaxSenseVoltage.2 -2.75");
    EXPECT_EQ(getOutputConfigMaxCurrent(session, 1), 1.0);
    EXPECT_EQ(getOutputSupervisionMaxCurrent(session, 1), 1.5);
    EXPECT_EQ(getOutputConfigMaxSenseVoltage(session, 1), -2.0);
}

// Temperatures below zero come back with their sign.
TEST_F(Accessors, NegativeTemperaturesKeepTheirSign)
{
    command("set sensorTemperature.1 -12");
    command("set sensorWarningThreshold.1 -5");
    command("set outputMeasurementTemperature.1 -40");
    command("set fanAirTemperature.0 -3");
    EXPECT_EQ(getSensorTemp(session, 0), -12);
    EXPECT_EQ(getSensorWarningTemperature(session, 0), -5);
    EXPECT_EQ(getTemperatureMeasurement(session, 0), -40);
    EXPECT_EQ(getFanAirTemperature(session), -3);
}

// Each name read is a new text of the caller's own.
TEST_F(Accessors, EachNameIsANewAllocation)
{
    char* first = getOutputName(session, 0);
    char* second = getOutputName(session, 0);
    ASSERT_NE(first, nullptr);
    ASSERT_NE(second, nullptr);
    EXPECT_NE(first, second);
    EXPECT_STREQ(first, "U0");
    EXPECT_STREQ(second, "U0");
    free(first);
    free(second);
}

}  // namespace
}  // namespace transfers_test
