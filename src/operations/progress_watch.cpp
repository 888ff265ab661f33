// SPDX-License-Identifier: Apache-2.0
#include "operations/progress_watch.h"

#include <atomic>

#include "operations/tree_walk.h"
#include "platform/file_system_type.h"

namespace nimbara {
namespace {

using Clock = std::chrono::steady_clock;

std::atomic<Clock::rep> lastStep{0};

}  // namespace

void beginProgressWatch(Clock::time_point start) {
    lastStep.store(start.time_since_epoch().count());
}

void noteProgress(const std::string& path) {
    Clock::rep now = Clock::now().time_since_epoch().count();
    Clock::rep before = lastStep.exchange(now);
    // Before any operation was watched there is no step to measure from.
    if (before != 0 && Clock::duration(now - before) > kStallBound) {
        throw FsFailure("Cannot copy", path,
                        "no progress for " +
                            std::to_string(std::chrono::seconds(kStallBound).count()) + " seconds");
    }
}

void requireTrustedFileSystem(int fd, const std::string& what, const std::string& path) {
    std::string kind = untrustedFileSystem(fd);
    if (!kind.empty()) {
        throw FsFailure(what, path,
                        "it lies on a " + kind + " file system, which the helper does not use");
    }
}

}  // namespace nimbara
