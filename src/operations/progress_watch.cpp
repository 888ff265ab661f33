// SPDX-License-Identifier: Apache-2.0
#include "operations/progress_watch.h"

#include <algorithm>
#include <atomic>

#include "operations/tree_walk.h"
#include "platform/file_system_type.h"

namespace nimbara {
namespace {

using Clock = std::chrono::steady_clock;

std::atomic<Clock::rep> lastStep{0};

// The running copy's report; touched on the operation queue only.
struct Report {
    ProgressListener listener;
    uint64_t done = 0;
    uint64_t total = 0;
    uint64_t fileBytes = 0;  // noted of the file being copied
    Clock::time_point lastTold;
};
Report report;

void tell() {
    report.lastTold = Clock::now();
    // The measure counts allocated blocks; contents copied never report more than it.
    report.listener(std::min(report.done, report.total), report.total);
}

}  // namespace

ProgressReport::ProgressReport(ProgressListener listener) {
    report = Report{std::move(listener), 0, 0, 0, {}};
}

ProgressReport::~ProgressReport() {
    report = Report{};
}

void noteCopyTotal(uint64_t total) {
    report.done = 0;
    report.total = total;
    if (report.listener) tell();
}

void noteBytesCopied(uint64_t bytes) {
    report.done += bytes;
    report.fileBytes += bytes;
    if (report.listener && Clock::now() - report.lastTold >= kProgressInterval) tell();
}

void noteFileCopied(uint64_t allocated) {
    uint64_t rest = allocated > report.fileBytes ? allocated - report.fileBytes : 0;
    report.fileBytes = 0;
    noteBytesCopied(rest);
    report.fileBytes = 0;
}

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
