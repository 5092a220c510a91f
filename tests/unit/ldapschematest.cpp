#include "platform/ldap/ldapschema.h"
#include "platform/ldap/ldapsession.h"
#include "platform/ldap/ldaptext.h"

#include <gtest/gtest.h>

#include <clocale>

namespace {

using strings = std::vector<std::string>;

// Shaped as Active Directory publishes it: quoted syntax OIDs, a class with
// two superclasses, a content rule bringing auxiliary classes.
myldapschema adlike()
{
    myldapschema schema;
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
        schema.addattributetype(type);
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
        schema.addobjectclass(oc);
    schema.addcontentrule("( 1.2.840.113556.1.5.9 NAME 'user' AUX ( securityPrincipal ) "
                          "MUST ( sAMAccountName $ cn ) MAY ( name $ name ) )");
    return schema;
}

TEST(ldapschema, attributenamesandsyntaxes)
{
    const myldapschema schema = adlike();
    EXPECT_EQ(schema.attributename("RFC822MAILBOX"), "mail");
    EXPECT_EQ(schema.attributename("0.9.2342.19200300.100.1.3"), "mail");
    EXPECT_EQ(schema.attributename("unknownThing"), "unknownThing");
    EXPECT_TRUE(schema.isstring("mail"));
    EXPECT_TRUE(schema.isstring("commonName")); // through SUP name
    EXPECT_TRUE(schema.isstring("sAMAccountName"));
    EXPECT_FALSE(schema.isstring("objectSid"));
    EXPECT_FALSE(schema.isstring("instanceType"));
    EXPECT_FALSE(schema.isstring("unknownThing"));
    EXPECT_FALSE(schema.isstring("loop")); // a SUP cycle ends
}

TEST(ldapschema, structuralclass)
{
    const myldapschema schema = adlike();
    EXPECT_EQ(schema.structuralclass({"top", "person", "organizationalPerson", "user"}), "user");
    EXPECT_EQ(schema.structuralclass({"user", "organizationalPerson", "top", "extra"}), "user");
    EXPECT_EQ(schema.structuralclass({"TOP", "PERSON"}), "person");
    EXPECT_EQ(schema.structuralclass({"top", "extra"}), "");
    EXPECT_EQ(schema.structuralclass({}), "");
}

TEST(ldapschema, attributelistsinorder)
{
    const myldapschema schema = adlike();
    strings mandatory, optional;
    schema.attributelists("user", {"top", "person", "organizationalPerson", "user", "extra"}, mandatory, optional);
    // The class, its superclasses depth first in SUP order, the content rule,
    // its auxiliary classes, then the entry's own auxiliary classes.
    EXPECT_EQ(mandatory, (strings{"instanceType", "objectClass", "sn", "cn", "sAMAccountName", "objectSid"}));
    EXPECT_EQ(optional, (strings{"userPrincipalName", "mail", "msRTCSIP-PrimaryUserAddress", "name"}));

    strings none, alsonone;
    schema.attributelists("nosuchclass", {}, none, alsonone);
    EXPECT_TRUE(none.empty() && alsonone.empty());
}

TEST(ldapentry, valuesbyaliasandoption)
{
    const myldapschema schema = adlike();
    myldapentry entry;
    entry.attributes = {{"rfc822Mailbox", {"a@x"}}, {"MAIL;lang-en", {"b@x"}}, {"cn", {"Alice"}}};
    EXPECT_EQ(entry.values("mail", &schema), (strings{"a@x", "b@x"}));
    EXPECT_EQ(entry.values("CN"), strings{"Alice"});
    EXPECT_TRUE(entry.values("sn", &schema).empty());
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

} // namespace
