// The directory on Linux and other POSIX systems: OpenLDAP's libldap with a
// SASL bind on the caller's own credentials (the Kerberos ticket, or the
// peer credentials of a local socket). Server, base and mechanism come from
// libldap's own configuration (ldap.conf, ~/.ldaprc, LDAPURI...), exactly as
// for ldapsearch.
//
// After the bind a run waits for one round of answers: "Who am I?", the root
// DSE, and, as the last run against this server found them, the user's
// entry (or the account search) and the schema's time stamps. When that
// round doesn't confirm what the last run found, a second round asks again;
// only when the schema cache doesn't know the entry's classes does another
// round read the subschema.
#include "directory/userdirectory.h"
#include "log/mylog.h"
#include "platform/ldap/ldapconnection.h"
#include "platform/ldap/ldapfailure.h"
#include "platform/ldap/ldapidentity.h"
#include "platform/ldap/ldaplastrun.h"
#include "platform/ldap/ldaprecord.h"
#include "platform/ldap/ldaptext.h"
#include "platform/ldap/locate/ldaplocator.h"
#include "platform/ldap/locate/ldapmachine.h"
#include "platform/ldap/locate/ldapnetwork.h"
#include "platform/ldap/schema/ldaplayout.h"
#include "platform/ldap/schema/ldapschema.h"
#include "platform/ldap/schema/ldapschemacache.h"
#include "platform/platform.h"

#include <algorithm>
#include <cstdlib>
#include <cctype>
#include <clocale>
#include <pwd.h>
#include <unistd.h>

namespace openldap {
namespace {

// An attribute's short name or OID, as a request may name it.
bool isdescriptor(const std::string& name)
{
    if (name.empty())
        return false;
    const bool oid = std::isdigit(static_cast<unsigned char>(name[0]));
    return std::all_of(name.begin(), name.end(), [&](unsigned char c) {
        return oid ? std::isdigit(c) || c == '.' : std::isalnum(c) || c == '-';
    }) && (oid || std::isalpha(static_cast<unsigned char>(name[0])));
}

std::string loginname()
{
    const passwd* user = getpwuid(geteuid());
    return user ? user->pw_name : "";
}


// Finding a server with nothing configured: the most it may take, and the
// longest wait for a controller to say which site the client is in.
const std::chrono::milliseconds maxlocating{10000}, maxpingwait{1000};

// A cause kept for a step that reports it later than it happened.
struct laterfailure {
    bool failed = false;
    platform::lasterror cause;

    void keep()
    {
        failed = true;
        cause = platform::getlasterror();
    }
    bool report() const { return failagain(cause); }
};

// The user query over one LDAP connection. The user's entry is read once,
// and every later step (the name, the schema class, each attribute) is
// answered from it and from the schema, as ADSI answers from its cache.
class directory : public userdirectory {
public:
    void want(const std::vector<std::string>& properties, bool everything) override
    {
        wanted = {"objectClass", "subschemaSubentry"};
        if (everything)
            wanted.push_back("*");
        // A name no attribute can have ("", "a b") is left out: a server may
        // refuse the whole read for it, and it can't match anyway.
        for (const std::string& name : properties)
            if (!everything && isdescriptor(name))
                wanted.push_back(name);
        entryattributes.clear();
        for (const std::string& name : wanted)
            entryattributes.push_back(name.c_str());
    }

    bool start() override
    {
        // Only to learn the user's character set for converting values; the
        // log's time stamps keep the "C" locale.
        std::setlocale(LC_CTYPE, "");
        return true;
    }
    void stop() override {}

    bool opensession() override;
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
    // The account search this run made: its base, account and filter.
    struct accountsearch {
        std::string base, filter;
        openldap::account wanted;
    };

    bool openlocated(locator& find);
    // The first round after the bind: "Who am I?", the root DSE, and what
    // the last run found; then the user's entry, confirmed or asked again.
    void firstround(connection::pending& who, connection::pending& rootread, connection::pending& guess);
    bool findentry(const std::string& whoami, connection::pending& rootread, connection::pending& guess);
    void sendstamps(const std::string& subentry, const std::string& schemacontext);
    void finishstamps();
    // The user's entry, by reading it or by the account search; `guess` is
    // the last run's request, when this run asks the same.
    bool readentry(connection::pending* guess);
    bool searchaccount(const std::string& whoami, connection::pending* guess);
    bool searchfor(connection::pending& request);
    std::string netbiosname();
    // What the account search reads: the entry's attributes, and those that
    // show it is the account searched for.
    std::vector<const char*> accountread() const
    {
        std::vector<const char*> names = entryattributes;
        names.insert(names.end(), accountattributes.begin(), accountattributes.end());
        return names;
    }

