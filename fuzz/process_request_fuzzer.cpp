// SPDX-License-Identifier: Apache-2.0
// Every input line gets exactly one well-formed response. Run inside the sandbox: a decoded
// request may reach the real file operations under /Library.
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <set>
#include <string>

#include "host/socket_server.h"

namespace {

void check(bool ok) {
    if (!ok) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static auto server = std::make_shared<nimbara::SocketServer>("/nonexistent/fuzz.sock");
    static const std::set<std::string> codes{"SIGNATURE_INVALID", "VERSION_MISMATCH", "UNKNOWN_OP",
                                             "VALIDATION_FAILED", "OP_FAILED"};
    std::string_view line(reinterpret_cast<const char*>(data), size);
    if (line.find('\n') != std::string_view::npos) return 0;  // framing never passes one

    nimbara::HelperResponse r = server->processRequest(line, nimbara::Caller{1000, 1000, {}});
    std::string encoded = nimbara::encodeResponse(r);
    check(encoded.find('\n') == std::string::npos);
    check(r.ok == !r.error.has_value());
    check(r.ok == !r.code.has_value());
    check(r.ok || codes.count(*r.code) == 1);
    // The answers clients always had, with "reason" the one key added, and only to an operation
    // that failed.
    nimbara::HelperResponse old = r;
    old.reason.reset();
    std::string oldEncoded = nimbara::encodeResponse(old);
    check(r.reason ? r.code == "OP_FAILED" && r.id == old.id && !r.reason->empty() &&
                         encoded.starts_with(oldEncoded.substr(0, oldEncoded.size() - 1) +
                                             ",\"reason\":\"") &&
                         encoded.ends_with("\"}")
                   : encoded == oldEncoded);
    check(!r.reason || r.error->starts_with("The operation couldn\u2019t be completed. (") ||
          r.error->starts_with("Too many operations waiting"));
    // Clients can read it back; texts quoting invalid UTF-8 are repaired on the way out.
    auto back = nimbara::decodeResponse(encoded);
    check(back.value.has_value() && back.value->ok == r.ok && back.value->code == r.code &&
          back.value->reason.has_value() == r.reason.has_value());
    // Where the plain ping answer applies, it is exactly the general answer.
    std::string plain;
    check(!nimbara::appendPlainPingAnswer(plain, line) || plain == encoded + "\n");
    return 0;
}
