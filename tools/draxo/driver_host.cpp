#include "driver_host.h"

#include <cstring>
#include <fstream>

#if defined(_WIN32)
#include <windows.h>
#else
#include <dlfcn.h>
#endif

#include "platform_util.h"

namespace draxo::tool {

namespace fs = std::filesystem;

namespace {

constexpr std::size_t kLogKeep = 2000;

#if defined(_WIN32)
constexpr const char* kDriverFile = "DRAXO.dll";
constexpr const char* kKorvanFile = "KORVAN.dll";

std::string lastSystemError() {
    DWORD code = GetLastError();
    char buf[256] = {};
    FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code, 0,
                   buf, sizeof buf, nullptr);
    std::string s(buf);
    while (!s.empty() && (s.back() == '\n' || s.back() == '\r')) {
        s.pop_back();
    }
    return s + " (error " + std::to_string(code) + ")";
}

void* openLibrary(const fs::path& p, std::string& why) {
    // The altered search path lets DRAXO.dll find KORVAN.dll in its own folder.
    HMODULE h = LoadLibraryExA(p.string().c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
    if (h == nullptr) {
        why = lastSystemError();
    }
    return reinterpret_cast<void*>(h);
}

void* symbol(void* lib, const char* name) {
    return reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(lib), name));
}

void closeLibrary(void* lib) {
    FreeLibrary(static_cast<HMODULE>(lib));
}
#else
constexpr const char* kDriverFile = "libdraxo.so";
constexpr const char* kKorvanFile = "libkorvan.so";

void* openLibrary(const fs::path& p, std::string& why) {
    void* h = dlopen(p.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (h == nullptr) {
        const char* e = dlerror();
        why = e != nullptr ? e : "unknown error";
    }
    return h;
}

void* symbol(void* lib, const char* name) {
    return dlsym(lib, name);
}

void closeLibrary(void* lib) {
    dlclose(lib);
}
#endif

// korvan calls this for every message of the driver.
void onDriverMessage(std::int32_t messageClass, const char* text, void* context) {
    static_cast<DriverLog*>(context)->add(messageClass, text);
}

std::string cp437ToUtf8(const char* text) {
    std::string out;
    for (const unsigned char* p = reinterpret_cast<const unsigned char*>(text); *p != 0; ++p) {
        switch (*p) {
        case 0x08: // a backspace in front of the box; nothing to draw
            break;
        case 0xC9:
            out += "\u2554";
            break;
        case 0xBB:
            out += "\u2557";
            break;
        case 0xC8:
            out += "\u255A";
            break;
        case 0xBC:
            out += "\u255D";
            break;
        case 0xCD:
            out += "\u2550";
            break;
        case 0xBA:
            out += "\u2551";
            break;
        default:
            if (*p < 0x80) {
                out += static_cast<char>(*p);
            } else {
                out += '?';
            }
        }
    }
    return out;
}

} // namespace

void DriverLog::add(std::int32_t messageClass, const char* text) {
    LogLine line{std::chrono::system_clock::now(), messageClass, text != nullptr ? text : ""};
    std::function<void(const LogLine&)> listener;
    {
        std::lock_guard lock(mutex_);
        lines_.push_back(line);
        if (lines_.size() > kLogKeep) {
            lines_.pop_front();
            ++first_;
        }
        listener = listener_;
    }
    if (listener) {
        listener(line);
    }
}

std::uint64_t DriverLog::mark() const {
    std::lock_guard lock(mutex_);
    return first_ + lines_.size();
}

std::vector<LogLine> DriverLog::since(std::uint64_t mark) const {
    std::lock_guard lock(mutex_);
    std::vector<LogLine> out;
    std::uint64_t from = mark < first_ ? first_ : mark;
    for (std::uint64_t i = from; i < first_ + lines_.size(); ++i) {
        out.push_back(lines_[static_cast<std::size_t>(i - first_)]);
    }
    return out;
}

void DriverLog::setListener(std::function<void(const LogLine&)> listener) {
    std::lock_guard lock(mutex_);
    listener_ = std::move(listener);
}

fs::path DriverLibrary::defaultPath() {
    return executableDir() / kDriverFile;
}

DriverLibrary::DriverLibrary(const fs::path& path, DriverLog& log)
    : path_(path.empty() ? defaultPath() : path) {
    std::string why;
    // korvan first, from the driver's folder, so that the driver binds to
    // this very copy and our sink sees its messages.
    fs::path korvanPath = path_.parent_path() / kKorvanFile;
    if (fs::exists(korvanPath)) {
        korvan_ = openLibrary(korvanPath, why);
    }
    driver_ = openLibrary(path_, why);
    if (driver_ == nullptr) {
        if (korvan_ != nullptr) {
            closeLibrary(korvan_);
        }
        throw UsageError{"cannot load the driver " + path_.string() + ": " + why +
                         " (use --driver PATH)"};
    }
    vpiMain_ = reinterpret_cast<VpiMainFn>(symbol(driver_, "VpiMain"));
    if (vpiMain_ == nullptr) {
        closeLibrary(driver_);
        if (korvan_ != nullptr) {
            closeLibrary(korvan_);
        }
        throw UsageError{path_.string() + " exports no VpiMain: not a DRAXO driver"};
    }
    void* setSink = korvan_ != nullptr ? symbol(korvan_, "korvan_set_sink") : nullptr;
#if !defined(_WIN32)
    if (setSink == nullptr) {
        setSink = symbol(driver_, "korvan_set_sink");
    }
#else
    if (setSink == nullptr) {
        HMODULE k = GetModuleHandleA(kKorvanFile);
        if (k != nullptr) {
            setSink = reinterpret_cast<void*>(GetProcAddress(k, "korvan_set_sink"));
        }
    }
#endif
    setSink_ = reinterpret_cast<void (*)(SinkFn, void*)>(setSink);
    if (setSink_ != nullptr) {
        setSink_(onDriverMessage, &log);
    }
}

