#include "platform/ldap/ldapconnection.h"

#include "log/mylog.h"
#include "platform/ldap/ldapanswer.h"
#include "platform/ldap/common/ldapfailure.h"
#include "platform/ldap/ldapidentity.h"
#include "platform/ldap/ldapsasl.h"
#include "platform/ldap/common/ldaptext.h"

#include <openldap.h>
#include <sasl/sasl.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>
#include <sys/time.h>

#include <algorithm>
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

status connection::adopt(socketfd socket, const std::string& uri)
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
    lost = status();
}

status connection::standing()
{
    ber_socket_t socket = -1;
    if (lost.ok() &&
        (ldap_get_option(ld, LDAP_OPT_DESC, &socket) != LDAP_OPT_SUCCESS || socket < 0 || connections != 1))
        lose(LDAP_SERVER_DOWN, std::string());
    return lost;
}

status connection::lose(int code, const std::string& detail)
{
    if (lost.ok()) {
        lost = failcode(code, detail);
        mylog.at(2) << "connection lost: " << ldap_err2string(code) << (detail.empty() ? "" : ": ") << detail
                    << logend;
    }
    return lost;
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
        step.id = -1; // a bind is never abandoned
        if (type == -1)
            return step.why;
    }
    if (result != LDAP_SUCCESS)
        return failserver(ld, result);
    mylog.at(2) << "bound to " << option(LDAP_OPT_URI) << " as sasl user name " << option(LDAP_OPT_X_SASL_USERNAME)
                << logend;
    return status();
}

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
    int id = -1;
    // No time limit for the server: how long the run waits is its own.
    const int result = ldap_search_ext(ld, base.c_str(), scope, filter.c_str(), const_cast<char**>(names.data()),
                                       0, nullptr, nullptr, nullptr, sizelimit, &id);
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

std::chrono::milliseconds connection::silentfor(const pending& request) const
{
    const auto now = waiting::clock::now();
    auto silent = std::chrono::duration_cast<std::chrono::milliseconds>(now - std::max(request.sent, heard));
    // Bytes of an answer not yet whole count too (a large one on a slow
    // link): the kernel knows when data last came.
    ber_socket_t socket = -1;
    tcp_info info{};
    socklen_t length = sizeof info;
    if (ldap_get_option(ld, LDAP_OPT_DESC, &socket) == LDAP_OPT_SUCCESS && socket >= 0 &&
        ::getsockopt(socket, IPPROTO_TCP, TCP_INFO, &info, &length) == 0 && length >= sizeof info)
        silent = std::min(silent, std::chrono::milliseconds(info.tcpi_last_data_recv));
    return silent;
}

int connection::next(pending& request, LDAPMessage*& answer)
{
    if (!request.why.ok() || request.id < 0)
        return -1;
    if (!lost.ok()) {
        request.why = lost;
        return -1;
    }
    int type = 0;
    for (;;) {
        // The deadline, and the silence allowed since the server was last
        // heard from.
        std::chrono::milliseconds limit = wait.left();
        if (wait.silencelimited())
            limit = std::min(limit, wait.silence() - silentfor(request));
        if (limit.count() <= 0) {
            request.abandon();
            request.why = failserver(ld, LDAP_TIMEOUT);
            return -1;
        }
        timeval left = totimeval(limit);
        type = ldap_result(ld, request.id, LDAP_MSG_ONE, &left, &answer);
        if (type != 0)
            break;
    }
    if (type != -1) {
        heard = waiting::clock::now();
        return type;
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
