// SPDX-License-Identifier: Apache-2.0
#include "protocol/messages.h"

#include <algorithm>
#include <array>
#include <limits>
#include <nlohmann/json.hpp>
#include <set>
#include <vector>

namespace nimbara {
namespace {

using Json = nlohmann::json;

enum class FieldType { string, int64, boolean };

struct FieldRule {
    std::string_view key;
    FieldType type;
    bool required;
};

struct FieldValue {
    bool present = false;
    std::string text;
    int64_t number = 0;
    bool flag = false;
};

const char* typeName(FieldType type) {
    switch (type) {
        case FieldType::string:
            return "a string";
        case FieldType::int64:
            return "an integer in the signed 64-bit range";
        case FieldType::boolean:
            return "true or false";
    }
    return "";
}

// Reads one JSON object whose top-level keys are described by a field table, without building a
// document: depth is bounded, duplicate keys in any object are refused, unknown keys are skipped.
template <size_t N>
class FlatObjectReader : public nlohmann::json_sax<Json> {
  public:
    explicit FlatObjectReader(const std::array<FieldRule, N>& rules) : rules_(rules) {}

    std::array<FieldValue, N> values;
    std::string error;

    bool null() override {
        if (!topLevelStarted()) return notAnObject("null");
        auto field = takePending();
        if (field && field->rule->required) return wrongType(*field->rule, "null");
        return true;  // null stands for an absent optional
    }
    bool boolean(bool b) override {
        if (!topLevelStarted()) return notAnObject("a Boolean");
        auto field = takePending();
        if (!field) return true;
        if (field->rule->type != FieldType::boolean) return wrongType(*field->rule, "a Boolean");
        field->value->present = true;
        field->value->flag = b;
        return true;
    }
    bool number_integer(number_integer_t n) override { return integer(n); }
    bool number_unsigned(number_unsigned_t n) override {
        if (n > static_cast<uint64_t>(std::numeric_limits<int64_t>::max())) {
            return badNumber("a number out of the signed 64-bit range");
        }
        return integer(static_cast<int64_t>(n));
    }
    bool number_float(number_float_t, const string_t&) override {
        return badNumber("a fractional or out-of-range number");
    }
    bool string(string_t& s) override {
        if (!topLevelStarted()) return notAnObject("a string");
        auto field = takePending();
        if (!field) return true;
        if (field->rule->type != FieldType::string) return wrongType(*field->rule, "a string");
        field->value->present = true;
        field->value->text = std::move(s);
        return true;
    }
    bool binary(binary_t&) override { return fail("unexpected binary value"); }
    bool start_object(std::size_t) override { return open(true, "an object"); }
    bool end_object() override { return close(); }
    bool start_array(std::size_t) override { return open(false, "an array"); }
    bool end_array() override { return close(); }
    bool key(string_t& k) override {
        if (!keys_.back().insert(k).second) return fail("key \"" + k + "\" appears twice");
        if (keys_.size() == 1) {
            for (size_t i = 0; i < N; ++i) {
                if (rules_[i].key == k) pending_ = static_cast<int>(i);
            }
        }
        return true;
    }
    bool parse_error(std::size_t, const std::string&,
                     const nlohmann::detail::exception& e) override {
        // Drop the library's "[json.exception.parse_error.NNN] " tag; keep its plain words.
        std::string_view what = e.what();
        if (auto tag = what.find("] "); tag != std::string_view::npos) what.remove_prefix(tag + 2);
        return fail("invalid JSON: " + std::string(what));
    }

  private:
    struct Slot {
        const FieldRule* rule;
        FieldValue* value;
    };

    bool topLevelStarted() const { return depth_ > 0; }

    // The field whose key was just read at the top level, if the next value belongs to one.
    std::optional<Slot> takePending() {
        if (pending_ < 0 || depth_ != 1) return std::nullopt;
        int i = std::exchange(pending_, -1);
        return Slot{&rules_[i], &values[i]};
    }

