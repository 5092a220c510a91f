// What a run sends in each round, against a directory from a table behind
// the wire: the exact rounds of each case, the lies a server can tell, and
// a connection lost or silent at every request.
#include "platform/clock.h"
#include "platform/ldap/common/ldapfailure.h"
#include "platform/ldap/common/ldaptext.h"
#include "platform/ldap/schema/ldapschemacache.h"
#include "platform/ldap/session/ldapsession.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>

namespace openldap {
namespace {

using strings = std::vector<std::string>;

const std::string domain = "DC=example,DC=test", alice = "CN=Alice,CN=Users," + domain,
                  container = "CN=Schema,CN=Configuration," + domain, aggregate = "CN=Aggregate," + container;

// What a request is for, as a reader of the rounds names it.
std::string labelof(const searchrequest& asked)
{
    using scope = searchrequest::scope;
    const auto has = [&](const char* text) { return asked.filter.find(text) != std::string::npos; };
    if (asked.depth == scope::subtree)
        return "account";
    if (asked.depth == scope::onelevel)
        return has("objectClassCategory=3") ? "auxiliaries"
               : has("attributeSchema")     ? "attributes"
               : has("classSchema")         ? "classes"
                                            : "netbios";
    if (asked.base.empty())
        return asked.filter == "(objectClass=*)" ? "rootdse" : "site";
    if (asked.attributes == strings{"modifyTimeStamp"})
        return "stamp";
    if (asked.attributes == strings{"modifyTimestamp"})
        return "subschemastamp";
    return asked.attributes.size() == 4 && asked.attributes[0] == "attributeTypes" ? "subschema" : "entry";
}

// Whether `found` matches the filter at `at` (the forms the session sends:
// &, |, equality and presence), moving past it.
bool matches(const entry& found, const std::string& filter, std::size_t& at)
{
    const char op = filter[++at];
    bool result = op == '&';
    if (op == '&' || op == '|') {
        for (++at; filter[at] == '(';) {
            const bool one = matches(found, filter, at);
            result = op == '&' ? result && one : result || one;
        }
    } else {
        const std::size_t equals = filter.find('=', at), end = filter.find(')', at);
        const std::string value = lower(filter.substr(equals + 1, end - equals - 1));
        const strings values = found.values(filter.substr(at, equals - at));
        result = value == "*" ? !values.empty() : std::any_of(values.begin(), values.end(), [&](const std::string& v) {
            return lower(v) == value;
        });
        at = end;
    }
    ++at;
    return result;
}

// A lie or a failure, at the k-th request or at requests of one label.
enum class fault { none, lost, silent, refused, decoy, more, elsewhere, unfit };

// A directory server from a table: each request answered from `entries` as
// it is finished, and recorded by what it is for, a round a row: a request
// sent after an answer was taken starts a new round.
class scriptedwire : public wire {
public:
    std::map<std::string, entry> entries; // by lower-case DN
    std::string whoamianswer = "dn:" + alice, sasl = "alice@EXAMPLE.TEST";
    fault kind = fault::none;
    int faultat = 0;        // the request (from 1) that meets `kind`, or
    std::string faultlabel; // the requests of this label
    std::vector<strings> rounds;
    int sent = 0;

    void add(const std::string& dn, std::vector<std::pair<std::string, strings>> attributes)
    {
        entries[lower(dn)] = entry{dn, std::move(attributes)};
    }

    pending send(const searchrequest& request) override { return record(labelof(request), request); }
    pending sendwhoami() override { return record("whoami", searchrequest()); }

