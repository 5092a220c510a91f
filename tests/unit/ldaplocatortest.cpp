#include "platform/ldap/common/ldaptext.h"
#include "platform/ldap/locate/ldapconfigured.h"
#include "platform/ldap/locate/ldapfailover.h"
#include "platform/ldap/locate/ldaplocator.h"
#include "platform/ldap/locate/ldapnetlogon.h"
#include "platform/ldap/locate/ldapsite.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <string>
#include <vector>

namespace openldap {
namespace {

std::string unhex(const std::string& hex)
{
    std::string bytes;
    for (std::size_t at = 0; at + 1 < hex.size(); at += 2)
        bytes += static_cast<char>(std::stoi(hex.substr(at, 2), nullptr, 16));
    return bytes;
}

// A Samba DC's answer to message 7 for example.test, from a client in site
// BRANCH: the search entry and the search result in one datagram.
const std::string captured = unhex(
    "307f020107647a04003076307404086e65746c6f676f6e31680466170000003d110000f4ac96747483e24d840fd89a1ee3f7b5"
    "076578616d706c65047465737400c01803646331c018074558414d504c45000344433100001744656661756c742d46697273"
    "742d536974652d4e616d6500064252414e43480005000000ffffffff300c02010765070a010004000400");
// The same DC with one site, which it names for every client: the client's
// site is a pointer to the controller's.
const std::string onesite = unhex(
    "3079020107647404003070306e04086e65746c6f676f6e3162046017000000bd110000bfa0f3e9d208a240a5b9f96c5f5d39d2"
    "076578616d706c65047465737400c01803646331c018074558414d504c45000344433100001744656661756c742d46697273"
    "742d536974652d4e616d6500c03d05000000ffffffff300c02010765070a010004000400");
// Its answer for a domain it isn't: the search result alone.
const std::string otherdomain = unhex("300c02010765070a010004000400");
// Where the NETLOGON structure starts in the first.
const std::size_t structure = 0x1b;

// Reads a copy holding exactly `bytes`, so that any read past them is
// caught by the address sanitizer.
bool readexactly(const std::string& bytes, bool whole, netlogonanswer& answer)
{
    std::vector<char> copy(bytes.begin(), bytes.end());
    const std::string_view view(copy.data(), copy.size());
    return whole ? readnetlogonreply(view, 7, answer) : readsamlogonex(view, answer);
}

TEST(netlogon, capturedanswer)
{
    netlogonanswer answer;
    ASSERT_TRUE(readexactly(captured, true, answer));
    EXPECT_EQ(answer.forest, "example.test");
    EXPECT_EQ(answer.domain, "example.test");
    EXPECT_EQ(answer.host, "dc1.example.test");
    EXPECT_EQ(answer.netbiosdomain, "EXAMPLE");
    EXPECT_EQ(answer.netbioshost, "DC1");
    EXPECT_EQ(answer.dcsite, "Default-First-Site-Name");
    EXPECT_EQ(answer.clientsite, "BRANCH");
    EXPECT_EQ(answer.flags, 0x113du);
    EXPECT_FALSE(readnetlogonreply(captured, 8, answer)) << "another request's answer";
    ASSERT_TRUE(readexactly(onesite, true, answer));
    EXPECT_EQ(answer.host, "dc1.example.test");
    EXPECT_EQ(answer.clientsite, "Default-First-Site-Name");
    EXPECT_FALSE(readexactly(otherdomain, true, answer));
}

TEST(netlogon, requestasthedcreadsit)
{
    // The request Samba answered with the datagram above.
    EXPECT_EQ(netlogonrequest(7, "example.test"),
              unhex("304e020107634904000a01000a0100020100020100010100a02aa3190409446e73446f6d61696e040c6578616d706c"
                    "652e74657374a30d04054e74566572040416000000300a04084e65746c6f676f6e"));
}

TEST(netlogon, everytruncationrefused)
{
    netlogonanswer answer;
    const std::string body = captured.substr(structure, 0x66);
    ASSERT_TRUE(readexactly(body, false, answer));
    // The structure is whole once the client's site name has ended.
    const std::size_t needed = body.find(std::string("\x06" "BRANCH\0", 8)) + 8;
    for (std::size_t length = 0; length < needed; ++length)
        EXPECT_FALSE(readexactly(body.substr(0, length), false, answer)) << length << " bytes";
    for (std::size_t length = 0; length < captured.size(); ++length)
        readexactly(captured.substr(0, length), true, answer); // no crash, no read past the end
}

TEST(netlogon, hostilenames)
{
    // The fixed part, then the names; offset 24 is where the first begins.
    const std::string head = unhex("17000000000000000000000000000000000000000000000000");
    const std::string head24 = head.substr(0, 24);
    const std::string sites = std::string(6, '\0') + std::string("\x01" "a\0\x01" "b\0", 6);
    struct {
        const char* what;
        std::string names;
        bool valid;
    } cases[] = {
        {"plain", std::string("\x01" "x\0\xc0\x18", 5) + sites, true},
        {"a pointer to itself", std::string("\xc0\x18", 2) + sites, false},
        // Followed, as libresolv follows it: its loop check still holds.
        {"a pointer forwards", std::string("\xc0\x1a\x00", 3) + sites, true},
        {"two pointers at each other", std::string("\x01" "x\xc0\x1b\xc0\x18", 6) + sites, false},
        {"a pointer past the end", std::string("\x01" "x\0\xff\xff", 5) + sites, false},
        {"a half pointer at the end", std::string("\xc0", 1), false},
        {"a label past the end", std::string("\x3f" "abc", 4), false},
        {"a reserved label type", std::string("\x41" "x\0", 3) + sites, false},
        {"a name longer than DNS allows",
         [] {
             std::string name;
             for (int label = 0; label < 5; ++label)
                 name += std::string(1, '\x3f') + std::string(63, 'a');
             return name + '\0';
         }() + std::string("\xc0\x18", 2) + sites,
         false},
    };
    for (const auto& test : cases) {
        netlogonanswer answer;
        EXPECT_EQ(readexactly(head24 + test.names, false, answer), test.valid) << test.what;
    }
    netlogonanswer answer;
    EXPECT_FALSE(readexactly(unhex("13000000") + head24.substr(4) + std::string(8, '\0'), false, answer))
        << "an old, non-extended answer";
}

TEST(locator, srvorder)
{
    auto order = [](std::vector<srvtarget> targets, unsigned pick) {
        ordersrv(targets, [&](unsigned n) { return std::min(pick, n - 1); });
        std::string hosts;
        for (const srvtarget& target : targets)
            hosts += target.host;
        return hosts;
    };
    const std::vector<srvtarget> targets = {
        {"c", 389, 10, 0}, {"a", 389, 0, 100}, {"b", 389, 0, 0}, {"d", 389, 10, 50}, {"e", 389, 0, 300}};
    // Lowest priority first; within one, zero weights stand first and the
    // draw picks by running sum of weights.
    EXPECT_EQ(order(targets, 0), "baecd");
    EXPECT_EQ(order(targets, 1000), "eabdc");
    EXPECT_EQ(order({}, 0), "");
}

TEST(locator, sitenames)
{
    EXPECT_TRUE(dnslabel("BRANCH"));
    EXPECT_TRUE(dnslabel("Default-First-Site-Name"));
    for (const char* bad : {"", "a.b", "a b", "..", "x\n", "a/b"})
        EXPECT_FALSE(dnslabel(bad)) << bad;
    EXPECT_FALSE(dnslabel(std::string(64, 'a')));
}

TEST(locator, siteremembered)
{
    char dir[] = "/tmp/usermail-sitetest-XXXXXX";
    ASSERT_TRUE(mkdtemp(dir));
    const std::time_t now = 1800000000;
    std::string site = "unchanged";
    EXPECT_FALSE(readsite(dir, "example.test", now, site));
    writesite(dir, "example.test", "BRANCH", now);
    writesite(dir, "other.test", "", now);
    ASSERT_TRUE(readsite(dir, "example.test", now + 3599, site));
    EXPECT_EQ(site, "BRANCH");
    EXPECT_FALSE(readsite(dir, "example.test", now + 3600, site)) << "a site is remembered for an hour";
    ASSERT_TRUE(readsite(dir, "other.test", now, site));
    EXPECT_EQ(site, "") << "no site is remembered as such";
    EXPECT_FALSE(readsite(dir, "other.test", now + 600, site)) << "no site, for ten minutes";
    EXPECT_FALSE(readsite(dir, "third.test", now, site));
    EXPECT_FALSE(readsite("", "example.test", now, site)) << "no cache directory, no record";
    // A record changed by hand is no record.
    for (const auto& file : std::filesystem::directory_iterator(dir)) {
        std::ifstream in(file.path());
        std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        if (text.find("BRANCH") != std::string::npos)
            std::ofstream(file.path()) << text.replace(text.find("BRANCH"), 6, "HQ");
    }
    EXPECT_FALSE(readsite(dir, "example.test", now, site));
    std::filesystem::remove_all(dir);
}

// The locator's environment from a table: SRV answers by name, ping answers
// by host, the remembered sites, and a clock that moves only when told.
class scriptedenv : public locateenv {
public:
    std::string ticket, kerberos = "EXAMPLE.TEST", domain = "example.test";
    std::map<std::string, std::vector<srvtarget>> srv; // by name; missing: no such name
    std::set<std::string> silentdns;                  // names DNS doesn't answer
    std::map<std::string, std::string> pings;         // host -> its answer
    std::set<std::string> addressless;                // hosts whose addresses DNS never gives
    std::map<std::string, std::string> sites;         // remembered, by domain
    std::chrono::steady_clock::time_point clock;
    std::vector<std::string> asked; // "srv NAME", "ping HOST..."

