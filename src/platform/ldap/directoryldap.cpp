// The directory on Linux and other POSIX systems: OpenLDAP's libldap with a
// SASL bind on the caller's own credentials (the Kerberos ticket, or the
// peer credentials of a local socket). Server, base and mechanism come from
// libldap's own configuration (ldap.conf, ~/.ldaprc, LDAPURI...), exactly as
// for ldapsearch.
#include "directory/mydirectory.h"
#include "platform/ldap/ldapschema.h"
#include "platform/ldap/ldapsession.h"
#include "platform/ldap/ldaptext.h"
#include "platform/platform.h"

#include <clocale>
#include <cstring>

namespace {

class myldapdirectory : public mydirectory {
public:
    bool initialize() override
    {
        // Only to learn the user's character set for converting values; the
        // log's time stamps keep the "C" locale.
        std::setlocale(LC_CTYPE, "");
        return true;
    }
    void uninitialize() override {}

    bool createsysteminfo() override { return session.open(); }
    void releasesysteminfo() override { session.close(); }

    bool username(std::string& name) override
    {
        if (!session.finduser(userdn, entry))
            return false;
        name = tonarrow(userdn);
        return true;
    }

    bool bind() override { return session.readentry(userdn, entry); }
    void releaseuser() override { entry = myldapentry(); }

    bool objectname(std::string& name) override
    {
        // The DN as the server writes it, which "Who am I?" may have normalised.
        name = tonarrow(firstrdn(entry.dn.empty() ? userdn : entry.dn));
        return true;
    }

    bool schemapath(std::string& path) override
    {
        if (!session.readschema(entry, schema))
            return false;
        structural = schema.structuralclass(entry.values("objectClass"));
        if (structural.empty()) {
            platform::setlasterror(LDAP_OBJECT_CLASS_VIOLATION,
                                   "the entry's structural object class is not in the schema");
            return false;
        }
        path = "LDAP://" + session.host() + "/schema/" + tonarrow(structural);
        return true;
    }

    bool openclass() override
    {
        mandatory.clear();
        optional.clear();
        schema.attributelists(structural, entry.values("objectClass"), mandatory, optional);
        return true;
    }
    void releaseclass() override
    {
        mandatory.clear();
        optional.clear();
    }

    bool namelist(listkind kind, std::size_t& count) override
    {
        list = kind == listkind::mandatory ? &mandatory : &optional;
        count = list->size();
        return true;
    }

    bool listname(std::size_t index, std::string& name) override
    {
        name = tonarrow((*list)[index]);
        return true;
    }

    readresult get(std::size_t index, myvalue& value) override
    {
        // Answered from the entry read once, as ADSI answers from its cache.
        const std::vector<std::string> values = entry.values((*list)[index], &schema);
        if (values.empty())
            return readresult::notfound;
        // Several values, or a value that isn't text, is "not a string".
        value.isstring = values.size() == 1 && schema.isstring((*list)[index]);
        if (value.isstring)
            value.text = tonarrow(values.front());
        return readresult::ok;
    }

    void releasenamelist() override { list = nullptr; }

private:
    myldapsession session;
    std::string userdn;
    myldapentry entry;
    myldapschema schema;
    std::string structural;
    std::vector<std::string> mandatory, optional;
    const std::vector<std::string>* list = nullptr;
};

} // namespace

std::unique_ptr<mydirectory> makedirectory()
{
    return std::make_unique<myldapdirectory>();
}
