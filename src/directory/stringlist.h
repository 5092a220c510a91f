// An ordered list of narrow strings that keeps duplicates and empty strings:
// the requested attribute names and the harvested addresses.
#pragma once

#include <string>
#include <vector>

using stringlist = std::vector<std::string>;
