#include "platform/ldap/session/ldaprounds.h"

#include "platform/ldap/common/ldaptext.h"
#include "platform/ldap/session/ldapidentity.h"

#include <algorithm>
#include <unordered_set>
#include <utility>

namespace openldap {

namespace {

// The same request, its base however spelled.
bool same(const searchrequest& first, const searchrequest& second)
{
    return first.depth == second.depth && first.filter == second.filter && first.attributes == second.attributes &&
           first.sizelimit == second.sizelimit && (first.base == second.base || samedn(first.base, second.base));
}

} // namespace

void rounds::send(purpose why, const searchrequest& request, std::vector<std::string> names)
{
    abandon(why);
    flight& sent = table[why];
    sent.request = request;
    sent.names = std::move(names);
    sent.answer = server.send(request);
}

void rounds::sendwhoami()
{
    abandon(purpose::whoami);
    table[purpose::whoami].answer = server.sendwhoami();
}

bool rounds::inflight(purpose why) const
{
    const auto found = table.find(why);
    return found != table.end() && found->second.answer.outstanding();
}

const searchrequest* rounds::asked(purpose why) const
{
    return inflight(why) ? &table.at(why).request : nullptr;
}

bool rounds::covers(purpose why, const std::vector<std::string>& names) const
{
    if (!inflight(why))
        return false;
    std::unordered_set<std::string> have;
    for (const std::string& name : table.at(why).names)
        have.insert(lower(name));
    return std::all_of(names.begin(), names.end(), [&](const std::string& name) { return have.count(lower(name)); });
}

std::size_t rounds::namesasked(purpose why) const
{
    return inflight(why) ? table.at(why).names.size() : 0;
}

wire::pending rounds::takeout(purpose why)
{
    const auto found = table.find(why);
    wire::pending answer = std::move(found->second.answer);
    table.erase(found);
    return answer;
}

wire::pending rounds::take(purpose why, const searchrequest& wanted)
{
    if (inflight(why) && same(table.at(why).request, wanted))
        return takeout(why);
    abandon(why);
    return server.send(wanted);
}

wire::pending rounds::takenamed(purpose why, const searchrequest& wanted, const std::vector<std::string>& names)
{
    if (covers(why, names))
        return takeout(why);
    abandon(why);
    return server.send(wanted);
}

std::string rounds::whoami()
{
    if (!table.count(purpose::whoami))
        sendwhoami();
    wire::pending answer = takeout(purpose::whoami);
    return server.finishwhoami(answer);
}

void rounds::abandon(purpose why)
{
    table.erase(why); // a pending request abandons itself
}

} // namespace openldap
