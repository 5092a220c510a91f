// One connection to the directory server and the requests the user query
// sends over it. Every operation that can fail returns its status
// (ldapfailure.h: the LDAP result code and libldap's text, with the server's
// diagnostic message when it sent one).
//
// A run uses the one connection it bound. When that is gone (dropped, or
// ended by the server's notice of disconnection), libldap would open a new
// one, unbound, for the next request; here every request after the loss
// fails with the loss's cause instead, and nothing is sent anywhere else.
//
// Nothing here throws but std::bad_alloc, unless an operation says so.
#pragma once

#include "directory/status.h"
#include "platform/ldap/ldapanswer.h"
#include "platform/ldap/common/ldapsocket.h"
#include "platform/ldap/common/ldapwaiting.h"
#include "platform/ldap/ldapentry.h"

#include <ldap.h>

#include <chrono>
#include <functional>
#include <string>
#include <vector>

namespace openldap {

// What the root DSE says about the server's naming contexts and schema.
struct rootdse {
    std::vector<std::string> namingcontexts;
    std::string defaultnamingcontext;
    std::string configurationnamingcontext; // Active Directory's
    std::string schemanamingcontext;        // Active Directory's
    std::string subschemasubentry;
    bool activedirectory = false;           // its capabilities say so
};

class connection {
public:
    // `wait` says how long each connect and request may take (its settle()
    // before the first); it must outlive the connection.
    explicit connection(const waiting& wait) : wait(wait) {}
    connection(const connection&) = delete;
    connection& operator=(const connection&) = delete;
    ~connection() { close(); }

    // Starts libldap: its options from ldap.conf, ~/.ldaprc (~/ldaprc),
    // LDAPCONF, LDAPRC and the environment, as for every libldap client, but
    // never from the working directory's ldaprc, which in a shared folder
    // may be anyone's (a relative LDAPRC is looked for in the home directory
    // alone). REQUIRES: startsasl, and no other call into libldap before.
    static void start();

    // Sets up the handle for the URI list `uris`, or for the configured one
    // (ldap.conf, ~/.ldaprc, LDAPURI...) when null; nothing is sent yet. A
    // URI that libldap can't parse fails here. REQUIRES: not open.
    status open(const char* uris);
    // Takes over `socket`, connected by the caller to the server `uri`
    // (ldap://host:port), which was found in DNS. REQUIRES: not open.
    status adopt(socketfd socket, const std::string& uri);
    // Unbinds and closes; harmless when not open. Never throws.
    void close();

    // A SASL bind with the caller's own credentials, never prompting: the
    // configured mechanism, else EXTERNAL on ldapi://, else GSSAPI. After
    // open, it connects first: an attempt that timed out is made again
    // after a pause while the run's deadline allows (ldapwaiting.h).
    // REQUIRES: open or adopt.
    status bind();

    // A request sent and not yet answered, abandoned when it is destroyed (or
    // assigned over) unanswered. Several may be outstanding at once, so that
    // their answers take one round trip: nothing may be sent during the SASL
    // bind, everything after it. Each is waited for until the run's
    // deadline, or until the server has been silent for the request
    // time-out when one is configured (ldapwaiting.h). Move-only; must not
    // outlive its connection.
    class pending {
    public:
        pending() = default;
        pending(pending&& other) noexcept { *this = std::move(other); }
        pending& operator=(pending&& other) noexcept;
        ~pending() { abandon(); }
        // Whether it went out and its answer is still to come.
        bool outstanding() const { return owner && id >= 0 && why.ok(); }
        // Tells the server that no answer is wanted. Never throws.
        void abandon();

    private:
        friend class connection;
        connection* owner = nullptr;
        int id = -1;               // -1 once answered
        status why; // a failure to send, or the outcome
        waiting::clock::time_point sent = waiting::clock::now();
    };

    // "Who am I?". REQUIRES: bind.
    pending sendwhoami();
    // The answer; "" when the server has none (that is no failure).
    std::string finishwhoami(pending& request);

    // A search for entries with `attributes`, asking the server for at most
    // `sizelimit` entries (0: no limit). REQUIRES: bind.
    pending sendsearch(const std::string& base, int scope, const std::string& filter,
                       const std::vector<const char*>& attributes, int sizelimit);
    // Hands each entry of the answer to `take` as it arrives; when that
    // returns false the search is abandoned and counts as complete. Returns
    // the result code (LDAP_SIZELIMIT_EXCEEDED when the server stopped at
    // the limit, a failure like any other).
    // REQUIRES: `request` came from sendsearch on this connection.
    status finishsearch(pending& request, const std::function<bool(entry&&)>& take);
    // sendsearch and finishsearch.
    status search(const std::string& base, int scope, const std::string& filter,
               const std::vector<const char*>& attributes, int sizelimit,
               const std::function<bool(entry&&)>& take);

    // Reads the entry named `dn` itself: an entry the server sends under any
    // other DN is passed over, and the request is read through to its done
    // answer (no Abandon). REQUIRES: bind.
    pending sendread(const std::string& dn, const std::vector<const char*>& attributes);
    // REQUIRES: `request` came from sendread(dn, ...) on this connection.
    status finishread(pending& request, const std::string& dn, entry& found);

    // The root DSE's attributes the query uses, and reading them out.
    static const std::vector<const char*> rootattributes;
    static void readroot(const entry& found, rootdse& root);

    // Reads the type, class and content-rule descriptions and the
    // modifyTimestamp of the subschema entry `dn`, in place.
    // REQUIRES: bind; for finishsubschema, a request from sendsubschema(dn).
    pending sendsubschema(const std::string& dn);
    status finishsubschema(pending& request, const std::string& dn, inplaceentry& found);

    // A libldap string option of this connection ("" when unset).
    // REQUIRES: open or adopt.
    std::string option(int which) const;
    // The URI of the server connected to, as scheme://host:port; before a
    // connection, the first of the list the handle was set up with.
    std::string connecteduri() const;

private:
    void configure(bool located); // the options of a new handle
    status connect(); // libldap's connection to a configured URI
    // How long the server has been silent since `request` went out.
    std::chrono::milliseconds silentfor(const pending& request) const;
    // The next message answering `request`: its type, or -1 when none came
    // in time or the connection is gone (request.why says which).
    int next(pending& request, LDAPMessage*& answer);
    // Hands each entry to `onentry` as in finishsearch, as libldap has it;
    // `onentry` may take the message over.
    status finish(pending& request, const std::function<bool(message&)>& onentry);
    pending sent(int result, int id);
    void abandon(int id);
    // Whether requests may go out: the bound connection still stands; the
    // loss's cause otherwise.
    status standing();
    // Records that the connection is gone, and why (the first cause stands),
    // and returns that cause.
    status lose(int code, const std::string& detail);

    LDAP* ld = nullptr;
    std::string uris;
    std::string connected; // set by libldap's connection callback
    ldap_conncb callbacks{};
    int connections = 0;         // opened for this handle so far
    status lost; // why the connection is gone, once it is
    const waiting& wait;
    waiting::clock::time_point heard{}; // the last message from the server
};

} // namespace openldap
