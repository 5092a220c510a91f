// Cutting e-mail addresses out of attribute values.
#pragma once

#include "directory/stringlist.h"

// When `name` is one of `properties` (exactly; once for each time it is
// listed), appends to `results` every address candidate around an '@' in
// `value` that `results` does not hold yet. A null value adds nothing.
void harvestaddresses(const stringlist& properties, const char* name, const char* value,
                      stringlist& results);

bool islocalchar(unsigned char c);
bool isdomainchar(unsigned char c);
