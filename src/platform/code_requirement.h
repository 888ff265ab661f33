// SPDX-License-Identifier: Apache-2.0
// The code-requirement language the signature check understands: clauses joined by "and", each
// an identifier, "anchor apple generic", or the leaf certificate's subject CN. Anything else
// does not compile. Pure; any thread.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace nimbara {

struct RequirementClause {
    enum class Kind { identifier, anchorAppleGeneric, leafSubjectCN };
    Kind kind;
    std::string value;  // empty for anchorAppleGeneric
};

struct CodeRequirement {
    std::vector<RequirementClause> clauses;
};

// The compiled requirement, or nothing when the text is not in the language.
std::optional<CodeRequirement> compileRequirement(std::string_view text);

}  // namespace nimbara
