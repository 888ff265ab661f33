// SPDX-License-Identifier: Apache-2.0
#include "host/log.h"

#include <unistd.h>

#include <cstdio>
#include <new>

#include "base/sys.h"

namespace nimbara {
namespace {

constexpr std::string_view kCutMarker = "...";

// The escaped form of one byte, or an empty view when the byte stands for itself.
std::string_view escapeOf(unsigned char c, char (&buf)[8]) {
    switch (c) {
        case '\\':
            return "\\\\";
        case '\n':
            return "\\n";
        case '\r':
            return "\\r";
        case '\t':
            return "\\t";
        default:
            break;
    }
    if (c >= 0x20 && c != 0x7f) return {};
    static constexpr char kHex[] = "0123456789abcdef";
    buf[0] = '\\';
    buf[1] = 'x';
    buf[2] = kHex[c >> 4];
    buf[3] = kHex[c & 0xf];
    return {buf, 4};
}

// The length of the well-formed UTF-8 sequence at the start of `s` and its code point, or 0.
size_t decodeUtf8(std::string_view s, char32_t& cp) {
    auto c = [&](size_t i) { return static_cast<unsigned char>(s[i]); };
    size_t len = c(0) >= 0xf0 ? 4 : c(0) >= 0xe0 ? 3 : c(0) >= 0xc2 ? 2 : 0;
    if (len == 0 || len > s.size() || c(0) > 0xf4) return 0;
    cp = c(0) & (0x7f >> len);
    for (size_t i = 1; i < len; ++i) {
        if ((c(i) & 0xc0) != 0x80) return 0;
        cp = (cp << 6) | (c(i) & 0x3f);
    }
    bool overlong = (len == 3 && cp < 0x800) || (len == 4 && cp < 0x10000);
    if (overlong || cp > 0x10ffff || (cp >= 0xd800 && cp <= 0xdfff)) return 0;
    return len;
}

// Appends `message` escaped to `out` while `out` stays within `limit` bytes; false when cut.
// Beyond ASCII controls, C1 controls and the Unicode line and paragraph separators (which some
// viewers take for line breaks) become \uHHHH, and bytes that are not UTF-8 become \xHH.
bool appendEscaped(std::string& out, std::string_view message, size_t limit) {
    char buf[8];
    for (size_t at = 0; at < message.size();) {
        auto byte = static_cast<unsigned char>(message[at]);
        std::string_view piece = message.substr(at, 1);
        std::string_view esc = escapeOf(byte, buf);
        if (byte >= 0x80) {
            char32_t cp = 0;
            size_t len = decodeUtf8(message.substr(at), cp);
            if (len == 0) {
                std::snprintf(buf, sizeof buf, "\\x%02x", byte);
                esc = buf;
            } else if ((cp >= 0x80 && cp <= 0x9f) || cp == 0x2028 || cp == 0x2029) {
                std::snprintf(buf, sizeof buf, "\\u%04x", static_cast<unsigned>(cp));
                esc = buf;
                piece = message.substr(at, len);
            } else {
                piece = message.substr(at, len);
            }
        }
        std::string_view text = esc.empty() ? piece : esc;
        if (out.size() + text.size() > limit) return false;
        out += text;
        at += piece.size();
    }
    return true;
}

}  // namespace

std::string escapeLogText(std::string_view message) {
    std::string out;
    out.reserve(message.size());
    appendEscaped(out, message, std::string::npos);
    return out;
}

std::string formatLogLine(std::time_t when, std::string_view message) {
    std::tm utc{};
    gmtime_r(&when, &utc);
    char stamp[32];
    std::strftime(stamp, sizeof stamp, "%Y-%m-%dT%H:%M:%SZ", &utc);
    std::string line;
    line.reserve(std::min(message.size() + 36, kMaxLogLineBytes));
    line.append("[").append(stamp).append("] [helper] ");
    // The fixed texts hold no control characters or backslashes, so escaping the whole message
    // is the same as escaping each variable part, and no caller can forget to.
    if (!appendEscaped(line, message, kMaxLogLineBytes - 1 - kCutMarker.size())) {
        line += kCutMarker;
    }
    line += '\n';
    return line;
}

void writeLogLine(std::string_view message, LogPriority priority) {
    try {
        writeAll(STDOUT_FILENO, logGoesToJournal() ? formatJournalLine(priority, message)
                                                   : formatLogLine(std::time(nullptr), message));
    } catch (const std::bad_alloc&) {
        // No memory for the line: it is lost, the caller goes on.
    }
}

std::string RefusalLogLimiter::heldBackText(uint64_t count) {
    return "Rejected connection: " + std::to_string(count) + " more refusals not logged";
}

}  // namespace nimbara
