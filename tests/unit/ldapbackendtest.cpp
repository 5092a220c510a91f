#include "platform/ldap/ldapentry.h"
#include "platform/ldap/ldapidentity.h"
#include "platform/ldap/ldapschema.h"
#include "platform/ldap/ldaptext.h"

#include <gtest/gtest.h>

#include <clocale>

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
         })
        names.addattributetype(type);
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
         })
        names.addobjectclass(oc);
    names.addcontentrule("( 1.2.840.113556.1.5.9 NAME 'user' AUX ( securityPrincipal ) "
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
}

TEST(ldapschema, structuralclass)
{
    const schema names = adlike();
    EXPECT_EQ(names.structuralclass({"top", "person", "organizationalPerson", "user"}), "user");
    EXPECT_EQ(names.structuralclass({"user", "organizationalPerson", "top", "extra"}), "user");
    EXPECT_EQ(names.structuralclass({"TOP", "PERSON"}), "person");
    EXPECT_EQ(names.structuralclass({"top", "extra"}), "");
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
    entry.attributes = {{"rfc822Mailbox", {"a@x"}}, {"MAIL;lang-en", {"b@x"}}, {"cn", {"Alice"}}};
    EXPECT_EQ(entry.values("mail", &names), (strings{"a@x", "b@x"}));
    EXPECT_EQ(entry.values("CN"), strings{"Alice"});
    EXPECT_TRUE(entry.values("sn", &names).empty());
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
    }
    std::setlocale(LC_CTYPE, "C");
}

TEST(ldapidentity, whoistheuser)
{
    const strings contexts = {"dc=example,dc=test", "o=Other"};
    struct row {
        const char* whoami;
        const char* sasl;
        const char* login;
        const char* entry;   // the DN "Who am I?" names, if it is the user's entry
        const char* account; // else the account name searched for
    } rows[] = {
        {"dn:uid=alice,ou=people,dc=example,dc=test", "", "root", "uid=alice,ou=people,dc=example,dc=test", ""},
        {"dn:UID=alice, OU=People,DC=Example,DC=Test", "", "root", "UID=alice, OU=People,DC=Example,DC=Test", ""},
        {"dn:cn=alice,o=other", "", "root", "cn=alice,o=other", ""},
        {"dn:dc=example,dc=test", "", "alice", "", "alice"}, // the context itself is no user
        {"dn:uid=alice,cn=peercred,cn=external,cn=auth", "", "alice", "", "alice"},
        {"dn:uid=x,dc=otherexample,dc=test", "", "alice", "", "alice"}, // a suffix, not a context
        {"u:EXAMPLE\\alice", "alice@EXAMPLE.TEST", "root", "", "alice"},
        {"u:alice", "", "root", "", "alice"},
        {"u:S-1-5-21-1-2-3-1104", "alice@EXAMPLE.TEST", "root", "", "alice"},
        {"", "alice@EXAMPLE.TEST", "root", "", "alice"},
        {"", "uid=alice,cn=gssapi,cn=auth", "bob", "", "bob"},
        {"", "", "EXAMPLE\\carol", "", "carol"},
        {"", "", "", "", ""},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.whoami);
        EXPECT_EQ(whoamientry(r.whoami, contexts), r.entry);
        if (!*r.entry) {
            EXPECT_EQ(accountname(r.whoami, r.sasl, r.login), r.account);
        }
    }
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

    EXPECT_EQ(accountfilter("a*(b)\\"), "(|(sAMAccountName=a\\2A\\28b\\29\\5C)(uid=a\\2A\\28b\\29\\5C))");
}

} // namespace
} // namespace openldap
