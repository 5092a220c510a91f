#include "platform/ldap/ldapconnection.h"

#include "platform/ldap/ldapdiscovery.h"
#include "platform/ldap/ldapidentity.h"
#include "platform/ldap/ldaplocator.h"
#include "platform/ldap/ldapschema.h"
#include "platform/ldap/ldaptext.h"
#include "log/mylog.h"
#include "platform/platform.h"

#include <openldap.h>
#include <sasl/sasl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <sys/time.h>

namespace openldap {

namespace {

// An unreachable or silent server must end the run, not hang it: where
// nothing configures time-outs, these apply.
const timeval defaultnetworktimeout = {5, 0};
const timeval defaultrequesttimeout = {10, 0};
// Finding a server with nothing configured: the most it may take, and the
// longest wait for a controller to say which site the client is in.
const std::chrono::milliseconds maxlocating{10000}, maxpingwait{1000};
// The largest single message taken from a server: ten times the largest
// subschema seen in practice. A server that sends more is refused rather
// than allowed to fill memory.
const ber_len_t maxanswer = 64 * 1024 * 1024;

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

// One answer's attributes, read in place one after the other: a subschema
// runs to megabytes, and is never copied whole.
class attributereader {
public:
    attributereader(LDAP* ld, LDAPMessage* answer) : ld(ld), answer(answer)
    {
        BerElement* start = nullptr;
        berval dn = {0, nullptr};
        if (ldap_get_dn_ber(ld, answer, &start, &dn) == LDAP_SUCCESS)
            position.reset(start);
        else
            ber_free(start, 0);
    }
    attributereader(const attributereader&) = delete;
    attributereader& operator=(const attributereader&) = delete;
    ~attributereader() { ber_memfree(values); }

