// libdraxo.so loaded at run time, the way the host tool loads it. glibc's
// err(3) is in the global scope of every process and would print and exit
// with the class as exit status; the driver's messages must reach korvan's
// err instead, and the caller must keep running.
#include <dlfcn.h>

#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "host/records.h"
#include "korvan.h"

namespace {

using VpiMainFn = std::int32_t (*)(draxo::VpiCallBlock*);
using SetSinkFn = void (*)(korvan_sink, void*);

struct Message {
    std::int32_t cls;
    std::string text;
};

std::vector<Message> g_messages;

void sink(std::int32_t messageClass, const char* text, void*) {
    g_messages.push_back({messageClass, text});
}

class LoadedDriver : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        // The test program is not linked with korvan: its err is not in the
        // global scope, only glibc's is. Loading korvan locally first gives
        // us its sink setter; the driver then finds the same copy.
        korvan_ = dlopen(KORVAN_LIB, RTLD_NOW | RTLD_LOCAL);
        ASSERT_NE(korvan_, nullptr) << dlerror();
        driver_ = dlopen(DRAXO_LIB, RTLD_NOW | RTLD_LOCAL);
        ASSERT_NE(driver_, nullptr) << dlerror();
    }

    void SetUp() override {
        ASSERT_NE(driver_, nullptr);
        auto setSink = reinterpret_cast<SetSinkFn>(dlsym(korvan_, "korvan_set_sink"));
        ASSERT_NE(setSink, nullptr) << dlerror();
        setSink(sink, nullptr);
        vpiMain_ = reinterpret_cast<VpiMainFn>(dlsym(driver_, "VpiMain"));
        ASSERT_NE(vpiMain_, nullptr) << dlerror();
        g_messages.clear();
    }

    static void* korvan_;
    static void* driver_;
    VpiMainFn vpiMain_ = nullptr;
};

void* LoadedDriver::korvan_ = nullptr;
void* LoadedDriver::driver_ = nullptr;

TEST_F(LoadedDriver, GlibcErrIsTheOneInTheGlobalScope) {
    // Without this the test below could not tell the two err apart.
    void* global = dlsym(RTLD_DEFAULT, "err");
    void* ours = dlsym(korvan_, "err");
    ASSERT_NE(global, nullptr);
    ASSERT_NE(ours, nullptr);
    EXPECT_NE(global, ours);
}

struct BadCommand {
    std::int32_t command;
    const char* message;
};

void PrintTo(const BadCommand& c, std::ostream* os) {
    *os << "command " << c.command;
}

class LoadedDriverBadCommand : public LoadedDriver,
                               public ::testing::WithParamInterface<BadCommand> {};

TEST_P(LoadedDriverBadCommand, MessageReachesKorvanAndTheCallerGoesOn) {
    draxo::VpiCallBlock call{nullptr, GetParam().command, 0, 0, nullptr};
    EXPECT_EQ(vpiMain_(&call), 2);
    ASSERT_EQ(g_messages.size(), 1u);
    EXPECT_EQ(g_messages[0].cls, 32);
    EXPECT_EQ(g_messages[0].text, GetParam().message);
}

INSTANTIATE_TEST_SUITE_P(Codes, LoadedDriverBadCommand,
                         ::testing::Values(BadCommand{0, "DRAXO> Exited VpiMain() #1"},
                                           BadCommand{17, "DRAXO> Exited VpiMain() #1"},
                                           BadCommand{9, "DRAXO> Exited VpiMain() #2"}),
                         [](const ::testing::TestParamInfo<BadCommand>& param) {
                             return "command" + std::to_string(param.param.command);
                         });

} // namespace
