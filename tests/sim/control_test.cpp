#include "control.h"
#include "sim_fixture.h"

#include <gtest/gtest.h>

using namespace rexsim;

namespace {

TEST(ControlCommands, GetSetDumpAndErrors) {
    Model model(rexsim::test::stations12(), true, 1);
    auto stats = [] { return nlohmann::json{{"requests", 0}}; };
    auto run = [&](const std::string& cmd) { return handleCommand(model, stats, cmd); };
    const std::pair<const char*, const char*> cases[] = {
        {"get 1 M1", "0025.0"},
        {"set 1 M1 100.5", "OK"}, // read-only for the line, not for tests
        {"get 1 M1", "0100.5"},
        {"set 1 PN03SN07TM 00.05.00", "OK"},
        {"get 1 PN03SN07TM", "00.05.00"},
        {"get 2 PN03SN07TM", "00.01.00"},
        {"set 1 S1 99999", "ERR out of range"},
        {"set 1 TR 00.61.00", "ERR malformed data"},
        {"get 1 ZZ", "ERR unknown identifier ZZ"},
        {"get 1 PN3TM", "ERR malformed request text PN3TM"},
        {"get 5 M1", "ERR no station 5"},
        {"get 1x M1", "ERR no station 1x"},
        {"get 1", "ERR usage: get ADDR TEXT | set ADDR TEXT VALUE | dump | stats"},
        {"stats", "{\"requests\":0}"},
    };
    for (auto [cmd, want] : cases) {
        EXPECT_EQ(run(cmd), want) << cmd;
    }
    auto dump = nlohmann::json::parse(run("dump"));
    EXPECT_EQ(dump["stations"]["1"]["values"]["M1"], "0100.5");
    EXPECT_EQ(dump["stations"]["1"]["selected"], (nlohmann::json{{"PN03SN07TM", "00.05.00"}}));
    EXPECT_TRUE(dump["stations"]["2"]["selected"].empty());
    EXPECT_FALSE(dump["stations"].contains("0"));
}

} // namespace
