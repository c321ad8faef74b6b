#include "session.h"

#include <fstream>
#include <iostream>
#include <sstream>

namespace draxo::tool {

namespace {

std::string readWholeFile(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    if (!f) {
        throw UsageError{"cannot read the init file '" + path + "'"};
    }
    std::ostringstream s;
    s << f.rdbuf();
    return s.str();
}

} // namespace

Session::Session(const CommonOptions& options, const std::vector<std::string>& addresses,
                 const std::string& initText)
    : options_(options) {
    ColdStartParams params = coldStartParams(options.line);

    if (!initText.empty()) {
        initText_ = initText;
    } else if (!options.initFile.empty()) {
        if (!options.stations.empty()) {
            throw UsageError{"give either --init or --stations, not both"};
        }
        initText_ = readWholeFile(options.initFile);
        if (options.ifg) {
            // The last IFG line of the file wins.
            if (!initText_.empty() && initText_.back() != '\n') {
                initText_ += '\n';
            }
            initText_ += "IFG = " + std::to_string(*options.ifg) + "\n";
        }
    } else {
        auto stations = options.stations.empty() ? stationsOfAddresses(addresses)
                                                 : parseStationList(options.stations);
        initText_ = initFileText(stations, options.ifg);
    }

    int verbose = options.verbose;
    log_.setListener([verbose](const LogLine& line) {
        if (line.messageClass == 0) {
            if (verbose >= 1) {
                std::cerr << "draxo: " << line.text << '\n';
            }
        } else if (line.messageClass == 8 ? verbose >= 2 : verbose >= 1) {
            std::cerr << "driver [" << line.messageClass << "] " << line.text << '\n';
        }
    });

    library_ = std::make_unique<DriverLibrary>(options.driver, log_);
    info_ = getDriverInfo(*library_);
    if (info_.result != 0) {
        throw UsageError{"the driver refused GetVpiInfo (result " + std::to_string(info_.result) +
                         ")"};
    }
    instance_ = std::make_unique<Instance>(*library_, log_, info_.raw.instanceSize);
    auto out = instance_->coldStart(params, initText_);
    if (out.result != 0) {
        std::string why = out.detail.empty() ? "" : " (" + out.detail + ")";
        instance_->endVpi();
        throw UsageError{"cannot open port " + options.line.port + ": ColdStart answered " +
                         std::to_string(out.result) + why};
    }
}

Session::~Session() {
    end();
}

void Session::end() {
    if (instance_ && !instance_->ended()) {
        instance_->endVpi();
    }
}

Gate Session::makeGate(const GateEntry& entry) {
    Gate g;
    g.entry = entry;
    instance_->parse(g);
    return g;
}

void Session::applySelects() {
    for (const auto& text : options_.selects) {
        auto w = parseWriteEntry(text);
        Gate g = makeGate(w.gate);
        if (!g.usable) {
            throw UsageError{"--select " + text + ": " + g.refusal};
        }
        if (!g.isSegment()) {
            throw UsageError{"--select " + text +
                             ": not a segment gate (segment gates end in 25, 30, 35, 41 or 49)"};
        }
        auto v = encodeWriteValue(g.parsed, w.value);
        auto out = instance_->write(g, v.bytes);
        if (out.result != 0) {
            throw UsageError{"--select " + text + ": refused by the driver (" + out.detail + ")"};
        }
        note("selected " + g.entry.address + " = " + w.value);
    }
}

void Session::note(const std::string& text) {
    log_.add(0, text.c_str());
}

Sample sampleOf(const Gate& gate, const CallOutcome& outcome, const std::string& op,
                bool withValue) {
    Sample s;
    s.op = op;
    s.gate = gate.entry.address;
    s.name = gate.entry.name;
    s.result = outcome.result;
    s.refused = !gate.usable;
    s.detail = gate.usable ? outcome.detail : gate.refusal;
    s.when = outcome.when;
    s.ms = outcome.ms;
    if (withValue && gate.usable && (outcome.result == 0 || op == "write")) {
        s.hasValue = true;
        if (gate.isSegment()) {
            s.integral = true;
            s.value = slotU16(gate.slot);
        } else {
            s.value = slotFloat(gate.slot);
            if (isTimeValued(gate.parsed)) {
                s.hms = formatHms(slotFloat(gate.slot));
            }
        }
    }
    if (!gate.usable) {
        s.result = 1;
    }
    return s;
}

} // namespace draxo::tool
