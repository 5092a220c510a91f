// The directory on Linux and other POSIX systems: OpenLDAP's libldap with a
// SASL bind on the caller's own credentials (the Kerberos ticket, or the
// peer credentials of a local socket). Server, base and mechanism come from
// libldap's own configuration (ldap.conf, ~/.ldaprc, LDAPURI...), exactly as
// for ldapsearch.
//
// After the bind the session (session/ldapsession.h) finds the user and the
// layout of their classes; session/ldaprounds.h says what goes out in each
// round. The query's steps are then answered from the entry read.
#include "platform/ldap/ldapdirectory.h"

#include "log/mylog.h"
#include "platform/ldap/common/ldapfailure.h"
#include "platform/ldap/common/ldaprecord.h"
#include "platform/ldap/common/ldapsocket.h"
#include "platform/ldap/common/ldaptext.h"
#include "platform/ldap/locate/ldapconfigured.h"
#include "platform/ldap/locate/ldapfailover.h"
#include "platform/ldap/locate/ldapmachine.h"
#include "platform/ldap/session/ldapidentity.h"
#include "platform/ldap/wire/ldapsasl.h"

#include <algorithm>
#include <cctype>
#include <clocale>
#include <cstdlib>

namespace openldap {

namespace {

// The longest wait for a controller to say which site the client is in.
const std::chrono::milliseconds maxpingwait{1000};

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

void directory::want(const std::vector<std::string>& properties, bool everything)
{
    wanted = {"objectClass", "subschemaSubentry"};
    if (everything)
        wanted.push_back("*");
    // The requested names even with "*", which leaves out operational
    // attributes: logging must not change what is found. A name no
    // attribute can have ("", "a b") is left out: a server may refuse the
    // whole read for it, and it can't match anyway.
    requested.emplace();
    for (const std::string& name : properties)
        if (isdescriptor(name)) {
            wanted.push_back(name);
            requested->insert(lower(name));
        }
}

status directory::start()
{
    // Only to learn the user's character set for converting values; the
    // log's time stamps keep the "C" locale.
    std::setlocale(LC_CTYPE, "");
    startsasl();
    connection::start();
    return status();
}

status directory::opensession()
{
    cachedirectory = findcachedirectory();
    wait.settle();
    // Where nothing names the server, find the domain's controllers as a
    // joined workstation does; with no domain to look in, libldap's default
    // stands.
    if (ldapunconfigured()) {
        const std::unique_ptr<locateenv> machine = machinelocateenv(cachedirectory);
        locator find(*machine, wait.left(), std::min(wait.attempt(), maxpingwait), wait.attempt());
        if (find.start())
            return openlocated(find);
    }
    // LDAPURI is taken as libldap takes it, but handed over here so that a
    // URI it can't parse fails now instead of being passed over in silence.
    const char* configured = std::getenv("LDAPURI");
    const status opened = server.open(configured && *configured ? configured : nullptr);
    if (!opened.ok())
        return opened;
    // A list of ldap:// servers is walked here, within the deadline; other
    // schemes are libldap's to connect to.
    configuredlist listed(server.configureduris(), wait.deadline());
    if (!listed.walkable())
        return opened;
    server.close();
    return connectto(listed, false);
}

void directory::closesession()
{
    // Closed first: what is still in flight then goes with the connection,
    // without an Abandon of its own.
    server.close();
    asked.reset();
}

status directory::openlocated(locator& find)
{
    const status connected = connectto(find, true);
    if (connected.ok() && find.siteremembered(remembered))
        sitedomain = find.domainname();
    return connected;
}

status directory::connectto(candidates& find, bool located)
{
    return failover(
        find,
        [&](const target& candidate, std::string& why, bool& timedout) {
            // Connected here, so that each attempt has its share of the time
            // and says exactly why it failed.
            socketfd socket = tcpconnect(candidate.host, candidate.port, wait.attempt(), why, timedout);
            if (socket.get() < 0)
                return false;
            // An IPv6 address stands in brackets in a URI.
            const std::string host = candidate.host.find(':') == std::string::npos ? lower(candidate.host)
                                                                                    : "[" + candidate.host + "]";
            const std::string uri = "ldap://" + host + ":" + std::to_string(candidate.port);
            const status adopted = server.adopt(std::move(socket), uri, located);
            why = adopted.reason();
            return adopted.ok();
        },
        [&] { return wait.pause(); }, located ? "controller" : "server");
}

status directory::finduser(std::string& dn)
{
    const status bound = server.bind();
    if (!bound.ok())
        return bound;
    asked = std::make_unique<session>(server, cachedirectory);
    const status result = asked->finduser(wanted, sitedomain, remembered, found);
    if (!result.ok())
        return result;
    dn = tonarrow(found.dn);
    return status();
}

status directory::objectname(std::string& name)
{
    // The DN as the server writes it, which "Who am I?" may have normalised.
    name = tonarrow(firstrdn(found.user.dn.empty() ? found.dn : found.user.dn));
    return status();
}

status directory::schemapath(std::string& path)
{
    const status resolved = asked->resolve(found, requested ? &*requested : nullptr, layout);
    if (!resolved.ok())
        return resolved;
    path = "LDAP://" + urihost(server.serveruri()) + "/schema/" + tonarrow(layout.structural);
    return status();
}

status directory::openclass()
{
    attributes = entryindex(found.user, layout);
    return status();
}

status directory::openlist(listkind kind, std::size_t& count)
{
    list = kind == listkind::mandatory ? &layout.mandatory : &layout.optional;
    count = list->size();
    return status();
}

bool directory::attributename(std::size_t index, std::string& name)
{
    name = tonarrow((*list)[index]);
    return true;
}

userdirectory::readresult directory::readattribute(std::size_t index, attributevalue& value, status&)
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

} // namespace openldap

std::unique_ptr<userdirectory> makedirectory()
{
    return std::make_unique<openldap::directory>();
}
