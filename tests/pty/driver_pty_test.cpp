// The shared library as a host sees it: loaded with dlopen, called through
// VpiMain only, its log received through korvan, on a real pty.
#include <gtest/gtest.h>

#include <dlfcn.h>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "host/records.h"
#include "korvan.h"

namespace {

using draxo::ColdStartParams;
using draxo::GateAddressRequest;
using draxo::GateIoRequest;
using draxo::VpiCallBlock;
using VpiMainFn = std::int32_t (*)(VpiCallBlock*);

std::uint8_t Bcc(const std::string& s) {
    std::uint8_t b = 0;
    for (char c : s) {
        b ^= static_cast<std::uint8_t>(c);
    }
    return b;
}

// A controller on the master side of a pty: answers polls from a table of
// values keyed by the request text, and acknowledges writes into it.
class ScriptedController {
  public:
    ScriptedController() {
        int slave = -1;
        if (::openpty(&master_, &slave, nullptr, nullptr, nullptr) != 0) {
            return;
        }
        termios t{};
        ::tcgetattr(slave, &t);
        ::cfmakeraw(&t);
        ::tcsetattr(slave, TCSANOW, &t);
        slaveName_ = ::ttyname(slave);
        slave_ = slave; // held so that the line survives the driver's close
        thread_ = std::thread([this] { loop(); });
    }
    ~ScriptedController() {
        stop_ = true;
        if (thread_.joinable()) {
            thread_.join();
        }
        ::close(master_);
        ::close(slave_);
    }
    // The port name as the driver takes it: "pts/N".
    std::string portName() const { return slaveName_.substr(std::strlen("/dev/")); }
    void set(const std::string& text, const std::string& value) {
        std::lock_guard lock(mutex_);
        values_[text] = value;
    }
    std::string get(const std::string& text) {
        std::lock_guard lock(mutex_);
        return values_[text];
    }
    // Bytes the line delivers without being asked.
    void inject(const std::string& bytes) { write(bytes); }
    std::vector<std::string> requests() {
        std::lock_guard lock(mutex_);
        return requests_;
    }

  private:
    void loop() {
        std::string in;
        while (!stop_) {
            pollfd p{master_, POLLIN, 0};
            if (::poll(&p, 1, 20) <= 0) {
                continue;
            }
            char buf[256];
            const ssize_t n = ::read(master_, buf, sizeof buf);
            if (n <= 0) {
                continue;
            }
            in.append(buf, static_cast<std::size_t>(n));
            handle(in);
        }
    }
    void handle(std::string& in) {
        for (;;) {
            const std::size_t eot = in.find('\x04');
            if (eot == std::string::npos) {
                in.clear();
                return;
            }
            in.erase(0, eot);
            if (in.size() < 2) {
                return;
            }
            if (in.size() == 1 || in[1] == '\x04') {
                in.erase(0, 1); // the EOT that ends a link
                continue;
            }
            const std::size_t enq = in.find('\x05');
            const std::size_t etx = in.find('\x03');
            if (enq != std::string::npos && (etx == std::string::npos || enq < etx)) {
                const std::string text = in.substr(3, enq - 3);
                record(in.substr(0, enq + 1));
                if (in.compare(1, 2, "01") != 0) {
                    in.erase(0, enq + 1); // only station 1 is on this line
                    continue;
                }
                std::string value;
                {
                    std::lock_guard lock(mutex_);
                    value = values_[text];
                }
                const std::string block = text + value + "\x03";
                const std::string reply = "\x02" + block + static_cast<char>(Bcc(block));
                write(reply);
                in.erase(0, enq + 1);
                continue;
            }
            if (etx != std::string::npos && in.size() > etx + 1) {
                const std::string block = in.substr(4, etx - 3);
                record(in.substr(0, etx + 2));
                const bool bccOk = static_cast<std::uint8_t>(in[etx + 1]) == Bcc(block);
                if (bccOk) {
                    std::lock_guard lock(mutex_);
                    written_.push_back(block.substr(0, block.size() - 1));
                }
                write(bccOk ? "\x06" : "\x15");
                in.erase(0, etx + 2);
                continue;
            }
            return; // incomplete
        }
    }
    void record(const std::string& request) {
        std::lock_guard lock(mutex_);
        requests_.push_back(request);
    }
    void write(const std::string& bytes) {
        const ssize_t n = ::write(master_, bytes.data(), bytes.size());
        (void)n;
    }

