#include "frontend/myexception.h"
#include "platform/platform.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>

namespace {

TEST(myexception, formatsprintfstyle)
{
    EXPECT_STREQ(myexception("no conversions, 100%% sure").what(), "no conversions, 100% sure");
    EXPECT_STREQ(myexception("unable to %s (%u)", "bind", 5u).what(), "unable to bind (5)");
    // A finished text goes through "%s" and keeps its percent signs.
    EXPECT_STREQ(myexception("%s", "50% off %1 %s").what(), "50% off %1 %s");
}

TEST(myexception, keepsatmost16383characters)
{
    const std::string exact(16383, 'x');
    EXPECT_EQ(myexception("%s", exact.c_str()).message, exact);
    const std::string longer(40000, 'y');
    EXPECT_EQ(myexception("%s", longer.c_str()).message, std::string(16383, 'y'));
}

TEST(myexception, copiesareindependent)
{
    auto original = std::make_unique<myexception>("unable to %s", "continue");
    const myexception copy(*original);
    original.reset();
    EXPECT_STREQ(copy.what(), "unable to continue");
    try {
        throw myexception("%d", 42);
    } catch (const std::exception& caught) {
        EXPECT_STREQ(caught.what(), "42");
    }
}

TEST(lasterrortext, codeandtext)
{
    platform::setlasterror(0);
    EXPECT_STREQ(lasterrortext(), "0 = Success");
    platform::setlasterror(2);
    EXPECT_STREQ(lasterrortext(), "2 = No such file or directory");
    // Unsigned, and "unknown error" where the system has no text.
    platform::setlasterror(4294967295u);
    EXPECT_STREQ(lasterrortext(), "4294967295 = unknown error");
    platform::setlasterror(100000);
    EXPECT_STREQ(lasterrortext(), "100000 = unknown error");
}

TEST(lasterrortext, recordedcauseandfirstline)
{
    platform::setlasterror(4294967295u, "Can't contact LDAP server");
    EXPECT_STREQ(lasterrortext(), "4294967295 = Can't contact LDAP server");
    platform::setlasterror(7, "first line\r\nsecond line");
    EXPECT_STREQ(lasterrortext(), "7 = first line");
    platform::setlasterror(7, "one\nline feed only");
    const char* first = lasterrortext();
    EXPECT_STREQ(first, "7 = one\nline feed only");
    // Each call overwrites the text that the previous one handed out.
    platform::setlasterror(0);
    const char* second = lasterrortext();
    EXPECT_EQ(first, second);
    EXPECT_STREQ(first, "0 = Success");
    // A longer text later doesn't move the storage the first pointer shows.
    const std::string longer(5000, 'x');
    platform::setlasterror(8, longer.c_str());
    lasterrortext();
    EXPECT_EQ(std::string(first), "8 = " + longer);
    const std::string huge(100000, 'y');
    platform::setlasterror(9, huge.c_str());
    EXPECT_EQ(std::strlen(lasterrortext()), myexception::maxmessage);
}

} // namespace
