#include "platform/ldap/ldapcache.h"
#include "platform/ldap/ldaplocator.h"
#include "platform/ldap/ldapnetlogon.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <string>
#include <unistd.h>
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
        {"a pointer forwards", std::string("\xc0\x1a\x00", 3) + sites, false},
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
    setenv("XDG_CACHE_HOME", dir, 1);
    std::string site = "unchanged";
    EXPECT_FALSE(readsite("example.test", site));
    writesite("example.test", "BRANCH");
    writesite("other.test", "");
    ASSERT_TRUE(readsite("example.test", site));
    EXPECT_EQ(site, "BRANCH");
    ASSERT_TRUE(readsite("other.test", site));
    EXPECT_EQ(site, "") << "no site is remembered as such";
    EXPECT_FALSE(readsite("third.test", site));
    // A record changed by hand is no record.
    ASSERT_EQ(std::system((std::string("sed -i s/BRANCH/HQ/ ") + dir + "/usermail/site-*").c_str()), 0);
    EXPECT_FALSE(readsite("example.test", site));
    std::system((std::string("rm -rf ") + dir).c_str());
}

} // namespace
} // namespace openldap
