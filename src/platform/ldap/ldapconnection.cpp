#include "platform/ldap/ldapconnection.h"

#include "log/mylog.h"
#include "platform/ldap/ldapanswer.h"
#include "platform/ldap/common/ldapfailure.h"
#include "platform/ldap/ldapidentity.h"
#include "platform/ldap/common/ldaptext.h"

#include <openldap.h>
#include <dlfcn.h>
#include <sasl/sasl.h>
#include <sasl/saslplug.h>
#include <sys/socket.h>
#include <sys/time.h>

#include <algorithm>
#include <cstring>
#include <map>

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

// The SASL modules installed, by file name, with their paths: libsasl2
// names each to the file check while it starts, which admits none.
std::map<std::string, std::string>& saslmodules()
{
    static std::map<std::string, std::string> found;
    return found;
}

// Loads one SASL module as libsasl2's own loader would; false when it can't.
bool loadsaslmodule(const std::string& path)
{
    void* module = ::dlopen(path.c_str(), RTLD_NOW | RTLD_GLOBAL);
    auto* init = module ? reinterpret_cast<sasl_client_plug_init_t*>(::dlsym(module, "sasl_client_plug_init")) : nullptr;
    const std::string name = path.substr(path.rfind('/') + 1);
    return init && sasl_client_add_plugin(name.c_str(), init) == SASL_OK;
}

// The SASL module that serves a mechanism, by its file's name: "" for one
// built into libsasl2 (EXTERNAL), null for one not known here.
const char* saslmodule(const std::string& mechanism)
{
    static const std::pair<const char*, const char*> modules[] = {
        {"EXTERNAL", ""},           {"GSSAPI", "libgssapiv2.so"}, {"GSS-SPNEGO", "libgssapiv2.so"},
        {"GS2-KRB5", "libgs2.so"},  {"GS2-IAKERB", "libgs2.so"},  {"PLAIN", "libplain.so"},
        {"LOGIN", "liblogin.so"},   {"ANONYMOUS", "libanonymous.so"}, {"CRAM-MD5", "libcrammd5.so"},
        {"DIGEST-MD5", "libdigestmd5.so"}, {"NTLM", "libntlm.so"}, {"OTP", "libotp.so"},
        {"SCRAM-SHA-1", "libscram.so"}, {"SCRAM-SHA-256", "libscram.so"}};
    for (const auto& module : modules)
        if (mechanism == module.first)
            return module.second;
    return nullptr;
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

void connection::startsasl()
{
    using verifyfile = int (*)(void*, const char*, sasl_verify_type_t);
    static const verifyfile verify = [](void*, const char* file, sasl_verify_type_t type) {
        if (type != SASL_VRFY_PLUGIN)
            return SASL_OK;
        const char* name = std::strrchr(file, '/');
        saslmodules().emplace(name ? name + 1 : file, file);
        return SASL_CONTINUE;
    };
    // libsasl2 takes every callback as int (*)(void), through void (*)().
    static const sasl_callback_t callbacks[] = {
        {SASL_CB_VERIFYFILE, reinterpret_cast<int (*)()>(reinterpret_cast<void (*)()>(verify)), nullptr},
        {SASL_CB_LIST_END, nullptr, nullptr}};
    sasl_client_init(callbacks);
}

status connection::loadsasl(const std::string& mechanism)
{
    static bool loaded = false;
    if (loaded)
        return status();
    const char* needed = saslmodule(upper(mechanism));
    const auto& installed = saslmodules();
    if (!needed) { // a mechanism not known here: every module, as libsasl2 would
        for (const auto& module : installed)
            loadsaslmodule(module.second);
        loaded = true;
        return status();
    }
    if (!*needed) {
        loaded = true;
        return status();
    }
    const auto module = installed.find(needed);
    if (module == installed.end() || !loadsaslmodule(module->second))
        return failcode(LDAP_AUTH_UNKNOWN, "the SASL module for " + mechanism + " (" + needed +
                                               ") is not installed" +
                                               (std::string(needed) == "libgssapiv2.so"
                                                    ? " (Debian: libsasl2-modules-gssapi-mit)"
                                                    : ""));
    loaded = true;
    return status();
}

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

status connection::bind()
{
    std::string mechanism = option(LDAP_OPT_X_SASL_MECH);
    if (mechanism.empty())
        mechanism = lower(uris.substr(0, 8)) == "ldapi://" ? "EXTERNAL" : "GSSAPI";
    mylog.at(2) << "sasl mechanism = " << mechanism << logend;
    const status loaded = loadsasl(mechanism);
    if (!loaded.ok())
        return loaded;
    const int result = ldap_sasl_interactive_bind_s(ld, nullptr, mechanism.c_str(), nullptr, nullptr,
                                                    LDAP_SASL_QUIET, nointeraction, nullptr);
    if (result != LDAP_SUCCESS)
        return failserver(ld, result);
    mylog.at(2) << "bound to " << option(LDAP_OPT_URI) << " as sasl user name " << option(LDAP_OPT_X_SASL_USERNAME)
                << logend;
    return status();
}

} // namespace openldap
