// The comm layer on Linux: the Windows serial calls of comm.h carried out
// with termios, modem-control ioctls and poll().
//
// A handle is the file descriptor itself. Every port is opened
// non-blocking and every wait is a poll() against a deadline taken from
// the monotonic clock, so a read or write never blocks outside poll().
// What Windows keeps with a handle and termios does not (the COMMTIMEOUTS,
// the last DCB applied, the error counters last reported) lives in a
// fixed table indexed by the descriptor.
#include "comm_posix_internal.h"

#include <array>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstddef>
#include <cstdint>
#include <ctime>
#include <mutex>

#include <fcntl.h>
#include <linux/serial.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

namespace draxo::comm {

namespace {

constexpr int kMaxPorts = 1024;
constexpr std::uint32_t kMaxDword = 0xFFFFFFFFu;
constexpr std::uint32_t kMaxBaud = 4000000;

// EscapeCommFunction codes beyond the ones the driver uses.
constexpr std::uint32_t kSetBreak = 8;
constexpr std::uint32_t kClrBreak = 9;

// ClearCommError error bits.
constexpr std::uint32_t kCeRxOver = 0x0001;
constexpr std::uint32_t kCeOverrun = 0x0002;
constexpr std::uint32_t kCeRxParity = 0x0004;
constexpr std::uint32_t kCeFrame = 0x0008;
constexpr std::uint32_t kCeBreak = 0x0010;

// The kernel's termios2, which carries a speed in plain numbers. Its
// header clashes with <termios.h>, so the record is declared here for the
// architectures whose layout is the generic one; elsewhere only the
// standard rates are offered.
#if defined(__x86_64__) || defined(__i386__) || defined(__aarch64__) || defined(__arm__) ||        \
    defined(__riscv)
#define DRAXO_HAVE_TERMIOS2 1
struct KernelTermios2 {
    tcflag_t c_iflag;
    tcflag_t c_oflag;
    tcflag_t c_cflag;
    tcflag_t c_lflag;
    cc_t c_line;
    cc_t c_cc[19];
    speed_t c_ispeed;
    speed_t c_ospeed;
};
static_assert(sizeof(KernelTermios2) == 44);
const unsigned long kTcGets2 = _IOR('T', 0x2A, KernelTermios2);
const unsigned long kTcSets2 = _IOW('T', 0x2B, KernelTermios2);
constexpr tcflag_t kBother = 0010000;
#else
#define DRAXO_HAVE_TERMIOS2 0
#endif

struct Speed {
    std::uint32_t rate;
    speed_t code;
};

constexpr Speed kSpeeds[] = {
    {50, B50},           {75, B75},           {110, B110},         {134, B134},
    {150, B150},         {200, B200},         {300, B300},         {600, B600},
    {1200, B1200},       {1800, B1800},       {2400, B2400},       {4800, B4800},
    {9600, B9600},       {19200, B19200},     {38400, B38400},     {57600, B57600},
    {115200, B115200},   {230400, B230400},   {460800, B460800},   {500000, B500000},
    {576000, B576000},   {921600, B921600},   {1000000, B1000000}, {1152000, B1152000},
    {1500000, B1500000}, {2000000, B2000000}, {2500000, B2500000}, {3000000, B3000000},
    {3500000, B3500000}, {4000000, B4000000},
};

struct Port {
    std::atomic<bool> open{false};
    bool locked = false;       // holds the flock
    bool exclusiveSet = false; // set TIOCEXCL, to be cleared at close
    bool rs485Set = false;     // switched the kernel's RS-485 mode on
    bool haveDcb = false;
    Dcb dcb{};
    CommTimeouts timeouts{};
    bool haveCounts = false;
    serial_icounter_struct counts{};
};

std::mutex gOpenCloseMutex;
std::array<Port, kMaxPorts> gPorts;

Port* portOf(Handle h) {
    if (h >= static_cast<Handle>(kMaxPorts)) {
        return nullptr;
    }
    Port& p = gPorts[h];
    return p.open.load(std::memory_order_acquire) ? &p : nullptr;
}

int fdOf(Handle h) {
    return static_cast<int>(h);
}

// The one place that reads the clock.
std::int64_t nowNs() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<std::int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

// A point in time a wait must not pass; an unbounded one never comes.
struct Deadline {
    bool bounded = false;
    std::int64_t at = 0;

