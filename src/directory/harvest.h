// Cutting e-mail addresses out of attribute values.
#pragma once

#include "directory/stringlist.h"

#include <cstddef>
#include <vector>

// When `name` is one of `properties` (exactly; once for each time it is
// listed), appends to `results` every address candidate around an '@' in
// `value` that `results` does not hold yet. A null value adds nothing.
//
// A candidate cut out of a longer word is left out: one that a byte of 0x80
// or above precedes or follows, and one that holds or touches a character
// the conversion to narrow text substituted (positions in `substituted`,
// ascending). Either would print somebody else's address.
void harvestaddresses(const stringlist& properties, const char* name, const char* value,
                      stringlist& results, const std::vector<std::size_t>& substituted = {});

bool islocalchar(unsigned char c);
bool isdomainchar(unsigned char c);
