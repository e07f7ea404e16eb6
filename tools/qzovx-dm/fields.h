// KEY=VALUE pairs, the one shape shared by agent messages, policy matches
// and decision answers.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace qzdm {

struct Field {
    std::string key;
    std::string value;
};

using Fields = std::vector<Field>;

// Leading and trailing blanks (space, TAB) removed.
std::string_view trim_blanks(std::string_view text);

}  // namespace qzdm