    static Deadline after(std::int64_t from, std::uint64_t ms) {
        return {true, from + static_cast<std::int64_t>(ms) * 1000000};
    }
    // Milliseconds left, rounded up, for poll(): -1 when unbounded, 0 when
    // passed.
    int remainingMs() const {
        if (!bounded) {
            return -1;
        }
        const std::int64_t left = at - nowNs();
        if (left <= 0) {
            return 0;
        }
        const std::int64_t ms = (left + 999999) / 1000000;
        return ms > INT_MAX ? INT_MAX : static_cast<int>(ms);
    }
};

int shorterWait(int a, int b) {
    if (a < 0) {
        return b;
    }
    if (b < 0) {
        return a;
    }
    return a < b ? a : b;
}

Dcb defaultDcb() {
    Dcb d{};
    d.DCBlength = 28;
    d.fBinary = 1;
    d.XonLim = 2048;
    d.XoffLim = 512;
    d.XonChar = 0x11;
    d.XoffChar = 0x13;
    return d;
}

template <typename T>
void applyFlags(const Dcb& dcb, T& t) {
    t.c_iflag &= ~static_cast<tcflag_t>(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL |
                                        IUCLC | IXON | IXOFF | IXANY | IMAXBEL | INPCK | IGNPAR);
    t.c_oflag &= ~static_cast<tcflag_t>(OPOST);
    t.c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHOE | ECHOK | ECHONL | ECHOCTL | ECHOPRT | ECHOKE |
                                        ICANON | ISIG | IEXTEN);
    t.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS);
    t.c_cflag |= CREAD | CLOCAL;

    switch (dcb.ByteSize) {
    case 5:
        t.c_cflag |= CS5;
        break;
    case 6:
        t.c_cflag |= CS6;
        break;
    case 7:
        t.c_cflag |= CS7;
        break;
    default:
        t.c_cflag |= CS8;
        break;
    }
    switch (dcb.Parity) {
    case kOddParity:
        t.c_cflag |= PARENB | PARODD;
        break;
    case kEvenParity:
        t.c_cflag |= PARENB;
        break;
    case kMarkParity:
        t.c_cflag |= PARENB | PARODD | CMSPAR;
        break;
    case kSpaceParity:
        t.c_cflag |= PARENB | CMSPAR;
        break;
    default:
        break;
    }
    if (dcb.StopBits == kTwoStopBits) {
        t.c_cflag |= CSTOPB;
    }
    if (dcb.fParity) {
        t.c_iflag |= INPCK;
    }
    if (dcb.fRtsControl == kRtsControlHandshake || dcb.fOutxCtsFlow) {
        t.c_cflag |= CRTSCTS;
    }
    if (dcb.fOutX) {
        t.c_iflag |= IXON;
    }
    if (dcb.fInX) {
        t.c_iflag |= IXOFF;
    }
    t.c_cc[VSTART] = static_cast<cc_t>(dcb.XonChar);
    t.c_cc[VSTOP] = static_cast<cc_t>(dcb.XoffChar);
    t.c_cc[VMIN] = 0;
    t.c_cc[VTIME] = 0;
}

const Speed* standardSpeed(std::uint32_t rate) {
    for (const Speed& s : kSpeeds) {
        if (s.rate == rate) {
            return &s;
        }
    }
    return nullptr;
}

