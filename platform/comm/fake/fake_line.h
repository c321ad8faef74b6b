// A scripted serial line on a virtual clock, in place of the operating
// system, for unit tests of the driver. Nothing really waits: Sleep and
// read time-outs advance the clock. One process-wide line (tests run one
// at a time); reset() gives a fresh one.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "comm/comm.h"

namespace draxo::fake {

struct Call {
    std::string name;               // "CreateFileA", "ReadFile", ...
    std::vector<std::int64_t> args; // the call's numeric arguments (see below)
    std::string text;               // port name for CreateFileA, bytes for WriteFile/ReadFile
    std::int64_t at;                // virtual time of the call, ms
    bool ok;                        // what the call answered
};
// args per call: CreateFileA {access, share, creation, flags}; CloseHandle {h};
// GetCommState/SetCommState/GetCommTimeouts/SetupComm/ClearCommError {h};
// SetCommTimeouts {h, interval, multiplier, constant, wmult, wconst};
// SetupComm {h, in, out}; EscapeCommFunction {h, function};
// ReadFile {h, count, read}; WriteFile {h, count, written}; Sleep {ms}.

struct RtsEdge {
    std::int64_t at;
    bool raised;
};

struct PortState {
    std::string name;
    comm::Handle handle;
    bool open;
    comm::Dcb dcb;             // last state set (or the device's initial one)
    comm::CommTimeouts timeouts;
    bool rts;
    bool dtr;
};

// A fresh line: clock 0, no ports but those added, no scripted bytes, empty log.
void reset();

// Ports that exist. Opening a name that was not added fails; opening a
// port that is already open fails (ports are held exclusively). "NUL"
// always exists.
void addPort(const std::string& name);
// The device state a port reports before anything was set.
void setInitialDcb(const std::string& name, const comm::Dcb& dcb);

// Failure injection: the nth call (1-based, counted since reset) of the
// named function fails. Several may be set for one function.
void failCall(const std::string& function, int nth);
// The nth WriteFile call writes only `count` bytes (and succeeds).
void shortWrite(int nth, std::uint32_t count);
// The nth ReadFile call returns only `count` bytes of what it could have
// (and succeeds).
void shortRead(int nth, std::uint32_t count);

// Bytes that arrive in the input queue at an absolute virtual time (ms).
void deliverAt(std::int64_t atMs, std::string_view bytes);
// Bytes that arrive `delayMs` after the current virtual time.
void deliver(std::string_view bytes, std::int64_t delayMs = 0);
// Bytes that arrive one at a time, `gapMs` apart, the first after `delayMs`.
void dribble(std::string_view bytes, std::int64_t delayMs, std::int64_t gapMs);
// Called after every successful WriteFile with the bytes written; it may
// call deliver() to answer. Replaces any earlier responder; null removes it.
void onWrite(std::function<void(std::string_view written)> responder);
// Each written byte stays in the output queue for `msPerByte` of virtual
// time (default 0: the queue empties at once). ClearCommError reports it.
void setOutputDrain(double msPerByte);

// Observation.
std::int64_t now();
const std::vector<Call>& calls();
std::vector<std::string> callNames();          // names in order
int count(const std::string& function);        // calls of one function
std::string written();                         // every byte written, in order
std::vector<std::string> writes();             // the bytes of each WriteFile
std::vector<RtsEdge> rtsEdges();               // every RTS change, with time
std::size_t pendingInput();                    // bytes delivered by now, not yet read
const PortState* port(const std::string& name);  // null if never added
const PortState* portByHandle(comm::Handle h);

} // namespace draxo::fake
