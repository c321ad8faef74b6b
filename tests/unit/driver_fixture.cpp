#include "driver_fixture.h"

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <ostream>

#include "entry/vpi_main.h"
#include "korvan.h"
#include "serial/link.h"

namespace draxo::test {

std::ostream& operator<<(std::ostream& os, const Message& m) {
    return os << "[" << m.cls << "] " << m.text;
}

std::string Frame(const std::string& text, int bcc) {
    std::string f = std::string(1, kStx) + text + kEtx;
    const std::uint8_t b = Bcc(f.data() + 1, f.size() - 1);
    f += static_cast<char>(bcc < 0 ? b : bcc);
    return f;
}

LogCapture::LogCapture() {
    korvan_set_sink(&LogCapture::Sink, this);
}
LogCapture::~LogCapture() {
    korvan_set_sink(nullptr, nullptr);
}

void LogCapture::Sink(std::int32_t cls, const char* text, void* context) {
    static_cast<LogCapture*>(context)->messages_.push_back(Message{cls, text});
}

std::vector<std::string> LogCapture::texts() const {
    std::vector<std::string> out;
    for (const Message& m : messages_) {
        out.push_back(m.text);
    }
    return out;
}

bool LogCapture::contains(const std::string& text) const {
    for (const Message& m : messages_) {
        if (m.text == text) {
            return true;
        }
    }
    return false;
}

TempDir::TempDir() : old_(std::filesystem::current_path()) {
    std::string pattern = (std::filesystem::temp_directory_path() / "draxo-unit-XXXXXX").string();
    const char* made = ::mkdtemp(pattern.data());
    if (made == nullptr) {
        std::abort();
    }
    dir_ = made;
    std::filesystem::current_path(dir_);
}

TempDir::~TempDir() {
    std::filesystem::current_path(old_);
    std::error_code ec;
    std::filesystem::remove_all(dir_, ec);
}

void TempDir::write(const std::string& name, const std::string& content) const {
    std::ofstream out(dir_ / name, std::ios::binary);
    out << content;
}

DriverTest::DriverTest() {
    fake::reset();
    vpiEnded = 0;
    std::memset(&block_, kGarbage, sizeof block_);
    std::memset(slot_, kGarbage, sizeof slot_);
}

DriverTest::~DriverTest() {
    vpiEnded = 0;
}

std::int32_t DriverTest::run(std::int32_t command, void* params, std::uint32_t number) {
    VpiCallBlock call{};
    call.instance = &block_;
    call.command = command;
    call.instanceNumber = number;
    call.params = params;
    return VpiMain(&call);
}

std::int32_t DriverTest::coldStart(const std::string& initFile, const std::string& port,
                                   std::uint32_t openPort, std::int32_t replyTimeout) {
    dir_.write("DRAXO.INT", initFile);
    fake::addPort(port);
    ColdStartParams p{};
    std::strncpy(p.portName, port.c_str(), sizeof p.portName - 1);
    p.openPort = openPort;
    p.replyTimeout = replyTimeout;
    p.line = LineParams{9600, 8, 0, 0};
    return run(1, &p);
}

GateAddressRequest DriverTest::parse(const std::string& text, std::uint32_t gateType) {
    texts_.push_back(text);
    GateAddressRequest r{};
    r.addressText = texts_.back().c_str();
    r.gateType = gateType;
    run(3, &r);
    return r;
}

GateIoRequest DriverTest::gate(const std::string& text) {
    GateAddressRequest r = parse(text, 3);
    if (r.parsed.widthBits == 16) {
        r = parse(text, 0);
    }
    EXPECT_NE(r.parsed.kind, 0u) << "gate " << text << " did not parse";
    texts_.push_back(text);
    GateIoRequest q{};
    q.gateText = texts_.back().c_str();
    q.parsed = r.parsed;
    q.gtid = 77;
    q.value = slot_;
    return q;
}

std::int32_t DriverTest::read(GateIoRequest& q) {
    return run(5, &q);
}
std::int32_t DriverTest::write(GateIoRequest& q) {
    return run(7, &q);
}

float DriverTest::slotFloat() const {
    float v;
    std::memcpy(&v, slot_, sizeof v);
    return v;
}

void DriverTest::setSlotFloat(float v) {
    std::memcpy(slot_, &v, sizeof v);
}

} // namespace draxo::test
