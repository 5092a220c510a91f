#include "platform/ldap/locate/ldapnetlogon.h"

#include "platform/ldap/common/ldaptext.h"

#include <lber.h>
#include <ldap.h>
#include <resolv.h>

#include <cstdio>
#include <cstring>
#include <memory>

namespace openldap {

namespace {

// The answer types and the version asked for: 5 (2), 5EX (4) and the
// client's closest site (0x10).
const std::uint16_t samlogonresponseex = 23;
const std::uint16_t samuserunknownex = 25;
const std::uint32_t ntversion = 0x16;

// Frees a BER element together with the buffer it wrote.
struct elementfree {
    void operator()(BerElement* ber) const { ber_free(ber, 1); }
};
using berelement = std::unique_ptr<BerElement, elementfree>;

// Reads little-endian fields and compressed names out of the structure,
// never past its end.
class reader {
public:
    explicit reader(std::string_view data) : data(data) {}

    bool skip(std::size_t count)
    {
        if (data.size() - at < count)
            return false;
        at += count;
        return true;
    }
    bool u16(std::uint16_t& value)
    {
        if (data.size() - at < 2)
            return false;
        value = static_cast<std::uint16_t>(byte(at) | byte(at + 1) << 8);
        at += 2;
        return true;
    }
    bool u32(std::uint32_t& value)
    {
        if (data.size() - at < 4)
            return false;
        value = byte(at) | byte(at + 1) << 8 | byte(at + 2) << 16 | static_cast<std::uint32_t>(byte(at + 3)) << 24;
        at += 4;
        return true;
    }

    // A DNS name at the current place; the place moves past it (past the
    // first pointer, where it has one). libresolv reads it: never past the
    // structure's end, no pointer loops, at most 254 characters; characters
    // that are not plain in a name come escaped ("\.", "\032").
    bool name(std::string& text)
    {
        const auto* begin = reinterpret_cast<const unsigned char*>(data.data());
        char expanded[255];
        const int used = at < data.size() ? ::dn_expand(begin, begin + data.size(), begin + at, expanded,
                                                         static_cast<int>(sizeof expanded))
                                          : -1;
        if (used < 0)
            return false;
        at += static_cast<std::size_t>(used);
        // The root comes back as ".": no name.
        text = std::strcmp(expanded, ".") == 0 ? "" : expanded;
        return true;
    }

private:
    std::uint32_t byte(std::size_t place) const { return static_cast<unsigned char>(data[place]); }
    std::string_view data;
    std::size_t at = 0;
};

} // namespace

std::string netlogonrequest(int id, const std::string& domain)
{
    berelement ber(ber_alloc_t(LBER_USE_DER));
    if (!ber)
        return std::string();
    const char version[4] = {static_cast<char>(ntversion), 0, 0, 0};
    // SearchRequest: the root DSE, base scope, no aliases or limits, the
    // filter (&(DnsDomain=...)(NtVer=...)), and the one attribute.
    const int built = ber_printf(ber.get(), "{it{seeiibt{t{ss}t{so}}{s}}}", static_cast<ber_int_t>(id),
                                 static_cast<ber_tag_t>(LDAP_REQ_SEARCH), "", LDAP_SCOPE_BASE, LDAP_DEREF_NEVER, 0,
                                 0, 0, static_cast<ber_tag_t>(LDAP_FILTER_AND),
                                 static_cast<ber_tag_t>(LDAP_FILTER_EQUALITY), "DnsDomain", domain.c_str(),
                                 static_cast<ber_tag_t>(LDAP_FILTER_EQUALITY), "NtVer", version,
                                 static_cast<ber_len_t>(sizeof version), "Netlogon");
    berval* flat = nullptr;
    if (built == -1 || ber_flatten(ber.get(), &flat) != 0 || !flat)
        return std::string();
    std::string request(flat->bv_val, flat->bv_len);
    ber_bvfree(flat);
    return request;
}

std::string netlogonfilter(const std::string& domain)
{
    // Values as a filter writes them: a special character as \XX, NtVer as
    // its four little-endian bytes.
    std::string name;
    for (const char c : domain) {
        char escaped[4];
        std::snprintf(escaped, sizeof escaped, "\\%02x", static_cast<unsigned char>(c));
        name += c == '(' || c == ')' || c == '*' || c == '\\' || c == '\0' ? std::string(escaped) : std::string(1, c);
    }
    char version[16];
    std::snprintf(version, sizeof version, "\\%02x\\00\\00\\00", static_cast<unsigned>(ntversion & 0xff));
    return "(&(DnsDomain=" + name + ")(NtVer=" + version + "))";
}

bool readnetlogonreply(std::string_view datagram, int id, netlogonanswer& answer)
{
    if (datagram.empty()) // liblber asserts on an empty buffer
        return false;
    berval in = {static_cast<ber_len_t>(datagram.size()), const_cast<char*>(datagram.data())};
    berelement ber(ber_init(&in));
    if (!ber)
        return false;
    ber_int_t messageid = 0;
    ber_len_t length = 0;
    berval dn = {0, nullptr};
    if (ber_scanf(ber.get(), "{i", &messageid) == LBER_ERROR || messageid != id ||
        ber_peek_tag(ber.get(), &length) != LDAP_RES_SEARCH_ENTRY || ber_scanf(ber.get(), "{m", &dn) == LBER_ERROR)
        return false;
    char* attributesend = nullptr;
    for (ber_tag_t tag = ber_first_element(ber.get(), &length, &attributesend); tag != LBER_DEFAULT;
         tag = ber_next_element(ber.get(), &length, attributesend)) {
        berval type = {0, nullptr};
        if (ber_scanf(ber.get(), "{m", &type) == LBER_ERROR)
            return false;
        const bool netlogon = lower(std::string(type.bv_val, type.bv_len)) == "netlogon";
        char* valuesend = nullptr;
        for (ber_tag_t value = ber_first_element(ber.get(), &length, &valuesend); value != LBER_DEFAULT;
             value = ber_next_element(ber.get(), &length, valuesend)) {
            berval data = {0, nullptr};
            if (ber_scanf(ber.get(), "m", &data) == LBER_ERROR)
                return false;
            if (netlogon)
                return readsamlogonex(std::string_view(data.bv_val, data.bv_len), answer);
        }
    }
    return false;
}

bool readsamlogonex(std::string_view data, netlogonanswer& answer)
{
    reader in(data);
    std::uint16_t opcode = 0;
    netlogonanswer read;
    std::string user;
    if (!in.u16(opcode) || (opcode != samlogonresponseex && opcode != samuserunknownex) || !in.skip(2) ||
        !in.u32(read.flags) || !in.skip(16) || !in.name(read.forest) || !in.name(read.domain) ||
        !in.name(read.host) || !in.name(read.netbiosdomain) || !in.name(read.netbioshost) || !in.name(user) ||
        !in.name(read.dcsite) || !in.name(read.clientsite))
        return false;
    answer = std::move(read);
    return true;
}

} // namespace openldap
