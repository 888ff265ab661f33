// SPDX-License-Identifier: Apache-2.0
// The C interface over HelperClient: C++ objects stay behind opaque pointers, and no exception
// crosses the boundary (a failed allocation becomes NIMBARA_OUT_OF_MEMORY).
#include <new>
#include <string>
#include <string_view>

#include "client/helper_client.h"
#include "nimbara/client.h"

struct nimbara_connection {
    nimbara::HelperClient client;
};

struct nimbara_status {
    nimbara_result result = NIMBARA_OK;
    std::string code;
    std::string error;
    std::string reason;
};

namespace {

using nimbara::ClientError;

// Puts an outcome in `status` (when there is one) and returns its result.
nimbara_result set(nimbara_status* status, nimbara_result result, std::string_view error = {},
                   std::string_view code = {}, std::string_view reason = {}) noexcept {
    if (!status) return result;
    try {
        status->result = result;
        status->code = code;
        status->error = error;
        status->reason = reason;
    } catch (const std::bad_alloc&) {
        *status = {NIMBARA_OUT_OF_MEMORY, {}, {}, {}};  // empty strings allocate nothing
        return NIMBARA_OUT_OF_MEMORY;
    }
    return result;
}

nimbara_result resultOf(ClientError::Kind kind) {
    switch (kind) {
        case ClientError::Kind::none:
            return NIMBARA_OK;
        case ClientError::Kind::noHelper:
            return NIMBARA_NO_HELPER;
        case ClientError::Kind::connectionLost:
            return NIMBARA_CONNECTION_LOST;
        case ClientError::Kind::malformedAnswer:
            return NIMBARA_MALFORMED_ANSWER;
    }
    return NIMBARA_MALFORMED_ANSWER;
}

struct ProgressTarget {
    nimbara_progress_fn fn;
    void* context;
};

// Sends one request on `connection` and puts its outcome in `status`.
nimbara_result run(nimbara_connection* connection, nimbara::HelperRequest request,
                   nimbara_status* status, const ProgressTarget* progress = nullptr) noexcept try {
    nimbara::HelperClient& client = connection->client;
    request.id = client.nextId();
    nimbara::CallWatch watch;
    if (progress) {
        request.progress = true;
        watch.progress = [progress](const nimbara::ProgressLine& line) {
            progress->fn(line.done, line.total, progress->context);
        };
    }
    auto answer = client.call(request, watch);
    if (!answer.value) return set(status, resultOf(answer.error.kind), answer.error.message);
    nimbara::HelperResponse& r = *answer.value;
    if (r.ok) return set(status, NIMBARA_OK);
    return set(status, NIMBARA_FAILED, r.error.value_or(""), r.code.value_or(""),
               r.reason.value_or(""));
} catch (const std::bad_alloc&) {
    return set(status, NIMBARA_OUT_OF_MEMORY);
}

// A request for `op`, or nothing (and NIMBARA_INVALID_ARGUMENT in `status`) when an argument
// is NULL.
bool valid(nimbara_status* status, const nimbara_connection* connection, const char* path) {
    if (connection && path) return true;
    set(status, NIMBARA_INVALID_ARGUMENT, "a connection and a path are needed");
    return false;
}

}  // namespace

extern "C" {

const char* nimbara_version(void) {
    return NIMBARA_VERSION;
}

nimbara_status* nimbara_status_new(void) {
    return new (std::nothrow) nimbara_status;
}

void nimbara_status_free(nimbara_status* status) {
    delete status;
}

nimbara_result nimbara_status_result(const nimbara_status* status) {
    return status ? status->result : NIMBARA_INVALID_ARGUMENT;
}

const char* nimbara_status_code(const nimbara_status* status) {
    return status ? status->code.c_str() : "";
}

const char* nimbara_status_error(const nimbara_status* status) {
    return status ? status->error.c_str() : "";
}

const char* nimbara_status_reason(const nimbara_status* status) {
    return status ? status->reason.c_str() : "";
}

nimbara_connection* nimbara_connect(const char* socket_path, nimbara_status* status) {
    try {
        auto connected =
            nimbara::HelperClient::connect(socket_path ? socket_path : nimbara::kHelperSocketPath);
        if (!connected.value) {
            set(status, resultOf(connected.error.kind), connected.error.message);
            return nullptr;
        }
        auto* connection = new nimbara_connection{std::move(*connected.value)};
        set(status, NIMBARA_OK);
        return connection;
    } catch (const std::bad_alloc&) {
        set(status, NIMBARA_OUT_OF_MEMORY);
        return nullptr;
    }
}

void nimbara_close(nimbara_connection* connection) {
    delete connection;
}

nimbara_result nimbara_ping(nimbara_connection* connection, nimbara_status* status) {
    if (!connection) return set(status, NIMBARA_INVALID_ARGUMENT, "a connection is needed");
    return run(connection, {{}, nimbara::kProtocolVersion, "ping", {}, {}, {}}, status);
}

nimbara_result nimbara_copy(nimbara_connection* connection, const char* source, const char* dest,
                            nimbara_progress_fn progress, void* context, nimbara_status* status) {
    if (!valid(status, connection, source) || !valid(status, connection, dest)) {
        return NIMBARA_INVALID_ARGUMENT;
    }
    ProgressTarget target{progress, context};
    return run(connection, {{}, nimbara::kProtocolVersion, "copy", source, dest, {}}, status,
               progress ? &target : nullptr);
}

nimbara_result nimbara_remove(nimbara_connection* connection, const char* path,
                              nimbara_status* status) {
    if (!valid(status, connection, path)) return NIMBARA_INVALID_ARGUMENT;
    return run(connection, {{}, nimbara::kProtocolVersion, "remove", {}, path, {}}, status);
}

nimbara_result nimbara_mkdir(nimbara_connection* connection, const char* path,
                             nimbara_status* status) {
    if (!valid(status, connection, path)) return NIMBARA_INVALID_ARGUMENT;
    return run(connection, {{}, nimbara::kProtocolVersion, "mkdir", {}, path, {}}, status);
}

}  // extern "C"
