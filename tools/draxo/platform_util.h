// The few operating-system services the tool needs, for Linux and Windows.
#pragma once

#include <filesystem>
#include <string>

namespace draxo::tool {

// The folder of the running executable.
std::filesystem::path executableDir();

// A fresh private directory under the system's temporary folder; removed
// with everything in it when the object goes.
class TempDir {
  public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::filesystem::path& path() const { return path_; }

  private:
    std::filesystem::path path_;
};

// Changes the process's current directory for the lifetime of the object.
class ScopedChdir {
  public:
    explicit ScopedChdir(const std::filesystem::path& dir);
    ~ScopedChdir();
    ScopedChdir(const ScopedChdir&) = delete;
    ScopedChdir& operator=(const ScopedChdir&) = delete;

  private:
    std::filesystem::path previous_;
};

// A Windows console shows our UTF-8 text (the banner's box) as such.
void prepareConsole();

bool stdoutIsTerminal();
// Turns on ANSI sequences in a Windows console; true on other systems.
bool enableAnsi();

// Ctrl-C: the first one sets a flag that the loops watch; a second one
// ends the process the usual way.
void installInterruptHandler();
bool interrupted();

// Sleeps up to ms, waking early on Ctrl-C.
void sleepInterruptible(unsigned ms);

} // namespace draxo::tool
