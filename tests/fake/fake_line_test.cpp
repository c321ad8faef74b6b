// The scripted serial line: the behaviour that the driver's unit tests build on.
#include <chrono>
#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "fake_line.h"

namespace {

using namespace draxo;

constexpr std::uint32_t kReadWrite = comm::kGenericRead | comm::kGenericWrite;

comm::Handle openPort(const char* name) {
    return comm::CreateFileA(name, kReadWrite, 0, comm::kOpenExisting, comm::kFileAttributeNormal);
}

void setReadConstant(comm::Handle h, std::uint32_t ms) {
    const comm::CommTimeouts t{0, 0, ms, 0, 0};
    ASSERT_TRUE(comm::SetCommTimeouts(h, &t));
}

std::string readBytes(comm::Handle h, std::uint32_t count) {
    std::string buf(count, '\0');
    std::uint32_t got = 12345;
    EXPECT_TRUE(comm::ReadFile(h, buf.data(), count, &got));
    buf.resize(got);
    return buf;
}

std::uint32_t outQueue(comm::Handle h) {
    comm::ComStat stat{99, 99};
    std::uint32_t errors = 99;
    EXPECT_TRUE(comm::ClearCommError(h, &errors, &stat));
    EXPECT_EQ(errors, 0u);
    return stat.cbOutQue;
}

class FakeLine : public ::testing::Test {
  protected:
    void SetUp() override {
        fake::reset();
        fake::addPort("COM1");
        h = openPort("COM1");
        ASSERT_NE(h, comm::kInvalidHandle);
    }
    void TearDown() override { fake::reset(); }

    bool write(std::string_view bytes) {
        std::uint32_t n = 0;
        return comm::WriteFile(h, bytes.data(), static_cast<std::uint32_t>(bytes.size()), &n) &&
               n == bytes.size();
    }

