// SPDX-License-Identifier: Apache-2.0
#include "policy/path_text.h"

#include <utf8proc.h>

#include <vector>

namespace nimbara {
namespace {

std::string_view trimTrailingSlashes(std::string_view path) {
    while (path.size() > 1 && path.back() == '/') path.remove_suffix(1);
    return path;
}

// The code point that starts at `pos`, or -1 for invalid UTF-8.
utf8proc_int32_t codePointAt(std::string_view s, size_t pos) {
    utf8proc_int32_t cp = -1;
    utf8proc_iterate(reinterpret_cast<const utf8proc_uint8_t*>(s.data() + pos),
                     static_cast<utf8proc_ssize_t>(s.size() - pos), &cp);
    return cp;
}

// The code point that ends just before `pos`.
utf8proc_int32_t codePointBefore(std::string_view s, size_t pos) {
    size_t start = pos;
    do {
        --start;
    } while (start > 0 && (static_cast<unsigned char>(s[start]) & 0xC0) == 0x80);
    return codePointAt(s, start);
}

}  // namespace

std::string lastPathComponent(std::string_view path) {
    path = trimTrailingSlashes(path);
    if (path == "/") return "/";
    size_t slash = path.rfind('/');
    return std::string(slash == std::string_view::npos ? path : path.substr(slash + 1));
}

std::string deletingLastPathComponent(std::string_view path) {
    path = trimTrailingSlashes(path);
    size_t slash = path.rfind('/');
    if (slash == std::string_view::npos) return "";
    std::string_view parent = trimTrailingSlashes(path.substr(0, slash));
    if (parent.empty() || parent == "/") return "/";
    return std::string(parent);
}

std::string standardizePath(std::string_view path) {
    std::vector<std::string_view> parts;
    size_t i = 0;
    while (i < path.size()) {
        size_t slash = path.find('/', i);
        if (slash == std::string_view::npos) slash = path.size();
        std::string_view part = path.substr(i, slash - i);
        i = slash + 1;
        if (part.empty() || part == ".") continue;
        if (part == "..") {
            if (!parts.empty()) parts.pop_back();
            continue;
        }
        parts.push_back(part);
    }
    std::string out;
    for (auto part : parts) out.append("/").append(part);
    return out.empty() ? "/" : out;
}

std::string appendingPathComponent(std::string_view base, std::string_view component) {
    while (!component.empty() && component.front() == '/') component.remove_prefix(1);
    std::string out(trimTrailingSlashes(base));
    if (component.empty()) return out;
    if (out.empty() || out.back() != '/') out += '/';
    return out.append(component);
}

bool startsWithCharacters(std::string_view text, std::string_view prefix) {
    if (text.substr(0, prefix.size()) != prefix) return false;
    if (text.size() == prefix.size() || prefix.empty()) return true;
    utf8proc_int32_t last = codePointBefore(text, prefix.size());
    utf8proc_int32_t next = codePointAt(text, prefix.size());
    if (last < 0 || next < 0) return true;  // invalid UTF-8 forms no cluster with the prefix
    return utf8proc_grapheme_break(last, next);
}

}  // namespace nimbara
