// The domain controller "ping" of Active Directory: a search of the root DSE
// for its Netlogon attribute, sent over UDP (connectionless LDAP), which a
// controller answers with who it is and which site the asking client is in.
// Building the request and reading the answer are pure functions here; the
// socket work is the locator's.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace openldap {

// What a controller says of itself and of the client, from the
// NETLOGON_SAM_LOGON_RESPONSE_EX structure of its answer. Names are as sent,
// in dotted form.
struct netlogonanswer {
    std::uint32_t flags = 0;
    std::string forest, domain, host;   // DNS names
    std::string netbiosdomain, netbioshost;
    std::string dcsite;     // the controller's own site
    std::string clientsite; // the site of the address the request came from; "" when none
};

// The request for `domain` as message `id`: (&(DnsDomain=<domain>)(NtVer=...))
// asking for the extended answer with the client's site. "" when liblber
// can't build it.
std::string netlogonrequest(int id, const std::string& domain);
// The same search's filter as text, for asking over a connection.
std::string netlogonfilter(const std::string& domain);

// Reads a datagram answering request `id`: an LDAP search-result entry
// carrying a Netlogon value. False for anything else, for another id, and
// for a value that isn't a whole, well-formed extended answer.
bool readnetlogonreply(std::string_view datagram, int id, netlogonanswer& answer);

// Reads a NETLOGON_SAM_LOGON_RESPONSE_EX structure (as the UDP answer
// carries it, or the Netlogon value of the same search over a connection).
// Its names are DNS names that may point at others (RFC 1035 compression);
// a pointer loop, a length past the end, or a name longer than DNS allows
// makes the whole structure invalid.
bool readsamlogonex(std::string_view data, netlogonanswer& answer);

} // namespace openldap