std::uint32_t rateOf(int fd, const termios& t) {
    const speed_t code = cfgetospeed(&t);
    for (const Speed& s : kSpeeds) {
        if (s.code == code) {
            return s.rate;
        }
    }
#if DRAXO_HAVE_TERMIOS2
    if (code == kBother) {
        KernelTermios2 k{};
        if (ioctl(fd, kTcGets2, &k) == 0) {
            return k.c_ospeed;
        }
    }
#else
    (void)fd;
#endif
    return 0;
}

bool applyStandardRate(int fd, const Dcb& dcb, speed_t code) {
    termios t{};
    if (tcgetattr(fd, &t) != 0) {
        return false;
    }
    posix::applyLineSettings(dcb, t);
    t.c_cflag &= ~static_cast<tcflag_t>(CIBAUD); // input speed follows output speed
    if (cfsetispeed(&t, code) != 0 || cfsetospeed(&t, code) != 0) {
        return false;
    }
    return tcsetattr(fd, TCSANOW, &t) == 0;
}

bool applyCustomRate(int fd, const Dcb& dcb) {
#if DRAXO_HAVE_TERMIOS2
    KernelTermios2 k{};
    if (ioctl(fd, kTcGets2, &k) != 0) {
        return false;
    }
    applyFlags(dcb, k);
    k.c_cflag &= ~static_cast<tcflag_t>(CBAUD | CIBAUD);
    k.c_cflag |= kBother;
    k.c_ispeed = dcb.BaudRate;
    k.c_ospeed = dcb.BaudRate;
    return ioctl(fd, kTcSets2, &k) == 0;
#else
    (void)fd;
    (void)dcb;
    return false;
#endif
}

bool modemLine(int fd, int line, bool raise) {
    int bits = line;
    return ioctl(fd, raise ? TIOCMBIS : TIOCMBIC, &bits) == 0;
}

// The kernel's RS-485 mode raises RTS while it sends, which is what
// RTS_CONTROL_TOGGLE asks for. Many devices do not offer it; then RTS
// simply stays as it is.
void setRs485(int fd, Port& p, bool on) {
    if (!on && !p.rs485Set) {
        return;
    }
    serial_rs485 rs{};
    if (ioctl(fd, TIOCGRS485, &rs) != 0) {
        if (!on) {
            return;
        }
        rs = serial_rs485{};
    }
    if (on) {
        rs.flags |= SER_RS485_ENABLED | SER_RS485_RTS_ON_SEND;
        rs.flags &= ~static_cast<std::uint32_t>(SER_RS485_RTS_AFTER_SEND);
    } else {
        rs.flags &= ~static_cast<std::uint32_t>(SER_RS485_ENABLED);
    }
    if (ioctl(fd, TIOCSRS485, &rs) == 0) {
        p.rs485Set = on;
    }
}

bool readCounts(int fd, serial_icounter_struct& c) {
    return ioctl(fd, TIOCGICOUNT, &c) == 0;
}

bool equalsNoCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) {
        return false;
    }
    for (std::size_t i = 0; i < a.size(); ++i) {
        char x = a[i];
        if (x >= 'a' && x <= 'z') {
            x = static_cast<char>(x - 'a' + 'A');
        }
        if (x != b[i]) {
            return false;
        }
    }
    return true;
}

void clearSlot(Port& p) {
    p.open.store(false, std::memory_order_release);
    p.locked = false;
    p.exclusiveSet = false;
    p.rs485Set = false;
    p.haveDcb = false;
    p.dcb = Dcb{};
    p.timeouts = CommTimeouts{};
    p.haveCounts = false;
    p.counts = serial_icounter_struct{};
}

} // namespace