    int master_ = -1;
    int slave_ = -1;
    std::string slaveName_;
    std::thread thread_;
    std::atomic<bool> stop_{false};
    std::mutex mutex_;
    std::map<std::string, std::string> values_;
    std::vector<std::string> requests_;

  public:
    std::vector<std::string> written_;
};

struct Log {
    std::mutex mutex;
    std::vector<std::pair<int, std::string>> messages;
    static void Sink(std::int32_t cls, const char* text, void* context) {
        auto* self = static_cast<Log*>(context);
        std::lock_guard lock(self->mutex);
        self->messages.emplace_back(cls, text);
    }
};

class DriverOverPty : public ::testing::Test {
  protected:
    void SetUp() override {
        library_ = ::dlopen(DRAXO_LIBRARY, RTLD_NOW | RTLD_LOCAL);
        ASSERT_NE(library_, nullptr) << ::dlerror();
        vpiMain_ = reinterpret_cast<VpiMainFn>(::dlsym(library_, "VpiMain"));
        ASSERT_NE(vpiMain_, nullptr);
        korvan_set_sink(&Log::Sink, &log_);

        old_ = std::filesystem::current_path();
        dir_ = std::filesystem::temp_directory_path() / ("draxo-pty-" + std::to_string(::getpid()));
        std::filesystem::create_directories(dir_);
        std::filesystem::current_path(dir_);
        std::ofstream(dir_ / "DRAXO.INT") << "1 = P200\n2 = P200\n";
    }
    void TearDown() override {
        if (vpiMain_ != nullptr) {
            call(12);
        }
        korvan_set_sink(nullptr, nullptr);
        std::filesystem::current_path(old_);
        std::filesystem::remove_all(dir_);
        if (library_ != nullptr) {
            ::dlclose(library_);
        }
    }
    std::int32_t call(std::int32_t command, void* params = nullptr) {
        VpiCallBlock c{};
        c.instance = reinterpret_cast<draxo::InstanceBlock*>(block_);
        c.command = command;
        c.instanceNumber = 1;
        c.params = params;
        return vpiMain_(&c);
    }
    std::int32_t coldStart(const std::string& port) {
        ColdStartParams p{};
        std::strncpy(p.portName, port.c_str(), sizeof p.portName - 1);
        p.openPort = 1;
        p.replyTimeout = 20;
        p.line = draxo::LineParams{9600, 8, 0, 0};
        return call(1, &p);
    }
    GateIoRequest gate(const char* text, std::uint32_t gateType) {
        GateAddressRequest r{};
        r.addressText = text;
        r.gateType = gateType;
        EXPECT_EQ(call(3, &r), 0) << text;
        GateIoRequest q{};
        q.gateText = text;
        q.parsed = r.parsed;
        q.value = slot_;
        return q;
    }
    float slotFloat() const {
        float v;
        std::memcpy(&v, slot_, 4);
        return v;
    }
    void setSlotFloat(float v) { std::memcpy(slot_, &v, 4); }

