// Port access and link framing against the fake line.
#include <cstring>
#include <string>
#include <vector>

#include "driver_fixture.h"
#include "serial/link.h"
#include "serial/port.h"

namespace draxo::test {
namespace {

using fake::Call;

const LineParams k9600{9600, 8, 0, 0};

class SerialTest : public DriverTest {
  protected:
    comm::Handle open(const char* name = "COM1", std::uint16_t flags = kDefaultLineFlags) {
        fake::addPort(name);
        comm::Handle h = 0;
        EXPECT_EQ(ConfigurePort(name, k9600, flags, &h), 0);
        return h;
    }
    std::uint32_t readConstant(comm::Handle h) const {
        return fake::portByHandle(h)->timeouts.ReadTotalTimeoutConstant;
    }
};

TEST_F(SerialTest, ConfigurePortAppliesTheLineAndTheTimeouts) {
    fake::addPort("COM2");
    comm::Dcb initial{};
    initial.DCBlength = 28;
    initial.BaudRate = 1200;
    initial.XonChar = 0x21;
    initial.XoffChar = 0x23;
    initial.XonLim = 100;
    initial.XoffLim = 50;
    initial.EofChar = 0x1A;
    initial.EvtChar = 0x0D;
    initial.fTXContinueOnXoff = 1;
    initial.fOutxCtsFlow = 1;
    initial.fOutX = 1;
    fake::setInitialDcb("COM2", initial);
    comm::Handle h = 0;
    ASSERT_EQ(ConfigurePort("COM2", LineParams{19200, 0x0107, 0x0102, 0x0204}, 0x0303, &h), 0);

    const fake::PortState* p = fake::portByHandle(h);
    ASSERT_NE(p, nullptr);
    const comm::Dcb& d = p->dcb;
    EXPECT_EQ(d.BaudRate, 19200u);
    EXPECT_EQ(d.ByteSize, 7); // low bytes only
    EXPECT_EQ(d.StopBits, 2);
    EXPECT_EQ(d.Parity, 4);
    EXPECT_EQ(d.fBinary, 1);
    EXPECT_EQ(d.fParity, 1);
    EXPECT_EQ(d.fOutxCtsFlow, 0);
    EXPECT_EQ(d.fOutX, 0);
    EXPECT_EQ(d.fDtrControl, comm::kDtrControlEnable);
    EXPECT_EQ(d.fRtsControl, comm::kRtsControlEnable);
    EXPECT_EQ(static_cast<unsigned char>(d.ErrorChar), 0xFC);
    // What the device had and the driver does not set stays.
    EXPECT_EQ(d.XonChar, 0x21);
    EXPECT_EQ(d.XoffChar, 0x23);
    EXPECT_EQ(d.XonLim, 100);
    EXPECT_EQ(d.XoffLim, 50);
    EXPECT_EQ(d.EofChar, 0x1A);
    EXPECT_EQ(d.EvtChar, 0x0D);
    EXPECT_EQ(d.fTXContinueOnXoff, 1);
    EXPECT_EQ(p->timeouts.ReadIntervalTimeout, 0u);
    EXPECT_EQ(p->timeouts.ReadTotalTimeoutMultiplier, 0u);
    EXPECT_EQ(p->timeouts.ReadTotalTimeoutConstant, 1000u);
    EXPECT_EQ(p->timeouts.WriteTotalTimeoutConstant, 0u);
    EXPECT_TRUE(p->dtr);
    EXPECT_TRUE(p->rts);

    EXPECT_EQ(fake::callNames(),
              (std::vector<std::string>{"CreateFileA", "GetCommState", "SetCommTimeouts",
                                        "SetCommState", "SetupComm"}));
    const Call& create = fake::calls()[0];
    EXPECT_EQ(create.text, "COM2");
    EXPECT_EQ(create.args, (std::vector<std::int64_t>{0xC0000000, 0, 3, 0x80}));
    EXPECT_EQ(fake::calls()[4].args, (std::vector<std::int64_t>{h, 1200, 1200}));
}

TEST_F(SerialTest, ConfigurePortFailuresCloseTheHandle) {
    struct Case {
        const char* failing;
        std::int32_t result;
        std::vector<std::string> calls;
    };
    const Case cases[] = {
        {"CreateFileA", 1, {"CreateFileA"}},
        {"GetCommState", 4, {"CreateFileA", "GetCommState", "CloseHandle"}},
        {"SetCommTimeouts", 1, {"CreateFileA", "GetCommState", "SetCommTimeouts", "CloseHandle"}},
        {"SetCommState",
         5,
         {"CreateFileA", "GetCommState", "SetCommTimeouts", "SetCommState", "CloseHandle"}},
        {"SetupComm",
         0,
         {"CreateFileA", "GetCommState", "SetCommTimeouts", "SetCommState", "SetupComm"}},
    };
    for (const Case& c : cases) {
        fake::reset();
        fake::addPort("COM1");
        fake::failCall(c.failing, 1);
        comm::Handle h = 0;
        EXPECT_EQ(ConfigurePort("COM1", k9600, kDefaultLineFlags, &h), c.result) << c.failing;
        EXPECT_EQ(fake::callNames(), c.calls) << c.failing;
        EXPECT_EQ(fake::port("COM1")->open, c.result == 0) << c.failing;
    }
}

TEST_F(SerialTest, ConfigurePortOnHeldAndNullDevices) {
    const comm::Handle first = open("COM1");
    comm::Handle h = 0;
    EXPECT_EQ(ConfigurePort("COM1", k9600, kDefaultLineFlags, &h), 1); // held exclusively
    EXPECT_EQ(h, comm::kInvalidHandle);
    EXPECT_TRUE(fake::portByHandle(first)->open);

    fake::reset();
    EXPECT_EQ(ConfigurePort("NUL", k9600, kDefaultLineFlags, &h), 0);
    EXPECT_EQ(fake::callNames(), (std::vector<std::string>{"CreateFileA"}));
}

TEST(LineFlags, FirstMatchingRowWins) {
    struct Case {
        std::uint16_t flags;
        std::uint8_t dtr;
        std::uint8_t rts;
    };
    const Case cases[] = {
        {0x0303, comm::kDtrControlEnable, comm::kRtsControlEnable},
        {0x0101, comm::kDtrControlEnable, comm::kRtsControlDisable},
        {0x0100, comm::kDtrControlEnable, comm::kRtsControlDisable},
        {0x8001, comm::kDtrControlEnable, comm::kRtsControlDisable},
        {0x8000, comm::kDtrControlHandshake, comm::kRtsControlDisable},
        {0xA000, comm::kDtrControlHandshake, comm::kRtsControlToggle},
        {0x3000, comm::kDtrControlDisable, comm::kRtsControlHandshake},
        {0x2000, comm::kDtrControlDisable, comm::kRtsControlToggle},
        {0x3200, comm::kDtrControlDisable, comm::kRtsControlEnable},
        {0x0002, comm::kDtrControlDisable, comm::kRtsControlEnable},
        {0x0000, comm::kDtrControlDisable, comm::kRtsControlDisable},
        {0x4C7C, comm::kDtrControlDisable, comm::kRtsControlDisable},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(DtrControlFor(c.flags), c.dtr) << std::hex << c.flags;
        EXPECT_EQ(RtsControlFor(c.flags), c.rts) << std::hex << c.flags;
    }
}

TEST_F(SerialTest, SetReadTimeoutAnswersThePreviousValueAndWritesOnlyChanges) {
    struct Step {
        std::int32_t t;
        std::int32_t answer;
        std::uint32_t constantAfter;
        bool writes;
    };
    // From the 1000 ms that an open sets.
    const Step steps[] = {
        {100, 100, 1000, false},   {30, 100, 300, true},
        {5, 30, 50, true},         {0, 0, 50, false},
        {-1, 0, 50, false},        {-100, 0, 50, false},
        {429496730, 0, 50, false}, {429496729, 5, 4294967290u, true},
    };
    const comm::Handle h = open();
    for (const Step& s : steps) {
        const int before = fake::count("SetCommTimeouts");
        EXPECT_EQ(SetReadTimeout(h, s.t), s.answer) << s.t;
        EXPECT_EQ(readConstant(h), s.constantAfter) << s.t;
        EXPECT_EQ(fake::count("SetCommTimeouts") - before, s.writes ? 1 : 0) << s.t;
    }
}

TEST_F(SerialTest, SetReadTimeoutRoundsDownAndFailsAsZero) {
    const comm::Handle h = open();
    comm::CommTimeouts t{0, 0, 995, 0, 0};
    comm::SetCommTimeouts(h, &t);
    EXPECT_EQ(SetReadTimeout(h, 20), 99);

    fake::failCall("GetCommTimeouts", fake::count("GetCommTimeouts") + 1);
    EXPECT_EQ(SetReadTimeout(h, 30), 0);
    EXPECT_EQ(readConstant(h), 200u);
    fake::failCall("SetCommTimeouts", fake::count("SetCommTimeouts") + 1);
    EXPECT_EQ(SetReadTimeout(h, 30), 0);
    EXPECT_EQ(readConstant(h), 200u);
}

TEST_F(SerialTest, FlushInputOnAnIdleLineCostsOneStatusCall) {
    const comm::Handle h = open();
    const std::size_t before = fake::calls().size();
    EXPECT_EQ(FlushInput(h), 0);
    ASSERT_EQ(fake::calls().size(), before + 1);
    EXPECT_EQ(fake::calls().back().name, "ClearCommError");
    EXPECT_EQ(fake::now(), 0);
}

TEST_F(SerialTest, FlushInputDrainsInFullReadsAndGivesTheTimeoutBack) {
    const comm::Handle h = open();
    SetReadTimeout(h, 30);
    fake::deliver(std::string(600, 'x'));
    const std::size_t before = fake::calls().size();
    EXPECT_EQ(FlushInput(h), 0);
    std::vector<std::int64_t> reads;
    for (std::size_t i = before; i < fake::calls().size(); ++i) {
        const Call& c = fake::calls()[i];
        if (c.name == "ReadFile") {
            EXPECT_EQ(c.args[1], 512);
            reads.push_back(c.args[2]);
        }
    }
    EXPECT_EQ(reads, (std::vector<std::int64_t>{512, 88}));
    EXPECT_EQ(readConstant(h), 300u);
    EXPECT_EQ(fake::pendingInput(), 0u);
    EXPECT_EQ(fake::now(), 50); // the last, short read waited out its 50 ms
}

TEST_F(SerialTest, FlushInputBelowTenMillisecondsKeepsFifty) {
    const comm::Handle h = open();
    comm::CommTimeouts t{0, 0, 8, 0, 0};
    comm::SetCommTimeouts(h, &t);
    fake::deliver("abc");
    EXPECT_EQ(FlushInput(h), 0);
    EXPECT_EQ(readConstant(h), 50u);
}

TEST_F(SerialTest, FlushInputDrainsAlsoAfterAFailedStatusCallAndReportsIt) {
    const comm::Handle h = open();
    fake::deliver("abc");
    fake::failCall("ClearCommError", fake::count("ClearCommError") + 1);
    EXPECT_EQ(FlushInput(h), 0); // the drain's own read succeeded last
    EXPECT_EQ(fake::pendingInput(), 0u);

    fake::failCall("ClearCommError", fake::count("ClearCommError") + 1);
    fake::failCall("ReadFile", fake::count("ReadFile") + 1);
    EXPECT_EQ(FlushInput(h), 1);
}

TEST_F(SerialTest, FlushInputGivesUpOnALineThatNeverStopsTalking) {
    const comm::Handle h = open();
    fake::deliver(std::string(512 * 200, 'x'));
    EXPECT_EQ(FlushInput(h), 0);
    EXPECT_EQ(fake::count("ReadFile"), kFlushReadLimit);
    EXPECT_EQ(readConstant(h), 1000u);
}

TEST_F(SerialTest, WriteBytesReportsShortAndFailedWrites) {
    const comm::Handle h = open();
    std::uint32_t written = 99;
    EXPECT_EQ(WriteBytes(h, "abcdef", 6, &written), 0);
    EXPECT_EQ(written, 6u);
    fake::shortWrite(fake::count("WriteFile") + 1, 4);
    EXPECT_EQ(WriteBytes(h, "abcdef", 6, &written), 2);
    EXPECT_EQ(written, 4u);
    written = 99;
    fake::failCall("WriteFile", fake::count("WriteFile") + 1);
    EXPECT_EQ(WriteBytes(h, "abcdef", 6, &written), 7);
    EXPECT_EQ(written, 99u);
    EXPECT_EQ(WriteBytes(h, "ab", 2, nullptr), 0);
}

TEST_F(SerialTest, ReadBytesCollectsSplitArrivalsAndTimesOut) {
    const comm::Handle h = open();
    char buf[4] = {};
    std::uint32_t got = 99;
    EXPECT_EQ(ReadBytes(h, buf, 1, &got), 7);
    EXPECT_EQ(got, 0u);
    EXPECT_EQ(fake::now(), 1000);

    fake::deliver("ab", 10);
    fake::deliver("c", 1500);
    EXPECT_EQ(ReadBytes(h, buf, 3, &got), 0);
    EXPECT_EQ(got, 3u);
    EXPECT_EQ(std::string(buf, 3), "abc");
    std::vector<std::int64_t> asked;
    for (const Call& c : fake::calls()) {
        if (c.name == "ReadFile") {
            asked.push_back(c.args[1]);
        }
    }
    EXPECT_EQ(asked, (std::vector<std::int64_t>{1, 3, 1}));

    fake::deliver("x");
    fake::failCall("ReadFile", fake::count("ReadFile") + 2);
    EXPECT_EQ(ReadBytes(h, buf, 2, &got), 7);
    EXPECT_EQ(got, 1u); // what had arrived before the failure
}

TEST_F(SerialTest, SendRaisesRtsWritesWaitsForTheQueueAndDropsRts) {
    const comm::Handle h = open();
    fake::setOutputDrain(1.0);
    const std::int64_t start = fake::now();
    EXPECT_EQ(Send("\x04"
                   "01M1\x05",
                   6, h),
              0);
    EXPECT_EQ(fake::written(), "\x04"
                               "01M1\x05");
    const std::vector<fake::RtsEdge> edges = fake::rtsEdges();
    ASSERT_FALSE(edges.empty());
    EXPECT_FALSE(edges.back().raised);
    EXPECT_GE(edges.back().at, start + 6); // after the six bytes left
    EXPECT_TRUE(log_.messages().empty());
}

TEST_F(SerialTest, SendSleepsAtLeastOnceEvenWhenTheQueueIsEmpty) {
    const comm::Handle h = open();
    const std::size_t before = fake::calls().size();
    EXPECT_EQ(PutChar(h, kEot), 0);
    std::vector<std::string> names;
    for (std::size_t i = before; i < fake::calls().size(); ++i) {
        names.push_back(fake::calls()[i].name);
    }
    EXPECT_EQ(names, (std::vector<std::string>{"EscapeCommFunction", "WriteFile", "ClearCommError",
                                               "Sleep", "EscapeCommFunction"}));
    EXPECT_EQ(fake::calls().back().args[1], comm::kClrRts);
}

TEST_F(SerialTest, SendFailuresAreLoggedAndRtsStillDrops) {
    struct Case {
        const char* failing;
        int nth; // relative to the calls of that function so far
        std::int32_t result;
        std::vector<std::string> messages;
    };
    const Case cases[] = {
        {"WriteFile", 1, 2, {}},
        {"EscapeCommFunction", 1, 0, {"DRAXO> Send() EscapeCommFunction() failed"}},
        {"EscapeCommFunction", 2, 0, {"DRAXO> Send() EscapeCommFunction() failed"}},
        {"ClearCommError", 1, 0, {"DRAXO> Send() ClearCommError() failed"}},
    };
    for (const Case& c : cases) {
        fake::reset();
        log_.clear();
        const comm::Handle h = open();
        fake::failCall(c.failing, fake::count(c.failing) + c.nth);
        EXPECT_EQ(Send("abc", 3, h), c.result) << c.failing;
        EXPECT_EQ(log_.texts(), c.messages) << c.failing;
        EXPECT_EQ(fake::calls().back().name, "EscapeCommFunction") << c.failing;
        EXPECT_EQ(fake::calls().back().args[1], comm::kClrRts) << c.failing;
    }
    fake::reset();
    log_.clear();
    const comm::Handle h = open();
    EXPECT_EQ(PutChar(h, 'x'), 0);
    fake::shortWrite(fake::count("WriteFile") + 1, 2);
    EXPECT_EQ(Send("abc", 3, h), 2);
}

TEST_F(SerialTest, SendStopsWaitingForAQueueThatNeverDrains) {
    const comm::Handle h = open();
    fake::setOutputDrain(1e9);
    EXPECT_EQ(Send("abc", 3, h), 0);
    EXPECT_EQ(log_.texts(), (std::vector<std::string>{"DRAXO> Send() output queue did not drain"}));
    EXPECT_LE(fake::now(), kDrainWaitLimitMs + 2);
}

struct ReceiveCase {
    const char* name;
    std::string bytes;
    std::int32_t result;
    std::int32_t length; // -1: not written
    std::string buffer;  // the buffer's start afterwards
    std::vector<std::string> messages;
    std::int64_t elapsed; // virtual ms
};

class ReceiveTest : public SerialTest, public ::testing::WithParamInterface<bool> {};

TEST_P(ReceiveTest, ReplyShapes) {
    const bool oneByteAtATime = GetParam();
    const std::string illegal = "DRAXO> Receive() Error, illegal 1st character of reply";
    const std::string m125 = Frame("M125.0");
    ASSERT_EQ(static_cast<unsigned char>(m125.back()), 0x66);
    const ReceiveCase cases[] = {
        {"ack", "\x06", 0, 1, std::string("\x06\0", 2), {}, 0},
        {"nak", "\x15", 0, 1, std::string("\x15\0", 2), {}, 0},
        {"frame", m125, 0, 9, std::string("\x02M125.0\x03\0", 9), {}, 0},
        {"empty frame", "\x02\x03\x03", 0, 3, std::string("\x02\x03\0", 3), {}, 0},
        {"silence", "", 2, -1, "", {}, 100},
        {"eot then silence", "\x04", 1, -1, "", {illegal}, 200},
        {"eot ack frame",
         std::string("\x04\x06\x02"
                     "12\x03\x00",
                     7),
         0,
         5,
         std::string("\x02"
                     "12\x03\0",
                     5),
         {},
         0},
        {"junk before stx",
         std::string("\x31\x02"
                     "12\x03\x00",
                     6),
         0,
         5,
         std::string("\x02"
                     "12\x03\0",
                     5),
         {},
         0},
        {"bcc error",
         Frame("M125.0", 0x67),
         1,
         -1,
         "\x02M125.0\x03\x67",
         {"DRAXO> Receive() BCC error"},
         0},
        {"broken off", "\x02M12", 1, -1, "\x02M12", {}, 100},
        {"no bcc", "\x02M1\x03", 1, -1, "\x02M1\x03", {}, 100},
    };
    for (const ReceiveCase& c : cases) {
        fake::reset();
        log_.clear();
        const comm::Handle h = open();
        SetReadTimeout(h, 10);
        if (oneByteAtATime) {
            fake::dribble(c.bytes, 0, 0);
        } else {
            fake::deliver(c.bytes);
        }
        char buffer[kRxBufferSize];
        std::memset(buffer, kGarbage, sizeof buffer);
        std::int32_t length = -1;
        const std::int64_t start = fake::now();
        EXPECT_EQ(Receive(buffer, &length, h), c.result) << c.name;
        EXPECT_EQ(length, c.length) << c.name;
        EXPECT_EQ(std::string(buffer, c.buffer.size()), c.buffer) << c.name;
        EXPECT_EQ(log_.texts(), c.messages) << c.name;
        EXPECT_EQ(fake::now() - start, c.elapsed) << c.name;
    }
}

INSTANTIATE_TEST_SUITE_P(AllAtOnceAndDribbled, ReceiveTest, ::testing::Bool());

TEST_F(SerialTest, ReceiveNeverWritesPastItsBuffer) {
    struct Case {
        std::size_t textLength;
        std::int32_t result;
    };
    // STX + text + ETX + BCC: 130 bytes fit, 131 do not.
    const Case cases[] = {{127, 0}, {128, 1}, {1000, 1}};
    for (const Case& c : cases) {
        fake::reset();
        log_.clear();
        const comm::Handle h = open();
        fake::deliver(Frame(std::string(c.textLength, '1')));
        char buffer[kRxBufferSize + 16];
        std::memset(buffer, kGarbage, sizeof buffer);
        std::int32_t length = -1;
        EXPECT_EQ(Receive(buffer, &length, h), c.result) << c.textLength;
        for (std::size_t i = kRxBufferSize; i < sizeof buffer; ++i) {
            EXPECT_EQ(static_cast<unsigned char>(buffer[i]), kGarbage) << c.textLength;
        }
        if (c.result == 0) {
            EXPECT_EQ(length, 130);
            EXPECT_TRUE(log_.messages().empty());
        } else {
            EXPECT_EQ(log_.texts(),
                      (std::vector<std::string>{"DRAXO> Receive() reply longer than 130 bytes"}));
        }
    }
}

TEST_F(SerialTest, ReceiveGivesUpOnABabblingLine) {
    const comm::Handle h = open();
    fake::deliver(std::string(100000, 'A') + Frame("M125.0"));
    char buffer[kRxBufferSize];
    std::int32_t length = -1;
    EXPECT_EQ(Receive(buffer, &length, h), 1);
    EXPECT_EQ(log_.texts(),
              (std::vector<std::string>{"DRAXO> Receive() Error, illegal 1st character of reply"}));
    EXPECT_EQ(fake::count("ReadFile"), kReceiveSkipLimit + 1);

    // An endless run of EOTs is no different.
    fake::reset();
    log_.clear();
    const comm::Handle h2 = open();
    fake::deliver(std::string(100000, kEot));
    EXPECT_EQ(Receive(buffer, &length, h2), 1);
    EXPECT_EQ(fake::count("ReadFile"), kReceiveSkipLimit + 1);
}

TEST(Bcc, WorkedExamples) {
    const struct {
        std::string text;
        std::uint8_t bcc;
    } cases[] = {{"M125.0\x03", 0x66},
                 {"\x03", 0x03},
                 {"M10100.0\x03", 0x60},
                 {"M1023.000\x03", 0x50},
                 {"M101  150.0\x03", 0x54}};
    for (const auto& c : cases) {
        EXPECT_EQ(Bcc(c.text.data(), c.text.size()), c.bcc) << c.text;
    }
}

} // namespace
} // namespace draxo::test
