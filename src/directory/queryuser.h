// The query for the logged-on user's own directory object.
#pragma once

#include "directory/stringlist.h"
#include "directory/userdirectory.h"

#include <ostream>

// Finds the logged-on user, logs every attribute that the user's schema class
// declares, and appends the addresses found in the attributes named in
// `properties` to `results`. Raises myexception when the user can't be found
// or bound, after everything opened has been closed and the directory
// runtime stopped; addresses harvested before a failure stay in `results`.
void queryuser(userdirectory& directory, const stringlist& properties, stringlist& results);

// Renders one attribute value as text.
void writevalue(std::ostream& stream, const attributevalue& value);
