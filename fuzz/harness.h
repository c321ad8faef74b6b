// What the fuzz targets share: a check that stops the run, a silent log, a
// private working directory for init files, and a driver instance started
// on the fake line.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "host/records.h"
#include "instance/instance_block.h"

namespace draxo::fuzzing {

// Prints the broken condition and aborts, so that libFuzzer keeps the
// input as a crash.
[[noreturn]] void Fail(const char* file, int line, const char* condition);

#define FUZZ_CHECK(condition)                                                                      \
    do {                                                                                           \
        if (!(condition)) {                                                                        \
            ::draxo::fuzzing::Fail(__FILE__, __LINE__, #condition);                                \
        }                                                                                          \
    } while (0)

// Once per process: drops every log message and makes a fresh temporary
// directory the current one (removed again at exit). Relative paths given
// to libFuzzer (corpus, -artifact_prefix) would then point into it: pass
// absolute ones.
void Setup();

// Writes `bytes` as `name` into the current directory.
void WriteFile(const char* name, std::string_view bytes);

// One VpiMain call for the instance.
std::int32_t Run(InstanceBlock& block, std::int32_t command, void* params,
                 std::uint32_t instanceNumber = 1);

// A fresh fake line with port COM1, `initFile` as DRAXO.INT, and a
// ColdStart that opens COM1 with the given reply time-out (10 ms units).
// Answers ColdStart's result.
std::int32_t StartInstance(InstanceBlock& block, std::string_view initFile,
                           std::int32_t replyTimeout);

// Parses a gate text for a gate type; answers the parser's result.
std::int32_t ParseGate(InstanceBlock& block, const char* text, std::uint32_t gateType,
                       ParsedAddress* parsed);

// Fills memory as a host's uninitialised allocation might look.
inline constexpr unsigned char kGarbage = 0xA5;

} // namespace draxo::fuzzing
