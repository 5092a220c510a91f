#include "platform/ldap/ldapconnection.h"

#include "log/mylog.h"
#include "platform/ldap/ldapanswer.h"
#include "platform/ldap/ldapfailure.h"
#include "platform/ldap/ldapidentity.h"
#include "platform/ldap/ldaptext.h"
#include "platform/ldap/schema/ldapschema.h"

#include <openldap.h>
#include <sasl/sasl.h>
#include <sys/socket.h>
#include <sys/time.h>

#include <algorithm>
#include <cstring>

namespace openldap {

namespace {

// The largest single message taken from a server: ten times the largest
// subschema seen in practice. A server that sends more is refused rather
// than allowed to fill memory.
const ber_len_t maxanswer = 64 * 1024 * 1024;

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
timeval timeout(int which, std::chrono::milliseconds fallback, const char* what)
{
    timeval* configured = nullptr;
    timeval result = connection::totimeval(fallback);
    const bool set = ldap_get_option(nullptr, which, &configured) == LDAP_OPT_SUCCESS && configured &&
                     (configured->tv_sec > 0 || configured->tv_usec > 0);
    if (set)
        result = *configured;
    else
        ldap_set_option(nullptr, which, &result);
    ldap_memfree(configured);
    mylog.at(2) << what << " time-out " << seconds(result) << " s" << (set ? " (configured)" : " (default)")
                << logend;
    return result;
}

} // namespace

timeval connection::totimeval(std::chrono::milliseconds span)
{
    return {static_cast<time_t>(span.count() / 1000), static_cast<suseconds_t>(span.count() % 1000 * 1000)};
}

std::chrono::milliseconds connection::milliseconds(const timeval& span)
{
    return std::chrono::milliseconds(span.tv_sec * 1000 + span.tv_usec / 1000);
}

constexpr std::chrono::milliseconds connection::defaultconnecttimeout, connection::defaultrequesttimeout;

void connection::readtimeouts()
{
    networktimeout = timeout(LDAP_OPT_NETWORK_TIMEOUT, defaultconnecttimeout, "connect");
    requesttimeout = timeout(LDAP_OPT_TIMEOUT, defaultrequesttimeout, "request");
}

std::chrono::milliseconds connection::connecttimeout() const
{
    return milliseconds(networktimeout);
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

bool connection::open(const char* list)
{
    const int result = ldap_initialize(&ld, list);
    if (result != LDAP_SUCCESS) {
        ld = nullptr;
        return failcode(result);
    }
    configure(false);
    return true;
}

bool connection::adopt(socketfd socket, const std::string& uri)
{
    const int result = ldap_init_fd(socket.get(), LDAP_PROTO_TCP, uri.c_str(), &ld);
    if (result != LDAP_SUCCESS) {
        ld = nullptr;
        return failcode(result);
    }
    socket.release(); // libldap's now
    configure(true);
    connected = uri;
    connections = 1;
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
        self->lose(LDAP_SERVER_DOWN, "libldap opened a second connection");
        return -1;
    };
    callbacks.lc_del = [](LDAP*, Sockbuf*, ldap_conncb*) {};
    callbacks.lc_arg = this;
    ldap_set_option(ld, LDAP_OPT_CONNECT_CB, &callbacks);
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
    lostcode = LDAP_SUCCESS;
    lostdetail.clear();
}

int connection::report(int code) const
{
    failserver(ld, code);
    return code;
}

bool connection::standing()
{
    ber_socket_t socket = -1;
    if (lostcode == LDAP_SUCCESS &&
        (ldap_get_option(ld, LDAP_OPT_DESC, &socket) != LDAP_OPT_SUCCESS || socket < 0 || connections != 1))
        lose(LDAP_SERVER_DOWN, std::string());
    return lostcode == LDAP_SUCCESS || failcode(lostcode, lostdetail);
}

void connection::lose(int code, const std::string& detail)
{
    if (lostcode == LDAP_SUCCESS) {
        lostcode = code;
        lostdetail = detail;
        mylog.at(2) << "connection lost: " << ldap_err2string(code) << (detail.empty() ? "" : ": ") << detail
                    << logend;
    }
    failcode(lostcode, lostdetail);
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
        return failserver(ld, result);
    mylog.at(2) << "bound to " << option(LDAP_OPT_URI) << " as sasl user name " << option(LDAP_OPT_X_SASL_USERNAME)
                << logend;
    return true;
}

} // namespace openldap