    std::string ticketrealm() override { return ticket; }
    std::string realm() override { return kerberos; }
    std::string dnsdomain() override { return domain; }
    dnsresult querysrv(const std::string& name, std::chrono::milliseconds, std::vector<srvtarget>& found,
                       std::string& text) override
    {
        asked.push_back("srv " + name);
        if (silentdns.count(name)) {
            clock += std::chrono::seconds(1);
            text = "no answer";
            return dnsresult::silent;
        }
        const auto answer = srv.find(name);
        if (answer == srv.end()) {
            text = "no such name";
            return dnsresult::none;
        }
        found = answer->second;
        return dnsresult::found;
    }
    bool ping(const std::vector<std::string>& hosts, const std::string&, std::chrono::milliseconds wait,
              const std::function<bool(std::string_view)>& accept, std::string& from,
              std::vector<std::string>& sent) override
    {
        for (const std::string& host : hosts)
            if (!addressless.count(host))
                sent.push_back(host);
        asked.push_back("ping " + join(sent, " "));
        for (const std::string& host : hosts)
            if (pings.count(host) && accept(pings[host])) {
                from = host;
                return true;
            }
        clock += wait;
        return false;
    }
    int pingid() override { return 7; } // as in the captured answers
    std::chrono::steady_clock::time_point now() override { return clock; }
    std::time_t walltime() override { return 0; }
    unsigned random(unsigned) override { return 0; }
    bool readsite(const std::string& name, std::string& site) override
    {
        const auto found = sites.find(name);
        return found != sites.end() && (site = found->second, true);
    }
    void writesite(const std::string& name, const std::string& site) override { sites[name] = site; }
};

// How a connection attempt to a host goes: its outcome and what it costs.
struct attempt {
    std::string why; // "" connects
    std::chrono::milliseconds takes{0};
};

TEST(locator, choosesandfailsover)
{
    const std::string branch = "_ldap._tcp.BRANCH._sites.dc._msdcs.example.test";
    const std::string domainwide = "_ldap._tcp.dc._msdcs.example.test";
    const attempt refused{"Connection refused"}, silent{"no answer within 5000 ms", std::chrono::seconds(5)};
    const std::string unreachable = "no domain controller of example.test could be reached: ";
    struct row {
        const char* what;
        std::function<void(scriptedenv&)> setup;
        std::map<std::string, attempt> attempts; // by host; missing: connects
        std::vector<std::string> tried;
        std::string outcome; // the host connected, or the failure's text
        bool pinged;
    };
    const std::vector<row> rows = {
        {"site remembered: its controllers first, no ping",
         [&](scriptedenv& env) {
             env.sites["example.test"] = "BRANCH";
             env.srv[branch] = {{"dc2.example.test"}};
             env.srv[domainwide] = {{"dc1.example.test"}, {"dc2.example.test"}};
         },
         {}, {"dc2.example.test:389"}, "dc2.example.test", false},
        {"remembered site without controllers: the domain's, no ping",
         [&](scriptedenv& env) {
             env.sites["example.test"] = "BRANCH";
             env.srv[domainwide] = {{"dc1.example.test"}};
         },
         {}, {"dc1.example.test:389"}, "dc1.example.test", false},
        {"no site remembered: the ping names it, its controllers first",
         [&](scriptedenv& env) {
             env.srv[domainwide] = {{"dc1.example.test"}, {"dc2.example.test"}};
             env.srv[branch] = {{"DC2.example.test"}};
             env.pings["dc2.example.test"] = captured;
         },
         {{"dc2.example.test", refused}}, {"dc2.example.test:389", "dc1.example.test:389"}, "dc1.example.test", true},
        {"the user's ticket from another realm than the machine's: the user's domain",
         [&](scriptedenv& env) {
             env.ticket = "EXAMPLE.TEST";
             env.kerberos = "OTHER.TEST";
             env.domain = "other.test";
             env.sites["example.test"] = "";
             env.srv[domainwide] = {{"dc1.example.test"}};
             env.srv["_ldap._tcp.dc._msdcs.other.test"] = {{"dc9.other.test"}};
         },
         {}, {"dc1.example.test:389"}, "dc1.example.test", false},
        {"realms that are no DNS names are passed over: the machine's domain",
         [&](scriptedenv& env) {
             env.ticket = "../../EXAMPLE.TEST";
             env.kerberos = std::string(300, 'A');
             env.sites["example.test"] = "";
             env.srv[domainwide] = {{"dc1.example.test"}};
         },
         {}, {"dc1.example.test:389"}, "dc1.example.test", false},
        {"DNS silent after the first query: nothing more is asked",
         [&](scriptedenv& env) {
             env.domain = "other.test";
             env.silentdns.insert(domainwide);
         },
         {}, {},
         "no domain controller of example.test (the Kerberos default realm) found: DNS did not answer "
         "(_ldap._tcp.dc._msdcs.example.test: no answer); name a server with URI in ldap.conf",
         false},
        {"a refusing and a silent controller are passed over",
         [&](scriptedenv& env) {
             env.sites["example.test"] = "";
             env.srv[domainwide] = {{"refusing.example.test"}, {"silent.example.test", 389, 1}, {"dc1.example.test", 389, 2}};
         },
         {{"refusing.example.test", refused}, {"silent.example.test", silent}},
         {"refusing.example.test:389", "silent.example.test:389", "dc1.example.test:389"}, "dc1.example.test", false},
        {"every controller down",
         [&](scriptedenv& env) {
             env.sites["example.test"] = "";
             env.srv[domainwide] = {{"refusing.example.test"}, {"silent.example.test", 389, 1}};
         },
         {{"refusing.example.test", refused}, {"silent.example.test", silent}},
         {"refusing.example.test:389", "silent.example.test:389"},
         unreachable + "refusing.example.test:389 (Connection refused), silent.example.test:389 (no answer within "
                       "5000 ms); name a server with URI in ldap.conf",
         false},
        {"the budget spent: the third controller is never tried",
         [&](scriptedenv& env) {
             env.srv[domainwide] = {{"s1.example.test"}, {"s2.example.test", 389, 1}, {"s3.example.test", 389, 2}};
         },
         {{"s1.example.test", silent}, {"s2.example.test", silent}, {"s3.example.test", silent}},
         {"s1.example.test:389", "s2.example.test:389"},
         unreachable + "s1.example.test:389 (no answer within 5000 ms), s2.example.test:389 (no answer within "
                       "5000 ms); the time for finding one ran out; name a server with URI in ldap.conf",
         true},
    };
    for (const row& r : rows) {
        scriptedenv env;
        r.setup(env);
        locator find(env, std::chrono::seconds(10), std::chrono::seconds(1));
        ASSERT_TRUE(find.start()) << r.what;
        std::vector<std::string> tried;
        std::string outcome;
        const status connected = failover(
            find,
            [&](const target& controller, std::string& why, bool& timedout) {
                tried.push_back(controller.hostport());
                const auto how = r.attempts.find(lower(controller.host));
                if (how == r.attempts.end()) {
                    outcome = lower(controller.host);
                    return true;
                }
                env.clock += std::min(how->second.takes, find.timeleft());
                why = how->second.why;
                timedout = how->second.takes.count() > 0;
                return false;
            },
            [] { return std::chrono::milliseconds(0); });
        if (!connected.ok())
            outcome = find.whynone();
        EXPECT_EQ(tried, r.tried) << r.what;
        EXPECT_EQ(outcome, r.outcome) << r.what;
        const bool pinged = std::any_of(env.asked.begin(), env.asked.end(),
                                        [](const std::string& step) { return step.rfind("ping ", 0) == 0; });
        EXPECT_EQ(pinged, r.pinged) << r.what;
    }
}

// A configured list is walked here only when every URI is ldap:// with a
// host; each server once, in order, and none once the deadline is past.
TEST(configuredlist, serversinorder)
{
    const auto later = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    const struct {
        const char* uris;
        std::vector<std::string> servers; // empty: libldap's to connect
    } rows[] = {
        {"ldap://dc1.example.test ldap://DC2.example.test:3268,ldap://[::1]:1389",
         {"dc1.example.test:389", "dc2.example.test:3268", "::1:1389"}},
        {"ldapi://%2Frun%2Fslapd%2Fldapi", {}},
        {"ldap://dc1.example.test ldaps://dc2.example.test", {}},
        {"ldap:///", {}},
        {"", {}},
    };
    for (const auto& r : rows) {
        configuredlist list(r.uris, later);
        EXPECT_EQ(list.walkable(), !r.servers.empty()) << r.uris;
        std::vector<std::string> handed;
        for (target server; list.walkable() && list.next(server);) {
            handed.push_back(server.hostport());
            list.failed(server, "Connection refused");
        }
        EXPECT_EQ(handed, r.servers) << r.uris;
    }
    configuredlist late("ldap://dc1.example.test", std::chrono::steady_clock::now());
    target server;
    EXPECT_FALSE(late.next(server));
    EXPECT_EQ(late.whynone(), "no configured server could be reached: none was tried; the time for connecting ran out");
    configuredlist tried("ldap://a.test ldap://b.test", later);
    while (tried.next(server))
        tried.failed(server, server.host == "a.test" ? "Connection refused" : "no answer within 5000 ms");
    EXPECT_EQ(tried.whynone(),
              "no configured server could be reached: a.test:389 (Connection refused), b.test:389 (no answer within 5000 ms)");
}

// "No site" is remembered only when controllers were asked and were silent.
TEST(locator, nositeonlyfromasilence)
{
    for (const bool addresses : {true, false}) {
        scriptedenv env;
        env.srv["_ldap._tcp.dc._msdcs.example.test"] = {{"dc1.example.test"}};
        if (!addresses)
            env.addressless.insert("dc1.example.test");
        locator find(env, std::chrono::seconds(10), std::chrono::seconds(1));
        ASSERT_TRUE(find.start());
        target controller;
        ASSERT_TRUE(find.next(controller));
        EXPECT_EQ(env.sites.count("example.test"), addresses ? 1u : 0u) << addresses;
    }
}

} // namespace
} // namespace openldap
