// A simulated line without a pty: bytes in, responses out.
#pragma once

#include "faults.h"
#include "model.h"
#include "protocol.h"

#include <string>
#include <vector>

namespace rexsim::test {

inline std::array<bool, kStations> stations12() {
    std::array<bool, kStations> p{};
    p[1] = p[2] = true;
    return p;
}

struct SimLine {
    explicit SimLine(FaultConfig fc = {}, std::uint64_t seed = 1, bool frozen = true)
        : model(stations12(), frozen, seed), faults(fc, seed),
          engine(model, faults, EngineConfig{2.0, 1500.0, 0.0},
                 Engine::Sink{[this](const std::string& s) { tracesIn.push_back(s); },
                              [this](Response r) { responses.push_back(std::move(r)); },
                              [this](const nlohmann::json& j) { journal.push_back(j); }}) {}

    // Everything answered since the last call, or "<silent>".
    std::string take() {
        std::string out;
        bool any = !responses.empty();
        for (auto& r : responses) {
            out += r.bytes;
        }
        responses.clear();
        return any ? out : "<silent>";
    }
    std::string ask(const std::string& bytes) {
        engine.feed(bytes);
        return take();
    }
    std::string poll(const std::string& addrAndText) { return ask("\x04" + addrAndText + "\x05"); }
    // A write with the correct BCC.
    std::string write(const std::string& addr, const std::string& block) {
        return ask("\x04" + addr + "\x02" + block + "\x03" +
                   std::string(1, static_cast<char>(bcc(block + "\x03"))));
    }

    Model model;
    FaultInjector faults;
    std::vector<std::string> tracesIn;
    std::vector<Response> responses;
    std::vector<nlohmann::json> journal;
    Engine engine;
};

inline std::string stx(const std::string& textAndBcc) {
    return "\x02" + textAndBcc;
}

} // namespace rexsim::test
