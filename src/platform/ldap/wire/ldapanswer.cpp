#include "platform/ldap/wire/ldapanswer.h"

#include <vector>

namespace openldap {

namespace {

// Frees a reading position in a message, not the message it reads.
struct positionfree {
    void operator()(BerElement* position) const { ber_free(position, 0); }
};
using berposition = std::unique_ptr<BerElement, positionfree>;

// One answer's attributes, read in place one after the other: a subschema
// runs to megabytes, and is never copied whole.
class attributereader {
public:
    attributereader(LDAP* ld, LDAPMessage* answer) : ld(ld), answer(answer)
    {
        BerElement* start = nullptr;
        berval dn = {0, nullptr};
        if (ldap_get_dn_ber(ld, answer, &start, &dn) == LDAP_SUCCESS)
            position.reset(start);
        else
            ber_free(start, 0);
    }
    attributereader(const attributereader&) = delete;
    attributereader& operator=(const attributereader&) = delete;
    ~attributereader() { ber_memfree(values); }

    // Moves to the next attribute; false after the last.
    bool next()
    {
        ber_memfree(values);
        values = nullptr;
        return position &&
               ldap_get_attribute_ber(ld, answer, position.get(), &name, &values) == LDAP_SUCCESS && name.bv_val;
    }
    std::string type() const { return std::string(name.bv_val, name.bv_len); }
    // The current attribute's values, ending at a null one.
    const berval* first() const { return values; }

private:
    LDAP* ld;
    LDAPMessage* answer;
    berposition position;
    berval name = {0, nullptr};
    berval* values = nullptr;
};

} // namespace

std::string dnof(LDAP* ld, LDAPMessage* answer)
{
    char* dn = ldap_get_dn(ld, answer);
    std::string result = dn ? dn : "";
    ldap_memfree(dn);
    return result;
}

entry toentry(LDAP* ld, LDAPMessage* answer)
{
    entry result;
    result.dn = dnof(ld, answer);
    attributereader attributes(ld, answer);
    while (attributes.next()) {
        std::vector<std::string> texts;
        for (const berval* value = attributes.first(); value && value->bv_val; ++value)
            texts.emplace_back(value->bv_val, value->bv_len);
        result.attributes.emplace_back(attributes.type(), std::move(texts));
    }
    return result;
}

inplaceentry readinplace(LDAP* ld, message answer)
{
    inplaceentry result;
    result.dn = dnof(ld, answer.get());
    attributereader attributes(ld, answer.get());
    while (attributes.next()) {
        std::vector<std::string_view> values;
        for (const berval* value = attributes.first(); value && value->bv_val; ++value)
            values.emplace_back(value->bv_val, value->bv_len);
        result.attributes.emplace_back(attributes.type(), std::move(values));
    }
    result.owner = std::shared_ptr<const LDAPMessage>(answer.release(), messagefree());
    return result;
}

int resultof(LDAP* ld, LDAPMessage* answer)
{
    int result = LDAP_SUCCESS;
    const int parsed = ldap_parse_result(ld, answer, &result, nullptr, nullptr, nullptr, nullptr, 0);
    return parsed != LDAP_SUCCESS ? parsed : result;
}

} // namespace openldap
