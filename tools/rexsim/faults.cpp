#include "faults.h"

namespace rexsim {

const char* faultName(Fault f) {
    switch (f) {
    case Fault::None:
        return "none";
    case Fault::Drop:
        return "drop";
    case Fault::Corrupt:
        return "corrupt";
    case Fault::Late:
        return "late";
    case Fault::Nak:
        return "nak";
    case Fault::Junk:
        return "junk";
    case Fault::Babble:
        return "babble";
    }
    return "?";
}

std::uint64_t Rng::next() {
    std::uint64_t z = (state_ += 0x9e3779b97f4a7c15ULL);
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
    return z ^ (z >> 31);
}

bool FaultInjector::active() const {
    for (double p : cfg_.p) {
        if (p > 0) {
            return true;
        }
    }
    return false;
}

Fault FaultInjector::draw() {
    if (!active()) {
        return Fault::None;
    }
    for (int k = 0; k < kFaultKinds; ++k) {
        // One draw per kind whatever the outcome, so that the sequence for a
        // seed does not depend on which faults are enabled before it.
        double u = rng_.uniform();
        if (u < cfg_.p[k]) {
            for (int rest = k + 1; rest < kFaultKinds; ++rest) {
                rng_.next();
            }
            return static_cast<Fault>(k + 1);
        }
    }
    return Fault::None;
}

char FaultInjector::harmless() {
    for (;;) {
        char c = static_cast<char>(rng_.below(256));
        if (c != 0x02 && c != 0x04 && c != 0x06 && c != 0x15) {
            return c;
        }
    }
}

std::string FaultInjector::junk() {
    std::string out;
    int n = 1 + rng_.below(8);
    for (int i = 0; i < n; ++i) {
        out += harmless();
    }
    return out;
}

std::string FaultInjector::babble() {
    std::string out;
    int n = 200 + rng_.below(801);
    for (int i = 0; i < n; ++i) {
        // Mostly printable, as a confused instrument or a wrong baud rate
        // would produce, with some other bytes in between.
        out += rng_.below(4) == 0 ? harmless() : static_cast<char>(0x20 + rng_.below(0x5f));
    }
    return out;
}

void FaultInjector::corrupt(std::string& reply) {
    if (reply.empty()) {
        return;
    }
    size_t pos = static_cast<size_t>(rng_.below(static_cast<int>(reply.size())));
    reply[pos] = static_cast<char>(reply[pos] ^ (1 << rng_.below(7)));
}

} // namespace rexsim