namespace posix {

std::string devicePath(std::string_view name) {
    if (name.starts_with('/') || name.starts_with("./") || name.starts_with("../")) {
        return std::string(name);
    }
    if (name.starts_with("\\\\.\\")) {
        name.remove_prefix(4);
    }
    if (name.empty()) {
        return {};
    }
    if (equalsNoCase(name, "NUL")) {
        return "/dev/null";
    }
    if (name.size() >= 4 && name.size() <= 8 && equalsNoCase(name.substr(0, 3), "COM") &&
        name[3] >= '1' && name[3] <= '9') {
        std::uint32_t n = 0;
        bool digits = true;
        for (char c : name.substr(3)) {
            if (c < '0' || c > '9') {
                digits = false;
                break;
            }
            n = n * 10 + static_cast<std::uint32_t>(c - '0');
        }
        if (digits) {
            return "/dev/ttyS" + std::to_string(n - 1);
        }
    }
    return "/dev/" + std::string(name);
}

bool lineSettingsValid(const Dcb& dcb) {
    if (dcb.BaudRate == 0 || dcb.BaudRate > kMaxBaud) {
        return false;
    }
    if (dcb.ByteSize < 5 || dcb.ByteSize > 8 || dcb.Parity > kSpaceParity) {
        return false;
    }
    if (dcb.StopBits != kOneStopBit && dcb.StopBits != kTwoStopBits) {
        return false; // one and a half stop bits do not exist on termios
    }
    if (dcb.ByteSize == 5 && dcb.StopBits == kTwoStopBits) {
        return false; // the UART would send one and a half
    }
    if (dcb.fDtrControl > kDtrControlHandshake || dcb.fRtsControl > kRtsControlToggle) {
        return false;
    }
    if ((dcb.fOutX || dcb.fInX) && dcb.XonChar == dcb.XoffChar) {
        return false;
    }
    return true;
}

void applyLineSettings(const Dcb& dcb, termios& t) {
    applyFlags(dcb, t);
}

} // namespace posix

Handle CreateFileA(const char* name, std::uint32_t /*access*/, std::uint32_t /*shareMode*/,
                   std::uint32_t /*creation*/, std::uint32_t /*flags*/) {
    if (name == nullptr) {
        return kInvalidHandle;
    }
    const std::string path = posix::devicePath(name);
    if (path.empty()) {
        return kInvalidHandle;
    }
    int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) {
        return kInvalidHandle;
    }
    if (fd == 0) {
        // 0 means "no port" to the driver.
        const int moved = fcntl(fd, F_DUPFD_CLOEXEC, 3);
        ::close(fd);
        if (moved < 0) {
            return kInvalidHandle;
        }
        fd = moved;
    }
    if (fd >= kMaxPorts) {
        ::close(fd);
        return kInvalidHandle;
    }

    std::lock_guard<std::mutex> lock(gOpenCloseMutex);
    Port& p = gPorts[static_cast<std::size_t>(fd)];
    clearSlot(p);
    // The null device is shared by everything on the system; holding it
    // exclusively would only make a second "NUL" fail.
    if (path != "/dev/null") {
        // flock also holds against a second open in this process and
        // against root, which TIOCEXCL does not stop.
        if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
            ::close(fd);
            return kInvalidHandle;
        }
        p.locked = true;
        int wasExclusive = 0;
        const bool known = ioctl(fd, TIOCGEXCL, &wasExclusive) == 0;
        if (ioctl(fd, TIOCEXCL) == 0) {
            p.exclusiveSet = !(known && wasExclusive);
        }
    }
    p.haveCounts = readCounts(fd, p.counts);
    p.open.store(true, std::memory_order_release);
    return static_cast<Handle>(fd);
}

bool CloseHandle(Handle h) {
    std::lock_guard<std::mutex> lock(gOpenCloseMutex);
    Port* p = portOf(h);
    if (p == nullptr) {
        return false;
    }
    const int fd = fdOf(h);
    setRs485(fd, *p, false);
    if (p->exclusiveSet) {
        // The flag stays on the tty while anyone else has it open.
        ioctl(fd, TIOCNXCL);
    }
    if (p->locked) {
        flock(fd, LOCK_UN);
    }
    clearSlot(*p);
    return ::close(fd) == 0;
}