    status finish(pending& request, const std::function<bool(entry&&)>& take) override
    {
        std::vector<entry> found;
        const status result = answer(request, found);
        for (entry& one : found)
            if (!take(std::move(one)))
                return status();
        return result;
    }
    status finishinplace(pending& request, const std::function<bool(inplaceentry&&)>& take) override
    {
        std::vector<entry> found;
        const status result = answer(request, found);
        for (entry& one : found) {
            auto kept = std::make_shared<entry>(std::move(one));
            inplaceentry view{kept->dn, kept, {}};
            for (const auto& attribute : kept->attributes)
                view.attributes.emplace_back(attribute.first,
                                             std::vector<std::string_view>(attribute.second.begin(), attribute.second.end()));
            if (!take(std::move(view)))
                return status();
        }
        return result;
    }
    std::string finishwhoami(pending& request) override
    {
        std::vector<entry> none;
        return answer(request, none).ok() ? whoamianswer : std::string();
    }
    std::string saslname() const override { return sasl; }
    std::string configuredbase() const override { return std::string(); }
    std::string serveruri() const override { return "ldap://dc1.example.test:389"; }

private:
    struct asked {
        searchrequest request;
        std::string label;
        fault meets = fault::none;
    };

    pending record(const std::string& label, const searchrequest& request)
    {
        if (rounds.empty() || answered)
            rounds.emplace_back();
        answered = false;
        rounds.back().push_back(label);
        ++sent;
        const fault meets = sent == faultat || label == faultlabel ? kind : fault::none;
        if (meets == fault::lost)
            lost = true;
        if (lost)
            return made(-1, failcode(LDAP_SERVER_DOWN));
        requests[sent] = asked{request, label, meets};
        return made(sent, status());
    }
    void abandon(int id) override { requests.erase(id); }

    // The answer to `request` as the table has it now, lies included.
    status answer(pending& request, std::vector<entry>& found)
    {
        answered = true;
        if (!whyof(request).ok())
            return whyof(request);
        const asked question = requests.at(idof(request));
        requests.erase(idof(request));
        idof(request) = -1;
        if (lost)
            return failcode(LDAP_SERVER_DOWN);
        if (question.meets == fault::silent)
            return failcode(LDAP_TIMEOUT);
        if (question.meets == fault::refused)
            return fail(LDAP_INSUFFICIENT_ACCESS, "insufficient access");
        const searchrequest& q = question.request;
        for (const auto& [dn, one] : entries) {
            const std::string parent = dn.substr(dn.find(',') + 1), base = lower(q.base);
            const bool within = q.depth == searchrequest::scope::base       ? dn == base
                                : q.depth == searchrequest::scope::onelevel ? parent == base && dn != base
                                : dn.size() > base.size() && dn.compare(dn.size() - base.size(), base.size(), base) == 0;
            std::size_t at = 0;
            if (within && (q.depth == searchrequest::scope::base ? q.filter == "(objectClass=*)" : matches(one, q.filter, at)))
                found.push_back(readable(one, q.attributes));
        }
        if (!found.empty() && question.meets == fault::decoy)
            found.insert(found.begin(), entry{"CN=Mallory,CN=Users," + domain, {{"mail", {"mallory@evil.test"}}}});
        if (!found.empty() && question.meets == fault::more)
            found.push_back(entry{"CN=Extra," + q.base, found.front().attributes});
        if (!found.empty() && question.meets == fault::elsewhere)
            found.front().dn = "CN=Alice,CN=Users,DC=other,DC=test";
        for (entry& one : found)
            for (auto& attribute : one.attributes)
                if (question.meets == fault::unfit && (attribute.first == "governsID" || attribute.first == "attributeID"))
                    attribute.second = {"notanoid"};
        if (q.depth == searchrequest::scope::base && found.empty())
            return fail(LDAP_NO_SUCH_OBJECT, "no such object");
        return status();
    }
    // The entry with only the attributes asked for, as a server sends it.
    static entry readable(const entry& one, const strings& attributes)
    {
        if (std::find(attributes.begin(), attributes.end(), "*") != attributes.end())
            return one;
        entry result{one.dn, {}};
        for (const auto& attribute : one.attributes)
            for (const std::string& name : attributes)
                if (lower(name) == lower(attribute.first))
                    result.attributes.push_back(attribute);
        return result;
    }

