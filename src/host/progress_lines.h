// SPDX-License-Identifier: Apache-2.0
// The progress lines of one copy on its connection. The operation queue offers lines and never
// waits for the client: a line the socket cannot take now is dropped, and one it took only in
// part is finished by the connection's thread after the operation, before the final answer, so
// that lines never interleave. offer() runs on the operation queue, the rest on the connection's
// thread while no operation of its own runs.
#pragma once

#include <cstdint>
#include <string>

namespace nimbara {

// Where a connection's answers go: its socket, and the answers to earlier lines of the same read
// that are not written yet.
struct ReplyChannel {
    int fd;
    std::string* held;
    // Writes the held answers (waiting for the client), so that nothing written later overtakes
    // them.
    void flushHeld() const;
};

class ProgressLines {
  public:
    ProgressLines(int fd, std::string id) : fd_(fd), id_(std::move(id)) {}

    // Sends {"id":ID,"progress":{"done":N,"total":M}} if the socket takes it without waiting.
    void offer(uint64_t done, uint64_t total);
    // Writes the rest of a line the socket took only in part, waiting for the client.
    void finish();

  private:
    int fd_;
    std::string id_;
    std::string unsent_;  // the tail of a line begun on the socket
};

}  // namespace nimbara
