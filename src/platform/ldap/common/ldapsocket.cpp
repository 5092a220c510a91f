#include "platform/ldap/common/ldapsocket.h"

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <mutex>
#include <poll.h>
#include <sys/socket.h>
#include <system_error>
#include <thread>
#include <unistd.h>
#include <utility>

namespace openldap {

namespace {

// A call that may outlive its caller's wait: the thread that runs it and
// the caller share this, and the last to let go frees it.
struct callstate {
    std::mutex lock;
    std::condition_variable done;
    bool finished = false;
};

// What a look-up found, shared the same way.
struct lookupstate {
    int result = 0;
    addrinfo* list = nullptr;
    ~lookupstate()
    {
        if (list)
            freeaddrinfo(list);
    }
};

} // namespace

socketfd::~socketfd()
{
    if (fd >= 0)
        ::close(fd);
}

bool runwithin(std::chrono::milliseconds wait, std::function<void()> work)
{
    auto state = std::make_shared<callstate>();
    try {
        std::thread([state, work] {
            work();
            const std::lock_guard<std::mutex> hold(state->lock);
            state->finished = true;
            state->done.notify_all();
        }).detach();
    } catch (const std::system_error&) {
        work();
        return true;
    }
    std::unique_lock<std::mutex> hold(state->lock);
    return state->done.wait_for(hold, wait, [&] { return state->finished; });
}

addresses lookup(const std::string& host, unsigned port, int type, std::chrono::milliseconds wait, std::string& why)
{
    addrinfo hints{};
    hints.ai_socktype = type;
    hints.ai_flags = AI_NUMERICSERV | AI_NUMERICHOST;
    const std::string service = std::to_string(port);
    addrinfo* list = nullptr;
    if (getaddrinfo(host.c_str(), service.c_str(), &hints, &list) == 0)
        return addresses(list);
    // The resolver's own time-outs (resolv.conf's) can run far past the
    // locator's budget.
    hints.ai_flags = AI_NUMERICSERV;
    auto found = std::make_shared<lookupstate>();
    if (!runwithin(wait, [found, host, service, hints] {
            found->result = getaddrinfo(host.c_str(), service.c_str(), &hints, &found->list);
        })) {
        why = "its address: no answer within " + std::to_string(wait.count()) + " ms";
        return addresses();
    }
    if (found->result) {
        why = gai_strerror(found->result);
        return addresses();
    }
    return addresses(std::exchange(found->list, nullptr));
}

int millisecondsleft(std::chrono::steady_clock::time_point end)
{
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
    return static_cast<int>(std::max<long long>(left.count(), 0));
}

socketfd tcpconnect(const std::string& host, unsigned port, std::chrono::milliseconds wait, std::string& why,
                    bool& timedout)
{
    const auto end = std::chrono::steady_clock::now() + wait;
    const addresses found = lookup(host, port, SOCK_STREAM, wait, why);
    timedout = !found && std::chrono::steady_clock::now() >= end;
    if (found)
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
            if (::poll(&done, 1, millisecondsleft(end)) <= 0) {
                why = "no answer within " + std::to_string(wait.count()) + " ms";
                timedout = true;
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
        // As libldap sets up the sockets it connects itself: a round's
        // requests are written one after another, and Nagle's algorithm
        // would hold all but the first until the server's ACK, a round trip
        // later.
        const int on = 1;
        ::setsockopt(connection.get(), IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
        ::setsockopt(connection.get(), SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on);
        return connection;
    }
    return socketfd();
}

} // namespace openldap