    comm::Handle h = comm::kInvalidHandle;
};

// ---- Ports and handles ----------------------------------------------------

TEST_F(FakeLine, PortsAreHeldExclusivelyAndEveryOpenGetsANewHandle) {
    EXPECT_GE(h, 0x100u);
    EXPECT_EQ(openPort("COM1"), comm::kInvalidHandle) << "a held port must not open again";
    EXPECT_EQ(openPort("COM2"), comm::kInvalidHandle) << "a port that was not added";

    ASSERT_TRUE(comm::CloseHandle(h));
    EXPECT_FALSE(comm::CloseHandle(h)) << "closing twice";
    const comm::Handle again = openPort("COM1");
    ASSERT_NE(again, comm::kInvalidHandle);
    EXPECT_NE(again, h);
    EXPECT_EQ(fake::port("COM1")->handle, again);
    EXPECT_EQ(fake::portByHandle(h), nullptr) << "the old handle names nothing any more";
    EXPECT_EQ(fake::portByHandle(again), fake::port("COM1"));

    const comm::Handle nul = openPort("NUL");
    EXPECT_NE(nul, comm::kInvalidHandle) << "NUL opens without being added";
    EXPECT_NE(nul, again);
    EXPECT_EQ(fake::port("COM2"), nullptr);
}

TEST_F(FakeLine, OnlyTheSupportedOpenArgumentsOpen) {
    fake::addPort("COM3");
    struct Case {
        const char* what;
        std::uint32_t access, share, creation, flags;
    };
    const Case cases[] = {
        {"read only", comm::kGenericRead, 0, comm::kOpenExisting, comm::kFileAttributeNormal},
        {"shared", kReadWrite, 3, comm::kOpenExisting, comm::kFileAttributeNormal},
        {"create always", kReadWrite, 0, 2, comm::kFileAttributeNormal},
        {"overlapped", kReadWrite, 0, comm::kOpenExisting, 0x40000080u},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(comm::CreateFileA("COM3", c.access, c.share, c.creation, c.flags),
                  comm::kInvalidHandle)
            << c.what;
    }
    EXPECT_EQ(comm::CreateFileA(nullptr, kReadWrite, 0, comm::kOpenExisting, 0),
              comm::kInvalidHandle);
    EXPECT_NE(comm::CreateFileA("COM3", kReadWrite, 0, comm::kOpenExisting, 0),
              comm::kInvalidHandle);
}

TEST_F(FakeLine, EveryCallOnAClosedOrUnknownHandleFails) {
    ASSERT_TRUE(comm::CloseHandle(h));
    fake::deliver("abc");
    comm::Dcb dcb{};
    comm::CommTimeouts t{};
    comm::ComStat stat{};
    std::uint32_t errors = 0;
    char buf[4];
    std::uint32_t n = 7;
    for (const comm::Handle bad : {h, comm::Handle{0}, comm::kInvalidHandle}) {
        SCOPED_TRACE(bad);
        EXPECT_FALSE(comm::CloseHandle(bad));
        EXPECT_FALSE(comm::GetCommState(bad, &dcb));
        EXPECT_FALSE(comm::SetCommState(bad, &dcb));
        EXPECT_FALSE(comm::GetCommTimeouts(bad, &t));
        EXPECT_FALSE(comm::SetCommTimeouts(bad, &t));
        EXPECT_FALSE(comm::SetupComm(bad, 1200, 1200));
        EXPECT_FALSE(comm::ClearCommError(bad, &errors, &stat));
        EXPECT_FALSE(comm::EscapeCommFunction(bad, comm::kSetRts));
        EXPECT_FALSE(comm::SetCommBreak(bad));
        EXPECT_FALSE(comm::ClearCommBreak(bad));
        n = 7;
        EXPECT_FALSE(comm::ReadFile(bad, buf, 1, &n));
        EXPECT_EQ(n, 0u);
        n = 7;
        EXPECT_FALSE(comm::WriteFile(bad, "x", 1, &n));
        EXPECT_EQ(n, 7u) << "a failed write leaves the count alone";
    }
    EXPECT_EQ(fake::pendingInput(), 3u) << "failed reads take nothing";
    EXPECT_EQ(fake::written(), "");
    EXPECT_TRUE(fake::rtsEdges().empty());
}

// ---- Device state and modem lines ----------------------------------------

TEST_F(FakeLine, TheDeviceStateStartsAtTheDefaultsAndKeepsWhatWasSet) {
    comm::Dcb dcb{};
    ASSERT_TRUE(comm::GetCommState(h, &dcb));
    EXPECT_EQ(dcb.DCBlength, 28u);
    EXPECT_EQ(dcb.BaudRate, 9600u);
    EXPECT_EQ(dcb.ByteSize, 8);
    EXPECT_EQ(dcb.fBinary, 1);
    EXPECT_EQ(dcb.XonChar, 0x11);
    EXPECT_EQ(dcb.XoffChar, 0x13);
    EXPECT_EQ(dcb.XonLim, 2048);
    EXPECT_EQ(dcb.XoffLim, 512);
    EXPECT_EQ(dcb.fParity + dcb.Parity + dcb.StopBits + dcb.fDtrControl + dcb.fRtsControl, 0);

    dcb.BaudRate = 19200;
    dcb.Parity = comm::kEvenParity;
    ASSERT_TRUE(comm::SetCommState(h, &dcb));
    ASSERT_TRUE(comm::CloseHandle(h));
    const comm::Handle again = openPort("COM1");
    comm::Dcb reread{};
    ASSERT_TRUE(comm::GetCommState(again, &reread));
    EXPECT_EQ(reread.BaudRate, 19200u) << "the device keeps its state across opens";
    EXPECT_EQ(reread.Parity, comm::kEvenParity);

    comm::Dcb odd{};
    odd.XonLim = 77;
    fake::setInitialDcb("COM4", odd);
    fake::addPort("COM4");
    comm::Dcb got{};
    ASSERT_TRUE(comm::GetCommState(openPort("COM4"), &got));
    EXPECT_EQ(got.XonLim, 77);
}

TEST_F(FakeLine, ApplyingTheStateSetsTheLinesThatEnableAndDisableFix) {
    struct Case {
        std::uint8_t dtrMode, rtsMode;
        bool dtrAfter, rtsAfter; // starting from both raised
    };
    const Case cases[] = {
        {comm::kDtrControlEnable, comm::kRtsControlEnable, true, true},
        {comm::kDtrControlDisable, comm::kRtsControlDisable, false, false},
        {comm::kDtrControlHandshake, comm::kRtsControlHandshake, true, true},
        {comm::kDtrControlDisable, comm::kRtsControlToggle, false, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << int(c.dtrMode) << "/" << int(c.rtsMode));
        ASSERT_TRUE(comm::EscapeCommFunction(h, comm::kSetDtr));
        ASSERT_TRUE(comm::EscapeCommFunction(h, comm::kSetRts));
        const auto edgesBefore = fake::rtsEdges().size();
        comm::Dcb dcb{};
        ASSERT_TRUE(comm::GetCommState(h, &dcb));
        dcb.fDtrControl = c.dtrMode;
        dcb.fRtsControl = c.rtsMode;
        ASSERT_TRUE(comm::SetCommState(h, &dcb));
        EXPECT_EQ(fake::port("COM1")->dtr, c.dtrAfter);
        EXPECT_EQ(fake::port("COM1")->rts, c.rtsAfter);
        EXPECT_EQ(fake::rtsEdges().size() - edgesBefore, c.rtsAfter ? 0u : 1u);
    }
}

TEST_F(FakeLine, RtsEdgesAreChangesWithTheirTime) {
    comm::Dcb dcb{};
    ASSERT_TRUE(comm::GetCommState(h, &dcb));
    dcb.fRtsControl = comm::kRtsControlEnable;
    ASSERT_TRUE(comm::SetCommState(h, &dcb)); // raised at 0
    comm::Sleep(5);
    ASSERT_TRUE(comm::EscapeCommFunction(h, comm::kSetRts)); // already high: no edge
    ASSERT_TRUE(comm::EscapeCommFunction(h, comm::kClrRts)); // dropped at 5
    comm::Sleep(2);
    ASSERT_TRUE(comm::EscapeCommFunction(h, comm::kSetRts)); // raised at 7
    ASSERT_TRUE(comm::EscapeCommFunction(h, comm::kSetDtr)); // DTR makes no RTS edge
    EXPECT_FALSE(comm::EscapeCommFunction(h, 42)) << "no such function";

    const auto edges = fake::rtsEdges();
    ASSERT_EQ(edges.size(), 3u);
    EXPECT_TRUE(edges[0].at == 0 && edges[0].raised);
    EXPECT_TRUE(edges[1].at == 5 && !edges[1].raised);
    EXPECT_TRUE(edges[2].at == 7 && edges[2].raised);
    EXPECT_TRUE(fake::port("COM1")->rts);
    EXPECT_TRUE(fake::port("COM1")->dtr);
}

// ---- Reads and the virtual clock -----------------------------------------

struct ReadCase {
    const char* what;
    std::function<void()> script; // runs at time 0
    std::uint32_t constantMs;
    std::vector<std::uint32_t> counts; // one read each, in order
    std::vector<std::string> got;
    std::vector<std::int64_t> clockAfter;
};

TEST_F(FakeLine, ReadsWaitUpToTheirConstantAndAdvanceTheClock) {
    const ReadCase cases[] = {
        {"silent line times out", [] {}, 1000, {1}, {""}, {1000}},
        {"bytes already there", [] { fake::deliver("ab"); }, 1000, {2}, {"ab"}, {0}},
        {"ends with the last byte asked for",
         [] { fake::deliverAt(30, "abc"); },
         1000,
         {2},
         {"ab"},
         {30}},
        {"2 and then 1 past the time-out",
         [] {
             fake::deliverAt(10, "ab");
             fake::deliverAt(1500, "c");
         },
         1000,
         {3, 1},
         {"ab", "c"},
         {1000, 1500}},
        {"a byte at exactly the deadline counts",
         [] { fake::deliverAt(50, "x"); },
         50,
         {1},
         {"x"},
         {50}},
        {"a byte 1 ms late does not",
         [] { fake::deliverAt(51, "x"); },
         50,
         {1, 1},
         {"", "x"},
         {50, 51}},
        {"dribble arrives byte by byte",
         [] { fake::dribble("abc", 5, 10); },
         1000,
         {1, 1, 1},
         {"a", "b", "c"},
         {5, 15, 25}},
        {"interleaved deliveries in time order",
         [] {
             fake::deliverAt(20, "2");
             fake::deliverAt(10, "1");
             fake::deliverAt(20, "3");
         },
         1000,
         {3},
         {"123"},
         {20}},
        {"constant 0 waits for every byte",
         [] { fake::dribble("abcd", 100, 1000); },
         0,
         {4},
         {"abcd"},
         {3100}},
        {"600 pending drain as 512 then 88",
         [] { fake::deliver(std::string(600, 'z')); },
         50,
         {512, 512},
         {std::string(512, 'z'), std::string(88, 'z')},
         {0, 50}},
    };
    for (const ReadCase& c : cases) {
        SCOPED_TRACE(c.what);
        SetUp();
        setReadConstant(h, c.constantMs);
        c.script();
        for (std::size_t i = 0; i < c.counts.size(); ++i) {
            EXPECT_EQ(readBytes(h, c.counts[i]), c.got[i]) << "read " << i;
            EXPECT_EQ(fake::now(), c.clockAfter[i]) << "read " << i;
        }
    }
}

TEST_F(FakeLine, AReadIsLoggedWithItsStartAndTheBytesItGot) {
    setReadConstant(h, 1000);
    comm::Sleep(3);
    fake::deliver("\x02OK", 4);
    EXPECT_EQ(readBytes(h, 5), "\x02OK");
    const fake::Call& c = fake::calls().back();
    EXPECT_EQ(c.name, "ReadFile");
    EXPECT_EQ(c.args, (std::vector<std::int64_t>{h, 5, 3}));
    EXPECT_EQ(c.text, "\x02OK");
    EXPECT_EQ(c.at, 3);
    EXPECT_TRUE(c.ok);
    EXPECT_EQ(fake::now(), 1003);
}

TEST_F(FakeLine, AReadThatCouldNeverEndThrowsAndTakesNothing) {
    setReadConstant(h, 0);
    fake::deliverAt(10, "ab");
    char buf[3];
    std::uint32_t n = 9;
    EXPECT_THROW(comm::ReadFile(h, buf, 3, &n), std::logic_error);
    EXPECT_EQ(fake::now(), 0);
    EXPECT_FALSE(fake::calls().back().ok);
    comm::Sleep(10);
    EXPECT_EQ(fake::pendingInput(), 2u);
}

TEST_F(FakeLine, OtherTimeoutModesFollowTheSystemRules) {
    const std::uint32_t kMax = 0xFFFFFFFFu;
    struct Case {
        const char* what;
        comm::CommTimeouts t;
        std::string got;
        std::int64_t clockAfter;
    };
    // Script for every case: "ab" at 0, "cd" at 40, "e" at 200; a read of 5 at time 0.
    const Case cases[] = {
        {"interval MAXDWORD returns what is there", {kMax, 0, 0, 0, 0}, "ab", 0},
        {"interval 30 ends at a 40 ms gap", {30, 0, 0, 0, 0}, "ab", 30},
        {"interval 50 bridges it until the next gap", {50, 0, 0, 0, 0}, "abcd", 90},
        {"multiplier adds per byte", {0, 10, 150, 0, 0}, "abcde", 200},
        {"multiplier and constant bound the whole", {0, 10, 90, 0, 0}, "abcd", 140},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        SetUp();
        ASSERT_TRUE(comm::SetCommTimeouts(h, &c.t));
        fake::deliverAt(0, "ab");
        fake::deliverAt(40, "cd");
        fake::deliverAt(200, "e");
        EXPECT_EQ(readBytes(h, 5), c.got);
        EXPECT_EQ(fake::now(), c.clockAfter);
    }

    SetUp();
    const comm::CommTimeouts firstByte{kMax, kMax, 100, 0, 0};
    ASSERT_TRUE(comm::SetCommTimeouts(h, &firstByte));
    fake::deliverAt(40, "cd");
    EXPECT_EQ(readBytes(h, 5), "cd") << "returns once the first bytes arrived";
    EXPECT_EQ(fake::now(), 40);
    EXPECT_EQ(readBytes(h, 5), "");
    EXPECT_EQ(fake::now(), 140);
}

TEST_F(FakeLine, TimeoutsCostNoRealTime) {
    setReadConstant(h, 1000);
    const auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(readBytes(h, 1), "");
    }
    comm::Sleep(60000);
    EXPECT_EQ(fake::now(), 64000);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(500));
}

