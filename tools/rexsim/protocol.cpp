#include "protocol.h"

#include <cstdio>

namespace rexsim {

namespace {
constexpr size_t kMaxPollText = 10;   // PNxxSNxxID
constexpr size_t kMaxWriteBlock = 40; // longest selectors + id + data, with room

bool isDigit(char c) {
    return c >= '0' && c <= '9';
}
bool isPrintable(char c) {
    return c >= 0x20 && c <= 0x7e;
}
bool isIdChar(char c) {
    return (c >= 'A' && c <= 'Z') || isDigit(c) || c == '@';
}

const char* controlName(char c) {
    switch (c) {
    case STX:
        return "STX";
    case ETX:
        return "ETX";
    case EOT:
        return "EOT";
    case ENQ:
        return "ENQ";
    case ACK:
        return "ACK";
    case NAK:
        return "NAK";
    default:
        return nullptr;
    }
}

std::string hex2(std::uint8_t v) {
    char buf[4];
    std::snprintf(buf, sizeof buf, "%02x", v);
    return buf;
}

// The selectors a group wants in front of its identifier.
std::string_view wantedChain(Group g) {
    switch (g) {
    case Group::Plain:
        return "";
    case Group::PN:
        return "PN";
    case Group::PNSN:
        return "PNSN";
    case Group::PNTN:
        return "PNTN";
    case Group::PO:
        return "PO";
    case Group::AN:
        return "AN";
    }
    return "?";
}

// `k` selectors (prefix + two digits each) followed by an identifier.
ParsedText parseChain(std::string_view text, size_t k) {
    ParsedText r;
    if (k > 2 || text.size() < 4 * k + 2) {
        return r;
    }
    std::string chain;
    int values[2] = {-1, -1};
    bool outOfRange = false;
    for (size_t j = 0; j < k; ++j) {
        std::string_view sel = text.substr(4 * j, 4);
        std::string_view prefix = sel.substr(0, 2);
        if (prefix != "PN" && prefix != "SN" && prefix != "TN" && prefix != "PO" &&
            prefix != "AN") {
            return r;
        }
        if (!isDigit(sel[2]) || !isDigit(sel[3])) {
            return r;
        }
        int v = (sel[2] - '0') * 10 + (sel[3] - '0');
        outOfRange = outOfRange || v > kMaxSelector;
        values[j] = v;
        chain += prefix;
    }
    std::string_view id = text.substr(4 * k, 2);
    if (!isIdChar(id[0]) || !isIdChar(id[1])) {
        return r;
    }
    r.status = ParseStatus::Unknown;
    int index = findIdentifier(id);
    if (index < 0 || outOfRange || wantedChain(kIdentifiers[index].group) != chain) {
        return r;
    }
    r.status = ParseStatus::Ok;
    r.ref = ValueRef{index, values[0], values[1]};
    r.data = std::string(text.substr(4 * k + 2));
    return r;
}
} // namespace

std::uint8_t bcc(std::string_view block) {
    std::uint8_t v = 0;
    for (char c : block) {
        v ^= static_cast<std::uint8_t>(c);
    }
    return v;
}

std::string frame(std::string_view text) {
    std::string out;
    out += STX;
    out += text;
    out += ETX;
    out += static_cast<char>(bcc(out.substr(1)));
    return out;
}

ParsedText parsePollText(std::string_view text) {
    if (text.size() < 2 || text.size() > kMaxPollText || (text.size() - 2) % 4 != 0) {
        return {};
    }
    return parseChain(text, (text.size() - 2) / 4);
}

ParsedText parseWriteText(std::string_view block) {
    ParsedText best;
    for (size_t k = 0; k <= 2 && block.size() >= 4 * k + 2; ++k) {
        ParsedText r = parseChain(block, k);
        if (r.status == ParseStatus::Ok) {
            return r;
        }
        if (r.status == ParseStatus::Unknown) {
            best = r;
        }
    }
    return best;
}

std::string describeBytes(std::string_view bytes) {
    constexpr size_t kShown = 64;
    std::string out;
    bool inText = false;
    size_t shown = 0;
    for (char c : bytes) {
        if (shown++ == kShown) {
            out += " ... (" + std::to_string(bytes.size()) + " bytes)";
            break;
        }
        if (isPrintable(c) && c != ' ') {
            if (!inText && !out.empty()) {
                out += ' ';
            }
            out += c;
            inText = true;
            continue;
        }
        if (!out.empty()) {
            out += ' ';
        }
        const char* name = controlName(c);
        out += name ? std::string(name) : "<" + hex2(static_cast<std::uint8_t>(c)) + ">";
        inText = false;
    }
    return out;
}

std::string describeReply(std::string_view b, size_t echoLength) {
    if (b.size() < 3 || b[0] != STX || b[b.size() - 2] != ETX) {
        return describeBytes(b);
    }
    std::string_view text = b.substr(1, b.size() - 3);
    for (char c : text) {
        if (!isPrintable(c)) {
            return describeBytes(b);
        }
    }
    std::string out = "STX ";
    out += text.substr(0, std::min(echoLength, text.size()));
    if (echoLength < text.size()) {
        out += ' ';
        out += text.substr(echoLength);
    }
    std::uint8_t want = bcc(b.substr(1, b.size() - 2));
    std::uint8_t got = static_cast<std::uint8_t>(b.back());
    out += " ETX bcc=" + hex2(got) + (got == want ? " ok" : " bad (want " + hex2(want) + ")");
    return out;
}

nlohmann::json Stats::toJson() const {
    nlohmann::json f = nlohmann::json::object();
    for (int k = 0; k < kFaultKinds; ++k) {
        f[faultName(static_cast<Fault>(k + 1))] = faults[k];
    }
    return {{"bytes_in", bytesIn},
            {"discarded", discarded},
            {"requests", polls + writes},
            {"polls", polls},
            {"writes", writes},
            {"silent", silent},
            {"replies", frames},
            {"eots", eots},
            {"acks", acks},
            {"naks", naks},
            {"faults", f}};
}

Engine::Engine(Model& model, FaultInjector& faults, EngineConfig cfg, Sink sink)
    : model_(model), faults_(faults), cfg_(cfg), sink_(std::move(sink)) {}

void Engine::discard() {
    if (!raw_.empty()) {
        ++stats_.discarded;
        if (sink_.traceIn) {
            sink_.traceIn(describeBytes(raw_) + " (ignored)");
        }
    }
    raw_.clear();
    text_.clear();
    state_ = State::Idle;
}

void Engine::restart() {
    // A lone EOT ends the link; anything else unfinished is noise.
    if (raw_ == std::string(1, EOT)) {
        if (sink_.traceIn) {
            sink_.traceIn("EOT");
        }
        raw_.clear();
    } else {
        discard();
    }
    raw_ = EOT;
    text_.clear();
    state_ = State::Addr1;
}

void Engine::feed(char c) {
    ++stats_.bytesIn;
    if (state_ == State::Bcc) {
        // The BCC may be any byte, EOT included.
        raw_ += c;
        onWrite(c);
        return;
    }
    if (c == EOT) {
        restart();
        return;
    }
    if (state_ == State::Idle) {
        raw_ += c;
        discard();
        return;
    }
    raw_ += c;
    switch (state_) {
    case State::Addr1:
    case State::Addr2:
        if (!isDigit(c)) {
            discard();
            return;
        }
        if (state_ == State::Addr1) {
            addr_ = (c - '0') * 10;
            state_ = State::Addr2;
        } else {
            addr_ += c - '0';
            state_ = State::AfterAddr;
        }
        return;
    case State::AfterAddr:
    case State::PollText:
        if (c == STX && state_ == State::AfterAddr) {
            state_ = State::Block;
        } else if (c == ENQ && state_ == State::PollText) {
            onPoll();
        } else if (isPrintable(c) && text_.size() < kMaxPollText) {
            text_ += c;
            state_ = State::PollText;
        } else {
            discard();
        }
        return;
    case State::Block:
        if (c == ETX) {
            state_ = State::Bcc;
        } else if (isPrintable(c) && text_.size() < kMaxWriteBlock) {
            text_ += c;
        } else {
            discard();
        }
        return;
    case State::Idle:
    case State::Bcc:
        break;
    }
}

double Engine::replyDelay() const {
    return cfg_.delayMs + cfg_.charTimeMs * static_cast<double>(raw_.size());
}

void Engine::apply(Fault f, Response& r) {
    r.fault = f;
    if (f == Fault::None) {
        return;
    }
    ++stats_.faults[static_cast<int>(f) - 1];
    switch (f) {
    case Fault::Drop:
        r.bytes.clear();
        break;
    case Fault::Corrupt:
        faults_.corrupt(r.bytes);
        break;
    case Fault::Late:
        r.delayMs += cfg_.lateMs;
        break;
    case Fault::Nak:
        r.bytes = std::string(1, NAK);
        break;
    case Fault::Junk:
        r.bytes = faults_.junk();
        break;
    case Fault::Babble:
        r.bytes = faults_.babble();
        break;
    case Fault::None:
        break;
    }
}

void Engine::onPoll() {
    ++stats_.polls;
    std::string line = "EOT " + raw_.substr(1, 2) + " " + text_ + " ENQ";
    bool here = model_.present(addr_);
    ParsedText p = parsePollText(text_);
    if (!here || p.status == ParseStatus::Malformed) {
        ++stats_.silent;
        if (sink_.traceIn) {
            sink_.traceIn(line + (here ? " (malformed, no answer)" : " (no station)"));
        }
    } else {
        if (sink_.traceIn) {
            sink_.traceIn(line);
        }
        Response r;
        r.delayMs = replyDelay();
        Fault f = faults_.draw();
        std::string value;
        bool isFrame = p.status == ParseStatus::Ok;
        if (isFrame) {
            value = model_.readText(addr_, p.ref);
            r.bytes = frame(text_ + value);
        } else {
            r.bytes = std::string(1, EOT);
        }
        apply(f, r);
        bool sendsFrame = isFrame && (f == Fault::None || f == Fault::Corrupt || f == Fault::Late);
        if (f == Fault::None) {
            ++(isFrame ? stats_.frames : stats_.eots);
        }
        r.trace = describeReply(r.bytes, text_.size());
        r.journal = {{"addr", addr_},
                     {"text", text_},
                     {"value", sendsFrame ? nlohmann::json(value) : nlohmann::json(nullptr)},
                     {"fault", f == Fault::None ? nlohmann::json(nullptr) : faultName(f)}};
        if (!isFrame) {
            r.journal["reply"] = "eot";
        }
        if (sink_.respond) {
            sink_.respond(std::move(r));
        }
    }
    raw_.clear();
    text_.clear();
    state_ = State::Idle;
}

void Engine::onWrite(char bccByte) {
    ++stats_.writes;
    std::uint8_t want = bcc(text_ + ETX);
    std::uint8_t got = static_cast<std::uint8_t>(bccByte);
    std::string line = "EOT " + raw_.substr(1, 2) + " STX " + text_ + " ETX bcc=" + hex2(got) +
                       (got == want ? " ok" : " bad (want " + hex2(want) + ")");
    if (!model_.present(addr_)) {
        ++stats_.silent;
        if (sink_.traceIn) {
            sink_.traceIn(line + " (no station)");
        }
    } else {
        if (sink_.traceIn) {
            sink_.traceIn(line);
        }
        Response r;
        r.delayMs = replyDelay();
        Fault f = faults_.draw();
        // A request lost, refused or drowned on the way is not stored; a
        // reply damaged or delayed on the way back was stored before.
        bool heard = f == Fault::None || f == Fault::Corrupt || f == Fault::Late;
        bool accepted = false;
        if (heard && got == want) {
            ParsedText p = parseWriteText(text_);
            if (p.status == ParseStatus::Ok &&
                model_.write(addr_, p.ref, p.data) == WriteStatus::Ok) {
                accepted = true;
                if (sink_.journal) {
                    sink_.journal({{"addr", addr_}, {"text", refText(p.ref)}, {"write", p.data}});
                }
            }
        }
        r.bytes = std::string(1, accepted ? ACK : NAK);
        if (f == Fault::None) {
            ++(accepted ? stats_.acks : stats_.naks);
        }
        apply(f, r);
        r.trace = describeBytes(r.bytes);
        if (sink_.respond) {
            sink_.respond(std::move(r));
        }
    }
    raw_.clear();
    text_.clear();
    state_ = State::Idle;
}

} // namespace rexsim
