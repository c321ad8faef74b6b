#include "harness.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <unistd.h>

#include "entry/vpi_main.h"
#include "fake_line.h"
#include "korvan.h"

namespace draxo::fuzzing {

namespace {

std::filesystem::path scratchDir;

void DropMessage(std::int32_t, const char*, void*) {}

// Memory-backed when the machine has it: every input writes a file there,
// and on a disk that costs more than the driver's whole work.
std::filesystem::path ScratchParent() {
    std::error_code ec;
    if (std::getenv("TMPDIR") == nullptr && std::filesystem::is_directory("/dev/shm", ec) &&
        ::access("/dev/shm", W_OK) == 0) {
        return "/dev/shm";
    }
    return std::filesystem::temp_directory_path();
}

void RemoveScratchDir() {
    std::error_code ec;
    std::filesystem::remove_all(scratchDir, ec);
}

} // namespace

void Fail(const char* file, int line, const char* condition) {
    std::fprintf(stderr, "%s:%d: check failed: %s\n", file, line, condition);
    std::abort();
}

void Setup() {
    static bool done = false;
    if (done) {
        return;
    }
    done = true;
    korvan_set_sink(&DropMessage, nullptr);
    std::string pattern = (ScratchParent() / "draxo-fuzz-XXXXXX").string();
    const char* made = ::mkdtemp(pattern.data());
    if (made == nullptr || ::chdir(made) != 0) {
        std::perror("draxo fuzz: scratch directory");
        std::abort();
    }
    scratchDir = made;
    std::atexit(&RemoveScratchDir);
}

void WriteFile(const char* name, std::string_view bytes) {
    std::FILE* f = std::fopen(name, "wb");
    FUZZ_CHECK(f != nullptr);
    if (!bytes.empty()) {
        FUZZ_CHECK(std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size());
    }
    FUZZ_CHECK(std::fclose(f) == 0);
}

std::int32_t Run(InstanceBlock& block, std::int32_t command, void* params,
                 std::uint32_t instanceNumber) {
    VpiCallBlock call{};
    call.instance = &block;
    call.command = command;
    call.instanceNumber = instanceNumber;
    call.params = params;
    return VpiMain(&call);
}

std::int32_t StartInstance(InstanceBlock& block, std::string_view initFile,
                           std::int32_t replyTimeout) {
    fake::reset();
    fake::addPort("COM1");
    WriteFile("DRAXO.INT", initFile);
    std::memset(&block, kGarbage, sizeof block);
    ColdStartParams p{};
    std::strcpy(p.portName, "COM1");
    p.openPort = 1;
    p.replyTimeout = replyTimeout;
    p.line = LineParams{9600, 8, 0, 0};
    return Run(block, 1, &p);
}

std::int32_t ParseGate(InstanceBlock& block, const char* text, std::uint32_t gateType,
                       ParsedAddress* parsed) {
    GateAddressRequest r{};
    r.addressText = text;
    r.gateType = gateType;
    const std::int32_t result = Run(block, 3, &r);
    *parsed = r.parsed;
    return result;
}

} // namespace draxo::fuzzing
