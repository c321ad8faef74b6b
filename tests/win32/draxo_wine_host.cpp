// A 32-bit host for DRAXO.dll, run under wine by the native test suite.
// It loads the driver the way a host application does (LoadLibraryA from
// its own folder, VpiMain by GetProcAddress), receives the driver's log
// messages through korvan, prints one line per check and a closing line
// "N passed, M failed", and exits 0 only when nothing failed.
//
//   draxo_wine_host.exe            identification and dispatch
//   draxo_wine_host.exe port COMn  port lifecycle on COMn
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "host/records.h"
#include "instance/instance_block.h"
#include "korvan.h"

namespace {

using draxo::ColdStartParams;
using draxo::InstanceBlock;
using draxo::VpiCallBlock;
using draxo::VpiInfo;

using VpiMainFn = std::int32_t(__cdecl*)(VpiCallBlock*);

struct Message {
    std::int32_t cls;
    std::string text;
};

std::vector<Message> g_messages;
int g_passed = 0;
int g_failed = 0;

void sink(std::int32_t messageClass, const char* text, void*) {
    g_messages.push_back({messageClass, text != nullptr ? text : ""});
}

bool check(bool ok, const std::string& what) {
    std::printf("%s %s\n", ok ? "ok  " : "FAIL", what.c_str());
    ++(ok ? g_passed : g_failed);
    return ok;
}

void dumpMessages() {
    for (const Message& m : g_messages) {
        std::printf("       [%d] %s\n", static_cast<int>(m.cls), m.text.c_str());
    }
}

bool hasMessage(std::int32_t cls, const std::string& text) {
    for (const Message& m : g_messages) {
        if (m.cls == cls && m.text == text) {
            return true;
        }
    }
    return false;
}

int finish() {
    std::printf("%d passed, %d failed\n", g_passed, g_failed);
    std::fflush(stdout);
    return g_failed == 0 ? 0 : 1;
}

VpiMainFn loadDriver() {
    char path[MAX_PATH];
    const DWORD n = GetModuleFileNameA(nullptr, path, MAX_PATH);
    if (n == 0 || n >= MAX_PATH) {
        check(false, "own path from GetModuleFileNameA");
        return nullptr;
    }
    std::string dll(path, n);
    const std::size_t slash = dll.find_last_of("\\/");
    dll = (slash == std::string::npos ? std::string() : dll.substr(0, slash + 1)) + "DRAXO.dll";

    HMODULE module = LoadLibraryA(dll.c_str());
    if (!check(module != nullptr, "LoadLibraryA " + dll)) {
        std::printf("       GetLastError %lu\n", static_cast<unsigned long>(GetLastError()));
        return nullptr;
    }
    auto fn =
        reinterpret_cast<VpiMainFn>(reinterpret_cast<void*>(GetProcAddress(module, "VpiMain")));
    check(fn != nullptr, "GetProcAddress VpiMain");
    return fn;
}

std::string expectedNameBlock() {
    std::string s = "R.K.C., REX-series";
    s += '\0';
    s += "REX-P200 series controllers and compatibles";
    s += '\0';
    s += '\0';
    return s; // 19 + 44 + 1 = 64 bytes
}

std::string expectedBanner() {
    const std::string rule(71, '\xCD');
    const std::string line =
        " DRAXO:  R K C ,  R E X - series  controllers          (32-bit driver) ";
    std::string s = "\x08";
    s += "\xC9" + rule + "\xBB\n";
    s += "\xBA" + line + "\xBA\n";
    s += "\xC8" + rule + "\xBC";
    s += '\0';
    return s; // 222 characters and the NUL
}

void identification(VpiMainFn vpiMain) {
    // GetVpiInfo: every byte of the record written, the instance not read.
    VpiInfo info;
    std::memset(&info, 0xA5, sizeof info);
    VpiCallBlock call{nullptr, 14, 0, 0, &info};
    g_messages.clear();
    check(vpiMain(&call) == 0, "GetVpiInfo returns 0 with a null instance");
    check(info.word0 == 70, "VpiInfo word 0 is 70");
    check(info.instanceSize == 292, "VpiInfo instance size is 292");
    check(info.word4 == 4, "VpiInfo word 4 is 4");
    check(info.defaultLine.baud == 9600 && info.defaultLine.dataBits == 8 &&
              info.defaultLine.stopBits == 0 && info.defaultLine.parity == 0,
          "VpiInfo default line 9600/8/0/0");
    check(info.word7 == 0, "VpiInfo last word is 0");

    const std::string name = expectedNameBlock();
    check(name.size() == 64, "expected name block is 64 bytes");
    check(info.name != nullptr && std::memcmp(info.name, name.data(), name.size()) == 0,
          "name block, 64 bytes");

    const std::string banner = expectedBanner();
    check(banner.size() == 223, "expected banner is 223 bytes");
    check(info.banner != nullptr && std::strlen(info.banner) == banner.size() - 1 &&
              std::memcmp(info.banner, banner.data(), banner.size()) == 0,
          "banner, 222 bytes and the NUL");

    if (!check(g_messages.size() == 1 && g_messages[0].cls == 8 &&
                   g_messages[0].text == "DRAXO> GetVpiInfo() exited",
               "GetVpiInfo logs class 8 \"DRAXO> GetVpiInfo() exited\" once")) {
        dumpMessages();
    }

    // Dispatch through the DLL boundary: codes outside the table, empty
    // slots and the unsupported block commands.
    struct Case {
        std::int32_t command;
        std::int32_t result;
        const char* message; // class 32, or none
    };
    const Case cases[] = {
        {0, 2, "DRAXO> Exited VpiMain() #1"},
        {17, 2, "DRAXO> Exited VpiMain() #1"},
        {8, 2, "DRAXO> Exited VpiMain() #2"},
        {16, 2, "DRAXO> Exited VpiMain() #2"},
        {4, 1, nullptr},
        {10, 1, nullptr},
    };
    for (const Case& c : cases) {
        VpiCallBlock bad{nullptr, c.command, 0, 0, nullptr};
        g_messages.clear();
        const std::int32_t r = vpiMain(&bad);
        const std::string what = "command " + std::to_string(c.command);
        check(r == c.result,
              what + " returns " + std::to_string(c.result) + " (got " + std::to_string(r) + ")");
        bool logged = c.message == nullptr ? g_messages.empty()
                                           : g_messages.size() == 1 && g_messages[0].cls == 32 &&
                                                 g_messages[0].text == c.message;
        if (!check(logged, what + (c.message == nullptr
                                       ? " logs nothing"
                                       : std::string(" logs class 32 \"") + c.message + "\""))) {
            dumpMessages();
        }
    }
}

std::uint32_t handleOf(const unsigned char* block) {
    std::uint32_t h;
    std::memcpy(&h, block + 4, sizeof h); // the handle lives in bytes 4..7
    return h;
}

std::int32_t run(VpiMainFn vpiMain, unsigned char* block, std::int32_t command, void* params) {
    VpiCallBlock call{reinterpret_cast<InstanceBlock*>(block), command, 0, 0, params};
    g_messages.clear();
    return vpiMain(&call);
}

void portLifecycle(VpiMainFn vpiMain, const std::string& port) {
    static_assert(offsetof(InstanceBlock, handle) == 4);

    // The init file is read from the current directory.
    std::FILE* f = std::fopen("DRAXO.INT", "w");
    if (!check(f != nullptr, "write DRAXO.INT in the current directory")) {
        return;
    }
    std::fputs("1 = P200\n", f);
    std::fclose(f);

    // Host memory is not cleared before ColdStart.
    alignas(4) unsigned char block[draxo::kInstanceSize];
    std::memset(block, 0xCC, sizeof block);

    ColdStartParams p{};
    std::memcpy(p.portName, port.c_str(), port.size() + 1);
    p.openPort = 1;
    p.replyTimeout = 10;
    p.line = draxo::LineParams{9600, 8, 0, 0};

    std::int32_t r = run(vpiMain, block, 1, &p);
    bool ok = check(r == 0, "ColdStart " + port + " returns 0 (got " + std::to_string(r) + ")");
    ok &= check(handleOf(block) != 0, "ColdStart leaves a handle in the instance block");
    ok &= check(hasMessage(32, "Station 1 = P200"), "ColdStart read DRAXO.INT");
    ok &= check(hasMessage(32, "DRAXO> ColdStart() exited, 0"), "ColdStart logs its exit");
    if (!ok) {
        dumpMessages();
    }

    struct Step {
        const char* name;
        std::int32_t command;
        bool open; // a handle afterwards
        const char* message;
    };
    const Step steps[] = {
        {"CloseCom", 12, false, "DRAXO> CloseCom() exited 0"},
        {"ReOpenCom", 13, true, "DRAXO> ReOpenCom() exited 0"},
        {"CloseCom again", 12, false, "DRAXO> CloseCom() exited 0"},
    };
    for (const Step& s : steps) {
        r = run(vpiMain, block, s.command, nullptr);
        ok = check(r == 0, std::string(s.name) + " returns 0 (got " + std::to_string(r) + ")");
        ok &= check((handleOf(block) != 0) == s.open,
                    std::string(s.name) + (s.open ? " leaves a handle" : " clears the handle"));
        ok &= check(hasMessage(8, s.message), std::string(s.name) + " logs \"" + s.message + "\"");
        if (!ok) {
            dumpMessages();
        }
    }
    std::remove("DRAXO.INT");
}

int usage() {
    std::fprintf(stderr, "usage: draxo_wine_host.exe [port COMn]\n");
    return 2;
}

} // namespace

int main(int argc, char** argv) {
    std::setvbuf(stdout, nullptr, _IONBF, 0);
    std::string port;
    if (argc == 3 && std::strcmp(argv[1], "port") == 0) {
        port = argv[2];
        if (port.empty() || port.size() >= draxo::kPortNameSize) {
            return usage();
        }
    } else if (argc != 1) {
        return usage();
    }

    korvan_set_sink(sink, nullptr);
    const VpiMainFn vpiMain = loadDriver();
    if (vpiMain != nullptr) {
        if (port.empty()) {
            identification(vpiMain);
        } else {
            portLifecycle(vpiMain, port);
        }
    }
    return finish();
}
