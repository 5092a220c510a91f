#include "platform/ldap/wire/ldapsasl.h"

#include "platform/ldap/common/ldapfailure.h"
#include "platform/ldap/common/ldaptext.h"

#include <dlfcn.h>
#include <sasl/sasl.h>
#include <sasl/saslplug.h>

#include <cstring>
#include <map>

namespace openldap {

namespace {

// The SASL modules installed, by file name, with their paths: libsasl2
// names each to the file check while it starts, which admits none.
std::map<std::string, std::string>& saslmodules()
{
    static std::map<std::string, std::string> found;
    return found;
}

// Loads one SASL module as libsasl2's own loader would; false when it can't.
bool loadsaslmodule(const std::string& path)
{
    void* module = ::dlopen(path.c_str(), RTLD_NOW | RTLD_GLOBAL);
    auto* init = module ? reinterpret_cast<sasl_client_plug_init_t*>(::dlsym(module, "sasl_client_plug_init")) : nullptr;
    const std::string name = path.substr(path.rfind('/') + 1);
    return init && sasl_client_add_plugin(name.c_str(), init) == SASL_OK;
}

// The SASL module that serves a mechanism, by its file's name: "" for one
// built into libsasl2 (EXTERNAL), null for one not known here.
const char* saslmodule(const std::string& mechanism)
{
    static const std::pair<const char*, const char*> modules[] = {
        {"EXTERNAL", ""},           {"GSSAPI", "libgssapiv2.so"}, {"GSS-SPNEGO", "libgssapiv2.so"},
        {"GS2-KRB5", "libgs2.so"},  {"GS2-IAKERB", "libgs2.so"},  {"PLAIN", "libplain.so"},
        {"LOGIN", "liblogin.so"},   {"ANONYMOUS", "libanonymous.so"}, {"CRAM-MD5", "libcrammd5.so"},
        {"DIGEST-MD5", "libdigestmd5.so"}, {"NTLM", "libntlm.so"}, {"OTP", "libotp.so"},
        {"SCRAM-SHA-1", "libscram.so"}, {"SCRAM-SHA-256", "libscram.so"}};
    for (const auto& module : modules)
        if (mechanism == module.first)
            return module.second;
    return nullptr;
}

} // namespace

void startsasl()
{
    using verifyfile = int (*)(void*, const char*, sasl_verify_type_t);
    static const verifyfile verify = [](void*, const char* file, sasl_verify_type_t type) {
        if (type != SASL_VRFY_PLUGIN)
            return SASL_OK;
        const char* name = std::strrchr(file, '/');
        saslmodules().emplace(name ? name + 1 : file, file);
        return SASL_CONTINUE;
    };
    // libsasl2 takes every callback as int (*)(void), through void (*)().
    static const sasl_callback_t callbacks[] = {
        {SASL_CB_VERIFYFILE, reinterpret_cast<int (*)()>(reinterpret_cast<void (*)()>(verify)), nullptr},
        {SASL_CB_LIST_END, nullptr, nullptr}};
    sasl_client_init(callbacks);
}

status loadsasl(const std::string& mechanism)
{
    static bool loaded = false;
    if (loaded)
        return status();
    const char* needed = saslmodule(upper(mechanism));
    const auto& installed = saslmodules();
    if (!needed) { // a mechanism not known here: every module, as libsasl2 would
        for (const auto& module : installed)
            loadsaslmodule(module.second);
        loaded = true;
        return status();
    }
    if (!*needed) {
        loaded = true;
        return status();
    }
    const auto module = installed.find(needed);
    if (module == installed.end() || !loadsaslmodule(module->second))
        return failcode(LDAP_AUTH_UNKNOWN, "the SASL module for " + mechanism + " (" + needed +
                                               ") is not installed" +
                                               (std::string(needed) == "libgssapiv2.so"
                                                    ? " (Debian: libsasl2-modules-gssapi-mit)"
                                                    : ""));
    loaded = true;
    return status();
}

} // namespace openldap
