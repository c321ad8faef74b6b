#include "commands.h"

#include <filesystem>
#include <fstream>
#include <iostream>
#include <nlohmann/json.hpp>

#include "draxo_version.h"
#include "platform_util.h"
#include "poller.h"
#include "sim_process.h"

namespace draxo::tool {

namespace fs = std::filesystem;

namespace {

std::string lineText(const LineParams& l) {
    static const char* parity[] = {"none", "odd", "even", "mark", "space"};
    std::string s = std::to_string(l.baud) + " baud, " + std::to_string(l.dataBits & 0xFF) +
                    " data bits, parity " + (l.parity < 5 ? parity[l.parity] : "?") + ", ";
    s += (l.stopBits & 0xFF) == 0   ? "1 stop bit"
         : (l.stopBits & 0xFF) == 2 ? "2 stop bits"
                                    : "1.5 stop bits";
    return s;
}

std::vector<std::string> addressesOf(const std::vector<GateEntry>& entries) {
    std::vector<std::string> out;
    for (const auto& s : entries) {
        out.push_back(s.address);
    }
    return out;
}

void printNotes(const std::vector<std::string>& notes) {
    for (const auto& n : notes) {
        std::cerr << "draxo: note: " << n << '\n';
    }
}

} // namespace

int cmdInfo(const CommonOptions& options) {
    DriverLog log;
    DriverLibrary lib(options.driver, log);
    DriverInfo info = getDriverInfo(lib);
    if (info.result != 0) {
        std::cerr << "draxo: GetVpiInfo answered " << info.result << '\n';
        return 1;
    }
    Format f = parseFormat(options.format);
    if (f == Format::Jsonl) {
        nlohmann::ordered_json j;
        j["driver"] = lib.path().string();
        j["vendor"] = info.vendor;
        j["product"] = info.product;
        j["banner"] = info.banner;
        j["instanceSize"] = info.raw.instanceSize;
        j["defaultLine"] = {{"baud", info.raw.defaultLine.baud},
                            {"dataBits", info.raw.defaultLine.dataBits},
                            {"stopBits", info.raw.defaultLine.stopBits},
                            {"parity", info.raw.defaultLine.parity}};
        j["words"] = {info.raw.word0, info.raw.word4, info.raw.word7};
        std::cout << j.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) << '\n';
        return 0;
    }
    std::cout << info.banner << "\n\n";
    std::cout << "driver:         " << lib.path().string() << '\n'
              << "name:           " << info.vendor << '\n'
              << "                " << info.product << '\n'
              << "instance block: " << info.raw.instanceSize << " bytes\n"
              << "default line:   " << lineText(info.raw.defaultLine) << '\n'
              << "host words:     " << info.raw.word0 << ", " << info.raw.word4 << ", "
              << info.raw.word7 << '\n'
              << "draxo:          " << DRAXO_VERSION << '\n';
    if (options.verbose > 0) {
        for (const auto& l : log.since(0)) {
            std::cerr << "driver [" << l.messageClass << "] " << l.text << '\n';
        }
    }
    return 0;
}

int cmdRead(const CommonOptions& options, const std::vector<std::string>& gateTexts) {
    std::vector<GateEntry> entries;
    for (const auto& t : gateTexts) {
        entries.push_back(parseGateEntry(t));
    }
    SampleWriter writer(std::cout, parseFormat(options.format));
    Session session(options, addressesOf(entries));
    session.applySelects();
    bool failed = false;
    for (const auto& entry : entries) {
        Gate g = session.makeGate(entry);
        CallOutcome out{1, 0, std::chrono::system_clock::now(), {}};
        if (g.usable) {
            out = session.instance().read(g);
        }
        Sample s = sampleOf(g, out, "read", true);
        failed = failed || s.result != 0;
        writer.add(s);
    }
    session.end();
    writer.flush();
    return failed ? 1 : 0;
}

