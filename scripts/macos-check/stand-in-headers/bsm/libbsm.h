// SPDX-License-Identifier: Apache-2.0
/* Stand-in for the syntax check only (scripts/macos-check.sh); not the system's header.
   Declares exactly the audit-token accessors the tree calls, with Apple's documented
   signatures (libbsm.h, linked with -lbsm). */
#pragma once

#include <mach/message.h>
#include <sys/types.h>

#ifdef __cplusplus
extern "C" {
#endif

pid_t audit_token_to_pid(audit_token_t atoken);
uid_t audit_token_to_euid(audit_token_t atoken);
gid_t audit_token_to_egid(audit_token_t atoken);

#ifdef __cplusplus
}
#endif
