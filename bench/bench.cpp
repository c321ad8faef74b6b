// draxo_bench: throughput and cost of libdraxo.so against rexsim, beside
// the line's physical limit and a minimal pyserial poller. Prints a table
// and writes docs/benchmark.md and docs/benchmark.csv.
//
//   draxo_bench [--seconds S] [--out DIR] [--python PYTHON]

#include <sys/resource.h>
#include <sys/utsname.h>

#include <fstream>
#include <iomanip>
#include <iostream>
#include <memory>
#include <nlohmann/json.hpp>
#include <sstream>

#include "korvan.h"
#include "sim_host.h"

namespace {

using simhost::Gate;
using simhost::Instance;
using simhost::Simulator;

// 8N1: a start bit, eight data bits and a stop bit per character.
constexpr double kBitsPerChar = 10.0;
// A read of 01M1: EOT 0 1 M 1 ENQ, then STX M 1 and the six-character
// value, ETX and BCC, then the EOT that ends the exchange.
constexpr int kReadChars = 6 + 11 + 1;
// A write of S1: EOT 0 1 STX S 1 and six characters, ETX, BCC; then ACK.
constexpr int kWriteChars = 13 + 1;

double CpuSeconds() {
    rusage r{};
    ::getrusage(RUSAGE_SELF, &r);
    return static_cast<double>(r.ru_utime.tv_sec + r.ru_stime.tv_sec) +
           static_cast<double>(r.ru_utime.tv_usec + r.ru_stime.tv_usec) / 1e6;
}

struct Row {
    std::string kind; // read, write, pyserial-read, parallel-read
    int baud = 0;     // 0: unpaced pty
    int lines = 1;
    double perSecond = 0;
    double limit = 0; // 0: none
    double cpuUs = 0; // per transaction
    long count = 0;
    long failures = 0;
};

struct Bench {
    std::filesystem::path dir;
    simhost::Library* library;
    double seconds;

    std::unique_ptr<Simulator> simulator(int baud, const std::string& name) {
        std::vector<std::string> args{"--stations", "1", "--frozen", "--delay", "0"};
        if (baud != 0) {
            args.insert(args.end(), {"--pace", "--baud", std::to_string(baud)});
        }
        return std::make_unique<Simulator>(REXSIM_BINARY, args, dir, name);
    }

    // Back-to-back calls of one kind on one instance for `seconds`.
    Row run(const std::string& kind, int baud) {
        auto sim = simulator(baud, "sim");
        Instance inst(library->vpiMain(), 1);
        Row row;
        row.kind = kind;
        row.baud = baud;
        if (inst.coldStart(sim->portName(), 50, static_cast<std::uint16_t>(baud ? baud : 9600)) !=
            0) {
            row.failures = -1;
            return row;
        }
        const bool write = kind == "write";
        Gate g;
        inst.parse(g, write ? "01S1" : "01M1", "bench", draxo::kGateTypeFloat);
        const double cpu0 = CpuSeconds();
        const auto t0 = std::chrono::steady_clock::now();
        while (simhost::SecondsSince(t0) < seconds) {
            g.setValue(static_cast<float>(row.count % 1000));
            ++(((write ? inst.write(g) : inst.read(g)) == 0) ? row.count : row.failures);
        }
        const double elapsed = simhost::SecondsSince(t0);
        row.perSecond = static_cast<double>(row.count) / elapsed;
        row.cpuUs = 1e6 * (CpuSeconds() - cpu0) / static_cast<double>(std::max(row.count, 1L));
        if (baud != 0) {
            row.limit = baud / (kBitsPerChar * (write ? kWriteChars : kReadChars));
        }
        inst.call(simhost::kCloseCom);
        return row;
    }

