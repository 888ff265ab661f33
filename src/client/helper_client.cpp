// SPDX-License-Identifier: Apache-2.0
#include "client/helper_client.h"

#include <errno.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <thread>

#include "base/sys.h"
#include "platform/sockets.h"

namespace nimbara {
namespace {

constexpr int kConnectAttempts = 5;  // 0.5 s in all before a refusing helper counts as gone
constexpr auto kConnectPause = std::chrono::milliseconds(50);

}  // namespace

ClientResult<HelperClient> HelperClient::connect(const std::string& socketPath) {
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    if (socketPath.size() >= sizeof addr.sun_path) {
        return {std::nullopt, {ClientError::Kind::noHelper, "socket path too long"}};
    }
    std::memcpy(addr.sun_path, socketPath.data(), socketPath.size());
    for (int attempt = 1;; ++attempt) {
        UniqueFd fd(openLocalSocket());
        if (fd && ::connect(fd.get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0) {
            return {HelperClient(std::move(fd)), {}};
        }
        int err = errno;
        // Where a listener's queue is full, connecting is refused at once rather than made to
        // wait: while the socket file is there, the helper gets a few more chances.
        struct stat st;
        if (!fd || err != ECONNREFUSED || attempt == kConnectAttempts ||
            ::stat(socketPath.c_str(), &st) != 0 || !S_ISSOCK(st.st_mode)) {
            return {std::nullopt,
                    {ClientError::Kind::noHelper,
                     "cannot connect to " + socketPath + ": " + errnoText(err)}};
        }
        std::this_thread::sleep_for(kConnectPause * attempt);
    }
}

ClientError HelperClient::sendLine(std::string_view line) {
    std::string framed(line);
    framed += '\n';
    if (!writeAll(fd_.get(), framed)) {
        return {ClientError::Kind::connectionLost, "cannot send: " + errnoText(errno)};
    }
    return {};
}

ClientResult<std::string> HelperClient::readLine() {
    for (;;) {
        if (size_t lf = buffered_.find('\n'); lf != std::string::npos) {
            std::string line = buffered_.substr(0, lf);
            buffered_.erase(0, lf + 1);
            return {std::move(line), {}};
        }
        char chunk[4096];
        ssize_t n = readSome(fd_.get(), chunk, sizeof chunk);
        if (n <= 0) {
            std::string why = n == 0 ? "the helper closed the connection without an answer"
                                     : "cannot read: " + errnoText(errno);
            return {std::nullopt, {ClientError::Kind::connectionLost, why}};
        }
        buffered_.append(chunk, static_cast<size_t>(n));
    }
}

ClientResult<std::string> HelperClient::exchange(std::string_view line) {
    ClientError sent = sendLine(line);
    auto answer = readLine();
    if (!answer.value && sent.kind != ClientError::Kind::none) return {std::nullopt, sent};
    return answer;
}

ClientResult<HelperResponse> HelperClient::call(const HelperRequest& request,
                                                const CallWatch& watch, std::string* rawAnswer) {
    ClientError sent = sendLine(encodeRequest(request));
    if (watch.waiting && !readableWithin(watch.waitingAfter)) watch.waiting();
    for (;;) {
        auto line = readLine();
        if (!line.value) {
            return {std::nullopt, sent.kind != ClientError::Kind::none ? sent : line.error};
        }
        if (auto progress = decodeProgress(*line.value); progress && progress->id == request.id) {
            if (watch.progress) watch.progress(*progress);
            continue;
        }
        auto decoded = decodeResponse(*line.value);
        if (!decoded.value) {
            return {std::nullopt,
                    {ClientError::Kind::malformedAnswer, "malformed answer: " + decoded.error}};
        }
        if (rawAnswer) *rawAnswer = std::move(*line.value);
        return {std::move(decoded.value), {}};
    }
}

bool HelperClient::readableWithin(std::chrono::milliseconds wait) {
    if (buffered_.find('\n') != std::string::npos) return true;
    pollfd p{fd_.get(), POLLIN, 0};
    for (;;) {
        int n = ::poll(&p, 1, static_cast<int>(wait.count()));
        if (n < 0 && errno == EINTR) continue;  // the notice may come a little early
        return n != 0;
    }
}

std::string HelperClient::nextId() {
    return std::to_string(::getpid()) + "-" + std::to_string(++counter_);
}

}  // namespace nimbara
