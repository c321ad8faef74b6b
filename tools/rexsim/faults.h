// Reproducible fault injection for the simulated line.
#pragma once

#include <array>
#include <cstdint>
#include <string>

namespace rexsim {

enum class Fault { None, Drop, Corrupt, Late, Nak, Junk, Babble };
inline constexpr int kFaultKinds = 6; // without None
const char* faultName(Fault f);       // "drop", ...; "none" for None

struct FaultConfig {
    // Probabilities 0..1, in the order Drop, Corrupt, Late, Nak, Junk, Babble.
    std::array<double, kFaultKinds> p{};
    double& of(Fault f) { return p[static_cast<int>(f) - 1]; }
    double of(Fault f) const { return p[static_cast<int>(f) - 1]; }
};

// A small generator of our own (splitmix64) so that a seed gives the same
// faults with every standard library.
class Rng {
  public:
    explicit Rng(std::uint64_t seed) : state_(seed) {}
    std::uint64_t next();
    double uniform() { return static_cast<double>(next() >> 11) * 0x1.0p-53; } // [0, 1)
    int below(int n) { return static_cast<int>(next() % static_cast<std::uint64_t>(n)); }

  private:
    std::uint64_t state_;
};

class FaultInjector {
  public:
    FaultInjector(const FaultConfig& cfg, std::uint64_t seed) : cfg_(cfg), rng_(seed) {}

    // At most one fault per answered request: the kinds are tried in a fixed
    // order, each with its own probability.
    Fault draw();

    // A few random bytes that are neither STX, ACK, NAK nor EOT.
    std::string junk();
    // A few hundred to a thousand characters without STX, ACK, NAK or EOT.
    std::string babble();
    // Flips one bit of one byte of `reply` (non-empty).
    void corrupt(std::string& reply);

    bool active() const;

  private:
    char harmless();
    FaultConfig cfg_;
    Rng rng_;
};

} // namespace rexsim