    // What the entry is read with: every attribute, or only those of use.
    std::vector<std::string> wanted = {"*", "subschemaSubentry"};
    std::vector<const char*> entryattributes = {"*", "subschemaSubentry"};

    std::string cachedirectory; // "" for none
    connection server;
    rootdse root;
    laterfailure rootfailure;  // why the root DSE couldn't be read
    laterfailure entryfailure; // why the user's entry couldn't be read
    connection::pending subschemastamp, schemastamp, subschemaread;
    schemakey stamps;
    std::string stampcontext; // where the schema container's stamp was asked
    accountsearch searched;
    bool known = false; // whether `last` holds what the last run found
    lastrun last;
    std::string userdn;
    entry user;
    classlayout layout;
    entryindex attributes;
    const std::vector<std::string>* list = nullptr;
};

bool directory::opensession()
{
    cachedirectory = findcachedirectory();
    server.readtimeouts();
    // Where nothing names the server, find the domain's controllers as a
    // joined workstation does; with no domain to look in, libldap's default
    // stands.
    if (ldapunconfigured()) {
        const std::unique_ptr<locateenv> machine = machinelocateenv(cachedirectory);
        // Enough to pass over one silent controller, and no more than a
        // logon script can wait.
        const auto connect = server.connecttimeout();
        locator find(*machine, std::min(2 * connect, maxlocating), std::min(connect, maxpingwait));
        if (find.start())
            return openlocated(find);
    }
    // LDAPURI is taken as libldap takes it, but handed over here so that a
    // URI it can't parse fails now instead of being passed over in silence.
    const char* configured = std::getenv("LDAPURI");
    return server.open(configured && *configured ? configured : nullptr);
}

bool directory::openlocated(locator& find)
{
    for (target controller; find.next(controller);) {
        // Connected here, so that each attempt has its share of the budget
        // and says exactly why it failed.
        std::string why;
        socketfd socket =
            tcpconnect(controller.host, controller.port, std::min(server.connecttimeout(), find.timeleft()), why);
        if (socket.get() >= 0) {
            mylog.at(2) << "controller " << controller.hostport() << ": connected" << logend;
            if (server.adopt(std::move(socket), "ldap://" + controller.hostport()))
                return true;
            why = platform::getlasterror().text;
        }
        mylog.at(2) << "controller " << controller.hostport() << ": " << why << logend;
        find.failed(controller, why);
    }
    return failcode(LDAP_SERVER_DOWN, find.whynone());
}

bool directory::finduser(std::string& dn)
{
    if (!server.bind())
        return false;
    const std::string identity = server.option(LDAP_OPT_X_SASL_USERNAME);
    // The server by its URI: local sockets have no host to tell them apart.
    const std::string uri = server.connecteduri();
    stamps.server = uri;
    known = readlastrun(cachedirectory, uri, identity, last);

    connection::pending who, rootread, guess;
    firstround(who, rootread, guess);
    // A failure's cause is read as soon as this returns: nothing more may
    // run (the unread answers go with the connection).
    if (!findentry(server.finishwhoami(who), rootread, guess))
        return false;
    guess.abandon();
    finishstamps();
    const lastrun now{userdn, !searched.filter.empty(), searched.base, searched.filter, root.subschemasubentry,
                      root.schemanamingcontext};
    if (!entryfailure.failed && !(known && now == last))
        writelastrun(cachedirectory, uri, identity, now);
    dn = tonarrow(userdn);
    return true;
}

void directory::firstround(connection::pending& who, connection::pending& rootread, connection::pending& guess)
{
    who = server.sendwhoami();
    rootread = server.sendread("", connection::rootattributes);
    if (known && !last.searched)
        guess = server.sendread(last.dn, entryattributes);
    else if (known)
        guess = server.sendsearch(last.base, LDAP_SCOPE_SUBTREE, last.filter, accountread(), 2);
    if (known)
        sendstamps(last.subentry, last.schemacontext);
}

bool directory::findentry(const std::string& whoami, connection::pending& rootread, connection::pending& guess)
{
    entry rootentry;
    // A server that won't show its root DSE can still be searched under a
    // configured base; its cause is kept for when there is none.
    if (server.finishread(rootread, "", rootentry))
        connection::readroot(rootentry, root);
    else
        rootfailure.keep();
    // The guessed stamps hold when the root DSE names the same places.
    if (!known || !samedn(last.subentry, root.subschemasubentry) ||
        !samedn(last.schemacontext, root.schemanamingcontext)) {
        subschemastamp.abandon();
        schemastamp.abandon();
        sendstamps(root.subschemasubentry, root.schemanamingcontext);
    }
    // Nothing cached for this subschema at all: it will be read, so in this
    // round already.
    if (!root.subschemasubentry.empty() &&
        !schemacache::present(cachedirectory, stamps.server, root.subschemasubentry))
        subschemaread = server.sendsubschema(root.subschemasubentry);
    userdn = whoamientry(whoami, root.namingcontexts);
    return userdn.empty() ? searchaccount(whoami, known && last.searched ? &guess : nullptr)
                          : readentry(known && !last.searched && samedn(userdn, last.dn) ? &guess : nullptr);
}

bool directory::readentry(connection::pending* guess)
{
    connection::pending asked;
    if (!guess)
        asked = server.sendread(userdn, entryattributes);
    if (!server.finishread(guess ? *guess : asked, userdn, user))
        entryfailure.keep();
    return true;
}

void directory::sendstamps(const std::string& subentry, const std::string& schemacontext)
{
    stamps.subentry = subentry;
    stampcontext = schemacontext;
    if (!subentry.empty())
        subschemastamp = server.sendread(subentry, {"modifyTimestamp"});
    if (!schemacontext.empty())
        schemastamp = server.sendread(schemacontext, {"modifyTimeStamp"});
}

void directory::finishstamps()
{
    // A stamp that can't be read leaves the cache unused, nothing more.
    entry found;
    if (subschemastamp.outstanding() && server.finishread(subschemastamp, stamps.subentry, found))
        stamps.subschemastamp = found.first("modifyTimestamp");
    if (schemastamp.outstanding() && server.finishread(schemastamp, stampcontext, found))
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
    schemacache cache(cachedirectory, samedn(subentry, stamps.subentry) ? stamps : schemakey());
    if (cache.take(classes, layout)) {
        mylog.at(2) << "schema cache used: " << cache.file() << logend;
    } else {
        schema names;
        connection::pending asked;
        const bool sent = subschemaread.outstanding() && samedn(subentry, root.subschemasubentry);
        if (!sent)
            asked = server.sendsubschema(subentry);
        if (!server.finishsubschema(sent ? subschemaread : asked, subentry, names))
            return false;
        layout = layoutof(names, classes);
        if (!layout.structural.empty())
            cache.store(classes, layout);
    }
    if (layout.structural.empty())
        return fail(LDAP_OBJECT_CLASS_VIOLATION, "the entry's structural object class is not in the schema");
    path = "LDAP://" + urihost(server.connecteduri()) + "/schema/" + tonarrow(layout.structural);
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

bool directory::searchaccount(const std::string& whoami, connection::pending* guess)
{
    const std::string source = accountsource(whoami, server.option(LDAP_OPT_X_SASL_USERNAME), loginname());
    if (barename(source).empty())
        return fail(LDAP_NO_SUCH_OBJECT, "no account name to look up");
    searched.base = searchbase(server.option(LDAP_OPT_DEFBASE), root.defaultnamingcontext, root.namingcontexts);
    if (searched.base.empty()) {
        if (rootfailure.failed)
            return rootfailure.report();
        return fail(LDAP_NO_SUCH_OBJECT, "no search base: the server names no naming context");
    }
    domainnames own{dnsdomainof(root.defaultnamingcontext.empty() ? searched.base : root.defaultnamingcontext),
                    kerberosrealm(), std::string()};
    searched.wanted = resolveaccount(source, own);
    if (searched.wanted.whole && hasnetbiosprefix(source)) {
        own.netbios = netbiosname();
        searched.wanted = resolveaccount(source, own);
    }
    searched.filter = accountfilter(searched.wanted);
    // The last run's search answers this one only if it was the same search.
    const bool same = guess && last.base == searched.base && last.filter == searched.filter;
    connection::pending asked;
    if (!same)
        asked = server.sendsearch(searched.base, LDAP_SCOPE_SUBTREE, searched.filter, accountread(), 2);
    return searchfor(same ? *guess : asked);
}

bool directory::searchfor(connection::pending& request)
{
    // Asked for two at most: a server that sends more is not counted on to
    // have sent the right one.
    std::vector<entry> found;
    std::size_t sent = 0;
    const int result = server.finishsearch(request, [&](entry&& match) {
        if (isaccount(match, searched.wanted, searched.base))
            found.push_back(std::move(match));
        else
            mylog.at(2) << "passed over " << match.dn << ": not the account searched for" << logend;
        return ++sent <= 2 && found.size() < 2;
    });
    const std::string& name = searched.wanted.name;
    if (result != LDAP_SUCCESS && result != LDAP_SIZELIMIT_EXCEEDED)
        return false;
    if (found.empty() && sent <= 2)
        return fail(LDAP_NO_RESULTS_RETURNED, "no directory entry for the account " + name + " under " + searched.base);
    if (found.size() != 1 || sent > 2 || result == LDAP_SIZELIMIT_EXCEEDED)
        return fail(LDAP_MORE_RESULTS_TO_RETURN,
                    "several directory entries for the account " + name + " under " + searched.base);
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
