// SPDX-License-Identifier: Apache-2.0
// StagingJournal: the record of the hidden items a copy has made beside a destination (the copy
// being built, or the old item swapped out of the way) for as long as they exist. A helper that
// is killed leaves its entries behind, and the next start removes what they name. Kept as one
// small file in a root-only folder, replaced whole on every change; without a folder the record
// lives in memory only. Bounded per caller and in all.
// Used from the operation queue, and at start before any connection is served.
#pragma once

#include <sys/types.h>

#include <functional>
#include <string>
#include <vector>

#include "base/unique_fd.h"
#include "operations/tree_walk.h"

namespace nimbara {

// Another process holds the journal's folder: another instance of the helper is running.
class JournalHeldElsewhere : public FsFailure {
  public:
    using FsFailure::FsFailure;
};

class StagingJournal {
  public:
    struct Entry {
        uid_t caller;      // the caller the copy acted for
        std::string root;  // the allowed root the item lies below
        std::string path;  // the hidden item
        bool operator==(const Entry&) const = default;
    };

    // A journal kept in memory only.
    StagingJournal() = default;

    // Opens (creating when missing, 0700; closing it to others when it was open to reading) the
    // root-only folder `folder` (reached through links of root's only: LinksOnTheWay), locks its
    // lock file and reads the entries a previous run left there. Throws JournalHeldElsewhere when
    // another process holds the folder, FsFailure when it cannot be used.
    void open(const std::string& folder);

    // At most this many items per caller, and in all, await removal at once.
    static constexpr size_t kMaxEntriesPerUser = 8;
    static constexpr size_t kMaxEntries = 256;

    // Notes `entry` before the item exists; throws FsFailure when the entry's caller already has
    // kMaxEntriesPerUser entries, the record is full, or it cannot be written (the record on
    // disk then stays as it was).
    void add(const Entry& entry);
    // Forgets the item at `path` once it is gone (or in place under its real name).
    void remove(const std::string& path);

    const std::vector<Entry>& entries() const { return entries_; }

  private:
    void save();

    UniqueFd folder_;
    UniqueFd lock_;  // held locked while this process keeps the record
    std::string folderPath_;
    std::vector<Entry> entries_;
};

// True for names the copy stages under: ".<name>.nimbara-<12 hex digits>".
bool isStagedName(const std::string& name);

// The hidden name a copy of `name` is staged under, unique with overwhelming probability.
std::string stagedNameFor(const std::string& name);

}  // namespace nimbara
