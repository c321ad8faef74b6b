#include "poller.h"

#include <algorithm>
#include <cmath>

namespace draxo::tool {

bool StationScheduler::due(unsigned station) {
    State& s = state_[station];
    if (s.online) {
        return true;
    }
    if (s.wait == 0) {
        s.wait = s.every - 1;
        return true;
    }
    --s.wait;
    return false;
}

StationScheduler::Change StationScheduler::report(unsigned station, bool silent) {
    State& s = state_[station];
    if (!silent) {
        s.silentRounds = 0;
        if (!s.online) {
            s.online = true;
            s.every = 1;
            s.wait = 0;
            return Change::BackOnline;
        }
        return Change::None;
    }
    ++s.silentRounds;
    if (s.online) {
        if (s.silentRounds >= config_.demoteAfter) {
            s.online = false;
            s.every = std::max(1u, config_.firstEvery);
            s.wait = s.every - 1;
            return Change::WentOffline;
        }
        return Change::None;
    }
    s.every = std::min(s.every * 2, std::max(config_.maxEvery, config_.firstEvery));
    s.wait = s.every - 1;
    return Change::None;
}

void StationScheduler::probeSoon() {
    for (auto& s : state_) {
        s.wait = 0;
    }
}

bool PortWatch::roundDone(bool polledAny, bool allSilent) {
    if (!polledAny) {
        return false;
    }
    if (!allSilent) {
        silent_ = 0;
        threshold_ = config_.silentRounds;
        return false;
    }
    if (++silent_ < threshold_) {
        return false;
    }
    silent_ = 0;
    threshold_ = std::min(threshold_ * 2, config_.maxSilentRounds);
    return true;
}

unsigned PortWatch::reopened(bool ok) {
    if (ok) {
        retryMs_ = 0;
        return 0;
    }
    retryMs_ = retryMs_ == 0 ? config_.firstRetryMs : std::min(retryMs_ * 2, config_.maxRetryMs);
    return retryMs_;
}

namespace {
constexpr std::size_t kTimesKept = 512;
}

void GateStats::add(const Sample& s) {
    if (s.result == 0) {
        ++good;
        lastGood = s.when;
    } else if (s.result == 2) {
        ++noAnswer;
    } else {
        ++badAnswer;
    }
    last = s;
    if (times_.size() < kTimesKept) {
        times_.push_back(s.ms);
    } else {
        times_[next_] = s.ms;
        next_ = (next_ + 1) % kTimesKept;
    }
}

std::optional<double> GateStats::percentile(double p) const {
    if (times_.empty()) {
        return std::nullopt;
    }
    std::vector<double> sorted = times_;
    std::sort(sorted.begin(), sorted.end());
    // Nearest rank.
    auto rank = static_cast<std::size_t>(std::ceil(p / 100.0 * static_cast<double>(sorted.size())));
    rank = std::clamp<std::size_t>(rank, 1, sorted.size());
    return sorted[rank - 1];
}

} // namespace draxo::tool
