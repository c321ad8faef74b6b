#include "sim_fixture.h"

#include <gtest/gtest.h>

using namespace rexsim;
using rexsim::test::SimLine;

namespace {

const std::string kSilent = "<silent>";
const std::string kEot = "\x04";
const std::string kAck = "\x06";
const std::string kNak = "\x15";

// Expected frame bytes: STX text ETX BCC, the BCC written out by hand.
std::string reply(const std::string& text, unsigned char bccByte) {
    return "\x02" + text + "\x03" + std::string(1, static_cast<char>(bccByte));
}

struct PollCase {
    const char* request; // between EOT and ENQ
    std::string expected;
};

TEST(EnginePoll, AnswersEachPrefixGroupWithEchoValueAndBcc) {
    const PollCase cases[] = {
        {"01M1", reply("M10025.0", 0x66)},
        {"02M1", reply("M10025.0", 0x66)},
        {"01XM", reply("XM000000", 0x16)},
        {"01TR", reply("TR00.01.00", 0x04)}, // a BCC equal to EOT
        {"01PN03RR", reply("PN03RR000000", 0x1e)},
        {"01PN03SN07TM", reply("PN03SN07TM00.01.00", 0x1c)},
        {"01PN02SN03LE", reply("PN02SN03LE0150.0", 0x12)},
        {"01PN01TN16TO", reply("PN01TN16TO00.00.00", 0x1a)},
        {"01PO05P1", reply("PO05P10030.0", 0x65)},
        {"01AN00A1", reply("AN00A11000.0", 0x63)},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.request);
        SimLine whole;
        EXPECT_EQ(whole.poll(c.request), c.expected);
        // The same request one byte at a time.
        SimLine bytewise;
        std::string req = std::string("\x04") + c.request + "\x05";
        for (char ch : req) {
            bytewise.engine.feed(ch);
        }
        EXPECT_EQ(bytewise.take(), c.expected);
    }
}

TEST(EnginePoll, ValueTextsOfStoredValues) {
    // The worked BCC example of the protocol notes, and a negative value.
    SimLine line;
    ASSERT_EQ(line.model.write(1, ValueRef{findIdentifier("M1")}, "100.0", true), WriteStatus::Ok);
    EXPECT_EQ(line.poll("01M1"), reply("M10100.0", 0x60));
    ASSERT_EQ(line.model.write(1, ValueRef{findIdentifier("M1")}, "-25", true), WriteStatus::Ok);
    EXPECT_EQ(line.poll("01M1"), reply("M1-025.0", 0x7b));
}

TEST(EnginePoll, RefusalsAndSilences) {
    const PollCase cases[] = {
        // Unknown identifier, or selectors that are not the identifier's own.
        {"01ZZ", kEot},
        {"01@@", kEot},
        {"01PO", kEot},         // PO is an identifier of the PN, SN group
        {"01PN03TM", kEot},     // SN missing
        {"01PN03SN07RR", kEot}, // RR takes PN only
        {"01PN03TN07TM", kEot}, // TM is selected by SN, not TN
        {"01SN03TM", kEot},
        {"01PN17SN01TM", kEot}, // selector beyond 16
        // Not for a simulated controller, or not a request at all.
        {"05M1", kSilent},
        {"15M1", kSilent},
        {"01", kSilent},
        {"01M", kSilent},
        {"01m1", kSilent},
        {"01XX03M1", kSilent},
        {"01PN0xM1", kSilent},
        {"01PN01SN01PN01TM", kSilent}, // too long
        {"1M1", kSilent},
        {"01M 1", kSilent},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.request);
        SimLine line;
        EXPECT_EQ(line.poll(c.request), c.expected);
        // Whatever happened, the next request is understood.
        EXPECT_EQ(line.poll("01M1"), reply("M10025.0", 0x66));
    }
}

TEST(EnginePoll, EotRestartsAndStrayBytesAreIgnored) {
    SimLine line;
    EXPECT_EQ(line.ask("\x04"), kSilent); // the host's EOT after a reply
    EXPECT_EQ(line.ask("\x04\x04"
                       "01M1\x05"),
              reply("M10025.0", 0x66));
    EXPECT_EQ(line.ask("\x04"
                       "01P\x04"
                       "01M1\x05"),
              reply("M10025.0", 0x66));
    EXPECT_EQ(line.ask("xyz\x06\x15\x03"
                       "01M1\x05"),
              kSilent); // no EOT: not a request
    EXPECT_EQ(line.ask("\x04"
                       "01M1\x01\x05"),
              kSilent); // control byte in the text
    EXPECT_EQ(line.ask("\x04"
                       "01M1\x05"),
              reply("M10025.0", 0x66));
}

struct WriteCase {
    const char* block; // between STX and ETX
    std::string answer;
    const char* readBack; // poll text, or nullptr
    const char* value;    // value text expected on reading back
};

