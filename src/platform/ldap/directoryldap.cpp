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
#include "platform/ldap/common/ldapfailure.h"
#include "platform/ldap/common/ldaprecord.h"
#include "platform/ldap/common/ldapsocket.h"
#include "platform/ldap/common/ldaptext.h"
#include "platform/ldap/ldapsasl.h"
#include "platform/ldap/ldapsitecheck.h"
#include "platform/ldap/locate/ldapmachine.h"

#include <algorithm>
#include <cctype>
#include <clocale>
#include <cstdlib>
#include <thread>

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
    entryattributes.clear();
    for (const std::string& name : wanted)
        entryattributes.push_back(name.c_str());
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
    return server.open(configured && *configured ? configured : nullptr);
}

void directory::closesession()
{
    server.close();
    schema.reset();
}

status directory::openlocated(locator& find)
{
    for (int round = 1;; ++round) {
        std::vector<target> again; // those that didn't answer in time
        for (target controller; find.next(controller);) {
            // Connected here, so that each attempt has its share of the time
            // and says exactly why it failed.
            std::string why;
            bool timedout = false;
            socketfd socket = tcpconnect(controller.host, controller.port, wait.attempt(), why, timedout);
            if (socket.get() >= 0) {
                mylog.at(2) << "controller " << controller.hostport() << ": connected (from " << controller.source
                            << ")" << logend;
                const status adopted = server.adopt(std::move(socket), "ldap://" + controller.hostport());
                if (adopted.ok()) {
                    if (find.siteremembered(remembered))
                        sitedomain = find.domainname();
                    return adopted;
                }
                why = adopted.reason();
            }
            mylog.at(2) << "controller " << controller.hostport() << ": " << why << " (from " << controller.source
                        << ")" << logend;
            find.failed(controller, why);
            if (timedout)
                again.push_back(controller);
        }
        // Slow is not dead: in a logon storm a controller's listen queue
        // overflows and its SYNs are dropped. Those that didn't answer are
        // tried again, after a pause, while the deadline allows.
        const std::chrono::milliseconds pause = wait.pause();
        if (again.empty() || pause.count() == 0)
            break;
        mylog.at(2) << "no controller answered in time: trying " << again.size() << " again in " << pause.count()
                    << " ms (round " << round + 1 << ")" << logend;
        std::this_thread::sleep_for(pause);
        find.retry(again);
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
    lastrun last;
    const bool known = readlastrun(cachedirectory, uri, identity, last);
    schema = std::make_unique<schemaresolution>(server, cachedirectory, uri);

    firstround round(server, *schema, known ? &last : nullptr, entryattributes);
    std::optional<sitecheck> site;
    if (!sitedomain.empty())
        site.emplace(server, sitedomain, remembered);
    const status result = round.finish(found);
    if (!result.ok())
        return result;
    if (site)
        site->finish(cachedirectory);
    const lastrun now = found.remembered();
    if (found.entryfailure.ok() && !(known && now == last))
        writelastrun(cachedirectory, uri, identity, now);
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
    const status resolved =
        schema->resolve(found.user, found.root.subschemasubentry, requested ? &*requested : nullptr, layout);
    if (!resolved.ok())
        return resolved;
    path = "LDAP://" + urihost(server.connecteduri()) + "/schema/" + tonarrow(layout.structural);
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
