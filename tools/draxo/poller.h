// Polling a line for hours: per-gate counters, stations that stop
// answering polled less often, and a port that is reopened when it fails.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <iosfwd>
#include <optional>
#include <vector>

#include "output.h"

namespace draxo::tool {

class Session;
struct Gate;

// Decides per round which stations are polled. A station whose gates all
// went unanswered (result 2) for `demoteAfter` rounds in a row goes
// offline and is then probed every `firstEvery` rounds, the gap doubling
// after every silent probe up to `maxEvery`; any answer brings it back.
class StationScheduler {
  public:
    struct Config {
        unsigned demoteAfter = 3;
        unsigned firstEvery = 10;
        unsigned maxEvery = 80;
    };
    enum class Change { None, WentOffline, BackOnline };

    StationScheduler() : StationScheduler(Config{}) {}
    explicit StationScheduler(Config config) : config_(config) {}

    // Asked once per round for every station; true when it is polled.
    bool due(unsigned station);
    // After a round in which the station was polled: silent means every
    // gate of it answered 2.
    Change report(unsigned station, bool silent);

    // Probes every offline station in the next round (after a reopen).
    void probeSoon();

    bool online(unsigned station) const { return state_[station].online; }
    unsigned every(unsigned station) const { return state_[station].every; }

  private:
    struct State {
        bool online = true;
        unsigned silentRounds = 0;
        unsigned every = 1;
        unsigned wait = 0;
    };
    Config config_;
    std::array<State, 16> state_{};
};

// Watches the port as a whole: when every polled gate of `silentRounds`
// polled rounds in a row went unanswered, the port is taken for failed and
// reopened. A reopen that cures nothing doubles the rounds before the next
// one; a failed reopen is retried after a back-off in milliseconds.
class PortWatch {
  public:
    struct Config {
        unsigned silentRounds = 3;
        unsigned maxSilentRounds = 96;
        unsigned firstRetryMs = 1000;
        unsigned maxRetryMs = 30000;
    };

    PortWatch() : PortWatch(Config{}) {}
    explicit PortWatch(Config config) : config_(config), threshold_(config.silentRounds) {}

    // After a round; true when the port should be closed and reopened now.
    bool roundDone(bool polledAny, bool allSilent);
    // After a reopen attempt; returns the milliseconds to wait before the
    // next attempt when it failed (0 when it succeeded).
    unsigned reopened(bool ok);

  private:
    Config config_;
    unsigned silent_ = 0;
    unsigned threshold_;
    unsigned retryMs_ = 0;
};

// Counters of one gate.
struct GateStats {
    std::uint64_t good = 0;
    std::uint64_t badAnswer = 0; // result 1
    std::uint64_t noAnswer = 0;  // result 2
    std::uint64_t skipped = 0;   // rounds left out while its station was offline
    std::optional<std::chrono::system_clock::time_point> lastGood;
    std::optional<Sample> last;

    void add(const Sample& s);
    // Response time percentile (0..100) over the recent samples, ms.
    std::optional<double> percentile(double p) const;

  private:
    std::vector<double> times_;
    std::size_t next_ = 0;
};

struct PollOptions {
    unsigned intervalMs = 1000;
    unsigned long count = 0; // rounds; 0: until interrupted
    double seconds = 0;      // 0: no time limit
    bool live = false;       // redraw a table on the terminal
    int verbose = 0;
    std::string title = "draxo poll";
};

// Polls the gates; returns 0 when every sample succeeded, 1 otherwise.
int runPoll(Session& session, std::vector<Gate>& gates, const PollOptions& options,
            SampleWriter& writer, std::ostream& out);

} // namespace draxo::tool
