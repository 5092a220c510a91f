// What a run has in flight, by purpose, and what goes out in each round.
//
// A round is what is sent before an answer is waited for: its requests
// travel together, and their answers take one round trip. After the bind,
// a run sends (S: the last run's record for this server and identity, R:
// the root DSE's answer, A: Active Directory, the root DSE naming a schema
// container; the requests as ldaprequests.h builds them):
//
// Round 1, at once after the bind, in this order:
//   whoami          always
//   rootdse         unless S found the entry by "Who am I?" on a server
//                   that is no A (slapd builds its root DSE for each read)
//   entry           S found it by "Who am I?": the read of S's entry
//   account         S found it by the account search: S's search; no S,
//                   bound as name@domain: the search as A will call for it
//                   (under the configured base or the domain's DN, by name)
//   schemastamp     A in S: the stamp of S's schema container; no S, bound
//                   as name@domain: that of CN=Schema,CN=Configuration,<the
//                   domain's DN>, with
//   auxiliaries,    every auxiliary class's object, those of top, person,
//   classes,          organizationalPerson and user, and those of the types
//   attributes        the entry is read with (not for "*", a -v run)
//   subschemastamp  no A in S, and the cache's file for S's subschema entry
//                   is not confirmed within its trust window (schemacache.h:
//                   a file freshly read is not)
//   site            the controller was located in DNS with a remembered
//                   site: the locator's ping over this connection
//
// Round 2, once the answers to whoami and rootdse are taken:
//   rootdse         only when it was left out and "Who am I?" names
//                   another entry than S (the entry then follows in 3)
//   schemastamp /   when R names other schema places than round 1 asked
//   subschemastamp    (what was asked of another container is abandoned)
//   auxiliaries     A, the cache has no file: unless in flight
//   subschema       no A, the cache has no file: the whole subschema
//   entry           "Who am I?" names an entry round 1 didn't read
//   netbios         "Who am I?" gives DOMAIN\name, DOMAIN neither the
//                   domain's DNS name nor its realm: the domain's NetBIOS
//                   name, a round of its own before the search (warm too)
//   account         "Who am I?" names no entry and the search in flight (if
//                   any) is not the one R calls for
// A guess is used only when what the run needs now is exactly what went
// out (the same DN, base, filter and attributes): the entry or account
// answer taken in this round is the user's.
//
// Round 3, the schema steps (schemaresolution.h), before any stamp's
// answer is taken when the cache has no file:
//   classes,        A, no file: the entry's classes' and types' objects,
//   attributes        unless round 1's guess covers them
//   classes         then a round for each superclass or auxiliary class
//                   not yet read (none on Samba), at most 8
//   subschemastamp  a trusted file (no A) lacks a type read for addresses
//   attributes      A, a file that lacks a type the entry holds
//   subschema       any schema answer that can't be used (below)
//
// One rule for every schema read's answer, stamps, objects and the
// subschema alike: an answer is used; one that can't be used (refused,
// missing, more than was asked, or found but unfit, such as an object
// whose OID is no OID) makes the run read the subschema entry; a
// connection lost or silent fails the run ("unable to retrieve schema").
// A stamp serves only to confirm a cached file: without one it decides
// nothing.
//
// So a warm run takes the round trips of one ldapsearch: round 1 alone.
//
// Nothing here throws but std::bad_alloc.
#pragma once

#include "platform/ldap/wire/ldapwire.h"

#include <map>
#include <string>
#include <vector>

namespace openldap {

// What a request in flight is for.
enum class purpose {
    whoami,
    rootdse,
    entry,
    account,
    netbios,
    site,
    schemastamp,
    subschemastamp,
    subschema,
    auxiliaries,
    classes,
    attributes,
};

class rounds {
public:
    // REQUIRES: `server` is bound and outlives this.
    explicit rounds(wire& server) : server(server) {}
    rounds(const rounds&) = delete;
    rounds& operator=(const rounds&) = delete;

    wire& link() { return server; }

    // Sends `request` for `why` now, abandoning what was in flight for it;
    // `names`: the names a search by names asks for.
    void send(purpose why, const searchrequest& request, std::vector<std::string> names = {});
    // Sends "Who am I?" for purpose::whoami.
    void sendwhoami();

    // Whether something is in flight for `why`: sent, its answer not taken.
    bool inflight(purpose why) const;
    // What went out for `why` while it is in flight; null otherwise.
    const searchrequest* asked(purpose why) const;
    // Whether what is in flight for `why` asks for every one of `names`, in
    // any letter case, and how many it asks for.
    bool covers(purpose why, const std::vector<std::string>& names) const;
    std::size_t namesasked(purpose why) const;

    // The request to finish for `why`, out of the table: the one in flight
    // when it asked exactly `wanted` (the same base, however spelled), else
    // `wanted` sent now and the one in flight abandoned.
    wire::pending take(purpose why, const searchrequest& wanted);
    // The same for a search by names: the one in flight when it covers
    // `names`, else `wanted` sent now for them.
    wire::pending takenamed(purpose why, const searchrequest& wanted, const std::vector<std::string>& names);
    // The "Who am I?" answer (sendwhoami first).
    std::string whoami();

    // Tells the server no answer is wanted for `why`.
    void abandon(purpose why);

private:
    struct flight {
        searchrequest request;
        std::vector<std::string> names;
        wire::pending answer;
    };
    wire::pending takeout(purpose why);

    wire& server;
    std::map<purpose, flight> table;
};

} // namespace openldap
