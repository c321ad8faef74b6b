#include "output.h"

#include <algorithm>
#include <ctime>
#include <nlohmann/json.hpp>

#include "gates.h"

namespace draxo::tool {

Format parseFormat(const std::string& name) {
    if (name == "table") {
        return Format::Table;
    }
    if (name == "csv") {
        return Format::Csv;
    }
    if (name == "jsonl") {
        return Format::Jsonl;
    }
    throw UsageError{"--format " + name + ": use table, csv or jsonl"};
}

std::string statusText(const Sample& s) {
    if (s.refused) {
        return "refused";
    }
    switch (s.result) {
    case 0:
        return "ok";
    case 1:
        return s.op == "write" ? "1 refused or no ack" : "1 bad answer";
    case 2:
        return "2 no answer";
    default:
        return std::to_string(s.result);
    }
}

std::string valueText(const Sample& s) {
    if (!s.hasValue) {
        return "-";
    }
    std::string t = s.integral ? std::to_string(static_cast<long>(s.value))
                               : formatNumber(static_cast<float>(s.value));
    if (!s.hms.empty()) {
        t += " (" + s.hms + ")";
    }
    return t;
}

std::string clockText(std::chrono::system_clock::time_point t) {
    using namespace std::chrono;
    std::time_t tt = system_clock::to_time_t(t);
    std::tm tm{};
#if defined(_WIN32)
    localtime_s(&tm, &tt);
#else
    localtime_r(&tt, &tm);
#endif
    auto msPart = duration_cast<milliseconds>(t.time_since_epoch()).count() % 1000;
    char buf[64];
    std::snprintf(buf, sizeof buf, "%02d:%02d:%02d.%03d", tm.tm_hour, tm.tm_min, tm.tm_sec,
                  static_cast<int>(msPart));
    return buf;
}

namespace {

std::string isoTime(std::chrono::system_clock::time_point t) {
    using namespace std::chrono;
    std::time_t tt = system_clock::to_time_t(t);
    std::tm tm{};
#if defined(_WIN32)
    gmtime_s(&tm, &tt);
#else
    gmtime_r(&tt, &tm);
#endif
    auto msPart = duration_cast<milliseconds>(t.time_since_epoch()).count() % 1000;
    char buf[96];
    std::snprintf(buf, sizeof buf, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", tm.tm_year + 1900,
                  tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec,
                  static_cast<int>(msPart));
    return buf;
}

std::string csvField(const std::string& s) {
    if (s.find_first_of(",\"\n") == std::string::npos) {
        return s;
    }
    std::string out = "\"";
    for (char c : s) {
        if (c == '"') {
            out += '"';
        }
        out += c;
    }
    return out + "\"";
}

std::size_t displayWidth(const std::string& s) {
    std::size_t n = 0;
    for (unsigned char c : s) {
        if ((c & 0xC0) != 0x80) {
            ++n;
        }
    }
    return n;
}

std::string msText(double ms) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.0f", ms);
    return buf;
}

std::vector<std::string> tableCells(const Sample& s) {
    return {s.gate,
            s.name.empty() ? "-" : s.name,
            valueText(s),
            statusText(s),
            clockText(s.when),
            msText(s.ms),
            s.detail};
}

const std::vector<std::string> kTableHeader = {"GATE", "NAME", "VALUE", "RESULT",
                                               "TIME", "MS",   "NOTE"};

} // namespace

std::string pad(const std::string& text, std::size_t width) {
    std::size_t w = displayWidth(text);
    if (w >= width) {
        return text;
    }
    return text + std::string(width - w, ' ');
}

std::string csvHeader() {
    return "op,gate,name,value,hms,result,status,time,ms,detail";
}

std::string csvLine(const Sample& s) {
    std::string value;
    if (s.hasValue) {
        value = s.integral ? std::to_string(static_cast<long>(s.value))
                           : formatNumber(static_cast<float>(s.value));
    }
    return s.op + "," + csvField(s.gate) + "," + csvField(s.name) + "," + value + "," + s.hms +
           "," + std::to_string(s.result) + "," + csvField(statusText(s)) + "," + isoTime(s.when) +
           "," + msText(s.ms) + "," + csvField(s.detail);
}

std::string jsonLine(const Sample& s) {
    nlohmann::ordered_json j;
    j["op"] = s.op;
    j["gate"] = s.gate;
    j["name"] = s.name;
    if (s.hasValue) {
        if (s.integral) {
            j["value"] = static_cast<long>(s.value);
        } else {
            j["value"] = std::stod(formatNumber(static_cast<float>(s.value)));
        }
    } else {
        j["value"] = nullptr;
    }
    if (!s.hms.empty()) {
        j["hms"] = s.hms;
    }
    j["result"] = s.result;
    j["status"] = statusText(s);
    j["time"] = isoTime(s.when);
    j["ms"] = static_cast<long>(s.ms + 0.5);
    if (!s.detail.empty()) {
        j["detail"] = s.detail;
    }
    return j.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

void SampleWriter::add(const Sample& s) {
    if (format_ == Format::Table) {
        pending_.push_back(s);
        return;
    }
    stream(s);
}

void SampleWriter::flush() {
    if (format_ != Format::Table || pending_.empty()) {
        os_.flush();
        return;
    }
    std::vector<std::vector<std::string>> rows;
    rows.push_back(kTableHeader);
    for (const auto& s : pending_) {
        rows.push_back(tableCells(s));
    }
    std::vector<std::size_t> widths(kTableHeader.size(), 0);
    for (const auto& r : rows) {
        for (std::size_t i = 0; i < r.size(); ++i) {
            widths[i] = std::max(widths[i], displayWidth(r[i]));
        }
    }
    for (const auto& r : rows) {
        std::string line;
        for (std::size_t i = 0; i < r.size(); ++i) {
            line += i + 1 < r.size() ? pad(r[i], widths[i] + 2) : r[i];
        }
        while (!line.empty() && line.back() == ' ') {
            line.pop_back();
        }
        os_ << line << '\n';
    }
    pending_.clear();
    os_.flush();
}

void SampleWriter::stream(const Sample& s) {
    switch (format_) {
    case Format::Csv:
        if (!headerDone_) {
            os_ << csvHeader() << '\n';
            headerDone_ = true;
        }
        os_ << csvLine(s) << '\n';
        break;
    case Format::Jsonl:
        os_ << jsonLine(s) << '\n';
        break;
    case Format::Table: {
        static const std::size_t widths[] = {10, 10, 22, 14, 14, 6};
        auto cells = tableCells(s);
        if (!headerDone_) {
            std::string h;
            for (std::size_t i = 0; i < 6; ++i) {
                h += pad(kTableHeader[i], widths[i] - 1) + " ";
            }
            os_ << h << kTableHeader[6] << '\n';
            headerDone_ = true;
        }
        std::string line;
        for (std::size_t i = 0; i < 6; ++i) {
            line += pad(cells[i], widths[i] - 1) + " ";
        }
        line += cells[6];
        while (!line.empty() && line.back() == ' ') {
            line.pop_back();
        }
        os_ << line << '\n';
        break;
    }
    }
    os_.flush();
}

} // namespace draxo::tool
