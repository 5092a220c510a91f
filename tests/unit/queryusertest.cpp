#include "directory/queryuser.h"
#include "frontend/myexception.h"
#include "log/mylog.h"
#include "scripteddirectory.h"

#include <gtest/gtest.h>

#include <fstream>
#include <string>
#include <vector>

namespace {

using strings = std::vector<std::string>;
using readresult = mydirectory::readresult;

// Runs the query with the log captured; returns the failure message, if any.
struct queryrun {
    mystringlist results;
    strings log;
    std::string failure;
};

queryrun query(myscripteddirectory& directory, const mystringlist& properties = {"mail", "userPrincipalName"})
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

myscripteddirectory alice()
{
    myscripteddirectory directory;
    directory.mandatory = {otherattribute("objectSid", readresult::ok),
                           stringattribute("sAMAccountName", "alice")};
    directory.optional = {stringattribute("mail", "alice@example.test"),
                          otherattribute("telephoneNumber", readresult::notfound),
                          stringattribute("userPrincipalName", "alice@example.test;a@example.test")};
    return directory;
}

TEST(queryuser, fullquery)
{
    myscripteddirectory directory = alice();
    queryrun run = query(directory);
    EXPECT_EQ(run.failure, "");
    EXPECT_EQ(run.results, (mystringlist{"alice@example.test", "a@example.test"}));
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
              (strings{"initialize", "createsysteminfo", "username", "bind", "objectname", "schemapath", "openclass",
                       "mandatory", "get objectSid", "get sAMAccountName", "releasenamelist", "optional", "get mail",
                       "get telephoneNumber", "get userPrincipalName", "releasenamelist", "releaseclass",
                       "releaseuser", "releasesysteminfo", "uninitialize"}));
}

TEST(queryuser, failuresthatendthequery)
{
    myscripteddirectory initialized = alice();
    initialized.initializefails = true; // e.g. the runtime was already started
    EXPECT_EQ(query(initialized).failure, "unable to initialize com (5 = the scripted cause)");
    EXPECT_EQ(initialized.calls, strings{"initialize"});

    myscripteddirectory uncreated = alice();
    uncreated.createfails = true;
    EXPECT_EQ(query(uncreated).failure, "unable to create ADSystemInfo com instance (5 = the scripted cause)");
    EXPECT_EQ(uncreated.calls, (strings{"initialize", "createsysteminfo", "uninitialize"}));

    myscripteddirectory nameless = alice();
    nameless.usernamefails = true;
    EXPECT_EQ(query(nameless).failure, "unable to retrieve user name (5 = the scripted cause)");
    EXPECT_EQ(nameless.calls,
              (strings{"initialize", "createsysteminfo", "username", "releasesysteminfo", "uninitialize"}));

    myscripteddirectory unbound = alice();
    unbound.bindfails = true;
    unbound.cause = "100% sure: %1 %s";
    queryrun run = query(unbound);
    EXPECT_EQ(run.failure, "unable to bind to user object (5 = 100% sure: %1 %s)");
    EXPECT_EQ(unbound.calls,
              (strings{"initialize", "createsysteminfo", "username", "bind", "releasesysteminfo", "uninitialize"}));
    EXPECT_EQ(run.log.back(), "user name = CN=Alice Example,CN=Users,DC=example,DC=test");
}

TEST(queryuser, failuresthatendnormally)
{
    myscripteddirectory noname = alice();
    noname.objectnamefails = true;
    noname.schemafails = true;
    queryrun run = query(noname);
    EXPECT_EQ(run.failure, "");
    EXPECT_EQ(run.log.back(), "bind to user object okay");
    EXPECT_TRUE(run.results.empty());

    myscripteddirectory noschema = alice();
    noschema.schemafails = true;
    EXPECT_EQ(query(noschema).log.back(), "name = CN=Alice Example");

    myscripteddirectory noclass = alice();
    noclass.classfails = true;
    run = query(noclass);
    EXPECT_EQ(run.log.back(), "schema = LDAP://schema/user");
    EXPECT_EQ(noclass.calls.back(), "uninitialize");
    EXPECT_EQ(noclass.calls[noclass.calls.size() - 3], "releaseuser");

    // A failed mandatory list still lets the optional walk run.
    myscripteddirectory nomandatory = alice();
    nomandatory.mandatoryfails = true;
    run = query(nomandatory);
    EXPECT_EQ(run.log[6], "optional properties (3): ");
    EXPECT_EQ(run.results.size(), 2u);
}

TEST(queryuser, attributes)
{
    myscripteddirectory directory;
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
    EXPECT_EQ(run.results, mystringlist{"alice@example.test"});

    myscripteddirectory empty;
    run = query(empty);
    EXPECT_EQ(strings(run.log.begin() + 6, run.log.end()),
              (strings{"mandatory properties (0): ", "optional properties (0): "}));
}

TEST(queryuser, failureinsidethewalk)
{
    // Addresses found before the failure stay; everything held is released
    // before the runtime is shut down, and the message reaches the caller.
    myscripteddirectory directory = alice();
    directory.optional[2].throwsonget = true;
    queryrun run = query(directory);
    EXPECT_EQ(run.failure, std::bad_alloc().what());
    EXPECT_EQ(run.results, mystringlist{"alice@example.test"});
    EXPECT_EQ(strings(directory.calls.end() - 5, directory.calls.end()),
              (strings{"releasenamelist", "releaseclass", "releaseuser", "releasesysteminfo", "uninitialize"}));
}

TEST(writevalue, rendering)
{
    std::ostringstream text;
    myvalue value;
    writevalue(text, value);
    value.isstring = true;
    value.text = "a\nb";
    writevalue(text, value);
    EXPECT_EQ(text.str(), "<unhandled variant type>a\nb");
}

} // namespace
