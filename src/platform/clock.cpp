#include "platform/clock.h"

namespace platform {

namespace {
bool fixed = false;
std::time_t fixedtime = 0;
} // namespace

std::time_t walltime()
{
    return fixed ? fixedtime : std::time(nullptr);
}

testclock::testclock(std::time_t now)
{
    set(now);
}

testclock::~testclock()
{
    fixed = false;
}

void testclock::set(std::time_t now)
{
    fixed = true;
    fixedtime = now;
}

} // namespace platform
