// The connection's requests: each sent at once, its answer waited for when
// it is finished (ldapwire.h). Opening and binding are in ldapbind.cpp.
#include "platform/ldap/wire/ldapconnection.h"

#include "log/mylog.h"
#include "platform/ldap/common/ldapfailure.h"

#include <algorithm>

namespace openldap {

namespace {

int scopeof(searchrequest::scope depth)
{
    switch (depth) {
    case searchrequest::scope::onelevel:
        return LDAP_SCOPE_ONELEVEL;
    case searchrequest::scope::subtree:
        return LDAP_SCOPE_SUBTREE;
    default:
        return LDAP_SCOPE_BASE;
    }
}

// A socket layer right above the one that reads the descriptor, marking
// when bytes came: a long answer on a slow link, or from a server that
// sends it slowly, is heard from while it comes, over TCP and a local
// socket alike.
Sockbuf_IO listening = {
    [](Sockbuf_IO_Desc* layer, void* owner) {
        layer->sbiod_pvt = owner;
        return 0;
    },
    [](Sockbuf_IO_Desc*) { return 0; },
    [](Sockbuf_IO_Desc* layer, int option, void* argument) { return LBER_SBIOD_CTRL_NEXT(layer, option, argument); },
    [](Sockbuf_IO_Desc* layer, void* buffer, ber_len_t length) -> ber_slen_t {
        const ber_slen_t read = LBER_SBIOD_READ_NEXT(layer, buffer, length);
        if (read > 0)
            *static_cast<wire::clock::time_point*>(layer->sbiod_pvt) = wire::clock::now();
        return read;
    },
    [](Sockbuf_IO_Desc* layer, void* buffer, ber_len_t length) -> ber_slen_t {
        return LBER_SBIOD_WRITE_NEXT(layer, buffer, length);
    },
    [](Sockbuf_IO_Desc*) { return 0; },
};

} // namespace

void connection::listen(Sockbuf* socket)
{
    ber_sockbuf_add_io(socket, &listening, LBER_SBIOD_LEVEL_PROVIDER + 1, &lastbyte);
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

void connection::abandon(int id)
{
    // Over a lost connection nothing is sent: libldap would open a new one.
    if (ld && lost.ok())
        ldap_abandon_ext(ld, id, nullptr, nullptr);
}

connection::pending connection::sent(int result, int id)
{
    if (result == LDAP_SUCCESS)
        return made(id, status());
    // A request that never went out for a lost connection keeps that cause.
    return made(-1, lost.ok() ? failserver(ld, result) : lost);
}

connection::pending connection::send(const searchrequest& request)
{
    static const char* const scopes[] = {"base", "one level", "subtree"};
    mylog.at(2) << "search \"" << request.base << "\" scope " << scopes[static_cast<int>(request.depth)]
                << " filter " << request.filter << logend;
    if (!standing().ok())
        return sent(LDAP_SERVER_DOWN, -1);
    std::vector<char*> names;
    for (const std::string& name : request.attributes)
        names.push_back(const_cast<char*>(name.c_str()));
    names.push_back(nullptr);
    int id = -1;
    // No time limit for the server: how long the run waits is its own.
    const int result = ldap_search_ext(ld, request.base.c_str(), scopeof(request.depth), request.filter.c_str(),
                                       names.data(), 0, nullptr, nullptr, nullptr, request.sizelimit, &id);
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
    // Bytes of an answer not yet whole count too (listening above).
    const auto last = std::max({request.senttime(), heard, lastbyte});
    return std::chrono::duration_cast<std::chrono::milliseconds>(wire::clock::now() - last);
}

int connection::next(pending& request, LDAPMessage*& answer)
{
    status& why = whyof(request);
    if (!why.ok() || idof(request) < 0)
        return -1;
    if (!lost.ok()) {
        why = lost;
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
            why = failserver(ld, LDAP_TIMEOUT);
            return -1;
        }
        timeval left = totimeval(limit);
        type = ldap_result(ld, idof(request), LDAP_MSG_ONE, &left, &answer);
        if (type != 0)
            break;
    }
    if (type != -1) {
        heard = wire::clock::now();
        return type;
    }
    // None at all: whatever went wrong, this connection is done with.
    int code = LDAP_SERVER_DOWN;
    ldap_get_option(ld, LDAP_OPT_RESULT_CODE, &code);
    // libldap reports a notice of disconnection as a failed read carrying the
    // notice's result code, which only a server sends (not negative).
    why = lose(code < 0 ? code : LDAP_SERVER_DOWN, code > 0 ? "the server sent a notice of disconnection (" + std::to_string(code) + " = " +
                                        ldap_err2string(code) + ")"
                                  : std::string());
    idof(request) = -1;
    return -1;
}

status connection::answers(pending& request, const std::function<bool(message&)>& onentry)
{
    for (;;) {
        LDAPMessage* raw = nullptr;
        const int type = next(request, raw);
        message answer(raw);
        if (type == -1)
            return whyof(request);
        if (type == LDAP_RES_SEARCH_RESULT) {
            idof(request) = -1;
            const int result = resultof(ld, answer.get());
            if (result != LDAP_SUCCESS)
                whyof(request) = failserver(ld, result);
            return whyof(request);
        }
        if (type == LDAP_RES_SEARCH_ENTRY && !onentry(answer)) {
            request.abandon();
            return status();
        }
    }
}

status connection::finish(pending& request, const std::function<bool(entry&&)>& take)
{
    return answers(request, [&](message& answer) { return take(toentry(ld, answer.get())); });
}

status connection::finishinplace(pending& request, const std::function<bool(inplaceentry&&)>& take)
{
    return answers(request, [&](message& answer) { return take(readinplace(ld, std::move(answer))); });
}

std::string connection::finishwhoami(pending& request)
{
    LDAPMessage* raw = nullptr;
    const int type = next(request, raw);
    message answer(raw);
    idof(request) = -1;
    berval* identity = nullptr;
    int result = type == -1 ? static_cast<int>(whyof(request).code()) : LDAP_OTHER;
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

} // namespace openldap
