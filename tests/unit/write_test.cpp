// One gate write: value conversion, the request with its BCC, the attempts.
#include <cmath>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "addressing/segment.h"
#include "transaction_fixture.h"
#include "transactions/write.h"

namespace draxo::test {
namespace {

using WriteTest = TransactionTest;

const std::string kEotS(1, kEot);
const std::string kStxS(1, kStx);
const std::string kEtxS(1, kEtx);
const std::string kAckS(1, kAck);

struct ValueCase {
    std::uint32_t code;
    float value;
    const char* text;    // sent, when accepted
    const char* refusal; // message, when refused
    std::int32_t cls;
};

TEST(WriteValue, ConversionAndRanges) {
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const float inf = std::numeric_limits<float>::infinity();
    const char* analogRange = "DRAXO> DoWrite() analog value out of range";
    const char* timeRange = "DRAXO> DoWrite() time value out of range";
    const char* minSec = "DRAXO> DoWrite() Invalid minutes or seconds in time value";
    const ValueCase cases[] = {
        {2, 150.7f, "000150", nullptr, 0},
        {2, -15.7f, "-00015", nullptr, 0},
        {2, 999999.0f, "999999", nullptr, 0},
        {2, 999999.1f, nullptr, analogRange, 8}, // 999999.125 as a float
        {2, 1000000.0f, nullptr, analogRange, 8},
        {2, -99999.0f, "-99999", nullptr, 0},
        {2, -99999.5f, nullptr, analogRange, 8},
        {2, -0.9f, "000000", nullptr, 0},
        {2, nan, nullptr, analogRange, 8},
        {2, inf, nullptr, analogRange, 8},
        {2, -inf, nullptr, analogRange, 8},
        {4, 945.0f, "00.09.45", nullptr, 0},
        {4, 995959.0f, "99.59.59", nullptr, 0},
        {4, 995959.5f, nullptr, timeRange, 32},
        {4, 995960.0f, nullptr, timeRange, 32},
        {4, 960.0f, nullptr, minSec, 32},
        {4, 6000.0f, nullptr, minSec, 32},
        {4, 5959.9f, "00.59.59", nullptr, 0},
        {4, -0.5f, "00.00.00", nullptr, 0},
        {4, -1.0f, nullptr, timeRange, 32},
        {4, nan, nullptr, timeRange, 32},
        {4, inf, nullptr, timeRange, 32},
        {32, 123456.0f, "12.34.56", nullptr, 0},
        {39, 10000.0f, "01.00.00", nullptr, 0},
        {40, 5.0f, "00.00.05", nullptr, 0},
        {63, 235959.0f, "23.59.59", nullptr, 0},
        {31, 945.0f, "000945", nullptr, 0}, // LE is not a time
    };
    for (const ValueCase& c : cases) {
        LogCapture log;
        char out[16] = "untouched";
        const std::int32_t result = FormatWriteValue(c.code, c.value, out, sizeof out);
        if (c.refusal == nullptr) {
            EXPECT_EQ(result, 0) << c.code << " " << c.value;
            EXPECT_STREQ(out, c.text) << c.code << " " << c.value;
            EXPECT_TRUE(log.messages().empty());
        } else {
            EXPECT_EQ(result, 1) << c.code << " " << c.value;
            EXPECT_EQ(log.messages(), (std::vector<Message>{{c.cls, c.refusal}}))
                << c.code << " " << c.value;
        }
    }
}

TEST_F(WriteTest, RequestsCarryTheirBcc) {
    struct Case {
        const char* gate;
        float value;
        const char* text; // between STX and ETX
        int bcc;          // -1: computed here
    };
    const Case cases[] = {
        {"01S1", 150.7f, "S1000150", 0x65},          {"01TR", 945.0f, "TR00.09.45", 0x0D},
        {"01RR", 7.0f, "PN00RR000007", -1},          {"01TM", 3000.0f, "PN00SN00TM00.30.00", -1},
        {"01TF", 3000.0f, "PN00TN00TF00.30.00", -1}, {"01P1", -12.0f, "PO00P1-00012", -1},
        {"01A3", 1.0f, "AN00A3000001", -1},          {"01CL", 1.0f, "CL000001", -1},
    };
    for (const Case& c : cases) {
        GateIoRequest q = gate(c.gate);
        setSlotFloat(c.value);
        unsigned char before[4];
        std::memcpy(before, slot_, 4);
        answer({kAckS});
        log_.clear();
        EXPECT_EQ(write(q), 0) << c.gate;
        const std::string block = std::string(c.text) + kEtxS;
        const char bcc = static_cast<char>(c.bcc >= 0 ? c.bcc : Bcc(block.data(), block.size()));
        const std::string request = kEotS + "01" + kStxS + block + bcc;
        ASSERT_EQ(requests_.size(), 1u) << c.gate;
        EXPECT_EQ(requests_[0], request) << c.gate;
        EXPECT_EQ(std::string(block_.txBuffer, request.size() + 1), request + '\0') << c.gate;
        EXPECT_EQ(std::memcmp(before, slot_, 4), 0) << c.gate; // a write never writes the slot
        EXPECT_TRUE(log_.messages().empty()) << c.gate;
    }
    EXPECT_EQ(eotsSent(), 0); // no EOT after a write
}

TEST_F(WriteTest, SelectorsAreReadWhenTheRequestIsBuilt) {
    GateIoRequest sn = gate("0230");
    SetSlotU16(slot_, 16);
    ASSERT_EQ(write(sn), 0);
    block_.stations[1].pn = 3;
    GateIoRequest tm = gate("01TM");
    setSlotFloat(100.0f);
    answer({kAckS});
    ASSERT_EQ(write(tm), 0);
    // Station 2's selector does not reach station 1.
    EXPECT_EQ(requests_[0].substr(4, 8), "PN03SN00");
}

TEST_F(WriteTest, AttemptsAndResults) {
    struct Case {
        const char* name;
        std::vector<std::string> replies;
        std::vector<int> failedSends;
        std::int32_t result;
        std::vector<std::string> messages; // before the summary
        std::size_t requests;
    };
    const auto at = [](const std::string& text, int n) {
        return text + ", retry " + std::to_string(n) + " '01S1'";
    };
    const std::string ack = "DRAXO> DoWrite() error receiving ACK";
    const std::string sent = "DRAXO> DoWrite() error sending write request";
    const Case cases[] = {
        {"ack at once", {kAckS}, {}, 0, {}, 1},
        {"silence", {}, {}, 1, {at(ack, 1), at(ack, 2), at(ack, 3), at(ack, 4)}, 4},
        {"failed send then silence",
         {},
         {1},
         2,
         {at(sent, 1), at(ack, 2), at(ack, 3), at(ack, 4)},
         3},
        {"nak then ack", {"\x15", kAckS}, {}, 0, {at("DRAXO> DoWrite() received NAK", 1)}, 2},
        {"junk four times",
         {"A", "\x02", "\x04", "\xFF"},
         {},
         1,
         {at("DRAXO> DoWrite() received illegal response 0x41", 1),
          at("DRAXO> DoWrite() received illegal response 0x02", 2),
          at("DRAXO> DoWrite() received illegal response 0x04", 3),
          at("DRAXO> DoWrite() received illegal response 0xff", 4)},
         4},
        {"babble",
         {std::string(5000, 'x')},
         {},
         1,
         {at("DRAXO> DoWrite() received illegal response 0x78", 1), at(ack, 2), at(ack, 3),
          at(ack, 4)},
         4},
    };
    for (const Case& c : cases) {
        fake::reset();
        fake::addPort("COM1");
        ASSERT_EQ(run(13), 0);
        GateIoRequest q = gate("01S1");
        setSlotFloat(150.0f);
        answer(c.replies);
        for (int attempt : c.failedSends) {
            fake::failCall("WriteFile", fake::count("WriteFile") + attempt);
        }
        log_.clear();
        const std::int64_t start = fake::now();
        EXPECT_EQ(write(q), c.result) << c.name;
        std::vector<std::string> expected = c.messages;
        if (c.result != 0) {
            expected.push_back("DRAXO> SingleWrite() , ret val is " + std::to_string(c.result));
        }
        EXPECT_EQ(log_.texts(), expected) << c.name;
        if (c.result != 0) {
            EXPECT_EQ(log_.messages().back().cls, 8) << c.name;
        }
        EXPECT_EQ(requests_.size(), c.requests) << c.name;
        EXPECT_LT(fake::now() - start, 4 * 100 + 4 * 60) << c.name; // bounded waits only
    }
}

TEST_F(WriteTest, RefusalsComeBeforeTheLine) {
    struct Case {
        const char* gate;
        std::uint32_t code; // 0: as parsed
        float value;
        std::vector<Message> messages;
    };
    const Message summary{8, "DRAXO> SingleWrite() , ret val is 1"};
    const Case cases[] = {
        {"01S1", 0, 2e6f, {{8, "DRAXO> DoWrite() analog value out of range"}, summary}},
        {"01TR",
         0,
         960.0f,
         {{32, "DRAXO> DoWrite() Invalid minutes or seconds in time value"}, summary}},
        {"01S1",
         30,
         1.0f,
         {{8, "DRAXO> Write() illegal P200 gate address 30, gtid 77 '01S1'"}, summary}},
        // the value is refused before the index
        {"01S1", 30, 2e6f, {{8, "DRAXO> DoWrite() analog value out of range"}, summary}},
        {"01S1",
         68,
         1.0f,
         {{8, "DRAXO> Write() illegal P200 gate address 68, gtid 77 '01S1'"}, summary}},
    };
    for (const Case& c : cases) {
        GateIoRequest q = gate(c.gate);
        if (c.code != 0) {
            q.parsed.code = c.code;
        }
        setSlotFloat(c.value);
        log_.clear();
        EXPECT_EQ(write(q), 1) << c.gate << " " << c.code;
        EXPECT_EQ(log_.messages(), c.messages) << c.gate << " " << c.code;
    }
    EXPECT_EQ(fake::writes().size(), 0u);
}

TEST_F(WriteTest, WithoutAPortNothingIsBuiltOrChecked) {
    GateIoRequest q = gate("01S1");
    GateIoRequest seg = gate("0141");
    block_.handle = 0;
    std::memset(block_.txBuffer, kGarbage, sizeof block_.txBuffer);
    setSlotFloat(std::numeric_limits<float>::quiet_NaN());
    log_.clear();
    EXPECT_EQ(write(q), 1);
    EXPECT_EQ(log_.texts(), (std::vector<std::string>{"DRAXO> SingleWrite() , ret val is 1"}));
    EXPECT_EQ(static_cast<unsigned char>(block_.txBuffer[0]), kGarbage);

    SetSlotU16(slot_, 9);
    EXPECT_EQ(write(seg), 0);
    EXPECT_EQ(block_.stations[1].po, 9);
    EXPECT_EQ(fake::writes().size(), 0u);
}

} // namespace
} // namespace draxo::test