    Row pyserial(const std::string& python, int baud) {
        auto sim = simulator(baud, "py");
        Row row;
        row.kind = "pyserial-read";
        row.baud = baud;
        const std::string cmd = python + " " + BENCH_SOURCE_DIR + "/pyserial_poller.py " +
                                sim->path() + " " + std::to_string(baud ? baud : 115200) + " " +
                                std::to_string(seconds);
        std::string out;
        if (std::FILE* p = ::popen(cmd.c_str(), "r")) {
            char buf[512];
            while (std::fgets(buf, sizeof buf, p) != nullptr) {
                out += buf;
            }
            ::pclose(p);
        }
        const auto j = nlohmann::json::parse(out, nullptr, false);
        if (!j.is_object()) {
            std::cerr << "pyserial poller: '" << out << "'\n";
            row.failures = -1;
            return row;
        }
        row.count = j.value("reads", 0L);
        row.failures = j.value("failures", 0L);
        row.perSecond = j.value("reads_per_s", 0.0);
        row.cpuUs = j.value("cpu_us_per_read", 0.0);
        if (baud != 0) {
            row.limit = baud / (kBitsPerChar * kReadChars);
        }
        return row;
    }

    // `lines` instances and simulators at 9600, polled from as many threads.
    Row parallel(int lines) {
        std::vector<std::unique_ptr<Simulator>> sims;
        std::vector<std::unique_ptr<Instance>> insts;
        for (int i = 0; i < lines; ++i) {
            sims.push_back(simulator(9600, "par" + std::to_string(i)));
            insts.push_back(std::make_unique<Instance>(library->vpiMain(), i + 1));
            insts.back()->coldStart(sims.back()->portName(), 50, 9600);
        }
        std::vector<long> counts(static_cast<std::size_t>(lines)), fails(counts.size());
        std::vector<std::thread> threads;
        const double cpu0 = CpuSeconds();
        const auto t0 = std::chrono::steady_clock::now();
        for (int i = 0; i < lines; ++i) {
            threads.emplace_back([&, i] {
                const auto k = static_cast<std::size_t>(i);
                Gate g;
                insts[k]->parse(g, "01M1", "bench", draxo::kGateTypeFloat);
                while (simhost::SecondsSince(t0) < seconds) {
                    ++((insts[k]->read(g) == 0) ? counts[k] : fails[k]);
                }
            });
        }
        for (auto& t : threads) {
            t.join();
        }
        const double elapsed = simhost::SecondsSince(t0);
        Row row;
        row.kind = "parallel-read";
        row.baud = 9600;
        row.lines = lines;
        for (std::size_t k = 0; k < counts.size(); ++k) {
            row.count += counts[k];
            row.failures += fails[k];
            insts[k]->call(simhost::kCloseCom);
        }
        row.perSecond = static_cast<double>(row.count) / elapsed;
        row.cpuUs = 1e6 * (CpuSeconds() - cpu0) / static_cast<double>(std::max(row.count, 1L));
        row.limit = lines * 9600 / (kBitsPerChar * kReadChars);
        return row;
    }
};

// The cost of the driver's 1 ms pause on this machine.
double SleepOneMsCost() {
    const int n = 200;
    const auto t0 = std::chrono::steady_clock::now();
    for (int i = 0; i < n; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return simhost::SecondsSince(t0) * 1000.0 / n;
}

std::string Shell(const std::string& cmd) {
    std::string out;
    if (std::FILE* p = ::popen(cmd.c_str(), "r")) {
        char buf[256];
        while (std::fgets(buf, sizeof buf, p) != nullptr) {
            out += buf;
        }
        ::pclose(p);
    }
    while (!out.empty() && (out.back() == '\n' || out.back() == ' ')) {
        out.pop_back();
    }
    return out;
}

std::string Fixed(double v, int decimals) {
    std::ostringstream s;
    s << std::fixed << std::setprecision(decimals) << v;
    return s.str();
}

std::string BaudName(int baud) {
    return baud == 0 ? "pty (unpaced)" : std::to_string(baud);
}

} // namespace

// Runs `reads` unpaced reads and returns; the main run traces this mode
// with strace to count the system calls of one read.
int LoopReads(long reads) {
    simhost::WorkDir dir("draxo-bench-loop");
    std::ofstream(dir.path() / "DRAXO.INT") << "1 = P200\n";
    korvan_set_sink([](std::int32_t, const char*, void*) {}, nullptr);
    simhost::Library library(DRAXO_LIBRARY);
    Simulator sim(REXSIM_BINARY, {"--stations", "1", "--frozen", "--delay", "0"}, dir.path(),
                  "loop");
    Instance inst(library.vpiMain(), 1);
    if (inst.coldStart(sim.portName(), 50) != 0) {
        return 2;
    }
    Gate g;
    inst.parse(g, "01M1", "bench", draxo::kGateTypeFloat);
    long ok = 0;
    for (long i = 0; i < reads; ++i) {
        ok += inst.read(g) == 0 ? 1 : 0;
    }
    inst.call(simhost::kCloseCom);
    return ok == reads ? 0 : 1;
}

struct Syscall {
    std::string name;
    long calls = 0;
    double seconds = 0;
};

// strace -c of the main thread of LoopReads: the calls of the host process
// (the simulator is not followed).
std::vector<Syscall> TraceReads(long reads) {
    std::vector<Syscall> out;
    if (Shell("command -v strace").empty()) {
        return out;
    }
    const std::string summary = (std::filesystem::temp_directory_path() /
                                 ("draxo-bench-strace-" + std::to_string(::getpid())))
                                    .string();
    const std::string self = std::filesystem::read_symlink("/proc/self/exe").string();
    Shell("strace -c -o " + summary + " " + self + " --loop-reads " + std::to_string(reads) +
          " >/dev/null 2>&1");
    std::ifstream in(summary);
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream s(line);
        double pct, secs;
        long usecs, calls;
        if (!(s >> pct >> secs >> usecs >> calls)) {
            continue;
        }
        std::string a, b;
        s >> a >> b;
        Syscall c;
        c.name = b.empty() ? a : b; // the errors column is left out when empty
        c.calls = calls;
        c.seconds = secs;
        if (c.name != "total") {
            out.push_back(c);
        }
    }
    std::filesystem::remove(summary);
    return out;
}

