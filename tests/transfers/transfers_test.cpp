// This file contains the tests of the five typed transfers against the
// simulated crate over real SNMP: conversions of every accepted value type,
// types that are not accepted, error statuses, a crate that does not answer,
// answers about other objects, the communities, the bits of a float on the
// wire, empty identifiers and refused numbers. A missing session is tested
// through the accessors.
#include "crate_session.h"
#include "transfers.h"

#include <cfloat>
#include <climits>
#include <cmath>

namespace transfers_test {
namespace {

using ::testing::internal::CaptureStderr;
using ::testing::internal::GetCapturedStderr;

// Channel 0's set voltage: an opaque float object that the crate holds; its
// switch, an integer object, for integer sets, which the crate refuses on a
// float object before any fault applies.
const oid* const voltage = oidOutputVoltage[0];
const char* const voltageName = "outputVoltage.1";
size_t voltageLength() { return lengthOutputVoltage[0]; }
const oid* const channelSwitch = oidChannelSwitch[0];
const char* const switchName = "outputSwitch.1";
size_t switchLength() { return lengthChannelSwitch[0]; }

// The single-precision 24.2 widened, as the crate echoes it.
const double float24_2 = static_cast<double>(24.2f);

class Transfers : public CrateSession {
protected:
    // Makes the crate answer gets and sets of both objects as the fault says.
    void answer(const std::string& fault)
    {
        command(std::string("fault ") + voltageName + " " + fault);
        command(std::string("fault ") + switchName + " " + fault);
    }

