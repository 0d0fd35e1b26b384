// Trace files as the library writes them (docs/TRACE.md), made record by
// record for the tests of the trace reader and the twin.
#pragma once

#include <ctime>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>

#include <nlohmann/json.hpp>
#include <yaml-cpp/binary.h>

namespace tavlib::tavctl::test {

inline constexpr const char* kTestIdn = "VESPARO,ZQ907,SN000001,2.4.1";

class TraceBuilder {
public:
    using Json = nlohmann::ordered_json;

    // `startUs`: the wall clock of the first record, microseconds since 1970.
    explicit TraceBuilder(std::int64_t pid = 4242, std::int64_t startUs = 1'796'675'895'000'000)
        : pid_(pid), startUs_(startUs) {
        Json r = head("start", 0);
        r["library"] = "1.0.0";
        r["platform"] = "linux-x86_64";
        r["data_limit"] = 4096;
        r["max_bytes"] = 268435456;
        add(r);
    }

    // Calls that follow use this handle.
    TraceBuilder& on(std::string handle) {
        handle_ = std::move(handle);
        return *this;
    }
    // The next call starts this much later than the last one ended.
    TraceBuilder& pause(std::int64_t us) {
        nowUs_ += us;
        return *this;
    }
    // Blocks longer than this keep only their first `limit` bytes.
    TraceBuilder& data_limit(std::size_t limit) {
        dataLimit_ = limit;
        return *this;
    }

    TraceBuilder& open(const std::string& idn = kTestIdn, std::int32_t result = 0) {
        Json r = call("Open_Tavril", 900, result);
        if (result == 0) {
            r["identity"] = {{"model", "ZQ907"}, {"serialNumber", "SN000001"}, {"firmwareVersion", "2.4.1"}};
            r["idn"] = block(idn);
        }
        return add(r);
    }
    TraceBuilder& close() { return add(call("Close_Tavril", 20, 0)); }
    TraceBuilder& write(const std::string& text, std::int32_t result = 0, std::int64_t durUs = 40) {
        Json r = call("Write_Tavril", durUs, result);
        r["timeout"] = 5;
        r["text"] = block(text);
        r["bytesWritten"] = result == 0 ? text.size() + 2 : 0;
        return add(r);
    }
    TraceBuilder& read(const std::optional<std::string>& data, std::int32_t result = 0, std::int32_t mode = 2,
                       std::uint32_t maxBytes = 4096, std::int64_t durUs = 50) {
        Json r = call("Read_Tavril", durUs, result);
        r["maxBytes"] = maxBytes;
        r["mode"] = mode;
        r["timeout"] = 5;
        r["bytesRead"] = data ? data->size() : 0;
        if (data) r["data"] = block(*data);
        return add(r);
    }
    TraceBuilder& scmd(const std::string& command, const std::optional<std::string>& response, std::int32_t result = 0,
                       std::int64_t durUs = 80, std::int32_t mode = 1) {
        Json r = call("Scmd_Tavril", durUs, result);
        r["command"] = block(command);
        r["maxBytes"] = 4096;
        r["mode"] = mode;
        r["writeTimeout"] = 5;
        r["readTimeout"] = 5;
        if (response) r["response"] = block(*response);
        return add(r);
    }
    // Any member changed or added in the last record.
    TraceBuilder& patch(const std::string& key, Json value) {
        last_[key] = std::move(value);
        lines_.back() = last_.dump();
        return *this;
    }

    std::string text() const {
        std::string all;
        for (const std::string& line : lines_) all += line + "\n";
        return all;
    }
    void save(const std::filesystem::path& path) const { std::ofstream(path, std::ios::binary) << text(); }

private:
    static std::string utc(std::int64_t us) {
        const std::time_t seconds = us / 1'000'000;
        std::tm parts{};
        gmtime_r(&seconds, &parts);
        char text[96];
        std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%06dZ", parts.tm_year + 1900, parts.tm_mon + 1,
                      parts.tm_mday, parts.tm_hour, parts.tm_min, parts.tm_sec, static_cast<int>(us % 1'000'000));
        return text;
    }

    Json head(const char* name, std::int64_t durUs) {
        Json r;
        r["v"] = 1;
        r["seq"] = seq_++;
        r["time"] = utc(startUs_ + nowUs_);
        r["mono_us"] = nowUs_;
        r["pid"] = pid_;
        r["tid"] = pid_;
        r["call"] = name;
        nowUs_ += durUs + 10;
        return r;
    }

    Json call(const char* name, std::int64_t durUs, std::int32_t result) {
        Json r = head(name, durUs);
        r["dur_us"] = durUs;
        r["slot"] = 0;
        r["handle"] = handle_;
        r["result"] = result;
        r["error"] = 0;
        return r;
    }

    Json block(const std::string& bytes) const {
        Json b;
        b["len"] = bytes.size();
        const std::string kept = bytes.substr(0, dataLimit_);
        bool text = true;
        for (const char c : kept) {
            const auto u = static_cast<unsigned char>(c);
            text = text && ((u >= 0x20 && u < 0x7F) || c == '\t' || c == '\r' || c == '\n');
        }
        if (text)
            b["text"] = kept;
        else
            b["base64"] = YAML::EncodeBase64(reinterpret_cast<const unsigned char*>(kept.data()), kept.size());
        if (kept.size() < bytes.size()) {
            b["kept"] = kept.size();
            b["rest_sha256"] = std::string(64, 'a');
        }
        return b;
    }

    TraceBuilder& add(const Json& record) {
        last_ = record;
        lines_.push_back(record.dump());
        return *this;
    }

    std::int64_t pid_;
    std::int64_t startUs_;
    std::int64_t nowUs_ = 0;
    std::uint64_t seq_ = 0;
    std::string handle_ = "0x3";
    std::size_t dataLimit_ = 4096;
    Json last_;
    std::vector<std::string> lines_;
};

}  // namespace tavlib::tavctl::test
