// Controller side of the line protocol: request grammar, replies, and the
// engine that turns received bytes into answers.
#pragma once

#include "faults.h"
#include "model.h"

#include <cstdint>
#include <functional>
#include <nlohmann/json.hpp>
#include <string>
#include <string_view>

namespace rexsim {

inline constexpr char STX = 0x02;
inline constexpr char ETX = 0x03;
inline constexpr char EOT = 0x04;
inline constexpr char ENQ = 0x05;
inline constexpr char ACK = 0x06;
inline constexpr char NAK = 0x15;

// Exclusive-or of every byte of `block` (the bytes after STX up to and
// including ETX).
std::uint8_t bcc(std::string_view block);

// STX, text, ETX, BCC.
std::string frame(std::string_view text);

enum class ParseStatus {
    Ok,
    Malformed, // not a request of this protocol: no answer
    Unknown,   // unknown identifier, or selectors not of its group
};

struct ParsedText {
    ParseStatus status = ParseStatus::Malformed;
    ValueRef ref;
    std::string data; // writes only
};

// The text of a poll between address and ENQ, e.g. "PN03SN07TM".
ParsedText parsePollText(std::string_view text);
// The block of a write between STX and ETX: selectors, identifier, data.
ParsedText parseWriteText(std::string_view block);

// Decoded form of bytes for the trace: control characters by name, other
// unprintable bytes in hex, long runs shortened.
std::string describeBytes(std::string_view bytes);
// A reply frame with the echo split from the value ("STX M1 0025.0 ETX
// bcc=60 ok"); anything else as describeBytes.
std::string describeReply(std::string_view bytes, size_t echoLength);

struct EngineConfig {
    double delayMs = 2.0;
    double lateMs = 1500.0;
    double charTimeMs = 0.0; // > 0: the request's own wire time is waited too
};

struct Response {
    std::string bytes; // empty: nothing goes out
    double delayMs = 0;
    Fault fault = Fault::None;
    std::string trace;      // decoded bytes, for "<" lines
    nlohmann::json journal; // null, or a journal record to stamp when sent
};

struct Stats {
    std::uint64_t bytesIn = 0, discarded = 0;
    std::uint64_t polls = 0, writes = 0, silent = 0;
    std::uint64_t frames = 0, eots = 0, acks = 0, naks = 0;
    std::array<std::uint64_t, kFaultKinds> faults{};
    nlohmann::json toJson() const;
};

class Engine {
  public:
    struct Sink {
        std::function<void(const std::string&)> traceIn;
        std::function<void(Response)> respond;
        std::function<void(const nlohmann::json&)> journal; // immediate records
    };

    Engine(Model& model, FaultInjector& faults, EngineConfig cfg, Sink sink);

    void feed(char byte);
    void feed(std::string_view bytes) {
        for (char c : bytes) {
            feed(c);
        }
    }
    const Stats& stats() const { return stats_; }

  private:
    enum class State { Idle, Addr1, Addr2, AfterAddr, PollText, Block, Bcc };
    void discard();
    void restart();
    void onPoll();
    void onWrite(char bccByte);
    double replyDelay() const;
    void apply(Fault f, Response& r);

    Model& model_;
    FaultInjector& faults_;
    EngineConfig cfg_;
    Sink sink_;
    Stats stats_;

    State state_ = State::Idle;
    int addr_ = 0;
    std::string text_;
    std::string raw_; // bytes of the message so far, for the trace
};

} // namespace rexsim
