// One connection to the directory server over libldap: the wire
// (ldapwire.h) a run's requests go out on. Every operation that can fail
// returns its status (ldapfailure.h: the LDAP result code and libldap's
// text, with the server's diagnostic message when it sent one).
//
// A run uses the one connection it bound. When that is gone (dropped, or
// ended by the server's notice of disconnection), libldap would open a new
// one, unbound, for the next request; here every request after the loss
// fails with the loss's cause instead, and nothing is sent anywhere else.
//
// It knows nothing of what it is asked for: the root DSE, the schema and
// the user are the session's (session/).
//
// Nothing here throws but std::bad_alloc, unless an operation says so.
#pragma once

#include "directory/status.h"
#include "platform/ldap/common/ldapsocket.h"
#include "platform/ldap/common/ldapwaiting.h"
#include "platform/ldap/wire/ldapanswer.h"
#include "platform/ldap/wire/ldapwire.h"

#include <ldap.h>

#include <chrono>
#include <functional>
#include <string>

namespace openldap {

class connection : public wire {
public:
    // `wait` says how long each connect and request may take (its settle()
    // before the first); it must outlive the connection.
    explicit connection(const waiting& wait) : wait(wait) {}
    connection(const connection&) = delete;
    connection& operator=(const connection&) = delete;
    ~connection() override { close(); }

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
    // (ldap://host:port); `located`: its name came from an SRV record.
    // REQUIRES: not open.
    status adopt(socketfd socket, const std::string& uri, bool located);
    // Unbinds and closes; harmless when not open. Never throws.
    void close();

    // A SASL bind with the caller's own credentials, never prompting: the
    // configured mechanism, else EXTERNAL on ldapi://, else GSSAPI. After
    // open, it connects first: an attempt that timed out is made again
    // after a pause while the run's deadline allows (ldapwaiting.h).
    // Nothing may be sent during the bind, everything after it.
    // REQUIRES: open or adopt.
    status bind();

    // The wire (ldapwire.h). Each request is waited for until the run's
    // deadline, or until the server has been silent for the request
    // time-out when one is configured (ldapwaiting.h).
    pending send(const searchrequest& request) override;
    pending sendwhoami() override;
    status finish(pending& request, const std::function<bool(entry&&)>& take) override;
    status finishinplace(pending& request, const std::function<bool(inplaceentry&&)>& take) override;
    std::string finishwhoami(pending& request) override;
    std::string saslname() const override { return option(LDAP_OPT_X_SASL_USERNAME); }
    std::string configuredbase() const override { return option(LDAP_OPT_DEFBASE); }
    // Before a connection, the first of the list the handle was set up with.
    std::string serveruri() const override;
    // The URI list the handle was set up with. REQUIRES: open.
    const std::string& configureduris() const { return uris; }

private:
    // A libldap string option of this connection ("" when unset).
    std::string option(int which) const;
    void configure(bool located); // the options of a new handle
    status connect(); // libldap's connection to a configured URI
    // How long the server has been silent since `request` went out.
    std::chrono::milliseconds silentfor(const pending& request) const;
    // Marks `socket`'s every read of a byte from the server in `lastbyte`.
    void listen(Sockbuf* socket);
    // The next message answering `request`: its type, or -1 when none came
    // in time or the connection is gone (the request's status says which).
    int next(pending& request, LDAPMessage*& answer);
    // Hands each entry to `onentry` as libldap has it, until that returns
    // false; `onentry` may take the message over.
    status answers(pending& request, const std::function<bool(message&)>& onentry);
    pending sent(int result, int id);
    void abandon(int id) override;
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
    wire::clock::time_point heard{};    // the last message from the server
    wire::clock::time_point lastbyte{}; // the last byte, of a message whole or not
};

} // namespace openldap
