// One connection to the directory server and the requests the user query
// sends over it. Every failing operation records its cause with
// platform::setlasterror (the LDAP result code and libldap's text, with the
// server's diagnostic message when it sent one) and returns false.
//
// A run uses the one connection it bound. When that is gone (dropped, or
// ended by the server's notice of disconnection), libldap would open a new
// one, unbound, for the next request; here every request after the loss
// fails with the loss's cause instead, and nothing is sent anywhere else.
#pragma once

#include "platform/ldap/ldapentry.h"

#include <ldap.h>

#include <chrono>
#include <functional>
#include <string>
#include <vector>

namespace openldap {

class locator;
class schema;

// What the root DSE says about the server's naming contexts and schema.
struct rootdse {
    std::vector<std::string> namingcontexts;
    std::string defaultnamingcontext;
    std::string configurationnamingcontext; // Active Directory's
    std::string schemanamingcontext;        // Active Directory's
    std::string subschemasubentry;
};

// Records an LDAP failure as the thread's last error; always false.
bool fail(int code, const std::string& text);

class connection {
public:
    connection() = default;
    connection(const connection&) = delete;
    connection& operator=(const connection&) = delete;
    ~connection() { close(); }

    // Sets up the handle for the configured server (ldap.conf, ~/.ldaprc,
    // LDAPURI...); nothing is sent yet. When nothing names one, finds the
    // domain's controllers and connects to the first that answers, within
    // a time budget; the failure then says what was looked up and tried.
    bool open();
    // Unbinds and closes; harmless when not open. Never throws.
    void close();

    // A SASL bind with the caller's own credentials, never prompting: the
    // configured mechanism, else EXTERNAL on ldapi://, else GSSAPI.
    // REQUIRES: open.
    bool bind();
    // A request sent and not yet answered. Several may be outstanding at
    // once, so that their answers take one round trip: nothing may be sent
    // during the SASL bind, everything after it. Each is answered within the
    // request time-out, counted from when it was sent.
    struct pending {
        int id = -1;               // -1 once answered
        int result = LDAP_SUCCESS; // a failure to send, or the outcome
        std::chrono::steady_clock::time_point sent = std::chrono::steady_clock::now();
    };

    // "Who am I?". REQUIRES: bind.
    pending sendwhoami();
    // The answer; "" when the server has none.
    std::string finishwhoami(pending& request);

    // A search for entries with `attributes`, asking the server for at most
    // `sizelimit` entries (0: no limit). REQUIRES: bind.
    pending sendsearch(const std::string& base, int scope, const std::string& filter,
                       const std::vector<const char*>& attributes, int sizelimit);
    // Hands each entry of the answer to `onentry` as it arrives; when that
    // returns false the search is abandoned and counts as complete. Returns
    // the result code (LDAP_SIZELIMIT_EXCEEDED when the server stopped at
    // the limit); the cause is recorded for any code but LDAP_SUCCESS.
    int finish(pending& request, const std::function<bool(LDAPMessage*)>& onentry);
    // Gives up a request whose answer is no longer wanted. Never throws.
    void abandon(pending& request);
    // finish, with each entry read out for `take`, and the entries counted
    // in the log.
    int finishsearch(pending& request, const std::function<bool(entry&&)>& take);
    // sendsearch and finishsearch.
    int search(const std::string& base, int scope, const std::string& filter,
               const std::vector<const char*>& attributes, int sizelimit,
               const std::function<bool(entry&&)>& take);

    // Reads the entry named `dn` itself: an entry the server sends under any
    // other DN is passed over. REQUIRES: bind.
    pending sendread(const std::string& dn, const std::vector<const char*>& attributes);
    bool finishread(pending& request, const std::string& dn, entry& found);

    // The root DSE's attributes the query uses, and reading them out.
    static const std::vector<const char*> rootattributes;
    static void readroot(const entry& found, rootdse& root);

    // Reads the type, class and content-rule descriptions of the subschema
    // entry `dn` into `into`. REQUIRES: bind.
    pending sendsubschema(const std::string& dn);
    bool finishsubschema(pending& request, const std::string& dn, schema& into);

    // A libldap string option of this connection ("" when unset).
    std::string option(int which) const;
    // The URI of the server connected to, as scheme://host:port; before a
    // connection, the first of the list the handle was set up with.
    std::string connecteduri() const;

private:
    bool setup(const char* uri, bool located);
    void configure(bool located); // the options of a new handle
    bool openlocated(locator& find);
    bool fail(int code) const;
    int failed(int code) const; // fail(), returning the code
    // The next message answering `request`: its type, or -1 when none came
    // in time or the connection is gone (request.result says which).
    int next(pending& request, LDAPMessage*& answer);
    // Whether requests may go out: the bound connection still stands. On
    // false the loss's cause is recorded.
    bool standing();
    // Records that the connection is gone, and why (the first cause
    // stands), as the last error too.
    void lose(int code, const std::string& why);
    LDAP* ld = nullptr;
    int connections = 0;   // opened for this handle so far
    int lostcode = LDAP_SUCCESS;
    std::string lost;      // why the connection is gone; "" while it stands
    std::string uris;
    std::string connected; // set by libldap's connection callback
    ldap_conncb callbacks{};
    timeval networktimeout = {5, 0}; // each connection attempt's, as configured
    timeval requesttimeout = {10, 0}; // each request's, as configured
};

} // namespace openldap