    // What each of the five transfers gives for the crate's current answer.
    struct Results {
        int getInt;
        double getDouble;
        std::string text;  // "(null)" for a null text
        int setInt;
        double setDouble;
    };
    Results allFive()
    {
        Results r;
        r.getInt = snmpGetInt(session, voltage, voltageLength());
        r.getDouble = snmpGetDouble(session, voltage, voltageLength());
        Text text(snmpGetString(session, voltage, voltageLength()));
        r.text = text.text ? text.text : "(null)";
        r.setInt = snmpSetInt(session, channelSwitch, switchLength(), 1);
        r.setDouble = snmpSetDouble(session, voltage, voltageLength(), 24.2);
        return r;
    }
};

// Every accepted type converted by every transfer; the crate answers gets and
// sets alike with the value given. Setters take the crate's answer, except
// that an octet string is not accepted by the numeric transfers.
TEST_F(Transfers, ConvertEveryAcceptedTypeForEveryTransfer)
{
    struct Row {
        const char* answer;  // fault words: type and value
        int asInt;
        double asDouble;
        const char* asText;
        bool numeric;
    };
    const Row rows[] = {
        {"type OpaqueFloat 12.7", 12, static_cast<double>(12.7f), "12.700000", true},
        {"type OpaqueFloat -0.5", 0, -0.5, "-0.500000", true},
        {"type OpaqueFloat 5", 5, 5.0, " 5.000000", true},
        {"type OpaqueFloat 100", 100, 100.0, "100.000000", true},
        {"type OpaqueFloat -1234.5", -1234, -1234.5, "-1234.500000", true},
        {"type OpaqueDouble -24.9", -24, -24.9, "-24.900000", true},
        {"type OpaqueDouble 1e20", INT_MAX, 1e20, "100000000000000000000.000000", true},
        {"type OpaqueDouble -1e20", INT_MIN, -1e20, "-100000000000000000000.000000", true},
        {"type Integer 3", 3, 3.0, "        3", true},
        {"type Integer 42", 42, 42.0, "       42", true},
        {"type Integer -7", -7, -7.0, "       -7", true},
        {"type Integer 1234567890", 1234567890, 1234567890.0, "1234567890", true},
        {"type Integer -2147483648", INT_MIN, -2147483648.0, "-2147483648", true},
        {"type OctetString abc", 0, 0.0, "abc", false},
        {"type OctetString \"\"", 0, 0.0, "", false},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.answer);
        answer(row.answer);
        CaptureStderr();
        const Results r = allFive();
        EXPECT_EQ(GetCapturedStderr(), "");
        EXPECT_EQ(r.getInt, row.asInt);
        EXPECT_EQ(r.getDouble, row.asDouble);
        EXPECT_EQ(r.text, row.asText);
        EXPECT_EQ(r.setInt, row.numeric ? row.asInt : 1);
        EXPECT_EQ(r.setDouble, row.numeric ? row.asDouble : float24_2);
        command("clear");
    }
}

// Types outside the accepted four, and the exception markers, leave the
// initial value: 0, 0.0 or null for the getters, the value sent for the
// setters (24.2 rounded to single precision). Nothing is printed.
TEST_F(Transfers, SkipUnacceptedTypesSilently)
{
    const char* const answers[] = {
        "type Counter32 9", "type Gauge32 9",  "type TimeTicks 9", "type IpAddress 10.0.0.9",
        "type Counter64 9", "type Opaque 09",  "noSuchObject",     "noSuchInstance",
    };
    for (const char* answer : answers) {
        SCOPED_TRACE(answer);
        this->answer(answer);
        CaptureStderr();
        const Results r = allFive();
        EXPECT_EQ(GetCapturedStderr(), "");
        EXPECT_EQ(r.getInt, 0);
        EXPECT_EQ(r.getDouble, 0.0);
        EXPECT_EQ(r.text, "(null)");
        EXPECT_EQ(r.setInt, 1);
        EXPECT_EQ(r.setDouble, float24_2);
        command("clear");
    }
}

// A response with an error status: both lines on standard error, the failure
// value from every transfer.
TEST_F(Transfers, ReportErrorStatusAndReturnFailureValue)
{
    const struct {
        const char* name;
        int code;
    } statuses[] = {
        {"noSuchName", SNMP_ERR_NOSUCHNAME},   {"badValue", SNMP_ERR_BADVALUE},
        {"notWritable", SNMP_ERR_NOTWRITABLE}, {"noAccess", SNMP_ERR_NOACCESS},
        {"wrongType", SNMP_ERR_WRONGTYPE},     {"authorizationError", SNMP_ERR_AUTHORIZATIONERROR},
    };
    for (const auto& status : statuses) {
        SCOPED_TRACE(status.name);
        answer(std::string("error ") + status.name);
        CaptureStderr();
        const Results r = allFive();
        const std::string once = std::string("Error in packet\nReason: ") + snmp_errstring(status.code) + "\n";
        EXPECT_EQ(GetCapturedStderr(), once + once + once + once + once);
        EXPECT_EQ(r.getInt, 0);
        EXPECT_EQ(r.getDouble, 0.0);
        EXPECT_EQ(r.text, "(null)");
        EXPECT_EQ(r.setInt, 0);
        EXPECT_EQ(r.setDouble, 0.0);
        command("clear");
    }
    EXPECT_NE(std::string(snmp_errstring(SNMP_ERR_NOTWRITABLE)).find("notWritable"), std::string::npos);
}

// An answer about another object is no value of the one asked for, even with
// a plausible value: a failed exchange with one line naming the transfer and
// the identifier asked for, and the failure value from every transfer.
TEST_F(Transfers, AnswerAboutAnotherObjectIsAFailedExchange)
{
    answer("type Integer 666");
    answer("about sysMainSwitch.0");
    CaptureStderr();
    const Results r = allFive();
    const std::string other = dotted(oidSysMainSwitch, lengthSysMainSwitch);
    auto line = [&](const char* transfer, const oid* asked, size_t length) {
        return std::string(transfer) + ": the response for " + dotted(asked, length) + " is about " + other +
               ", nothing taken from it\n";
    };
    EXPECT_EQ(GetCapturedStderr(), line("snmpGetInt", voltage, voltageLength()) +
                                       line("snmpGetDouble", voltage, voltageLength()) +
                                       line("snmpGetString", voltage, voltageLength()) +
                                       line("snmpSetInt", channelSwitch, switchLength()) +
                                       line("snmpSetDouble", voltage, voltageLength()));
    EXPECT_EQ(r.getInt, 0);
    EXPECT_EQ(r.getDouble, 0.0);
    EXPECT_EQ(r.text, "(null)");
    EXPECT_EQ(r.setInt, 0);
    EXPECT_EQ(r.setDouble, 0.0);
}

// Responses made here, as no crate sends most of them: every variable must
// name the object asked for, and of those the last accepted one gives the
// value (an infinite float too). -1: a value left alone, as a setter leaves
// the value it sent.
TEST(TransferResponses, OnlyVariablesAboutTheObjectCountAndTheLastAcceptedOneWins)
{
    const oid asked[] = {1, 3, 6, 1, 4, 1, 32473, 1, 2, 2, 1, 9, 1};
    const size_t length = std::size(asked);
    const oid longer[] = {1, 3, 6, 1, 4, 1, 32473, 1, 2, 2, 1, 9, 1, 0};
    struct Variable { const oid* name; size_t length; u_char type; double value; };
    struct Row {
        const char* what;
        std::vector<Variable> variables;
        double number;     // responseToNumber's result
        const char* text;  // snmpGetString's, or NULL
        const char* err;   // after "TRANSFER: the response for ASKED ", for every transfer
    };
    const Row rows[] = {
        {"the variable asked for", {{asked, length, ASN_INTEGER, 7}}, 7, "        7", ""},
        {"no variable", {}, -1, nullptr, "carries no variable, nothing taken from it"},
        {"the variable twice", {{asked, length, ASN_INTEGER, 7}, {asked, length, ASN_INTEGER, 9}}, 9, "        9", ""},
        {"a value, then an exception", {{asked, length, ASN_INTEGER, 7}, {asked, length, SNMP_NOSUCHINSTANCE, 0}}, 7,
         "        7", ""},
        {"another variable too", {{asked, length, ASN_INTEGER, 7}, {longer, length + 1, ASN_INTEGER, 7}}, -1,
         nullptr, "is about 1.3.6.1.4.1.32473.1.2.2.1.9.1.0, nothing taken from it"},
        {"a shorter identifier", {{asked, length - 1, ASN_INTEGER, 7}}, -1, nullptr,
         "is about 1.3.6.1.4.1.32473.1.2.2.1.9, nothing taken from it"},
        {"endOfMibView", {{asked, length, SNMP_ENDOFMIBVIEW, 0}}, -1, nullptr, ""},
        {"an infinite float", {{asked, length, ASN_OPAQUE_FLOAT, INFINITY}}, INFINITY, "      inf", ""},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        netsnmp_pdu* response = snmp_pdu_create(SNMP_MSG_RESPONSE);
        response->errstat = SNMP_ERR_NOERROR;
        for (const Variable& v : row.variables) {
            const long integer = static_cast<long>(v.value);
            const float real = static_cast<float>(v.value);
            const void* bytes = v.type == ASN_INTEGER ? static_cast<const void*>(&integer) : &real;
            const size_t size = v.type == ASN_INTEGER ? sizeof integer : v.type == ASN_OPAQUE_FLOAT ? sizeof real : 0;
            snmp_pdu_add_variable(response, v.name, v.length, v.type, size ? bytes : nullptr, size);
        }
        double number = -1.0;
        char* text = nullptr;
        CaptureStderr();
        const int taken = responseToNumber("snmpGetInt", response, asked, length, &number) +
                          responseToString("snmpGetString", response, asked, length, &text);
        const std::string err = GetCapturedStderr();
        snmp_free_pdu(response);
        Text owned(text);
        const std::string tail = " the response for " + dotted(asked, length) + " " + row.err + "\n";
        const bool refused = *row.err != '\0';
        EXPECT_EQ(err, refused ? "snmpGetInt:" + tail + "snmpGetString:" + tail : "");
        EXPECT_EQ(taken, refused ? 0 : 2);
        EXPECT_EQ(number, row.number);
        EXPECT_STREQ(text, row.text);
    }
}

// A crate that never answers: one try and three retries reach it, Net-SNMP's
// description follows "snmpget" on standard error, the failure value returns.
TEST_F(Transfers, ReportNoAnswerAfterFourAttempts)
{
    answer("drop");
    HSNMP patient = session;
    session = SnmpOpen(sim->address.c_str());  // the library's own timeout and retries
    ASSERT_NE(session, nullptr);
    received();
    CaptureStderr();
    const Results r = allFive();
    SnmpClose(session);
    session = patient;
    EXPECT_EQ(GetCapturedStderr(), "snmpget: Timeout\nsnmpget: Timeout\nsnmpget: Timeout\n"
                                   "snmpget: Timeout\nsnmpget: Timeout\n");
    EXPECT_EQ(r.getInt, 0);
    EXPECT_EQ(r.getDouble, 0.0);
    EXPECT_EQ(r.text, "(null)");
    EXPECT_EQ(r.setInt, 0);
    EXPECT_EQ(r.setDouble, 0.0);

    const auto log = received();
    ASSERT_EQ(log.size(), 20u);  // five transfers, four attempts each
    const char* const pdus[] = {"GET", "GET", "GET", "SET", "SET"};
    for (size_t i = 0; i < log.size(); ++i) {
        EXPECT_EQ(log[i].pdu, pdus[i / 4]) << i;
        EXPECT_EQ(log[i].name, i / 4 == 3 ? switchName : voltageName) << i;
    }
}

// Gets carry the read community, sets the write community, and a set leaves
// the session's own community as it was.
TEST_F(Transfers, GetsCarryReadCommunitySetsCarryWriteCommunity)
{
    snmpGetDouble(session, voltage, voltageLength());
    snmpSetDouble(session, voltage, voltageLength(), 1.5);
    snmpSetInt(session, oidChannelSwitch[0], lengthChannelSwitch[0], 1);
    Text name(snmpGetString(session, oidOutputName[0], lengthOutputName[0]));
    snmpGetInt(session, oidChannelSwitch[0], lengthChannelSwitch[0]);

    const auto log = received();
    ASSERT_EQ(log.size(), 5u);
    const char* const expected[][2] = {
        {"GET", "ovalis"}, {"SET", "kite"}, {"SET", "kite"}, {"GET", "ovalis"}, {"GET", "ovalis"}};
    for (size_t i = 0; i < log.size(); ++i) {
        EXPECT_EQ(log[i].pdu, expected[i][0]) << i;
        EXPECT_EQ(log[i].community, expected[i][1]) << i;
    }
}

// 24.2 travels as the single-precision float 41 C1 99 9A; the result is that
// float widened, whether the crate echoes it or answers with a type that is
// not accepted. Integers travel as themselves, sign included.
TEST_F(Transfers, SendSinglePrecisionFloatAndReturnItsWidenedValue)
{
    EXPECT_EQ(snmpSetDouble(session, voltage, voltageLength(), 24.2), 24.200000762939453);
    command(std::string("fault ") + voltageName + " set type Counter32 7");
    EXPECT_EQ(snmpSetDouble(session, voltage, voltageLength(), 24.2), 24.200000762939453);
    command("clear");
    EXPECT_EQ(snmpGetDouble(session, voltage, voltageLength()), 24.200000762939453);
    EXPECT_EQ(snmpSetInt(session, oidSensorWarningThreshold[0], lengthSensorWarningThreshold[0], -2), -2);

    const auto log = received();
    ASSERT_EQ(log.size(), 4u);
    for (int i : {0, 1}) {
        EXPECT_EQ(log[i].type, "OPAQUE FLOAT");
        EXPECT_EQ(log[i].value, "41 C1 99 9A");
    }
    EXPECT_EQ(log[3].type, "INTEGER");
    EXPECT_EQ(log[3].value, "FE");
}

// A setter returns what the crate answers, not what it sent.
TEST_F(Transfers, SetReturnsTheCratesEcho)
{
    command("fault outputSupervisionBehavior.1 set value 5");
    EXPECT_EQ(snmpSetInt(session, oidOutputSupervisionBehavior[0], lengthOutputSupervisionBehavior[0], 3), 5);
    command(std::string("fault ") + voltageName + " set value 7.25");
    EXPECT_EQ(snmpSetDouble(session, voltage, voltageLength(), 3.0), 7.25);
    const auto log = received();
    ASSERT_EQ(log.size(), 2u);
    EXPECT_EQ(log[0].value, "03");
}

// An identifier of length 0 goes out as it is (as 0.0.0); the crate has no such
// object, and each transfer returns what that answer gives, the failure
// value, the getters silently.
TEST_F(Transfers, EmptyIdentifierGoesOutAndFails)
{
    static const oid nothing[OID_CAPACITY] = {};
    CaptureStderr();
    EXPECT_EQ(snmpGetInt(session, nothing, 0), 0);
    EXPECT_EQ(snmpGetDouble(session, nothing, 0), 0.0);
    EXPECT_EQ(snmpGetString(session, nothing, 0), nullptr);
    EXPECT_EQ(GetCapturedStderr(), "");
    CaptureStderr();
    EXPECT_EQ(snmpSetInt(session, nothing, 0, 1), 0);
    EXPECT_EQ(snmpSetDouble(session, nothing, 0, 1.0), 0.0);
    EXPECT_NE(GetCapturedStderr().find("Error in packet\nReason: "), std::string::npos);
    const auto log = received();
    ASSERT_EQ(log.size(), 5u);
    for (const auto& entry : log)
        EXPECT_EQ(entry.name, "");
}

// A number that single precision cannot hold would reach the crate as a
// nonsense setting: it is refused before anything is sent. The largest
// float still goes out.
TEST_F(Transfers, RefuseNumbersSinglePrecisionCannotHold)
{
    for (double value : {double(NAN), double(INFINITY), -double(INFINITY), 1e39, -1e39}) {
        SCOPED_TRACE(value);
        CaptureStderr();
        EXPECT_EQ(snmpSetDouble(session, voltage, voltageLength(), value), 0.0);
        const std::string text = GetCapturedStderr();
        EXPECT_EQ(text.rfind("snmpSetDouble: ", 0), 0u) << text;
        EXPECT_NE(text.find("nothing sent"), std::string::npos) << text;
    }
    EXPECT_TRUE(received().empty());
    CaptureStderr();  // the crate refuses it as above the channel's limit
    snmpSetDouble(session, voltage, voltageLength(), FLT_MAX);
    GetCapturedStderr();
    const auto log = received();
    ASSERT_EQ(log.size(), 1u);
    EXPECT_EQ(log[0].value, "7F 7F FF FF");
}

}  // namespace
}  // namespace transfers_test