    bool notAnObject(const char* what) {
        return fail(std::string("the message must be a JSON object, not ") + what);
    }
    bool wrongType(const FieldRule& rule, const char* got) {
        return fail("key \"" + std::string(rule.key) + "\" must be " + typeName(rule.type) +
                    ", not " + got);
    }
    bool badNumber(const char* what) {
        if (!topLevelStarted()) return notAnObject("a number");
        auto field = takePending();
        return field ? wrongType(*field->rule, what) : true;
    }

    bool integer(int64_t n) {
        if (!topLevelStarted()) return notAnObject("a number");
        auto field = takePending();
        if (!field) return true;
        if (field->rule->type != FieldType::int64) return wrongType(*field->rule, "a number");
        field->value->present = true;
        field->value->number = n;
        return true;
    }

    bool open(bool isObject, const char* what) {
        if (!topLevelStarted() && !isObject) return notAnObject(what);
        if (auto field = takePending()) return wrongType(*field->rule, what);
        if (++depth_ > kMaxNestingDepth) {
            return fail("containers are nested more than " + std::to_string(kMaxNestingDepth) +
                        " levels deep");
        }
        keys_.emplace_back();  // arrays get an unused set so the stack stays aligned
        return true;
    }
    bool close() {
        --depth_;
        keys_.pop_back();
        return true;
    }
    bool fail(std::string message) {
        if (error.empty()) error = std::move(message);
        return false;
    }

