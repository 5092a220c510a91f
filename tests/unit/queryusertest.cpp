#include "directory/queryuser.h"
#include "directory/myexception.h"
#include "log/mylog.h"
#include "scripteddirectory.h"

#include <gtest/gtest.h>

#include <fstream>
#include <string>
#include <vector>

namespace {

using strings = std::vector<std::string>;
using readresult = userdirectory::readresult;

// Runs the query with the log captured; returns the failure message, if any.
struct queryrun {
    stringlist results;
    strings log;
    std::string failure;
};

queryrun query(scripteddirectory& directory, const stringlist& properties = {"mail", "userPrincipalName"})
{
    const std::string path = ::testing::TempDir() + "queryusertest.log";
    mylog.buffer->openlog(path.c_str());
    mylog.buffer->verbosity = 1;
    queryrun run;
    try {
        queryuser(directory, properties, run.results);
    } catch (const std::exception& error) {
        run.failure = error.what();
    }
    mylog.buffer->openlog(nullptr);
    mylog.buffer->verbosity = 0;
    std::ifstream file(path);
    for (std::string line; std::getline(file, line);)
        run.log.push_back(line.substr(line.find(") ") + 2));
    return run;
}

scripteddirectory alice()
{
    scripteddirectory directory;
    directory.mandatory = {otherattribute("objectSid", readresult::ok),
                           stringattribute("sAMAccountName", "alice")};
    directory.optional = {stringattribute("mail", "alice@example.test"),
                          otherattribute("telephoneNumber", readresult::notfound),
                          stringattribute("userPrincipalName", "alice@example.test;a@example.test")};
    return directory;
}

TEST(queryuser, fullquery)
{
    scripteddirectory directory = alice();
    queryrun run = query(directory);
    EXPECT_EQ(run.failure, "");
    EXPECT_EQ(run.results, (stringlist{"alice@example.test", "a@example.test"}));
    EXPECT_EQ(run.log, (strings{"ADSystemInfo com instance created",
                                "user name = CN=Alice Example,CN=Users,DC=example,DC=test",
                                "bind to user object okay",
                                "name = CN=Alice Example",
                                "schema = LDAP://schema/user",
                                "schema retrieved okay",
                                "mandatory properties (2): ",
                                "objectSid = <unhandled variant type>",
                                "sAMAccountName = alice",
                                "optional properties (3): ",
                                "mail = alice@example.test",
                                "userPrincipalName = alice@example.test;a@example.test"}));
    EXPECT_EQ(directory.calls,
              (strings{"start", "opensession", "finduser", "openuser", "objectname", "schemapath", "openclass",
                       "mandatory", "read objectSid", "read sAMAccountName", "closelist", "optional", "read mail",
                       "read telephoneNumber", "read userPrincipalName", "closelist", "closeclass",
                       "closeuser", "closesession", "stop"}));
}

TEST(queryuser, failuresthatendthequery)
{
    const std::string user = "user name = CN=Alice Example,CN=Users,DC=example,DC=test";
    struct row {
        bool scripteddirectory::*fails;
        const char* cause;
        std::string failure;
        strings calls;
        std::string lastline; // the log's last line, when it matters
        bool unreachable = false; // the directory could not be reached
    };
    const std::vector<row> rows = {
        // e.g. the runtime was already started
        {&scripteddirectory::startfails, nullptr, "unable to initialize com (5 = the scripted cause)", {"start"}, ""},
        {&scripteddirectory::sessionfails, nullptr,
         "unable to create ADSystemInfo com instance (5 = the scripted cause)", {"start", "opensession", "stop"}, ""},
        {&scripteddirectory::finduserfails, nullptr, "unable to retrieve user name (5 = the scripted cause)",
         {"start", "opensession", "finduser", "closesession", "stop"}, ""},
        // A cause holding printf's markers reaches the message as it is.
        {&scripteddirectory::openuserfails, "100% sure: %1 %s", "unable to bind to user object (5 = 100% sure: %1 %s)",
         {"start", "opensession", "finduser", "openuser", "closesession", "stop"}, user},
        // A schema step that can't reach the directory fails the run.
        {&scripteddirectory::schemafails, nullptr, "unable to retrieve schema (5 = the scripted cause)",
         {"start", "opensession", "finduser", "openuser", "objectname", "schemapath", "closeuser", "closesession",
          "stop"},
         "name = CN=Alice Example", true},
        {&scripteddirectory::optionalfails, nullptr, "unable to retrieve optional properties (5 = the scripted cause)",
         {"start", "opensession", "finduser", "openuser", "objectname", "schemapath", "openclass", "mandatory",
          "read objectSid", "read sAMAccountName", "closelist", "optional", "closeclass", "closeuser",
          "closesession", "stop"},
         "sAMAccountName = alice", true},
        // So does a read that can't: the server gone after the bind.
        {&scripteddirectory::readsfail, nullptr, "unable to read objectSid (5 = the scripted cause)",
         {"start", "opensession", "finduser", "openuser", "objectname", "schemapath", "openclass", "mandatory",
          "read objectSid", "closelist", "closeclass", "closeuser", "closesession", "stop"},
         "mandatory properties (2): ", true},
    };
    for (const row& r : rows) {
        scripteddirectory directory = alice();
        directory.*r.fails = true;
        directory.unreachablefailure = r.unreachable;
        if (r.cause)
            directory.cause = r.cause;
        const queryrun run = query(directory);
        EXPECT_EQ(run.failure, r.failure);
        EXPECT_EQ(directory.calls, r.calls) << r.failure;
        if (!r.lastline.empty()) {
            EXPECT_EQ(run.log.back(), r.lastline) << r.failure;
        }
    }
}

TEST(queryuser, failuresthatendnormally)
{
    scripteddirectory noname = alice();
    noname.objectnamefails = true;
    noname.schemafails = true;
    queryrun run = query(noname);
    EXPECT_EQ(run.failure, "");
    EXPECT_EQ(run.log.back(), "bind to user object okay");
    EXPECT_TRUE(run.results.empty());

    scripteddirectory noschema = alice();
    noschema.schemafails = true;
    EXPECT_EQ(query(noschema).log.back(), "name = CN=Alice Example");

    scripteddirectory noclass = alice();
    noclass.classfails = true;
    run = query(noclass);
    EXPECT_EQ(run.log.back(), "schema = LDAP://schema/user");
    EXPECT_EQ(noclass.calls.back(), "stop");
    EXPECT_EQ(noclass.calls[noclass.calls.size() - 3], "closeuser");

    // A failed mandatory list still lets the optional walk run.
    scripteddirectory nomandatory = alice();
    nomandatory.mandatoryfails = true;
    run = query(nomandatory);
    EXPECT_EQ(run.log[6], "optional properties (3): ");
    EXPECT_EQ(run.results.size(), 2u);
}

TEST(queryuser, attributes)
{
    scripteddirectory directory;
    scriptedattribute noname = stringattribute("mail", "hidden@example.test");
    noname.hasname = false;
    directory.mandatory = {otherattribute("cn", readresult::failed), noname};
    directory.optional = {otherattribute("description", readresult::failed), stringattribute("info", ""),
                          stringattribute("mail", "Alice <alice@example.test>"),
                          stringattribute("otherMailbox", "other@example.test")};
    queryrun run = query(directory, {"mail", "homeMail"});
    EXPECT_EQ(run.failure, "");
    EXPECT_EQ(strings(run.log.begin() + 6, run.log.end()),
              (strings{"mandatory properties (2): ", "cn = <failed retrieval>", "optional properties (4): ",
                       "description = <failed retrieval>", "info = ", "mail = Alice <alice@example.test>",
                       "otherMailbox = other@example.test"}));
    EXPECT_EQ(run.results, stringlist{"alice@example.test"});

    scripteddirectory empty;
    run = query(empty);
    EXPECT_EQ(strings(run.log.begin() + 6, run.log.end()),
              (strings{"mandatory properties (0): ", "optional properties (0): "}));
}

TEST(queryuser, failureinsidethewalk)
{
    // Addresses found before the failure stay; everything held is released
    // before the runtime is shut down, and the message reaches the caller.
    scripteddirectory directory = alice();
    directory.optional[2].throwsonget = true;
    queryrun run = query(directory);
    EXPECT_EQ(run.failure, std::bad_alloc().what());
    EXPECT_EQ(run.results, stringlist{"alice@example.test"});
    EXPECT_EQ(strings(directory.calls.end() - 5, directory.calls.end()),
              (strings{"closelist", "closeclass", "closeuser", "closesession", "stop"}));
}

TEST(writevalue, rendering)
{
    std::ostringstream text;
    attributevalue value;
    writevalue(text, value);
    value.isstring = true;
    value.text = "a\nb";
    writevalue(text, value);
    EXPECT_EQ(text.str(), "<unhandled variant type>a\nb");
}

} // namespace
