// SPDX-License-Identifier: Apache-2.0
// The platform layer in a process the system restricts, each case in a child process: a filter
// that refuses openat2 (as service managers install them), a thread that may not take a uid.
#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <linux/capability.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <sys/fsuid.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstddef>
#include <system_error>

#include "platform/credentials.h"
#include "platform/path_walk.h"

namespace nimbara {
namespace {

[[noreturn]] void openBeneathUnderAFilter() {
    sock_filter filter[] = {
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, SYS_openat2, 0, 1),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | EPERM),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
    };
    sock_fprog program{4, filter};
    ::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0);
    if (::prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program) != 0) std::_Exit(2);
    int err = 0;
    UniqueFd root(::open("/", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    std::_Exit(openBeneath(root.get(), "usr/lib", kLookupFlags, err).valid() ? 0 : 3);
}

// Without CAP_SETUID the switch fails after the thread's groups were changed: they are put back,
// and the scope's copy of them (on the heap) is freed once.
[[noreturn]] void switchWithoutSetuid() {
    gid_t groups[] = {0, 1, 2, 3};
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct caps[2]{};
    ::syscall(SYS_capget, &header, caps);
    caps[0].effective &= ~(1u << CAP_SETUID);
    if (::setgroups(4, groups) != 0 || ::syscall(SYS_capset, &header, caps) != 0) std::_Exit(2);
    try {
        CallerIdentityScope as(Caller{1000, 1000, {}});
    } catch (const std::system_error&) {
        std::_Exit(::getgroups(0, nullptr) == 4 && ::setfsgid(~0u) == 0 ? 0 : 4);
    }
    std::_Exit(3);
}

TEST(RestrictedProcess, WalksWhenAFilterRefusesOpenat2AndRestoresAfterAFailedSwitch) {
    EXPECT_EXIT(openBeneathUnderAFilter(), ::testing::ExitedWithCode(0), "");
    EXPECT_EXIT(switchWithoutSetuid(), ::testing::ExitedWithCode(0), "");
}

}  // namespace
}  // namespace nimbara
