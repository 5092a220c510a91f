// Cutting e-mail addresses out of attribute values.
#pragma once

#include "directory/stringlist.h"

#include <cstddef>
#include <vector>

// When `name` is one of `properties` (exactly; once for each time it is
// listed), appends to `results` every address candidate around an '@' in
// `value` that `results` does not hold yet. A null value adds nothing.
//
// A candidate cut out of a longer word is left out: one that a letter or
// digit outside ASCII precedes or follows (characters of the narrow
// character set, multi-byte aware), one whose '@' is a double-byte
// character's trail byte, and one that holds or touches a character the
// conversion to narrow text substituted (positions in `substituted`,
// ascending). Each would print somebody else's address. Spaces and
// punctuation outside ASCII end an address as ASCII ones do.
void harvestaddresses(const stringlist& properties, const char* name, const char* value,
                      stringlist& results, const std::vector<std::size_t>& substituted = {});

bool islocalchar(unsigned char c);
bool isdomainchar(unsigned char c);
