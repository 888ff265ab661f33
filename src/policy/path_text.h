// SPDX-License-Identifier: Apache-2.0
// Path text operations used by validation: last component, parent, standardization and
// joining, plus prefix tests that compare user-perceived characters (extended grapheme clusters)
// rather than bytes. All pure; no file-system access; any thread.
#pragma once

#include <string>
#include <string_view>

namespace nimbara {

// "/a/b" and "/a/b/" give "b"; "/" gives "/".
std::string lastPathComponent(std::string_view path);
// "/a/b" and "/a/b/" give "/a"; "/a" and "/" give "/".
std::string deletingLastPathComponent(std::string_view path);
// For an absolute path: folds "//", drops "." and trailing "/", and resolves ".." textually
// ("/.." is "/").
std::string standardizePath(std::string_view path);
// Joins with exactly one "/" ("/" + "x" is "/x"; "/" + "/" is "/").
std::string appendingPathComponent(std::string_view base, std::string_view component);

// True when `text` begins with `prefix` as whole characters: the bytes match and the first
// character after the prefix does not merge into the prefix's last one (a combining mark).
bool startsWithCharacters(std::string_view text, std::string_view prefix);

}  // namespace nimbara