    void* library_ = nullptr;
    VpiMainFn vpiMain_ = nullptr;
    Log log_;
    alignas(8) unsigned char block_[292] = {};
    unsigned char slot_[4] = {};
    std::filesystem::path old_, dir_;
};

TEST_F(DriverOverPty, ReadsAndWritesEveryPrefixGroup) {
    ScriptedController controller;
    ASSERT_EQ(coldStart(controller.portName()), 0);

    struct Case {
        const char* gate;
        const char* request; // what the controller sees between address and ENQ
        const char* value;   // what it answers
        float read;
        float write;
        const char* sent; // the value text of the write
    };
    const Case cases[] = {
        {"01S1", "S1", "0150.0", 150.0f, 80.0f, "000080"},
        {"01TR", "TR", "00.09.45", 945.0f, 1030.0f, "00.10.30"},
        {"01RR", "PN00RR", "0002.0", 2.0f, 3.0f, "000003"},
        {"01TM", "PN00SN00TM", "01.00.00", 10000.0f, 3000.0f, "00.30.00"},
        {"01RE", "PN00TN00RE", "0001.0", 1.0f, 0.0f, "000000"},
        {"01P1", "PO00P1", "0030.0", 30.0f, 25.0f, "000025"},
        {"01A1", "AN00A1", "-010.0", -10.0f, -20.0f, "-00020"},
    };
    for (const Case& c : cases) {
        controller.set(c.request, c.value);
        GateIoRequest q = gate(c.gate, 3);
        setSlotFloat(-777.0f);
        EXPECT_EQ(call(5, &q), 0) << c.gate;
        EXPECT_EQ(slotFloat(), c.read) << c.gate;

        setSlotFloat(c.write);
        EXPECT_EQ(call(7, &q), 0) << c.gate;
    }
    std::vector<std::string> expectedWrites;
    for (const Case& c : cases) {
        expectedWrites.push_back(std::string(c.request) + c.sent);
    }
    EXPECT_EQ(controller.written_, expectedWrites);
}

TEST_F(DriverOverPty, SegmentGateChangesTheNextRequest) {
    ScriptedController controller;
    ASSERT_EQ(coldStart(controller.portName()), 0);
    GateIoRequest pn = gate("0125", 0);
    const std::uint16_t four = 4;
    std::memcpy(slot_ + 2, &four, 2);
    ASSERT_EQ(call(7, &pn), 0);

    controller.set("PN04SN00LE", "0200.0");
    GateIoRequest le = gate("01LE", 3);
    EXPECT_EQ(call(5, &le), 0);
    EXPECT_EQ(slotFloat(), 200.0f);
    ASSERT_FALSE(controller.requests().empty());
    EXPECT_EQ(controller.requests().back(), "\x04"
                                            "01PN04SN00LE\x05");
}

TEST_F(DriverOverPty, AStationThatNeverAnswersCostsFourTimeouts) {
    ScriptedController controller;
    ASSERT_EQ(coldStart(controller.portName()), 0);
    GateIoRequest q = gate("02M1", 3); // declared, but nobody answers for 02
    setSlotFloat(-777.0f);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(call(5, &q), 2);
    const auto elapsed = std::chrono::steady_clock::now() - start;
    EXPECT_GE(elapsed, std::chrono::milliseconds(4 * 200));
    EXPECT_LT(elapsed, std::chrono::milliseconds(4 * 200 + 2000));
    EXPECT_EQ(slotFloat(), -777.0f);
    std::lock_guard lock(log_.mutex);
    EXPECT_EQ(log_.messages.back(),
              (std::pair<int, std::string>{32, "DRAXO> SingleRead() , ret val is 2"}));
}

TEST_F(DriverOverPty, StaleInputIsDrainedBeforeEachRequest) {
    ScriptedController controller;
    ASSERT_EQ(coldStart(controller.portName()), 0);
    controller.set("M1", "0025.0");
    GateIoRequest q = gate("01M1", 3);
    // A complete, well-formed frame that nobody asked for: were it left in
    // the input, the read would take it for its reply.
    const std::string stale = std::string("M10099.0") + "\x03";
    controller.inject("\x02" + stale + static_cast<char>(Bcc(stale)));
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(call(5, &q), 0);
    EXPECT_EQ(slotFloat(), 25.0f);

    controller.inject(std::string(3000, 'x'));
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(call(2), 0); // WarmStart drains it
    setSlotFloat(-1.0f);
    log_.messages.clear();
    EXPECT_EQ(call(5, &q), 0);
    EXPECT_EQ(slotFloat(), 25.0f);
}

TEST_F(DriverOverPty, TheDriversMessagesReachKorvanAndTheProcessGoesOn) {
    EXPECT_EQ(call(0), 2);
    std::lock_guard lock(log_.mutex);
    ASSERT_FALSE(log_.messages.empty());
    EXPECT_EQ(log_.messages.back(),
              (std::pair<int, std::string>{32, "DRAXO> Exited VpiMain() #1"}));
}

TEST_F(DriverOverPty, ThePortIsHeldExclusively) {
    ScriptedController controller;
    ASSERT_EQ(coldStart(controller.portName()), 0);
    ASSERT_EQ(call(13), 2); // reopening a held port fails
    ASSERT_EQ(call(12), 0);
    ASSERT_EQ(call(13), 0);
}

} // namespace
