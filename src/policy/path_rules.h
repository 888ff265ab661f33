// SPDX-License-Identifier: Apache-2.0
// The rules every client path passes before anything on disk is touched: well formed (absolute,
// no control characters), canonical (parent standardized, no ".." anywhere), and inside an allowed
// plug-in folder (destinations) or below /Users/ (copy sources). Pure text, no file system;
// stateless; any thread. Failures throw ValidationError and nothing else.
#pragma once

#include <array>
#include <exception>
#include <string>
#include <string_view>

namespace nimbara {

inline constexpr std::array<std::string_view, 3> allowedDestRoots{
    "/Library/Audio/Plug-Ins/VST3",
    "/Library/Audio/Plug-Ins/Components",
    "/Library/Application Support/Avid/Audio/Plug-Ins",
};
inline constexpr std::string_view kUsersRoot = "/Users";

class ValidationError : public std::exception {
  public:
    enum class Kind {
        notAbsolute,
        containsTraversal,
        containsControlChars,
        outsideAllowedRoots,
        sourceNotUnderUsers,
    };

    ValidationError(Kind kind, std::string path);
    Kind kind() const { return kind_; }
    const std::string& path() const { return path_; }
    // A fixed prefix ("Path is not absolute: ", ...) followed by the path.
    const std::string& description() const { return description_; }
    const char* what() const noexcept override { return description_.c_str(); }

  private:
    Kind kind_;
    std::string path_;
    std::string description_;
};

// The canonical form of a path that is written, created or removed.
// Throws notAbsolute, containsControlChars, containsTraversal or outsideAllowedRoots.
std::string validateDestPath(std::string_view path);

// The canonical form of a copy source.
// Throws notAbsolute, containsControlChars, containsTraversal or sourceNotUnderUsers.
std::string validateSourcePath(std::string_view path);

// The allowed root a validated destination lies in (or is).
std::string_view allowedRootOf(std::string_view canonicalDest);

}  // namespace nimbara
