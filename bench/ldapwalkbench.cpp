// The LDAP backend's attribute walk over a wide class and entry: the class's
// attribute lists, the entry indexed once, and one look-up per listed name,
// as a whole run does them. Linear: 20,000 attributes take milliseconds.
#include "platform/ldap/schema/ldapindex.h"
#include "platform/ldap/schema/ldaplayout.h"
#include "platform/ldap/schema/ldapschema.h"

#include <benchmark/benchmark.h>

#include <string>
#include <vector>

namespace {

void widewalk(benchmark::State& state)
{
    const int count = static_cast<int>(state.range(0));
    openldap::schema names;
    openldap::entry entry;
    std::string may;
    names.add("attributetypes", "( 2.5.4.0 NAME 'objectClass' SYNTAX 1.3.6.1.4.1.1466.115.121.1.38 )");
    for (int i = 0; i < count; ++i) {
        const std::string name = "wideAttribute" + std::to_string(i);
        names.add("attributetypes", ("( 9.9." + std::to_string(i) + " NAME '" + name +
                                     "' SYNTAX 1.3.6.1.4.1.1466.115.121.1.15 )").c_str());
        may += (i ? " $ " : "") + name;
        entry.attributes.push_back({"WIDEATTRIBUTE" + std::to_string(i), {"value" + std::to_string(i)}});
    }
    names.add("objectclasses", "( 2.5.6.0 NAME 'top' ABSTRACT MUST objectClass )");
    names.add("objectclasses", ("( 9.9.0 NAME 'wide' SUP top STRUCTURAL MAY ( " + may + " ) )").c_str());
    entry.attributes.push_back({"objectClass", {"top", "wide"}});

    for (auto _ : state) {
        const openldap::classlayout layout = openldap::layoutof(names, entry.values("objectClass"));
        const openldap::entryindex index(entry, layout);
        std::size_t found = 0;
        for (const std::string& name : layout.optional)
            found += index.values(name).size() && layout.isstring(name);
        if (found != static_cast<std::size_t>(count))
            state.SkipWithError("an attribute was not found");
        benchmark::DoNotOptimize(found);
    }
    state.SetComplexityN(count);
}
BENCHMARK(widewalk)->Arg(1000)->Arg(10000)->Arg(20000)->Unit(benchmark::kMillisecond)->Complexity();

} // namespace

BENCHMARK_MAIN();
