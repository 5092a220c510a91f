// The directory on Linux and other POSIX systems: OpenLDAP's libldap with a
// SASL bind on the caller's own credentials (the Kerberos ticket, or the
// peer credentials of a local socket). Server, base and mechanism come from
// libldap's own configuration (ldap.conf, ~/.ldaprc, LDAPURI...), exactly as
// for ldapsearch.
//
// After the bind a run waits for two rounds of answers: "Who am I?" with the
// root DSE, then the user's entry (or the account search) with the schema's
// time stamps. Only when the schema cache doesn't know the entry's classes
// does a third round read the subschema.
#include "directory/userdirectory.h"
#include "log/mylog.h"
#include "platform/ldap/ldapcache.h"
#include "platform/ldap/ldapconnection.h"
#include "platform/ldap/ldapdiscovery.h"
#include "platform/ldap/ldapidentity.h"
#include "platform/ldap/ldaplayout.h"
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

const std::vector<const char*> entryattributes = {"*", "subschemaSubentry"};

// A cause kept for a step that reports it later than it happened.
struct laterfailure {
    bool failed = false;
    platform::lasterror cause;

    void keep()
    {
        failed = true;
        cause = platform::getlasterror();
    }
    bool report() const
    {
        return fail(static_cast<int>(cause.code), cause.hastext ? cause.text : ldap_err2string(cause.code));
    }
};

// The user query over one LDAP connection. The user's entry is read once,
// and every later step (the name, the schema class, each attribute) is
// answered from it and from the schema, as ADSI answers from its cache.
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

    bool finduser(std::string& dn) override;

    // The entry was read in the same round as finding the user; its failure
    // is this step's.
    bool openuser() override { return !entryfailure.failed || entryfailure.report(); }
    void closeuser() override { user = entry(); }

    bool objectname(std::string& name) override
    {
        // The DN as the server writes it, which "Who am I?" may have normalised.
        name = tonarrow(firstrdn(user.dn.empty() ? userdn : user.dn));
        return true;
    }

    bool schemapath(std::string& path) override;

    bool openclass() override
    {
        attributes = entryindex(user, layout);
        return true;
    }
    void closeclass() override { attributes = entryindex(); }

    bool openlist(listkind kind, std::size_t& count) override
    {
        list = kind == listkind::mandatory ? &layout.mandatory : &layout.optional;
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
        value.isstring = values.size() == 1 && layout.isstring((*list)[index]);
        if (value.isstring)
            value.text = tonarrow(values.front(), &value.substituted);
        return readresult::ok;
    }

private:
    void sendstamps();
    void finishstamps();
    bool searchaccount(const std::string& whoami);
    bool searchfor(const account& wanted, const std::string& base);
    std::string netbiosname();

    connection server;
    rootdse root;
    laterfailure rootfailure;  // why the root DSE couldn't be read
    laterfailure entryfailure; // why the user's entry couldn't be read
    connection::pending subschemastamp, schemastamp;
    schemakey stamps;
    std::string userdn;
    entry user;
    classlayout layout;
    entryindex attributes;
    const std::vector<std::string>* list = nullptr;
};

bool directory::finduser(std::string& dn)
{
    if (!server.bind())
        return false;
    // First round: "Who am I?" and the root DSE.
    connection::pending who = server.sendwhoami();
    connection::pending rootread = server.sendread("", connection::rootattributes);
    const std::string whoami = server.finishwhoami(who);
    entry rootentry;
    // A server that won't show its root DSE can still be searched under a
    // configured base; its cause is kept for when there is none.
    if (server.finishread(rootread, "", rootentry))
        connection::readroot(rootentry, root);
    else
        rootfailure.keep();

    // Second round: the user's entry, or the account search that finds it,
    // with the time stamps that say whether the cached schema still holds.
    userdn = whoamientry(whoami, root.namingcontexts);
    if (userdn.empty()) {
        sendstamps();
        if (!searchaccount(whoami))
            return false;
    } else {
        connection::pending read = server.sendread(userdn, entryattributes);
        sendstamps();
        if (!server.finishread(read, userdn, user))
            entryfailure.keep();
    }
    finishstamps();
    dn = tonarrow(userdn);
    return true;
}

void directory::sendstamps()
{
    // The server by its URI: local sockets have no host to tell them apart.
    stamps.server = server.uri().substr(0, server.uri().find_first_of(" ,"));
    stamps.subentry = root.subschemasubentry;
    if (!stamps.subentry.empty())
        subschemastamp = server.sendread(stamps.subentry, {"modifyTimestamp"});
    if (!root.schemanamingcontext.empty())
        schemastamp = server.sendread(root.schemanamingcontext, {"modifyTimeStamp"});
}

void directory::finishstamps()
{
    // A stamp that can't be read leaves the cache unused, nothing more.
    entry found;
    if (subschemastamp.id >= 0 && server.finishread(subschemastamp, stamps.subentry, found))
        stamps.subschemastamp = found.first("modifyTimestamp");
    if (schemastamp.id >= 0 && server.finishread(schemastamp, root.schemanamingcontext, found))
        stamps.schemastamp = found.first("modifyTimeStamp");
}

bool directory::schemapath(std::string& path)
{
    const std::vector<std::string> classes = user.values("objectClass");
    std::string subentry = user.first("subschemaSubentry");
    if (subentry.empty())
        subentry = root.subschemasubentry;
    if (subentry.empty())
        return fail(LDAP_NO_SUCH_OBJECT, "the server names no subschema subentry");
    // The stamps were read for the root DSE's subschema entry.
    schemacache cache(samedn(subentry, stamps.subentry) ? stamps : schemakey());
    if (cache.find(classes, layout)) {
        mylog.at(2) << "schema cache used: " << cache.file() << logend;
    } else {
        schema names;
        if (!server.readsubschema(subentry, names))
            return false;
        layout = layoutof(names, classes);
        if (!layout.structural.empty())
            cache.store(classes, layout);
    }
    if (layout.structural.empty())
        return fail(LDAP_OBJECT_CLASS_VIOLATION, "the entry's structural object class is not in the schema");
    path = "LDAP://" + urihost(server.uri()) + "/schema/" + tonarrow(layout.structural);
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
        if (rootfailure.failed)
            return rootfailure.report();
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
    const int result = server.search(base, LDAP_SCOPE_SUBTREE, accountfilter(wanted), entryattributes, 2,
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

} // namespace
} // namespace openldap

std::unique_ptr<userdirectory> makedirectory()
{
    return std::make_unique<openldap::directory>();
}