DriverLibrary::~DriverLibrary() {
    if (setSink_ != nullptr) {
        setSink_(nullptr, nullptr);
    }
    // The driver stays mapped: it runs no code of its own on unload, and a
    // port left open by a failed close would otherwise lose its owner.
}

std::int32_t DriverLibrary::call(VpiCallBlock& block) {
    return vpiMain_(&block);
}

DriverInfo getDriverInfo(DriverLibrary& lib) {
    DriverInfo info;
    VpiCallBlock block{};
    block.command = kGetVpiInfo;
    block.params = &info.raw;
    info.result = lib.call(block);
    if (info.raw.name != nullptr) {
        info.vendor = info.raw.name;
        info.product = info.raw.name + info.vendor.size() + 1;
    }
    if (info.raw.banner != nullptr) {
        info.banner = cp437ToUtf8(info.raw.banner);
    }
    return info;
}

Instance::Instance(DriverLibrary& lib, DriverLog& log, std::uint32_t instanceSize,
                   std::uint32_t instanceNumber)
    : lib_(lib), log_(log), block_((instanceSize + 7) / 8 + 1, 0), instanceNumber_(instanceNumber) {
    if (instanceSize < 8 || instanceSize > (1u << 20)) {
        throw UsageError{"the driver asks for an instance block of " +
                         std::to_string(instanceSize) + " bytes, which makes no sense"};
    }
}

CallOutcome Instance::run(std::int32_t command, void* params) {
    VpiCallBlock block{};
    block.instance = reinterpret_cast<InstanceBlock*>(block_.data());
    block.command = command;
    block.instanceNumber = instanceNumber_;
    block.params = params;
    auto mark = log_.mark();
    CallOutcome out;
    out.when = std::chrono::system_clock::now();
    auto t0 = std::chrono::steady_clock::now();
    out.result = lib_.call(block);
    out.ms =
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count();
    if (out.result != 0) {
        out.detail = tellingMessage(mark);
    }
    return out;
}

std::string Instance::tellingMessage(std::uint64_t mark) const {
    // The last message but the read/write summary, without the prefix.
    auto lines = log_.since(mark);
    for (auto it = lines.rbegin(); it != lines.rend(); ++it) {
        if (it->text.find(", ret val is") != std::string::npos) {
            continue;
        }
        std::string t = it->text;
        if (t.rfind("DRAXO> ", 0) == 0) {
            t.erase(0, 7);
        }
        return t;
    }
    return {};
}

CallOutcome Instance::coldStart(const ColdStartParams& params, const std::string& initText) {
    TempDir dir;
    char name[32];
    std::snprintf(name, sizeof name, "DRAXO%02u.INT", instanceNumber_);
    {
        std::ofstream f(dir.path() / name, std::ios::binary);
        f << initText;
        if (!f) {
            throw UsageError{"cannot write the init file in " + dir.path().string()};
        }
    }
    ColdStartParams p = params;
    ScopedChdir here(dir.path());
    return run(kColdStart, &p);
}

CallOutcome Instance::closeCom() {
    return run(kCloseCom, nullptr);
}
CallOutcome Instance::reOpenCom() {
    return run(kReOpenCom, nullptr);
}

CallOutcome Instance::endVpi() {
    if (ended_) {
        return {};
    }
    ended_ = true;
    return run(kEndVpi, nullptr);
}

void Instance::parse(Gate& gate) {
    if (gate.gtid == 0) {
        gate.gtid = nextGtid_++;
    }
    for (std::uint32_t type : {kGateTypeFloat, 0u}) {
        GateAddressRequest r{};
        r.addressText = gate.entry.address.c_str();
        r.gateType = type;
        auto out = run(kSingleAddressParser, &r);
        gate.parsed = r.parsed;
        gate.gateType = type;
        if (out.result == 0) {
            gate.usable = true;
            gate.refusal.clear();
            return;
        }
        gate.usable = false;
        gate.refusal = out.detail.empty() ? "refused by the driver" : out.detail;
        if (type != kGateTypeFloat || r.parsed.widthBits != 16) {
            return;
        }
    }
}

CallOutcome Instance::read(Gate& gate) {
    GateIoRequest q{};
    q.gateText = gate.label().c_str();
    q.parsed = gate.parsed;
    q.gtid = gate.gtid;
    q.value = gate.slot;
    auto out = run(kSingleRead, &q);
    if (out.result != 0 && out.detail.empty() && handle() == 0) {
        out.detail = "no port open";
    }
    return out;
}

CallOutcome Instance::write(Gate& gate, const unsigned char* value) {
    unsigned char slot[4];
    std::memcpy(slot, value, sizeof slot);
    GateIoRequest q{};
    q.gateText = gate.label().c_str();
    q.parsed = gate.parsed;
    q.gtid = gate.gtid;
    q.value = slot;
    auto out = run(kSingleWrite, &q);
    if (out.result != 0 && out.detail.empty() && handle() == 0) {
        out.detail = "no port open";
    }
    return out;
}

std::uint32_t Instance::handle() const {
    std::uint32_t h;
    std::memcpy(&h, reinterpret_cast<const unsigned char*>(block_.data()) + 4, sizeof h);
    return h;
}

} // namespace draxo::tool
