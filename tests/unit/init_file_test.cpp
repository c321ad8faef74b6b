// The init file: which names are tried, the line grammar and its messages.
#include <cstring>
#include <string>
#include <vector>

#include "driver_fixture.h"
#include "instance/init_file.h"

namespace draxo::test {
namespace {

class InitFileTest : public DriverTest {
  protected:
    // ReadInitFile after what ColdStart does first: no stations, ifg 0.
    void readInit(std::uint32_t number = 1) {
        for (StationEntry& s : block_.stations) {
            s.type = 0;
        }
        block_.ifg = 0;
        VpiCallBlock call{};
        call.instance = &block_;
        call.instanceNumber = number;
        ReadInitFile(&call);
    }
    std::vector<int> declared() const {
        std::vector<int> out;
        for (int i = 0; i < 16; ++i) {
            if (block_.stations[i].type == 1) {
                out.push_back(i);
            }
        }
        return out;
    }
};

TEST_F(InitFileTest, NamesAreTriedInOrderAndTheLastOneTriedIsKept) {
    struct Case {
        std::uint32_t number;
        std::vector<std::string> present;
        const char* opened; // null: none opens
    };
    const Case cases[] = {
        {3, {"DRAXO.INT"}, "DRAXO.INT"},
        {3, {"DRAXO3.INT", "DRAXO.INT"}, "DRAXO3.INT"},
        {3, {"DRAXO03.INT", "DRAXO3.INT"}, "DRAXO03.INT"},
        {12, {"DRAXO12.INT"}, "DRAXO12.INT"},
        {4294967295u, {"DRAXO4294967295.INT"}, "DRAXO4294967295.INT"},
        {7, {}, nullptr},
    };
    for (const Case& c : cases) {
        TempDir dir;
        for (const std::string& name : c.present) {
            dir.write(name, "1 = P200\n");
        }
        char name[kInitNameSize];
        std::memset(name, 'x', sizeof name);
        std::FILE* f = OpenInitFile("DRAXO", name, c.number);
        if (c.opened == nullptr) {
            EXPECT_EQ(f, nullptr);
            EXPECT_STREQ(name, "DRAXO.INT"); // the last name tried
        } else {
            ASSERT_NE(f, nullptr) << c.opened;
            EXPECT_STREQ(name, c.opened);
            std::fclose(f);
        }
    }
}

TEST_F(InitFileTest, MissingFileIsLoggedAndDeclaresNothing) {
    readInit();
    EXPECT_TRUE(declared().empty());
    EXPECT_EQ(log_.messages(),
              (std::vector<Message>{{32, "DRAXO> ColdStart() Error, no initfile found"}}));
}

struct LineCase {
    const char* content;
    std::vector<int> stations;
    std::uint32_t ifg;
    std::vector<Message> messages;
};

TEST_F(InitFileTest, LineGrammar) {
    const auto illegal = [](int line) {
        return Message{32, "DRAXO> ReadIntFile() ill. controller type or illegal line " +
                               std::to_string(line) + " in 'DRAXO01.INT'"};
    };
    const auto station = [](int n) {
        return Message{32, "Station " + std::to_string(n) + " = P200"};
    };
    const LineCase cases[] = {
        {"IFG=50\n", {}, 50, {}},
        {" IFG= 50\n", {}, 50, {}},
        {"IFG  =  50\n", {}, 50, {}},
        {"IFG = 50 ms\n", {}, 50, {}},
        {"IFG = 20\nIFG = 30\n", {}, 30, {}},
        {"ifg = 50\n", {}, 0, {illegal(1)}},
        {"IFG = -5\n", {}, 0, {illegal(1)}},
        {"IFG = 4294967296\n", {}, 0, {illegal(1)}},
        {"3=P200\n", {3}, 0, {station(3)}},
        {" 3 = P200 main oven\n", {3}, 0, {station(3)}},
        {"\t15\t=\tP200\n", {15}, 0, {station(15)}},
        {"5 = P300\n5 = p200\n; comment\n", {}, 0, {illegal(1), illegal(2), illegal(3)}},
        {"   \n", {}, 0, {illegal(1)}},
        {"\n\r\n1 = P200\r\n\n", {1}, 0, {station(1)}},
        {"16 = P200\n",
         {},
         0,
         {{32, "DRAXO> ReadInitFile() inv. stat. nr. 16, line 1 in 'DRAXO01.INT'"}}},
        {"+3 = P200\n-3 = P200\n", {}, 0, {illegal(1), illegal(2)}},
        {"4294967299 = P200\n", {}, 0, {illegal(1)}},
        {"4294967295 = P200\n",
         {},
         0,
         {{32, "DRAXO> ReadInitFile() inv. stat. nr. 4294967295, line 1 in 'DRAXO01.INT'"}}},
        {"IFG = 20\n1 = P200\n2 = P200\n", {1, 2}, 20, {station(1), station(2)}},
        {"1 = P200", {1}, 0, {station(1)}}, // no line end at the end of the file
    };
    for (const LineCase& c : cases) {
        TempDir dir;
        dir.write("DRAXO01.INT", c.content);
        log_.clear();
        readInit(1);
        EXPECT_EQ(declared(), c.stations) << c.content;
        EXPECT_EQ(block_.ifg, c.ifg) << c.content;
        EXPECT_EQ(log_.messages(), c.messages) << c.content;
    }
}

TEST_F(InitFileTest, LongLinesAreReadAsSeveralLines) {
    // 300 characters: the first 255 are one line, the rest another.
    const std::string line = "1 = P200" + std::string(247, ' ') + "2 = P200" +
                             std::string(300 - 255 - 8, 'x') + "\n3 = P200\n";
    dir_.write("DRAXO01.INT", line);
    readInit(1);
    EXPECT_EQ(declared(), (std::vector<int>{1, 2, 3}));
    EXPECT_EQ(log_.texts(), (std::vector<std::string>{"Station 1 = P200", "Station 2 = P200",
                                                      "Station 3 = P200"}));
}

TEST_F(InitFileTest, LineCounterWrapsAtSixteenBits) {
    std::string content;
    for (int i = 0; i < 65535; ++i) {
        content += "\n";
    }
    content += "bad\n";
    dir_.write("DRAXO01.INT", content);
    readInit(1);
    EXPECT_EQ(log_.texts(),
              (std::vector<std::string>{
                  "DRAXO> ReadIntFile() ill. controller type or illegal line 0 in 'DRAXO01.INT'"}));
}

TEST_F(InitFileTest, RedeclaringAStationResetsItsSelectors) {
    dir_.write("DRAXO01.INT", "2 = P200\n2 = P200\n");
    block_.stations[2] = StationEntry{1, 3, 4, 5, 6, 7};
    readInit(1);
    const StationEntry& s = block_.stations[2];
    EXPECT_EQ(s.type, 1);
    EXPECT_EQ(s.pn + s.sn + s.tn + s.po + s.an, 0);
    EXPECT_EQ(log_.texts(), (std::vector<std::string>{"Station 2 = P200", "Station 2 = P200"}));
    // Undeclared stations keep whatever their selectors held.
    EXPECT_EQ(block_.stations[3].pn, kGarbage);
}

} // namespace
} // namespace draxo::test
