#include "directory/myexception.h"
#include "frontend/options.h"
#include "log/mylog.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iostream>
#include <string>
#include <vector>

namespace {

struct scanned {
    myrunstate state;
    bool usageerror = false;
    std::uint32_t verbosity = 0;
    std::ostream* target = nullptr;
};

scanned scan(std::vector<std::string> args)
{
    args.insert(args.begin(), "usermail");
    std::vector<char*> argv;
    for (std::string& arg : args)
        argv.push_back(&arg[0]);
    mylog.buffer->openlog(nullptr);
    mylog.buffer->verbosity = 0;
    scanned result;
    result.state.programname = "usermail";
    try {
        scanoptions(static_cast<int>(argv.size()), argv.data(), result.state);
    } catch (const myexception& error) {
        result.usageerror = true;
        EXPECT_EQ(error.message, usagetext("usermail"));
    }
    result.verbosity = mylog.buffer->verbosity;
    result.target = mylog.buffer->target;
    mylog.buffer->openlog(nullptr);
    mylog.buffer->verbosity = 0;
    return result;
}

TEST(options, prefixesandnames)
{
    for (const char* same : {"--verbose", "-verbose", "/verbose", "/-verbose", "-v", "/v", "--v", "/-v"})
        EXPECT_EQ(scan({same}).verbosity, 10u) << same;
    for (const char* bad : {"-V", "-Verbose", "---v", "-r", "-", "--", "/", "v", "", "x@example.com"})
        EXPECT_TRUE(scan({bad}).usageerror) << bad;
    // Nothing after a bad argument is looked at; what came before stays done.
    scanned partial = scan({"-p", "mail", "-bad", "-p", "later"});
    EXPECT_TRUE(partial.usageerror);
    EXPECT_EQ(partial.state.properties, stringlist{"mail"});
}

TEST(options, verbosevalues)
{
    EXPECT_EQ(scan({"-v", "3"}).verbosity, 3u);
    EXPECT_EQ(scan({"-v", "x"}).verbosity, 0u); // consumed, and no error
    EXPECT_FALSE(scan({"-v", "x"}).usageerror);
    EXPECT_EQ(scan({"-v", " -5"}).verbosity, static_cast<std::uint32_t>(-5));
    EXPECT_EQ(scan({"-v", "-p", "mail"}).verbosity, 10u);
    EXPECT_EQ(scan({"-v", "/p", "mail"}).state.properties, stringlist{"mail"});
    EXPECT_EQ(scan({"-v", ""}).verbosity, 0u); // an empty value is present
    EXPECT_EQ(scan({"-v", "7", "-v"}).verbosity, 10u);
}

TEST(options, requiredvalues)
{
    EXPECT_TRUE(scan({"-p"}).usageerror);
    EXPECT_TRUE(scan({"-d"}).usageerror);
    EXPECT_TRUE(scan({"-p", "mail", "--delimiter"}).usageerror);
    // Taken whatever they begin with.
    EXPECT_EQ(scan({"-p", "-x"}).state.properties, stringlist{"-x"});
    EXPECT_EQ(scan({"-d", "-"}).state.delimiter, "-");
    EXPECT_EQ(scan({"-p", ""}).state.properties, stringlist{""});
}

TEST(options, delimiterordersandaccumulation)
{
    scanned before = scan({"-d", ";", "-p", "a;b"});
    EXPECT_EQ(before.state.properties, (stringlist{"a", "b"}));
    scanned after = scan({"-p", "a;b", "-d", ";"});
    EXPECT_EQ(after.state.properties, stringlist{"a;b"});
    EXPECT_EQ(after.state.delimiter, ";");
    EXPECT_EQ(scan({"-d", "", "-p", "a,b"}).state.properties, stringlist{"a,b"});
    EXPECT_EQ(scan({"-p", "a,,b"}).state.properties, (stringlist{"a", "", "b"}));
    EXPECT_EQ(scan({"-p", "mail", "--properties", "mail"}).state.properties, (stringlist{"mail", "mail"}));
    EXPECT_EQ(scan({"-d", ";", "/delimiter", "::"}).state.delimiter, "::");
}

TEST(options, stubandlog)
{
    EXPECT_EQ(scan({"-s"}).state.stub, defaultstubaddress);
    EXPECT_EQ(std::string(defaultstubaddress).find("@example.com"), std::string("user").size());
    scanned stubbed = scan({"-s", "-p", "mail"});
    EXPECT_EQ(stubbed.state.stub, defaultstubaddress);
    EXPECT_EQ(stubbed.state.properties, stringlist{"mail"});
    EXPECT_EQ(scan({"--stub", "a b"}).state.stub, "a b");
    EXPECT_EQ(scan({"-s", ""}).state.stub, ""); // an empty value: no stub mode
    EXPECT_EQ(scan({"-l"}).target, &std::cout);
    scanned slash = scan({"-l", "/v"});
    EXPECT_EQ(slash.target, &std::cout);
    EXPECT_EQ(slash.verbosity, 10u);
}

TEST(options, propertiesarelogged)
{
    // Relative: an argument that begins with "/" is an option, never a value.
    // So the test runs in the temporary directory, not wherever ctest runs.
    const std::string here = std::filesystem::current_path();
    std::filesystem::current_path(::testing::TempDir());
    const std::string path = "optionstest.log";
    std::string args[] = {"usermail", "-v", "-l", path, "-p", "-x,,b"};
    char* argv[] = {&args[0][0], &args[1][0], &args[2][0], &args[3][0], &args[4][0], &args[5][0]};
    myrunstate state;
    scanoptions(6, argv, state);
    mylog.buffer->openlog(nullptr);
    mylog.buffer->verbosity = 0;
    std::ifstream file(path);
    std::string line;
    std::vector<std::string> logged;
    while (std::getline(file, line))
        logged.push_back(line.substr(line.find(')') + 2));
    std::filesystem::remove(path);
    std::filesystem::current_path(here);
    EXPECT_EQ(logged, (std::vector<std::string>{"adding property -x", "adding property ", "adding property b"}));
}

struct split {
    const char* text;
    const char* separators;
    stringlist pieces;
};

TEST(splitlist, table)
{
    const split table[] = {
        {"a,,b", ",", {"a", "", "b"}},
        {"a,", ",", {"a", ""}},
        {"", ",", {""}},
        {"a,b", "", {"a,b"}},
        {"a,b;c", ";,", {"a", "b", "c"}},
        {"mail,msRTCSIP-PrimaryUserAddress,userPrincipalName", ",",
         {"mail", "msRTCSIP-PrimaryUserAddress", "userPrincipalName"}},
    };
    for (const split& row : table) {
        stringlist pieces{"kept"};
        splitlist(row.text, row.separators, pieces);
        stringlist expected{"kept"};
        expected.insert(expected.end(), row.pieces.begin(), row.pieces.end());
        EXPECT_EQ(pieces, expected) << row.text << " / " << row.separators;
    }
}

} // namespace
