// A host of our own for programs that drive libdraxo.so against rexsim
// processes: the library loaded once with dlopen, instance blocks called
// through VpiMain, and simulators started on ptys and steered through their
// control sockets. Shared by the soak, the several-lines test and the
// benchmark.
#pragma once

#include <dlfcn.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "host/records.h"

namespace simhost {

using VpiMainFn = std::int32_t (*)(draxo::VpiCallBlock*);

using draxo::kCloseCom;
using draxo::kColdStart;
using draxo::kEndVpi;
using draxo::kReOpenCom;
using draxo::kSingleAddressParser;
using draxo::kSingleRead;
using draxo::kSingleWrite;

// libdraxo.so, loaded once for the whole process like a host loads it.
class Library {
  public:
    explicit Library(const char* path) {
        handle_ = ::dlopen(path, RTLD_NOW | RTLD_LOCAL);
        if (handle_ == nullptr) {
            throw std::runtime_error(std::string("dlopen: ") + ::dlerror());
        }
        vpiMain_ = reinterpret_cast<VpiMainFn>(::dlsym(handle_, "VpiMain"));
        if (vpiMain_ == nullptr) {
            throw std::runtime_error("VpiMain not exported");
        }
    }
    ~Library() { ::dlclose(handle_); }
    Library(const Library&) = delete;
    Library& operator=(const Library&) = delete;
    VpiMainFn vpiMain() const { return vpiMain_; }

  private:
    void* handle_ = nullptr;
    VpiMainFn vpiMain_ = nullptr;
};

// One gate as the host keeps it: its parsed address and its value slot.
struct Gate {
    std::string text; // what the host prints in messages (the line's tag)
    draxo::GateIoRequest io{};
    alignas(4) unsigned char slot[4] = {};

    float value() const {
        float v;
        std::memcpy(&v, slot, 4);
        return v;
    }
    void setValue(float v) { std::memcpy(slot, &v, 4); }
    // Segment gates carry a 16-bit value in the upper half of the slot.
    void setSegment(std::uint16_t v) { std::memcpy(slot + 2, &v, 2); }
};

// One driver instance: its 292-byte block and the calls on it.
class Instance {
  public:
    Instance(VpiMainFn vpiMain, std::uint32_t number) : vpiMain_(vpiMain), number_(number) {}

    std::int32_t call(std::int32_t command, void* params = nullptr) {
        draxo::VpiCallBlock c{};
        c.instance = reinterpret_cast<draxo::InstanceBlock*>(block_);
        c.command = command;
        c.instanceNumber = number_;
        c.params = params;
        return vpiMain_(&c);
    }
    // replyTimeout in units of 10 ms.
    std::int32_t coldStart(const std::string& port, std::int32_t replyTimeout,
                           std::uint16_t baud = 9600) {
        draxo::ColdStartParams p{};
        std::strncpy(p.portName, port.c_str(), sizeof p.portName - 1);
        p.openPort = 1;
        p.replyTimeout = replyTimeout;
        p.line = draxo::LineParams{baud, 8, 0, 0};
        return call(kColdStart, &p);
    }
    // Parses `address` ("01S1", "0125") into `g`; `tag` is the gate text the
    // driver prints. Returns the parser's result.
    std::int32_t parse(Gate& g, const std::string& address, const std::string& tag,
                       std::uint32_t gateType) {
        draxo::GateAddressRequest r{};
        r.addressText = address.c_str();
        r.gateType = gateType;
        const std::int32_t rc = call(kSingleAddressParser, &r);
        g.text = tag;
        g.io = draxo::GateIoRequest{};
        g.io.parsed = r.parsed;
        return rc;
    }
    std::int32_t read(Gate& g) { return io(kSingleRead, g); }
    std::int32_t write(Gate& g) { return io(kSingleWrite, g); }

