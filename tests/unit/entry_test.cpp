// The entry point: dispatch, the ended flag and the driver's identification.
#include <cstring>
#include <string>
#include <vector>

#include "driver_fixture.h"
#include "entry/vpi_main.h"

namespace draxo::test {
namespace {

using EntryTest = DriverTest;

struct DispatchCase {
    std::int32_t command;
    std::int32_t result;
    const char* message; // null: nothing logged
};

TEST_F(EntryTest, DispatchAnswersBadCodesEmptySlotsAndBlockCommands) {
    const DispatchCase cases[] = {
        {0, 2, "DRAXO> Exited VpiMain() #1"},
        {17, 2, "DRAXO> Exited VpiMain() #1"},
        {-1, 2, "DRAXO> Exited VpiMain() #1"},
        {8, 2, "DRAXO> Exited VpiMain() #2"},
        {9, 2, "DRAXO> Exited VpiMain() #2"},
        {16, 2, "DRAXO> Exited VpiMain() #2"},
        {4, 1, nullptr},
        {6, 1, nullptr},
        {10, 1, nullptr},
    };
    for (const DispatchCase& c : cases) {
        log_.clear();
        EXPECT_EQ(run(c.command), c.result) << "command " << c.command;
        if (c.message == nullptr) {
            EXPECT_TRUE(log_.messages().empty()) << "command " << c.command;
        } else {
            ASSERT_EQ(log_.messages().size(), 1u) << "command " << c.command;
            EXPECT_EQ(log_.messages()[0], (Message{32, c.message}));
        }
    }
    EXPECT_EQ(fake::calls().size(), 0u);
}

TEST_F(EntryTest, GetVpiInfoFillsEveryWordAndPointsAtTheNameBlockAndBanner) {
    VpiInfo info;
    std::memset(&info, kGarbage, sizeof info);
    VpiCallBlock call{};
    call.instance = nullptr; // identification needs no instance block
    call.command = 14;
    call.params = &info;
    ASSERT_EQ(VpiMain(&call), 0);

    EXPECT_EQ(info.word0, 70u);
    EXPECT_EQ(info.instanceSize, 292u);
    EXPECT_EQ(info.word4, 4u);
    EXPECT_EQ(info.defaultLine.baud, 9600);
    EXPECT_EQ(info.defaultLine.dataBits, 8);
    EXPECT_EQ(info.defaultLine.stopBits, 0);
    EXPECT_EQ(info.defaultLine.parity, 0);
    EXPECT_EQ(info.word7, 0u);

    const std::string name(info.name, 64);
    EXPECT_EQ(name, std::string(
                        "R.K.C., REX-series\0REX-P200 series controllers and compatibles\0\0", 64));

    std::string rule(71, '\xCD');
    const std::string banner = std::string("\x08") + "\xC9" + rule + "\xBB\n" + "\xBA" +
                               " DRAXO:  R K C ,  R E X - series  controllers          (32-bit "
                               "driver) " +
                               "\xBA\n" + "\xC8" + rule + "\xBC";
    ASSERT_EQ(banner.size(), 222u);
    EXPECT_EQ(std::string(info.banner, 223), banner + '\0');

    ASSERT_EQ(log_.messages().size(), 1u);
    EXPECT_EQ(log_.messages()[0], (Message{8, "DRAXO> GetVpiInfo() exited"}));
}

TEST_F(EntryTest, CommandsWithoutTheirRecordsAreRefused) {
    struct Case {
        std::int32_t command;
        bool instance;
        bool params;
    };
    // Each command with one record it reads missing.
    const Case cases[] = {{1, true, false},   {1, false, true},   {2, false, false},
                          {3, true, false},   {5, true, false},   {7, false, true},
                          {11, false, false}, {12, false, false}, {13, false, false},
                          {14, true, false},  {15, true, false}};
    ColdStartParams params{};
    for (const Case& c : cases) {
        log_.clear();
        VpiCallBlock call{};
        call.instance = c.instance ? &block_ : nullptr;
        call.command = c.command;
        call.params = c.params ? &params : nullptr;
        EXPECT_EQ(VpiMain(&call), 2) << c.command;
        EXPECT_EQ(
            log_.messages(),
            (std::vector<Message>{{32, "DRAXO> Exited VpiMain() #3, command " +
                                           std::to_string(c.command) + " without its record"}}))
            << c.command;
    }
    EXPECT_EQ(fake::calls().size(), 0u);
}

TEST_F(EntryTest, AfterEndVpiEveryCommandReturnsZeroWithoutEffect) {
    ASSERT_EQ(coldStart(), 0);
    ASSERT_NE(block_.handle, 0u);
    ASSERT_EQ(run(11), 0); // EndVpi closes this instance's port
    EXPECT_EQ(block_.handle, 0u);
    log_.clear();
    const std::size_t callsBefore = fake::calls().size();
    const InstanceBlock before = block_;

    VpiInfo info;
    std::memset(&info, kGarbage, sizeof info);
    const VpiInfo untouched = info;
    for (std::int32_t command = 0; command <= 17; ++command) {
        EXPECT_EQ(run(command, command == 14 ? &info : nullptr), 0) << "command " << command;
    }
    EXPECT_EQ(std::memcmp(&info, &untouched, sizeof info), 0);
    EXPECT_EQ(std::memcmp(&block_, &before, sizeof block_), 0);
    EXPECT_TRUE(log_.messages().empty());
    EXPECT_EQ(fake::calls().size(), callsBefore);
}

} // namespace
} // namespace draxo::test