    // Moves to the next attribute; false after the last.
    bool next()
    {
        ber_memfree(values);
        values = nullptr;
        return position &&
               ldap_get_attribute_ber(ld, answer, position.get(), &name, &values) == LDAP_SUCCESS && name.bv_val;
    }
    std::string type() const { return std::string(name.bv_val, name.bv_len); }
    // The current attribute's values, ending at a null one.
    const berval* first() const { return values; }

private:
    LDAP* ld;
    LDAPMessage* answer;
    berposition position;
    berval name = {0, nullptr};
    berval* values = nullptr;
};

entry toentry(LDAP* ld, LDAPMessage* answer)
{
    entry result;
    if (char* dn = ldap_get_dn(ld, answer)) {
        result.dn = dn;
        ldap_memfree(dn);
    }
    attributereader attributes(ld, answer);
    while (attributes.next()) {
        std::vector<std::string> texts;
        for (const berval* value = attributes.first(); value && value->bv_val; ++value)
            texts.emplace_back(value->bv_val, value->bv_len);
        result.attributes.emplace_back(attributes.type(), std::move(texts));
    }
    return result;
}

// The subschema's descriptions, indexed where they stand in the answer,
// which the schema then keeps: a subschema runs to megabytes, and a copy of
// it would double what the run holds.
void adddescriptions(LDAP* ld, message answer, schema& into)
{
    attributereader attributes(ld, answer.get());
    while (attributes.next()) {
        const std::string type = lower(attributes.type());
        for (const berval* value = attributes.first(); value && value->bv_val; ++value)
            into.addinplace(type, std::string_view(value->bv_val, value->bv_len));
    }
    into.keep(std::shared_ptr<LDAPMessage>(answer.release(), messagefree()));
}

std::string dnof(LDAP* ld, LDAPMessage* answer)
{
    char* dn = ldap_get_dn(ld, answer);
    std::string result = dn ? dn : "";
    ldap_memfree(dn);
    return result;
}

std::chrono::milliseconds milliseconds(const timeval& span)
{
    return std::chrono::milliseconds(span.tv_sec * 1000 + span.tv_usec / 1000);
}

// A server of a URI list as a URI of its own: scheme, host and port.
std::string serveruri(const LDAPURLDesc* server)
{
    if (!server)
        return std::string();
    LDAPURLDesc alone{};
    alone.lud_scheme = server->lud_scheme;
    alone.lud_host = server->lud_host;
    alone.lud_port = server->lud_port;
    alone.lud_scope = LDAP_SCOPE_DEFAULT;
    char* text = ldap_url_desc2str(&alone);
    std::string uri = text ? text : "";
    ldap_memfree(text);
    // No trailing "/": the URI as one would write it.
    if (!uri.empty() && uri.back() == '/')
        uri.pop_back();
    return uri;
}

std::string seconds(const timeval& span)
{
    std::string text = std::to_string(span.tv_sec);
    if (span.tv_usec)
        text += "." + std::to_string(span.tv_usec / 100000);
    return text;
}

// The time-out that ldap.conf, ~/.ldaprc or the environment configured for
// `which`, as ldapsearch takes it; where none did, `fallback`, now set.
timeval timeout(LDAP* ld, int which, timeval fallback, const char* what)
{
    timeval* configured = nullptr;
    timeval result = fallback;
    const bool set = ldap_get_option(ld, which, &configured) == LDAP_OPT_SUCCESS && configured &&
                     (configured->tv_sec > 0 || configured->tv_usec > 0);
    if (set)
        result = *configured;
    else
        ldap_set_option(ld, which, &fallback);
    ldap_memfree(configured);
    mylog.at(2) << what << " time-out " << seconds(result) << " s" << (set ? " (configured)" : " (default)")
                << logend;
    return result;
}

} // namespace

bool fail(int code, const std::string& text)
{
    platform::setlasterror(static_cast<std::uint32_t>(code), text.c_str());
    return false;
}

int connection::failed(int code) const
{
    fail(code);
    return code;
}

bool connection::standing()
{
    ber_socket_t socket = -1;
    if (lost.empty() &&
        (ldap_get_option(ld, LDAP_OPT_DESC, &socket) != LDAP_OPT_SUCCESS || socket < 0 || connections != 1))
        lose(LDAP_SERVER_DOWN, ldap_err2string(LDAP_SERVER_DOWN));
    return lost.empty() || openldap::fail(lostcode, lost);
}

void connection::lose(int code, const std::string& why)
{
    if (lost.empty()) {
        lostcode = code;
        lost = why;
        mylog.at(2) << "connection lost: " << lost << logend;
    }
    openldap::fail(lostcode, lost);
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
    connected.clear();
    // Settled once, for every handle made from here on.
    networktimeout = timeout(nullptr, LDAP_OPT_NETWORK_TIMEOUT, defaultnetworktimeout, "connect");
    requesttimeout = timeout(nullptr, LDAP_OPT_TIMEOUT, defaultrequesttimeout, "request");
    // Where nothing names the server, find the domain's controllers as a
    // joined workstation does; with no domain to look in, libldap's default
    // stands.
    if (ldapunconfigured()) {
        // Enough to pass over one silent controller, and no more than a
        // logon script can wait.
        const auto connect = milliseconds(networktimeout);
        locator find(std::min(2 * connect, maxlocating), std::min(connect, maxpingwait));
        if (find.start())
            return openlocated(find);
    }
    // LDAPURI is taken as libldap takes it, but handed over here so that a
    // URI it can't parse fails now instead of being passed over in silence.
    const char* configured = std::getenv("LDAPURI");
    return setup(configured && *configured ? configured : nullptr, false);
}

bool connection::setup(const char* uri, bool located)
{
    const int result = ldap_initialize(&ld, uri);
    if (result != LDAP_SUCCESS) {
        ld = nullptr;
        return fail(result);
    }
    configure(located);
    return true;
}

void connection::configure(bool located)
{
    uris = option(LDAP_OPT_URI);
    mylog.at(2) << "directory uri = " << uris << (located ? " (found in DNS)" : "") << logend;
    const int version = LDAP_VERSION3;
    ldap_set_option(ld, LDAP_OPT_PROTOCOL_VERSION, &version);
    // Active Directory answers a search of the domain with references to its
    // other partitions; following them means look-ups and binds elsewhere.
    ldap_set_option(ld, LDAP_OPT_REFERRALS, LDAP_OPT_OFF);
    Sockbuf* socket = nullptr;
    if (ldap_get_option(ld, LDAP_OPT_SOCKBUF, &socket) == LDAP_OPT_SUCCESS && socket) {
        ber_len_t largest = maxanswer;
        ber_sockbuf_ctrl(socket, LBER_SB_OPT_SET_MAX_INCOMING, &largest);
    }
    // A name from an SRV record is the server's own: no reverse look-up to
    // "canonicalise" it for the Kerberos service principal.
    if (located)
        ldap_set_option(ld, LDAP_OPT_X_SASL_NOCANON, LDAP_OPT_ON);
    // Told which server of a list libldap connects to, and of any second
    // connection: one that libldap opens by itself after the first is gone
    // is shut at once, so that nothing goes out over it unbound.
    callbacks.lc_add = [](LDAP*, Sockbuf* socket, LDAPURLDesc* server, sockaddr*, ldap_conncb* context) {
        auto* self = static_cast<connection*>(context->lc_arg);
        if (++self->connections == 1) {
            self->connected = serveruri(server);
            return 0;
        }
        ber_socket_t fd = -1;
        if (ber_sockbuf_ctrl(socket, LBER_SB_OPT_GET_FD, &fd) == 1 && fd >= 0)
            ::shutdown(fd, SHUT_RDWR);
        self->lose(LDAP_SERVER_DOWN, std::string(ldap_err2string(LDAP_SERVER_DOWN)) +
                                         ": libldap opened a second connection");
        return -1;
    };
    callbacks.lc_del = [](LDAP*, Sockbuf*, ldap_conncb*) {};
    callbacks.lc_arg = this;
    ldap_set_option(ld, LDAP_OPT_CONNECT_CB, &callbacks);
}

bool connection::openlocated(locator& find)
{
    for (std::string hostport; find.next(hostport);) {
        // Connected here, so that each attempt has its share of the budget
        // and says exactly why it failed.
        const std::size_t colon = hostport.rfind(':');
        const unsigned port = static_cast<unsigned>(std::stoul(hostport.substr(colon + 1)));
        std::string why;
        const int fd = tcpconnect(hostport.substr(0, colon), port,
                                  std::min(milliseconds(networktimeout), find.time().left()), why);
        const std::string uri = "ldap://" + hostport;
        if (fd >= 0) {
            const int result = ldap_init_fd(fd, LDAP_PROTO_TCP, uri.c_str(), &ld);
            if (result == LDAP_SUCCESS) {
                mylog.at(2) << "controller " << hostport << ": connected" << logend;
                configure(true);
                connected = uri;
                connections = 1;
                return true;
            }
            ld = nullptr;
            ::close(fd);
            why = ldap_err2string(result);
        }
        mylog.at(2) << "controller " << hostport << ": " << why << logend;
        find.failed(hostport, why);
    }
    return openldap::fail(LDAP_SERVER_DOWN, std::string(ldap_err2string(LDAP_SERVER_DOWN)) + ": " + find.failure());
}

std::string connection::connecteduri() const
{
    return connected.empty() ? uris.substr(0, uris.find_first_of(" ,")) : connected;
}

void connection::close()
{
    if (ld)
        ldap_unbind_ext_s(ld, nullptr, nullptr);
    ld = nullptr;
    connections = 0;
    lost.clear();
}

bool connection::bind()
{
    std::string mechanism = option(LDAP_OPT_X_SASL_MECH);
    if (mechanism.empty())
        mechanism = lower(uris.substr(0, 8)) == "ldapi://" ? "EXTERNAL" : "GSSAPI";
    mylog.at(2) << "sasl mechanism = " << mechanism << logend;
    const int result = ldap_sasl_interactive_bind_s(ld, nullptr, mechanism.c_str(), nullptr, nullptr,
                                                    LDAP_SASL_QUIET, nointeraction, nullptr);
    if (result != LDAP_SUCCESS)
        return fail(result);
    mylog.at(2) << "bound to " << option(LDAP_OPT_URI) << " as sasl user name " << option(LDAP_OPT_X_SASL_USERNAME)
                << logend;
    return true;
}

connection::pending connection::sendsearch(const std::string& base, int scope, const std::string& filter,
                                           const std::vector<const char*>& attributes, int sizelimit)
{
    static const char* const scopes[] = {"base", "one level", "subtree"};
    mylog.at(2) << "search \"" << base << "\" scope " << (scope >= 0 && scope <= 2 ? scopes[scope] : "?")
                << " filter " << filter << logend;
    std::vector<const char*> names = attributes;
    names.push_back(nullptr);
    timeval limit = requesttimeout;
    pending sent;
    if (!standing()) {
        sent.result = lostcode;
        return sent;
    }
    sent.result = ldap_search_ext(ld, base.c_str(), scope, filter.c_str(), const_cast<char**>(names.data()), 0,
                                  nullptr, nullptr, &limit, sizelimit, &sent.id);
    if (sent.result != LDAP_SUCCESS)
        failed(sent.result);
    return sent;
}

connection::pending connection::sendwhoami()
{
    pending sent;
    if (!standing()) {
        sent.result = lostcode;
        return sent;
    }
    sent.result = ldap_extended_operation(ld, LDAP_EXOP_WHO_AM_I, nullptr, nullptr, nullptr, &sent.id);
    return sent;
}

int connection::next(pending& request, LDAPMessage*& answer)
{
    if (request.result != LDAP_SUCCESS || request.id < 0)
        return -1;
    if (!lost.empty()) {
        request.result = lostcode;
        openldap::fail(lostcode, lost);
        return -1;
    }
    const auto deadline = request.sent + std::chrono::seconds(requesttimeout.tv_sec) +
                          std::chrono::microseconds(requesttimeout.tv_usec);
    const auto left = std::max<long long>(
        std::chrono::duration_cast<std::chrono::microseconds>(deadline - std::chrono::steady_clock::now()).count(), 0);
    timeval wait = {static_cast<time_t>(left / 1000000), static_cast<suseconds_t>(left % 1000000)};
    const int type = ldap_result(ld, request.id, LDAP_MSG_ONE, &wait, &answer);
    if (type != 0 && type != -1)
        return type;
    // No answer in time, or none at all (the connection is gone).
    if (type == 0) {
        ldap_abandon_ext(ld, request.id, nullptr, nullptr);
        request.result = LDAP_TIMEOUT;
        failed(request.result);
        return -1;
    }
    // None at all: whatever went wrong, this connection is done with.
    int code = LDAP_SERVER_DOWN;
    ldap_get_option(ld, LDAP_OPT_RESULT_CODE, &code);
    request.result = code < 0 ? code : LDAP_SERVER_DOWN;
    std::string why = ldap_err2string(request.result);
    // libldap reports a notice of disconnection as a failed read carrying the
    // notice's result code, which only a server sends (not negative).
    if (code > 0)
        why += ": the server sent a notice of disconnection (" + std::to_string(code) + " = " +
               ldap_err2string(code) + ")";
    lose(request.result, why);
    return -1;
}

int connection::finish(pending& request, const std::function<bool(LDAPMessage*)>& onentry)
{
    for (;;) {
        LDAPMessage* raw = nullptr;
        const int type = next(request, raw);
        message answer(raw);
        if (type == -1)
            return request.result;
        if (type == LDAP_RES_SEARCH_RESULT) {
            int result = LDAP_SUCCESS;
            const int parsed = ldap_parse_result(ld, answer.get(), &result, nullptr, nullptr, nullptr, nullptr, 0);
            request.result = parsed != LDAP_SUCCESS ? parsed : result;
            request.id = -1;
            return request.result == LDAP_SUCCESS ? request.result : failed(request.result);
        }
        if (type == LDAP_RES_SEARCH_ENTRY && !onentry(answer.get())) {
            if (lost.empty())
                ldap_abandon_ext(ld, request.id, nullptr, nullptr);
            request.id = -1;
            return LDAP_SUCCESS;
        }
    }
}

void connection::abandon(pending& request)
{
    if (request.id >= 0 && request.result == LDAP_SUCCESS && lost.empty())
        ldap_abandon_ext(ld, request.id, nullptr, nullptr);
    request = pending();
    request.result = LDAP_OTHER;
}

std::string connection::finishwhoami(pending& request)
{
    LDAPMessage* raw = nullptr;
    const int type = next(request, raw);
    message answer(raw);
    request.id = -1;
    berval* identity = nullptr;
    int result = request.result;
    if (type == LDAP_RES_EXTENDED && ldap_parse_result(ld, answer.get(), &result, nullptr, nullptr, nullptr,
                                                       nullptr, 0) == LDAP_SUCCESS && result == LDAP_SUCCESS)
        result = ldap_parse_whoami(ld, answer.get(), &identity);
    std::string text = identity && identity->bv_val ? std::string(identity->bv_val, identity->bv_len) : "";
    ber_bvfree(identity);
    if (result == LDAP_SUCCESS && type == LDAP_RES_EXTENDED)
        mylog.at(2) << "who am i = " << text << logend;
    else
        mylog.at(2) << "who am i: no answer (" << ldap_err2string(type == -1 ? request.result : result) << ")"
                    << logend;
    return text;
}

int connection::finishsearch(pending& request, const std::function<bool(entry&&)>& take)
{
    std::size_t count = 0;
    const int result = finish(request, [&](LDAPMessage* answer) {
        ++count;
        return take(toentry(ld, answer));
    });
    mylog.at(2) << "search found " << count << (count == 1 ? " entry" : " entries") << logend;
    return result;
}

int connection::search(const std::string& base, int scope, const std::string& filter,
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

bool connection::finishread(pending& request, const std::string& dn, entry& found)
{
    bool named = false;
    const int result = finish(request, [&](LDAPMessage* answer) {
        named = samedn(dnof(ld, answer), dn);
        if (named)
            found = toentry(ld, answer);
        return !named;
    });
    if (result != LDAP_SUCCESS)
        return false;
    if (!named)
        return openldap::fail(LDAP_NO_SUCH_OBJECT, "the server sent no entry named " + dn);
    return true;
}

const std::vector<const char*> connection::rootattributes = {
    "namingContexts", "defaultNamingContext", "configurationNamingContext", "schemaNamingContext",
    "subschemaSubentry"};

void connection::readroot(const entry& found, rootdse& root)
{
    root.namingcontexts = found.values("namingContexts");
    root.defaultnamingcontext = found.first("defaultNamingContext");
    root.configurationnamingcontext = found.first("configurationNamingContext");
    root.schemanamingcontext = found.first("schemaNamingContext");
    root.subschemasubentry = found.first("subschemaSubentry");
}

connection::pending connection::sendsubschema(const std::string& dn)
{
    mylog.at(2) << "reading the subschema entry " << dn << logend;
    return sendsearch(dn, LDAP_SCOPE_BASE, "(objectClass=*)", {"attributeTypes", "objectClasses", "dITContentRules"},
                      0);
}

bool connection::finishsubschema(pending& request, const std::string& dn, schema& into)
{
    message entry;
    LDAPMessage* raw = nullptr;
    for (int type; (type = next(request, raw)) != -1; raw = nullptr) {
        message answer(raw);
        if (type == LDAP_RES_SEARCH_ENTRY && !entry && samedn(dnof(ld, answer.get()), dn))
            entry = std::move(answer); // held: the schema reads it in place
        if (type != LDAP_RES_SEARCH_RESULT)
            continue;
        int result = LDAP_SUCCESS;
        const int parsed = ldap_parse_result(ld, answer.get(), &result, nullptr, nullptr, nullptr, nullptr, 0);
        request.id = -1;
        request.result = parsed != LDAP_SUCCESS ? parsed : result;
        if (request.result != LDAP_SUCCESS)
            return fail(request.result);
        if (!entry)
            return openldap::fail(LDAP_NO_SUCH_OBJECT, "the server sent no subschema entry " + dn);
        adddescriptions(ld, std::move(entry), into);
        return true;
    }
    return false;
}

} // namespace openldap
