#include "platform/ldap/ldapsession.h"

#include "platform/ldap/ldapdiscovery.h"
#include "platform/ldap/ldaptext.h"
#include "platform/platform.h"

#include <sasl/sasl.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <pwd.h>
#include <sys/time.h>
#include <unistd.h>

namespace {

// An unreachable or silent server must end the run, not hang it.
const timeval networktimeout = {5, 0};
const timeval operationtimeout = {10, 0};

bool startswith(const std::string& text, const char* prefix)
{
    return lower(text.substr(0, std::strlen(prefix))) == prefix;
}

std::string option(LDAP* ld, int which)
{
    char* value = nullptr;
    if (ldap_get_option(ld, which, &value) != LDAP_OPT_SUCCESS || !value)
        return std::string();
    std::string text = value;
    ldap_memfree(value);
    return text;
}

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

// A name without a "DOMAIN\" prefix and without an "@REALM" suffix.
std::string barename(std::string name)
{
    std::string::size_type cut = name.rfind('\\');
    if (cut != std::string::npos)
        name.erase(0, cut + 1);
    cut = name.find('@');
    if (cut != std::string::npos)
        name.erase(cut);
    return name;
}

std::string normalizeddn(const std::string& dn)
{
    char* normal = nullptr;
    if (ldap_dn_normalize(dn.c_str(), LDAP_DN_FORMAT_LDAP, &normal, LDAP_DN_FORMAT_LDAPV3) != LDAP_SUCCESS)
        return lower(dn);
    std::string result = normal ? lower(normal) : std::string();
    ldap_memfree(normal);
    return result;
}

} // namespace

std::vector<std::string> myldapentry::values(const std::string& name, const myldapschema* schema) const
{
    const std::string wanted = lower(schema ? schema->attributename(name) : name);
    std::vector<std::string> result;
    for (const auto& attribute : attributes) {
        // An attribute description may carry options ("userCertificate;binary").
        std::string type = attribute.first.substr(0, attribute.first.find(';'));
        if (lower(schema ? schema->attributename(type) : type) == wanted)
            result.insert(result.end(), attribute.second.begin(), attribute.second.end());
    }
    return result;
}

bool myldapsession::fail(int code)
{
    std::string text = ldap_err2string(code);
    if (ld) {
        const std::string detail = option(ld, LDAP_OPT_DIAGNOSTIC_MESSAGE);
        if (!detail.empty())
            text += ": " + detail;
    }
    return fail(code, text);
}

bool myldapsession::fail(int code, const std::string& text)
{
    platform::setlasterror(static_cast<std::uint32_t>(code), text.c_str());
    return false;
}

bool myldapsession::open()
{
    // Where nothing names the server, find the domain's controllers as a
    // joined workstation does; failing that, libldap's default stands.
    const std::string discovered = ldapunconfigured() ? discoverdirectory() : std::string();
    // LDAPURI is taken as libldap takes it, but handed over here so that a
    // URI it can't parse fails now instead of being passed over in silence.
    const char* initial = !discovered.empty() ? discovered.c_str() : std::getenv("LDAPURI");
    int result = ldap_initialize(&ld, initial && *initial ? initial : nullptr);
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
    uri = option(ld, LDAP_OPT_URI);
    return true;
}

void myldapsession::close()
{
    if (ld)
        ldap_unbind_ext_s(ld, nullptr, nullptr);
    ld = nullptr;
}

bool myldapsession::bind()
{
    // The configured mechanism, else the one that fits the transport: the
    // peer credentials on a local socket, the Kerberos ticket elsewhere.
    std::string mechanism = option(ld, LDAP_OPT_X_SASL_MECH);
    if (mechanism.empty())
        mechanism = startswith(uri, "ldapi://") ? "EXTERNAL" : "GSSAPI";
    int result = ldap_sasl_interactive_bind_s(ld, nullptr, mechanism.c_str(), nullptr, nullptr, LDAP_SASL_QUIET,
                                              nointeraction, nullptr);
    return result == LDAP_SUCCESS || fail(result);
}

