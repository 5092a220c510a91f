// The directory on Linux and other POSIX systems: OpenLDAP's libldap with a
// SASL bind on the caller's own credentials (the Kerberos ticket, or the
// peer credentials of a local socket). Server, base and mechanism come from
// libldap's own configuration (ldap.conf, ~/.ldaprc, LDAPURI...), exactly as
// for ldapsearch.
#include "directory/userdirectory.h"
#include "platform/ldap/ldapconnection.h"
#include "platform/ldap/ldapdiscovery.h"
#include "platform/ldap/ldapidentity.h"
#include "platform/ldap/ldapschema.h"
#include "platform/ldap/ldaptext.h"
#include "platform/platform.h"

#include <clocale>
#include <pwd.h>
#include <unistd.h>

namespace openldap {
namespace {

std::string loginname()
{
    const passwd* user = getpwuid(geteuid());
    return user ? user->pw_name : "";
}

// The user query over one LDAP connection. Finding the user binds and reads
// the root DSE; the user's entry is read once, and every later step (the
// name, the schema class, each attribute) is answered from it and from the
// subschema, as ADSI answers from its property cache.
class directory : public userdirectory {
public:
    bool start() override
    {
        // Only to learn the user's character set for converting values; the
        // log's time stamps keep the "C" locale.
        std::setlocale(LC_CTYPE, "");
        return true;
    }
    void stop() override {}

    bool opensession() override { return server.open(); }
    void closesession() override { server.close(); }

    bool finduser(std::string& dn) override
    {
        if (!server.bind())
            return false;
        const std::string whoami = server.whoami();
        if (!readroot())
            return false;
        userdn = whoamientry(whoami, root.namingcontexts);
        if (userdn.empty() && !searchaccount(whoami))
            return false;
        dn = tonarrow(userdn);
        return true;
    }

    bool openuser() override { return user.dn == userdn || readentry(); }
    void closeuser() override { user = entry(); }

    bool objectname(std::string& name) override
    {
        // The DN as the server writes it, which "Who am I?" may have normalised.
        name = tonarrow(firstrdn(user.dn.empty() ? userdn : user.dn));
        return true;
    }

    bool schemapath(std::string& path) override
    {
        if (!readschema())
            return false;
        structural = names.structuralclass(user.values("objectClass"));
        if (structural.empty())
            return fail(LDAP_OBJECT_CLASS_VIOLATION, "the entry's structural object class is not in the schema");
        path = "LDAP://" + urihost(server.uri()) + "/schema/" + tonarrow(structural);
        return true;
    }

    bool openclass() override
    {
        names.attributelists(structural, user.values("objectClass"), mandatory, optional);
        attributes = entryindex(user, names);
        return true;
    }
    void closeclass() override
    {
        attributes = entryindex();
        mandatory.clear();
        optional.clear();
    }

    bool openlist(listkind kind, std::size_t& count) override
    {
        list = kind == listkind::mandatory ? &mandatory : &optional;
        count = list->size();
        return true;
    }
    void closelist() override { list = nullptr; }

    bool attributename(std::size_t index, std::string& name) override
    {
        name = tonarrow((*list)[index]);
        return true;
    }

    readresult readattribute(std::size_t index, attributevalue& value) override
    {
        const std::vector<std::string> values = attributes.values((*list)[index]);
        if (values.empty())
            return readresult::notfound;
        // Several values, or a value that isn't text, is "not a string".
        value.isstring = values.size() == 1 && names.isstring((*list)[index]);
        if (value.isstring)
            value.text = tonarrow(values.front(), &value.substituted);
        return readresult::ok;
    }

private:
    bool readroot();
    bool searchaccount(const std::string& whoami);
    bool searchfor(const account& wanted, const std::string& base);
    std::string netbiosname();
    bool readentry();
    bool readschema();

    connection server;
    rootdse root;
    platform::lasterror rootfailure; // why the root DSE couldn't be read
    std::string userdn;
    entry user;
    schema names;
    std::string structural;
    std::vector<std::string> mandatory, optional;
    entryindex attributes;
    const std::vector<std::string>* list = nullptr;
};

bool directory::readroot()
{
    // A server that won't show its root DSE can still be searched under a
    // configured base; its cause is kept for when there is none.
    root = rootdse();
    if (!server.readrootdse(root))
        rootfailure = platform::getlasterror();
    return true;
}

std::string directory::netbiosname()
{
    // Active Directory publishes it on the domain's crossRef object.
    if (root.configurationnamingcontext.empty() || root.defaultnamingcontext.empty())
        return std::string();
    std::string name;
    server.search("CN=Partitions," + root.configurationnamingcontext, LDAP_SCOPE_ONELEVEL,
                  "(&(objectClass=crossRef)(nCName=" + filtervalue(root.defaultnamingcontext) + "))",
                  {"nETBIOSName"}, 1, [&](entry&& crossref) {
                      name = crossref.first("nETBIOSName");
                      return false;
                  });
    return name;
}

bool directory::searchaccount(const std::string& whoami)
{
    const std::string source = accountsource(whoami, server.option(LDAP_OPT_X_SASL_USERNAME), loginname());
    if (barename(source).empty())
        return fail(LDAP_NO_SUCH_OBJECT, "no account name to look up");
    const std::string base = searchbase(server.option(LDAP_OPT_DEFBASE), root.defaultnamingcontext, root.namingcontexts);
    if (base.empty()) {
        if (rootfailure.hastext)
            return fail(static_cast<int>(rootfailure.code), rootfailure.text);
        return fail(LDAP_NO_SUCH_OBJECT, "no search base: the server names no naming context");
    }
    domainnames own{dnsdomainof(root.defaultnamingcontext.empty() ? base : root.defaultnamingcontext),
                    kerberosrealm(), std::string()};
    account wanted = resolveaccount(source, own);
    if (wanted.whole && hasnetbiosprefix(source)) {
        own.netbios = netbiosname();
        wanted = resolveaccount(source, own);
    }
    return searchfor(wanted, base);
}

bool directory::searchfor(const account& wanted, const std::string& base)
{
    std::vector<entry> found;
    const int result = server.search(base, LDAP_SCOPE_SUBTREE, accountfilter(wanted), {"*", "subschemaSubentry"}, 2,
                                     [&](entry&& match) {
                                         found.push_back(std::move(match));
                                         return found.size() < 2;
                                     });
    if (result != LDAP_SUCCESS && result != LDAP_SIZELIMIT_EXCEEDED)
        return false;
    if (found.empty())
        return fail(LDAP_NO_RESULTS_RETURNED, "no directory entry for the account " + wanted.name + " under " + base);
    if (found.size() > 1 || result == LDAP_SIZELIMIT_EXCEEDED)
        return fail(LDAP_MORE_RESULTS_TO_RETURN,
                    "several directory entries for the account " + wanted.name + " under " + base);
    user = std::move(found.front());
    userdn = user.dn;
    return true;
}

bool directory::readentry()
{
    return server.readentry(userdn, {"*", "subschemaSubentry"}, user);
}

bool directory::readschema()
{
    std::string subentry = user.first("subschemaSubentry");
    if (subentry.empty())
        subentry = root.subschemasubentry;
    if (subentry.empty())
        return fail(LDAP_NO_SUCH_OBJECT, "the server names no subschema subentry");
    names = schema();
    return server.readsubschema(subentry, names);
}

} // namespace
} // namespace openldap

std::unique_ptr<userdirectory> makedirectory()
{
    return std::make_unique<openldap::directory>();
}
