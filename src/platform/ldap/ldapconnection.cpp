#include "platform/ldap/ldapconnection.h"

#include "platform/ldap/ldapdiscovery.h"
#include "platform/ldap/ldapschema.h"
#include "platform/ldap/ldaptext.h"
#include "platform/platform.h"

#include <sasl/sasl.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <sys/time.h>

namespace openldap {

namespace {

// An unreachable or silent server must end the run, not hang it.
const timeval networktimeout = {5, 0};
const timeval operationtimeout = {10, 0};

struct messagefree {
    void operator()(LDAPMessage* message) const { ldap_msgfree(message); }
};
using message = std::unique_ptr<LDAPMessage, messagefree>;

struct berfree {
    void operator()(BerElement* position) const { ber_free(position, 0); }
};
using berposition = std::unique_ptr<BerElement, berfree>;

// Never prompts: every SASL question gets its default answer, or none.
int nointeraction(LDAP*, unsigned, void*, void* questions)
{
    for (auto* question = static_cast<sasl_interact_t*>(questions); question->id != SASL_CB_LIST_END; ++question) {
        const char* answer = question->defresult ? question->defresult : "";
        question->result = answer;
        question->len = static_cast<unsigned>(std::strlen(answer));
    }
    return LDAP_SUCCESS;
}

// Hands each attribute of an entry, with its values, to `visit`, in place:
// a subschema runs to megabytes and is never copied whole.
template <typename visitor> void walkattributes(LDAP* ld, LDAPMessage* answer, visitor&& visit)
{
    BerElement* start = nullptr;
    berval dn = {0, nullptr};
    const int result = ldap_get_dn_ber(ld, answer, &start, &dn);
    berposition position(start);
    if (result != LDAP_SUCCESS)
        return;
    berval name = {0, nullptr};
    berval* values = nullptr;
    while (ldap_get_attribute_ber(ld, answer, position.get(), &name, &values) == LDAP_SUCCESS && name.bv_val) {
        visit(name, values);
        ber_memfree(values);
        values = nullptr;
    }
}

entry toentry(LDAP* ld, LDAPMessage* answer)
{
    entry result;
    if (char* dn = ldap_get_dn(ld, answer)) {
        result.dn = dn;
        ldap_memfree(dn);
    }
    walkattributes(ld, answer, [&](const berval& name, const berval* values) {
        std::vector<std::string> texts;
        for (const berval* value = values; value && value->bv_val; ++value)
            texts.emplace_back(value->bv_val, value->bv_len);
        result.attributes.emplace_back(std::string(name.bv_val, name.bv_len), std::move(texts));
    });
    return result;
}

} // namespace

bool fail(int code, const std::string& text)
{
    platform::setlasterror(static_cast<std::uint32_t>(code), text.c_str());
    return false;
}

bool connection::fail(int code) const
{
    std::string text = ldap_err2string(code);
    const std::string detail = ld ? option(LDAP_OPT_DIAGNOSTIC_MESSAGE) : std::string();
    if (!detail.empty())
        text += ": " + detail;
    return openldap::fail(code, text);
}

std::string connection::option(int which) const
{
    char* value = nullptr;
    if (ldap_get_option(ld, which, &value) != LDAP_OPT_SUCCESS || !value)
        return std::string();
    std::string text = value;
    ldap_memfree(value);
    return text;
}

bool connection::open()
{
    close();
    // Where nothing names the server, find the domain's controllers as a
    // joined workstation does; failing that, libldap's default stands.
    const std::string discovered = ldapunconfigured() ? discoverdirectory() : std::string();
    // LDAPURI is taken as libldap takes it, but handed over here so that a
    // URI it can't parse fails now instead of being passed over in silence.
    const char* initial = !discovered.empty() ? discovered.c_str() : std::getenv("LDAPURI");
    const int result = ldap_initialize(&ld, initial && *initial ? initial : nullptr);
    if (result != LDAP_SUCCESS) {
        ld = nullptr;
        return fail(result);
    }
    const int version = LDAP_VERSION3;
    ldap_set_option(ld, LDAP_OPT_PROTOCOL_VERSION, &version);
    // Active Directory answers a search of the domain with references to its
    // other partitions; following them means look-ups and binds elsewhere.
    ldap_set_option(ld, LDAP_OPT_REFERRALS, LDAP_OPT_OFF);
    ldap_set_option(ld, LDAP_OPT_NETWORK_TIMEOUT, &networktimeout);
    ldap_set_option(ld, LDAP_OPT_TIMEOUT, &operationtimeout);
    // A name from an SRV record is the server's own: no reverse look-up to
    // "canonicalise" it for the Kerberos service principal.
    if (!discovered.empty())
        ldap_set_option(ld, LDAP_OPT_X_SASL_NOCANON, LDAP_OPT_ON);
    uris = option(LDAP_OPT_URI);
    return true;
}

void connection::close()
{
    if (ld)
        ldap_unbind_ext_s(ld, nullptr, nullptr);
    ld = nullptr;
}

bool connection::bind()
{
    std::string mechanism = option(LDAP_OPT_X_SASL_MECH);
    if (mechanism.empty())
        mechanism = lower(uris.substr(0, 8)) == "ldapi://" ? "EXTERNAL" : "GSSAPI";
    const int result = ldap_sasl_interactive_bind_s(ld, nullptr, mechanism.c_str(), nullptr, nullptr,
                                                    LDAP_SASL_QUIET, nointeraction, nullptr);
    return result == LDAP_SUCCESS || fail(result);
}

std::string connection::whoami()
{
    berval* identity = nullptr;
    std::string answer;
    if (ldap_whoami_s(ld, &identity, nullptr, nullptr) == LDAP_SUCCESS && identity)
        answer.assign(identity->bv_val, identity->bv_len);
    ber_bvfree(identity);
    return answer;
}

int connection::search(const std::string& base, int scope, const std::string& filter,
                       const std::vector<const char*>& attributes, int sizelimit, std::vector<entry>& found)
{
    std::vector<const char*> names = attributes;
    names.push_back(nullptr);
    timeval timeout = operationtimeout;
    LDAPMessage* raw = nullptr;
    const int result = ldap_search_ext_s(ld, base.c_str(), scope, filter.c_str(), const_cast<char**>(names.data()),
                                         0, nullptr, nullptr, &timeout, sizelimit, &raw);
    message answer(raw);
    // A search that got no answer at all (connection lost, time-out) has no
    // entries to look at.
    for (LDAPMessage* item = answer ? ldap_first_entry(ld, answer.get()) : nullptr; item;
         item = ldap_next_entry(ld, item))
        found.push_back(toentry(ld, item));
    if (result != LDAP_SUCCESS)
        fail(result);
    return result;
}

bool connection::readrootdse(rootdse& root)
{
    std::vector<entry> found;
    const int result = search("", LDAP_SCOPE_BASE, "(objectClass=*)",
                              {"namingContexts", "defaultNamingContext", "subschemaSubentry"}, 0, found);
    if (result != LDAP_SUCCESS)
        return false;
    if (found.empty())
        return openldap::fail(LDAP_NO_SUCH_OBJECT, "the server sent no root DSE");
    root.namingcontexts = found[0].values("namingContexts");
    root.defaultnamingcontext = found[0].first("defaultNamingContext");
    root.subschemasubentry = found[0].first("subschemaSubentry");
    return true;
}

bool connection::readsubschema(const std::string& dn, schema& into)
{
    const char* names[] = {"attributeTypes", "objectClasses", "dITContentRules", nullptr};
    timeval timeout = operationtimeout;
    LDAPMessage* raw = nullptr;
    const int result = ldap_search_ext_s(ld, dn.c_str(), LDAP_SCOPE_BASE, "(objectClass=*)",
                                         const_cast<char**>(names), 0, nullptr, nullptr, &timeout, 0, &raw);
    message answer(raw);
    if (result != LDAP_SUCCESS)
        return fail(result);
    LDAPMessage* subentry = answer ? ldap_first_entry(ld, answer.get()) : nullptr;
    if (!subentry)
        return openldap::fail(LDAP_NO_SUCH_OBJECT, "the server sent no subschema entry " + dn);
    std::string description;
    walkattributes(ld, subentry, [&](const berval& name, const berval* values) {
        const std::string type = lower(std::string(name.bv_val, name.bv_len));
        for (const berval* value = values; value && value->bv_val; ++value) {
            description.assign(value->bv_val, value->bv_len);
            into.add(type, description.c_str());
        }
    });
    return true;
}

} // namespace openldap
