#include "poller.h"

#include <algorithm>
#include <cmath>
#include <deque>
#include <iostream>
#include <map>
#include <mutex>
#include <sstream>

#include "platform_util.h"
#include "session.h"

namespace draxo::tool {

namespace {

using Clock = std::chrono::steady_clock;

std::string ageText(std::optional<std::chrono::system_clock::time_point> t) {
    if (!t) {
        return "-";
    }
    double s = std::chrono::duration<double>(std::chrono::system_clock::now() - *t).count();
    char buf[32];
    if (s < 60) {
        std::snprintf(buf, sizeof buf, "%.1fs", s);
    } else if (s < 3600) {
        std::snprintf(buf, sizeof buf, "%.0fm%02.0fs", std::floor(s / 60), std::fmod(s, 60));
    } else {
        std::snprintf(buf, sizeof buf, "%.0fh%02.0fm", std::floor(s / 3600),
                      std::floor(std::fmod(s, 3600) / 60));
    }
    return buf;
}

std::string msOpt(std::optional<double> v) {
    if (!v) {
        return "-";
    }
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.0f", *v);
    return buf;
}

// The live view: a table redrawn in place, the stations, and the log.
class LiveView {
  public:
    LiveView(std::ostream& out, int verbose) : out_(out), verbose_(verbose) { out_ << "\x1b[?25l"; }
    ~LiveView() { out_ << "\x1b[?25h" << std::flush; }

    // The pane keeps the latest distinct messages: a message that comes
    // again (a pty refuses the RTS calls on every request, for example)
    // moves to the bottom with a count instead of pushing out the others.
    void log(const LogLine& line) {
        if (line.messageClass == 8 && verbose_ < 1) {
            return;
        }
        std::lock_guard lock(mutex_);
        std::string key;
        if (line.messageClass == 0) {
            key = "draxo: ";
        } else {
            key.append("[").append(std::to_string(line.messageClass)).append("] ");
        }
        key.append(line.text);
        unsigned long count = 1;
        for (auto it = lines_.begin(); it != lines_.end(); ++it) {
            if (it->key == key) {
                count = it->count + 1;
                lines_.erase(it);
                break;
            }
        }
        lines_.push_back({key, clockText(line.when), count});
        if (lines_.size() > 10) {
            lines_.pop_front();
        }
    }

    void draw(const std::string& heading, const std::vector<Gate>& gates,
              const std::vector<GateStats>& stats, const std::string& stationLine,
              const std::string& portLine) {
        std::vector<std::vector<std::string>> rows;
        rows.push_back({"GATE", "NAME", "VALUE", "STATUS", "AGE", "GOOD", "BAD(1)", "NOANS(2)",
                        "P50ms", "P99ms", "LAST GOOD"});
        for (std::size_t i = 0; i < gates.size(); ++i) {
            const auto& st = stats[i];
            std::string value = "-", status = "waiting", age = "-";
            if (st.last) {
                value = st.lastGood ? valueText(*st.last) : "-";
                if (st.last->result != 0 && st.lastGood) {
                    value = "(" + lastGoodValue_[i] + ")";
                }
                status = statusText(*st.last);
                age = ageText(st.last->when);
            }
            rows.push_back({gates[i].entry.address,
                            gates[i].entry.name.empty() ? "-" : gates[i].entry.name, value, status,
                            age, std::to_string(st.good), std::to_string(st.badAnswer),
                            std::to_string(st.noAnswer), msOpt(st.percentile(50)),
                            msOpt(st.percentile(99)), st.lastGood ? clockText(*st.lastGood) : "-"});
        }
        std::vector<std::size_t> w(rows[0].size(), 0);
        for (const auto& r : rows) {
            for (std::size_t i = 0; i < r.size(); ++i) {
                w[i] = std::max(w[i], r[i].size());
            }
        }
        std::ostringstream s;
        s << heading << "\x1b[K\n\x1b[K\n";
        for (const auto& r : rows) {
            std::string line;
            for (std::size_t i = 0; i < r.size(); ++i) {
                line += pad(r[i], w[i] + 2);
            }
            s << line << "\x1b[K\n";
        }
        s << "\x1b[K\n" << stationLine << "\x1b[K\n" << portLine << "\x1b[K\n\x1b[K\n";
        s << "-- log" << (verbose_ < 1 ? " (class 8 with -v)" : "") << " --\x1b[K\n";
        {
            std::lock_guard lock(mutex_);
            for (const auto& l : lines_) {
                s << l.when << "  " << l.key;
                if (l.count > 1) {
                    s << "  (x" << l.count << ")";
                }
                s << "\x1b[K\n";
            }
        }
        s << "\x1b[J";
        // Redrawn in place below what was printed before it: up to the
        // first line of the last frame, then over it.
        std::string frame = s.str();
        std::string move;
        if (drawnLines_ > 0) {
            move = "\x1b[" + std::to_string(drawnLines_) + "A\r";
        }
        drawnLines_ = static_cast<std::size_t>(std::count(frame.begin(), frame.end(), '\n'));
        out_ << move << frame << std::flush;
    }

