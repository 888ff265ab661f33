// SPDX-License-Identifier: Apache-2.0
// Small wrappers over system calls that every layer needs: the error text of an errno value,
// whole writes that survive short writes and EINTR, EINTR-safe reads, and the process set-up
// that must come before anything else. All functions are thread-safe and keep no state.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace nimbara {

// The system's message for an error number ("No such file or directory"); thread-safe.
std::string errnoText(int err);

// True for the error numbers that mean a shared resource ran out (descriptors, memory, buffers)
// rather than that the request itself was wrong.
bool isResourceShortage(int err);

// Opens /dev/null onto each of descriptors 0-2 that is closed, so that no socket or file opened
// later can take a standard descriptor's place. Returns false when /dev/null cannot be opened.
bool openStandardDescriptors();

// Raises the soft limit on open descriptors to the hard limit; returns the soft limit in effect.
size_t raiseDescriptorLimit();

// Writes all of `data` to `fd`, continuing short writes and repeating interrupted calls.
// Uses send(MSG_NOSIGNAL) on sockets so a closed peer never raises SIGPIPE.
// Returns true when every byte was written, false on the first other error.
bool writeAll(int fd, std::string_view data);

// Writes what of `data` the socket `fd` takes without waiting (send(MSG_DONTWAIT |
// MSG_NOSIGNAL), repeating interrupted calls). Returns the number of bytes written; fewer than
// all when the socket's buffer is full or on an error (a gone peer).
size_t sendWithoutWaiting(int fd, std::string_view data);

// read(2) that repeats on EINTR. Same result convention as read(2).
ssize_t readSome(int fd, void* buf, size_t len);

// Reads exactly `len` bytes at `offset`; false on an error or an early end of file.
bool readAt(int fd, uint64_t offset, void* buf, size_t len);

// Copies bytes [offset, offset + length) of `src` to the same offsets of `dst` through a
// buffer. Returns 0, EOVERFLOW when `src` ends first, or the errno of the failed call.
int copyRangeThroughBuffer(int src, int dst, uint64_t offset, uint64_t length);

}  // namespace nimbara