namespace {

// Walks the attributes of an entry in place, without copying its values out
// of the answer: a subschema runs to megabytes.
template <typename visitor> void walkattributes(LDAP* ld, LDAPMessage* message, visitor&& visit)
{
    BerElement* position = nullptr;
    berval dn = {0, nullptr};
    if (ldap_get_dn_ber(ld, message, &position, &dn) != LDAP_SUCCESS) {
        ber_free(position, 0);
        return;
    }
    berval name = {0, nullptr};
    berval* values = nullptr;
    while (ldap_get_attribute_ber(ld, message, position, &name, &values) == LDAP_SUCCESS && name.bv_val) {
        visit(name, values);
        ber_memfree(values);
        values = nullptr;
    }
    ber_free(position, 0);
}

} // namespace

int myldapsession::search(const std::string& base, int scope, const std::string& filter,
                          std::vector<const char*> attributes, int sizelimit, std::vector<myldapentry>& found)
{
    return search(base, scope, filter, std::move(attributes), sizelimit, [&](LDAPMessage* message) {
        myldapentry entry;
        if (char* dn = ldap_get_dn(ld, message)) {
            entry.dn = dn;
            ldap_memfree(dn);
        }
        walkattributes(ld, message, [&](const berval& name, const berval* values) {
            std::vector<std::string> texts;
            for (const berval* value = values; value && value->bv_val; ++value)
                texts.emplace_back(value->bv_val, value->bv_len);
            entry.attributes.emplace_back(std::string(name.bv_val, name.bv_len), std::move(texts));
        });
        found.push_back(std::move(entry));
    });
}

int myldapsession::search(const std::string& base, int scope, const std::string& filter,
                          std::vector<const char*> attributes, int sizelimit,
                          const std::function<void(LDAPMessage*)>& onentry)
{
    attributes.push_back(nullptr);
    timeval timeout = operationtimeout;
    LDAPMessage* answer = nullptr;
    int result = ldap_search_ext_s(ld, base.c_str(), scope, filter.c_str(), const_cast<char**>(attributes.data()), 0,
                                   nullptr, nullptr, &timeout, sizelimit, &answer);
    for (LDAPMessage* message = ldap_first_entry(ld, answer); message; message = ldap_next_entry(ld, message))
        onentry(message);
    ldap_msgfree(answer);
    return result;
}

void myldapsession::readrootdse()
{
    std::vector<myldapentry> found;
    search("", LDAP_SCOPE_BASE, "(objectClass=*)", {"namingContexts", "defaultNamingContext", "subschemaSubentry"}, 0,
           found);
    if (found.empty())
        return;
    namingcontexts = found[0].values("namingContexts");
    std::vector<std::string> values = found[0].values("defaultNamingContext");
    defaultnamingcontext = values.empty() ? "" : values[0];
    values = found[0].values("subschemaSubentry");
    subschemasubentry = values.empty() ? "" : values[0];
}

bool myldapsession::innamingcontext(const std::string& dn) const
{
    const std::string normal = normalizeddn(dn);
    if (normal.empty())
        return false;
    for (const std::string& context : namingcontexts) {
        const std::string suffix = normalizeddn(context);
        if (suffix.empty() || normal == suffix)
            continue;
        if (normal.size() > suffix.size() + 1 && normal.compare(normal.size() - suffix.size(), suffix.size(), suffix) == 0 &&
            normal[normal.size() - suffix.size() - 1] == ',')
            return true;
    }
    return false;
}

std::string myldapsession::accountname(const std::string& whoami) const
{
    // An account name that "Who am I?" gave ("u:NAME", "u:DOMAIN\NAME"),
    // unless it is a SID.
    if (startswith(whoami, "u:")) {
        std::string name = barename(whoami.substr(2));
        if (!name.empty() && !startswith(name, "s-1-"))
            return name;
    }
    // The name the bind authenticated: a plain name or a Kerberos principal,
    // never an identity in DN form.
    std::string sasl = option(ld, LDAP_OPT_X_SASL_USERNAME);
    if (!sasl.empty() && sasl.find('=') == std::string::npos)
        return barename(sasl);
    // Last, the login name of whoever runs the program.
    if (const passwd* user = getpwuid(geteuid()))
        return barename(user->pw_name);
    return std::string();
}