bool GetCommState(Handle h, Dcb* dcb) {
    Port* p = portOf(h);
    if (p == nullptr || dcb == nullptr) {
        return false;
    }
    const int fd = fdOf(h);
    termios t{};
    if (tcgetattr(fd, &t) != 0) {
        return false;
    }
    Dcb d = p->haveDcb ? p->dcb : defaultDcb();
    if (!p->haveDcb) {
        int bits = 0;
        if (ioctl(fd, TIOCMGET, &bits) == 0) {
            d.fDtrControl = (bits & TIOCM_DTR) ? kDtrControlEnable : kDtrControlDisable;
            d.fRtsControl = (bits & TIOCM_RTS) ? kRtsControlEnable : kRtsControlDisable;
        }
        if (t.c_cflag & CRTSCTS) {
            d.fOutxCtsFlow = 1;
            d.fRtsControl = kRtsControlHandshake;
        }
    }
    d.BaudRate = rateOf(fd, t);
    d.fBinary = 1;
    switch (t.c_cflag & CSIZE) {
    case CS5:
        d.ByteSize = 5;
        break;
    case CS6:
        d.ByteSize = 6;
        break;
    case CS7:
        d.ByteSize = 7;
        break;
    default:
        d.ByteSize = 8;
        break;
    }
    if (!(t.c_cflag & PARENB)) {
        d.Parity = kNoParity;
    } else if (t.c_cflag & CMSPAR) {
        d.Parity = (t.c_cflag & PARODD) ? kMarkParity : kSpaceParity;
    } else {
        d.Parity = (t.c_cflag & PARODD) ? kOddParity : kEvenParity;
    }
    d.StopBits = (t.c_cflag & CSTOPB) ? kTwoStopBits : kOneStopBit;
    d.fParity = (t.c_iflag & INPCK) ? 1 : 0;
    d.fOutX = (t.c_iflag & IXON) ? 1 : 0;
    d.fInX = (t.c_iflag & IXOFF) ? 1 : 0;
    *dcb = d;
    return true;
}

bool SetCommState(Handle h, const Dcb* dcb) {
    Port* p = portOf(h);
    if (p == nullptr || dcb == nullptr || !posix::lineSettingsValid(*dcb)) {
        return false;
    }
    const int fd = fdOf(h);
    const Speed* standard = standardSpeed(dcb->BaudRate);
    const bool applied = standard != nullptr ? applyStandardRate(fd, *dcb, standard->code)
                                             : applyCustomRate(fd, *dcb);
    if (!applied) {
        return false;
    }

    // A pty has no modem lines; their failures change nothing here.
    if (dcb->fDtrControl == kDtrControlEnable || dcb->fDtrControl == kDtrControlHandshake) {
        modemLine(fd, TIOCM_DTR, true);
    } else {
        modemLine(fd, TIOCM_DTR, false);
    }
    if (dcb->fRtsControl == kRtsControlEnable) {
        modemLine(fd, TIOCM_RTS, true);
    } else if (dcb->fRtsControl == kRtsControlDisable) {
        modemLine(fd, TIOCM_RTS, false);
    }
    setRs485(fd, *p, dcb->fRtsControl == kRtsControlToggle);

    p->dcb = *dcb;
    p->haveDcb = true;
    return true;
}

bool GetCommTimeouts(Handle h, CommTimeouts* t) {
    Port* p = portOf(h);
    if (p == nullptr || t == nullptr) {
        return false;
    }
    *t = p->timeouts;
    return true;
}

bool SetCommTimeouts(Handle h, const CommTimeouts* t) {
    Port* p = portOf(h);
    if (p == nullptr || t == nullptr) {
        return false;
    }
    p->timeouts = *t;
    return true;
}

bool SetupComm(Handle h, std::uint32_t /*inQueue*/, std::uint32_t /*outQueue*/) {
    // The kernel's queues have fixed sizes.
    return portOf(h) != nullptr;
}

