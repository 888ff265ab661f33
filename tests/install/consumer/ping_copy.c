/* SPDX-License-Identifier: Apache-2.0 */
/* A program outside the tree, in C: pings the helper, copies SOURCE to DEST with progress, and
 * prints each outcome. Usage: ping_copy [SOCKET] SOURCE DEST */
#include <nimbara/client.h>
#include <stdio.h>

static void on_progress(uint64_t done, uint64_t total, void *context) {
    ++*(int *)context;
    printf("progress %llu/%llu\n", (unsigned long long)done, (unsigned long long)total);
}

static int show(const char *what, nimbara_result result, const nimbara_status *status) {
    printf("%s: result=%d code=%s error=%s reason=%s\n", what, (int)result,
           nimbara_status_code(status), nimbara_status_error(status),
           nimbara_status_reason(status));
    return result == NIMBARA_OK ? 0 : 1;
}

int main(int argc, char **argv) {
    if (argc < 3) return 64;
    const char *socket_path = argc > 3 ? argv[1] : NULL;
    nimbara_status *status = nimbara_status_new();
    nimbara_connection *connection = nimbara_connect(socket_path, status);
    printf("library %s\n", nimbara_version());
    if (!connection) return show("connect", nimbara_status_result(status), status) ? 69 : 0;
    int failed = show("ping", nimbara_ping(connection, status), status);
    int lines = 0;
    failed |= show("copy", nimbara_copy(connection, argv[argc - 2], argv[argc - 1], on_progress,
                                        &lines, status), status);
    printf("progress lines: %d\n", lines);
    show("copy again", nimbara_copy(connection, "/Users/nobody/none", argv[argc - 1], NULL, NULL,
                                    status), status);
    nimbara_close(connection);
    nimbara_status_free(status);
    return failed;
}
