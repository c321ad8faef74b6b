#include "korvan.h"

#include <cstdarg>
#include <cstdio>
#include <mutex>
#include <string>

namespace {

std::mutex g_mutex;
korvan_sink g_sink = nullptr;
void* g_context = nullptr;

} // namespace

extern "C" KORVAN_API void korvan_set_sink(korvan_sink sink, void* context) {
    std::lock_guard lock(g_mutex);
    g_sink = sink;
    g_context = context;
}

extern "C" KORVAN_API int err(std::int32_t messageClass, const char* format, ...) {
    if (format == nullptr) {
        return 0;
    }
    char small[512];
    std::string large;
    const char* text = small;

    va_list args;
    va_start(args, format);
    va_list again;
    va_copy(again, args);
    int n = std::vsnprintf(small, sizeof small, format, args);
    va_end(args);
    if (n < 0) {
        small[0] = '\0';
    } else if (static_cast<std::size_t>(n) >= sizeof small) {
        large.resize(static_cast<std::size_t>(n) + 1);
        std::vsnprintf(large.data(), large.size(), format, again);
        large.resize(static_cast<std::size_t>(n));
        text = large.c_str();
    }
    va_end(again);

    korvan_sink sink;
    void* context;
    {
        std::lock_guard lock(g_mutex);
        sink = g_sink;
        context = g_context;
    }
    if (sink != nullptr) {
        sink(messageClass, text, context);
    } else {
        std::fprintf(stderr, "[%d] %s\n", static_cast<int>(messageClass), text);
    }
    return 0;
}
