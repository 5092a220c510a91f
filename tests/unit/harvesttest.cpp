#include "directory/harvest.h"

#include <gtest/gtest.h>

#include <clocale>

#include <cctype>
#include <string>
#include <vector>

namespace {

stringlist harvest(const char* value, const stringlist& properties = {"mail"}, const char* name = "mail")
{
    stringlist results;
    harvestaddresses(properties, name, value, results);
    return results;
}

struct example {
    const char* value;
    stringlist candidates;
};

TEST(harvest, workedexamples)
{
    const example examples[] = {
        {"sip:first.last@example.com", {"first.last@example.com"}},
        {"Display Name (first.last@example.com); first.last@example.com", {"first.last@example.com"}},
        {"a@example.com;b@example.org", {"a@example.com", "b@example.org"}},
        {"a@b@c", {"a@b", "b@c"}},
        {"a@@b", {"a@", "@b"}},
        {"@x", {"@x"}},
        {"x@", {"x@"}},
        {"x @ y", {"@"}},
        {"first_last@host_name.example.com", {"first_last@host"}},
        {"user@example.com.", {"user@example.com."}},
        {"User@Example.com and user@example.com", {"User@Example.com", "user@example.com"}},
        {"user+tag@sub-domain.example.net", {"user+tag@sub-domain.example.net"}},
    };
    for (const example& e : examples)
        EXPECT_EQ(harvest(e.value), e.candidates) << e.value;
}

TEST(harvest, boundaries)
{
    // The left walk may include position 0 but never reads before it.
    EXPECT_EQ(harvest("a@b"), stringlist{"a@b"});
    EXPECT_EQ(harvest("@"), stringlist{"@"});
    EXPECT_EQ(harvest("@@"), stringlist{"@"});
    EXPECT_EQ(harvest("<a@b.c>, d@e"), (stringlist{"a@b.c", "d@e"}));
    EXPECT_EQ(harvest("x;y@z;w"), stringlist{"y@z"});
    EXPECT_EQ(harvest(""), stringlist{});
    EXPECT_EQ(harvest("no at sign"), stringlist{});
    // The next search starts where the domain stopped, which may be an '@'.
    EXPECT_EQ(harvest("a@b.c@d"), (stringlist{"a@b.c", "b.c@d"}));
    // RFC 5321's lengths: a local part of 64 octets, an address of 254; a
    // longer one is none, and the value's other addresses still count.
    const std::string local64(64, 'l'), domain(254 - 65, 'd');
    EXPECT_EQ(harvest((local64 + "@" + domain).c_str()), stringlist{local64 + "@" + domain});
    EXPECT_EQ(harvest(("l" + local64 + "@x").c_str()), stringlist{});
    EXPECT_EQ(harvest((local64 + "@" + domain + "d").c_str()), stringlist{});
    EXPECT_EQ(harvest((std::string(30 << 20, 'x') + "@example.test, a@b").c_str()), stringlist{"a@b"});
}

TEST(harvest, characterclasses)
{
    // '_' ends a domain but not a local part; '.' and '-' belong to both.
    EXPECT_EQ(harvest("a_b@c_d"), stringlist{"a_b@c"});
    EXPECT_EQ(harvest(".-@-."), stringlist{".-@-."});
    EXPECT_EQ(harvest("!#$%&'*+-/=?^_`{|}~.@x"), stringlist{"!#$%&'*+-/=?^_`{|}~.@x"});
    // Bytes from 0x80 up end either walk, and what they cut off is no address.
    EXPECT_EQ(harvest("J\xf6rg@ex\xe4mple.com"), stringlist{});
    for (int c = 0; c < 256; ++c) {
        const bool alnum = std::isalnum(c) && c < 0x80;
        EXPECT_EQ(isdomainchar(c), alnum || c == '-' || c == '.') << c;
        if (c >= 0x80 || c == '@' || c == ' ' || c == ',' || c == '<' || c == '"' || c == ';' || c == ':') {
            EXPECT_FALSE(islocalchar(c)) << c;
        }
        if (alnum) {
            EXPECT_TRUE(islocalchar(c)) << c;
        }
    }
}

TEST(harvest, nothingcutoutofalongerword)
{
    struct row {
        const char* value;
        std::vector<std::size_t> substituted;
        stringlist candidates;
    } rows[] = {
        // UTF-8 (and Latin-1) text: the byte classes see only the ASCII tail.
        {"j\xc3\xb6rg@example.test", {}, {}},
        {"j\xf6rg@example.test", {}, {}},
        {"alice@ex\xc3\xa4mple.test", {}, {}},
        {"\xe7\x94\xa8\xe6\x88\xb7@example.test", {}, {}},
        // Text whose characters the conversion replaced by '?'.
        {"j?rg@example.test", {1}, {}},
        {"?alice@example.test", {0}, {}},
        {"alice@example.test?", {18}, {}},
        {"alice@ex?mple.test", {8}, {}},
        // A stand-in next to a separator doesn't touch the address.
        {"? alice@example.test", {0}, {"alice@example.test"}},
        {"alice@example.test ?", {19}, {"alice@example.test"}},
        // A real '?' is a local character like any other.
        {"who?@example.test", {}, {"who?@example.test"}},
        // The other candidates of the same value are still found.
        {"j?rg@example.test, alice@example.test", {1}, {"alice@example.test"}},
        {"\xc3\xa9@x a@b \xc3\xa9" "a@b", {}, {"a@b"}},
        {"sip:alice@example.test\xc2\xa0", {}, {}},
        {"\xc2\xa0" "alice@example.test", {}, {}},
        {"\xc2\xa0 alice@example.test", {}, {"alice@example.test"}},
    };
    for (const row& r : rows) {
        stringlist results;
        harvestaddresses({"mail"}, "mail", r.value, results, r.substituted);
        EXPECT_EQ(results, r.candidates) << r.value;
    }
}

// In a UTF-8 locale, non-ASCII letters and digits next to a candidate make
// it part of a longer word; non-ASCII spaces and punctuation end it.
TEST(harvest, nonasciiwordsandpunctuation)
{
    if (!std::setlocale(LC_CTYPE, "C.UTF-8"))
        GTEST_SKIP() << "no C.UTF-8 locale";
    struct row {
        const char* value;
        stringlist candidates;
    } rows[] = {
        {"\xc2\xab" "bob@example.test\xc2\xbb", {"bob@example.test"}},             // guillemets
        {"\xe2\x80\x9c" "bob@example.test\xe2\x80\x9d", {"bob@example.test"}},   // quotation marks
        {"a@b.example\xc2\xa0" "and more", {"a@b.example"}},                       // no-break space
        {"\xc2\xa0" "alice@example.test", {"alice@example.test"}},
        {"Bob\xe2\x80\x94" "bob@example.test", {"bob@example.test"}},             // em dash
        {"j\xc3\xb6rg@example.test", {}},
        {"alice@ex\xc3\xa4mple.test", {}},
        {"\xe7\x94\xa8\xe6\x88\xb7@example.test", {}},
        {"x@example.test\xd9\xa3", {}}, // an Arabic-Indic digit
        {"\xc3\xa9@x a@b \xc3\xa9" "a@b", {"a@b"}},
    };
    for (const row& r : rows) {
        stringlist results;
        harvestaddresses({"mail"}, "mail", r.value, results);
        EXPECT_EQ(results, r.candidates) << r.value;
    }
    std::setlocale(LC_CTYPE, "C");
}

TEST(harvest, duplicatesandorder)
{
    stringlist properties{"mail", "proxyAddresses"};
    stringlist results{"b@x"};
    harvestaddresses(properties, "mail", "a@x b@x a@x", results);
    harvestaddresses(properties, "proxyAddresses", "SMTP:c@x smtp:a@x", results);
    EXPECT_EQ(results, (stringlist{"b@x", "a@x", "c@x"}));
}

TEST(harvest, requestednames)
{
    // Exact and case-sensitive; a name listed twice harvests twice, harmlessly.
    EXPECT_EQ(harvest("a@b", {"Mail"}), stringlist{});
    EXPECT_EQ(harvest("a@b", {"mail", "mail"}), stringlist{"a@b"});
    EXPECT_EQ(harvest("a@b", {}), stringlist{});
    EXPECT_EQ(harvest(nullptr), stringlist{});
    EXPECT_EQ(harvest("a@b", {""}, ""), stringlist{"a@b"});
}

TEST(harvest, manycandidatesstaydistinct)
{
    // Past the point where the result list gets an index beside it.
    std::string value;
    for (int i = 0; i < 200; ++i)
        value += "u" + std::to_string(i % 100) + "@x ";
    stringlist results = harvest(value.c_str());
    ASSERT_EQ(results.size(), 100u);
    EXPECT_EQ(results.front(), "u0@x");
    EXPECT_EQ(results.back(), "u99@x");
    harvestaddresses({"mail"}, "mail", "u5@x u100@x", results);
    EXPECT_EQ(results.size(), 101u);
}

} // namespace
