// SPDX-License-Identifier: Apache-2.0
#include "protocol/messages.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <tuple>

namespace nimbara {
namespace {

using ::testing::HasSubstr;

struct DecodeCase {
    std::string line;
    std::string errorPart;  // empty: decodes
};

class RequestDecodeTest : public ::testing::TestWithParam<DecodeCase> {};

TEST_P(RequestDecodeTest, AllOrNothing) {
    const auto& c = GetParam();
    auto d = decodeRequest(c.line);
    if (c.errorPart.empty()) {
        EXPECT_TRUE(d.value.has_value()) << d.error;
    } else {
        EXPECT_FALSE(d.value.has_value());
        EXPECT_THAT(d.error, HasSubstr(c.errorPart));
        EXPECT_THAT(d.error, ::testing::Not(HasSubstr("json.exception")));
    }
}

std::string nested(int depth) {
    return R"({"id":"a","v":1,"op":"ping","x":)" + std::string(depth, '[') +
           std::string(depth, ']') + "}";
}

INSTANTIATE_TEST_SUITE_P(
    Rules, RequestDecodeTest,
    ::testing::Values(
        DecodeCase{R"({"id":"a","v":1,"op":"ping"})", ""},
        DecodeCase{R"({"id":"a","v":1,"op":"ping","source":null,"extra":[1,{"k":2}]})", ""},
        DecodeCase{"{\"id\":\"a\",\"v\":1,\"op\":\"ping\"}\r", ""},
        DecodeCase{R"({"v":-9223372036854775808,"id":"a","op":"x"})", ""},
        DecodeCase{R"({"id":"a","v":9223372036854775807,"op":"x"})", ""},
        DecodeCase{"not json", "invalid JSON"},
        DecodeCase{R"({"id":"a","v":1,"op":"ping"} trailing)", "invalid JSON"},
        DecodeCase{"[1,2]", "must be a JSON object, not an array"},
        DecodeCase{"\"s\"", "must be a JSON object, not a string"},
        DecodeCase{"null", "must be a JSON object, not null"},
        DecodeCase{R"({"id":"a","op":"ping"})", "missing key \"v\""},
        DecodeCase{R"({"v":1,"op":"ping"})", "missing key \"id\""},
        DecodeCase{R"({"id":"a","v":1})", "missing key \"op\""},
        DecodeCase{R"({"ID":"a","v":1,"op":"ping"})", "missing key \"id\""},
        DecodeCase{R"({"id":null,"v":1,"op":"ping"})", "key \"id\" must be a string, not null"},
        DecodeCase{R"({"id":"a","v":"1","op":"ping"})", "key \"v\" must be an integer"},
        DecodeCase{R"({"id":"a","v":1.0,"op":"ping"})", "key \"v\" must be an integer"},
        DecodeCase{R"({"id":"a","v":9223372036854775808,"op":"ping"})", "out of the signed 64-bit"},
        DecodeCase{R"({"id":"a","v":[1],"op":"ping"})", "not an array"},
        DecodeCase{R"({"id":"a","v":1,"op":"remove","path":5})", "key \"path\" must be a string"},
        DecodeCase{R"({"id":"a","v":1,"op":"copy","dest":"/a","dest":"/b"})", "appears twice"},
        DecodeCase{R"({"id":"a","v":1,"op":"ping","x":{"k":1,"k":2}})", "appears twice"},
        DecodeCase{"{\"id\":\"\xff\",\"v\":1,\"op\":\"ping\"}", "invalid JSON"},
        DecodeCase{std::string("{\"id\":\"a\",\"v\":1,\"op\":\"ping\"}\0 x", 31),
                   "contains a NUL byte"},
        DecodeCase{std::string("{\"id\":\"a\0\",\"v\":1,\"op\":\"ping\"}", 29),
                   "contains a NUL byte"},
        DecodeCase{"\xEF\xBB\xBF{\"id\":\"a\",\"v\":1,\"op\":\"ping\"}",
                   "starts with a byte order mark"},
        DecodeCase{nested(63), ""}, DecodeCase{nested(64), "nested more than 64"},
        DecodeCase{"{\"x\":" + std::string(100000, '['), "nested more than 64"}));

// Plain answers are compared byte for byte against the real helper; here, what needs escaping,
// and what the client accepts.
TEST(Response, EncodedAndDecoded) {
    EXPECT_EQ(encodeResponse(HelperResponse::failure("c", "bad\nline \"q\"", codes::kOpFailed)),
              R"({"id":"c","ok":false,"error":"bad\nline \"q\"","code":"OP_FAILED"})");
    EXPECT_EQ(encodeResponse(HelperResponse::failure("\x01", "\u00e9", codes::kUnknownOp)),
              "{\"id\":\"\\u0001\",\"ok\":false,\"error\":\"\u00e9\",\"code\":\"UNKNOWN_OP\"}");