    void rememberGood(std::size_t i, const std::string& v) {
        if (lastGoodValue_.size() <= i) {
            lastGoodValue_.resize(i + 1);
        }
        lastGoodValue_[i] = v;
    }
    void sizeFor(std::size_t n) { lastGoodValue_.resize(n); }

  private:
    std::ostream& out_;
    int verbose_;
    std::size_t drawnLines_ = 0;
    std::mutex mutex_;
    struct PaneLine {
        std::string key;
        std::string when;
        unsigned long count;
    };
    std::deque<PaneLine> lines_;
    std::vector<std::string> lastGoodValue_;
};

std::string two(unsigned n) {
    char buf[8];
    std::snprintf(buf, sizeof buf, "%02u", n);
    return buf;
}

} // namespace

int runPoll(Session& session, std::vector<Gate>& gates, const PollOptions& options,
            SampleWriter& writer, std::ostream& out) {
    Instance& inst = session.instance();
    std::vector<GateStats> stats(gates.size());
    StationScheduler scheduler;
    PortWatch watch;
    bool anyFailed = false;

    std::unique_ptr<LiveView> view;
    if (options.live) {
        view = std::make_unique<LiveView>(out, options.verbose);
        view->sizeFor(gates.size());
        for (const auto& l : session.log().since(0)) {
            view->log(l);
        }
        LiveView* v = view.get();
        session.log().setListener([v](const LogLine& l) { v->log(l); });
    } else {
        int verbose = options.verbose;
        session.log().setListener([verbose](const LogLine& l) {
            if (l.messageClass == 0 || (l.messageClass == 8 ? verbose >= 2 : verbose >= 1)) {
                std::cerr << (l.messageClass == 0
                                  ? "draxo: "
                                  : "driver [" + std::to_string(l.messageClass) + "] ")
                          << l.text << '\n';
            }
        });
    }

    std::vector<unsigned> stations;
    for (const auto& g : gates) {
        if (g.usable &&
            std::find(stations.begin(), stations.end(), g.parsed.controller) == stations.end()) {
            stations.push_back(g.parsed.controller);
        }
    }
    std::sort(stations.begin(), stations.end());

    const auto started = Clock::now();
    bool portDown = false;
    Clock::time_point nextRetry{};
    unsigned long round = 0;

    auto timeUp = [&] {
        return options.seconds > 0 &&
               std::chrono::duration<double>(Clock::now() - started).count() >= options.seconds;
    };
    auto redraw = [&] {
        if (!view) {
            return;
        }
        std::string heading = options.title + "   port " + session.options().line.port;
        heading += portDown ? " (down)" : " (handle " + std::to_string(inst.handle()) + ")";
        heading += "   round " + std::to_string(round) + "   every " +
                   std::to_string(options.intervalMs) + " ms   Ctrl-C to stop";
        std::string st = "stations:";
        for (unsigned s : stations) {
            st += "  " + two(s) + " ";
            st += scheduler.online(s)
                      ? "online"
                      : "OFFLINE (probed every " + std::to_string(scheduler.every(s)) + " rounds)";
        }
        std::string port = portDown ? "port: DOWN, reopening with back-off" : "port: open";
        view->draw(heading, gates, stats, st, port);
    };
    auto reopen = [&] {
        inst.closeCom();
        auto r = inst.reOpenCom();
        unsigned wait = watch.reopened(r.result == 0);
        if (r.result == 0) {
            session.note("port " + session.options().line.port + " reopened (handle " +
                         std::to_string(inst.handle()) + ")");
            portDown = false;
            scheduler.probeSoon();
        } else {
            session.note("port " + session.options().line.port +
                         " cannot be reopened; next try in " + std::to_string(wait) + " ms");
            portDown = true;
            nextRetry = Clock::now() + std::chrono::milliseconds(wait);
        }
    };

    for (std::size_t i = 0; i < gates.size(); ++i) {
        if (!gates[i].usable) {
            Sample s = sampleOf(gates[i], CallOutcome{1, 0, std::chrono::system_clock::now(), {}},
                                "read", false);
            stats[i].add(s);
            anyFailed = true;
            session.note(gates[i].entry.address + " left out: " + gates[i].refusal);
            if (!view) {
                writer.stream(s);
            }
        }
    }

    redraw();
    while (!interrupted() && (options.count == 0 || round < options.count) && !timeUp()) {
        auto roundStart = Clock::now();
        if (portDown) {
            if (Clock::now() >= nextRetry) {
                reopen();
            }
        } else {
            std::map<unsigned, bool> due, silent;
            for (unsigned s : stations) {
                due[s] = scheduler.due(s);
                silent[s] = true;
            }
            bool polledAny = false, allSilent = true;
            for (std::size_t i = 0; i < gates.size() && !interrupted(); ++i) {
                Gate& g = gates[i];
                if (!g.usable) {
                    continue;
                }
                if (!due[g.parsed.controller]) {
                    ++stats[i].skipped;
                    continue;
                }
                auto outcome = inst.read(g);
                Sample s = sampleOf(g, outcome, "read", true);
                stats[i].add(s);
                polledAny = true;
                if (outcome.result != 2) {
                    silent[g.parsed.controller] = false;
                    allSilent = false;
                }
                if (outcome.result != 0) {
                    anyFailed = true;
                } else if (view) {
                    view->rememberGood(i, valueText(s));
                }
                if (view) {
                    redraw();
                } else {
                    writer.stream(s);
                }
            }
            if (interrupted()) {
                break;
            }
            for (unsigned s : stations) {
                if (!due[s]) {
                    continue;
                }
                switch (scheduler.report(s, silent[s])) {
                case StationScheduler::Change::WentOffline:
                    session.note("station " + two(s) + " offline: no answer; probed every " +
                                 std::to_string(scheduler.every(s)) + " rounds from now");
                    break;
                case StationScheduler::Change::BackOnline:
                    session.note("station " + two(s) + " back online");
                    break;
                case StationScheduler::Change::None:
                    break;
                }
            }
            if (watch.roundDone(polledAny, allSilent)) {
                session.note("no station answers: closing and reopening port " +
                             session.options().line.port);
                reopen();
            }
        }
        ++round;
        redraw();
        // Wait out the rest of the interval, redrawing the ages.
        while (!interrupted() && !timeUp()) {
            auto elapsed = Clock::now() - roundStart;
            auto left = std::chrono::milliseconds(options.intervalMs) - elapsed;
            if (left <= Clock::duration::zero() || (options.count != 0 && round >= options.count)) {
                break;
            }
            auto step = std::min<Clock::duration>(left, std::chrono::milliseconds(250));
            sleepInterruptible(static_cast<unsigned>(
                std::chrono::duration_cast<std::chrono::milliseconds>(step).count() + 1));
            redraw();
        }
    }
    redraw();
    session.log().setListener(nullptr);
    view.reset();
    if (options.live) {
        out << "\n";
    } else {
        for (std::size_t i = 0; i < gates.size(); ++i) {
            const auto& st = stats[i];
            std::cerr << "draxo: " << gates[i].entry.address << ": " << st.good << " good, "
                      << st.badAnswer << " bad answer, " << st.noAnswer << " no answer, p50 "
                      << msOpt(st.percentile(50)) << " ms, p99 " << msOpt(st.percentile(99))
                      << " ms\n";
        }
    }
    writer.flush();
    return anyFailed ? 1 : 0;
}

} // namespace draxo::tool
