// SPDX-License-Identifier: Apache-2.0
// The requirement language: forms it accepts and forms it refuses.
#include "platform/code_requirement.h"

#include <gtest/gtest.h>

namespace nimbara {
namespace {

TEST(CodeRequirement, AcceptedAndRefusedForms) {
    for (const char* text :
         {"identifier com.x", "identifier = \"a b\"", "identifier==a-b_c.d", "anchor apple generic",
          "cert leaf[\"subject.CN\"] == \"x\"", "certificate leaf [ subject.CN ] = plain",
          "identifier \"say \\\"hi\\\"\" and anchor apple generic"}) {
        EXPECT_TRUE(compileRequirement(text)) << text;
    }
    EXPECT_EQ(compileRequirement("identifier \"say \\\"hi\\\"\"")->clauses[0].value, "say \"hi\"");
    for (const char* text :
         {"", "identifier", "identifier \"a\" or anchor apple generic", "!identifier a",
          "(identifier a)", "anchor apple", "anchor trusted", "anchor apple generic and",
          "certificate root[subject.CN] = x", "certificate leaf[subject.O] = x",
          "certificate leaf[subject.CN] x", "IDENTIFIER a", "identifier and",
          "identifier \"unterminated", "identifier \"a\\x\"", "identifier a b",
          "identifier \"a\" and and anchor apple generic", "identifier a*", "info [x] = y"}) {
        EXPECT_FALSE(compileRequirement(text)) << text;
    }
}

}  // namespace
}  // namespace nimbara
