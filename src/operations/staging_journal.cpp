// SPDX-License-Identifier: Apache-2.0
#include "operations/staging_journal.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <sstream>

#include "base/sys.h"
#include "operations/tree_walk.h"
#include "operations/trusted_folders.h"
#include "platform/file_system.h"

namespace nimbara {
namespace {

constexpr const char* kRecordName = "staged";
constexpr const char* kNewRecordName = "staged.new";
constexpr const char* kLockName = "lock";
constexpr const char* kStagedMark = ".nimbara-";
constexpr size_t kSuffixDigits = 12;

// One entry per line: caller uid, root and path, separated by tabs (validated paths hold no
// control characters).
std::string format(const std::vector<StagingJournal::Entry>& entries) {
    std::string text;
    for (const auto& e : entries) {
        text += std::to_string(e.caller) + "\t" + e.root + "\t" + e.path + "\n";
    }
    return text;
}

std::vector<StagingJournal::Entry> parse(const std::string& text) {
    std::vector<StagingJournal::Entry> entries;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        size_t a = line.find('\t');
        size_t b = a == std::string::npos ? a : line.find('\t', a + 1);
        if (b == std::string::npos) continue;
        StagingJournal::Entry e{0, line.substr(a + 1, b - a - 1), line.substr(b + 1)};
        try {
            e.caller = static_cast<uid_t>(std::stoul(line.substr(0, a)));
        } catch (const std::exception&) {
            continue;
        }
        entries.push_back(std::move(e));
    }
    return entries;
}

// The file whose lock lets one process at a time keep the record: one that only this user could
// ever open. Not the folder itself, which anyone could hold open and locked had it once been
// readable by others; a lock file that others could open is replaced by a fresh one.
UniqueFd openLock(int folder, const std::string& folderPath) {
    const std::string path = folderPath + "/" + kLockName;
    for (int attempt = 0; attempt < 2; ++attempt) {
        UniqueFd fd(::openat(folder, kLockName, O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600));
        struct stat st;
        if (!fd || ::fstat(fd.get(), &st) != 0) throw FsFailure("Cannot open", path, errno);
        if (S_ISREG(st.st_mode) && st.st_uid == ::geteuid() && (st.st_mode & 077) == 0 &&
            st.st_nlink == 1) {
            return fd;
        }
        if (::unlinkat(folder, kLockName, 0) != 0) throw FsFailure("Cannot remove", path, errno);
    }
    throw FsFailure("Cannot open", path, EEXIST);
}

}  // namespace

void StagingJournal::open(const std::string& folder) {
    // The system's own links on the way (/var into /private/var) are followed; a user's never.
    UniqueFd fd = openTrustedFolder(folder, /*create=*/true, 0700, LinksOnTheWay::rootsAllowed);
    struct stat st;
    if (::fstat(fd.get(), &st) != 0) throw FsFailure("Cannot read", folder, errno);
    // What the record names is removed at start: only root may ever have written it.
    if ((st.st_mode & 022) != 0) throw FsFailure(folder + " is writable by others");
    if ((st.st_mode & 077) != 0 && ::fchmod(fd.get(), 0700) != 0) {
        throw FsFailure("Cannot set the mode of", folder, errno);
    }
    // One process at a time keeps the record: a second one would sweep the first one's work.
    UniqueFd lock = openLock(fd.get(), folder);
    if (::flock(lock.get(), LOCK_EX | LOCK_NB) != 0) {
        if (errno == EWOULDBLOCK) throw JournalHeldElsewhere("Cannot lock", folder, errno);
        throw FsFailure("Cannot lock", folder, errno);
    }
    lock_ = std::move(lock);
    folder_ = std::move(fd);
    folderPath_ = folder;
    UniqueFd record(::openat(folder_.get(), kRecordName, O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
    if (!record) {
        if (errno != ENOENT) throw FsFailure("Cannot read", folder + "/" + kRecordName, errno);
        return;
    }
    // Read whole, however large an earlier run left it.
    std::string text;
    char chunk[1 << 16];
    for (ssize_t n; (n = readSome(record.get(), chunk, sizeof chunk)) != 0;) {
        if (n < 0) throw FsFailure("Cannot read", folder + "/" + kRecordName, errno);
        text.append(chunk, static_cast<size_t>(n));
    }
    entries_ = parse(text);
}

void StagingJournal::add(const Entry& entry) {
    // Bounded per user, so that a user whose items cannot be removed fails only her own copies.
    auto mine = std::count_if(entries_.begin(), entries_.end(),
                              [&](const Entry& e) { return e.caller == entry.caller; });
    if (static_cast<size_t>(mine) >= kMaxEntriesPerUser) {
        throw FsFailure("uid " + std::to_string(entry.caller) + " already has " +
                        std::to_string(mine) +
                        " staged items awaiting removal, the most one user may have");
    }
    if (entries_.size() >= kMaxEntries) {
        throw FsFailure("the record of staged copies is full (" + std::to_string(kMaxEntries) +
                        " items awaiting removal)");
    }
    entries_.push_back(entry);
    try {
        save();
    } catch (const FsFailure&) {
        entries_.pop_back();
        throw;
    }
}

void StagingJournal::remove(const std::string& path) {
    if (std::erase_if(entries_, [&](const Entry& e) { return e.path == path; }) == 0) return;
    try {
        save();
    } catch (const FsFailure&) {
        // The item is gone; an entry left on disk names nothing and is dropped at the next start.
    }
}

// The new record reaches the disk before it takes the old one's name, and the rename before the
// record is relied on: a crash or a failed write leaves one whole record, never a mix.
void StagingJournal::save() {
    if (!folder_) return;
    std::string path = folderPath_ + "/" + kNewRecordName;
    UniqueFd record(::openat(folder_.get(), kNewRecordName,
                             O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (!record || !writeAll(record.get(), format(entries_)) || ::fsync(record.get()) != 0) {
        throw FsFailure("Cannot write", path, errno);
    }
    if (::renameat(folder_.get(), kNewRecordName, folder_.get(), kRecordName) != 0) {
        throw FsFailure("Cannot write", path, errno);
    }
    if (::fsync(folder_.get()) != 0) throw FsFailure("Cannot write", folderPath_, errno);
}

bool isStagedName(const std::string& name) {
    size_t mark = name.rfind(kStagedMark);
    if (name.size() < 2 || name[0] != '.' || mark == std::string::npos || mark < 2) return false;
    std::string_view suffix = std::string_view(name).substr(mark + std::strlen(kStagedMark));
    return suffix.size() == kSuffixDigits &&
           suffix.find_first_not_of("0123456789abcdef") == std::string_view::npos;
}

std::string stagedNameFor(const std::string& name) {
    unsigned char random[kSuffixDigits / 2];
    randomBytes(random, sizeof random);
    std::string name200 = name.substr(0, 200);
    std::string staged = "." + name200 + kStagedMark;
    char hex[3];
    for (unsigned char b : random) {
        std::snprintf(hex, sizeof hex, "%02x", b);
        staged += hex;
    }
    return staged;
}

}  // namespace nimbara
