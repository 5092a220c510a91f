// The query for the logged-on user's own directory object.
#pragma once

#include "directory/mydirectory.h"
#include "frontend/mystringlist.h"

#include <ostream>

// Finds the logged-on user, logs every attribute that the user's schema class
// declares, and appends the addresses found in the attributes named in
// `properties` to `results`. Raises myexception when the user can't be found
// or bound, after the directory runtime has been shut down.
void queryuser(mydirectory& directory, const mystringlist& properties, mystringlist& results);

// Renders one attribute value as text.
void writevalue(std::ostream& stream, const myvalue& value);
