#include "platform/ldap/ldaplocator.h"

#include "log/mylog.h"
#include "platform/ldap/ldapcache.h"
#include "platform/ldap/ldapdiscovery.h"
#include "platform/ldap/ldapnetlogon.h"
#include "platform/ldap/ldaptext.h"

#include <algorithm>
#include <arpa/nameser.h>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <random>
#include <resolv.h>
#include <sys/socket.h>
#include <unistd.h>

namespace openldap {

namespace {

// The controllers pinged at once for the client's site.
const std::size_t pinged = 5;

// The resolver's state, set up from resolv.conf for one query.
class resolver {
public:
    resolver() { ready = res_ninit(&state) == 0; }
    resolver(const resolver&) = delete;
    resolver& operator=(const resolver&) = delete;
    ~resolver()
    {
        if (ready)
            res_nclose(&state);
    }
    bool ready = false;
    struct __res_state state {};
};

// A socket, closed with its owner.
class socketfd {
public:
    explicit socketfd(int fd = -1) : fd(fd) {}
    socketfd(socketfd&& other) noexcept : fd(other.fd) { other.fd = -1; }
    socketfd& operator=(socketfd&& other) noexcept
    {
        std::swap(fd, other.fd);
        return *this;
    }
    ~socketfd()
    {
        if (fd >= 0)
            ::close(fd);
    }
    int get() const { return fd; }
    int release()
    {
        const int owned = fd;
        fd = -1;
        return owned;
    }

private:
    int fd;
};

enum class dnsresult { found, none, silent };

// The SRV records of `name`, asking each name server once with a short
// time-out; `silent` when no server answered at all.
dnsresult querysrv(const std::string& name, std::vector<srvtarget>& found, std::string& error)
{
    resolver dns;
    if (!dns.ready) {
        error = "no resolver configuration";
        return dnsresult::silent;
    }
    dns.state.retrans = 1;
    dns.state.retry = 1;
    std::vector<unsigned char> answer(65536);
    const int length = res_nquery(&dns.state, name.c_str(), ns_c_in, ns_t_srv, answer.data(),
                                  static_cast<int>(answer.size()));
    if (length < 0) {
        const int why = dns.state.res_h_errno;
        error = why == HOST_NOT_FOUND ? "no such name" : why == NO_DATA ? "no SRV records" : "no answer";
        return why == HOST_NOT_FOUND || why == NO_DATA ? dnsresult::none : dnsresult::silent;
    }
    ns_msg message;
    if (ns_initparse(answer.data(), std::min(length, static_cast<int>(answer.size())), &message) < 0) {
        error = "a malformed answer";
        return dnsresult::none;
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
        srvtarget target;
        target.priority = ns_get16(data);
        target.weight = ns_get16(data + 2);
        target.port = ns_get16(data + 4);
        target.host = host;
        found.push_back(std::move(target));
    }
    if (found.empty())
        error = "no SRV records";
    return found.empty() ? dnsresult::none : dnsresult::found;
}

// The machine's DNS domain as the resolver has it: resolv.conf's domain or
// first search domain, else what follows the host name's first dot.
std::string dnsdomain()
{
    resolver dns;
    std::string domain = dns.ready && dns.state.dnsrch[0] ? dns.state.dnsrch[0] : "";
    if (domain.empty()) {
        char host[256] = {};
        if (gethostname(host, sizeof host - 1) == 0 && std::strchr(host, '.'))
            domain = std::strchr(host, '.') + 1;
    }
    return lower(domain);
}

struct addressesfree {
    void operator()(addrinfo* list) const { freeaddrinfo(list); }
};
using addresses = std::unique_ptr<addrinfo, addressesfree>;

std::string numeric(const sockaddr* address, socklen_t length)
{
    char host[NI_MAXHOST] = {};
    return getnameinfo(address, length, host, sizeof host, nullptr, 0, NI_NUMERICHOST) == 0 ? host : "";
}

// The SRV name of a site's domain controllers.
std::string sitename(const std::string& site, const std::string& domain)
{
    return "_ldap._tcp." + site + "._sites.dc._msdcs." + domain;
}

// One site ping, sent to several controllers at once: a socket for each
// address family, and the addresses asked, so that only their answers count.
class ping {
public:
    ping(int id, const std::string& domain) : id(id), domain(domain), request(netlogonrequest(id, domain)) {}

