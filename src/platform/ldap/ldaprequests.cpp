// The requests the user query sends over a connection, and reading their
// answers.
#include "platform/ldap/ldapconnection.h"

#include "log/mylog.h"
#include "platform/ldap/ldapanswer.h"
#include "platform/ldap/common/ldapfailure.h"
#include "platform/ldap/ldapidentity.h"

#include <algorithm>

namespace openldap {

connection::pending& connection::pending::operator=(pending&& other) noexcept
{
    if (this != &other) {
        abandon();
        owner = other.owner;
        id = other.id;
        why = std::move(other.why);
        sent = other.sent;
        other.owner = nullptr;
        other.id = -1;
    }
    return *this;
}

void connection::pending::abandon()
{
    if (outstanding())
        owner->abandon(id);
    id = -1;
}

void connection::abandon(int id)
{
    // Over a lost connection nothing is sent: libldap would open a new one.
    if (ld && lost.ok())
        ldap_abandon_ext(ld, id, nullptr, nullptr);
}

connection::pending connection::sent(int result, int id)
{
    pending request;
    request.owner = this;
    request.id = result == LDAP_SUCCESS ? id : -1;
    // A request that never went out for a lost connection keeps that cause.
    if (result != LDAP_SUCCESS)
        request.why = lost.ok() ? failserver(ld, result) : lost;
    return request;
}

connection::pending connection::sendsearch(const std::string& base, int scope, const std::string& filter,
                                           const std::vector<const char*>& attributes, int sizelimit)
{
    static const char* const scopes[] = {"base", "one level", "subtree"};
    mylog.at(2) << "search \"" << base << "\" scope " << (scope >= 0 && scope <= 2 ? scopes[scope] : "?")
                << " filter " << filter << logend;
    if (!standing().ok())
        return sent(LDAP_SERVER_DOWN, -1);
    std::vector<const char*> names = attributes;
    names.push_back(nullptr);
    timeval limit = requesttimeout;
    int id = -1;
    const int result = ldap_search_ext(ld, base.c_str(), scope, filter.c_str(), const_cast<char**>(names.data()),
                                       0, nullptr, nullptr, &limit, sizelimit, &id);
    return sent(result, id);
}

connection::pending connection::sendwhoami()
{
    if (!standing().ok())
        return sent(LDAP_SERVER_DOWN, -1);
    int id = -1;
    const int result = ldap_extended_operation(ld, LDAP_EXOP_WHO_AM_I, nullptr, nullptr, nullptr, &id);
    return sent(result, id);
}

int connection::next(pending& request, LDAPMessage*& answer)
{
    if (!request.why.ok() || request.id < 0)
        return -1;
    if (!lost.ok()) {
        request.why = lost;
        return -1;
    }
    const auto deadline = request.sent + milliseconds(requesttimeout);
    const auto left = std::max(deadline - std::chrono::steady_clock::now(), std::chrono::steady_clock::duration(0));
    timeval wait = totimeval(std::chrono::duration_cast<std::chrono::milliseconds>(left));
    const int type = ldap_result(ld, request.id, LDAP_MSG_ONE, &wait, &answer);
    if (type != 0 && type != -1)
        return type;
    if (type == 0) { // no answer in time
        request.abandon();
        request.why = failserver(ld, LDAP_TIMEOUT);
        return -1;
    }
    // None at all: whatever went wrong, this connection is done with.
    int code = LDAP_SERVER_DOWN;
    ldap_get_option(ld, LDAP_OPT_RESULT_CODE, &code);
    // libldap reports a notice of disconnection as a failed read carrying the
    // notice's result code, which only a server sends (not negative).
    request.why = lose(code < 0 ? code : LDAP_SERVER_DOWN, code > 0 ? "the server sent a notice of disconnection (" + std::to_string(code) + " = " +
                                        ldap_err2string(code) + ")"
                                  : std::string());
    request.id = -1;
    return -1;
}

status connection::finish(pending& request, const std::function<bool(message&)>& onentry)
{
    for (;;) {
        LDAPMessage* raw = nullptr;
        const int type = next(request, raw);
        message answer(raw);
        if (type == -1)
            return request.why;
        if (type == LDAP_RES_SEARCH_RESULT) {
            request.id = -1;
            const int result = resultof(ld, answer.get());
            if (result != LDAP_SUCCESS)
                request.why = failserver(ld, result);
            return request.why;
        }
        if (type == LDAP_RES_SEARCH_ENTRY && !onentry(answer)) {
            request.abandon();
            return status();
        }
    }
}

std::string connection::finishwhoami(pending& request)
{
    LDAPMessage* raw = nullptr;
    const int type = next(request, raw);
    message answer(raw);
    request.id = -1;
    berval* identity = nullptr;
    int result = type == -1 ? static_cast<int>(request.why.code()) : LDAP_OTHER;
    if (type == LDAP_RES_EXTENDED && (result = resultof(ld, answer.get())) == LDAP_SUCCESS)
        result = ldap_parse_whoami(ld, answer.get(), &identity);
    std::string text = identity && identity->bv_val ? std::string(identity->bv_val, identity->bv_len) : "";
    ber_bvfree(identity);
    if (result == LDAP_SUCCESS)
        mylog.at(2) << "who am i = " << text << logend;
    else
        mylog.at(2) << "who am i: no answer (" << ldap_err2string(result) << ")" << logend;
    return text;
}

status connection::finishsearch(pending& request, const std::function<bool(entry&&)>& take)
{
    std::size_t count = 0;
    const status result = finish(request, [&](message& answer) {
        ++count;
        return take(toentry(ld, answer.get()));
    });
    mylog.at(2) << "search found " << count << (count == 1 ? " entry" : " entries") << logend;
    return result;
}

status connection::search(const std::string& base, int scope, const std::string& filter,
                       const std::vector<const char*>& attributes, int sizelimit,
                       const std::function<bool(entry&&)>& take)
{
    pending request = sendsearch(base, scope, filter, attributes, sizelimit);
    return finishsearch(request, take);
}

connection::pending connection::sendread(const std::string& dn, const std::vector<const char*>& attributes)
{
    return sendsearch(dn, LDAP_SCOPE_BASE, "(objectClass=*)", attributes, 0);
}

status connection::finishread(pending& request, const std::string& dn, entry& found)
{
    // Read through to the done answer, which comes right behind the entry,
    // rather than abandon the request; an entry after the named one ends it.
    bool named = false;
    const status result = finish(request, [&](message& answer) {
        if (named)
            return false;
        named = samedn(dnof(ld, answer.get()), dn);
        if (named)
            found = toentry(ld, answer.get());
        return true;
    });
    if (!result.ok())
        return result;
    if (!named)
        return fail(LDAP_NO_SUCH_OBJECT, "the server sent no entry named " + dn);
    return status();
}

const std::vector<const char*> connection::rootattributes = {
    "namingContexts", "defaultNamingContext", "configurationNamingContext", "schemaNamingContext",
    "subschemaSubentry", "supportedCapabilities"};

void connection::readroot(const entry& found, rootdse& root)
{
    root.namingcontexts = found.values("namingContexts");
    root.defaultnamingcontext = found.first("defaultNamingContext");
    root.configurationnamingcontext = found.first("configurationNamingContext");
    root.schemanamingcontext = found.first("schemaNamingContext");
    root.subschemasubentry = found.first("subschemaSubentry");
    root.activedirectory = isactivedirectory(found.values("supportedCapabilities"));
}

connection::pending connection::sendsubschema(const std::string& dn)
{
    mylog.at(2) << "reading the subschema entry " << dn << logend;
    // The stamp with the descriptions it stands for, for the schema cache.
    return sendsearch(dn, LDAP_SCOPE_BASE, "(objectClass=*)",
                      {"attributeTypes", "objectClasses", "dITContentRules", "modifyTimestamp"}, 0);
}

status connection::finishsubschema(pending& request, const std::string& dn, inplaceentry& found)
{
    message held;
    const status result = finish(request, [&](message& answer) {
        if (!held && samedn(dnof(ld, answer.get()), dn))
            held = std::move(answer);
        return true;
    });
    if (!result.ok())
        return result;
    if (!held)
        return fail(LDAP_NO_SUCH_OBJECT, "the server sent no subschema entry " + dn);
    found = readinplace(ld, std::move(held));
    return status();
}

} // namespace openldap
