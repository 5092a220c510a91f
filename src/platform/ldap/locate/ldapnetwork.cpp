#include "platform/ldap/locate/ldapnetwork.h"

#include "platform/ldap/common/ldapsocket.h"

#include <algorithm>
#include <arpa/nameser.h>
#include <cstring>
#include <memory>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <resolv.h>
#include <sys/socket.h>

namespace openldap {

namespace {

std::string numeric(const sockaddr* address, socklen_t length)
{
    char host[NI_MAXHOST] = {};
    return getnameinfo(address, length, host, sizeof host, nullptr, 0, NI_NUMERICHOST) == 0 ? host : "";
}

} // namespace

locateenv::dnsresult querysrv(const std::string& name, std::chrono::milliseconds wait, std::vector<srvtarget>& found,
                              std::string& text)
{
    // An answer too long for UDP is asked again over TCP, where the
    // resolver waits for ever: the query runs on a thread of its own,
    // given up when the wait is over.
    struct query {
        bool ready = false;
        int length = -1, why = 0;
        std::vector<unsigned char> answer = std::vector<unsigned char>(65536);
    };
    auto asked = std::make_shared<query>();
    if (!runwithin(wait, [asked, name] {
            resolver dns;
            asked->ready = dns.ready;
            if (!dns.ready)
                return;
            dns.state.retrans = 1;
            dns.state.retry = 1;
            asked->length = res_nquery(&dns.state, name.c_str(), ns_c_in, ns_t_srv, asked->answer.data(),
                                       static_cast<int>(asked->answer.size()));
            asked->why = dns.state.res_h_errno;
        })) {
        text = "no answer within " + std::to_string(wait.count()) + " ms";
        return locateenv::dnsresult::silent;
    }
    if (!asked->ready) {
        text = "no resolver configuration";
        return locateenv::dnsresult::silent;
    }
    const std::vector<unsigned char>& answer = asked->answer;
    const int length = asked->length;
    if (length < 0) {
        const int why = asked->why;
        // Only a time-out is silence; a name that can't be asked, or a name
        // server that refuses it, is an answer.
        text = why == HOST_NOT_FOUND ? "no such name"
               : why == NO_DATA      ? "no SRV records"
               : why == TRY_AGAIN    ? "no answer"
                                     : "no usable answer";
        return why == TRY_AGAIN ? locateenv::dnsresult::silent : locateenv::dnsresult::none;
    }
    ns_msg message;
    if (ns_initparse(answer.data(), std::min(length, static_cast<int>(answer.size())), &message) < 0) {
        text = "a malformed answer";
        return locateenv::dnsresult::none;
    }
    for (int index = 0; index < ns_msg_count(message, ns_s_an); ++index) {
        ns_rr record;
        if (ns_parserr(&message, ns_s_an, index, &record) < 0)
            break;
        if (ns_rr_type(record) != ns_t_srv || ns_rr_rdlen(record) < 7)
            continue;
        const unsigned char* data = ns_rr_rdata(record);
        char host[NS_MAXDNAME];
        if (ns_name_uncompress(ns_msg_base(message), ns_msg_end(message), data + 6, host, sizeof host) < 0 ||
            !*host || std::strcmp(host, ".") == 0)
            continue; // "." says the service is not offered
        found.push_back(srvtarget{host, ns_get16(data + 4), ns_get16(data), ns_get16(data + 2)});
    }
    if (found.empty())
        text = "no SRV records";
    return found.empty() ? locateenv::dnsresult::none : locateenv::dnsresult::found;
}

namespace {

// Sends `request` to every address of each host: the sockets it went out
// on (IPv4, IPv6), and each address asked with its host.
void sendtoall(const std::vector<std::string>& hosts, unsigned port, const std::string& request,
               std::chrono::steady_clock::time_point end, socketfd (&sockets)[2], std::vector<std::pair<std::string, std::string>>& peers,
               std::vector<std::string>& asked)
{
    for (const std::string& host : hosts) {
        std::string why;
        const addresses found = lookup(host, port, SOCK_DGRAM, std::chrono::milliseconds(millisecondsleft(end)), why);
        bool sent = false;
        for (const addrinfo* address = found.get(); address; address = address->ai_next) {
            if (address->ai_family != AF_INET && address->ai_family != AF_INET6)
                continue;
            socketfd& out = sockets[address->ai_family == AF_INET6];
            if (out.get() < 0)
                out = socketfd(::socket(address->ai_family, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
            if (out.get() >= 0 && ::sendto(out.get(), request.data(), request.size(), 0, address->ai_addr,
                                           address->ai_addrlen) == static_cast<ssize_t>(request.size())) {
                peers.emplace_back(numeric(address->ai_addr, address->ai_addrlen), host);
                sent = true;
            }
        }
        if (sent)
            asked.push_back(host);
    }
}

} // namespace

bool udpask(const std::vector<std::string>& hosts, unsigned port, const std::string& request,
            std::chrono::milliseconds wait, const std::function<bool(std::string_view)>& accept, std::string& from,
            std::vector<std::string>& asked)
{
    socketfd sockets[2];                                    // IPv4, IPv6
    std::vector<std::pair<std::string, std::string>> peers; // numeric address, host
    // The hosts' look-ups count against the wait too.
    const auto end = std::chrono::steady_clock::now() + wait;
    sendtoall(hosts, port, request, end, sockets, peers, asked);
    if (asked.empty())
        return false;
    std::vector<char> datagram(65536);
    for (;;) {
        pollfd ready[2] = {{sockets[0].get(), POLLIN, 0}, {sockets[1].get(), POLLIN, 0}};
        if (::poll(ready, 2, millisecondsleft(end)) <= 0)
            return false; // the wait is over (or poll failed, which ends it too)
        for (const pollfd& socket : ready) {
            sockaddr_storage sender{};
            socklen_t length = sizeof sender;
            const ssize_t got = socket.revents & POLLIN
                                    ? ::recvfrom(socket.fd, datagram.data(), datagram.size(), 0,
                                                 reinterpret_cast<sockaddr*>(&sender), &length)
                                    : -1;
            if (got <= 0)
                continue;
            const std::string address = numeric(reinterpret_cast<sockaddr*>(&sender), length);
            const auto peer = std::find_if(peers.begin(), peers.end(),
                                           [&](const auto& asked) { return asked.first == address; });
            if (peer != peers.end() && accept(std::string_view(datagram.data(), static_cast<std::size_t>(got)))) {
                from = peer->second;
                return true;
            }
        }
    }
}

} // namespace openldap
