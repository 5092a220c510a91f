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
#include "platform/ldap/ldapdirectory.h"
#include "log/mylog.h"
#include "platform/ldap/common/ldaprecord.h"
#include "platform/ldap/locate/ldapmachine.h"
#include "platform/ldap/common/ldapsocket.h"
#include "platform/ldap/schema/ldapschema.h"

#include <algorithm>
#include <cstdlib>
#include <cctype>

namespace openldap {

namespace {

// longest wait for a controller to say which site the client is in.
const std::chrono::milliseconds maxlocating{10000}, maxpingwait{1000};

} // namespace

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

status directory::opensession()
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

status directory::openlocated(locator& find)
{
    for (target controller; find.next(controller);) {
        // Connected here, so that each attempt has its share of the budget
        // and says exactly why it failed.
        std::string why;
        socketfd socket =
            tcpconnect(controller.host, controller.port, std::min(server.connecttimeout(), find.timeleft()), why);
        if (socket.get() >= 0) {
            mylog.at(2) << "controller " << controller.hostport() << ": connected (from " << controller.source << ")"
                        << logend;
            const status adopted = server.adopt(std::move(socket), "ldap://" + controller.hostport());
            if (adopted.ok())
                return adopted;
            why = adopted.reason();
        }
        mylog.at(2) << "controller " << controller.hostport() << ": " << why << " (from " << controller.source << ")"
                    << logend;
        find.failed(controller, why);
    }
    return failcode(LDAP_SERVER_DOWN, find.whynone());
}

status directory::finduser(std::string& dn)
{
    const status bound = server.bind();
    if (!bound.ok())
        return bound;
    const std::string identity = server.option(LDAP_OPT_X_SASL_USERNAME);
    // The server by its URI: local sockets have no host to tell them apart.
    const std::string uri = server.connecteduri();
    stamps.server = uri;
    known = readlastrun(cachedirectory, uri, identity, last);

    connection::pending who, rootread, guess;
    firstround(who, rootread, guess);
    const status found = findentry(server.finishwhoami(who), rootread, guess);
    if (!found.ok())
        return found;
    guess.abandon();
    finishstamps();
    const lastrun now{userdn, !searched.filter.empty(), searched.base, searched.filter, root.subschemasubentry,
                      root.schemanamingcontext};
    if (entryfailure.ok() && !(known && now == last))
        writelastrun(cachedirectory, uri, identity, now);
    dn = tonarrow(userdn);
    return status();
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

status directory::findentry(const std::string& whoami, connection::pending& rootread, connection::pending& guess)
{
    entry rootentry;
    // A server that won't show its root DSE can still be searched under a
    // configured base; its cause is kept for when there is none.
    rootfailure = server.finishread(rootread, "", rootentry);
    if (rootfailure.ok())
        connection::readroot(rootentry, root);
    // The guessed stamps hold when the root DSE names the same places.
    if (!known || !samedn(last.subentry, root.subschemasubentry) ||
        !samedn(last.schemacontext, root.schemanamingcontext)) {
        subschemastamp.abandon();
        schemastamp.abandon();
        sendstamps(root.subschemasubentry, root.schemanamingcontext);
    }
    // Nothing cached for this subschema at all: it will be read, so in this
    // round already.
    if (!root.subschemasubentry.empty() && cached == schemafile::none)
        subschemaread = server.sendsubschema(root.subschemasubentry);
    userdn = whoamientry(whoami, root.namingcontexts);
    return userdn.empty() ? searchaccount(whoami, known && last.searched ? &guess : nullptr)
                          : readentry(known && !last.searched && samedn(userdn, last.dn) ? &guess : nullptr);
}

status directory::readentry(connection::pending* guess)
{
    connection::pending asked;
    if (!guess)
        asked = server.sendread(userdn, entryattributes);
    // Reported when the entry is opened.
    entryfailure = server.finishread(guess ? *guess : asked, userdn, user);
    return status();
}

void directory::sendstamps(const std::string& subentry, const std::string& schemacontext)
{
    stamps.subentry = subentry;
    stampcontext = schemacontext;
    cached = subentry.empty() ? schemafile::none : schemacache::look(cachedirectory, stamps.server, subentry);
    stamps.trusted = schemacontext.empty() && cached == schemafile::trusted;
    // Active Directory moves its schema container's stamp with any schema
    // change, and reading it costs nothing; elsewhere a read of the
    // subschema entry may make the server build all of it, so it is asked
    // only of a file not confirmed lately (none to confirm: the subschema
    // read brings its own).
    if (!schemacontext.empty())
        schemastamp = server.sendread(schemacontext, {"modifyTimeStamp"});
    else if (cached == schemafile::unconfirmed)
        subschemastamp = server.sendread(subentry, {"modifyTimestamp"});
}


void directory::finishstamps()
{
    // A stamp that can't be read leaves the cache unused, nothing more.
    entry found;
    if (subschemastamp.outstanding() && server.finishread(subschemastamp, stamps.subentry, found).ok())
        stamps.subschemastamp = found.first("modifyTimestamp");
    if (schemastamp.outstanding() && server.finishread(schemastamp, stampcontext, found).ok())
        stamps.schemastamp = found.first("modifyTimeStamp");
}

status directory::schemapath(std::string& path)
{
    const std::vector<std::string> classes = user.values("objectClass");
    std::string subentry = user.first("subschemaSubentry");
    if (subentry.empty())
        subentry = root.subschemasubentry;
    if (subentry.empty())
        return fail(LDAP_NO_SUCH_OBJECT, "the server names no subschema subentry");
    // The stamps were read for the root DSE's subschema entry.
    schemakey key = stamps;
    if (!samedn(subentry, stamps.subentry))
        key = schemakey{stamps.server, subentry, "", "", false}; // no stamps were read for it
    schemacache cache(cachedirectory, key);
    // Of the names, those of the entry's attributes are all it needs.
    const std::unordered_set<std::string> types = typesof(user);
    bool cachedlayout = cache.take(classes, layout, &types);
    if (cachedlayout && key.trusted && !knowsall(layout, types)) {
        // The schema may have changed within the hour the file is trusted.
        mylog.at(2) << "the entry holds an attribute the schema cache does not name: asking the subschema's stamp"
                    << logend;
        stamps.trusted = false;
        subschemastamp = server.sendread(stamps.subentry, {"modifyTimestamp"});
        finishstamps();
        key = stamps;
        cache = schemacache(cachedirectory, key);
        cachedlayout = cache.take(classes, layout, &types);
    }
    if (cachedlayout) {
        mylog.at(2) << "schema cache used: " << cache.file()
                    << (key.trusted ? " (confirmed less than an hour ago)" : "") << logend;
    } else {
        schema names;
        std::string stamp;
        connection::pending asked;
        const bool sent = subschemaread.outstanding() && samedn(subentry, root.subschemasubentry);
        if (!sent)
            asked = server.sendsubschema(subentry);
        inplaceentry subschema;
        const status read = server.finishsubschema(sent ? subschemaread : asked, subentry, subschema);
        if (!read.ok())
            return read;
        stamp = adddescriptions(subschema, names);
        layout = layoutof(names, classes);
        // Elsewhere than on Active Directory the layout is filed under the
        // stamp it was read with.
        if (stampcontext.empty())
            cache.reread(stamp);
        if (!layout.structural.empty())
            cache.store(classes, layout);
    }
    if (layout.structural.empty())
        return fail(LDAP_OBJECT_CLASS_VIOLATION, "the entry's structural object class is not in the schema");
    path = "LDAP://" + urihost(server.connecteduri()) + "/schema/" + tonarrow(layout.structural);
    return status();
}

} // namespace openldap

std::unique_ptr<userdirectory> makedirectory()
{
    return std::make_unique<openldap::directory>();
}
