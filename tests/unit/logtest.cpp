#include "log/mylog.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <iostream>
#include <regex>
#include <sstream>
#include <string>

namespace {

std::string contents(const std::string& path)
{
    std::ifstream file(path, std::ios::binary);
    std::ostringstream text;
    text << file.rdbuf();
    return text.str();
}

class logtest : public ::testing::Test {
protected:
    void SetUp() override
    {
        path = ::testing::TempDir() + "logtest-" + ::testing::UnitTest::GetInstance()->current_test_info()->name();
        std::remove(path.c_str());
    }
    std::string path;
};

TEST_F(logtest, threshold)
{
    mystream log;
    log.buffer->openlog(path.c_str());
    log.at(1) << "dropped at 0" << logend;
    log.at(0) << "failure" << logend;
    log.buffer->verbosity = 1;
    log.at(1) << "one" << logend;
    log.at(2) << "dropped at 1" << logend;
    log.buffer->verbosity = 10;
    log.at(10) << "ten" << logend;
    log.buffer->verbosity = static_cast<std::uint32_t>(-5);
    log.at(4000000000u) << "huge" << logend;
    log.buffer->openlog(nullptr);
    const std::string text = contents(path);
    EXPECT_EQ(text.find("dropped"), std::string::npos) << text;
    EXPECT_NE(text.find("(0) failure\n"), std::string::npos);
    EXPECT_NE(text.find("(1) one\n"), std::string::npos);
    EXPECT_NE(text.find("(10) ten\n"), std::string::npos);
    EXPECT_NE(text.find("(4000000000) huge\n"), std::string::npos);
}

TEST_F(logtest, lineformat)
{
    mystream log;
    log.buffer->openlog(path.c_str());
    log.buffer->verbosity = 1;
    log.at(1) << "value = " << 42u << ' ' << std::string("multi\nline\r\t\x1b[2J\x7f\\n") << logend;
    log << logend; // no level set: level 0, a line holding only the prefix
    log.buffer->openlog(nullptr);
    // Control characters are escaped, so that one message is one line.
    const std::regex line(R"(\d\d/\d\d/\d\d \d\d:\d\d:\d\d \(1\) value = 42 multi\\nline\\r\\t\\x1b\[2J\\x7f\\n\n)"
                          R"(\d\d/\d\d/\d\d \d\d:\d\d:\d\d \(0\) \n)");
    EXPECT_TRUE(std::regex_match(contents(path), line)) << contents(path);
}

TEST_F(logtest, targetsandtransitions)
{
    const std::string other = path + ".other";
    mystream log;
    log.at(0) << "nowhere" << logend; // off: collected, then thrown away
    log.buffer->openlog(path.c_str());
    log.at(0) << "first" << logend;
    log.buffer->openlog(other.c_str());
    log.at(0) << "second" << logend;
    log.buffer->openlog(path.c_str()); // truncates again
    log.at(0) << "third" << logend;
    log.buffer->openlog(nullptr);
    EXPECT_EQ(contents(path).find("first"), std::string::npos);
    EXPECT_NE(contents(path).find("(0) third\n"), std::string::npos);
    EXPECT_NE(contents(other).find("(0) second\n"), std::string::npos);
    EXPECT_EQ(contents(other).find("nowhere"), std::string::npos);
    std::remove(other.c_str());
}

TEST_F(logtest, emptyflushresetslevel)
{
    mystream log;
    log.buffer->openlog(path.c_str());
    log.at(7).flush();
    EXPECT_EQ(log.buffer->msglevel, 0u);
    log.buffer->openlog(nullptr);
    EXPECT_EQ(contents(path), "");
}

TEST_F(logtest, destructorwritesunfinishedmessage)
{
    {
        mystream log;
        log.buffer->openlog(path.c_str());
        log.at(0) << "finished" << logend;
        log << "unfinished";
    }
    const std::string text = contents(path);
    ASSERT_GE(text.size(), 10u);
    EXPECT_EQ(text.substr(text.size() - 10), "unfinished");
    EXPECT_NE(text.find("(0) finished\n"), std::string::npos);
}

TEST_F(logtest, standardoutputinterleaved)
{
    std::ostringstream captured;
    std::streambuf* saved = std::cout.rdbuf(captured.rdbuf());
    {
        mystream log;
        log.buffer->openlog(path.c_str());
        log.buffer->logtostdout();
        std::cout << "A";
        log.at(0) << "line" << logend;
        std::cout << "B";
    }
    std::cout.rdbuf(saved);
    EXPECT_TRUE(std::regex_match(captured.str(), std::regex(R"(A\d\d/\d\d/\d\d \d\d:\d\d:\d\d \(0\) line\nB)")))
        << captured.str();
    EXPECT_EQ(contents(path), ""); // the file was closed, and stays
}

TEST_F(logtest, eachlinereachesthefilewhenlogged)
{
    mystream log;
    log.buffer->openlog(path.c_str());
    log.at(0) << "first" << logend;
    // Read while the log is still open: nothing waits in a buffer.
    EXPECT_NE(contents(path).find("(0) first\n"), std::string::npos);
    log.buffer->openlog(nullptr);
}

TEST_F(logtest, unopenablefiledropslines)
{
    mystream log;
    const std::string missing = path + ".dir/nothere/x.log";
    log.buffer->openlog(missing.c_str());
    EXPECT_EQ(log.buffer->target, &log.buffer->logfile);
    log.at(0) << "dropped" << logend;
    EXPECT_TRUE(log.good());
    log.buffer->openlog(path.c_str());
    log.at(0) << "kept" << logend;
    log.buffer->openlog(nullptr);
    EXPECT_NE(contents(path).find("(0) kept\n"), std::string::npos);
}

} // namespace
