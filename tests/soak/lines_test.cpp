// Eight lines at once: eight instance blocks of one loaded library, each on
// a rexsim of its own, polled from eight threads. Every value an instance
// reads must be its own line's, and every message of a line must name that
// line's gates only.
#include <gtest/gtest.h>

#include <atomic>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>

#include "korvan.h"
#include "sim_host.h"

namespace {

using simhost::Gate;
using simhost::Instance;

constexpr int kLines = 8;
constexpr int kRounds = 40;
constexpr int kSilentReads = 3; // per line, on the absent controller 02

struct Message {
    std::thread::id thread;
    std::string text;
};

struct Log {
    std::mutex mutex;
    std::vector<Message> messages;
    static void Sink(std::int32_t, const char* text, void* context) {
        auto* self = static_cast<Log*>(context);
        std::lock_guard lock(self->mutex);
        self->messages.push_back({std::this_thread::get_id(), text});
    }
};

std::string Tag(int line, const std::string& address) {
    return "L" + std::to_string(line) + "-" + address;
}

// What line `line` holds: values no other line has.
struct LineValues {
    std::string s1, tr, rr, p1;
    float s1f, trf, rrf, p1f;
};

LineValues ValuesOf(int line) {
    LineValues v;
    char b[48];
    std::snprintf(b, sizeof b, "%06d", 100 + line);
    v.s1 = b;
    v.s1f = static_cast<float>(100 + line);
    std::snprintf(b, sizeof b, "%02d.%02d.%02d", line, 10 + line, 20 + line);
    v.tr = b;
    v.trf = static_cast<float>(line * 10000 + (10 + line) * 100 + 20 + line);
    std::snprintf(b, sizeof b, "%06d", 5000 + line);
    v.rr = b;
    v.rrf = static_cast<float>(5000 + line);
    std::snprintf(b, sizeof b, "%06d", 300 + line);
    v.p1 = b;
    v.p1f = static_cast<float>(300 + line);
    return v;
}

TEST(EightLines, EachInstanceReadsItsOwnLineAndLogsItsOwnGates) {
    simhost::WorkDir dir("draxo-lines");
    std::ofstream(dir.path() / "DRAXO.INT") << "1 = P200\n2 = P200\n";
    Log log;
    korvan_set_sink(&Log::Sink, &log);
    simhost::Library library(DRAXO_LIBRARY);

    std::vector<std::unique_ptr<simhost::Simulator>> sims;
    std::vector<std::unique_ptr<Instance>> instances;
    for (int line = 1; line <= kLines; ++line) {
        sims.push_back(std::make_unique<simhost::Simulator>(
            REXSIM_BINARY, std::vector<std::string>{"--stations", "1", "--frozen"}, dir.path(),
            "line" + std::to_string(line)));
        const LineValues v = ValuesOf(line);
        ASSERT_EQ(sims.back()->command("set 1 S1 " + v.s1), "OK");
        ASSERT_EQ(sims.back()->command("set 1 TR " + v.tr), "OK");
        ASSERT_EQ(sims.back()->command("set 1 PN00RR " + v.rr), "OK");
        instances.push_back(std::make_unique<Instance>(library.vpiMain(), line));
        ASSERT_EQ(instances.back()->coldStart(sims.back()->portName(), 10), 0);
    }

    struct Outcome {
        std::thread::id thread;
        std::vector<std::string> wrong;
        int silentResults2 = 0;
        int writesAcked = 0;
    };
    std::vector<Outcome> outcomes(kLines);
    std::atomic<int> ready{0};
    std::vector<std::thread> threads;
    for (int i = 0; i < kLines; ++i) {
        threads.emplace_back([&, i] {
            const int line = i + 1;
            Instance& inst = *instances[static_cast<std::size_t>(i)];
            Outcome& out = outcomes[static_cast<std::size_t>(i)];
            out.thread = std::this_thread::get_id();
            const LineValues v = ValuesOf(line);
            struct Poll {
                const char* address;
                float expected;
            };
            const Poll polls[] = {{"01S1", v.s1f}, {"01TR", v.trf}, {"01RR", v.rrf}};
            std::vector<Gate> gates(std::size(polls));
            for (std::size_t k = 0; k < std::size(polls); ++k) {
                inst.parse(gates[k], polls[k].address, Tag(line, polls[k].address),
                           draxo::kGateTypeFloat);
            }
            Gate p1, absent;
            inst.parse(p1, "01P1", Tag(line, "01P1"), draxo::kGateTypeFloat);
            inst.parse(absent, "02M1", Tag(line, "02M1"), draxo::kGateTypeFloat);
            ++ready;
            while (ready < kLines) {
                std::this_thread::yield();
            }
            for (int round = 0; round < kRounds; ++round) {
                for (std::size_t k = 0; k < std::size(polls); ++k) {
                    gates[k].setValue(-1.0f);
                    const std::int32_t rc = inst.read(gates[k]);
                    if (rc != 0 || gates[k].value() != polls[k].expected) {
                        out.wrong.push_back(gates[k].text + " result " + std::to_string(rc) +
                                            " value " + std::to_string(gates[k].value()));
                    }
                }
                if (round == kRounds / 2) {
                    p1.setValue(v.p1f);
                    out.writesAcked += inst.write(p1) == 0 ? 1 : 0;
                }
                if (round % (kRounds / kSilentReads) == 1 &&
                    round / (kRounds / kSilentReads) < kSilentReads) {
                    out.silentResults2 += inst.read(absent) == 2 ? 1 : 0;
                }
            }
            p1.setValue(-1.0f);
            if (inst.read(p1) != 0 || p1.value() != v.p1f) {
                out.wrong.push_back(p1.text + " read back " + std::to_string(p1.value()));
            }
        });
    }
    for (auto& t : threads) {
        t.join();
    }
    for (auto& inst : instances) {
        inst->call(simhost::kCloseCom);
    }
    korvan_set_sink(nullptr, nullptr);

    std::map<std::thread::id, int> lineOf;
    for (int i = 0; i < kLines; ++i) {
        const Outcome& out = outcomes[static_cast<std::size_t>(i)];
        lineOf[out.thread] = i + 1;
        EXPECT_TRUE(out.wrong.empty()) << "line " << i + 1 << ": " << out.wrong.front();
        EXPECT_EQ(out.silentResults2, kSilentReads) << "line " << i + 1;
        EXPECT_EQ(out.writesAcked, 1) << "line " << i + 1;
        EXPECT_EQ(sims[static_cast<std::size_t>(i)]->command("get 1 PO00P1"),
                  ValuesOf(i + 1).p1.substr(2) + ".0")
            << "line " << i + 1;
    }

    // Four reception messages and the result message per silent read, each
    // on the thread of its own line and naming only that line's gate.
    std::map<int, int> receiving, tagged;
    for (const Message& m : log.messages) {
        const auto it = lineOf.find(m.thread);
        if (it == lineOf.end()) {
            continue; // set-up on the main thread
        }
        const std::size_t quote = m.text.find('\'');
        if (quote != std::string::npos) {
            ++tagged[it->second];
            EXPECT_EQ(m.text.compare(quote + 1, 3, "L" + std::to_string(it->second) + "-"), 0)
                << "thread of line " << it->second << " logged: " << m.text;
        }
        if (m.text.find("DoRead() error receiving data") != std::string::npos) {
            ++receiving[it->second];
            EXPECT_NE(m.text.find("-02M1'"), std::string::npos) << m.text;
        }
    }
    for (int line = 1; line <= kLines; ++line) {
        EXPECT_EQ(receiving[line], 4 * kSilentReads) << "line " << line;
        EXPECT_EQ(tagged[line], 4 * kSilentReads) << "line " << line;
    }
}

} // namespace