// ---- Failure injection ----------------------------------------------------

TEST_F(FakeLine, TheNthCallFailsCountingFailedCallsToo) {
    setReadConstant(h, 10);
    fake::failCall("ReadFile", 2);
    fake::failCall("ReadFile", 4);
    fake::deliver("abcd");
    char buf[1];
    std::uint32_t n = 0;
    EXPECT_FALSE(comm::ReadFile(comm::kInvalidHandle, buf, 1, &n)) << "call 1, a bad handle";
    n = 9;
    EXPECT_FALSE(comm::ReadFile(h, buf, 1, &n)) << "call 2, injected";
    EXPECT_EQ(n, 0u);
    EXPECT_EQ(fake::pendingInput(), 4u) << "an injected read takes nothing";
    EXPECT_EQ(fake::now(), 0) << "nor waits";
    EXPECT_EQ(readBytes(h, 1), "a");
    EXPECT_FALSE(comm::ReadFile(h, buf, 1, &n)) << "call 4";
    EXPECT_EQ(readBytes(h, 1), "b");
    EXPECT_EQ(fake::count("ReadFile"), 5);
}

TEST_F(FakeLine, EveryFunctionButSleepCanBeMadeToFail) {
    fake::addPort("COM2");
    fake::failCall("CreateFileA", 2); // the fixture's open was the first
    EXPECT_EQ(openPort("COM2"), comm::kInvalidHandle);
    EXPECT_FALSE(fake::port("COM2")->open);
    EXPECT_NE(openPort("COM2"), comm::kInvalidHandle);

    fake::failCall("SetCommState", 1);
    comm::Dcb dcb{};
    ASSERT_TRUE(comm::GetCommState(h, &dcb));
    dcb.BaudRate = 1200;
    dcb.fRtsControl = comm::kRtsControlEnable;
    EXPECT_FALSE(comm::SetCommState(h, &dcb));
    EXPECT_EQ(fake::port("COM1")->dcb.BaudRate, 9600u) << "a refused state is not stored";
    EXPECT_FALSE(fake::port("COM1")->rts);

    fake::failCall("CloseHandle", 1);
    EXPECT_FALSE(comm::CloseHandle(h));
    EXPECT_TRUE(fake::port("COM1")->open) << "a failed close keeps the port held";

    EXPECT_THROW(fake::failCall("Sleep", 1), std::invalid_argument);
    EXPECT_THROW(fake::failCall("Readfile", 1), std::invalid_argument) << "a misspelt name";
    EXPECT_THROW(fake::failCall("ReadFile", 0), std::invalid_argument);
}

