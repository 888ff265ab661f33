// SPDX-License-Identifier: Apache-2.0
// The helper executable carries packaging/Info.plist, byte for byte, in its own section
// (.info_plist in ELF, __TEXT,__info_plist in Mach-O).
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>

namespace {

std::string slurp(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

TEST(InfoPlist, EmbeddedSectionEqualsTheSource) {
    const std::string out = std::string(NIMBARA_BUILD_DIR) + "/info_plist_test.out";
    const std::string cmd = "sh " NIMBARA_SOURCE_DIR
                            "/tests/helper/extract_info_plist.sh " NIMBARA_BUILD_DIR
                            "/helper/com.corvellan.nimbara.helper " +
                            out;
    ASSERT_EQ(std::system(cmd.c_str()), 0);
    std::string embedded = slurp(out);
    std::remove(out.c_str());
    std::string source = slurp(NIMBARA_SOURCE_DIR "/packaging/Info.plist");
    ASSERT_FALSE(source.empty());
    EXPECT_EQ(embedded, source);
    EXPECT_NE(source.find("<string>com.corvellan.nimbara.helper</string>"), std::string::npos);
}

}  // namespace
