// The command line: the option scan, the usage line and list splitting.
#pragma once

#include "directory/stringlist.h"

#include <string>

// What one run works with; the options change it in command-line order.
struct myrunstate {
    std::string programname;
    stringlist properties;
    std::string delimiter = ",";
    std::string stub; // non-empty: stub mode
};

// The address that `stub` prints when it has no value.
extern const char* const defaultstubaddress;

// Scans argv[1] onward into `state` and the log settings. A malformed command
// line raises myexception with the usage line as its message.
void scanoptions(int argc, char** argv, myrunstate& state);

// The usage line for `programname`.
std::string usagetext(const std::string& programname);

// Appends the pieces of `text` cut at every character of `separators`.
void splitlist(const std::string& text, const std::string& separators, stringlist& pieces);