TEST_F(FakeLine, AFailedWriteWritesNothingAndWakesNoResponder) {
    int answered = 0;
    fake::onWrite([&](std::string_view) { ++answered; });
    fake::failCall("WriteFile", 1);
    std::uint32_t n = 77;
    EXPECT_FALSE(comm::WriteFile(h, "abc", 3, &n));
    EXPECT_EQ(n, 77u);
    EXPECT_EQ(fake::written(), "");
    EXPECT_TRUE(fake::writes().empty());
    EXPECT_EQ(answered, 0);
    EXPECT_FALSE(fake::calls().back().ok);
    EXPECT_TRUE(write("de"));
    EXPECT_EQ(answered, 1);
}

TEST_F(FakeLine, ShortReadsAndWritesCutTheNthCall) {
    setReadConstant(h, 1000);
    fake::deliver(std::string(600, 'z'));
    fake::shortRead(1, 100);
    EXPECT_EQ(readBytes(h, 512).size(), 100u);
    EXPECT_EQ(fake::now(), 0) << "a short read does not wait";
    EXPECT_EQ(readBytes(h, 512).size(), 500u);

    fake::shortWrite(2, 1);
    std::vector<std::string> seen;
    fake::onWrite([&](std::string_view w) { seen.emplace_back(w); });
    std::uint32_t n = 0;
    ASSERT_TRUE(comm::WriteFile(h, "abc", 3, &n));
    EXPECT_EQ(n, 3u);
    ASSERT_TRUE(comm::WriteFile(h, "def", 3, &n));
    EXPECT_EQ(n, 1u);
    EXPECT_EQ(fake::written(), "abcd");
    EXPECT_EQ(fake::writes(), (std::vector<std::string>{"abc", "d"}));
    EXPECT_EQ(seen, (std::vector<std::string>{"abc", "d"}));
}