    // Sends the request to each address of `host`.
    void send(const std::string& host)
    {
        addrinfo hints{};
        hints.ai_socktype = SOCK_DGRAM;
        hints.ai_flags = AI_NUMERICSERV;
        addrinfo* list = nullptr;
        if (request.empty() || getaddrinfo(host.c_str(), "389", &hints, &list) != 0)
            return;
        const addresses found(list);
        for (const addrinfo* address = found.get(); address; address = address->ai_next) {
            if (address->ai_family != AF_INET && address->ai_family != AF_INET6)
                continue;
            socketfd& out = sockets[address->ai_family == AF_INET6];
            if (out.get() < 0)
                out = socketfd(::socket(address->ai_family, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
            if (out.get() >= 0 && ::sendto(out.get(), request.data(), request.size(), 0, address->ai_addr,
                                           address->ai_addrlen) == static_cast<ssize_t>(request.size())) {
                peers.emplace_back(numeric(address->ai_addr, address->ai_addrlen), host);
                names += (names.empty() ? "" : " ") + host;
            }
        }
    }
    // The controllers asked, space-separated.
    const std::string& asked() const { return names; }

    // The first well-formed answer for the domain from an address asked,
    // within `wait`, and the name of the controller that sent it.
    bool await(std::chrono::milliseconds wait, netlogonanswer& answer, std::string& from)
    {
        const deadline until(wait);
        std::vector<char> datagram(65536);
        for (;;) {
            pollfd ready[2] = {{sockets[0].get(), POLLIN, 0}, {sockets[1].get(), POLLIN, 0}};
            if (::poll(ready, 2, static_cast<int>(until.left().count())) <= 0)
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
                if (peer != peers.end() &&
                    readnetlogonreply(std::string_view(datagram.data(), static_cast<std::size_t>(got)), id, answer) &&
                    lower(answer.domain) == domain) {
                    from = peer->second;
                    return true;
                }
            }
        }
    }

private:
    int id;
    std::string domain, request;
    socketfd sockets[2];                                    // IPv4, IPv6
    std::vector<std::pair<std::string, std::string>> peers; // numeric address, host
    std::string names;
};

} // namespace

int tcpconnect(const std::string& host, unsigned port, std::chrono::milliseconds wait, std::string& why)
{
    const deadline until(wait);
    addrinfo hints{};
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_NUMERICSERV;
    addrinfo* list = nullptr;
    if (const int result = getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &list)) {
        why = gai_strerror(result);
        return -1;
    }
    const addresses found(list);
    why = "no address";
    for (const addrinfo* address = found.get(); address; address = address->ai_next) {
        socketfd connection(::socket(address->ai_family, address->ai_socktype | SOCK_CLOEXEC | SOCK_NONBLOCK,
                                     address->ai_protocol));
        if (connection.get() < 0) {
            why = std::strerror(errno);
            continue;
        }
        int error = ::connect(connection.get(), address->ai_addr, address->ai_addrlen) == 0 ? 0 : errno;
        if (error == EINPROGRESS) {
            pollfd done = {connection.get(), POLLOUT, 0};
            if (::poll(&done, 1, static_cast<int>(until.left().count())) <= 0) {
                why = "no answer within " + std::to_string(wait.count()) + " ms";
                break; // the time for this controller is up
            }
            socklen_t length = sizeof error;
            if (::getsockopt(connection.get(), SOL_SOCKET, SO_ERROR, &error, &length) != 0)
                error = errno;
        }
        if (error) {
            why = std::strerror(error);
            continue;
        }
        // libldap reads and writes its sockets blocking, with poll before.
        ::fcntl(connection.get(), F_SETFL, ::fcntl(connection.get(), F_GETFL) & ~O_NONBLOCK);
        return connection.release();
    }
    return -1;
}

std::chrono::milliseconds deadline::left() const
{
    const auto rest = std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
    return std::max(rest, std::chrono::milliseconds(0));
}

void ordersrv(std::vector<srvtarget>& targets, const std::function<unsigned(unsigned)>& random)
{
    std::stable_sort(targets.begin(), targets.end(),
                     [](const srvtarget& a, const srvtarget& b) { return a.priority < b.priority; });
    for (auto group = targets.begin(); group != targets.end();) {
        const auto end = std::find_if(group, targets.end(),
                                      [&](const srvtarget& other) { return other.priority != group->priority; });
        // Zero weights first, so that they have a small chance too.
        std::stable_partition(group, end, [](const srvtarget& target) { return target.weight == 0; });
        for (auto place = group; place != end; ++place) {
            unsigned total = 0;
            for (auto rest = place; rest != end; ++rest)
                total += rest->weight;
            const unsigned pick = random(total + 1);
            unsigned running = 0;
            auto chosen = place;
            for (auto rest = place; rest != end; ++rest) {
                running += rest->weight;
                if (running >= pick) {
                    chosen = rest;
                    break;
                }
            }
            std::rotate(place, chosen, chosen + 1);
        }
        group = end;
    }
}

bool dnslabel(const std::string& name)
{
    return !name.empty() && name.size() <= 63 && std::all_of(name.begin(), name.end(), [](unsigned char c) {
        return std::isalnum(c) || c == '-' || c == '_';
    });
}

locator::locator(std::chrono::milliseconds budget, std::chrono::milliseconds pingwait)
    : budget(budget), pingwait(pingwait)
{
}

bool locator::start()
{
    mylog.at(2) << "no directory server configured: looking for the domain's controllers" << logend;
    const std::string realm = lower(kerberosrealm());
    if (!realm.empty())
        domains.emplace_back(realm, "the Kerberos default realm");
    const std::string dns = dnsdomain();
    if (!dns.empty() && dns != realm)
        domains.emplace_back(dns, "the machine's DNS domain");
    if (domains.empty())
        mylog.at(2) << "no domain: neither a Kerberos default realm nor a DNS domain" << logend;
    for (const auto& domain : domains)
        mylog.at(2) << "domain = " << domain.first << " (from " << domain.second << ")" << logend;
    return !domains.empty();
}

bool locator::lookup(const std::string& name, std::vector<srvtarget>& found)
{
    found.clear();
    if (dnssilent || budget.passed())
        return false;
    std::string error;
    const dnsresult result = querysrv(name, found, error);
    // Spreading the load needs no strong randomness (std::random_device may
    // throw where no entropy source is open to it).
    std::minstd_rand engine(static_cast<unsigned>(std::chrono::steady_clock::now().time_since_epoch().count()) ^
                            static_cast<unsigned>(::getpid()));
    ordersrv(found, [&](unsigned n) { return std::uniform_int_distribution<unsigned>(0, n - 1)(engine); });
    std::string answer;
    for (const srvtarget& target : found)
        answer += (answer.empty() ? "" : " ") + target.host + ":" + std::to_string(target.port);
    if (result != dnsresult::found)
        answer = error;
    mylog.at(2) << "dns srv " << name << ": " << answer << logend;
    lookedup.push_back(name + ": " + answer);
    // A name server that doesn't answer won't answer the next name either.
    dnssilent = result == dnsresult::silent;
    return result == dnsresult::found;
}

void locator::queue(const std::vector<srvtarget>& targets)
{
    for (const srvtarget& target : targets) {
        const std::string hostport = lower(target.host) + ":" + std::to_string(target.port);
        if (!handed.count(hostport) && std::find(waiting.begin(), waiting.end(), hostport) == waiting.end())
            waiting.push_back(hostport);
    }
}

std::string locator::pingsite(const std::vector<srvtarget>& targets)
{
    static int serial = 0;
    const int id = static_cast<int>((static_cast<unsigned>(::getpid()) << 8 | (++serial & 0xff)) & 0x7fffffff);
    ping request(id, domains[current].first);
    for (std::size_t index = 0; index < targets.size() && index < pinged; ++index)
        request.send(targets[index].host);
    if (request.asked().empty()) {
        mylog.at(2) << "site ping: no controller to ask" << logend;
        return std::string();
    }
    const std::chrono::milliseconds wait = std::min(pingwait, budget.left());
    netlogonanswer answer;
    std::string from;
    if (!request.await(wait, answer, from)) {
        mylog.at(2) << "site ping: no answer from " << request.asked() << " within " << wait.count() << " ms"
                    << logend;
        return std::string();
    }
    const bool usable = answer.clientsite.empty() || dnslabel(answer.clientsite);
    mylog.at(2) << "site = " << (answer.clientsite.empty() ? "none" : answer.clientsite)
                << (usable ? "" : " (not a usable name)") << " (said by " << from << ", itself in site "
                << answer.dcsite << ")" << logend;
    return usable ? answer.clientsite : std::string();
}

bool locator::advance()
{
    while (current < domains.size() && !dnssilent && !budget.passed()) {
        const std::string& domain = domains[current].first;
        std::vector<srvtarget> found;
        switch (step) {
        case stage::site: {
            step = stage::domainwide;
            std::string remembered;
            // A name that can't be one (the file is the user's to edit) is
            // no record.
            sitechecked = readsite(domain, remembered) && (remembered.empty() || dnslabel(remembered));
            if (!sitechecked)
                break;
            mylog.at(2) << "site = " << (remembered.empty() ? "none" : remembered) << " (remembered)" << logend;
            if (!remembered.empty() && lookup(sitename(remembered, domain), found)) {
                queue(found);
                return true;
            }
            break;
        }
        case stage::domainwide: {
            step = stage::done;
            const bool activedirectory = lookup("_ldap._tcp.dc._msdcs." + domain, found);
            if (!activedirectory)
                lookup("_ldap._tcp." + domain, found);
            if (activedirectory && !sitechecked) {
                const std::string site = pingsite(found);
                writesite(domain, site);
                std::vector<srvtarget> local;
                if (!site.empty() && lookup(sitename(site, domain), local))
                    queue(local);
            }
            queue(found);
            if (!waiting.empty())
                return true;
            break;
        }
        case stage::done:
            // The domain has controllers and none could be used: another
            // domain's would not be the user's.
            if (anyfound())
                return false;
            ++current;
            step = stage::site;
            sitechecked = false;
            break;
        }
    }
    return false;
}

bool locator::next(std::string& hostport)
{
    while (waiting.empty())
        if (!advance())
            return false;
    if (budget.passed())
        return false;
    hostport = waiting.front();
    waiting.pop_front();
    handed.insert(hostport);
    return true;
}

void locator::failed(const std::string& hostport, const std::string& why)
{
    outcomes.push_back(hostport + " (" + why + ")");
}

std::string locator::failure() const
{
    if (domains.empty())
        return "no domain to look in: neither a Kerberos default realm nor a DNS domain; name a server with URI "
               "in ldap.conf";
    std::string text;
    auto list = [](const std::vector<std::string>& items) {
        std::string joined;
        for (const std::string& item : items)
            joined += (joined.empty() ? "" : ", ") + item;
        return joined;
    };
    if (!anyfound()) {
        std::string names;
        for (std::size_t index = 0; index < domains.size() && index <= current; ++index)
            names += (names.empty() ? "" : " or ") + domains[index].first + " (" + domains[index].second + ")";
        text = "no domain controller of " + names +
               (dnssilent ? " found: DNS did not answer (" : " found in DNS (") + list(lookedup) + ")";
    } else {
        text = "no domain controller of " + domains[std::min(current, domains.size() - 1)].first +
               " could be reached: " + (outcomes.empty() ? std::string("none was tried") : list(outcomes));
    }
    if (budget.passed())
        text += "; the time for finding one ran out";
    return text + "; name a server with URI in ldap.conf";
}

} // namespace openldap