  private:
    std::int32_t io(std::int32_t command, Gate& g) {
        g.io.gateText = g.text.c_str();
        g.io.value = g.slot;
        return call(command, &g.io);
    }
    VpiMainFn vpiMain_;
    std::uint32_t number_;
    alignas(8) unsigned char block_[292] = {};
};

// A rexsim process on a pty of its own, with its control socket.
class Simulator {
  public:
    Simulator(const std::string& binary, std::vector<std::string> args,
              const std::filesystem::path& dir, const std::string& name) {
        control_ = (dir / (name + ".sock")).string();
        args.insert(args.begin(), binary);
        args.push_back("--control");
        args.push_back(control_);
        int out[2];
        if (::pipe(out) != 0) {
            throw std::runtime_error("pipe");
        }
        pid_ = ::fork();
        if (pid_ == 0) {
            ::dup2(out[1], STDOUT_FILENO);
            ::close(out[0]);
            ::close(out[1]);
            std::vector<char*> argv;
            for (auto& a : args) {
                argv.push_back(a.data());
            }
            argv.push_back(nullptr);
            ::execv(binary.c_str(), argv.data());
            std::_Exit(127);
        }
        ::close(out[1]);
        // The first line is the pty slave.
        char ch;
        while (::read(out[0], &ch, 1) == 1 && ch != '\n') {
            path_ += ch;
        }
        ::close(out[0]);
        if (path_.rfind("/dev/", 0) != 0) {
            stop();
            throw std::runtime_error("rexsim did not start: '" + path_ + "'");
        }
        // The socket is made before the path is printed; wait for it anyway.
        for (int i = 0; i < 200 && !std::filesystem::exists(control_); ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    }
    ~Simulator() { stop(); }
    Simulator(const Simulator&) = delete;
    Simulator& operator=(const Simulator&) = delete;

    // The port name as the driver takes it: "pts/N" (at most 11 characters).
    std::string portName() const { return path_.substr(std::strlen("/dev/")); }
    const std::string& path() const { return path_; }

    // One control command, one reply line (without its newline).
    std::string command(const std::string& line) const {
        const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (fd < 0) {
            return "ERR socket";
        }
        sockaddr_un a{};
        a.sun_family = AF_UNIX;
        std::strncpy(a.sun_path, control_.c_str(), sizeof a.sun_path - 1);
        std::string reply;
        if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0) {
            const std::string msg = line + "\n";
            if (::write(fd, msg.data(), msg.size()) == static_cast<ssize_t>(msg.size())) {
                char buf[4096];
                ssize_t n;
                while ((n = ::read(fd, buf, sizeof buf)) > 0) {
                    reply.append(buf, static_cast<std::size_t>(n));
                    if (reply.find('\n') != std::string::npos) {
                        break;
                    }
                }
            }
        }
        ::close(fd);
        const std::size_t nl = reply.find('\n');
        return nl == std::string::npos ? reply : reply.substr(0, nl);
    }

    void stop() {
        if (pid_ > 0) {
            ::kill(pid_, SIGTERM);
            int status = 0;
            ::waitpid(pid_, &status, 0);
            pid_ = -1;
        }
    }

  private:
    pid_t pid_ = -1;
    std::string path_;
    std::string control_;
};

// A private current directory for the init file, left and removed on exit.
class WorkDir {
  public:
    explicit WorkDir(const std::string& name) {
        old_ = std::filesystem::current_path();
        dir_ = std::filesystem::temp_directory_path() / (name + "-" + std::to_string(::getpid()));
        std::filesystem::create_directories(dir_);
        std::filesystem::current_path(dir_);
    }
    ~WorkDir() {
        std::error_code ec;
        std::filesystem::current_path(old_, ec);
        std::filesystem::remove_all(dir_, ec);
    }
    WorkDir(const WorkDir&) = delete;
    WorkDir& operator=(const WorkDir&) = delete;
    const std::filesystem::path& path() const { return dir_; }

  private:
    std::filesystem::path old_, dir_;
};

// The value a successful read stores for a value text: hh.mm.ss becomes
// the number hhmmss, anything else is read as a decimal number.
inline float DecodeValueText(const std::string& text) {
    if (text.size() >= 6 && text[2] == '.' && text[5] == '.') {
        unsigned h = 0, m = 0, s = 0;
        if (std::sscanf(text.c_str(), "%02u.%02u.%02u", &h, &m, &s) == 3) {
            return static_cast<float>(h * 10000.0 + m * 100.0 + s);
        }
        return std::nanf("");
    }
    return std::strtof(text.c_str(), nullptr);
}

inline double SecondsSince(std::chrono::steady_clock::time_point t0) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

inline int OpenDescriptors() {
    int n = 0;
    for (auto it = std::filesystem::directory_iterator("/proc/self/fd");
         it != std::filesystem::directory_iterator(); ++it) {
        ++n;
    }
    return n - 1; // the iterator's own descriptor
}

} // namespace simhost
