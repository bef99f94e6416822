// The caller's side of a discovery in the benchmarks: releasing its records.
#ifndef ROVA_BENCH_RESULT_RECORDS_H
#define ROVA_BENCH_RESULT_RECORDS_H

#include <seekwell/seekwell.h>

#include <cstdlib>

namespace bench {

// The first count records hold heap copies that the caller owns.
inline void ReleaseRecords(DISCOVERY_RESULT* records, int count)
{
    for (int i = 0; i < count; ++i) {
        std::free(records[i].pszName);
        std::free(records[i].pszAddress);
    }
}

}  // namespace bench

#endif  // ROVA_BENCH_RESULT_RECORDS_H
