// Our stand-in for the host runtime's log library. It exports err, which
// the driver imports, and lets our own programs receive every message as
// (class, formatted text). Without a sink, each message becomes one line
// on standard error.
#pragma once

#include <cstdint>

#if defined(_WIN32)
#if defined(KORVAN_BUILD)
#define KORVAN_API __declspec(dllexport)
#else
#define KORVAN_API __declspec(dllimport)
#endif
#else
#define KORVAN_API __attribute__((visibility("default")))
#endif

extern "C" {

using korvan_sink = void (*)(std::int32_t messageClass, const char* text, void* context);

// Installs a sink for every later message, or the default (standard error)
// when sink is null.
KORVAN_API void korvan_set_sink(korvan_sink sink, void* context);

KORVAN_API int err(std::int32_t messageClass, const char* format, ...);
}
