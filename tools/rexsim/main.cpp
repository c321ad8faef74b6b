// rexsim: a line of simulated REX-P200 program controllers on a
// pseudo-terminal (or a serial device), for testing the driver.

#include "control.h"
#include "draxo_version.h"
#include "faults.h"
#include "line.h"
#include "model.h"
#include "protocol.h"

#include <CLI/CLI.hpp>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <optional>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace rexsim;

namespace {

volatile std::sig_atomic_t gStop = 0;
void onSignal(int) {
    gStop = 1;
}

double monotonicMs() {
    using namespace std::chrono;
    return duration<double, std::milli>(steady_clock::now().time_since_epoch()).count();
}

double wallSeconds() {
    using namespace std::chrono;
    return std::round(duration<double>(system_clock::now().time_since_epoch()).count() * 1000.0) /
           1000.0;
}

// "1,2", "0-15", "0,3-5".
std::optional<std::array<bool, kStations>> parseStations(const std::string& text) {
    std::array<bool, kStations> out{};
    bool any = false;
    size_t pos = 0;
    while (pos <= text.size()) {
        size_t comma = text.find(',', pos);
        std::string item =
            text.substr(pos, comma == std::string::npos ? std::string::npos : comma - pos);
        int lo, hi;
        char extra;
        if (std::sscanf(item.c_str(), "%d-%d%c", &lo, &hi, &extra) == 2) {
        } else if (std::sscanf(item.c_str(), "%d%c", &lo, &extra) == 1) {
            hi = lo;
        } else {
            return std::nullopt;
        }
        if (item.find_first_not_of("0123456789-") != std::string::npos || lo < 0 || hi < lo ||
            hi >= kStations) {
            return std::nullopt;
        }
        for (int a = lo; a <= hi; ++a) {
            out[a] = any = true;
        }
        if (comma == std::string::npos) {
            break;
        }
        pos = comma + 1;
    }
    if (!any) {
        return std::nullopt;
    }
    return out;
}

struct Options {
    std::string device, link, stations = "1,2", control, journal;
    bool frozen = false, pace = false, trace = false;
    double delayMs = 2.0, lateMs = 1500.0, exitAfter = -1;
    LineSettings line;
    std::uint64_t seed = 1;
    std::optional<double> faults, drop, corrupt, late, nak, junk, babble;
};

bool removeOurLink(const std::string& link, const std::string& target) {
    char buf[4096];
    ssize_t n = ::readlink(link.c_str(), buf, sizeof buf - 1);
    if (n < 0) {
        return false;
    }
    buf[n] = 0;
    return target == buf && ::unlink(link.c_str()) == 0;
}

} // namespace