// ---- Responder and output drain -------------------------------------------

TEST_F(FakeLine, TheResponderAnswersRelativeToTheWrite) {
    setReadConstant(h, 1000);
    fake::onWrite([](std::string_view w) {
        if (w == "\x04"
                 "01M1\x05") {
            fake::deliver("\x06", 20);
        }
    });
    comm::Sleep(100);
    EXPECT_TRUE(write("\x04"
                      "01M1\x05"));
    EXPECT_EQ(fake::pendingInput(), 0u);
    EXPECT_EQ(readBytes(h, 1), "\x06");
    EXPECT_EQ(fake::now(), 120);

    fake::onWrite([](std::string_view) {
        fake::onWrite(nullptr);
        fake::deliver("once");
    });
    EXPECT_TRUE(write("x"));
    EXPECT_TRUE(write("y"));
    EXPECT_EQ(readBytes(h, 10), "once") << "a responder may remove itself";
}

TEST_F(FakeLine, TheOutputQueueDrainsAtItsRateBehindEarlierBytes) {
    EXPECT_TRUE(write("abc"));
    EXPECT_EQ(outQueue(h), 0u) << "by default the queue empties at once";

    fake::setOutputDrain(1.0);
    EXPECT_TRUE(write("abc"));
    EXPECT_TRUE(write("de")); // queued behind "abc": leaves at 4 and 5
    std::vector<std::uint32_t> queued;
    for (int t = 0; t <= 6; ++t) {
        queued.push_back(outQueue(h));
        comm::Sleep(1);
    }
    EXPECT_EQ(queued, (std::vector<std::uint32_t>{5, 4, 3, 2, 1, 0, 0}));

    fake::setOutputDrain(0.1);
    EXPECT_TRUE(write(std::string(25, 'x'))); // 2.5 ms
    comm::Sleep(2);
    EXPECT_EQ(outQueue(h), 5u);
    comm::Sleep(1);
    EXPECT_EQ(outQueue(h), 0u);
    EXPECT_THROW(fake::setOutputDrain(-1.0), std::invalid_argument);
}

