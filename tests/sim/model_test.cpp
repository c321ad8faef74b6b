#include "sim_fixture.h"

#include <gtest/gtest.h>

using namespace rexsim;
using rexsim::test::stations12;

namespace {

ValueRef id(const char* name, int a = -1, int b = -1) {
    return ValueRef{findIdentifier(name), a, b};
}

TEST(ModelTable, HoldsTheDriversIdentifiersInItsGroups) {
    // The driver's identifier table without its placeholders, group by group.
    const char* plain[] = {"M1", "S1", "ON", "TR", "RT", "M2", "AA", "AB", "B1", "B2",
                           "HO", "EN", "WT", "T1", "T2", "T3", "T4", "XM", "PS", "SN",
                           "RA", "G1", "TT", "SK", "S2", "PP", "AP", "PQ", "AQ", "PB",
                           "HA", "HB", "TC", "F1", "ET", "XN", "SS", "ER", "CL"};
    const std::pair<const char*, Group> grouped[] = {
        {"RR", Group::PN},   {"ZW", Group::PN},   {"LP", Group::PN},   {"PE", Group::PN},
        {"LE", Group::PNSN}, {"TM", Group::PNSN}, {"PO", Group::PNSN}, {"AN", Group::PNSN},
        {"RE", Group::PNTN}, {"SO", Group::PNTN}, {"SF", Group::PNTN}, {"TO", Group::PNTN},
        {"TF", Group::PNTN}, {"P1", Group::PO},   {"I1", Group::PO},   {"D1", Group::PO},
        {"V1", Group::PO},   {"MH", Group::PO},   {"OH", Group::PO},   {"OL", Group::PO},
        {"A1", Group::AN},   {"A2", Group::AN},   {"A3", Group::AN}};
    for (const char* p : plain) {
        SCOPED_TRACE(p);
        ASSERT_GE(findIdentifier(p), 0);
        EXPECT_EQ(kIdentifiers[findIdentifier(p)].group, Group::Plain);
    }
    for (auto [name, g] : grouped) {
        SCOPED_TRACE(name);
        ASSERT_GE(findIdentifier(name), 0);
        EXPECT_EQ(kIdentifiers[findIdentifier(name)].group, g);
    }
    EXPECT_EQ(std::size(plain) + std::size(grouped), kIdentifiers.size());
    for (const char* t : {"TR", "TM", "TO", "TF", "ET"}) {
        EXPECT_TRUE(kIdentifiers[findIdentifier(t)].time) << t;
    }
    for (const char* ro : {"M1", "M2", "AA", "AB", "B1"}) {
        EXPECT_TRUE(kIdentifiers[findIdentifier(ro)].readOnly) << ro;
    }
}

TEST(ModelTable, EveryRangeAndDefaultFitsTheValueText) {
    for (const IdDef& d : kIdentifiers) {
        SCOPED_TRACE(d.id);
        EXPECT_LE(d.min, d.def);
        EXPECT_LE(d.def, d.max);
        size_t width = d.time ? 8 : 6;
        for (double v : {d.min, d.max, d.def}) {
            std::string text = formatValue(d, v);
            EXPECT_EQ(text.size(), width) << text;
            // What the driver reads back is the value itself.
            if (!d.time) {
                EXPECT_NEAR(std::stod(text), v, 0.5 * std::pow(10.0, -d.decimals)) << text;
            }
        }
    }
}

TEST(ModelFormat, FixedWidthWithSignAndPoint) {
    const IdDef& s1 = kIdentifiers[findIdentifier("S1")];
    const IdDef& tr = kIdentifiers[findIdentifier("TR")];
    const IdDef whole{"X9", Group::Plain, false, false, 0, -99999, 999999, 0, 0, ""};
    const std::tuple<const IdDef*, double, const char*> cases[] = {
        {&s1, 25.0, "0025.0"},
        {&s1, -25.0, "-025.0"},
        {&s1, 1372.0, "1372.0"},
        {&s1, -0.04, "0000.0"},
        {&s1, 0.05, "0000.1"},
        {&s1, 5000.0, "1372.0"},
        {&whole, 1, "000001"},
        {&whole, -15, "-00015"},
        {&tr, 3600 + 9 * 60 + 45, "01.09.45"},
        {&tr, 0, "00.00.00"},
        {&tr, kMaxTimeSeconds, "99.59.59"},
    };
    for (auto [def, v, text] : cases) {
        EXPECT_EQ(formatValue(*def, v), text) << v;
    }
}

TEST(ModelParse, LooseNumbersAndStrictTimes) {
    const std::pair<const char*, std::optional<double>> numbers[] = {
        {"000150", 150},  {"-00015", -15}, {"-1.5", -1.5}, {"-01.5", -1.5}, {".03", 0.03},
        {"7.", 7},        {"0", 0},        {"+1", {}},     {"-", {}},       {".", {}},
        {"-.", {}},       {"", {}},        {"1.2.3", {}},  {"1 2", {}},     {"1e3", {}},
        {"12345678", {}}, {"--1", {}},
    };
    for (auto [text, want] : numbers) {
        auto got = parseNumber(text);
        ASSERT_EQ(got.has_value(), want.has_value()) << text;
        if (want) {
            EXPECT_DOUBLE_EQ(*got, *want) << text;
        }
    }
    EXPECT_EQ(parseTime("00.09.45"), 585.0);
    EXPECT_EQ(parseTime("99.59.59"), kMaxTimeSeconds);
    for (const char* bad :
         {"00.60.00", "00.00.60", "0.09.45", "00:09:45", "00.09.4x", "00.09.456"}) {
        EXPECT_FALSE(parseTime(bad).has_value()) << bad;
    }
}

class RunningModel : public ::testing::Test {
  protected:
    RunningModel() : model(stations12(), false, 7) {}
    // Advances in steps of 100 ms, as the event loop does.
    void run(double seconds) {
        for (int i = 0; i < static_cast<int>(seconds * 10 + 0.5); ++i) {
            model.tick(0.1);
        }
    }
    double value(const ValueRef& ref) { return model.station(1).get(ref); }
    void write(const char* name, const char* data, int a = -1, int b = -1) {
        ASSERT_EQ(model.write(1, id(name, a, b), data), WriteStatus::Ok) << name << " " << data;
    }
    Model model;
};

TEST_F(RunningModel, MeasuredValueFollowsTheSetValueWithLag) {
    write("S1", "100.0");
    run(5);
    double m = value(id("M1"));
    EXPECT_GT(m, 30.0);
    EXPECT_LT(m, 90.0);
    run(120);
    EXPECT_NEAR(value(id("M1")), 100.0, 0.5);
    EXPECT_NEAR(value(id("S2")), 100.0, 1e-9);
    write("PB", "-10.0");
    run(0.1);
    EXPECT_NEAR(value(id("M1")), 90.0, 0.5);
}

TEST_F(RunningModel, ProgramRunsHoldsAdvancesAndEnds) {
    // Pattern 1: two segments of 10 s at 200.0 and 300.0.
    write("PE", "2", 1);
    write("TM", "00.00.10", 1, 1);
    write("TM", "00.00.10", 1, 2);
    write("LE", "200.0", 1, 1);
    write("LE", "300.0", 1, 2);
    write("XM", "1");
    EXPECT_EQ(value(id("SN")), 1);
    EXPECT_EQ(value(id("TR")), 10);
    run(4);
    EXPECT_NEAR(value(id("TR")), 6, 0.01);
    EXPECT_EQ(value(id("S2")), 200.0);

    write("XM", "2"); // hold
    run(5);
    EXPECT_NEAR(value(id("TR")), 6, 0.01);
    EXPECT_EQ(value(id("HO")), 1);
    write("XM", "1");
    run(7);
    EXPECT_EQ(value(id("SN")), 2);
    EXPECT_NEAR(value(id("TR")), 9, 0.01);
    EXPECT_EQ(value(id("S2")), 300.0);

    write("SK", "1"); // skip the rest: the program ends
    EXPECT_EQ(value(id("EN")), 1);
    EXPECT_EQ(value(id("XM")), 0);
    EXPECT_EQ(value(id("SN")), 1);
    EXPECT_EQ(value(id("TR")), 10);
    write("CL", "1");
    EXPECT_EQ(value(id("EN")), 0);
}

TEST_F(RunningModel, RepeatsAndTimeSignals) {
    write("PE", "1", 1);
    write("RR", "1", 1);
    write("TM", "00.00.10", 1, 1);
    write("RE", "1", 1, 0); // time signal 0: output T2 from 2 s to 5 s of segment 1
    write("SO", "2", 1, 0);
    write("TO", "00.00.02", 1, 0);
    write("TF", "00.00.05", 1, 0);
    write("XM", "1");
    run(3);
    EXPECT_EQ(value(id("T2")), 1);
    EXPECT_EQ(value(id("T1")), 0);
    run(3);
    EXPECT_EQ(value(id("T2")), 0);
    run(5); // into the repeat
    EXPECT_EQ(value(id("RT")), 1);
    EXPECT_EQ(value(id("XM")), 1);
    run(10);
    EXPECT_EQ(value(id("XM")), 0);
    EXPECT_EQ(value(id("EN")), 1);
}

TEST_F(RunningModel, ZeroTimeProgramDoesNotHang) {
    for (int s = 1; s <= 3; ++s) {
        write("TM", "00.00.00", 1, s);
    }
    write("RR", "9999", 1);
    write("XM", "1");
    run(1); // returns; the program passes many segments per tick
    SUCCEED();
}

TEST(FrozenModel, ChangesOnlyByWrites) {
    Model model(stations12(), true, 7);
    ASSERT_EQ(model.write(1, id("S1"), "100.0"), WriteStatus::Ok);
    ASSERT_EQ(model.write(1, id("XM"), "1"), WriteStatus::Ok);
    for (int i = 0; i < 100; ++i) {
        model.tick(0.1);
    }
    EXPECT_EQ(model.readText(1, id("M1")), "0025.0");
    EXPECT_EQ(model.readText(1, id("TR")), "00.01.00");
    EXPECT_EQ(model.readText(1, id("XM")), "000001");
    EXPECT_EQ(model.readText(2, id("S1")), "0025.0");
}

} // namespace
