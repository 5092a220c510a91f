#include "frontend/run.h"

#include "directory/queryuser.h"
#include "directory/myexception.h"
#include "directory/status.h"
#include "frontend/options.h"
#include "log/mylog.h"
#include "platform/platform.h"

#include <iostream>

const char* const defaultproperties[] = {"mail", "msRTCSIP-PrimaryUserAddress", "userPrincipalName",
                                         nullptr};

std::string programname(const char* argv0)
{
    const std::string path = argv0;
    std::string::size_type cut = path.rfind('\\');
    if (cut == std::string::npos)
        cut = path.rfind('/');
    return cut == std::string::npos ? path : path.substr(cut + 1);
}

namespace {

// Why the log could not be opened, in the notice's words.
std::string refusaltext(platform::logrefusal why, std::uint32_t code)
{
    switch (why) {
    case platform::logrefusal::anothers:
        return "it belongs to another user";
    case platform::logrefusal::symlink:
        return "it is a symbolic link";
    case platform::logrefusal::notregular:
        return "it is not a regular file";
    case platform::logrefusal::linked:
        return "it has another hard link";
    default:
        return status::systemerror(code).text();
    }
}

// The run once its log is open: the options, the query and the output.
int runlogged(int argc, char** argv, myrunstate& state, userdirectory& directory)
{
    try {
        scanoptions(argc, argv, state);

        if (state.properties.empty()) {
            mylog.at(1) << "no properties configured... using defaults" << logend;
            for (const char* const* name = defaultproperties; *name; ++name) {
                mylog.at(1) << "adding default property " << *name << logend;
                state.properties.push_back(*name);
            }
        }

        if (!state.stub.empty()) {
            std::cout << state.stub;
        } else {
            stringlist results;
            queryuser(directory, state.properties, results);
            for (std::size_t index = 0; index < results.size(); ++index) {
                if (index > 0)
                    std::cout << state.delimiter;
                std::cout << results[index];
            }
        }

        // Output that never arrived (a closed or full standard output) is a
        // failure, not a completed run.
        if (!std::cout.flush())
            throw myexception("unable to write to standard output (%s)", lasterrortext());
    } catch (const std::exception& error) {
        mylog.at(0) << error.what() << logend;
        std::cout << error.what();
        return 1;
    }
    return 0;
}

} // namespace

int run(int argc, char** argv, userdirectory& directory)
{
    platform::prepareprocess();
    // A program started with an empty argument vector still needs a name.
    myrunstate state;
    state.programname = programname(argc > 0 && argv[0] ? argv[0] : "usermail");
    const std::string tempdir = platform::tempdirectory();
    // Why there is no default log when there is no directory for it.
    const std::string notempdir = tempdir.empty() ? "no temporary directory of the user's own (" +
                                                        status::lasterror().text() + ")"
                                                  : std::string();
    const std::string logpath = tempdir + state.programname + ".log";
    mylog.buffer->openlog(tempdir.empty() ? nullptr : logpath.c_str());
    const int result = runlogged(argc, argv, state, directory);
    // A run that kept no log says so, once.
    const mybuffer& log = *mylog.buffer;
    const std::string nolog =
        log.unopenable() ? (log.unopened.empty() ? "\"\"" : log.unopened) + " (" +
                               refusaltext(log.unopenedrefusal, log.unopenedcause) + ")"
        : log.target     ? std::string()
                         : notempdir;
    if (!nolog.empty())
        std::cerr << state.programname << ": no log: " << nolog << std::endl;
    return result;
}
