// Small text routines every layer uses. Texts are byte strings; case
// changes are those of the C locale (ASCII letters only).
#pragma once
#include <string>
#include <string_view>

namespace korvane {

// A whole number as decimal text: the form slot numbers, sizes and counts
// take in log lines and replies.
std::string Num(long long value);

std::string Lower(std::string text);
std::string Upper(std::string text);

bool StartsWith(std::string_view text, std::string_view head);

}  // namespace korvane
