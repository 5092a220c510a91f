// Sockets for both the session and the locator: a socket's owner, a host's
// addresses looked up within a time limit, and a TCP connect within one.
// Nothing here throws but std::bad_alloc; every failure is an outcome with
// its text.
#pragma once

#include <netdb.h>

#include <chrono>
#include <functional>
#include <memory>
#include <string>

namespace openldap {

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
    ~socketfd();
    int get() const { return fd; }
    // Gives the socket up to the caller, who closes it.
    int release()
    {
        const int owned = fd;
        fd = -1;
        return owned;
    }

private:
    int fd;
};

struct addressesfree {
    void operator()(addrinfo* list) const { freeaddrinfo(list); }
};
using addresses = std::unique_ptr<addrinfo, addressesfree>;

// The addresses of `host` for `port` and the socket `type`, within `wait`:
// none, with the reason in `why`, when the name can't be found in time.
addresses lookup(const std::string& host, unsigned port, int type, std::chrono::milliseconds wait, std::string& why);

// Runs `work` on a thread of its own and waits at most `wait` for it: true
// when it finished in time. A call that outlives the wait (a look-up the
// resolver's own time-outs let hang) is left to end on its own: `work` must
// hold what it uses by value or shared ownership. Without a thread to be
// had, `work` runs here, unbounded.
bool runwithin(std::chrono::milliseconds wait, std::function<void()> work);

// The milliseconds from now to `end`, 0 once it has passed, for poll().
int millisecondsleft(std::chrono::steady_clock::time_point end);

// Connects to `host` on `port` over TCP, trying each of its addresses within
// `wait` in all, the look-up of its name included: the connected socket,
// blocking; an empty one with the reason in `why` when none could be reached,
// and `timedout` set when that was for want of an answer in time (not a
// refusal), so that trying again later may help.
socketfd tcpconnect(const std::string& host, unsigned port, std::chrono::milliseconds wait, std::string& why,
                    bool& timedout);

} // namespace openldap