bool myldapsession::finduser(std::string& dn, myldapentry& entry)
{
    if (!bind())
        return false;
    berval* identity = nullptr;
    std::string whoami;
    if (ldap_whoami_s(ld, &identity, nullptr, nullptr) == LDAP_SUCCESS && identity)
        whoami.assign(identity->bv_val, identity->bv_len);
    ber_bvfree(identity);
    readrootdse();

    if (startswith(whoami, "dn:") && innamingcontext(whoami.substr(3))) {
        dn = whoami.substr(3);
        return true;
    }

    const std::string account = accountname(whoami);
    if (account.empty())
        return fail(LDAP_NO_SUCH_OBJECT, "no account name to look up");
    std::string base = option(ld, LDAP_OPT_DEFBASE);
    if (base.empty())
        base = !defaultnamingcontext.empty() ? defaultnamingcontext
                                             : (namingcontexts.empty() ? std::string() : namingcontexts[0]);
    if (base.empty())
        return fail(LDAP_NO_SUCH_OBJECT, "no search base: the server names no naming context");

    berval raw = {account.size(), const_cast<char*>(account.data())};
    berval escaped = {0, nullptr};
    if (ldap_bv2escaped_filter_value(&raw, &escaped) != 0)
        return fail(LDAP_NO_MEMORY);
    const std::string value(escaped.bv_val, escaped.bv_len);
    ber_memfree(escaped.bv_val);

    std::vector<myldapentry> found;
    int result = search(base, LDAP_SCOPE_SUBTREE, "(|(sAMAccountName=" + value + ")(uid=" + value + "))",
                        {"*", "subschemaSubentry"}, 2, found);
    if (result != LDAP_SUCCESS && result != LDAP_SIZELIMIT_EXCEEDED)
        return fail(result);
    if (found.empty())
        return fail(LDAP_NO_RESULTS_RETURNED, "no directory entry for the account " + account + " under " + base);
    if (found.size() > 1 || result == LDAP_SIZELIMIT_EXCEEDED)
        return fail(LDAP_MORE_RESULTS_TO_RETURN,
                    "several directory entries for the account " + account + " under " + base);
    entry = std::move(found[0]);
    dn = entry.dn;
    return true;
}

bool myldapsession::readentry(const std::string& dn, myldapentry& entry)
{
    if (!entry.dn.empty() && entry.dn == dn)
        return true;
    std::vector<myldapentry> found;
    int result = search(dn, LDAP_SCOPE_BASE, "(objectClass=*)", {"*", "subschemaSubentry"}, 0, found);
    if (result != LDAP_SUCCESS)
        return fail(result);
    if (found.empty())
        return fail(LDAP_NO_SUCH_OBJECT);
    entry = std::move(found[0]);
    return true;
}

bool myldapsession::readschema(const myldapentry& entry, myldapschema& schema)
{
    std::vector<std::string> named = entry.values("subschemaSubentry");
    const std::string subentry = named.empty() ? subschemasubentry : named[0];
    if (subentry.empty())
        return fail(LDAP_NO_SUCH_OBJECT, "the server names no subschema subentry");
    bool found = false;
    std::string description;
    int result = search(subentry, LDAP_SCOPE_BASE, "(objectClass=*)",
                        {"attributeTypes", "objectClasses", "dITContentRules"}, 0, [&](LDAPMessage* message) {
                            found = true;
                            walkattributes(ld, message, [&](const berval& name, const berval* values) {
                                const std::string type = lower(std::string(name.bv_val, name.bv_len));
                                void (myldapschema::*add)(const char*) =
                                    type == "attributetypes"   ? &myldapschema::addattributetype
                                    : type == "objectclasses"  ? &myldapschema::addobjectclass
                                    : type == "ditcontentrules" ? &myldapschema::addcontentrule
                                                                : nullptr;
                                for (const berval* value = values; add && value && value->bv_val; ++value) {
                                    description.assign(value->bv_val, value->bv_len);
                                    (schema.*add)(description.c_str());
                                }
                            });
                        });
    if (result != LDAP_SUCCESS)
        return fail(result);
    if (!found)
        return fail(LDAP_NO_SUCH_OBJECT);
    return true;
}

std::string myldapsession::host() const
{
    // The first URI of the list; a local socket names no host.
    const std::string first = uri.substr(0, uri.find_first_of(" ,"));
    LDAPURLDesc* url = nullptr;
    if (startswith(first, "ldapi://") || ldap_url_parse(first.c_str(), &url) != LDAP_URL_SUCCESS)
        return std::string();
    std::string name = url->lud_host ? url->lud_host : "";
    ldap_free_urldesc(url);
    return name;
}
