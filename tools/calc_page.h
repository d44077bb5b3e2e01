// The sample program's arithmetic: the page it answers a request with.
#pragma once
#include <string>

#include "link/request_text.h"

namespace korvane::tools {

// Shows the fields a and b, their sum and their product; fields that are
// missing or not numbers are shown as given and the results say why they
// are missing.
std::string CalcPage(const link::Fields& fields);

}  // namespace korvane::tools
