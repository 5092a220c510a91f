#include "platform/ldap/schema/ldapindex.h"
#include "platform/ldap/session/ldapidentity.h"
#include "platform/ldap/schema/ldaplayout.h"
#include "platform/ldap/schema/ldapschema.h"
#include "platform/ldap/schema/ldapschemacache.h"
#include "platform/clock.h"
#include "platform/ldap/common/ldaprecord.h"
#include "platform/ldap/common/ldaptext.h"

#include <gtest/gtest.h>

#include <clocale>
#include <cstdlib>
#include <filesystem>

namespace openldap {
namespace {

using strings = std::vector<std::string>;

// Shaped as Active Directory publishes it: quoted syntax OIDs, a class with
// two superclasses, a content rule bringing auxiliary classes.
schema adlike()
{
    schema names;
    for (const char* type : {
             "( 2.5.4.0 NAME 'objectClass' SYNTAX '1.3.6.1.4.1.1466.115.121.1.38' )",
             "( 2.5.4.41 NAME 'name' SYNTAX '1.3.6.1.4.1.1466.115.121.1.15' )",
             "( 2.5.4.3 NAME ( 'cn' 'commonName' ) SUP name )",
             "( 2.5.4.4 NAME ( 'sn' 'surname' ) SUP name SINGLE-VALUE )",
             "( 0.9.2342.19200300.100.1.3 NAME ( 'mail' 'rfc822Mailbox' ) SYNTAX '1.3.6.1.4.1.1466.115.121.1.26' )",
             "( 1.2.840.113556.1.4.221 NAME 'sAMAccountName' SYNTAX '1.2.840.113556.1.4.905' SINGLE-VALUE )",
             "( 1.2.840.113556.1.4.146 NAME 'objectSid' SYNTAX '1.3.6.1.4.1.1466.115.121.1.40' SINGLE-VALUE )",
             "( 1.2.840.113556.1.2.1 NAME 'instanceType' SYNTAX '1.3.6.1.4.1.1466.115.121.1.27' SINGLE-VALUE )",
             "( 1.2.840.113556.1.4.656 NAME 'userPrincipalName' SYNTAX '1.3.6.1.4.1.1466.115.121.1.15' )",
             "( 9.9.9.1 NAME 'msRTCSIP-PrimaryUserAddress' SYNTAX '1.3.6.1.4.1.1466.115.121.1.15' )",
             "( 9.9.9.2 NAME 'loop' SUP loop )",
             "this is no description",
             "( NAME 'stray' SYNTAX 1.3.6.1.4.1.1466.115.121.1.15 )", // no OID: skipped
         })
        names.add("attributetypes", type);
    for (const char* oc : {
             "( 2.5.6.0 NAME 'top' ABSTRACT MUST objectClass )",
             "( 2.5.6.6 NAME 'person' SUP top STRUCTURAL MUST ( sn $ cn ) )",
             "( 2.5.6.7 NAME 'organizationalPerson' SUP person STRUCTURAL MAY ( name ) )",
             "( 1.2.840.113556.1.5.0 NAME 'mstop' SUP top ABSTRACT MUST ( instanceType ) MAY ( cn $ name ) )",
             "( 1.2.840.113556.1.5.9 NAME 'user' SUP ( mstop $ organizationalPerson ) STRUCTURAL "
             "MAY ( userPrincipalName $ rfc822Mailbox $ msRTCSIP-PrimaryUserAddress ) )",
             "( 1.2.840.113556.1.5.6 NAME 'securityPrincipal' SUP top AUXILIARY MUST ( objectSid $ sAMAccountName ) )",
             "( 9.9.9.3 NAME 'extra' SUP top AUXILIARY MAY ( mail $ userPrincipalName ) )",
             "broken (",
             "( NAME 'stray' AUXILIARY MAY mail )",
         })
        names.add("objectclasses", oc);
    names.add("ditcontentrules", "( NAME 'norule' AUX ( extra ) )");
    names.add("ditcontentrules", "( 1.2.840.113556.1.5.9 NAME 'user' AUX ( securityPrincipal ) "
                          "MUST ( sAMAccountName $ cn ) MAY ( name $ name ) )");
    return names;
}

TEST(ldapschema, attributenamesandsyntaxes)
{
    const schema names = adlike();
    EXPECT_EQ(names.attributename("RFC822MAILBOX"), "mail");
    EXPECT_EQ(names.attributename("0.9.2342.19200300.100.1.3"), "mail");
    EXPECT_EQ(names.attributename("unknownThing"), "unknownThing");
    EXPECT_TRUE(names.isstring("mail"));
    EXPECT_TRUE(names.isstring("commonName")); // through SUP name
    EXPECT_TRUE(names.isstring("sAMAccountName"));
    EXPECT_FALSE(names.isstring("objectSid"));
    EXPECT_FALSE(names.isstring("instanceType"));
    EXPECT_FALSE(names.isstring("unknownThing"));
    EXPECT_FALSE(names.isstring("loop")); // a SUP cycle ends
    EXPECT_EQ(names.attributename("stray"), "stray");
    EXPECT_FALSE(names.isstring("stray"));
}

TEST(ldapschema, foundwithoutparsingeverything)
{
    // Definitions are found by their OID and NAMEs before they are parsed:
    // a NAME after other fields, words inside quoted text, lists before it,
    // and of two definitions with one name the first that parses counts.
    schema names;
    for (const char* type : {
             "( 1.2.3.1 DESC 'a NAME in the text' NAME 'late' SYNTAX 1.3.6.1.4.1.1466.115.121.1.15 )",
             "( 1.2.3.2 NAME ( 'twin' 'first' ) SYNTAX 1.3.6.1.4.1.1466.115.121.1.27 )",
             "( 1.2.3.3 NAME 'twin' SYNTAX 1.3.6.1.4.1.1466.115.121.1.15 )",
             "( 1.2.3.4 NAME 'broken' SYNTAX )", // doesn't parse: the next one counts
             "( 1.2.3.5 NAME 'broken' SYNTAX 1.3.6.1.4.1.1466.115.121.1.15 )",
             "1.2.3.6 NAME 'noparenthesis'",
         })
        names.add("attributetypes", type);
    EXPECT_EQ(names.attributename("LATE"), "late");
    EXPECT_EQ(names.attributename("1.2.3.1"), "late");
    EXPECT_EQ(names.attributename("in"), "in");
    EXPECT_EQ(names.attributename("twin"), "twin");
    EXPECT_FALSE(names.isstring("twin")); // the first definition's syntax
    EXPECT_EQ(names.attributenames("first"), (strings{"twin", "first", "1.2.3.2"}));
    EXPECT_TRUE(names.isstring("broken"));
    EXPECT_EQ(names.attributenames("broken"), (strings{"broken", "1.2.3.5"}));
    EXPECT_TRUE(names.attributenames("noparenthesis").empty());
    names.add("objectclasses", "( 2.5.6.0 NAME 'top' ABSTRACT )");
    names.add("objectclasses", "( 1.2.3.9 SUP ( top ) MAY ( late $ twin ) NAME 'lateclass' STRUCTURAL )");
    EXPECT_EQ(names.structuralclass({"top", "LateClass"}), "lateclass");
}

TEST(ldapschema, structuralclass)
{
    const schema names = adlike();
    EXPECT_EQ(names.structuralclass({"top", "person", "organizationalPerson", "user"}), "user");
    EXPECT_EQ(names.structuralclass({"user", "organizationalPerson", "top", "extra"}), "user");
    EXPECT_EQ(names.structuralclass({"TOP", "PERSON"}), "person");
    EXPECT_EQ(names.structuralclass({"top", "extra"}), "");
    EXPECT_EQ(names.structuralclass({"stray", "person"}), "person");
    EXPECT_EQ(names.structuralclass({}), "");
}

TEST(ldapschema, attributelistsinorder)
{
    const schema names = adlike();
    strings mandatory, optional;
    names.attributelists("user", {"top", "person", "organizationalPerson", "user", "extra"}, mandatory, optional);
    // The class, its superclasses depth first in SUP order, the content rule,
    // its auxiliary classes, then the entry's own auxiliary classes.
    EXPECT_EQ(mandatory, (strings{"instanceType", "objectClass", "sn", "cn", "sAMAccountName", "objectSid"}));
    EXPECT_EQ(optional, (strings{"userPrincipalName", "mail", "msRTCSIP-PrimaryUserAddress", "name"}));

    strings none, alsonone;
    names.attributelists("nosuchclass", {}, none, alsonone);
    EXPECT_TRUE(none.empty() && alsonone.empty());
}

TEST(ldapentry, valuesbyaliasandoption)
{
    const schema names = adlike();
    openldap::entry entry;
    entry.attributes = {{"rfc822Mailbox", {"a@x"}}, {"MAIL;lang-en", {"b@x"}}, {"cn", {"Alice"}},
                        {"2.5.4.4", {"Example"}}};
    const classlayout layout = layoutof(names, {"top", "person", "organizationalPerson", "user", "extra"});
    const entryindex index(entry, layout);
    EXPECT_EQ(index.values("mail"), (strings{"a@x", "b@x"}));
    EXPECT_EQ(index.values("0.9.2342.19200300.100.1.3"), (strings{"a@x", "b@x"}));
    EXPECT_EQ(index.values("surname"), strings{"Example"});
    EXPECT_EQ(index.values("CommonName"), strings{"Alice"});
    EXPECT_TRUE(index.values("name").empty());
    EXPECT_TRUE(index.values("unknownThing").empty());
    EXPECT_EQ(entry.values("CN"), strings{"Alice"});
    EXPECT_EQ(entry.values("mail"), strings{"b@x"});
    EXPECT_EQ(entry.first("nothing"), "");
}

TEST(ldapschemacache, layoutsreadbackandrekeyed)
{
    char made[] = "/tmp/usermail-unit-XXXXXX";
    ASSERT_NE(mkdtemp(made), nullptr);
    const std::string dir = made;
    const schema names = adlike();
    const strings user{"top", "person", "organizationalPerson", "user", "extra"}, person{"top", "person"};
    const classlayout full = layoutof(names, user), small = layoutof(names, person);
    const schemakey key{"ldapi://x", "cn=Subschema", "20260101000000Z", "", false};
    EXPECT_EQ(schemacache::look(dir, key.server, key.subentry), schemafile::none);
    schemacache(dir, key).store(person, small);
    schemacache(dir, key).store(user, full); // the other layout kept as it stands
    EXPECT_EQ(schemacache::look(dir, key.server, key.subentry), schemafile::trusted);

    // Only the entry's names are read, and find what the whole layout finds.
    openldap::entry entry;
    entry.attributes = {{"rfc822Mailbox", {"a@x"}}, {"CN", {"Alice"}}};
    const std::unordered_set<std::string> types = typesof(entry);
    classlayout back, other;
    ASSERT_TRUE(schemacache(dir, key).take(user, back, &types));
    EXPECT_EQ(back.mandatory, full.mandatory);
    EXPECT_EQ(back.optional, full.optional);
    EXPECT_EQ(back.strings, full.strings);
    EXPECT_EQ(back.names.size(), 2u);
    EXPECT_EQ(entryindex(entry, back).values("mail"), entryindex(entry, full).values("mail"));
    EXPECT_EQ(entryindex(entry, back).values("cn"), strings{"Alice"});
    EXPECT_TRUE(knowsall(back, types));
    entry.attributes.push_back({"telephoneNumber", {"1"}});
    EXPECT_FALSE(knowsall(back, typesof(entry)));
    ASSERT_TRUE(schemacache(dir, key).take(person, other));
    EXPECT_EQ(other.names, small.names);

    // Trusted, the file's stamp stands; a subschema read under another
    // stamp leaves only its own layout.
    const schemakey trusted{key.server, key.subentry, "", "", true};
    schemacache cache(dir, trusted);
    EXPECT_TRUE(cache.take(person, other));
    cache.reread("20260202000000Z");
    cache.store(user, full);
    EXPECT_TRUE(schemacache(dir, trusted).take(user, other));
    EXPECT_FALSE(schemacache(dir, trusted).take(person, other));
    EXPECT_FALSE(schemacache(dir, key).take(user, other));
    // A reading under a new stamp is trusted only once a later run, asking
    // the stamp, finds it unchanged.
    EXPECT_EQ(schemacache::look(dir, key.server, key.subentry), schemafile::unconfirmed);
    EXPECT_TRUE(schemacache(dir, schemakey{key.server, key.subentry, "20260202000000Z", "", false}).take(user, other));

    // The trust window, by the clock: past it a file is no longer trusted,
    // nor is one dated ahead of it; a confirmation is dated by it too.
    const std::time_t stored = platform::walltime(), window = schemacache::trustwindow;
    {
        platform::testclock clock(stored + window - 60);
        EXPECT_EQ(schemacache::look(dir, key.server, key.subentry), schemafile::trusted);
        clock.set(stored + window + 1);
        EXPECT_EQ(schemacache::look(dir, key.server, key.subentry), schemafile::unconfirmed);
        clock.set(stored - 60);
        EXPECT_EQ(schemacache::look(dir, key.server, key.subentry), schemafile::unconfirmed);
        clock.set(stored + window + 7200);
        recordfile(dir, schemacache(dir, key).file().substr(dir.size() + 1)).touch();
        EXPECT_EQ(schemacache::look(dir, key.server, key.subentry), schemafile::trusted);
    }
    EXPECT_EQ(schemacache::look(dir, key.server, key.subentry), schemafile::unconfirmed);
    std::filesystem::remove_all(dir);
}

TEST(ldaptext, firstrdnaswritten)
{
    EXPECT_EQ(firstrdn("CN=Alice Example,CN=Users,DC=example,DC=test"), "CN=Alice Example");
    EXPECT_EQ(firstrdn("CN=Liddell\\, Alice,DC=test"), "CN=Liddell\\, Alice");
    EXPECT_EQ(firstrdn("dc=test"), "dc=test");
    EXPECT_EQ(firstrdn(""), "");
}

TEST(ldaptext, charactersets)
{
    std::setlocale(LC_CTYPE, "C.UTF-8");
    EXPECT_EQ(tonarrow("J\xc3\xb6rg \xe2\x82\xac"), "J\xc3\xb6rg \xe2\x82\xac");
    // An 8-bit locale can't hold the euro sign; a broken sequence is one "?".
    if (std::setlocale(LC_CTYPE, "C")) {
        EXPECT_EQ(tonarrow("J\xc3\xb6rg \xe2\x82\xac."), "J?rg ?.");
        EXPECT_EQ(tonarrow("a\xc3"), "a?");
        std::vector<std::size_t> substituted;
        EXPECT_EQ(tonarrow("j\xc3\xb6rg? \xe7\x94\xa8\xe6\x88\xb7", &substituted), "j?rg? ??");
        EXPECT_EQ(substituted, (std::vector<std::size_t>{1, 6, 7}));
    }
    std::setlocale(LC_CTYPE, "C");
}

TEST(ldapidentity, whoistheuser)
{
    const strings contexts = {"dc=example,dc=test", "o=Other"};
    const domainnames own{"example.test", "EXAMPLE.TEST", "EXAMPLE"};
    struct row {
        const char* whoami;
        const char* sasl;
        const char* login;
        const char* entry; // the DN "Who am I?" names, if it is the user's entry
        const char* filter; // else the account search's filter
    } rows[] = {
        {"dn:uid=alice,ou=people,dc=example,dc=test", "", "root", "uid=alice,ou=people,dc=example,dc=test", ""},
        {"dn:UID=alice, OU=People,DC=Example,DC=Test", "", "root", "UID=alice, OU=People,DC=Example,DC=Test", ""},
        {"dn:cn=alice,o=other", "", "root", "cn=alice,o=other", ""},
        // The context itself, an authentication identity, a mere suffix: no user entry.
        {"dn:dc=example,dc=test", "", "alice", "", "(|(sAMAccountName=alice)(uid=alice))"},
        {"dn:uid=alice,cn=peercred,cn=external,cn=auth", "", "alice", "", "(|(sAMAccountName=alice)(uid=alice))"},
        {"dn:uid=x,dc=otherexample,dc=test", "", "alice", "", "(|(sAMAccountName=alice)(uid=alice))"},
        // This directory's own domain, in each of its names, is stripped...
        {"u:EXAMPLE\\alice", "alice@EXAMPLE.TEST", "root", "", "(|(sAMAccountName=alice)(uid=alice))"},
        {"u:example.test\\alice", "", "root", "", "(|(sAMAccountName=alice)(uid=alice))"},
        {"u:alice", "", "root", "", "(|(sAMAccountName=alice)(uid=alice))"},
        {"u:S-1-5-21-1-2-3-1104", "alice@EXAMPLE.TEST", "root", "", "(|(sAMAccountName=alice)(uid=alice))"},
        {"", "alice@example.test", "root", "", "(|(sAMAccountName=alice)(uid=alice))"},
        {"", "uid=alice,cn=gssapi,cn=auth", "bob", "", "(|(sAMAccountName=bob)(uid=bob))"},
        {"", "", "EXAMPLE\\carol", "", "(|(sAMAccountName=carol)(uid=carol))"},
        {"", "", "carol@Example.Test", "", "(|(sAMAccountName=carol)(uid=carol))"},
        // ...another domain's is not: its user is not this directory's namesake.
        {"u:PARTNER\\alice", "", "root", "", "(userPrincipalName=PARTNER\\5Calice)"},
        {"", "alice@PARTNER.TEST", "root", "", "(userPrincipalName=alice@PARTNER.TEST)"},
        {"", "", "nobody@partner.test", "", "(userPrincipalName=nobody@partner.test)"},
        {"", "", "PARTNER\\nobody", "", "(userPrincipalName=PARTNER\\5Cnobody)"},
        {"", "", "EXAMPLE\\nobody@partner.test", "", "(userPrincipalName=EXAMPLE\\5Cnobody@partner.test)"},
        {"", "", "example.test.evil\\x", "", "(userPrincipalName=example.test.evil\\5Cx)"},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(std::string(r.whoami) + " " + r.sasl + " " + r.login);
        EXPECT_EQ(whoamientry(r.whoami, contexts), r.entry);
        if (!*r.entry) {
            EXPECT_EQ(accountfilter(resolveaccount(accountsource(r.whoami, r.sasl, r.login), own)), r.filter);
        }
    }
    // Without a NetBIOS name known, its prefix is a foreign one until looked up.
    EXPECT_TRUE(resolveaccount("EXAMPLE\\alice", {"example.test", "", ""}).whole);
    EXPECT_TRUE(hasnetbiosprefix("EXAMPLE\\alice"));
    EXPECT_FALSE(hasnetbiosprefix("alice@EXAMPLE.TEST"));
    EXPECT_EQ(accountsource("", "", ""), "");
    EXPECT_EQ(dnsdomainof("CN=Alice,CN=Users,DC=Example,DC=test"), "Example.test");
    EXPECT_EQ(dnsdomainof("o=Other"), "");
}

TEST(ldapidentity, baseandhostandfilter)
{
    EXPECT_EQ(searchbase("ou=people,dc=x", "dc=y", {"dc=z"}), "ou=people,dc=x");
    EXPECT_EQ(searchbase("", "dc=y", {"dc=z"}), "dc=y");
    EXPECT_EQ(searchbase("", "", {"dc=z", "dc=w"}), "dc=z");
    EXPECT_EQ(searchbase("", "", {}), "");

    EXPECT_EQ(urihost("ldap://dc1.example.test:389 ldap://dc2.example.test"), "dc1.example.test");
    EXPECT_EQ(urihost("ldaps://dc1.example.test/,ldap://dc2"), "dc1.example.test");
    EXPECT_EQ(urihost("ldapi://%2Fvar%2Frun%2Fslapd%2Fldapi"), "");
    EXPECT_EQ(urihost("not a uri"), "");

    EXPECT_EQ(filtervalue("a*(b)\\"), "a\\2A\\28b\\29\\5C");

    // Active Directory indexes sAMAccountName, not uid.
    EXPECT_EQ(accountfilter({"alice", false}, true), "(sAMAccountName=alice)");
    EXPECT_EQ(accountfilter({"alice@partner.test", true}, true), "(userPrincipalName=alice@partner.test)");
    EXPECT_TRUE(isactivedirectory({"1.2.840.113556.1.4.1670", "1.2.840.113556.1.4.800"}));
    EXPECT_FALSE(isactivedirectory({}));
}

// A server may answer the account search with any entry: only the one that
// is the account, below the base, is taken.
TEST(ldapidentity, isaccount)
{
    const entry alice{"CN=Alice,CN=Users,DC=example,DC=test", {{"sAMAccountName", {"Alice"}}}};
    const entry posix{"uid=alice,ou=people,dc=example,dc=test", {{"uid", {"alice"}}}};
    const entry partner{"CN=P,CN=ForeignSecurityPrincipals,DC=example,DC=test",
                        {{"userPrincipalName", {"PARTNER\\alice"}}, {"sAMAccountName", {"alice"}}}};
    const std::string base = "dc=example,dc=test";
    EXPECT_TRUE(isaccount(alice, {"alice", false}, base));
    EXPECT_TRUE(isaccount(posix, {"ALICE", false}, base));
    EXPECT_TRUE(isaccount(partner, {"partner\\alice", true}, base));
    EXPECT_FALSE(isaccount(alice, {"mallory", false}, base));
    EXPECT_FALSE(isaccount(alice, {"alice", false}, "ou=elsewhere,dc=example,dc=test"));
    EXPECT_FALSE(isaccount(partner, {"alice", true}, base));
    EXPECT_FALSE(isaccount(entry{"cn=Mallory,dc=evil,dc=test", {{"uid", {"alice"}}}}, {"alice", false}, base));
    // Outside ASCII, in any locale: Unicode's case, and nothing looser.
    const entry unicode{"CN=A,CN=Users,DC=example,DC=test", {{"sAMAccountName", {"\xc3\x85LICE"}}}};
    EXPECT_TRUE(isaccount(unicode, {"\xc3\xa5lice", false}, base));
    EXPECT_FALSE(isaccount(unicode, {"alice", false}, base));
    EXPECT_FALSE(isaccount(unicode, {"\xc3\xa5lice\xff", false}, base));
    // The directory compares by upper case: dotless i and final sigma match
    // their capitals; a sharp s, a ligature or a combining dot still don't.
    const auto named = [&](const char* held, const char* asked) {
        return isaccount(entry{"CN=A,CN=Users,DC=example,DC=test", {{"sAMAccountName", {held}}}}, {asked, false}, base);
    };
    EXPECT_TRUE(named("ILKER", "\xc4\xb1lker"));
    EXPECT_TRUE(named("\xce\xa3\xce\x91\xce\xa3", "\xcf\x83\xce\xb1\xcf\x82"));
    EXPECT_FALSE(named("SS", "\xc3\x9f"));
    EXPECT_FALSE(named("FI", "\xef\xac\x81"));
    EXPECT_FALSE(named("I", "i\xcc\x87"));
}

} // namespace
} // namespace openldap
