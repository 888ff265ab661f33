// SPDX-License-Identifier: Apache-2.0
/* Stand-in for the syntax check only (scripts/macos-check.sh); not the system's header.
   Declares exactly the extended-attribute calls the tree makes, with Apple's documented
   signatures (listxattr(2), removexattr(2)). */
#pragma once

#include <sys/types.h>

#ifdef __cplusplus
extern "C" {
#endif

ssize_t flistxattr(int fd, char* namebuff, size_t size, int options);
int fremovexattr(int fd, const char* name, int options);

#ifdef __cplusplus
}
#endif
