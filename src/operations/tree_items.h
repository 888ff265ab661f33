// SPDX-License-Identifier: Apache-2.0
// The steps the copying and measuring walks share: opening and judging one source item,
// failing with a reason for people, and seeing a stop request between steps.
#pragma once

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>

#include <cstdint>
#include <string>

#include "base/unique_fd.h"
#include "operations/tree_walk.h"

namespace nimbara::tree_items {

constexpr int kDirFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
constexpr mode_t kModeMask = 0755;  // no setuid, setgid, sticky or group/other write
constexpr const char* kNotCopyable = "not a regular file, folder or symbolic link";
constexpr const char* kChangedSize = "it changed size while being copied";

[[noreturn]] void fail(const std::string& what, const std::string& path, int err = errno);
[[noreturn]] void fail(const std::string& what, const std::string& path, const std::string& cause);

// Between two steps of a copy: gives up when the helper stops or the last step stalled.
void checkStop(const std::string& path);

// A mount inside a source could be a file system that never answers: the whole source lies on
// the file system of the folder that holds it.
void requireDevice(const struct stat& st, dev_t device, const std::string& path);
dev_t deviceOf(int dir, const std::string& path);

std::string tooDeep();

// The entry's type as S_IFMT bits, from the listing when it says, else from the item itself.
mode_t entryType(int dir, const dirent* e, const std::string& path);

std::string readLink(int dir, const char* name, const std::string& path);

// Opens a listed regular file or folder for reading and makes sure it still is one.
UniqueFd openSource(int dir, const char* name, mode_t type, const std::string& path,
                    struct stat& st);

inline uint64_t allocatedBytes(const struct stat& st) {
    return static_cast<uint64_t>(st.st_blocks) * 512;
}

}  // namespace nimbara::tree_items
