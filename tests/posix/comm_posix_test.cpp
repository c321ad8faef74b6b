// The termios comm layer on real pseudo-terminals: the test holds the
// master side and talks to the layer's port on the slave side.
#include <atomic>
#include <chrono>
#include <climits>
#include <cstdint>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <pty.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "comm/comm.h"
#include "comm_posix_internal.h"
#include "kernel_speed.h"

namespace {

using namespace draxo::comm;
using Clock = std::chrono::steady_clock;

constexpr std::uint32_t kMaxDword = 0xFFFFFFFFu;

Handle openPort(const std::string& name) {
    return CreateFileA(name.c_str(), kGenericRead | kGenericWrite, 0, kOpenExisting,
                       kFileAttributeNormal);
}

long msSince(Clock::time_point start) {
    return static_cast<long>(
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count());
}

// The settings the driver applies: 9600 baud, 8N1, DTR and RTS raised.
Dcb lineDcb(std::uint32_t baud = 9600, std::uint8_t stopBits = kOneStopBit) {
    Dcb d{};
    d.DCBlength = 28;
    d.BaudRate = baud;
    d.fBinary = 1;
    d.fParity = 1;
    d.fDtrControl = kDtrControlEnable;
    d.fRtsControl = kRtsControlEnable;
    d.XonLim = 2048;
    d.XoffLim = 512;
    d.ByteSize = 8;
    d.Parity = kNoParity;
    d.StopBits = stopBits;
    d.XonChar = 0x11;
    d.XoffChar = 0x13;
    d.ErrorChar = static_cast<char>(0xFC);
    return d;
}

// A pty pair; the slave's path is the port the layer opens.
class Pty : public ::testing::Test {
  protected:
    void SetUp() override {
        char name[128] = {};
        ASSERT_EQ(openpty(&master_, &slave_, name, nullptr, nullptr), 0) << std::strerror(errno);
        path_ = name;
    }

    void TearDown() override {
        if (handle_ != kInvalidHandle) {
            CloseHandle(handle_);
        }
        if (master_ >= 0) {
            ::close(master_);
        }
        ::close(slave_);
    }

    // Opens the slave through the layer, in raw mode with the given read
    // time-outs.
    void openConfigured(CommTimeouts to = {0, 0, 1000, 0, 0}) {
        handle_ = openPort(path_);
        ASSERT_NE(handle_, kInvalidHandle);
        const Dcb d = lineDcb();
        ASSERT_TRUE(SetCommState(handle_, &d));
        ASSERT_TRUE(SetCommTimeouts(handle_, &to));
    }

