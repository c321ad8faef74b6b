// The identifier vocabulary, the gate address parser and segment gates.
#include <cstring>
#include <string>
#include <vector>

#include "addressing/identifiers.h"
#include "addressing/segment.h"
#include "driver_fixture.h"

namespace draxo::test {
namespace {

TEST(Identifiers, LookupsFindTheFirstMatchingEntry) {
    struct Case {
        const char* text;
        int identifier;
        int segment;
    };
    const Case cases[] = {
        {"M1", 1, -1},  {"SN", 20, -1}, {"PO", 33, -1}, {"AN", 34, -1}, {"@@", 0, -1},
        {"CL", 67, -1}, {"25", -1, 0},  {"49", -1, 4},  {"M", -1, -1},  {"", -1, -1},
        {"M1X", 1, -1}, {"m1", -1, -1}, {"26", -1, -1},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(FindIdentifier(c.text), c.identifier) << c.text;
        EXPECT_EQ(FindSegmentCode(c.text), c.segment) << c.text;
    }
}

TEST(Identifiers, PrefixGroupsAndTheirBounds) {
    struct Case {
        std::uint32_t index;
        const char* text;
        Prefix prefix;
    };
    const Case cases[] = {
        {0, "@@", Prefix::None},     {1, "M1", Prefix::None},  {24, "SK", Prefix::None},
        {25, "@@", Prefix::Refused}, {26, "RR", Prefix::Pn},   {29, "PE", Prefix::Pn},
        {30, "@@", Prefix::Refused}, {31, "LE", Prefix::PnSn}, {34, "AN", Prefix::PnSn},
        {35, "@@", Prefix::Refused}, {36, "RE", Prefix::PnTn}, {40, "TF", Prefix::PnTn},
        {41, "@@", Prefix::Refused}, {42, "P1", Prefix::Po},   {48, "OL", Prefix::Po},
        {49, "@@", Prefix::Refused}, {50, "A1", Prefix::An},   {52, "A3", Prefix::An},
        {53, "S2", Prefix::None},    {67, "CL", Prefix::None}, {68, "", Prefix::Refused},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(PrefixFor(c.index), c.prefix) << c.index;
        EXPECT_STREQ(IdentifierText(c.index), c.text) << c.index;
    }
}

TEST(Identifiers, TimeValuedSetIsExactlyFive) {
    std::vector<std::uint32_t> timeValued;
    for (std::uint32_t i = 0; i < 80; ++i) {
        if (IsTimeValued(i)) {
            timeValued.push_back(i);
        }
    }
    EXPECT_EQ(timeValued, (std::vector<std::uint32_t>{4, 32, 39, 40, 63}));
}

TEST(Identifiers, SelectorsPrintWithTwoDigits) {
    const StationEntry s{1, 3, 16, 0, 9, 10};
    char out[16];
    const struct {
        Prefix prefix;
        const char* text;
    } cases[] = {{Prefix::None, ""},         {Prefix::Pn, "PN03"}, {Prefix::PnSn, "PN03SN16"},
                 {Prefix::PnTn, "PN03TN00"}, {Prefix::Po, "PO09"}, {Prefix::An, "AN10"}};
    for (const auto& c : cases) {
        EXPECT_EQ(FormatSelectors(out, sizeof out, c.prefix, s), std::strlen(c.text));
        EXPECT_STREQ(out, c.text);
    }
}

class ParserTest : public DriverTest {
  protected:
    ParserTest() {
        for (StationEntry& s : block_.stations) {
            s.type = 0;
        }
        for (int n : {0, 1, 7, 15}) {
            block_.stations[n] = StationEntry{1, 0, 0, 0, 0, 0};
        }
    }
};

struct ParseCase {
    const char* text;
    std::uint32_t gateType;
    std::int32_t result;
    const char* message; // null: nothing logged
    // parsed afterwards; the record starts with controller 9, kind 9, code 99,
    // reserved 5, width 9.
    std::uint32_t controller, kind, code;
    std::int32_t reserved;
    std::uint32_t width;
};

TEST_F(ParserTest, AddressTexts) {
    const ParseCase cases[] = {
        // accepted
        {"01m1", 3, 0, nullptr, 1, 1, 1, -1, 32},
        {"07M1", 3, 0, nullptr, 7, 1, 1, -1, 32},
        {"0125", 0, 0, nullptr, 1, 2, 25, -1, 16},
        {"0149", 2, 0, nullptr, 1, 2, 49, -1, 16},
        {"01M1ABCD", 3, 0, nullptr, 1, 1, 1, -1, 32},
        {" 1M1", 3, 0, nullptr, 1, 1, 1, -1, 32},
        {"+1M1", 3, 0, nullptr, 1, 1, 1, -1, 32},
        {"01 25", 1, 0, nullptr, 1, 2, 25, -1, 16},
        {"01SN", 3, 0, nullptr, 1, 1, 20, -1, 32},
        {"01@@", 3, 0, nullptr, 1, 1, 0, -1, 32},
        {"15cl", 3, 0, nullptr, 15, 1, 67, -1, 32},
        // gate type refused: the whole parse result stays
        {"0125", 3, 1, "DRAXO> SingleParse() Gate type should be analog 16-bit", 1, 2, 25, -1, 16},
        {"01TM", 1, 1, "DRAXO> SingleParse() Gate type should be FLOAT", 1, 1, 32, -1, 32},
        // length: nothing changes
        {"1M1", 3, 1, "DRAXO> Parse() wrong length address string '1M1'", 9, 9, 99, 5, 9},
        {"01M1ABCDE", 3, 1, "DRAXO> Parse() wrong length address string '01M1ABCDE'", 9, 9, 99, 5,
         9},
        {"", 3, 1, "DRAXO> Parse() wrong length address string ''", 9, 9, 99, 5, 9},
        // controller address: reset done, controller and code old
        {"16M1", 3, 1, "DRAXO> Parse() illegal contr. add., gate '16M1'", 9, 0, 99, -1, 0},
        {"-1M1", 3, 1, "DRAXO> Parse() illegal contr. add., gate '-1M1'", 9, 0, 99, -1, 0},
        {"XXM1", 3, 1, "DRAXO> Parse() illegal contr. add., gate 'XXM1'", 9, 0, 99, -1, 0},
        {"02m1", 3, 1, "DRAXO> Parse() contr. add. 2 not defined in .INT file, gate '02M1'", 9, 0,
         99, -1, 0},
        // identifier: controller new, kind and width 0
        {"1M1X", 3, 1, "DRAXO> Parse() illegal parameter identifier for P200, gate '1M1X'", 1, 0,
         99, -1, 0},
        {"01M 1", 3, 1, "DRAXO> Parse() illegal parameter identifier for P200, gate '01M 1'", 1, 0,
         99, -1, 0},
        {"0126", 0, 1, "DRAXO> Parse() illegal parameter identifier for P200, gate '0126'", 1, 0,
         99, -1, 0},
        {"01  ", 3, 1, "DRAXO> Parse() illegal parameter identifier, gate '01  '", 1, 0, 99, -1, 0},
    };
    for (const ParseCase& c : cases) {
        log_.clear();
        GateAddressRequest r{};
        r.addressText = c.text;
        r.gateType = c.gateType;
        r.parsed = ParsedAddress{9, 9, 99, 5, 9};
        EXPECT_EQ(run(3, &r), c.result) << c.text;
        if (c.message == nullptr) {
            EXPECT_TRUE(log_.messages().empty()) << c.text;
        } else {
            EXPECT_EQ(log_.messages(), (std::vector<Message>{{8, c.message}})) << c.text;
        }
        EXPECT_EQ(r.parsed.controller, c.controller) << c.text;
        EXPECT_EQ(r.parsed.kind, c.kind) << c.text;
        EXPECT_EQ(r.parsed.code, c.code) << c.text;
        EXPECT_EQ(r.parsed.reserved12, c.reserved) << c.text;
        EXPECT_EQ(r.parsed.widthBits, c.width) << c.text;
    }
}

TEST_F(ParserTest, AnyTextLengthIsRefusedWithoutOverflow) {
    const std::string longText(5000, 'a');
    GateAddressRequest r{};
    r.addressText = longText.c_str();
    r.gateType = 3;
    EXPECT_EQ(run(3, &r), 1);
    ASSERT_EQ(log_.messages().size(), 1u);
    EXPECT_EQ(log_.messages()[0].text,
              "DRAXO> Parse() wrong length address string '" + std::string(32, 'A') + "'");
}

TEST_F(ParserTest, ParsingNeedsNoPort) {
    block_.handle = 0;
    GateAddressRequest r{};
    r.addressText = "01M1";
    r.gateType = 3;
    EXPECT_EQ(run(3, &r), 0);
    EXPECT_EQ(fake::calls().size(), 0u);
}

class SegmentTest : public DriverTest {
  protected:
    SegmentTest() {
        for (StationEntry& s : block_.stations) {
            s.type = 0;
        }
        block_.stations[2] = StationEntry{1, 0, 0, 0, 0, 0};
        block_.handle = 0; // segment gates need no port
    }
    GateIoRequest segment(std::uint32_t controller, std::uint32_t code) {
        GateIoRequest q{};
        q.gateText = "segment";
        q.parsed = ParsedAddress{controller, 2, code, -1, 16};
        q.value = slot_;
        return q;
    }
    void setSlot(std::uint16_t v) { SetSlotU16(slot_, v); }
};

TEST_F(SegmentTest, WriteThenReadEachSelector) {
    const std::uint32_t codes[] = {25, 30, 35, 41, 49};
    std::uint16_t value = 12;
    for (std::uint32_t code : codes) {
        GateIoRequest q = segment(2, code);
        setSlot(value);
        EXPECT_EQ(write(q), 0) << code;
        std::memset(slot_, kGarbage, sizeof slot_);
        EXPECT_EQ(read(q), 0) << code;
        EXPECT_EQ(SlotU16(slot_), value) << code;
        EXPECT_EQ(slot_[0], kGarbage);
        EXPECT_EQ(slot_[1], kGarbage);
        ++value;
    }
    EXPECT_EQ(block_.stations[2].pn, 12);
    EXPECT_EQ(block_.stations[2].an, 16);
    EXPECT_TRUE(log_.messages().empty());
    EXPECT_EQ(fake::calls().size(), 0u);
}

TEST_F(SegmentTest, RefusalsAndTheirOrder) {
    struct Case {
        std::uint32_t controller;
        std::uint32_t code;
        std::uint16_t value;
        std::vector<Message> messages;
    };
    const Message tooBig{8, "DRAXO> Write() error, P200 segment gate > 16"};
    const Message summary{8, "DRAXO> SingleWrite() , ret val is 1"};
    const Case cases[] = {
        {2, 30, 17, {tooBig, summary}},
        {2, 30, 65535, {tooBig, summary}},
        {2, 31, 17, {tooBig, summary}}, // the value is tested before the code
        {2, 31, 3, {summary}},
        {3, 30, 3, {summary}}, // station not declared: not a segment gate here
        {99,
         30,
         3,
         {{32, "DRAXO> DoWrite() illegal controller address 99, gtid 0 'segment'"}, summary}},
    };
    for (const Case& c : cases) {
        block_.stations[2].sn = 5;
        log_.clear();
        GateIoRequest q = segment(c.controller, c.code);
        setSlot(c.value);
        EXPECT_EQ(write(q), 1) << c.code << " " << c.value;
        EXPECT_EQ(block_.stations[2].sn, 5);
        EXPECT_EQ(log_.messages(), c.messages) << c.code << " " << c.value;
    }
    GateIoRequest zero = segment(2, 30);
    setSlot(0);
    EXPECT_EQ(write(zero), 0);
    EXPECT_EQ(block_.stations[2].sn, 0);
}

TEST_F(SegmentTest, ReadOfANonSegmentCodeLeavesTheSlotAlone) {
    std::memset(slot_, kGarbage, sizeof slot_);
    GateIoRequest q = segment(2, 26);
    EXPECT_EQ(read(q), 1);
    for (unsigned char b : slot_) {
        EXPECT_EQ(b, kGarbage);
    }
    EXPECT_EQ(log_.texts(), (std::vector<std::string>{"DRAXO> SingleRead() , ret val is 1"}));
}

} // namespace
} // namespace draxo::test