int cmdWrite(const CommonOptions& options, const std::vector<std::string>& items) {
    std::vector<WriteEntry> writes;
    std::vector<GateEntry> entries;
    for (const auto& t : items) {
        writes.push_back(parseWriteEntry(t));
        entries.push_back(writes.back().gate);
    }
    SampleWriter writer(std::cout, parseFormat(options.format));
    Session session(options, addressesOf(entries));
    session.applySelects();

    // Every address parsed and every value checked before the first write,
    // so that a typing error does not leave half the writes done.
    std::vector<Gate> gates;
    std::vector<SlotValue> values;
    std::vector<std::string> notes;
    for (const auto& w : writes) {
        gates.push_back(session.makeGate(w.gate));
        SlotValue v;
        if (gates.back().usable) {
            v = encodeWriteValue(gates.back().parsed, w.value);
            if (!v.note.empty()) {
                notes.push_back(w.gate.address + ": " + v.note);
            }
        }
        values.push_back(v);
    }
    printNotes(notes);

    bool failed = false;
    for (std::size_t i = 0; i < gates.size(); ++i) {
        Gate& g = gates[i];
        CallOutcome out{1, 0, std::chrono::system_clock::now(), {}};
        if (g.usable) {
            out = session.instance().write(g, values[i].bytes);
            std::memcpy(g.slot, values[i].bytes, sizeof g.slot);
        }
        Sample s = sampleOf(g, out, "write", true);
        failed = failed || s.result != 0;
        writer.add(s);
    }
    session.end();
    writer.flush();
    return failed ? 1 : 0;
}

int cmdPoll(const CommonOptions& options, const std::vector<std::string>& gateTexts,
            unsigned intervalMs, unsigned long count, double seconds) {
    std::vector<GateEntry> entries;
    for (const auto& t : gateTexts) {
        entries.push_back(parseGateEntry(t));
    }
    Format format = parseFormat(options.format);
    SampleWriter writer(std::cout, format);
    Session session(options, addressesOf(entries));
    session.applySelects();
    std::vector<Gate> gates;
    for (const auto& s : entries) {
        gates.push_back(session.makeGate(s));
    }
    PollOptions po;
    po.intervalMs = intervalMs;
    po.count = count;
    po.seconds = seconds;
    po.verbose = options.verbose;
    po.live = format == Format::Table && stdoutIsTerminal() && enableAnsi();
    installInterruptHandler();
    int rc = runPoll(session, gates, po, writer, std::cout);
    session.end();
    return rc;
}

int cmdScan(const CommonOptions& options, const std::string& writeInit) {
    CommonOptions o = options;
    if (!o.timeoutGiven) {
        o.line.timeoutMs = 50;
    }
    if (!o.initFile.empty() || !o.stations.empty()) {
        throw UsageError{"scan declares all sixteen addresses itself; leave out --init/--stations"};
    }
    std::vector<unsigned> all;
    for (unsigned a = 0; a < 16; ++a) {
        all.push_back(a);
    }
    Format format = parseFormat(o.format);
    SampleWriter writer(std::cout, format);
    Session session(o, {}, initFileText(all, o.ifg));
    installInterruptHandler();
    if (format == Format::Table) {
        std::cerr << "draxo: scanning addresses 0..15 on " << o.line.port << " (M1, reply time-out "
                  << o.line.timeoutMs << " ms)\n";
    }
    std::vector<unsigned> answering;
    for (unsigned a = 0; a < 16 && !interrupted(); ++a) {
        char address[8];
        std::snprintf(address, sizeof address, "%02uM1", a);
        Gate g = session.makeGate(GateEntry{address, {}});
        CallOutcome out{1, 0, std::chrono::system_clock::now(), {}};
        if (g.usable) {
            out = session.instance().read(g);
        }
        if (out.result == 0) {
            answering.push_back(a);
        }
        Sample s = sampleOf(g, out, "read", true);
        if (out.result == 1) {
            s.detail = "something answered, but not well: " + s.detail;
        }
        writer.add(s);
    }
    session.end();
    writer.flush();
    std::string list;
    for (unsigned a : answering) {
        list += (list.empty() ? "" : ", ") + std::to_string(a);
    }
    std::cerr << "draxo: answering: " << (list.empty() ? "none" : list) << '\n';
    if (!writeInit.empty()) {
        fs::path target(writeInit);
        fs::path tmp = target;
        tmp += ".draxo-tmp";
        {
            std::ofstream f(tmp, std::ios::binary);
            f << "; written by draxo scan on " << o.line.port << "\n";
            f << initFileText(answering, o.ifg);
            if (!f) {
                throw UsageError{"cannot write " + tmp.string()};
            }
        }
        fs::rename(tmp, target);
        std::cerr << "draxo: wrote " << target.string() << '\n';
    }
    return answering.empty() ? 1 : 0;
}

