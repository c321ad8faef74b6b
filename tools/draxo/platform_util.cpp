#include "platform_util.h"

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <random>
#include <system_error>
#include <thread>

#if defined(_WIN32)
#include <io.h>
#include <windows.h>
#else
#include <unistd.h>
#endif

#include "gates.h"

namespace draxo::tool {

namespace fs = std::filesystem;

fs::path executableDir() {
#if defined(_WIN32)
    char buf[MAX_PATH];
    DWORD n = GetModuleFileNameA(nullptr, buf, sizeof buf);
    if (n == 0 || n >= sizeof buf) {
        return fs::current_path();
    }
    return fs::path(std::string(buf, n)).parent_path();
#else
    std::error_code ec;
    auto p = fs::read_symlink("/proc/self/exe", ec);
    if (ec) {
        return fs::current_path();
    }
    return p.parent_path();
#endif
}

TempDir::TempDir() {
    std::random_device rd;
    auto base = fs::temp_directory_path();
    for (int attempt = 0; attempt < 100; ++attempt) {
        auto candidate = base / ("draxo-" + std::to_string(rd()) + "-" + std::to_string(rd()));
        std::error_code ec;
        if (fs::create_directory(candidate, ec)) {
#if !defined(_WIN32)
            fs::permissions(candidate, fs::perms::owner_all, fs::perm_options::replace, ec);
#endif
            path_ = candidate;
            return;
        }
    }
    throw UsageError{"cannot make a temporary folder under " + base.string()};
}

TempDir::~TempDir() {
    std::error_code ec;
    fs::remove_all(path_, ec);
}

ScopedChdir::ScopedChdir(const fs::path& dir) : previous_(fs::current_path()) {
    fs::current_path(dir);
}

ScopedChdir::~ScopedChdir() {
    std::error_code ec;
    fs::current_path(previous_, ec);
}

void prepareConsole() {
#if defined(_WIN32)
    SetConsoleOutputCP(CP_UTF8);
#endif
}

bool stdoutIsTerminal() {
#if defined(_WIN32)
    return _isatty(_fileno(stdout)) != 0;
#else
    return isatty(STDOUT_FILENO) != 0;
#endif
}

bool enableAnsi() {
#if defined(_WIN32)
    HANDLE h = GetStdHandle(STD_OUTPUT_HANDLE);
    DWORD mode = 0;
    if (h == INVALID_HANDLE_VALUE || !GetConsoleMode(h, &mode)) {
        return false;
    }
    return SetConsoleMode(h, mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING) != 0;
#else
    return true;
#endif
}

namespace {

std::atomic<bool> g_interrupted{false};

extern "C" void onInterrupt(int sig) {
    g_interrupted.store(true);
    std::signal(sig, SIG_DFL);
}

} // namespace

void installInterruptHandler() {
    std::signal(SIGINT, onInterrupt);
#if !defined(_WIN32)
    std::signal(SIGTERM, onInterrupt);
#endif
}

bool interrupted() {
    return g_interrupted.load();
}

void sleepInterruptible(unsigned ms) {
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (!interrupted()) {
        auto now = std::chrono::steady_clock::now();
        if (now >= end) {
            break;
        }
        auto step =
            std::min<std::chrono::steady_clock::duration>(end - now, std::chrono::milliseconds(50));
        std::this_thread::sleep_for(step);
    }
}

} // namespace draxo::tool