int main(int argc, char** argv) {
    Options o;
    CLI::App app{"rexsim " DRAXO_VERSION ": simulates a line of up to sixteen REX-P200 program "
                 "controllers (an invented model) on a pseudo-terminal. The pty slave path is "
                 "printed as the first line of standard output."};
    app.set_version_flag("--version", std::string("rexsim ") + DRAXO_VERSION);
    app.add_option("--device", o.device,
                   "use this serial device instead of a pty (e.g. --device /dev/ttyUSB0)");
    app.add_option("--link", o.link,
                   "also create a symlink to the pty slave, removed on exit "
                   "(e.g. --link /tmp/rex0)");
    app.add_option("--stations", o.stations,
                   "simulated addresses 0..15, list or ranges (e.g. --stations 1,2 or 0-15)")
        ->capture_default_str();
    app.add_flag("--frozen", o.frozen,
                 "values change only by writes: no lag, noise or countdown (e.g. --frozen)");
    app.add_option("--delay", o.delayMs, "reply delay in ms (e.g. --delay 2)")
        ->check(CLI::Range(0.0, 60000.0))
        ->capture_default_str();
    app.add_flag("--pace", o.pace,
                 "pace replies at the line rate and wait for the request's wire time "
                 "(e.g. --pace --baud 9600)");
    app.add_option("--baud", o.line.baud, "line rate in bit/s (e.g. --baud 19200)")
        ->check(CLI::Range(50, 4000000))
        ->capture_default_str();
    app.add_option("--data-bits", o.line.dataBits, "7 or 8 (e.g. --data-bits 7)")
        ->check(CLI::IsMember({7, 8}))
        ->capture_default_str();
    app.add_option("--parity", o.line.parity, "none|odd|even|mark|space (e.g. --parity even)")
        ->check(CLI::IsMember({"none", "odd", "even", "mark", "space"}))
        ->capture_default_str();
    app.add_option("--stop-bits", o.line.stopBits, "1 or 2 (e.g. --stop-bits 2)")
        ->check(CLI::IsMember({1, 2}))
        ->capture_default_str();
    app.add_option("--seed", o.seed, "seed of the fault injector and the noise (e.g. --seed 42)")
        ->capture_default_str();
    auto prob = CLI::Range(0.0, 1.0);
    app.add_option("--faults", o.faults,
                   "probability of every fault kind below, unless given singly "
                   "(e.g. --faults 0.02)")
        ->check(prob);
    app.add_option("--drop", o.drop, "probability of ignoring a request (e.g. --drop 0.1)")
        ->check(prob);
    app.add_option("--corrupt", o.corrupt,
                   "probability of flipping one bit of a reply (e.g. --corrupt 0.1)")
        ->check(prob);
    app.add_option("--late", o.late, "probability of answering after --late-ms (e.g. --late 0.1)")
        ->check(prob);
    app.add_option("--late-ms", o.lateMs, "delay of a late answer in ms (e.g. --late-ms 1500)")
        ->check(CLI::Range(0.0, 600000.0))
        ->capture_default_str();
    app.add_option("--nak", o.nak, "probability of answering a lone NAK (e.g. --nak 0.1)")
        ->check(prob);
    app.add_option("--junk", o.junk,
                   "probability of answering a few random bytes (e.g. --junk 0.1)")
        ->check(prob);
    app.add_option("--babble", o.babble,
                   "probability of answering hundreds of non-STX characters (e.g. --babble 0.01)")
        ->check(prob);
    app.add_flag("--trace", o.trace,
                 "decoded trace of both directions on standard error (e.g. --trace)");
    app.add_option("--exit-after", o.exitAfter, "end after SEC seconds (e.g. --exit-after 30)")
        ->check(CLI::Range(0.0, 1e9));
    app.add_option("--control", o.control,
                   "UNIX socket for get/set/dump/stats commands (e.g. --control /tmp/rexsim.sock)");
    app.add_option("--journal", o.journal,
                   "append a JSON line per reply and per accepted write "
                   "(e.g. --journal /tmp/rexsim.jsonl)");
    app.footer("Example: rexsim --stations 1,2 --link /tmp/rex0 --trace --faults 0.05 --seed 7\n"
               "Control: echo 'get 1 PN03SN07TM' | socat - UNIX-CONNECT:/tmp/rexsim.sock");
    CLI11_PARSE(app, argc, argv);

    auto present = parseStations(o.stations);
    if (!present) {
        std::fprintf(stderr, "rexsim: --stations: want addresses 0..15 like 1,2 or 0-15\n");
        return 1;
    }

    FaultConfig fc;
    auto setFault = [&](Fault f, const std::optional<double>& v) {
        fc.of(f) = v ? *v : (o.faults ? *o.faults : 0.0);
    };
    setFault(Fault::Drop, o.drop);
    setFault(Fault::Corrupt, o.corrupt);
    setFault(Fault::Late, o.late);
    setFault(Fault::Nak, o.nak);
    setFault(Fault::Junk, o.junk);
    setFault(Fault::Babble, o.babble);

    // Signals are taken only inside ppoll, so a stop can never be missed
    // between a check and the wait.
    sigset_t blocked, waitMask;
    sigemptyset(&blocked);
    sigaddset(&blocked, SIGINT);
    sigaddset(&blocked, SIGTERM);
    sigprocmask(SIG_BLOCK, &blocked, &waitMask);
    sigdelset(&waitMask, SIGINT);
    sigdelset(&waitMask, SIGTERM);
    struct sigaction sa {};
    sa.sa_handler = onSignal;
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
    std::signal(SIGPIPE, SIG_IGN);

    Line line;
    std::string err = o.device.empty() ? openPty(line) : openDevice(line, o.device, o.line);
    if (!err.empty()) {
        std::fprintf(stderr, "rexsim: %s\n", err.c_str());
        return 1;
    }

    bool linked = false;
    if (!o.link.empty()) {
        struct stat st {};
        if (::lstat(o.link.c_str(), &st) == 0) {
            if (!S_ISLNK(st.st_mode)) {
                std::fprintf(stderr, "rexsim: --link %s exists and is not a symlink\n",
                             o.link.c_str());
                closeLine(line);
                return 1;
            }
            ::unlink(o.link.c_str());
        }
        if (::symlink(line.path.c_str(), o.link.c_str()) != 0) {
            std::fprintf(stderr, "rexsim: symlink %s: %s\n", o.link.c_str(), std::strerror(errno));
            closeLine(line);
            return 1;
        }
        linked = true;
    }
    auto cleanup = [&] {
        if (linked) {
            removeOurLink(o.link, line.path);
        }
        closeLine(line);
    };

    ControlServer control;
    if (!o.control.empty()) {
        err = control.listenAt(o.control);
        if (!err.empty()) {
            std::fprintf(stderr, "rexsim: %s\n", err.c_str());
            cleanup();
            return 1;
        }
    }

    std::FILE* journal = nullptr;
    if (!o.journal.empty()) {
        journal = std::fopen(o.journal.c_str(), "a");
        if (journal == nullptr) {
            std::fprintf(stderr, "rexsim: --journal %s: %s\n", o.journal.c_str(),
                         std::strerror(errno));
            cleanup();
            return 1;
        }
    }
    auto writeJournal = [&](nlohmann::json rec) {
        if (journal == nullptr || !rec.is_object()) {
            return;
        }
        nlohmann::json out = {{"t", wallSeconds()}};
        out.update(rec);
        std::string s = out.dump() + "\n";
        std::fwrite(s.data(), 1, s.size(), journal);
        std::fflush(journal);
    };
    auto trace = [&](const char* dir, const std::string& text) {
        if (o.trace) {
            std::fprintf(stderr, "%s %s\n", dir, text.c_str());
        }
    };

    Model model(*present, o.frozen, o.seed);
    FaultInjector faults(fc, o.seed);
    double charTime = o.line.charTimeMs();
    Transmitter tx(line.fd, o.pace ? charTime : 0.0);
    EngineConfig ec{o.delayMs, o.lateMs, o.pace ? charTime : 0.0};

    double now = monotonicMs();
    Engine::Sink sink;
    sink.traceIn = [&](const std::string& s) { trace(">", s); };
    sink.journal = [&](const nlohmann::json& j) { writeJournal(j); };
    sink.respond = [&](Response r) {
        if (r.bytes.empty()) {
            trace("<", std::string("(no answer: ") + faultName(r.fault) + ")");
            writeJournal(r.journal);
            return;
        }
        std::string t = r.trace;
        if (r.fault != Fault::None) {
            t += std::string(" [") + faultName(r.fault) + "]";
        }
        nlohmann::json j = std::move(r.journal);
        tx.queue(now + r.delayMs, std::move(r.bytes), [&trace, &writeJournal, t, j] {
            trace("<", t);
            writeJournal(j);
        });
    };
    Engine engine(model, faults, ec, sink);
    auto stats = [&] {
        nlohmann::json j = engine.stats().toJson();
        j["bytes_out"] = tx.bytesOut();
        j["stalled"] = tx.stalled();
        return j;
    };

    std::printf("%s\n", line.path.c_str());
    std::fflush(stdout);

    const double start = now;
    double lastTick = now;
    double lineQuietUntil = 0; // after a read error, so as not to spin
    while (!gStop) {
        now = monotonicMs();
        if (o.exitAfter >= 0 && now - start >= o.exitAfter * 1000.0) {
            break;
        }
        model.tick((now - lastTick) / 1000.0);
        lastTick = now;

        bool blockedOut = false;
        double next = tx.pump(now, blockedOut);

        // Wait for input, writability, the next byte due, the model's tick
        // or the end.
        double timeout = -1;
        auto atMost = [&](double ms) { timeout = timeout < 0 ? ms : std::min(timeout, ms); };
        if (blockedOut) {
            atMost(100); // also checks for a stalled reply
        } else if (next >= 0) {
            atMost(std::max(0.0, next - now));
        }
        if (!o.frozen) {
            atMost(100);
        }
        if (o.exitAfter >= 0) {
            atMost(std::max(0.0, start + o.exitAfter * 1000.0 - now));
        }
        if (now < lineQuietUntil) {
            atMost(lineQuietUntil - now);
        }

        std::vector<pollfd> fds;
        fds.push_back(pollfd{
            line.fd,
            static_cast<short>((now >= lineQuietUntil ? POLLIN : 0) | (blockedOut ? POLLOUT : 0)),
            0});
        for (int fd : control.fds()) {
            fds.push_back(pollfd{fd, POLLIN, 0});
        }
        timespec ts{};
        timespec* tsp = nullptr;
        if (timeout >= 0) {
            ts.tv_sec = static_cast<time_t>(timeout / 1000.0);
            ts.tv_nsec = static_cast<long>((timeout - ts.tv_sec * 1000.0) * 1e6);
            tsp = &ts;
        }
        int n = ::ppoll(fds.data(), fds.size(), tsp, &waitMask);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            std::fprintf(stderr, "rexsim: poll: %s\n", std::strerror(errno));
            break;
        }
        now = monotonicMs();
        if (fds[0].revents & (POLLIN | POLLHUP | POLLERR)) {
            char buf[512];
            for (;;) {
                ssize_t got = ::read(line.fd, buf, sizeof buf);
                if (got > 0) {
                    engine.feed(std::string_view(buf, static_cast<size_t>(got)));
                    continue;
                }
                if (got < 0 && errno == EINTR) {
                    continue;
                }
                if (got == 0 || (errno != EAGAIN && errno != EWOULDBLOCK)) {
                    lineQuietUntil = now + 100;
                }
                break;
            }
        }
        if (fds.size() > 1) {
            control.service([&](const std::string& cmd) {
                std::string reply = handleCommand(model, stats, cmd);
                if (o.trace) {
                    trace("#", cmd + " -> " + reply.substr(0, 200));
                }
                return reply;
            });
        }
    }

    if (journal != nullptr) {
        std::fclose(journal);
    }
    cleanup();
    return 0;
}
