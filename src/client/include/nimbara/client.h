/* SPDX-License-Identifier: Apache-2.0 */
/* The helper's client library, C interface. A connection talks to the privileged helper over its
 * socket; each call sends one request and waits for its answer. A connection is used by one
 * thread at a time; different connections may be used from different threads. A status, when
 * given, receives the outcome of a call: the result, the answer's code and error text, and for a
 * failed operation its reason. Strings a status hands out stay valid until its next use.
 * Nothing here throws, aborts or writes to standard output or error. */
#ifndef NIMBARA_CLIENT_H
#define NIMBARA_CLIENT_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#if defined(__GNUC__)
#define NIMBARA_API __attribute__((visibility("default")))
#else
#define NIMBARA_API
#endif

typedef enum nimbara_result {
    NIMBARA_OK = 0,               /* the helper carried the request out */
    NIMBARA_FAILED = 1,           /* the helper answered with an error: see code, error, reason */
    NIMBARA_NO_HELPER = 2,        /* nothing listens at the socket */
    NIMBARA_CONNECTION_LOST = 3,  /* the connection broke before the answer came */
    NIMBARA_MALFORMED_ANSWER = 4, /* the helper's answer could not be read */
    NIMBARA_INVALID_ARGUMENT = 5, /* a NULL connection or path */
    NIMBARA_OUT_OF_MEMORY = 6
} nimbara_result;

typedef struct nimbara_connection nimbara_connection;
typedef struct nimbara_status nimbara_status;

/* Called during a copy that asked for progress: bytes copied so far and bytes in all. */
typedef void (*nimbara_progress_fn)(uint64_t done, uint64_t total, void* context);

/* The library's version, "MAJOR.MINOR.PATCH". */
NIMBARA_API const char* nimbara_version(void);

/* A new, empty status (result NIMBARA_OK); NULL when out of memory. Free with
 * nimbara_status_free. */
NIMBARA_API nimbara_status* nimbara_status_new(void);
NIMBARA_API void nimbara_status_free(nimbara_status* status);
NIMBARA_API nimbara_result nimbara_status_result(const nimbara_status* status);
/* The answer's code ("OP_FAILED", "SIGNATURE_INVALID", ...); "" when there was none. */
NIMBARA_API const char* nimbara_status_code(const nimbara_status* status);
/* The answer's error text, or what went wrong on the way; "" on success. */
NIMBARA_API const char* nimbara_status_error(const nimbara_status* status);
/* Why a file operation failed, as the helper logs it ("Copy failed: Cannot read
 * /Users/ann/x.vst3: Permission denied"); "" when the answer carries none. */
NIMBARA_API const char* nimbara_status_reason(const nimbara_status* status);

/* Connects to the helper at `socket_path` (NULL: the helper's own socket). Returns the
 * connection, or NULL with the cause in `status`. The socket is close-on-exec: the helper serves
 * only the process that checked in. */
NIMBARA_API nimbara_connection* nimbara_connect(const char* socket_path, nimbara_status* status);
/* Closes the connection and frees it; NULL is ignored. */
NIMBARA_API void nimbara_close(nimbara_connection* connection);

NIMBARA_API nimbara_result nimbara_ping(nimbara_connection* connection, nimbara_status* status);
/* Copies `source` (below /Users/) to `dest` in a plug-in folder. With `progress`, the helper
 * reports how far it has come, and `progress` is called on this thread with `context`. */
NIMBARA_API nimbara_result nimbara_copy(nimbara_connection* connection, const char* source,
                                        const char* dest, nimbara_progress_fn progress,
                                        void* context, nimbara_status* status);
NIMBARA_API nimbara_result nimbara_remove(nimbara_connection* connection, const char* path,
                                          nimbara_status* status);
NIMBARA_API nimbara_result nimbara_mkdir(nimbara_connection* connection, const char* path,
                                         nimbara_status* status);

#ifdef __cplusplus
}
#endif

#endif /* NIMBARA_CLIENT_H */
