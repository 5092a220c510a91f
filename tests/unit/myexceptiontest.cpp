#include "directory/myexception.h"
#include "directory/status.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <string>

namespace {

TEST(myexception, formatsprintfstyle)
{
    EXPECT_STREQ(myexception("no conversions, 100%% sure").what(), "no conversions, 100% sure");
    EXPECT_STREQ(myexception("unable to %s (%u)", "bind", 5u).what(), "unable to bind (5)");
    // A finished text goes through "%s" and keeps its percent signs.
    EXPECT_STREQ(myexception("%s", "50% off %1 %s").what(), "50% off %1 %s");
    // A text past the work area is cut, not written beyond it.
    const std::string longer(40000, 'y');
    EXPECT_EQ(myexception("%s", longer.c_str()).message.size(), myexception::maxmessage);
}

TEST(status, text)
{
    EXPECT_TRUE(status().ok());
    EXPECT_EQ(status().text(), "");
    // Unsigned, only the first line, and a line feed alone is no line end.
    EXPECT_EQ(status::failure(4294967295u, "Can't contact LDAP server").text(),
              "4294967295 = Can't contact LDAP server");
    EXPECT_EQ(status::failure(7, "first line\r\nsecond line").text(), "7 = first line");
    EXPECT_EQ(status::failure(7, "one\nline feed only").text(), "7 = one\nline feed only");
    EXPECT_EQ(status::systemerror(100000).text(), "100000 = unknown error");
    EXPECT_FALSE(status::failure(1, "x").unreachable());
    EXPECT_TRUE(status::failure(1, "x", true).unreachable());
}

TEST(lasterrortext, describesthefailedcallandleavesitslasterror)
{
    // A real failing call: the text names its code, and reading it changes
    // nothing a later reader would see.
    EXPECT_EQ(std::fopen("/nonexistent/usermail", "r"), nullptr);
    const int code = errno;
    const std::string text = lasterrortext();
    EXPECT_EQ(text.rfind(std::to_string(code) + " = ", 0), 0u) << text;
    EXPECT_EQ(text.find("unknown error"), std::string::npos) << text;
    EXPECT_EQ(errno, code);
    EXPECT_EQ(std::string(lasterrortext()), text);
}

} // namespace
