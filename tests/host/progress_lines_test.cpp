// SPDX-License-Identifier: Apache-2.0
// Progress lines never make the operation queue wait for a client that does not read, and what
// the client finally reads is whole lines, the last one finished before the answer.
#include "host/progress_lines.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <sstream>
#include <thread>

#include "base/unique_fd.h"
#include "protocol/messages.h"

namespace nimbara {
namespace {

TEST(ProgressLines, AClientThatDoesNotReadLosesLinesButNeverWholeOnes) {
    int pair[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, pair), 0);
    UniqueFd helperSide(pair[0]), clientSide(pair[1]);
    int small = 1;  // the system rounds it up to its least buffer
    ::setsockopt(helperSide.get(), SOL_SOCKET, SO_SNDBUF, &small, sizeof small);

    // The socket takes a short line whole or not at all: one longer than half its buffer it
    // takes in part.
    ProgressLines lines(helperSide.get(), std::string(6000, 'i'));
    // Far more than the buffer holds; a blocking write would hang the test here.
    for (uint64_t done = 0; done < 20000; ++done) lines.offer(done, 20000);
    // The client reads again; the line begun is finished for it.
    std::string got;
    std::thread reader([&] {
        char chunk[4096];
        for (ssize_t n; (n = ::read(clientSide.get(), chunk, sizeof chunk)) > 0;) {
            got.append(chunk, static_cast<size_t>(n));
        }
    });
    lines.finish();
    ::shutdown(helperSide.get(), SHUT_WR);
    reader.join();
    ASSERT_FALSE(got.empty());
    EXPECT_EQ(got.back(), '\n');
    std::istringstream in(got);
    size_t count = 0;
    uint64_t last = 0;
    for (std::string line; std::getline(in, line); ++count) {
        auto p = decodeProgress(line);
        ASSERT_TRUE(p) << line;
        EXPECT_TRUE(count == 0 || p->done > last) << line;
        last = p->done;
    }
    EXPECT_LT(count, 20000u);  // some were dropped, none torn
}

}  // namespace
}  // namespace nimbara
