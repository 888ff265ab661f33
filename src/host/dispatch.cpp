// SPDX-License-Identifier: Apache-2.0
// Request dispatch and the three operation handlers: presence checks and path rules on the
// connection's thread, the file operation itself on the serial operation queue.
#include <functional>
#include <optional>
#include <string>

#include "host/operation_log.h"
#include "host/socket_server.h"
#include "operations/bundle_ops.h"
#include "operations/progress_watch.h"
#include "policy/path_rules.h"

namespace nimbara {
namespace {

constexpr const char* kCopyRequires = "copy requires source and dest";
constexpr const char* kRemoveRequires = "remove requires path";
constexpr const char* kMkdirRequires = "mkdir requires path";

// The fixed text a failed operation answers with; the details go to the log only.
std::string operationFailedText(const OperationError& e) {
    return "The operation couldn\u2019t be completed. (" + std::string(OperationError::kDomain) +
           " error " + std::to_string(e.code()) + ".)";
}

OperationError::Kind kindOf(std::string_view op) {
    if (op == "copy") return OperationError::Kind::copyFailed;
    if (op == "remove") return OperationError::Kind::removeFailed;
    return OperationError::Kind::mkdirFailed;
}

// A user's operations beyond what may wait are refused before they wait.
std::string tooManyWaitingText() {
    return "Too many operations waiting: at most " + std::to_string(kMaxOperationsPerUser) +
           " per user";
}

AnchoredPath destination(const std::string& canonical) {
    return {std::string(allowedRootOf(canonical)), canonical};
}

}  // namespace

HelperResponse SocketServer::processRequest(std::string_view line, const Caller& caller,
                                            const ReplyChannel* channel) {
    Decoded<HelperRequest> decoded = decodeRequest(line);
    if (!decoded.value) {
        return HelperResponse::failure("unknown", "Malformed request: " + decoded.error,
                                       codes::kOpFailed);
    }
    const HelperRequest& request = *decoded.value;
    if (request.v != kProtocolVersion) {
        return HelperResponse::failure(request.id,
                                       "Unsupported protocol version " + std::to_string(request.v),
                                       codes::kVersionMismatch);
    }
    if (request.op == "ping") return {request.id, true, kProtocolVersion, {}, {}, {}};
    if (request.op == "copy") return handleCopy(request, caller, channel);
    if (request.op == "remove") return handleRemove(request, caller);
    if (request.op == "mkdir") return handleMkdir(request, caller);
    return HelperResponse::failure(request.id, "Unknown operation: " + request.op,
                                   codes::kUnknownOp);
}

HelperResponse SocketServer::handleCopy(const HelperRequest& request, const Caller& caller,
                                        const ReplyChannel* channel) {
    if (!request.source || !request.dest) {
        return HelperResponse::failure(request.id, kCopyRequires, codes::kValidationFailed);
    }
    std::string source;
    std::string dest;
    try {
        source = validateSourcePath(*request.source);
        dest = validateDestPath(*request.dest);
    } catch (const ValidationError& e) {
        return HelperResponse::failure(request.id, e.description(), codes::kValidationFailed);
    }
    std::string warning;
    std::string subject = shortenMiddle(source, kMaxLoggedPathBytes) + " -> " +
                          shortenMiddle(dest, kMaxLoggedPathBytes);
    // Answers to earlier lines go first; then the progress lines, then this answer.
    std::optional<ProgressLines> lines;
    if (request.progress && channel) {
        channel->flushHeld();
        lines.emplace(channel->fd, request.id);
    }
    HelperResponse response = runOperation(request.id, "copy", subject, caller.uid, [&] {
        ProgressReport report(lines ? ProgressListener([&](uint64_t done, uint64_t total) {
            lines->offer(done, total);
        })
                                    : ProgressListener());
        warning =
            copyBundle(caller, {std::string(kUsersRoot), source}, destination(dest), journal_);
    });
    if (lines) lines->finish();
    if (!warning.empty()) logOperation(caller.uid, shortenMiddle(warning, kMaxLoggedErrorBytes));
    return response;
}

HelperResponse SocketServer::handleRemove(const HelperRequest& request, const Caller& caller) {
    return handleTargetOperation(
        request, caller, "remove", kRemoveRequires,
        [&](const std::string& path) { removeBundle(caller, destination(path), &journal_); });
}

HelperResponse SocketServer::handleMkdir(const HelperRequest& request, const Caller& caller) {
    return handleTargetOperation(
        request, caller, "mkdir", kMkdirRequires,
        [&](const std::string& path) { mkdirp(caller, destination(path)); });
}

HelperResponse SocketServer::handleTargetOperation(
    const HelperRequest& request, const Caller& caller, const char* op, const char* requiresText,
    const std::function<void(const std::string&)>& action) {
    const auto& target = request.dest ? request.dest : request.path;
    if (!target) return HelperResponse::failure(request.id, requiresText, codes::kValidationFailed);
    std::string path;
    try {
        path = validateDestPath(*target);
    } catch (const ValidationError& e) {
        return HelperResponse::failure(request.id, e.description(), codes::kValidationFailed);
    }
    return runOperation(request.id, op, shortenMiddle(path, kMaxLoggedPathBytes), caller.uid,
                        [&] { action(path); });
}

HelperResponse SocketServer::runOperation(const std::string& id, const char* op,
                                          const std::string& subject, uid_t uid,
                                          const std::function<void()>& action) {
    // The operation's own message goes to the log and, as the reason, to the client.
    auto failed = [&](const OperationError& e, std::string error) {
        std::string reason = shortenMiddle(e.description(), kMaxLoggedErrorBytes);
        logOperation(uid, std::string(op) + " failed: " + reason);
        HelperResponse response = HelperResponse::failure(id, std::move(error), codes::kOpFailed);
        response.reason = std::move(reason);
        return response;
    };
    // Waits here, on the connection's thread, until it is this user's turn.
    OperationTurn turn(turns_, uid);
    if (!turn.held()) {
        OperationError refusal(kindOf(op), tooManyWaitingText());
        return failed(refusal, refusal.message());
    }
    std::optional<HelperResponse> slot;
    operationQueue_.sync([&] {
        try {
            beginProgressWatch();
            if (auto fault = faultForTests.load()) fault("operation");
            action();
        } catch (const OperationError& e) {
            slot = failed(e, operationFailedText(e));
            return;
        } catch (const std::exception& e) {
            // Out of memory and the like: this operation failed, the queue serves the next one.
            OperationError failure(kindOf(op), std::string("unexpected error: ") + e.what());
            slot = failed(failure, operationFailedText(failure));
            return;
        }
        slot = HelperResponse::success(id);
        logOperation(uid, std::string(op) + ": " + subject);
    });
    return *slot;
}

void SocketServer::logOperation(uid_t uid, std::string_view message) {
    operationLines_.log(uid, message, [](std::string_view line) { log(line); });
}

}  // namespace nimbara
