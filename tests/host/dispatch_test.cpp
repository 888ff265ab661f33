// SPDX-License-Identifier: Apache-2.0
// Dispatch answers that need no file system: decoding, version, unknown operations, and the
// handlers' presence checks and path refusals (which answer before any operation is queued).
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <memory>
#include <new>

#include "host/socket_server.h"

namespace nimbara {
namespace {

struct DispatchCase {
    std::string line;
    HelperResponse expected;
};

class DispatchTest : public ::testing::TestWithParam<DispatchCase> {
  protected:
    std::shared_ptr<SocketServer> server = std::make_shared<SocketServer>("/nonexistent/sock");
};

TEST_P(DispatchTest, Answers) {
    EXPECT_EQ(server->processRequest(GetParam().line, Caller{}), GetParam().expected);
}

HelperResponse fail(std::string id, std::string error, const char* code) {
    return HelperResponse::failure(std::move(id), std::move(error), code);
}

INSTANTIATE_TEST_SUITE_P(
    Table, DispatchTest,
    ::testing::Values(
        DispatchCase{R"({"id":"p","v":1,"op":"ping","dest":"relative","path":7.5e3})",
                     fail("unknown",
                          "Malformed request: key \"path\" must be a string, not a "
                          "fractional or out-of-range number",
                          codes::kOpFailed)},
        DispatchCase{R"({"id":"p","v":1,"op":"ping","dest":"relative"})", {"p", true, 1, {}, {}}},
        DispatchCase{R"({"id":"p","v":2,"op":"ping"})",
                     fail("p", "Unsupported protocol version 2", codes::kVersionMismatch)},
        DispatchCase{R"({"id":"p","v":0,"op":"nope"})",
                     fail("p", "Unsupported protocol version 0", codes::kVersionMismatch)},
        DispatchCase{R"({"id":"p","v":1,"op":"COPY"})",
                     fail("p", "Unknown operation: COPY", codes::kUnknownOp)},
        DispatchCase{R"({"id":"p","v":1,"op":""})",
                     fail("p", "Unknown operation: ", codes::kUnknownOp)},
        DispatchCase{R"({"id":"c","v":1,"op":"copy","source":"/Users/a/x.vst3","dest":null})",
                     fail("c", "copy requires source and dest", codes::kValidationFailed)},
        DispatchCase{R"({"id":"c","v":1,"op":"copy","dest":"/Library/Audio/Plug-Ins/VST3/x"})",
                     fail("c", "copy requires source and dest", codes::kValidationFailed)},
        DispatchCase{R"({"id":"c","v":1,"op":"copy","source":"/etc/x","dest":"/tmp/y"})",
                     fail("c", "Source not under /Users/: /etc/x", codes::kValidationFailed)},
        DispatchCase{R"({"id":"c","v":1,"op":"copy","source":"/Users/a/x","dest":"/tmp/y"})",
                     fail("c", "Path outside allowed roots: /tmp/y", codes::kValidationFailed)},
        DispatchCase{R"({"id":"r","v":1,"op":"remove"})",
                     fail("r", "remove requires path", codes::kValidationFailed)},
        DispatchCase{R"({"id":"m","v":1,"op":"mkdir","dest":null,"path":null})",
                     fail("m", "mkdir requires path", codes::kValidationFailed)},
        DispatchCase{R"({"id":"m","v":1,"op":"mkdir","path":""})",
                     fail("m", "Path is not absolute: ", codes::kValidationFailed)},
        DispatchCase{
            R"({"id":"r","v":1,"op":"remove","dest":"/etc","path":"/Library/Audio/Plug-Ins/VST3/x"})",
            fail("r", "Path outside allowed roots: /etc", codes::kValidationFailed)}));

// Any exception from an operation fails that operation alone; the queue serves the next one.
TEST(DispatchFault, UnexpectedExceptionInAnOperationAnswersOpFailed) {
    auto server = std::make_shared<SocketServer>("/nonexistent/sock");
    SocketServer::faultForTests = [](const char*) { throw std::bad_alloc(); };
    for (int i = 0; i < 2; ++i) {
        ::testing::internal::CaptureStdout();
        HelperResponse got = server->processRequest(
            R"({"id":"m","v":1,"op":"mkdir","path":"/Library/Audio/Plug-Ins/VST3/x"})", Caller{});
        std::string out = ::testing::internal::GetCapturedStdout();
        // The answer's reason is the log line's message; the error text stays the fixed one.
        HelperResponse want =
            fail("m", "The operation couldn\u2019t be completed. (Helper.OperationError error 2.)",
                 codes::kOpFailed);
        want.reason = "Mkdir failed: unexpected error: std::bad_alloc";
        EXPECT_EQ(got, want);
        EXPECT_THAT(
            out, ::testing::HasSubstr(
                     "] [helper] mkdir failed: Mkdir failed: unexpected error: std::bad_alloc\n"));
    }
    SocketServer::faultForTests = nullptr;
}

}  // namespace
}  // namespace nimbara
