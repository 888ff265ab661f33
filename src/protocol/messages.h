// SPDX-License-Identifier: Apache-2.0
// The wire messages: HelperRequest and HelperResponse, their compact JSON form and the error
// codes. Decoding is all or nothing and bounded (nesting depth, no recursion); encoding never
// fails and never emits a raw line feed. Pure functions, callable from any thread.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace nimbara {

inline constexpr int64_t kProtocolVersion = 1;
// Containers nested deeper than this make a message malformed.
inline constexpr int kMaxNestingDepth = 64;

namespace codes {
inline constexpr const char* kSignatureInvalid = "SIGNATURE_INVALID";
inline constexpr const char* kVersionMismatch = "VERSION_MISMATCH";
inline constexpr const char* kUnknownOp = "UNKNOWN_OP";
inline constexpr const char* kValidationFailed = "VALIDATION_FAILED";
inline constexpr const char* kOpFailed = "OP_FAILED";
}  // namespace codes

struct HelperRequest {
    std::string id;
    int64_t v = kProtocolVersion;
    std::string op;
    std::optional<std::string> source;
    std::optional<std::string> dest;
    std::optional<std::string> path;
    // "copy": the client asks for progress lines before the answer.
    bool progress = false;
};

struct HelperResponse {
    std::string id;
    bool ok = false;
    std::optional<int64_t> v;
    std::optional<std::string> error;
    std::optional<std::string> code;
    // OP_FAILED of an operation that ran: its own message, as the log line has it.
    std::optional<std::string> reason = std::nullopt;

    static HelperResponse success(std::string id) { return {std::move(id), true, {}, {}, {}, {}}; }
    static HelperResponse failure(std::string id, std::string error, std::string code) {
        return {std::move(id), false, {}, std::move(error), std::move(code), {}};
    }
    bool operator==(const HelperResponse&) const = default;
};

// A decoded message, or a plain-words reason why the text is not one.
template <class T>
struct Decoded {
    std::optional<T> value;
    std::string error;  // empty when value is set
};

Decoded<HelperRequest> decodeRequest(std::string_view text);
Decoded<HelperResponse> decodeResponse(std::string_view text);

// How far a copy that asked for progress has come: bytes copied of the bytes it measured.
struct ProgressLine {
    std::string id;
    uint64_t done = 0;
    uint64_t total = 0;
};

// {"id":ID,"progress":{"done":N,"total":M}}, no trailing line feed.
std::string encodeProgress(const ProgressLine& progress);
// A progress line, or nothing for any other text (a response, say).
std::optional<ProgressLine> decodeProgress(std::string_view text);

// True when `text` is one syntactically valid JSON value.
bool isJsonText(std::string_view text);

// Compact JSON, keys in declaration order, absent optionals left out; no trailing line feed.
std::string encodeRequest(const HelperRequest& request);
std::string encodeResponse(const HelperResponse& response);

// The answer to a ping written exactly as this project's client writes one,
// {"id":"ID","v":1,"op":"ping"} with an ID of printable ASCII other than '"' and '\\', appended
// to `out` with its line feed without running the JSON reader; false, with `out` untouched, for
// any other line, which must then take the general way. Where it answers, the answer is the one
// the general way gives (the request fuzz target compares the two). Pure; any thread.
bool appendPlainPingAnswer(std::string& out, std::string_view line);

}  // namespace nimbara