int cmdDemo(const CommonOptions& options, double seconds, const std::string& rexsimOption) {
    fs::path rexsim = rexsimOption.empty() ? executableDir() / "rexsim" : fs::path(rexsimOption);
    if (!fs::exists(rexsim)) {
        throw UsageError{"the demo needs the simulator rexsim beside draxo (" + rexsim.string() +
                         "); build it, or give --rexsim PATH"};
    }
    std::ostream& out = std::cout;
    out << "draxo demo: a simulated serial line with two REX-P200 controllers\n"
        << "(stations 1 and 2), driven through the real driver the way a SCADA\n"
        << "host drives it.\n\n";

    out << "1. Starting the simulator: " << rexsim.string() << " --stations 1,2\n";
    SimProcess sim(
        rexsim,
        {"--stations", "1,2", "--exit-after", std::to_string(static_cast<long>(seconds) + 120)},
        options.verbose > 0);
    std::string path = sim.firstLine();
    CommonOptions o = options;
    o.line.port = portNameForPath(path);
    o.stations = "1,2";
    o.initFile.clear();
    out << "   It serves the pseudo-terminal " << path << "; the driver opens it as '"
        << o.line.port << "'.\n\n";

    out << "2. Starting the driver: init file '1 = P200', '2 = P200'; line " << o.line.baud
        << " baud, reply time-out " << o.line.timeoutMs << " ms\n";
    Session session(o, {});
    out << "   " << session.info().vendor << ", " << session.info().product
        << "; port open, handle " << session.instance().handle() << ".\n\n";

    bool failed = false;
    auto runWrites = [&](const std::vector<std::string>& items) {
        SampleWriter w(out, Format::Table);
        for (const auto& t : items) {
            auto ws = parseWriteEntry(t);
            Gate g = session.makeGate(ws.gate);
            CallOutcome r{1, 0, std::chrono::system_clock::now(), {}};
            if (g.usable) {
                auto v = encodeWriteValue(g.parsed, ws.value);
                r = session.instance().write(g, v.bytes);
                std::memcpy(g.slot, v.bytes, sizeof g.slot);
            }
            Sample s = sampleOf(g, r, "write", true);
            failed = failed || s.result != 0;
            w.add(s);
        }
        w.flush();
    };
    auto runReads = [&](const std::vector<std::string>& items) {
        SampleWriter w(out, Format::Table);
        for (const auto& t : items) {
            Gate g = session.makeGate(parseGateEntry(t));
            CallOutcome r{1, 0, std::chrono::system_clock::now(), {}};
            if (g.usable) {
                r = session.instance().read(g);
            }
            Sample s = sampleOf(g, r, "read", true);
            failed = failed || s.result != 0;
            w.add(s);
        }
        w.flush();
    };

    out << "3. Writing set values (S1) to both controllers, and reading them back:\n";
    runWrites({"01S1=150", "02S1=80"});
    runReads({"01S1", "02S1"});
    out << "\n4. Segment gates choose which program and step the grouped identifiers\n"
        << "   address. They live in the driver, not in the controller: 0125 is station 1's\n"
        << "   program number (PN), 0130 its step number (SN). After 0125=1 and 0130=2 the\n"
        << "   driver requests 01LE and 01TM as PN01SN02LE and PN01SN02TM. TM is a time:\n"
        << "   the driver holds it as the number hhmmss, shown also as hh:mm:ss.\n";
    runWrites({"0125=1", "0130=2"});
    runReads({"0125", "0130", "01LE", "01TM"});

    out << "\n5. Polling a few gates live for " << seconds
        << " s (Ctrl-C stops early). M1 is the measured value,\n"
        << "   S1 the set value; the counters show good and failed reads per gate.\n\n";
    std::vector<Gate> gates;
    for (const char* t : {"oven1=01M1", "set1=01S1", "step1=01TM", "oven2=02M1", "set2=02S1"}) {
        gates.push_back(session.makeGate(parseGateEntry(t)));
    }
    PollOptions po;
    po.intervalMs = 500;
    po.seconds = seconds;
    po.verbose = o.verbose;
    po.title = "draxo demo";
    po.live = stdoutIsTerminal() && enableAnsi();
    installInterruptHandler();
    SampleWriter pw(out, Format::Table);
    if (!po.live) {
        out << "   (not a terminal: one line per sample)\n";
    }
    runPoll(session, gates, po, pw, out);

    session.end();
    out << "\n6. Stopping the simulator.\n";
    sim.stop();
    out << (failed ? "Done, but some steps failed (see above).\n"
                   : "Done. Against a real line: draxo read --port COM3 --stations 1 01M1\n");
    return failed ? 1 : 0;
}

} // namespace draxo::tool