TEST(EngineWrite, AcceptsStoresOrRefuses) {
    const WriteCase cases[] = {
        // The driver's shapes: "%06d" whole numbers and hh.mm.ss.
        {"S1000150", kAck, "S1", "0150.0"},
        {"S1-00015", kAck, "S1", "-015.0"},
        {"TR00.09.45", kAck, "TR", "00.09.45"},
        {"TR99.59.59", kAck, "TR", "99.59.59"},
        // Loose numbers.
        {"S1-1.5", kAck, "S1", "-001.5"},
        {"S1-01.5", kAck, "S1", "-001.5"},
        {"S1.5", kAck, "S1", "0000.5"},
        {"S1.03", kAck, "S1", "0000.0"},
        {"S10000025", kAck, "S1", "0025.0"},
        {"XM1", kAck, "XM", "000001"},
        // Malformed data.
        {"S1+00150", kNak, "S1", "0025.0"},
        {"S1-", kNak, "S1", "0025.0"},
        {"S1.", kNak, "S1", "0025.0"},
        {"S1-.", kNak, nullptr, nullptr},
        {"S1", kNak, nullptr, nullptr},
        {"S1 150", kNak, nullptr, nullptr},
        {"S11.2.3", kNak, nullptr, nullptr},
        {"S1000000150", kNak, nullptr, nullptr}, // too many digits
        {"TR00.60.00", kNak, "TR", "00.01.00"},
        {"TR00.00.60", kNak, "TR", "00.01.00"},
        {"TR000945", kNak, nullptr, nullptr},
        {"TR0.09.45", kNak, nullptr, nullptr},
        {"TR000150", kNak, nullptr, nullptr}, // a time identifier wants hh.mm.ss
        // Range and access.
        {"S1999999", kNak, "S1", "0025.0"},
        {"S1-00200", kNak, "S1", "0025.0"},
        {"XM000003", kNak, "XM", "000000"},
        {"M1000100", kNak, "M1", "0025.0"},
        {"ET00.00.10", kNak, "ET", "00.00.00"},
        {"ZZ000001", kNak, nullptr, nullptr},
        {"PO000001", kNak, nullptr, nullptr}, // PO needs PN, SN
        // Selectors choose the stored value.
        {"PN03SN07TM00.05.00", kAck, "PN03SN07TM", "00.05.00"},
        {"PN03SN07TM00.05.00", kAck, "PN03SN06TM", "00.01.00"},
        {"PN03SN07TM00.05.00", kAck, "PN04SN07TM", "00.01.00"},
        {"PN01SN02PO000003", kAck, "PN01SN02PO", "000003"},
        {"PN02TN05TF01.00.00", kAck, "PN02TN05TF", "01.00.00"},
        {"PN03RR000002", kAck, "PN03RR", "000002"},
        {"PO02P1000050", kAck, "PO02P1", "0050.0"},
        {"PO02P1000050", kAck, "PO03P1", "0030.0"},
        {"AN03A2-00050", kAck, "AN03A2", "-050.0"},
        {"PN03TM00.05.00", kNak, nullptr, nullptr},
        {"PN17SN01TM00.05.00", kNak, nullptr, nullptr},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.block);
        SimLine line;
        EXPECT_EQ(line.write("01", c.block), c.answer);
        if (c.readBack != nullptr) {
            EXPECT_EQ(line.poll(std::string("01") + c.readBack),
                      frame(std::string(c.readBack) + c.value));
        }
        EXPECT_EQ(line.journal.size(), c.answer == kAck ? 1u : 0u);
    }
}

TEST(EngineWrite, ExactBytesOfTheDriverAndBccChecks) {
    SimLine line;
    // 150.7 to S1 of controller 1 as the driver sends it.
    EXPECT_EQ(line.ask("\x04"
                       "01\x02S1000150\x03\x65"),
              kAck);
    EXPECT_EQ(line.poll("01S1"), reply("S10150.0", 0x7b));
    // A wrong BCC is refused and nothing is stored.
    EXPECT_EQ(line.ask("\x04"
                       "01\x02S1000200\x03\x65"),
              kNak);
    EXPECT_EQ(line.poll("01S1"), reply("S10150.0", 0x7b));
    // A BCC byte that happens to be EOT belongs to the write.
    EXPECT_EQ(line.ask("\x04"
                       "01\x02TR00.01.00\x03\x04"),
              kAck);
    // Station 2 keeps its own values; an unsimulated station stays silent.
    EXPECT_EQ(line.poll("02S1"), reply("S10025.0", 0x78));
    EXPECT_EQ(line.write("07", "S1000150"), kSilent);
    // A byte that is no text inside the block drops the request.
    EXPECT_EQ(line.ask("\x04"
                       "01\x02S1\x01"
                       "000150\x03\x65"),
              kSilent);
}

TEST(EngineWrite, JournalRecordsAcceptedWritesAndSentValues) {
    SimLine line;
    line.write("01", "PN03SN07TM00.05.00");
    line.write("01", "M1000100");
    ASSERT_EQ(line.journal.size(), 1u);
    EXPECT_EQ(line.journal[0],
              (nlohmann::json{{"addr", 1}, {"text", "PN03SN07TM"}, {"write", "00.05.00"}}));
    line.engine.feed("\x04"
                     "01PN03SN07TM\x05");
    ASSERT_EQ(line.responses.size(), 1u);
    EXPECT_EQ(line.responses[0].journal["value"], "00.05.00");
    EXPECT_TRUE(line.responses[0].journal["fault"].is_null());
}

TEST(EngineTrace, DecodesBothDirections) {
    SimLine line;
    line.engine.feed("\x04"
                     "01M1\x05");
    line.engine.feed("\x04");
    line.engine.feed("\x04"
                     "01\x02S1000150\x03\x66");
    ASSERT_EQ(line.responses.size(), 2u);
    EXPECT_EQ(line.responses[0].trace, "STX M1 0025.0 ETX bcc=66 ok");
    EXPECT_EQ(line.responses[1].trace, "NAK");
    ASSERT_EQ(line.tracesIn.size(), 3u);
    EXPECT_EQ(line.tracesIn[0], "EOT 01 M1 ENQ");
    EXPECT_EQ(line.tracesIn[1], "EOT");
    EXPECT_EQ(line.tracesIn[2], "EOT 01 STX S1000150 ETX bcc=66 bad (want 65)");
    EXPECT_EQ(describeReply(reply("M10025.0", 0x61), 2), "STX M1 0025.0 ETX bcc=61 bad (want 66)");
}

} // namespace
