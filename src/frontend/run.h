// One run of the program, from the command line to standard output.
#pragma once

#include "directory/userdirectory.h"

#include <string>

// The attribute names asked for when the command line names none.
extern const char* const defaultproperties[];

// The program name from argv[0]: the text after its last backslash or, when
// it holds none, after its last forward slash.
std::string programname(const char* argv0);

// Runs the program against `directory` and returns its exit status.
int run(int argc, char** argv, userdirectory& directory);
