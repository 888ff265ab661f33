// SPDX-License-Identifier: Apache-2.0
// The helper's client library for C++17 and later: a thin owner of the C interface
// (nimbara/client.h). One Connection is one connection to the helper, used by one thread at a
// time; every call returns a Status and throws nothing but std::bad_alloc from std::string.
#ifndef NIMBARA_CLIENT_HPP
#define NIMBARA_CLIENT_HPP

#include <cstdint>
#include <functional>
#include <string>
#include <utility>

#include "nimbara/client.h"

namespace nimbara::client {

struct Status {
    nimbara_result result = NIMBARA_OK;
    std::string code;    // the answer's code, "" when there was none
    std::string error;   // the answer's error text, or what went wrong on the way
    std::string reason;  // why a file operation failed, as the helper logs it
    bool ok() const { return result == NIMBARA_OK; }
};

// Bytes copied so far, bytes in all.
using Progress = std::function<void(std::uint64_t done, std::uint64_t total)>;

class Connection {
  public:
    // Connects to the helper's socket (or `socketPath`); connected() says whether it worked and
    // status() why not.
    explicit Connection(const char* socketPath = nullptr)
        : status_(nimbara_status_new()), connection_(nimbara_connect(socketPath, status_)) {}
    ~Connection() {
        nimbara_close(connection_);
        nimbara_status_free(status_);
    }
    Connection(Connection&& other) noexcept
        : status_(std::exchange(other.status_, nullptr)),
          connection_(std::exchange(other.connection_, nullptr)) {}
    Connection& operator=(Connection&& other) noexcept {
        std::swap(status_, other.status_);
        std::swap(connection_, other.connection_);
        return *this;
    }
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    bool connected() const { return connection_ != nullptr; }
    // The outcome of the last call (or of connecting).
    Status status() const {
        if (!status_) return {NIMBARA_OUT_OF_MEMORY, {}, {}, {}};
        return {nimbara_status_result(status_), nimbara_status_code(status_),
                nimbara_status_error(status_), nimbara_status_reason(status_)};
    }

    Status ping() { return done(nimbara_ping(connection_, status_)); }
    // With `progress`, the helper reports how far the copy has come; it is called on this thread
    // and must not throw.
    Status copy(const std::string& source, const std::string& dest, Progress progress = {}) {
        nimbara_progress_fn fn = progress ? &Connection::forward : nullptr;
        return done(
            nimbara_copy(connection_, source.c_str(), dest.c_str(), fn, &progress, status_));
    }
    Status remove(const std::string& path) {
        return done(nimbara_remove(connection_, path.c_str(), status_));
    }
    Status mkdir(const std::string& path) {
        return done(nimbara_mkdir(connection_, path.c_str(), status_));
    }

  private:
    static void forward(std::uint64_t done, std::uint64_t total, void* context) {
        (*static_cast<Progress*>(context))(done, total);
    }
    Status done(nimbara_result result) {
        Status s = status();
        if (!status_) s.result = result;
        return s;
    }

    nimbara_status* status_;
    nimbara_connection* connection_;
};

}  // namespace nimbara::client

#endif  // NIMBARA_CLIENT_HPP