int main(int argc, char** argv) {
    if (argc == 3 && std::string(argv[1]) == "--loop-reads") {
        return LoopReads(std::atol(argv[2]));
    }
    double seconds = 3.0;
    std::filesystem::path out = BENCH_DOCS_DIR;
    std::string python = "/usr/bin/python3"; // Debian's, with python3-serial
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string a = argv[i];
        if (a == "--seconds") {
            seconds = std::atof(argv[i + 1]);
        } else if (a == "--out") {
            out = argv[i + 1];
        } else if (a == "--python") {
            python = argv[i + 1];
        } else {
            std::cerr << "usage: draxo_bench [--seconds S] [--out DIR] [--python PYTHON]\n";
            return 2;
        }
    }
    out = std::filesystem::absolute(out);

    std::vector<Row> rows;
    double sleepMs = 0;
    const long tracedReads = 2000;
    const std::vector<Syscall> syscalls = TraceReads(tracedReads);
    try {
        simhost::WorkDir dir("draxo-bench");
        std::ofstream(dir.path() / "DRAXO.INT") << "1 = P200\n";
        korvan_set_sink([](std::int32_t, const char*, void*) {}, nullptr);
        simhost::Library library(DRAXO_LIBRARY);
        Bench bench{dir.path(), &library, seconds};
        sleepMs = SleepOneMsCost();
        for (int baud : {9600, 19200, 38400, 115200, 0}) {
            for (const char* kind : {"read", "write"}) {
                rows.push_back(bench.run(kind, baud));
                std::cerr << kind << " " << BaudName(baud) << ": "
                          << Fixed(rows.back().perSecond, 1) << "/s\n";
            }
            rows.push_back(bench.pyserial(python, baud));
            std::cerr << "pyserial " << BaudName(baud) << ": " << Fixed(rows.back().perSecond, 1)
                      << "/s\n";
        }
        for (int lines : {1, 2, 4, 8}) {
            rows.push_back(bench.parallel(lines));
            std::cerr << "parallel " << lines << ": " << Fixed(rows.back().perSecond, 1) << "/s\n";
        }
    } catch (const std::exception& e) {
        std::cerr << "draxo_bench: " << e.what() << "\n";
        return 2;
    }
    rusage ru{};
    ::getrusage(RUSAGE_SELF, &ru);

    // CSV for the plot.
    std::filesystem::create_directories(out);
    {
        std::ofstream csv(out / "benchmark.csv");
        csv << "kind,baud,lines,per_second,limit_per_second,ratio,cpu_us_per_transaction,count,"
               "failures\n";
        for (const Row& r : rows) {
            csv << r.kind << "," << r.baud << "," << r.lines << "," << Fixed(r.perSecond, 2) << ","
                << Fixed(r.limit, 2) << "," << (r.limit > 0 ? Fixed(r.perSecond / r.limit, 3) : "")
                << "," << Fixed(r.cpuUs, 1) << "," << r.count << "," << r.failures << "\n";
        }
    }

    auto find = [&](const std::string& kind, int baud) -> const Row* {
        for (const Row& r : rows) {
            if (r.kind == kind && r.baud == baud) {
                return &r;
            }
        }
        return nullptr;
    };
    std::ostringstream md;
    md << "# Benchmark\n\n"
       << "Written by `draxo_bench` (bench/, run with `scripts/bench.sh`); each figure is "
       << Fixed(seconds, 1) << " s of back-to-back calls. Regenerate rather than edit.\n\n";
    utsname u{};
    ::uname(&u);
    md << "Machine: " << Shell("nproc") << " CPUs, "
       << Shell("grep -m1 'model name' /proc/cpuinfo | cut -d: -f2- | sed 's/^ *//'") << ", Linux "
       << u.release << ". Peak memory of the host process (ru_maxrss): " << ru.ru_maxrss
       << " KiB.\n\n";
    md << "## One line, against rexsim `--pace --baud N --delay 0`\n\n"
       << "The limit is the wire time of the exchange at 10 bits per character: a read of "
          "01M1 is 6 request + 11 reply + 1 EOT characters, a write of S1 13 request + 1 "
          "ACK characters. `pty` rows are unpaced (no wire time): the cost of the software "
          "alone.\n\n";
    md << "| baud | driver reads/s | limit | ratio | CPU µs/read | driver writes/s | limit | "
          "ratio | CPU µs/write | pyserial reads/s | ratio | CPU µs/read |\n"
       << "|---|---|---|---|---|---|---|---|---|---|---|---|\n";
    for (int baud : {9600, 19200, 38400, 115200, 0}) {
        const Row* r = find("read", baud);
        const Row* w = find("write", baud);
        const Row* p = find("pyserial-read", baud);
        auto ratio = [](const Row* x) {
            return x->limit > 0 ? Fixed(x->perSecond / x->limit, 2) : std::string("–");
        };
        auto limit = [](const Row* x) {
            return x->limit > 0 ? Fixed(x->limit, 1) : std::string("–");
        };
        md << "| " << BaudName(baud) << " | " << Fixed(r->perSecond, 1) << " | " << limit(r)
           << " | " << ratio(r) << " | " << Fixed(r->cpuUs, 0) << " | " << Fixed(w->perSecond, 1)
           << " | " << limit(w) << " | " << ratio(w) << " | " << Fixed(w->cpuUs, 0) << " | "
           << Fixed(p->perSecond, 1) << " | " << ratio(p) << " | " << Fixed(p->cpuUs, 0) << " |\n";
    }
    md << "\n## Several lines at 9600 baud, one thread, instance and rexsim per line\n\n"
       << "| lines | reads/s, all lines | limit | ratio | CPU µs/read |\n|---|---|---|---|---|\n";
    for (const Row& r : rows) {
        if (r.kind == "parallel-read") {
            md << "| " << r.lines << " | " << Fixed(r.perSecond, 1) << " | " << Fixed(r.limit, 1)
               << " | " << Fixed(r.perSecond / r.limit, 2) << " | " << Fixed(r.cpuUs, 0) << " |\n";
        }
    }
    const Row* unpacedRead = find("read", 0);
    const Row* unpacedWrite = find("write", 0);
    const double readMs = 1000.0 / unpacedRead->perSecond;
    const double writeMs = 1000.0 / unpacedWrite->perSecond;
    md << "\n## Where the time goes\n\n"
       << "Unpaced, a read takes " << Fixed(readMs, 3) << " ms and a write " << Fixed(writeMs, 3)
       << " ms of wall time, but only " << Fixed(unpacedRead->cpuUs, 0) << " and "
       << Fixed(unpacedWrite->cpuUs, 0)
       << " µs of CPU in the host process: the driver waits, it does not compute. After "
          "every transmission it sleeps 1 ms at least once while the output queue drains; a "
          "read makes two transmissions (the request and the closing EOT), a write one. "
          "A 1 ms sleep costs "
       << Fixed(sleepMs, 3) << " ms on this machine (timer slack and wake-up), so the sleeps "
       << "alone account for " << Fixed(2 * sleepMs, 2) << " ms of each read ("
       << Fixed(100.0 * 2 * sleepMs / readMs, 0) << " %) and " << Fixed(sleepMs, 2)
       << " ms of each write (" << Fixed(100.0 * sleepMs / writeMs, 0) << " %). The rest, "
       << Fixed(readMs - 2 * sleepMs, 3) << " ms per read and " << Fixed(writeMs - sleepMs, 3)
       << " ms per write, is the round trip through the pty and the simulator's process: "
          "scheduling on a shared machine, one read system call per received character, the "
          "input flush and the output-queue status call before each sleep.\n\n";
    if (!syscalls.empty()) {
        md << "System calls of the host process per unpaced read (`strace -c` over " << tracedReads
           << " reads, simulator not traced; times under strace are inflated):\n\n"
           << "| system call | calls per read | kernel µs per read (traced) |\n|---|---|---|\n";
        for (const Syscall& c : syscalls) {
            const double perRead = static_cast<double>(c.calls) / tracedReads;
            if (perRead >= 0.5) {
                md << "| " << c.name << " | " << Fixed(perRead, 2) << " | "
                   << Fixed(1e6 * c.seconds / tracedReads, 1) << " |\n";
            }
        }
        md << "\nOf the ioctl calls four per read are the RTS raise and drop around the two "
              "transmissions, which a pty refuses (the driver logs \"EscapeCommFunction() "
              "failed\" for each); the others are the input flush and the output-queue "
              "queries. One read call per received character: 11 for the reply.\n\n";
    }
    const Row* fast = find("read", 115200);
    const Row* fastPy = find("pyserial-read", 115200);
    md << "On a paced line the same fixed cost comes on top of the wire time, so the ratio to "
          "the limit falls as the baud rate rises: at 9600 the two sleeps are a small share of "
          "the 18.75 ms a read needs on the wire, at 115200 (1.56 ms on the wire) they are "
          "the larger part: "
       << Fixed(1000.0 / fast->perSecond, 2) << " ms per read measured there.\n\n"
       << "The simulated line is a little faster than the limit: rexsim waits the request's "
          "wire time and then writes each reply character at the start of its character "
          "time, and nothing delays the closing EOT, so a read costs it 6 + 10 = 16 "
          "character times (9600 baud: "
       << Fixed(9600 / (kBitsPerChar * 16), 1) << " reads/s at most) and a write 13 ("
       << Fixed(9600 / (kBitsPerChar * 13), 1)
       << " writes/s). That is why a ratio can exceed 1 at 9600.\n\n"
       << "The pyserial poller reads byte by byte as well (pyserial's read_until reads one "
          "byte per call) but makes no sleeps and no RTS or queue calls. At 115200 it makes "
       << Fixed(fastPy->perSecond, 1) << " reads/s against the driver's "
       << Fixed(fast->perSecond, 1) << ", and spends " << Fixed(fastPy->cpuUs, 0)
       << " µs of CPU per read in the "
       << "interpreter against the driver's " << Fixed(fast->cpuUs, 0) << " µs.\n";

    std::ofstream(out / "benchmark.md") << md.str();
    std::cout << md.str();
    return 0;
}
