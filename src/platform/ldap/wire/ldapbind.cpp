// Opening the connection: libldap started, the handle set up or adopted, the
// connect and the SASL bind. The requests are in ldapconnection.cpp.
#include "platform/ldap/wire/ldapconnection.h"

#include "log/mylog.h"
#include "platform/ldap/common/ldapfailure.h"
#include "platform/ldap/wire/ldapsasl.h"
#include "platform/ldap/common/ldaptext.h"

#include <openldap.h>
#include <sasl/sasl.h>
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>
#include <sys/time.h>

#include <cerrno>
#include <cstring>
#include <thread>

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
std::string uriof(const LDAPURLDesc* server)
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

} // namespace

void connection::start()
{
    // libldap reads its configuration once, as it first starts, and takes
    // "ldaprc" relative to the working directory: it starts from the root
    // directory instead, and the run goes back where it was.
    const int here = ::open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    const bool moved = ::chdir("/") == 0;
    int version = 0;
    ldap_get_option(nullptr, LDAP_OPT_PROTOCOL_VERSION, &version);
    if (moved && here >= 0 && ::fchdir(here) != 0)
        mylog.at(2) << "the working directory could not be entered again: " << std::strerror(errno) << logend;
    if (here >= 0)
        ::close(here);
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

status connection::open(const char* list)
{
    const int result = ldap_initialize(&ld, list);
    if (result != LDAP_SUCCESS) {
        ld = nullptr;
        return failcode(result);
    }
    configure(false);
    return status();
}

status connection::adopt(socketfd socket, const std::string& uri, bool located)
{
    const int result = ldap_init_fd(socket.get(), LDAP_PROTO_TCP, uri.c_str(), &ld);
    if (result != LDAP_SUCCESS) {
        ld = nullptr;
        return failcode(result);
    }
    socket.release(); // libldap's now
    configure(located);
    Sockbuf* adopted = nullptr;
    if (ldap_get_option(ld, LDAP_OPT_SOCKBUF, &adopted) == LDAP_OPT_SUCCESS && adopted)
        listen(adopted);
    connected = uri;
    connections = 1;
    return status();
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
            self->connected = uriof(server);
            self->listen(socket);
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

std::string connection::serveruri() const
{
    return connected.empty() ? uris.substr(0, uris.find_first_of(" ,")) : connected;
}

void connection::close()
{
    if (ld)
        ldap_unbind_ext_s(ld, nullptr, nullptr);
    ld = nullptr;
    connections = 0;
    lost = status();
}

status connection::connect()
{
    // libldap connects to a configured URI by itself, one attempt per server
    // of the list within the connect time-out. A server that didn't answer
    // in time is tried again after a pause, while the run's deadline allows:
    // in a logon storm its listen queue overflows and SYNs are dropped.
    for (int attempt = 1;; ++attempt) {
        const std::chrono::milliseconds attempting = wait.attempt();
        const timeval limit = totimeval(attempting);
        ldap_set_option(ld, LDAP_OPT_NETWORK_TIMEOUT, &limit);
        const auto began = waiting::clock::now();
        const int result = ldap_connect(ld);
        if (result == LDAP_SUCCESS)
            return status();
        const auto took = std::chrono::duration_cast<std::chrono::milliseconds>(waiting::clock::now() - began);
        const bool timedout = took + std::chrono::milliseconds(100) >= attempting;
        const std::chrono::milliseconds pause = wait.pause();
        if (!timedout || pause.count() == 0)
            return failserver(ld, result);
        mylog.at(2) << "connect attempt " << attempt << ": no answer within " << attempting.count()
                    << " ms; again in " << pause.count() << " ms" << logend;
        std::this_thread::sleep_for(pause);
    }
}

status connection::bind()
{
    std::string mechanism = option(LDAP_OPT_X_SASL_MECH);
    if (mechanism.empty())
        mechanism = lower(uris.substr(0, 8)) == "ldapi://" ? "EXTERNAL" : "GSSAPI";
    mylog.at(2) << "sasl mechanism = " << mechanism << logend;
    const status loaded = loadsasl(mechanism);
    if (!loaded.ok())
        return loaded;
    if (connections == 0) {
        const status connected = connect();
        if (!connected.ok())
            return connected;
    }
    // Each SASL step's answer is waited for as any other request's.
    // The mechanism in use and the step's message id carry from each step
    // to the next.
    LDAPMessage* answer = nullptr;
    const char* used = nullptr;
    int id = -1;
    int result = LDAP_SUCCESS;
    for (;;) {
        result = ldap_sasl_interactive_bind(ld, nullptr, mechanism.c_str(), nullptr, nullptr, LDAP_SASL_QUIET,
                                            nointeraction, nullptr, answer, &used, &id);
        ldap_msgfree(answer);
        answer = nullptr;
        if (result != LDAP_SASL_BIND_IN_PROGRESS)
            break;
        pending step = sent(LDAP_SUCCESS, id);
        const int type = next(step, answer);
        idof(step) = -1; // a bind is never abandoned
        if (type == -1)
            return whyof(step);
    }
    if (result != LDAP_SUCCESS)
        return failserver(ld, result);
    mylog.at(2) << "bound to " << option(LDAP_OPT_URI) << " as sasl user name " << option(LDAP_OPT_X_SASL_USERNAME)
                << logend;
    return status();
}

} // namespace openldap