    const std::array<FieldRule, N>& rules_;
    std::vector<std::set<std::string>> keys_;
    int depth_ = 0;
    int pending_ = -1;
};

template <size_t N>
bool readObject(std::string_view text, const std::array<FieldRule, N>& rules,
                std::array<FieldValue, N>& out, std::string& error) {
    FlatObjectReader<N> reader(rules);
    bool parsed = Json::sax_parse(text.begin(), text.end(), &reader, Json::input_format_t::json,
                                  /*strict=*/true);
    if (!parsed || !reader.error.empty()) {
        error = reader.error.empty() ? "invalid JSON" : reader.error;
        return false;
    }
    for (size_t i = 0; i < N; ++i) {
        if (rules[i].required && !reader.values[i].present) {
            error = "missing key \"" + std::string(rules[i].key) + "\"";
            return false;
        }
    }
    out = std::move(reader.values);
    return true;
}

std::optional<std::string> optionalText(FieldValue& v) {
    if (!v.present) return std::nullopt;
    return std::move(v.text);
}

// Printable ASCII other than the quote and the backslash: bytes JSON carries as they are.
bool isPlainByte(char c) {
    return c >= 0x20 && c <= 0x7E && c != '"' && c != '\\';
}

void appendString(std::string& out, const std::string& s) {
    if (std::all_of(s.begin(), s.end(), isPlainByte)) {
        out += '"';
        out += s;
        out += '"';
        return;
    }
    out += Json(s).dump(-1, ' ', false, Json::error_handler_t::replace);
}

void appendKey(std::string& out, const char* key) {
    out += out.size() > 1 ? ",\"" : "\"";
    out += key;
    out += "\":";
}

constexpr std::array<FieldRule, 7> kRequestFields{{
    {"id", FieldType::string, true},
    {"v", FieldType::int64, true},
    {"op", FieldType::string, true},
    {"source", FieldType::string, false},
    {"dest", FieldType::string, false},
    {"path", FieldType::string, false},
    {"progress", FieldType::boolean, false},
}};

constexpr std::array<FieldRule, 6> kResponseFields{{
    {"id", FieldType::string, true},
    {"ok", FieldType::boolean, true},
    {"v", FieldType::int64, false},
    {"error", FieldType::string, false},
    {"code", FieldType::string, false},
    {"reason", FieldType::string, false},
}};

}  // namespace

Decoded<HelperRequest> decodeRequest(std::string_view text) {
    // The JSON reader would stop at a NUL and skip a byte order mark; any other reader of the
    // same line could see it differently, so both are refused.
    if (text.find('\0') != std::string_view::npos)
        return {std::nullopt, "the line contains a NUL byte"};
    if (text.substr(0, 3) == "\xEF\xBB\xBF") {
        return {std::nullopt, "the line starts with a byte order mark"};
    }
    std::array<FieldValue, 7> f;
    std::string error;
    if (!readObject(text, kRequestFields, f, error)) return {std::nullopt, error};
    return {
        HelperRequest{std::move(f[0].text), f[1].number, std::move(f[2].text), optionalText(f[3]),
                      optionalText(f[4]), optionalText(f[5]), f[6].present && f[6].flag},
        {}};
}

Decoded<HelperResponse> decodeResponse(std::string_view text) {
    std::array<FieldValue, 6> f;
    std::string error;
    if (!readObject(text, kResponseFields, f, error)) return {std::nullopt, error};
    std::optional<int64_t> v;
    if (f[2].present) v = f[2].number;
    return {HelperResponse{std::move(f[0].text), f[1].flag, v, optionalText(f[3]),
                           optionalText(f[4]), optionalText(f[5])},
            {}};
}

bool isJsonText(std::string_view text) {
    return Json::accept(text.begin(), text.end());
}

std::string encodeRequest(const HelperRequest& r) {
    std::string out = "{";
    appendKey(out, "id");
    appendString(out, r.id);
    appendKey(out, "v");
    out += std::to_string(r.v);
    appendKey(out, "op");
    appendString(out, r.op);
    for (auto [key, value] :
         {std::pair{"source", &r.source}, {"dest", &r.dest}, {"path", &r.path}}) {
        if (!*value) continue;
        appendKey(out, key);
        appendString(out, **value);
    }
    if (r.progress) {
        appendKey(out, "progress");
        out += "true";
    }
    return out += "}";
}

std::string encodeResponse(const HelperResponse& r) {
    std::string out = "{";
    appendKey(out, "id");
    appendString(out, r.id);
    appendKey(out, "ok");
    out += r.ok ? "true" : "false";
    if (r.v) {
        appendKey(out, "v");
        out += std::to_string(*r.v);
    }
    for (auto [key, value] :
         {std::pair{"error", &r.error}, {"code", &r.code}, {"reason", &r.reason}}) {
        if (!*value) continue;
        appendKey(out, key);
        appendString(out, **value);
    }
    return out += "}";
}

std::string encodeProgress(const ProgressLine& p) {
    std::string out = "{";
    appendKey(out, "id");
    appendString(out, p.id);
    out += ",\"progress\":{\"done\":";
    out += std::to_string(p.done);
    out += ",\"total\":";
    out += std::to_string(p.total);
    return out += "}}";
}

std::optional<ProgressLine> decodeProgress(std::string_view text) {
    // Only the helper's own shape is read; the parser builds no deeper document than that.
    if (!text.starts_with("{\"id\":") || !isJsonText(text)) return std::nullopt;
    const Json j = Json::parse(text, nullptr, false);
    if (!j.is_object() || !j.contains("id") || !j.contains("progress") || !j["id"].is_string()) {
        return std::nullopt;
    }
    const Json& p = j["progress"];
    if (!p.is_object() || !p.contains("done") || !p.contains("total") ||
        !p["done"].is_number_unsigned() || !p["total"].is_number_unsigned()) {
        return std::nullopt;
    }
    return ProgressLine{j["id"].get<std::string>(), p["done"].get<uint64_t>(),
                        p["total"].get<uint64_t>()};
}

bool appendPlainPingAnswer(std::string& out, std::string_view line) {
    constexpr std::string_view kHead = "{\"id\":\"", kTail = "\",\"v\":1,\"op\":\"ping\"}";
    if (line.size() < kHead.size() + kTail.size() || !line.starts_with(kHead) ||
        !line.ends_with(kTail)) {
        return false;
    }
    std::string_view id = line.substr(kHead.size(), line.size() - kHead.size() - kTail.size());
    if (!std::all_of(id.begin(), id.end(), isPlainByte)) return false;
    out += kHead;
    out += id;
    out += "\",\"ok\":true,\"v\":1}\n";
    return true;
}

}  // namespace nimbara
