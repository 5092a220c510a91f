#include "platform/ldap/session/ldaplastrun.h"

#include "platform/ldap/common/ldaprecord.h"

namespace openldap {

namespace {

recordfile lastrunfile(const std::string& directory, const std::string& server, const std::string& identity)
{
    return recordfile(identity.empty() ? std::string() : directory, "last-" + hexhash(server + "\n" + identity));
}

} // namespace

bool readlastrun(const std::string& directory, const std::string& server, const std::string& identity,
                 lastrun& last)
{
    const std::string contents = lastrunfile(directory, server, identity).read();
    recordlines file(contents);
    std::string_view line[8];
    for (std::string_view& text : line)
        if (!file.next(text))
            return false;
    if (line[0] != "usermail last run 1" || line[1] != "server " + server || line[2] != "identity " + identity)
        return false;
    last.dn = field(line[3], "dn");
    last.searched = line[4] == "searched yes";
    last.base = field(line[5], "base");
    last.filter = field(line[6], "filter");
    last.subentry = field(line[7], "subentry");
    std::string_view context;
    if (file.next(context))
        last.schemacontext = field(context, "schemacontext");
    return !last.dn.empty();
}

void writelastrun(const std::string& directory, const std::string& server, const std::string& identity,
                  const lastrun& last)
{
    if (!oneline({server, identity, last.dn, last.base, last.filter, last.subentry, last.schemacontext}))
        return;
    lastrunfile(directory, server, identity)
        .write("usermail last run 1\nserver " + server + "\nidentity " + identity + "\ndn " + last.dn +
               "\nsearched " + (last.searched ? "yes" : "no") + "\nbase " + last.base + "\nfilter " + last.filter +
               "\nsubentry " + last.subentry + "\nschemacontext " + last.schemacontext + "\n");
}

} // namespace openldap
