// The tool's own logic: what people type, and the poll's decisions.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>

#include "gates.h"
#include "output.h"
#include "poller.h"

using namespace draxo;
using namespace draxo::tool;

namespace {

ParsedAddress parameter(std::uint32_t code) {
    return {1, kKindParameter, code, -1, 32};
}
ParsedAddress segment(std::uint32_t code) {
    return {1, kKindSegmentGate, code, -1, 16};
}

} // namespace

TEST(GateEntrys, NamesAddressesAndValues) {
    struct Case {
        const char* text;
        const char* name;
        const char* address;
        const char* value; // for parseWriteEntry, or null
    } cases[] = {
        {"01M1", "", "01M1", nullptr},
        {"oven=01M1", "oven", "01M1", nullptr},
        {" oven = 01M1 ", "oven", "01M1", nullptr},
        {"01S1=150", "", "01S1", "150"},
        {"set=01S1=150", "set", "01S1", "150"},
        {"01TR=01:30:00", "", "01TR", "01:30:00"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        if (c.value == nullptr) {
            auto g = parseGateEntry(c.text);
            EXPECT_EQ(g.name, c.name);
            EXPECT_EQ(g.address, c.address);
        } else {
            auto w = parseWriteEntry(c.text);
            EXPECT_EQ(w.gate.name, c.name);
            EXPECT_EQ(w.gate.address, c.address);
            EXPECT_EQ(w.value, c.value);
        }
    }
    for (const char* bad : {"", "=01M1", "oven=", "a=b=c"}) {
        SCOPED_TRACE(bad);
        EXPECT_THROW(parseGateEntry(bad), UsageError);
    }
    for (const char* bad : {"01S1", "01S1=", "=150"}) {
        SCOPED_TRACE(bad);
        EXPECT_THROW(parseWriteEntry(bad), UsageError);
    }
}

TEST(WriteValues, SegmentGatesTakeA16BitWholeNumberInBytes2And3) {
    auto v = encodeWriteValue(segment(30), "16");
    EXPECT_EQ(v.bytes[0], 0);
    EXPECT_EQ(v.bytes[1], 0);
    EXPECT_EQ(slotU16(v.bytes), 16);
    // 17..65535 reach the driver, which refuses them with its own message.
    EXPECT_EQ(slotU16(encodeWriteValue(segment(30), "65535").bytes), 65535);
    for (const char* bad : {"65536", "-1", "1.5", "x", ""}) {
        SCOPED_TRACE(bad);
        EXPECT_THROW(encodeWriteValue(segment(30), bad), UsageError);
    }
}

TEST(WriteValues, TimesAndNumbers) {
    struct Case {
        std::uint32_t code;
        const char* text;
        float expected;
        bool note;
    } cases[] = {
        {4, "01:30:00", 13000.0f, false},                              // TR
        {32, "1:02:03", 10203.0f, false},                              // TM
        {39, "05:30", 530.0f, false},                                  // TO, mm:ss
        {63, "99:59:59", 995959.0f, false}, {4, "945", 945.0f, false}, // hhmmss as a number
        {2, "150", 150.0f, false},                                     // S1
        {2, "-15.7", -15.7f, true},         {2, "150.7", 150.7f, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        auto v = encodeWriteValue(parameter(c.code), c.text);
        EXPECT_EQ(slotFloat(v.bytes), c.expected);
        EXPECT_EQ(!v.note.empty(), c.note) << v.note;
    }
    struct Bad {
        std::uint32_t code;
        const char* text;
    } bad[] = {{4, "01:60:00"}, {4, "01:00:60"}, {4, "100:00:00"}, {4, "1:2:3:4"},
               {4, "a:b:c"},    {2, "01:30:00"}, {2, "nan"},       {4, "nan"},
               {2, "inf"},      {2, "-inf"},     {2, "12abc"},     {2, ""}};
    for (const auto& b : bad) {
        SCOPED_TRACE(b.text);
        EXPECT_THROW(encodeWriteValue(parameter(b.code), b.text), UsageError);
    }
}

TEST(Values, TimeValuedIdentifiersAndDisplay) {
    for (std::uint32_t code = 0; code < 68; ++code) {
        bool expected = code == 4 || code == 32 || code == 39 || code == 40 || code == 63;
        EXPECT_EQ(isTimeValued(parameter(code)), expected) << code;
    }
    EXPECT_FALSE(isTimeValued(segment(30)));
    EXPECT_EQ(formatHms(13000.0f), "01:30:00");
    EXPECT_EQ(formatHms(530.0f), "00:05:30");
    EXPECT_EQ(formatHms(995959.0f), "99:59:59");
    EXPECT_EQ(formatHms(-1.0f), "");
    EXPECT_EQ(formatHms(std::numeric_limits<float>::quiet_NaN()), "");
    EXPECT_EQ(formatNumber(25.0f), "25");
    EXPECT_EQ(formatNumber(25.3f), "25.3");
}

TEST(LineOptions, Conversions) {
    struct {
        unsigned ms;
        std::int32_t units;
    } timeouts[] = {{1, 1}, {10, 1}, {11, 2}, {200, 20}, {205, 21}, {600000, 60000}};
    for (const auto& t : timeouts) {
        EXPECT_EQ(timeoutUnits(t.ms), t.units) << t.ms;
    }
    EXPECT_THROW(timeoutUnits(0), UsageError);
    EXPECT_THROW(timeoutUnits(600001), UsageError);

    EXPECT_EQ(parityCode("none"), 0);
    EXPECT_EQ(parityCode("space"), 4);
    EXPECT_THROW(parityCode("Even"), UsageError);
    EXPECT_EQ(stopBitsCode(1), 0);
    EXPECT_EQ(stopBitsCode(2), 2);
    EXPECT_THROW(stopBitsCode(3), UsageError);

    EXPECT_NO_THROW(checkPortName("\\\\.\\COM10"));
    EXPECT_NO_THROW(checkPortName("/dev/pts/12")); // 11 characters
    EXPECT_THROW(checkPortName("/dev/ttyUSB0"), UsageError);
    EXPECT_THROW(checkPortName(""), UsageError);
    EXPECT_EQ(portNameForPath("/dev/pts/3"), "/dev/pts/3");
    EXPECT_EQ(portNameForPath("/dev/pts/123"), "pts/123");

    LineOptions line;
    line.port = "pts/4";
    line.baud = 19200;
    line.parity = "even";
    line.stopBits = 2;
    line.timeoutMs = 95;
    auto p = coldStartParams(line);
    EXPECT_STREQ(p.portName, "pts/4");
    EXPECT_EQ(p.openPort, 1u);
    EXPECT_EQ(p.replyTimeout, 10);
    EXPECT_EQ(p.line.baud, 19200);
    EXPECT_EQ(p.line.dataBits, 8);
    EXPECT_EQ(p.line.stopBits, 2);
    EXPECT_EQ(p.line.parity, 2);
    line.baud = 115200; // does not fit the 16-bit field
    EXPECT_THROW(coldStartParams(line), UsageError);
}

TEST(Stations, ListsAndInitText) {
    EXPECT_EQ(parseStationList("1,2"), (std::vector<unsigned>{1, 2}));
    EXPECT_EQ(parseStationList(" 0 , 15,0"), (std::vector<unsigned>{0, 15}));
    for (const char* bad : {"", "16", "1,,2", "-1", "a"}) {
        SCOPED_TRACE(bad);
        EXPECT_THROW(parseStationList(bad), UsageError);
    }
    EXPECT_EQ(initFileText({1, 2}, 20u), "IFG = 20\n1 = P200\n2 = P200\n");
    EXPECT_EQ(initFileText({3}, std::nullopt), "3 = P200\n");
    EXPECT_EQ(stationsOfAddresses({"01M1", "02M1", "01S1", "16M1", "xM1", "7M1"}),
              (std::vector<unsigned>{1, 2}));
}

TEST(StationScheduler, DemotesProbesWithBackOffAndRestores) {
    StationScheduler s({3, 4, 16});
    // Rounds: which ones poll station 5 while it stays silent.
    std::vector<int> polled;
    for (int round = 0; round < 60; ++round) {
        if (s.due(5)) {
            polled.push_back(round);
            auto change = s.report(5, true);
            EXPECT_EQ(change == StationScheduler::Change::WentOffline, round == 2) << round;
        }
        EXPECT_TRUE(s.due(1)); // another station is not held up
        s.report(1, false);
    }
    // Three rounds online, then probes 4, 8, 16, 16 rounds apart.
    EXPECT_EQ(polled, (std::vector<int>{0, 1, 2, 6, 14, 30, 46}));
    EXPECT_FALSE(s.online(5));

    while (!s.due(5)) {
    }
    EXPECT_EQ(s.report(5, false), StationScheduler::Change::BackOnline);
    EXPECT_TRUE(s.online(5));
    EXPECT_TRUE(s.due(5));
    EXPECT_EQ(s.report(5, true), StationScheduler::Change::None);
    EXPECT_TRUE(s.online(5)); // one silent round does not demote it again
}

TEST(StationScheduler, AnswerBetweenSilencesResetsTheCount) {
    StationScheduler s({3, 10, 80});
    for (bool silent : {true, true, false, true, true}) {
        ASSERT_TRUE(s.due(2));
        EXPECT_EQ(s.report(2, silent), StationScheduler::Change::None);
    }
    EXPECT_TRUE(s.online(2));
}

TEST(StationScheduler, ProbeSoonAfterAReopen) {
    StationScheduler s({1, 10, 80});
    ASSERT_TRUE(s.due(3));
    s.report(3, true);
    EXPECT_FALSE(s.due(3));
    s.probeSoon();
    EXPECT_TRUE(s.due(3));
}

TEST(PortWatch, ReopensAfterSilentRoundsWithGrowingPatience) {
    PortWatch w({3, 12, 1000, 8000});
    std::vector<int> reopenAt;
    for (int round = 0; round < 40; ++round) {
        if (w.roundDone(true, true)) {
            reopenAt.push_back(round);
        }
    }
    // 3, then 6, then 12 and 12 silent rounds.
    EXPECT_EQ(reopenAt, (std::vector<int>{2, 8, 20, 32}));
    // Rounds that polled nothing say nothing about the port.
    EXPECT_FALSE(w.roundDone(false, true));
    // Any answer restores the first patience.
    EXPECT_FALSE(w.roundDone(true, false));
    EXPECT_FALSE(w.roundDone(true, true));
    EXPECT_FALSE(w.roundDone(true, true));
    EXPECT_TRUE(w.roundDone(true, true));

    std::vector<unsigned> waits;
    for (int i = 0; i < 6; ++i) {
        waits.push_back(w.reopened(false));
    }
    EXPECT_EQ(waits, (std::vector<unsigned>{1000, 2000, 4000, 8000, 8000, 8000}));
    EXPECT_EQ(w.reopened(true), 0u);
    EXPECT_EQ(w.reopened(false), 1000u);
}

TEST(GateStats, CountsByCauseAndPercentiles) {
    GateStats st;
    EXPECT_FALSE(st.percentile(50));
    for (int i = 1; i <= 100; ++i) {
        Sample s;
        s.result = i % 10 == 0 ? 2 : (i % 25 == 0 ? 1 : 0);
        s.ms = i;
        st.add(s);
    }
    EXPECT_EQ(st.noAnswer, 10u);
    EXPECT_EQ(st.badAnswer, 2u); // 25 and 75
    EXPECT_EQ(st.good, 88u);
    EXPECT_EQ(*st.percentile(50), 50.0);
    EXPECT_EQ(*st.percentile(99), 99.0);
    EXPECT_EQ(*st.percentile(100), 100.0);
}

TEST(Output, CsvAndJsonCarryTheSample) {
    Sample s;
    s.op = "read";
    s.gate = "01TM";
    s.name = "step, \"one\"";
    s.hasValue = true;
    s.value = 13000;
    s.hms = "01:30:00";
    s.when = std::chrono::system_clock::time_point{};
    s.ms = 12.4;
    EXPECT_EQ(csvLine(s),
              "read,01TM,\"step, \"\"one\"\"\",13000,01:30:00,0,ok,1970-01-01T00:00:00.000Z,12,");
    EXPECT_EQ(jsonLine(s), "{\"op\":\"read\",\"gate\":\"01TM\",\"name\":\"step, \\\"one\\\"\","
                           "\"value\":13000.0,\"hms\":\"01:30:00\",\"result\":0,\"status\":\"ok\","
                           "\"time\":\"1970-01-01T00:00:00.000Z\",\"ms\":12}");
    Sample failed = s;
    failed.hasValue = false;
    failed.result = 2;
    failed.detail = "DoRead() error receiving data, retry 4 '01TM'";
    EXPECT_NE(jsonLine(failed).find("\"value\":null"), std::string::npos);
    EXPECT_EQ(statusText(failed), "2 no answer");
}
