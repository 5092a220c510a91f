#include "platform/ldap/wire/ldapwire.h"

namespace openldap {

bool searchrequest::operator==(const searchrequest& other) const
{
    return base == other.base && depth == other.depth && filter == other.filter && attributes == other.attributes &&
           sizelimit == other.sizelimit;
}

wire::pending& wire::pending::operator=(pending&& other) noexcept
{
    if (this != &other) {
        abandon();
        owner = other.owner;
        id = other.id;
        why = std::move(other.why);
        sent = other.sent;
        other.owner = nullptr;
        other.id = -1;
    }
    return *this;
}

void wire::pending::abandon()
{
    if (outstanding())
        owner->abandon(id);
    id = -1;
}

wire::pending wire::made(int id, status why)
{
    pending request;
    request.owner = this;
    request.id = why.ok() ? id : -1;
    request.why = std::move(why);
    return request;
}

} // namespace openldap
