// libFuzzer target: any datagram as a controller's answer to the site ping.
// Whatever arrives on the socket, reading it must neither crash, leak, nor
// read outside it; the structure inside is tried on its own too, since
// that is where the compressed names are.
#include "platform/ldap/locate/ldapnetlogon.h"

#include <cstdint>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    openldap::netlogonanswer answer;
    openldap::readnetlogonreply(bytes, 7, answer);
    openldap::readsamlogonex(bytes, answer);
    return 0;
}