TEST_F(FakeLine, ClearCommErrorCountsOnlyInputThatHasArrived) {
    fake::deliver("ab");
    fake::deliverAt(10, "cde");
    comm::ComStat stat{};
    ASSERT_TRUE(comm::ClearCommError(h, nullptr, &stat));
    EXPECT_EQ(stat.cbInQue, 2u);
    comm::Sleep(10);
    ASSERT_TRUE(comm::ClearCommError(h, nullptr, &stat));
    EXPECT_EQ(stat.cbInQue, 5u);
    EXPECT_EQ(fake::pendingInput(), 5u);
}

// A transmission the way the driver makes it: raise RTS, write, poll the
// output queue with 1 ms sleeps until it is empty, drop RTS.
TEST_F(FakeLine, RtsDropsOnlyAfterTheQueueDrained) {
    fake::setOutputDrain(1.0);
    ASSERT_TRUE(comm::EscapeCommFunction(h, comm::kSetRts));
    EXPECT_TRUE(write("\x04"
                      "01M1\x05")); // 6 bytes, 6 ms
    std::uint32_t queued = 0;
    do {
        queued = outQueue(h);
        comm::Sleep(1);
    } while (queued != 0);
    ASSERT_TRUE(comm::EscapeCommFunction(h, comm::kClrRts));

    const auto edges = fake::rtsEdges();
    ASSERT_EQ(edges.size(), 2u);
    EXPECT_EQ(edges[0].at, 0);
    EXPECT_EQ(edges[1].at, 7);
    EXPECT_FALSE(edges[1].raised);
    EXPECT_EQ(fake::count("Sleep"), 7);
}

TEST_F(FakeLine, ResetGivesAFreshLine) {
    setReadConstant(h, 10);
    fake::deliverAt(500, "late");
    fake::failCall("WriteFile", 1);
    fake::onWrite([](std::string_view) { fake::deliver("echo"); });
    fake::setOutputDrain(5.0);
    comm::Sleep(3);

    fake::reset();
    EXPECT_EQ(fake::now(), 0);
    EXPECT_TRUE(fake::calls().empty());
    EXPECT_EQ(fake::count("Sleep"), 0);
    EXPECT_EQ(fake::port("COM1"), nullptr);
    fake::addPort("COM1");
    h = openPort("COM1");
    ASSERT_NE(h, comm::kInvalidHandle);
    EXPECT_EQ(h, 0x100u);
    EXPECT_TRUE(write("abc")) << "the injected failure is gone";
    EXPECT_EQ(outQueue(h), 0u);
    comm::Sleep(1000);
    EXPECT_EQ(fake::pendingInput(), 0u) << "neither the script nor the responder survive";
}

} // namespace
