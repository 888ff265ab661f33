// SPDX-License-Identifier: Apache-2.0
// Client side of the helper's protocol: connect to the helper's socket, send requests, read
// response lines. Failures are returned as values, never thrown. One HelperClient is one
// connection and is used by one thread at a time.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "base/unique_fd.h"
#include "protocol/messages.h"

namespace nimbara {

inline constexpr const char* kHelperSocketPath = "/var/run/com.corvellan.nimbara.helper.sock";

struct ClientError {
    enum class Kind { none, noHelper, connectionLost, malformedAnswer };
    Kind kind = Kind::none;
    std::string message;
};

template <class T>
struct ClientResult {
    std::optional<T> value;
    ClientError error;
};

// What a caller hears while it waits for an answer: the progress lines of its copy, and once,
// `waiting` when no line at all came within `waitingAfter` (its request waits behind another
// operation). Either may be empty.
struct CallWatch {
    std::function<void(const ProgressLine&)> progress;
    std::function<void()> waiting;
    std::chrono::milliseconds waitingAfter{1000};
};

class HelperClient {
  public:
    // Connects to the helper; noHelper when nothing listens at `socketPath`. A socket there that
    // refuses is tried again for a moment (a helper whose queue is full refuses on some systems).
    static ClientResult<HelperClient> connect(const std::string& socketPath = kHelperSocketPath);

    // Sends one line (a line feed is added); connectionLost when the write fails.
    ClientError sendLine(std::string_view line);
    // The next response line without its line feed; connectionLost at end of stream.
    ClientResult<std::string> readLine();
    // Sends one line and reads the answer line. A refusal written before the send failed is
    // still read and returned.
    ClientResult<std::string> exchange(std::string_view line);
    // Sends `request` and decodes the answer; malformedAnswer when it is not a response. Progress
    // lines of the request before it go to `watch` (a copy asks for them with `progress`).
    // `rawAnswer`, when given, receives the answer line as it came.
    ClientResult<HelperResponse> call(const HelperRequest& request, const CallWatch& watch = {},
                                      std::string* rawAnswer = nullptr);
    // A new request id, unique within this process.
    std::string nextId();

  private:
    // True when a line or an end of stream can be read within `wait`.
    bool readableWithin(std::chrono::milliseconds wait);

    explicit HelperClient(UniqueFd fd) : fd_(std::move(fd)) {}
    UniqueFd fd_;
    std::string buffered_;
    uint64_t counter_ = 0;
};

}  // namespace nimbara
