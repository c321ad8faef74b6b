#include "line.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

namespace rexsim {

namespace {
std::string sysError(const char* what) {
    return std::string(what) + ": " + std::strerror(errno);
}

bool baudConstant(int baud, speed_t& out) {
    static const std::pair<int, speed_t> table[] = {
        {1200, B1200},   {2400, B2400},   {4800, B4800},     {9600, B9600},     {19200, B19200},
        {38400, B38400}, {57600, B57600}, {115200, B115200}, {230400, B230400},
    };
    for (auto [b, c] : table) {
        if (b == baud) {
            out = c;
            return true;
        }
    }
    return false;
}
} // namespace

std::string openPty(Line& line) {
    int m = ::posix_openpt(O_RDWR | O_NOCTTY);
    if (m < 0) {
        return sysError("posix_openpt");
    }
    if (::grantpt(m) != 0 || ::unlockpt(m) != 0) {
        std::string e = sysError("grantpt/unlockpt");
        ::close(m);
        return e;
    }
    const char* name = ::ptsname(m);
    if (name == nullptr) {
        std::string e = sysError("ptsname");
        ::close(m);
        return e;
    }
    std::string path = name;
    int s = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (s < 0) {
        std::string e = sysError(path.c_str());
        ::close(m);
        return e;
    }
    termios t{};
    if (::tcgetattr(s, &t) == 0) {
        ::cfmakeraw(&t);
        ::tcsetattr(s, TCSANOW, &t);
    }
    ::fcntl(m, F_SETFL, ::fcntl(m, F_GETFL) | O_NONBLOCK);
    ::fcntl(m, F_SETFD, FD_CLOEXEC);
    line.fd = m;
    line.slaveFd = s;
    line.path = path;
    return "";
}

std::string openDevice(Line& line, const std::string& path, const LineSettings& st) {
    speed_t speed;
    if (!baudConstant(st.baud, speed)) {
        return "unsupported baud rate for a device: " + std::to_string(st.baud);
    }
    int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        return sysError(path.c_str());
    }
    termios t{};
    if (::tcgetattr(fd, &t) != 0) {
        std::string e = sysError("tcgetattr");
        ::close(fd);
        return e;
    }
    ::cfmakeraw(&t);
    t.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | PARODD | CSTOPB | CMSPAR | CRTSCTS);
    t.c_cflag |= CLOCAL | CREAD | (st.dataBits == 7 ? CS7 : CS8);
    if (st.stopBits == 2) {
        t.c_cflag |= CSTOPB;
    }
    if (st.parity == "odd") {
        t.c_cflag |= PARENB | PARODD;
    } else if (st.parity == "even") {
        t.c_cflag |= PARENB;
    } else if (st.parity == "mark") {
        t.c_cflag |= PARENB | CMSPAR | PARODD;
    } else if (st.parity == "space") {
        t.c_cflag |= PARENB | CMSPAR;
    }
    t.c_cc[VMIN] = 0;
    t.c_cc[VTIME] = 0;
    ::cfsetispeed(&t, speed);
    ::cfsetospeed(&t, speed);
    if (::tcsetattr(fd, TCSANOW, &t) != 0) {
        std::string e = sysError("tcsetattr");
        ::close(fd);
        return e;
    }
    ::tcflush(fd, TCIOFLUSH);
    line.fd = fd;
    line.path = path;
    return "";
}

void closeLine(Line& line) {
    if (line.fd >= 0) {
        ::close(line.fd);
    }
    if (line.slaveFd >= 0) {
        ::close(line.slaveFd);
    }
    line.fd = line.slaveFd = -1;
}

void Transmitter::queue(double dueMs, std::string bytes, std::function<void()> onStart) {
    items_.push_back(Item{dueMs, seq_++, std::move(bytes), 0, std::move(onStart)});
}

double Transmitter::pump(double nowMs, bool& blocked) {
    blocked = false;
    double retryAt = -1;
    bool stallAll = false;
    std::sort(items_.begin(), items_.end(), [](const Item& a, const Item& b) {
        return a.due != b.due ? a.due < b.due : a.seq < b.seq;
    });
    for (auto& it : items_) {
        if (it.due > nowMs || blocked || retryAt >= 0 || stallAll) {
            continue;
        }
        if (it.pos == 0 && it.onStart) {
            it.onStart();
            it.onStart = nullptr;
        }
        while (it.pos < it.bytes.size() && it.due <= nowMs) {
            // Paced: one character per character time, catching up on
            // characters whose time has already passed.
            size_t n = it.bytes.size() - it.pos;
            if (charTimeMs_ > 0) {
                n = std::min(n, static_cast<size_t>((nowMs - it.due) / charTimeMs_) + 1);
            }
            ssize_t w = ::write(fd_, it.bytes.data() + it.pos, n);
            if (w > 0) {
                it.pos += static_cast<size_t>(w);
                bytesOut_ += static_cast<std::uint64_t>(w);
                blockedSince_ = -1;
                if (charTimeMs_ > 0) {
                    it.due += charTimeMs_ * static_cast<double>(w);
                }
                continue;
            }
            if (w < 0 && errno == EINTR) {
                continue;
            }
            // EAGAIN (nobody reads the line) or an error: retry a while.
            bool full = w < 0 && (errno == EAGAIN || errno == EWOULDBLOCK);
            if (blockedSince_ < 0) {
                blockedSince_ = nowMs;
            } else if (nowMs - blockedSince_ > kStallMs) {
                stallAll = true;
                break;
            }
            if (full) {
                blocked = true;
            } else {
                retryAt = nowMs + 10; // an error: polling for output would spin
            }
            break;
        }
    }
    if (stallAll) {
        // Nobody has taken a byte for a long while: what is due is dropped
        // instead of piling up behind a reader that is not there.
        for (auto& it : items_) {
            if (it.due <= nowMs) {
                it.pos = it.bytes.size();
                it.onStart = nullptr;
                ++stalled_;
            }
        }
        blockedSince_ = -1;
        blocked = false;
        retryAt = -1;
    }
    items_.erase(
        std::remove_if(items_.begin(), items_.end(),
                       [](const Item& i) { return i.pos >= i.bytes.size() && !i.onStart; }),
        items_.end());
    double next = retryAt;
    for (const auto& it : items_) {
        if (retryAt >= 0 && it.due <= nowMs) {
            continue;
        }
        if (next < 0 || it.due < next) {
            next = it.due;
        }
    }
    return next;
}

} // namespace rexsim
