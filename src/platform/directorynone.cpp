// A build without a directory backend: every query fails at its start.
#include "directory/mydirectory.h"
#include "platform/platform.h"

namespace {

class mynodirectory : public mydirectory {
public:
    bool initialize() override { return true; }
    void uninitialize() override {}
    bool createsysteminfo() override
    {
        platform::setlasterror(0xFFFFFFFFu, "this build has no directory backend");
        return false;
    }
    void releasesysteminfo() override {}
    bool username(std::string&) override { return false; }
    bool bind() override { return false; }
    void releaseuser() override {}
    bool objectname(std::string&) override { return false; }
    bool schemapath(std::string&) override { return false; }
    bool openclass() override { return false; }
    void releaseclass() override {}
    bool namelist(listkind, std::size_t&) override { return false; }
    bool listname(std::size_t, std::string&) override { return false; }
    readresult get(std::size_t, myvalue&) override { return readresult::failed; }
    void releasenamelist() override {}
};

} // namespace

std::unique_ptr<mydirectory> makedirectory()
{
    return std::make_unique<mynodirectory>();
}
