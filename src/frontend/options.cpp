#include "frontend/options.h"

#include "directory/myexception.h"
#include "log/mylog.h"

#include <cstdlib>
#include <cstring>

const char* const defaultstubaddress = "user@example.com";

namespace {

enum class option { verbose, properties, log, delimiter, stub };

struct optionname {
    const char* name;
    option selects;
};

// Compared in this order; the first equal name wins.
const optionname optionnames[] = {
    {"verbose", option::verbose},      {"v", option::verbose}, {"properties", option::properties},
    {"p", option::properties},         {"log", option::log},   {"l", option::log},
    {"d", option::delimiter},          {"delimiter", option::delimiter},
    {"s", option::stub},               {"stub", option::stub},
};

bool startsoption(const char* argument)
{
    return argument[0] == '-' || argument[0] == '/';
}

[[noreturn]] void usageerror(const myrunstate& state)
{
    throw myexception("%s", usagetext(state.programname).c_str());
}

} // namespace

std::string usagetext(const std::string& programname)
{
    return "usage: " + programname +
        " /v [<level>] or -v [<level>] -or --verbose [<level>]"
        " /p <properties> or -p <property list> or --properties <property list>"
        " /l [<filename>] or -l [<filename>] or --log [<filename>]"
        " /d <delimiter> or -d <delimiter> or --delimiter <delimiter>"
        " /s [<email>] -r -s [<email>] or --stub [<email>]";
}

void splitlist(const std::string& text, const std::string& separators, stringlist& pieces)
{
    std::string::size_type start = 0;
    if (!separators.empty()) {
        for (auto found = text.find_first_of(separators, start); found != std::string::npos;
             found = text.find_first_of(separators, start)) {
            pieces.push_back(text.substr(start, found - start));
            start = found + 1;
        }
    }
    pieces.push_back(text.substr(start));
}

void scanoptions(int argc, char** argv, myrunstate& state)
{
    for (int index = 1; index < argc; ++index) {
        const char* argument = argv[index];
        if (!startsoption(argument))
            usageerror(state);
        const char* name = argument + 1;
        if (*name == '-')
            ++name;

        const optionname* found = nullptr;
        for (const optionname& candidate : optionnames) {
            if (std::strcmp(candidate.name, name) == 0) {
                found = &candidate;
                break;
            }
        }
        if (!found)
            usageerror(state);

        // An optional value is present unless the next argument looks like an
        // option; a required one is taken whatever it looks like.
        auto optionalvalue = [&]() -> const char* {
            return index + 1 < argc && !startsoption(argv[index + 1]) ? argv[++index] : nullptr;
        };
        auto requiredvalue = [&]() -> const char* {
            if (index + 1 >= argc)
                usageerror(state);
            return argv[++index];
        };

        switch (found->selects) {
        case option::verbose: {
            const char* level = optionalvalue();
            mylog.buffer->verbosity = level ? static_cast<std::uint32_t>(std::atoi(level)) : 10;
            break;
        }
        case option::log:
            if (const char* path = optionalvalue())
                mylog.buffer->openlog(path);
            else
                mylog.buffer->logtostdout();
            break;
        case option::stub: {
            const char* address = optionalvalue();
            state.stub = address ? address : defaultstubaddress;
            break;
        }
        case option::delimiter:
            state.delimiter = requiredvalue();
            break;
        case option::properties: {
            stringlist pieces;
            splitlist(requiredvalue(), state.delimiter, pieces);
            for (const std::string& piece : pieces) {
                mylog.at(1) << "adding property " << piece << logend;
                state.properties.push_back(piece);
            }
            break;
        }
        }
    }
}
