// SPDX-License-Identifier: Apache-2.0
// A program outside the tree, in C++17: pings the helper and copies SOURCE to DEST with
// progress. Usage: ping_copy_cxx SOURCE DEST
#include <iostream>
#include <nimbara/client.hpp>

int main(int argc, char** argv) {
    if (argc != 3) return 64;
    nimbara::client::Connection helper;
    if (!helper.connected()) {
        std::cout << "connect: " << helper.status().error << "\n";
        return 69;
    }
    auto ping = helper.ping();
    std::cout << "ping: " << (ping.ok() ? "ok" : ping.error) << "\n";
    int lines = 0;
    auto copy = helper.copy(argv[1], argv[2], [&](std::uint64_t done, std::uint64_t total) {
        ++lines;
        std::cout << "progress " << done << "/" << total << "\n";
    });
    std::cout << "copy: " << (copy.ok() ? "ok" : copy.error + " " + copy.reason) << "\n";
    std::cout << "progress lines: " << lines << "\n";
    return ping.ok() && copy.ok() ? 0 : 1;
}
