// SPDX-License-Identifier: Apache-2.0
#include "policy/path_rules.h"

#include <cstdlib>

#include "policy/path_text.h"

namespace nimbara {
namespace {

const char* prefixFor(ValidationError::Kind kind) {
    using Kind = ValidationError::Kind;
    switch (kind) {
        case Kind::notAbsolute:
            return "Path is not absolute: ";
        case Kind::containsTraversal:
            return "Path contains traversal: ";
        case Kind::containsControlChars:
            return "Path contains control characters: ";
        case Kind::outsideAllowedRoots:
            return "Path outside allowed roots: ";
        case Kind::sourceNotUnderUsers:
            return "Source not under /Users/: ";
    }
    return "";
}

// Form rules on the path as given: absolute first, then no C0 control character or DEL.
void validateCommon(std::string_view path) {
    if (!startsWithCharacters(path, "/")) {
        throw ValidationError(ValidationError::Kind::notAbsolute, std::string(path));
    }
    for (unsigned char c : path) {
        if (c < 0x20 || c == 0x7f) {
            throw ValidationError(ValidationError::Kind::containsControlChars, std::string(path));
        }
    }
}

// Standardizes the parent only and keeps the last component as it stands, then refuses any
// ".." left in the result, as a component or inside a name.
std::string canonicalize(std::string_view path) {
    std::string canonical = appendingPathComponent(standardizePath(deletingLastPathComponent(path)),
                                                   lastPathComponent(path));
    if (canonical.find("..") != std::string::npos) {
        throw ValidationError(ValidationError::Kind::containsTraversal, canonical);
    }
    return canonical;
}

bool isAtOrBelow(std::string_view path, std::string_view root) {
    return path == root || startsWithCharacters(path, std::string(root) + "/");
}

}  // namespace

ValidationError::ValidationError(Kind kind, std::string path)
    : kind_(kind), path_(std::move(path)), description_(prefixFor(kind) + path_) {}

std::string validateDestPath(std::string_view path) {
    validateCommon(path);
    std::string canonical = canonicalize(path);
    for (auto root : allowedDestRoots) {
        if (isAtOrBelow(canonical, root)) return canonical;
    }
    throw ValidationError(ValidationError::Kind::outsideAllowedRoots, canonical);
}

std::string validateSourcePath(std::string_view path) {
    validateCommon(path);
    std::string canonical = canonicalize(path);
    if (startsWithCharacters(canonical, std::string(kUsersRoot) + "/")) return canonical;
    throw ValidationError(ValidationError::Kind::sourceNotUnderUsers, canonical);
}

std::string_view allowedRootOf(std::string_view canonicalDest) {
    for (auto root : allowedDestRoots) {
        if (isAtOrBelow(canonicalDest, root)) return root;
    }
    std::abort();  // only validated destinations come here
}

}  // namespace nimbara