bool ClearCommError(Handle h, std::uint32_t* errors, ComStat* stat) {
    Port* p = portOf(h);
    if (p == nullptr) {
        return false;
    }
    const int fd = fdOf(h);
    int inQueue = 0;
    if (ioctl(fd, FIONREAD, &inQueue) != 0) {
        return false;
    }
    int outQueue = 0;
    if (ioctl(fd, TIOCOUTQ, &outQueue) != 0) {
        outQueue = 0;
    }

    // Errors since the last call, from the driver's counters where it
    // keeps them.
    std::uint32_t found = 0;
    serial_icounter_struct now{};
    if (p->haveCounts && readCounts(fd, now)) {
        const serial_icounter_struct& was = p->counts;
        if (now.buf_overrun != was.buf_overrun) {
            found |= kCeRxOver;
        }
        if (now.overrun != was.overrun) {
            found |= kCeOverrun;
        }
        if (now.parity != was.parity) {
            found |= kCeRxParity;
        }
        if (now.frame != was.frame) {
            found |= kCeFrame;
        }
        if (now.brk != was.brk) {
            found |= kCeBreak;
        }
        p->counts = now;
    }

    if (errors != nullptr) {
        *errors = found;
    }
    if (stat != nullptr) {
        stat->cbInQue = inQueue > 0 ? static_cast<std::uint32_t>(inQueue) : 0;
        stat->cbOutQue = outQueue > 0 ? static_cast<std::uint32_t>(outQueue) : 0;
    }
    return true;
}

bool EscapeCommFunction(Handle h, std::uint32_t function) {
    if (portOf(h) == nullptr) {
        return false;
    }
    const int fd = fdOf(h);
    switch (function) {
    case kSetRts:
        return modemLine(fd, TIOCM_RTS, true);
    case kClrRts:
        return modemLine(fd, TIOCM_RTS, false);
    case kSetDtr:
        return modemLine(fd, TIOCM_DTR, true);
    case kClrDtr:
        return modemLine(fd, TIOCM_DTR, false);
    case kSetBreak:
        return ioctl(fd, TIOCSBRK) == 0;
    case kClrBreak:
        return ioctl(fd, TIOCCBRK) == 0;
    default:
        return false;
    }
}

bool SetCommBreak(Handle h) {
    return portOf(h) != nullptr && ioctl(fdOf(h), TIOCSBRK) == 0;
}

bool ClearCommBreak(Handle h) {
    return portOf(h) != nullptr && ioctl(fdOf(h), TIOCCBRK) == 0;
}