    EXPECT_EQ(decodeResponse(R"({"id":"a","ok":true,"v":1})").value,
              (HelperResponse{"a", true, 1, {}, {}}));
    EXPECT_EQ(decodeResponse(R"({"id":"a","ok":false,"error":"e","code":"OP_FAILED","x":1})").value,
              (HelperResponse{"a", false, {}, "e", "OP_FAILED"}));
    HelperResponse failed = HelperResponse::failure("c", "x", codes::kOpFailed);
    failed.reason = "Copy failed: y";
    EXPECT_EQ(encodeResponse(failed),
              R"({"id":"c","ok":false,"error":"x","code":"OP_FAILED","reason":"Copy failed: y"})");
    EXPECT_EQ(decodeResponse(encodeResponse(failed)).value, failed);
    EXPECT_THAT(decodeResponse(R"({"id":"a"})").error, HasSubstr("missing key \"ok\""));
    EXPECT_THAT(decodeResponse(R"({"id":"a","ok":1})").error, HasSubstr("true or false"));
    EXPECT_THAT(decodeResponse(R"({"id":"a","ok":true,"v":"1"})").error, HasSubstr("\"v\""));
}

TEST(RequestEncode, ExactBytesAndRoundTrip) {
    HelperRequest r{"i", 1, "copy", "/Users/a", "/Library/x", std::nullopt};
    EXPECT_EQ(encodeRequest(r),
              R"({"id":"i","v":1,"op":"copy","source":"/Users/a","dest":"/Library/x"})");
    r.progress = true;
    EXPECT_EQ(decodeRequest(encodeRequest(r)).value->progress, true);
    EXPECT_THAT(decodeRequest(R"({"id":"i","v":1,"op":"copy","progress":1})").error,
                HasSubstr("\"progress\" must be true or false"));
    r.progress = false;
    // Keys in any order, a null optional absent, other keys and other cases ignored.
    auto back = decodeRequest(
        R"({"dest":"/Library/x","op":"copy","v":1,"id":"i","path":null,"source":"/Users/a","Dest":"/y"})");
    ASSERT_TRUE(back.value);
    const HelperRequest& got = *back.value;
    EXPECT_EQ(std::tie(got.id, got.v, got.op, got.source, got.dest, got.path),
              std::tie(r.id, r.v, r.op, r.source, r.dest, r.path));
}

// Progress lines are told from answers by their shape; anything else is not one.
TEST(Progress, EncodedAndTold) {
    EXPECT_EQ(encodeProgress({"c\"", 5, 9}), R"({"id":"c\"","progress":{"done":5,"total":9}})");
    auto back = decodeProgress(encodeProgress({"c", UINT64_MAX, 9}));
    ASSERT_TRUE(back);
    EXPECT_EQ(std::tie(back->id, back->done, back->total),
              std::make_tuple(std::string("c"), UINT64_MAX, uint64_t{9}));
    for (std::string_view line :
         {R"({"id":"a","ok":true})", R"({"id":"a","progress":{"done":-1,"total":2}})",
          R"({"id":"a","progress":{"done":1}})", R"({"id":"a","progress":1})",
          R"({"id":1,"progress":{"done":1,"total":2}})", R"({"id":"a","progress":{"done":1,)"}) {
        EXPECT_FALSE(decodeProgress(line)) << line;
    }
}

TEST(PlainPing, AnswersTheClientsOwnFormOnly) {
    std::string out = "x", want = "x";
    want += encodeResponse({"p 1", true, 1, {}, {}});
    want += '\n';
    ASSERT_TRUE(appendPlainPingAnswer(out, encodeRequest({"p 1", 1, "ping", {}, {}, {}})));
    EXPECT_EQ(out, want);
    for (std::string_view line :
         {R"({"id":"a\"","v":1,"op":"ping"})", "{\"id\":\"\xC3\xA9\",\"v\":1,\"op\":\"ping\"}",
          "{\"id\":\"\x7F\",\"v\":1,\"op\":\"ping\"}", R"({"id":"a","v":2,"op":"ping"})",
          R"({"id":"a","v":1,"op":"ping"} )", R"({"id":"a","op":"ping","v":1})",
          R"({"id":"a","v":1,"op":"ping",})", R"({"id":"a","v":1,"op":"pinG"})",
          // near misses: control bytes and escapes in the id, bytes before or after the object
          "{\"id\":\"\x1F\",\"v\":1,\"op\":\"ping\"}", "{\"id\":\"a\tb\",\"v\":1,\"op\":\"ping\"}",
          R"({"id":"\u0041","v":1,"op":"ping"})", R"(x{"id":"a","v":1,"op":"ping"})",
          R"({"id":","v":1,"op":"ping"})", R"({"id":"a","v":1,"op":"ping"}})"}) {
        EXPECT_FALSE(appendPlainPingAnswer(out, line)) << line;
    }
    EXPECT_EQ(out, want);  // untouched by the lines it does not answer
}

}  // namespace
}  // namespace nimbara
