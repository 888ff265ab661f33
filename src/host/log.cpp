#include "host/log.h"

#include <unistd.h>

#include <new>

#include "base/sys.h"

namespace nimbara {
namespace {

constexpr std::string_view kCutMarker = "...";

// The escaped form of one byte, or an empty view when the byte stands for itself.
std::string_view escapeOf(unsigned char c, char (&buf)[5]) {
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

// Appends `message` escaped to `out` while `out` stays within `limit` bytes; false when cut.
bool appendEscaped(std::string& out, std::string_view message, size_t limit) {
    char buf[5];
    for (char ch : message) {
        std::string_view esc = escapeOf(static_cast<unsigned char>(ch), buf);
        size_t need = esc.empty() ? 1 : esc.size();
        if (out.size() + need > limit) return false;
        if (esc.empty()) {
            out += ch;
        } else {
            out += esc;
        }
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

void writeLogLine(std::string_view message) {
    try {
        writeAll(STDOUT_FILENO, formatLogLine(std::time(nullptr), message));
    } catch (const std::bad_alloc&) {
        // No memory for the line: it is lost, the caller goes on.
    }
}

std::string RefusalLogLimiter::heldBackText(uint64_t count) {
    return "Rejected connection: " + std::to_string(count) + " more refusals not logged";
}

}  // namespace nimbara
