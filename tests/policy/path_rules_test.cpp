// SPDX-License-Identifier: Apache-2.0
#include "policy/path_rules.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "policy/path_text.h"

namespace nimbara {
namespace {

const std::string kVst3 = "/Library/Audio/Plug-Ins/VST3";

struct RuleCase {
    std::string input;
    std::string expected;  // the canonical path, or the exact error description
    bool fails;
    bool source;  // validateSourcePath instead of validateDestPath
};
RuleCase ok(std::string in, std::string out, bool source = false) {
    return {std::move(in), std::move(out), false, source};
}
RuleCase bad(std::string in, std::string text, bool source = false) {
    return {std::move(in), std::move(text), true, source};
}
constexpr bool kSource = true;

class PathRulesTest : public ::testing::TestWithParam<RuleCase> {};

TEST_P(PathRulesTest, Verdict) {
    const RuleCase& c = GetParam();
    try {
        std::string got = c.source ? validateSourcePath(c.input) : validateDestPath(c.input);
        EXPECT_FALSE(c.fails) << "accepted as " << got;
        EXPECT_EQ(got, c.expected);
    } catch (const ValidationError& e) {
        EXPECT_TRUE(c.fails) << e.description();
        EXPECT_EQ(e.description(), c.expected);
    }
}

const std::string kAcute = "\u0301";

INSTANTIATE_TEST_SUITE_P(
    Table, PathRulesTest,
    ::testing::Values(
        bad("", "Path is not absolute: "), bad("rel\nx", "Path is not absolute: rel\nx"),
        bad("/" + kAcute + "Library", "Path is not absolute: /" + kAcute + "Library"),
        bad(kVst3 + "/a\tb", "Path contains control characters: " + kVst3 + "/a\tb"),
        bad(kVst3 + std::string("/a\0b", 4),
            "Path contains control characters: " + kVst3 + std::string("/a\0b", 4)),
        bad(kVst3 + "/a\x7f", "Path contains control characters: " + kVst3 + "/a\x7f"),
        ok(kVst3 + "/a\u0085b", kVst3 + "/a\u0085b"),
        bad(kVst3 + "/../x\n", "Path contains control characters: " + kVst3 + "/../x\n"),
        bad(kVst3 + "/Foo..vst3", "Path contains traversal: " + kVst3 + "/Foo..vst3"),
        bad(kVst3 + "/..", "Path contains traversal: " + kVst3 + "/.."),
        ok(kVst3 + "/sub/../Foo.vst3", kVst3 + "/Foo.vst3"),
        bad(kVst3 + "/../../../../etc/hosts", "Path outside allowed roots: /etc/hosts"),
        ok(kVst3 + "//Foo.vst3", kVst3 + "/Foo.vst3"),
        ok("/Library/Audio/Plug-Ins/./VST3/Foo.vst3", kVst3 + "/Foo.vst3"),
        ok(kVst3 + "/Foo.vst3/", kVst3 + "/Foo.vst3"), ok(kVst3 + "/.", kVst3 + "/."),
        ok(kVst3, kVst3), ok(kVst3 + "/", kVst3), ok("//Library///Audio/Plug-Ins/VST3", kVst3),
        bad("/Library/Audio/Plug-Ins/VST3x/Foo.vst3",
            "Path outside allowed roots: /Library/Audio/Plug-Ins/VST3x/Foo.vst3"),
        bad("/Library/Audio/Plug-Ins", "Path outside allowed roots: /Library/Audio/Plug-Ins"),
        bad("/", "Path outside allowed roots: /"),
        bad("/library/audio/plug-ins/vst3/Foo.vst3",
            "Path outside allowed roots: /library/audio/plug-ins/vst3/Foo.vst3"),
        bad(kVst3 + "/" + kAcute + "Foo",
            "Path outside allowed roots: " + kVst3 + "/" + kAcute + "Foo"),
        ok(kVst3 + "/e" + kAcute, kVst3 + "/e" + kAcute),
        ok("/Library/Audio/Plug-Ins/Components/Foo.component",
           "/Library/Audio/Plug-Ins/Components/Foo.component"),
        ok("/Library/Application Support/Avid/Audio/Plug-Ins/Foo.aaxplugin",
           "/Library/Application Support/Avid/Audio/Plug-Ins/Foo.aaxplugin"),
        ok("/Users/one/Downloads/Foo.vst3", "/Users/one/Downloads/Foo.vst3", kSource),
        ok("/Users/one/../two/Foo.vst3", "/Users/two/Foo.vst3", kSource),
        bad("/Users", "Source not under /Users/: /Users", kSource),
        bad("/Users/", "Source not under /Users/: /Users", kSource),
        bad("/Users/../etc/hosts", "Source not under /Users/: /etc/hosts", kSource),
        bad(kVst3 + "/Foo.vst3", "Source not under /Users/: " + kVst3 + "/Foo.vst3", kSource),
        bad("/Users/one/Foo..vst3", "Path contains traversal: /Users/one/Foo..vst3", kSource),
        bad("/Users/" + kAcute + "x", "Source not under /Users/: /Users/" + kAcute + "x", kSource),
        bad("relative", "Path is not absolute: relative", kSource)));

TEST(AllowedRoot, NamesTheRootAPathLiesIn) {
    EXPECT_EQ(allowedRootOf(kVst3 + "/a/b"), kVst3);
    EXPECT_EQ(allowedRootOf("/Library/Audio/Plug-Ins/Components"),
              "/Library/Audio/Plug-Ins/Components");
}

// The standardized parent agrees with GNU realpath -m -s over many generated paths.
TEST(Standardize, AgreesWithRealpath) {
    std::mt19937 rng(20261206);
    const std::vector<std::string> parts{"a", "b", ".", "..", "", "Foo.vst3", "x y", "...", ".a"};
    std::vector<std::string> paths;
    for (int i = 0; i < 2000; ++i) {
        std::string p;
        int n = 1 + static_cast<int>(rng() % 7);
        for (int k = 0; k < n; ++k) p += "/" + parts[rng() % parts.size()];
        if (rng() % 4 == 0) p += "/";
        paths.push_back(p);
    }
    std::string cmd = "realpath -m -s --";
    for (const auto& p : paths) cmd += " '" + p + "'";
    FILE* pipe = ::popen(cmd.c_str(), "r");
    ASSERT_NE(pipe, nullptr);
    char line[4096];
    for (const auto& p : paths) {
        ASSERT_NE(std::fgets(line, sizeof line, pipe), nullptr);
        std::string expected(line);
        expected.pop_back();
        EXPECT_EQ(standardizePath(p), expected) << "for " << p;
    }
    EXPECT_EQ(::pclose(pipe), 0);
}

}  // namespace
}  // namespace nimbara