    void sendFromMaster(const std::string& bytes) {
        ASSERT_EQ(::write(master_, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    }

    // Waits until the port has input (bytes written on the master reach
    // the slave a moment later).
    void awaitInput() {
        pollfd pfd{static_cast<int>(handle_), POLLIN, 0};
        ASSERT_EQ(::poll(&pfd, 1, 1000), 1);
    }

    // Up to `count` bytes that reach the master within `ms`.
    std::string receiveOnMaster(std::size_t count, int ms = 1000) {
        std::string got;
        const auto start = Clock::now();
        while (got.size() < count && msSince(start) < ms) {
            pollfd pfd{master_, POLLIN, 0};
            if (::poll(&pfd, 1, 50) == 1) {
                char buf[4096];
                const ssize_t n = ::read(master_, buf, std::min(sizeof buf, count - got.size()));
                if (n <= 0) {
                    break;
                }
                got.append(buf, static_cast<std::size_t>(n));
            }
        }
        return got;
    }

    int master_ = -1;
    int slave_ = -1;
    std::string path_;
    Handle handle_ = kInvalidHandle;
};

// --- Port names ---------------------------------------------------------

TEST(PortName, MapsWindowsNamesToDevicePaths) {
    struct Case {
        const char* name;
        const char* path;
    };
    const Case cases[] = {
        {"COM1", "/dev/ttyS0"},
        {"COM2", "/dev/ttyS1"},
        {"COM10", "/dev/ttyS9"},
        {"com3", "/dev/ttyS2"},
        {"\\\\.\\COM12", "/dev/ttyS11"},
        {"NUL", "/dev/null"},
        {"ttyUSB0", "/dev/ttyUSB0"},
        {"pts/3", "/dev/pts/3"},
        {"/dev/ttyAMA0", "/dev/ttyAMA0"},
        {"./ttyFAKE", "./ttyFAKE"},
        {"COM0", "/dev/COM0"}, // no such Windows port: looked for as a name
        {"COM", "/dev/COM"},
        {"COM1X", "/dev/COM1X"},
        {"", ""},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(posix::devicePath(c.name), c.path) << "name '" << c.name << "'";
    }
}

TEST(PortName, OpenOfMissingDeviceFails) {
    EXPECT_EQ(openPort("ttyDRAXO-none"), kInvalidHandle);
    EXPECT_EQ(openPort(""), kInvalidHandle);
    EXPECT_EQ(
        CreateFileA(nullptr, kGenericRead | kGenericWrite, 0, kOpenExisting, kFileAttributeNormal),
        kInvalidHandle);
}

// --- Opening and closing ------------------------------------------------

TEST_F(Pty, PortIsHeldExclusivelyUntilClosed) {
    const Handle first = openPort(path_);
    ASSERT_NE(first, kInvalidHandle);
    EXPECT_NE(first, 0u);
    // The test runs as root as often as not, where TIOCEXCL stops nobody;
    // the second open must fail all the same.
    EXPECT_EQ(openPort(path_), kInvalidHandle);

    int exclusive = 0;
    ASSERT_EQ(ioctl(slave_, TIOCGEXCL, &exclusive), 0);
    EXPECT_EQ(exclusive, 1);

    EXPECT_TRUE(CloseHandle(first));
    // Other holders of the tty (here the test's own slave descriptor) keep
    // it alive; it must not stay exclusive after the close.
    ASSERT_EQ(ioctl(slave_, TIOCGEXCL, &exclusive), 0);
    EXPECT_EQ(exclusive, 0);
    EXPECT_FALSE(CloseHandle(first));

    handle_ = openPort(path_);
    EXPECT_NE(handle_, kInvalidHandle);
}

TEST_F(Pty, HandleIsNeverZero) {
    // With standard input closed, open() hands out descriptor 0, which the
    // driver takes for "no port".
    const int savedStdin = ::dup(0);
    ASSERT_GE(savedStdin, 0);
    ::close(0);
    const Handle h = openPort(path_);
    const bool zeroFree = fcntl(0, F_GETFD) == -1;
    ::dup2(savedStdin, 0);
    ::close(savedStdin);
    ASSERT_NE(h, kInvalidHandle);
    handle_ = h;
    EXPECT_GE(h, 3u);
    EXPECT_TRUE(zeroFree) << "descriptor 0 was left open";
}

TEST_F(Pty, ReopenedPortStartsWithDefaultTimeouts) {
    openConfigured({kMaxDword, 0, 500, 1, 2});
    ASSERT_TRUE(CloseHandle(handle_));
    handle_ = openPort(path_);
    ASSERT_NE(handle_, kInvalidHandle);

    CommTimeouts to{1, 1, 1, 1, 1};
    ASSERT_TRUE(GetCommTimeouts(handle_, &to));
    EXPECT_EQ(to.ReadIntervalTimeout, 0u);
    EXPECT_EQ(to.ReadTotalTimeoutMultiplier, 0u);
    EXPECT_EQ(to.ReadTotalTimeoutConstant, 0u);
    EXPECT_EQ(to.WriteTotalTimeoutMultiplier, 0u);
    EXPECT_EQ(to.WriteTotalTimeoutConstant, 0u);

    const CommTimeouts set{0, 0, 1000, 0, 0};
    ASSERT_TRUE(SetCommTimeouts(handle_, &set));
    ASSERT_TRUE(GetCommTimeouts(handle_, &to));
    EXPECT_EQ(to.ReadTotalTimeoutConstant, 1000u);
}

// Every call refuses a handle the layer did not open, including real
// descriptors of the process.
TEST_F(Pty, CallsRefuseHandlesNotOpenedHere) {
    const Handle closed = openPort(path_);
    ASSERT_NE(closed, kInvalidHandle);
    ASSERT_TRUE(CloseHandle(closed));

    const Handle handles[] = {kInvalidHandle, 0, static_cast<Handle>(master_), closed, 5000};
    for (const Handle h : handles) {
        SCOPED_TRACE(testing::Message() << "handle " << h);
        Dcb d = lineDcb();
        CommTimeouts to{};
        std::uint32_t errors = 0;
        ComStat stat{};
        char buf[4] = "abc";
        std::uint32_t n = 99;
        EXPECT_FALSE(GetCommState(h, &d));
        EXPECT_FALSE(SetCommState(h, &d));
        EXPECT_FALSE(GetCommTimeouts(h, &to));
        EXPECT_FALSE(SetCommTimeouts(h, &to));
        EXPECT_FALSE(SetupComm(h, 1200, 1200));
        EXPECT_FALSE(ClearCommError(h, &errors, &stat));
        EXPECT_FALSE(EscapeCommFunction(h, kSetRts));
        EXPECT_FALSE(SetCommBreak(h));
        EXPECT_FALSE(ClearCommBreak(h));
        EXPECT_FALSE(ReadFile(h, buf, 1, &n));
        EXPECT_EQ(n, 0u);
        n = 99;
        EXPECT_FALSE(WriteFile(h, buf, 3, &n));
        EXPECT_EQ(n, 0u);
        EXPECT_FALSE(CloseHandle(h));
    }
    // The master descriptor is still the test's.
    EXPECT_NE(fcntl(master_, F_GETFD), -1);
}

// "NUL" opens (more than once: nothing holds the null device) but has no
// serial state; reads end at once even without any time-out.
TEST(NullDevice, OpensWithoutSerialState) {
    const Handle h = openPort("NUL");
    ASSERT_NE(h, kInvalidHandle);
    const Handle second = openPort("NUL");
    EXPECT_NE(second, kInvalidHandle);
    EXPECT_TRUE(CloseHandle(second));

    Dcb d = lineDcb();
    std::uint32_t errors = 0;
    ComStat stat{};
    EXPECT_FALSE(GetCommState(h, &d));
    EXPECT_FALSE(SetCommState(h, &d));
    EXPECT_FALSE(ClearCommError(h, &errors, &stat));
    EXPECT_FALSE(EscapeCommFunction(h, kSetRts));

    const CommTimeouts noTimeout{0, 0, 0, 0, 0};
    ASSERT_TRUE(SetCommTimeouts(h, &noTimeout));
    char buf[8];
    std::uint32_t n = 99;
    const auto start = Clock::now();
    EXPECT_TRUE(ReadFile(h, buf, sizeof buf, &n));
    EXPECT_EQ(n, 0u);
    EXPECT_LT(msSince(start), 500);
    EXPECT_TRUE(WriteFile(h, "abc", 3, &n));
    EXPECT_EQ(n, 3u);
    EXPECT_TRUE(CloseHandle(h));
}

// --- Line settings ------------------------------------------------------

// Applied settings as the kernel holds them. A Linux pty keeps the speed
// and the stop bits but always reports CS8 without parity, so character
// size and parity are checked on the termios built for the device (see
// EncodesLineSettings) and only 8N here.
TEST_F(Pty, AppliesSpeedAndStopBits) {
    handle_ = openPort(path_);
    ASSERT_NE(handle_, kInvalidHandle);
    struct Case {
        std::uint32_t baud;
        std::uint8_t stopBits;
        speed_t code; // 0: a rate without a Bnnn code
    };
    // In this order on one port: a custom rate must not stick to the
    // standard rate applied after it.
    const Case cases[] = {
        {9600, kOneStopBit, B9600},
        {19200, kTwoStopBits, B19200},
        {12345, kOneStopBit, 0},
        {9600, kTwoStopBits, B9600},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.baud << " baud, stop bits code " << int(c.stopBits));
        const Dcb want = lineDcb(c.baud, c.stopBits);
        ASSERT_TRUE(SetCommState(handle_, &want));

        termios t{};
        ASSERT_EQ(tcgetattr(slave_, &t), 0);
        draxo::test::KernelSpeed k{};
        ASSERT_TRUE(draxo::test::kernelSpeed(slave_, k));
        EXPECT_EQ(k.output, c.baud);
        EXPECT_EQ(k.input, c.baud);
        if (c.code != 0) {
            EXPECT_EQ(cfgetospeed(&t), c.code);
            EXPECT_FALSE(k.customOutput);
        } else {
            EXPECT_TRUE(k.customOutput);
        }
        EXPECT_EQ((t.c_cflag & CSTOPB) != 0, c.stopBits == kTwoStopBits);
        EXPECT_EQ(t.c_lflag & (ICANON | ECHO | ISIG), 0u);
        EXPECT_EQ(t.c_oflag & OPOST, 0u);
        EXPECT_EQ(t.c_cc[VMIN], 0);
        EXPECT_EQ(t.c_cc[VTIME], 0);

        Dcb got{};
        ASSERT_TRUE(GetCommState(handle_, &got));
        EXPECT_EQ(got.BaudRate, c.baud);
        EXPECT_EQ(got.StopBits, c.stopBits);
        EXPECT_EQ(got.ByteSize, 8);
        EXPECT_EQ(got.Parity, kNoParity);
        EXPECT_EQ(got.fParity, 1);
        EXPECT_EQ(got.fBinary, 1);
    }
}

// The driver changes a DCB that GetCommState gave and hands it back: the
// fields termios has no place for come back as they were applied.
TEST_F(Pty, StateKeepsFieldsTermiosDoesNotHold) {
    handle_ = openPort(path_);
    ASSERT_NE(handle_, kInvalidHandle);
    Dcb initial{};
    ASSERT_TRUE(GetCommState(handle_, &initial));
    EXPECT_EQ(initial.DCBlength, 28u);
    EXPECT_EQ(initial.XonChar, 0x11);
    EXPECT_EQ(initial.XoffChar, 0x13);
    EXPECT_EQ(initial.XonLim, 2048);
    EXPECT_EQ(initial.XoffLim, 512);

    Dcb want = initial;
    want.BaudRate = 19200;
    want.fParity = 1;
    want.fDtrControl = kDtrControlEnable;
    want.fRtsControl = kRtsControlToggle; // no RS-485 mode on a pty: applied all the same
    want.ErrorChar = static_cast<char>(0xFC);
    want.EofChar = 0x1A;
    want.XonLim = 100;
    ASSERT_TRUE(SetCommState(handle_, &want));
    Dcb got{};
    ASSERT_TRUE(GetCommState(handle_, &got));
    EXPECT_EQ(got.BaudRate, 19200u);
    EXPECT_EQ(got.fDtrControl, kDtrControlEnable);
    EXPECT_EQ(got.fRtsControl, kRtsControlToggle);
    EXPECT_EQ(got.ErrorChar, static_cast<char>(0xFC));
    EXPECT_EQ(got.EofChar, 0x1A);
    EXPECT_EQ(got.XonLim, 100);
}

TEST(LineSettings, EncodesLineSettings) {
    struct Case {
        const char* what;
        std::uint8_t byteSize;
        std::uint8_t parity;
        std::uint8_t stopBits;
        std::uint8_t fParity;
        std::uint8_t rtsControl;
        std::uint8_t outX;
        tcflag_t cflagSet; // these bits of c_cflag, exactly
        tcflag_t iflagSet; // these bits of c_iflag, exactly
    };
    const tcflag_t cMask = CSIZE | PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS;
    const tcflag_t iMask = INPCK | IGNPAR | PARMRK | IXON | IXOFF;
    const Case cases[] = {
        {"8N1", 8, kNoParity, kOneStopBit, 0, kRtsControlEnable, 0, CS8, 0},
        {"7E1", 7, kEvenParity, kOneStopBit, 1, kRtsControlEnable, 0, CS7 | PARENB, INPCK},
        {"7O2", 7, kOddParity, kTwoStopBits, 1, kRtsControlEnable, 0,
         CS7 | PARENB | PARODD | CSTOPB, INPCK},
        {"8M1", 8, kMarkParity, kOneStopBit, 0, kRtsControlEnable, 0,
         CS8 | PARENB | PARODD | CMSPAR, 0},
        {"8S1", 8, kSpaceParity, kOneStopBit, 0, kRtsControlEnable, 0, CS8 | PARENB | CMSPAR, 0},
        {"6N1", 6, kNoParity, kOneStopBit, 0, kRtsControlEnable, 0, CS6, 0},
        {"5N1", 5, kNoParity, kOneStopBit, 0, kRtsControlEnable, 0, CS5, 0},
        {"RTS handshake", 8, kNoParity, kOneStopBit, 0, kRtsControlHandshake, 0, CS8 | CRTSCTS, 0},
        {"XON/XOFF out", 8, kNoParity, kOneStopBit, 0, kRtsControlEnable, 1, CS8, IXON},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        // Start from a cooked terminal with every bit in question set.
        termios t{};
        t.c_iflag = ICRNL | IXON | IXOFF | INPCK | IGNPAR | PARMRK | ISTRIP | BRKINT;
        t.c_oflag = OPOST | ONLCR;
        t.c_lflag = ICANON | ECHO | ECHOE | ISIG | IEXTEN;
        t.c_cflag = cMask | HUPCL;
        t.c_cc[VMIN] = 1;
        t.c_cc[VTIME] = 5;

        Dcb d = lineDcb();
        d.ByteSize = c.byteSize;
        d.Parity = c.parity;
        d.StopBits = c.stopBits;
        d.fParity = c.fParity;
        d.fRtsControl = c.rtsControl;
        d.fOutX = c.outX;
        ASSERT_TRUE(posix::lineSettingsValid(d));
        posix::applyLineSettings(d, t);

        EXPECT_EQ(t.c_cflag & cMask, c.cflagSet);
        EXPECT_EQ(t.c_cflag & (CREAD | CLOCAL), static_cast<tcflag_t>(CREAD | CLOCAL));
        EXPECT_EQ(t.c_iflag & iMask, c.iflagSet);
        EXPECT_EQ(t.c_iflag & (ICRNL | ISTRIP | BRKINT), 0u);
        EXPECT_EQ(t.c_oflag & OPOST, 0u);
        EXPECT_EQ(t.c_lflag & (ICANON | ECHO | ECHOE | ISIG | IEXTEN), 0u);
        EXPECT_EQ(t.c_cc[VMIN], 0);
        EXPECT_EQ(t.c_cc[VTIME], 0);
    }
}

TEST_F(Pty, RefusesSettingsTheLineCannotTake) {
    handle_ = openPort(path_);
    ASSERT_NE(handle_, kInvalidHandle);
    const Dcb good = lineDcb(19200);
    ASSERT_TRUE(SetCommState(handle_, &good));
    termios before{};
    ASSERT_EQ(tcgetattr(slave_, &before), 0);

    struct Case {
        const char* what;
        void (*change)(Dcb&);
    };
    const Case cases[] = {
        {"one and a half stop bits", [](Dcb& d) { d.StopBits = kOne5StopBits; }},
        {"stop bits code 3", [](Dcb& d) { d.StopBits = 3; }},
        {"5 data bits, 2 stop bits",
         [](Dcb& d) {
             d.ByteSize = 5;
             d.StopBits = kTwoStopBits;
         }},
        {"baud 0", [](Dcb& d) { d.BaudRate = 0; }},
        {"baud above 4000000", [](Dcb& d) { d.BaudRate = 4000001; }},
        {"4 data bits", [](Dcb& d) { d.ByteSize = 4; }},
        {"9 data bits", [](Dcb& d) { d.ByteSize = 9; }},
        {"parity code 5", [](Dcb& d) { d.Parity = 5; }},
        {"XON equal to XOFF",
         [](Dcb& d) {
             d.fOutX = 1;
             d.XoffChar = d.XonChar;
         }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Dcb d = good;
        c.change(d);
        EXPECT_FALSE(SetCommState(handle_, &d));
        termios after{};
        ASSERT_EQ(tcgetattr(slave_, &after), 0);
        EXPECT_EQ(after.c_cflag, before.c_cflag);
        Dcb got{};
        ASSERT_TRUE(GetCommState(handle_, &got));
        EXPECT_EQ(got.BaudRate, 19200u);
        EXPECT_EQ(got.StopBits, kOneStopBit);
    }
}

// --- Reading ------------------------------------------------------------

struct ReadCase {
    const char* name;
    CommTimeouts timeouts;
    std::string early; // on the line before the read starts
    int lateAfterMs;   // when `late` is sent, -1 for never
    std::string late;
    std::uint32_t ask;
    std::string expect;
    long minMs;
    long maxMs;
};

void PrintTo(const ReadCase& c, std::ostream* os) {
    *os << c.name;
}

class ReadContract : public Pty, public ::testing::WithParamInterface<ReadCase> {};

TEST_P(ReadContract, ReturnsWhatArrivedInTime) {
    const ReadCase& c = GetParam();
    openConfigured(c.timeouts);
    if (!c.early.empty()) {
        sendFromMaster(c.early);
        awaitInput();
    }
    std::thread writer;
    if (c.lateAfterMs >= 0) {
        writer = std::thread([this, &c] {
            std::this_thread::sleep_for(std::chrono::milliseconds(c.lateAfterMs));
            (void)!::write(master_, c.late.data(), c.late.size());
        });
    }
    std::vector<char> buf(c.ask + 1, '\0');
    std::uint32_t n = 99;
    const auto start = Clock::now();
    const bool ok = ReadFile(handle_, buf.data(), c.ask, &n);
    const long took = msSince(start);
    if (writer.joinable()) {
        writer.join();
    }
    EXPECT_TRUE(ok);
    EXPECT_EQ(std::string(buf.data(), n), c.expect);
    EXPECT_GE(took, c.minMs);
    EXPECT_LT(took, c.maxMs);
}

INSTANTIATE_TEST_SUITE_P(
    Timeouts, ReadContract,
    ::testing::Values(
        // The driver's settings: a total constant, no interval, no multiplier.
        ReadCase{"SilentLineTimesOut", {0, 0, 50, 0, 0}, "", -1, "", 1, "", 45, 1000},
        ReadCase{"AllBytesAtOnce", {0, 0, 1000, 0, 0}, "abc", -1, "", 3, "abc", 0, 500},
        ReadCase{"TwoThenOne", {0, 0, 1000, 0, 0}, "ab", 30, "c", 3, "abc", 25, 500},
        ReadCase{"ShortAfterTimeOut", {0, 0, 50, 0, 0}, "ab", -1, "", 3, "ab", 45, 1000},
        ReadCase{"NoTimeoutWaitsForAll", {0, 0, 0, 0, 0}, "a", 60, "b", 2, "ab", 55, 1000},
        // The other COMMTIMEOUTS combinations.
        ReadCase{"MultiplierPerByte", {0, 10, 0, 0, 0}, "", -1, "", 5, "", 45, 1000},
        ReadCase{"IntervalEndsRead", {20, 0, 1000, 0, 0}, "ab", -1, "", 5, "ab", 15, 500},
        ReadCase{"AtOnceWithWhatIsThere", {kMaxDword, 0, 0, 0, 0}, "ab", -1, "", 5, "ab", 0, 500},
        ReadCase{"AtOnceWithNothing", {kMaxDword, 0, 0, 0, 0}, "", -1, "", 5, "", 0, 500},
        ReadCase{
            "FirstByteEndsWait", {kMaxDword, kMaxDword, 1000, 0, 0}, "", 30, "x", 5, "x", 25, 500},
        ReadCase{
            "FirstByteTimesOut", {kMaxDword, kMaxDword, 50, 0, 0}, "", -1, "", 5, "", 45, 1000}),
    [](const ::testing::TestParamInfo<ReadCase>& p) { return std::string(p.param.name); });

void onSignal(int) {}

TEST_F(Pty, SignalDoesNotShortenRead) {
    openConfigured({0, 0, 200, 0, 0});
    struct sigaction sa {};
    sa.sa_handler = onSignal; // no SA_RESTART: poll() sees EINTR
    struct sigaction old {};
    ASSERT_EQ(sigaction(SIGUSR1, &sa, &old), 0);
    const pthread_t reader = pthread_self();
    std::thread interrupter([reader] {
        std::this_thread::sleep_for(std::chrono::milliseconds(30));
        pthread_kill(reader, SIGUSR1);
    });
    char buf[1];
    std::uint32_t n = 99;
    const auto start = Clock::now();
    const bool ok = ReadFile(handle_, buf, 1, &n);
    const long took = msSince(start);
    interrupter.join();
    sigaction(SIGUSR1, &old, nullptr);
    EXPECT_TRUE(ok);
    EXPECT_EQ(n, 0u);
    EXPECT_GE(took, 195);
    EXPECT_LT(took, 1000);
}

// Once the other end is gone the tty is hung up: calls fail instead of
// reporting time-outs or successful writes.
TEST_F(Pty, HungUpLineFails) {
    openConfigured({0, 0, 1000, 0, 0});
    ::close(master_);
    master_ = -1;
    char buf[4];
    std::uint32_t n = 99;
    const auto start = Clock::now();
    EXPECT_FALSE(ReadFile(handle_, buf, 1, &n));
    EXPECT_EQ(n, 0u);
    EXPECT_LT(msSince(start), 500);
    EXPECT_FALSE(WriteFile(handle_, "abc", 3, &n));
    std::uint32_t errors = 0;
    ComStat stat{};
    EXPECT_FALSE(ClearCommError(handle_, &errors, &stat));
}

TEST_F(Pty, QueueCountsFollowTheInput) {
    openConfigured();
    std::uint32_t errors = 99;
    ComStat stat{99, 99};
    ASSERT_TRUE(ClearCommError(handle_, &errors, &stat));
    EXPECT_EQ(errors, 0u);
    EXPECT_EQ(stat.cbInQue, 0u);
    EXPECT_EQ(stat.cbOutQue, 0u);

    sendFromMaster("12345");
    awaitInput();
    ASSERT_TRUE(ClearCommError(handle_, &errors, &stat));
    EXPECT_EQ(stat.cbInQue, 5u);

    char buf[2];
    std::uint32_t n = 0;
    ASSERT_TRUE(ReadFile(handle_, buf, 2, &n));
    ASSERT_EQ(n, 2u);
    ASSERT_TRUE(ClearCommError(handle_, nullptr, &stat));
    EXPECT_EQ(stat.cbInQue, 3u);
}

// --- Modem lines --------------------------------------------------------

TEST_F(Pty, ModemControlFailsWithoutModemLines) {
    openConfigured();
    const std::uint32_t functions[] = {kSetRts, kClrRts, kSetDtr, kClrDtr, 0, 99};
    for (const std::uint32_t f : functions) {
        EXPECT_FALSE(EscapeCommFunction(handle_, f)) << "function " << f;
    }
}

// --- Writing ------------------------------------------------------------

TEST_F(Pty, WrittenBytesReachTheOtherEnd) {
    openConfigured();
    std::uint32_t n = 0;
    ASSERT_TRUE(WriteFile(handle_,
                          "\x04"
                          "01M1\x05",
                          6, &n));
    EXPECT_EQ(n, 6u);
    EXPECT_EQ(receiveOnMaster(6), "\x04"
                                  "01M1\x05");
}

TEST_F(Pty, WriteLargerThanTheQueueCompletes) {
    openConfigured();
    // Far more than the pty buffers: the write has to wait for room.
    std::string data(200000, '\0');
    for (std::size_t i = 0; i < data.size(); ++i) {
        data[i] = static_cast<char>('A' + i % 26);
    }
    std::string received;
    std::thread drain([&] { received = receiveOnMaster(data.size(), 5000); });
    std::uint32_t n = 0;
    const bool ok = WriteFile(handle_, data.data(), static_cast<std::uint32_t>(data.size()), &n);
    drain.join();
    EXPECT_TRUE(ok);
    EXPECT_EQ(n, data.size());
    EXPECT_TRUE(received == data) << "received " << received.size() << " bytes";
}

// --- Sleep --------------------------------------------------------------

TEST(Sleep, SleepsTheWholeTime) {
    const auto start = Clock::now();
    Sleep(30);
    const long took = msSince(start);
    EXPECT_GE(took, 30);
    EXPECT_LT(took, 1000);
}

} // namespace