bool ReadFile(Handle h, void* buffer, std::uint32_t count, std::uint32_t* read) {
    if (read != nullptr) {
        *read = 0;
    }
    Port* p = portOf(h);
    if (p == nullptr || (buffer == nullptr && count != 0)) {
        return false;
    }
    if (count == 0) {
        return true;
    }
    const int fd = fdOf(h);
    auto* out = static_cast<unsigned char*>(buffer);
    const CommTimeouts to = p->timeouts;

    // The COMMTIMEOUTS combinations: return at once with what is there;
    // wait up to the constant for the first byte and return with it; or
    // wait for all bytes up to the total time-out, ending early when the
    // gap after a byte grows longer than the interval time-out.
    const bool atOnce = to.ReadIntervalTimeout == kMaxDword && to.ReadTotalTimeoutMultiplier == 0 &&
                        to.ReadTotalTimeoutConstant == 0;
    const bool firstByte =
        to.ReadIntervalTimeout == kMaxDword && to.ReadTotalTimeoutMultiplier == kMaxDword &&
        to.ReadTotalTimeoutConstant != 0 && to.ReadTotalTimeoutConstant != kMaxDword;
    const std::int64_t start = nowNs();
    Deadline total;
    std::uint32_t interval = 0;
    if (firstByte) {
        total = Deadline::after(start, to.ReadTotalTimeoutConstant);
    } else if (!atOnce) {
        const std::uint64_t ms = static_cast<std::uint64_t>(to.ReadTotalTimeoutMultiplier) * count +
                                 to.ReadTotalTimeoutConstant;
        if (ms != 0) {
            total = Deadline::after(start, ms);
        }
        interval = to.ReadIntervalTimeout;
    }

    std::uint32_t got = 0;
    std::int64_t lastByteAt = start;
    short polled = 0; // what the poll just before this read reported
    while (got < count) {
        const ssize_t r = ::read(fd, out + got, count - got);
        if (r > 0) {
            got += static_cast<std::uint32_t>(r);
            lastByteAt = nowNs();
            polled = 0;
            if (atOnce || firstByte) {
                break;
            }
            continue;
        }
        if (r < 0) {
            if (errno == EINTR) {
                continue;
            }
            if (errno != EAGAIN && errno != EWOULDBLOCK) {
                return false;
            }
        } else if (polled != 0) {
            // Readable yet nothing to read: a hang-up fails, an end of
            // file (the null device) ends the read with what it has.
            if (polled & (POLLHUP | POLLERR)) {
                return false;
            }
            break;
        }
        if (atOnce) {
            break;
        }
        int wait = total.remainingMs();
        if (interval != 0 && got > 0) {
            wait = shorterWait(wait, Deadline::after(lastByteAt, interval).remainingMs());
        }
        if (wait == 0) {
            break;
        }
        pollfd pfd{fd, POLLIN, 0};
        const int n = ::poll(&pfd, 1, wait);
        if (n < 0) {
            if (errno == EINTR) {
                polled = 0;
                continue; // same deadline
            }
            return false;
        }
        if (n > 0 && (pfd.revents & POLLNVAL)) {
            return false;
        }
        polled = n > 0 ? pfd.revents : 0;
    }
    if (read != nullptr) {
        *read = got;
    }
    return true;
}

bool WriteFile(Handle h, const void* buffer, std::uint32_t count, std::uint32_t* written) {
    if (written != nullptr) {
        *written = 0;
    }
    Port* p = portOf(h);
    if (p == nullptr || (buffer == nullptr && count != 0)) {
        return false;
    }
    const int fd = fdOf(h);
    const auto* in = static_cast<const unsigned char*>(buffer);
    const std::uint64_t ms =
        static_cast<std::uint64_t>(p->timeouts.WriteTotalTimeoutMultiplier) * count +
        p->timeouts.WriteTotalTimeoutConstant;
    const Deadline total = ms != 0 ? Deadline::after(nowNs(), ms) : Deadline{};

    std::uint32_t done = 0;
    bool ok = true;
    bool pollSaidWritable = false;
    while (done < count) {
        const ssize_t r = ::write(fd, in + done, count - done);
        if (r > 0) {
            done += static_cast<std::uint32_t>(r);
            pollSaidWritable = false;
            continue;
        }
        if (r < 0) {
            if (errno == EINTR) {
                continue;
            }
            if (errno != EAGAIN && errno != EWOULDBLOCK) {
                ok = false;
                break;
            }
        } else if (pollSaidWritable) {
            ok = false; // writable, yet takes nothing
            break;
        }
        const int wait = total.remainingMs();
        if (wait == 0) {
            break; // the write time-out passed: a short write
        }
        pollfd pfd{fd, POLLOUT, 0};
        const int n = ::poll(&pfd, 1, wait);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            ok = false;
            break;
        }
        if (n > 0 && ((pfd.revents & POLLNVAL) ||
                      ((pfd.revents & (POLLERR | POLLHUP)) && !(pfd.revents & POLLOUT)))) {
            ok = false;
            break;
        }
        pollSaidWritable = n > 0;
    }
    if (written != nullptr) {
        *written = done;
    }
    return ok;
}

void Sleep(std::uint32_t ms) {
    timespec left{static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000L};
    while (nanosleep(&left, &left) != 0 && errno == EINTR) {
    }
}

} // namespace draxo::comm
