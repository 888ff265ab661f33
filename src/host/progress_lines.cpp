// SPDX-License-Identifier: Apache-2.0
#include "host/progress_lines.h"

#include "base/sys.h"
#include "protocol/messages.h"

namespace nimbara {

void ReplyChannel::flushHeld() const {
    writeAll(fd, *held);  // errors ignored: the connection's next read notices a dead peer
    held->clear();
}

void ProgressLines::offer(uint64_t done, uint64_t total) {
    if (!unsent_.empty()) {
        unsent_.erase(0, sendWithoutWaiting(fd_, unsent_));
        if (!unsent_.empty()) return;  // the client is not reading: this line is dropped
    }
    std::string line = encodeProgress({id_, done, total});
    line += '\n';
    line.erase(0, sendWithoutWaiting(fd_, line));
    unsent_ = std::move(line);
}

void ProgressLines::finish() {
    writeAll(fd_, unsent_);
    unsent_.clear();
}

}  // namespace nimbara
