// The wall clock: the log's time stamps and every trust window of the
// directory backends (the schema cache's hour, the site record's, the
// records' 30 days unused) read it. One seam, so that a test moves time
// instead of touching files.
#pragma once

#include <ctime>

namespace platform {

// Seconds since the epoch: the system's clock, or a test's (testclock).
std::time_t walltime();

// Makes walltime() read `now` for as long as it lives; for tests. Not
// thread-safe, and they don't nest.
class testclock {
public:
    explicit testclock(std::time_t now);
    testclock(const testclock&) = delete;
    testclock& operator=(const testclock&) = delete;
    ~testclock();
    void set(std::time_t now);
};

} // namespace platform
