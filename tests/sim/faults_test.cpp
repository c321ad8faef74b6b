#include "sim_fixture.h"

#include <gtest/gtest.h>
#include <map>

using namespace rexsim;
using rexsim::test::SimLine;

namespace {

bool hasProtocolByte(const std::string& s) {
    return s.find_first_of(std::string("\x02\x04\x06\x15", 4)) != std::string::npos;
}

TEST(FaultInjector, SameSeedSameFaultsAndEveryKindTurnsUp) {
    FaultConfig fc;
    fc.p.fill(0.1);
    FaultInjector a(fc, 42), b(fc, 42);
    std::map<Fault, int> seen;
    for (int i = 0; i < 3000; ++i) {
        Fault f = a.draw();
        ASSERT_EQ(f, b.draw()) << i;
        ++seen[f];
    }
    for (int k = 0; k <= kFaultKinds; ++k) {
        EXPECT_GT(seen[static_cast<Fault>(k)], 50) << faultName(static_cast<Fault>(k));
    }
    FaultInjector none(FaultConfig{}, 42);
    for (int i = 0; i < 100; ++i) {
        EXPECT_EQ(none.draw(), Fault::None);
    }
}

TEST(FaultInjector, JunkBabbleAndCorruption) {
    FaultInjector f(FaultConfig{}, 3);
    for (int i = 0; i < 200; ++i) {
        std::string j = f.junk();
        EXPECT_FALSE(j.empty());
        EXPECT_LE(j.size(), 8u);
        EXPECT_FALSE(hasProtocolByte(j));
        std::string b = f.babble();
        EXPECT_GE(b.size(), 200u);
        EXPECT_LE(b.size(), 1000u);
        EXPECT_FALSE(hasProtocolByte(b));
        std::string clean = frame("M10025.0"), bad = clean;
        f.corrupt(bad);
        ASSERT_EQ(bad.size(), clean.size());
        int diff = 0;
        for (size_t k = 0; k < bad.size(); ++k) {
            diff += bad[k] != clean[k];
        }
        EXPECT_EQ(diff, 1);
    }
}

// Each kind alone, with probability 1, on a poll and on a write.
TEST(FaultInjector, EachKindOnTheLine) {
    const std::string clean = frame("M10025.0");
    for (int k = 1; k <= kFaultKinds; ++k) {
        Fault kind = static_cast<Fault>(k);
        SCOPED_TRACE(faultName(kind));
        FaultConfig fc;
        fc.of(kind) = 1.0;
        SimLine line(fc, 9);

        line.engine.feed("\x04"
                         "01M1\x05");
        ASSERT_EQ(line.responses.size(), 1u);
        const Response poll = line.responses[0];
        line.responses.clear();
        EXPECT_EQ(poll.fault, kind);
        EXPECT_EQ(poll.journal["fault"], faultName(kind));

        std::string block = "S1000150\x03";
        line.engine.feed("\x04"
                         "01\x02" +
                         block + std::string(1, static_cast<char>(bcc(block))));
        ASSERT_EQ(line.responses.size(), 1u);
        const Response write = line.responses[0];
        bool stored = line.model.readText(1, ValueRef{findIdentifier("S1")}) == "0150.0";

        switch (kind) {
        case Fault::Drop:
            EXPECT_EQ(poll.bytes, "");
            EXPECT_EQ(write.bytes, "");
            EXPECT_FALSE(stored);
            break;
        case Fault::Corrupt:
            EXPECT_NE(poll.bytes, clean);
            EXPECT_EQ(poll.bytes.size(), clean.size());
            EXPECT_NE(write.bytes, "\x06");
            EXPECT_TRUE(stored);
            break;
        case Fault::Late:
            EXPECT_EQ(poll.bytes, clean);
            EXPECT_DOUBLE_EQ(poll.delayMs, 1502.0);
            EXPECT_EQ(write.bytes, "\x06");
            EXPECT_TRUE(stored);
            break;
        case Fault::Nak:
            EXPECT_EQ(poll.bytes, "\x15");
            EXPECT_EQ(write.bytes, "\x15");
            EXPECT_FALSE(stored);
            break;
        case Fault::Junk:
        case Fault::Babble:
            EXPECT_FALSE(hasProtocolByte(poll.bytes));
            EXPECT_FALSE(hasProtocolByte(write.bytes));
            EXPECT_FALSE(stored);
            break;
        case Fault::None:
            break;
        }
        EXPECT_EQ(line.journal.size(), stored ? 1u : 0u);
        EXPECT_EQ(line.engine.stats().faults[k - 1], 2u);
    }
}

} // namespace