    std::map<int, asked> requests; // in flight, by id
    bool answered = false, lost = false;
};

// Alice's directory: her entry and the root DSE; the schema as a subschema
// entry and, on Active Directory, as schema objects too.
scriptedwire directory(bool activedirectory)
{
    scriptedwire server;
    const std::string subentry = activedirectory ? aggregate : "cn=Subschema";
    server.add("", {{"namingContexts", {domain}}, {"defaultNamingContext", {domain}}, {"subschemaSubentry", {subentry}}});
    if (activedirectory) {
        auto& root = server.entries[""].attributes;
        root.push_back({"configurationNamingContext", {"CN=Configuration," + domain}});
        root.push_back({"schemaNamingContext", {container}});
        root.push_back({"supportedCapabilities", {"1.2.840.113556.1.4.800"}});
    }
    server.add(alice, {{"objectClass", {"top", "person", "organizationalPerson", "user"}},
                       {"cn", {"Alice"}}, {"sAMAccountName", {"alice"}}, {"mail", {"alice@example.test"}},
                       {"userPrincipalName", {"alice@example.test"}}, {"subschemaSubentry", {subentry}}});
    server.add("CN=EXAMPLE,CN=Partitions,CN=Configuration," + domain,
               {{"objectClass", {"crossRef"}}, {"nCName", {domain}}, {"nETBIOSName", {"EXAMPLE"}}});
    struct type { const char* name; const char* oid; };
    const type types[] = {{"objectClass", "2.5.4.0"}, {"cn", "2.5.4.3"}, {"description", "2.5.4.13"},
                          {"mail", "0.9.2342.19200300.100.1.3"}, {"sAMAccountName", "1.2.840.113556.1.4.221"},
                          {"userPrincipalName", "1.2.840.113556.1.4.656"}, {"uid", "0.9.2342.19200300.100.1.1"},
                          {"subschemaSubentry", "2.5.18.10"}};
    strings descriptions;
    for (const type& t : types) {
        descriptions.push_back(std::string("( ") + t.oid + " NAME '" + t.name + "' SYNTAX 1.3.6.1.4.1.1466.115.121.1.15 )");
        server.add(std::string("CN=") + t.name + "," + container,
                   {{"objectClass", {"attributeSchema"}}, {"lDAPDisplayName", {t.name}}, {"attributeID", {t.oid}},
                    {"attributeSyntax", {"2.5.5.12"}}, {"oMSyntax", {"64"}}});
    }
    struct cls { const char* name; const char* oid; const char* sup; const char* category; strings must, may; };
    const cls classes[] = {{"top", "2.5.6.0", "top", "2", {"objectClass"}, {}},
                           {"person", "2.5.6.6", "top", "1", {"cn"}, {}},
                           {"organizationalPerson", "2.5.6.7", "person", "1", {}, {"description"}},
                           {"user", "1.2.840.113556.1.5.9", "organizationalPerson", "1", {}, {"userPrincipalName", "mail"}},
                           {"securityPrincipal", "1.2.840.113556.1.5.6", "top", "3", {"sAMAccountName"}, {}}};
    strings classtexts;
    for (const cls& c : classes) {
        const char* kinds[] = {"", "STRUCTURAL", "ABSTRACT", "AUXILIARY"};
        std::string text = std::string("( ") + c.oid + " NAME '" + c.name + "'" +
                           (std::string(c.sup) != c.name ? std::string(" SUP ") + c.sup : "") + " " + kinds[c.category[0] - '0'];
        if (!c.must.empty())
            text += " MUST ( " + join(c.must, " $ ") + " )";
        if (!c.may.empty())
            text += " MAY ( " + join(c.may, " $ ") + " )";
        classtexts.push_back(text + " )");
        std::vector<std::pair<std::string, strings>> object = {
            {"objectClass", {"classSchema"}}, {"lDAPDisplayName", {c.name}}, {"governsID", {c.oid}},
            {"subClassOf", {c.sup}}, {"objectClassCategory", {c.category}}, {"mustContain", c.must}, {"mayContain", c.may}};
        if (std::string(c.name) == "user")
            object.push_back({"systemAuxiliaryClass", {"securityPrincipal"}});
        server.add(std::string("CN=") + c.name + "," + container, object);
    }
    server.add(subentry, {{"attributeTypes", descriptions}, {"objectClasses", classtexts},
                          {"dITContentRules", {"( 1.2.840.113556.1.5.9 NAME 'user' AUX ( securityPrincipal ) MUST ( sAMAccountName ) )"}},
                          {"modifyTimestamp", {"20261201000000Z"}}});
    server.add(container, {{"modifyTimeStamp", {"20261201000000.0Z"}}});
    return server;
}

// What a run found: its failure, the entry and the layout of its classes.
struct outcome {
    status why;
    bool atschema = false; // the failure is the schema steps': it ends the query normally unless unreachable
    std::string dn, structural;
    strings mail, optional, text; // text: the requested attributes taken for text, sorted
};

const strings entryattributes = {"objectClass", "subschemaSubentry", "mail", "userPrincipalName", "description"};

outcome runonce(scriptedwire& server, const std::string& cache, const std::string& site = "")
{
    session asked(server, cache);
    userfound found;
    outcome result;
    result.why = asked.finduser(entryattributes, site, "", found);
    if (result.why.ok())
        result.why = found.entryfailure;
    const std::unordered_set<std::string> requested = {"mail", "userprincipalname", "description"};
    classlayout layout;
    if (result.why.ok()) {
        result.why = asked.resolve(found, &requested, layout);
        result.atschema = !result.why.ok();
    }
    result.dn = found.user.dn;
    result.mail = found.user.values("mail");
    result.structural = layout.structural;
    result.optional = layout.optional;
    for (const std::string& name : layout.strings)
        if (requested.count(name))
            result.text.push_back(name);
    std::sort(result.text.begin(), result.text.end());
    return result;
}

// A case: the directory, what happens before the run measured (runs that
// leave a record and a cache), and what that run sends, a round a string.
struct runcase {
    const char* what;
    bool activedirectory;
    std::function<void(scriptedwire&, const std::string& cache)> before;
    strings rounds;
};

const auto cold = [](scriptedwire&, const std::string&) {};
// Warm: a run that reads, and one that confirms what it read.
const auto warm = [](scriptedwire& server, const std::string& cache) {
    runonce(server, cache);
    runonce(server, cache);
};

std::string joined(const std::vector<strings>& rounds)
{
    strings lines;
    for (const strings& round : rounds)
        lines.push_back(join(round, " "));
    return join(lines, " | ");
}

const std::vector<runcase>& cases()
{
    static const std::vector<runcase> all = {
        {"slapd, cold: a Kerberos principal's guess for Active Directory too", false, cold,
         {"whoami rootdse account stamp auxiliaries classes attributes", "subschema entry"}},
        {"slapd, bound by DN, cold", false,
         [](scriptedwire& s, const std::string&) { s.sasl = "uid=alice,cn=auth"; },
         {"whoami rootdse", "subschema entry"}},
        {"slapd, the second run: the first one's reading is confirmed", false,
         [](scriptedwire& s, const std::string& cache) { runonce(s, cache); }, {"whoami entry subschemastamp"}},
        {"slapd, warm", false, warm, {"whoami entry"}},
        {"slapd, warm, the file past its trust window", false,
         [](scriptedwire& s, const std::string& cache) {
             warm(s, cache);
             for (const auto& file : std::filesystem::directory_iterator(cache))
                 if (file.path().filename().string().rfind("schema-", 0) == 0)
                     std::filesystem::last_write_time(file.path(), std::filesystem::last_write_time(file.path()) -
                                                                       std::chrono::hours(24 * 366));
         },
         {"whoami entry subschemastamp"}},
        {"slapd, warm, another user", false,
         [](scriptedwire& s, const std::string& cache) {
             warm(s, cache);
             s.add("CN=Bob,CN=Users," + domain, s.entries[lower(alice)].attributes);
             s.whoamianswer = "dn:CN=Bob,CN=Users," + domain;
         },
         {"whoami entry", "rootdse", "entry"}},
        {"slapd, warm, the schema grew a type the entry now holds", false,
         [](scriptedwire& s, const std::string& cache) {
             auto& subschema = s.entries["cn=subschema"].attributes;
             const auto grown = subschema;
             for (std::string& text : subschema[1].second)
                 if (text.find("'organizationalPerson'") != std::string::npos)
                     text = text.substr(0, text.find(" MAY")) + " )";
             warm(s, cache);
             subschema = grown;
             subschema[3].second = {"20261202000000Z"};
             s.entries[lower(alice)].attributes.push_back({"description", {"desk@example.test"}});
         },
         {"whoami entry", "subschemastamp", "subschema"}},
        {"slapd, u:alice, cold", false,
         [](scriptedwire& s, const std::string&) { s.whoamianswer = "u:alice"; },
         {"whoami rootdse account stamp auxiliaries classes attributes", "subschema account"}},
        {"slapd, u:alice, warm", false,
         [](scriptedwire& s, const std::string& cache) {
             s.whoamianswer = "u:alice";
             warm(s, cache);
         },
         {"whoami rootdse account"}},
        {"AD, bound by DN, cold", true,
         [](scriptedwire& s, const std::string&) { s.sasl = "uid=alice,cn=auth"; },
         {"whoami rootdse", "stamp auxiliaries entry", "attributes classes"}},
        {"AD without \"Who am I?\" (Samba), cold: the first run's guess confirmed", true,
         [](scriptedwire& s, const std::string&) { s.whoamianswer = ""; },
         {"whoami rootdse account stamp auxiliaries classes attributes"}},
        {"AD without \"Who am I?\", warm", true,
         [](scriptedwire& s, const std::string& cache) {
             s.whoamianswer = "";
             runonce(s, cache);
         },
         {"whoami rootdse account stamp"}},
        {"AD, u:EXAMPLE\\alice, cold", true,
         [](scriptedwire& s, const std::string&) { s.whoamianswer = "u:EXAMPLE\\alice"; },
         {"whoami rootdse account stamp auxiliaries classes attributes", "netbios"}},
        {"AD, u:EXAMPLE\\alice, warm", true,
         [](scriptedwire& s, const std::string& cache) {
             s.whoamianswer = "u:EXAMPLE\\alice";
             runonce(s, cache);
         },
         {"whoami rootdse account stamp", "netbios"}},
        {"AD, cold, the guess refuted: another forest's schema", true,
         [](scriptedwire& s, const std::string&) { s.sasl = "alice@EXAMPLE.TEST.OTHER"; },
         {"whoami rootdse account stamp auxiliaries classes attributes", "stamp auxiliaries entry",
          "attributes classes"}},
        {"AD, warm", true, warm, {"whoami rootdse entry stamp"}},
        {"AD, warm, the entry holds a type the layout lacks", true,
         [](scriptedwire& s, const std::string& cache) {
             runonce(s, cache);
             s.entries[lower(alice)].attributes.push_back({"description", {"desk@example.test"}});
         },
         {"whoami rootdse entry stamp", "attributes"}},
        {"AD, warm, located with a remembered site", true, warm, {"whoami rootdse entry stamp site"}},
    };
    return all;
}

// A fresh cache directory for each run of a case.
class cachedirectory {
public:
    cachedirectory()
    {
        char made[] = "/tmp/usermail-session-XXXXXX";
        path = mkdtemp(made) ? made : "";
    }
    ~cachedirectory() { std::filesystem::remove_all(path); }
    std::string path;
};

// One case's measured run, after what comes before it.
outcome runcaseonce(const runcase& c, scriptedwire& server)
{
    cachedirectory cache;
    c.before(server, cache.path);
    server.rounds.clear();
    server.sent = 0;
    const bool located = std::string(c.what).find("site") != std::string::npos;
    return runonce(server, cache.path, located ? "example.test" : "");
}

TEST(session, roundsofeachcase)
{
    for (const runcase& c : cases()) {
        scriptedwire server = directory(c.activedirectory);
        const outcome found = runcaseonce(c, server);
        EXPECT_TRUE(found.why.ok()) << c.what << ": " << found.why.text();
        EXPECT_EQ(found.structural, "user") << c.what;
        EXPECT_EQ(joined(server.rounds), join(c.rounds, " | ")) << c.what;
    }
}

TEST(session, liesarenevertaken)
{
    struct row {
        const char* what;
        bool activedirectory;
        std::string whoami;
        fault kind;
        std::string label;
        std::string why; // the failure's text; "" for a run that finds Alice and her layout
    } rows[] = {
        {"an entry under another DN, sent first", false, "dn:" + alice, fault::decoy, "entry", ""},
        {"an account search's entry under another DN, sent first", true, "", fault::decoy, "account", ""},
        {"the account search answered from another domain", false, "u:alice", fault::elsewhere, "account",
         "4294967282 = no directory entry for the account alice under " + domain},
        {"more class objects than asked", true, "", fault::more, "classes", ""},
        {"more attribute objects than asked", true, "", fault::more, "attributes", ""},
        {"class objects found but unfit (no OID)", true, "", fault::unfit, "classes", ""},
        {"attribute objects found but unfit", true, "", fault::unfit, "attributes", ""},
        {"the schema container refused", true, "", fault::refused, "classes", ""},
        {"the subschema refused too", true, "", fault::refused, "subschema", ""},
    };
    for (const row& r : rows) {
        scriptedwire server = directory(r.activedirectory);
        server.whoamianswer = r.whoami;
        if (r.label == "subschema") // the objects unfit, so that the subschema is read
            server.entries[lower("CN=user," + container)].attributes[2].second = {"x"};
        server.kind = r.kind;
        server.faultlabel = r.label;
        cachedirectory cache;
        const outcome found = runonce(server, cache.path);
        if (r.label == "subschema") {
            EXPECT_EQ(found.why.text(), "50 = insufficient access") << r.what;
            continue;
        }
        EXPECT_EQ(found.why.ok() ? "" : found.why.text(), r.why) << r.what;
        if (!r.why.empty())
            continue;
        EXPECT_EQ(found.dn, alice) << r.what;
        EXPECT_EQ(found.mail, strings{"alice@example.test"}) << r.what;
        EXPECT_EQ(found.structural, "user") << r.what;
        if (r.label == "classes" || r.label == "attributes") {
            EXPECT_EQ(server.rounds.back(), strings{"subschema"}) << r.what << ": " << joined(server.rounds);
        }
        // What a lie made the run read instead is not cached as if it were
        // the server's word: the next run reads the same layout.
        server.kind = fault::none;
        const outcome next = runonce(server, cache.path);
        EXPECT_EQ(next.optional, found.optional) << r.what;
        EXPECT_EQ(next.text, found.text) << r.what;
    }
}

TEST(session, lostorsilentateveryrequest)
{
    // The connection lost or silent at request k of a case fails the run
    // (at the schema steps, as unreachable: anything else ends the query
    // normally), or leaves what the run finds as it was. Never a run that
    // ends well with less.
    for (const runcase& c : cases()) {
        scriptedwire clean = directory(c.activedirectory);
        const outcome expected = runcaseonce(c, clean);
        for (int k = 1; k <= clean.sent; ++k)
            for (const fault kind : {fault::lost, fault::silent}) {
                scriptedwire server = directory(c.activedirectory);
                const std::string what = std::string(c.what) + (kind == fault::lost ? ", lost" : ", silent") +
                                         " at request " + std::to_string(k);
                server.kind = kind;
                server.faultat = k;
                // Faults count from the measured run's first request.
                const runcase measured{c.what, c.activedirectory, [&](scriptedwire& s, const std::string& cache) {
                                           s.kind = fault::none;
                                           c.before(s, cache);
                                           s.kind = kind;
                                       }, c.rounds};
                const outcome found = runcaseonce(measured, server);
                if (found.why.ok()) {
                    EXPECT_EQ(found.mail, expected.mail) << what;
                    EXPECT_EQ(found.optional, expected.optional) << what;
                    EXPECT_EQ(found.text, expected.text) << what;
                } else if (found.atschema) {
                    EXPECT_TRUE(found.why.unreachable()) << what << ": " << found.why.text();
                }
            }
    }
}

} // namespace
} // namespace openldap
