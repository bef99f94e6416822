#include "result_records.h"

#include <cstdlib>

namespace seekwell::test {

void ReleaseRecords(DISCOVERY_RESULT* records, int count)
{
    for (int i = 0; i < count; ++i) {
        std::free(records[i].pszName);
        std::free(records[i].pszAddress);
    }
}

ResultRecords::ResultRecords()
{
    for (DISCOVERY_RESULT& record : records_) {
        record = DISCOVERY_RESULT{sentinel_, sentinel_};
    }
}

ResultRecords::~ResultRecords() { FreeStored(); }

void ResultRecords::Reset()
{
    FreeStored();
    for (DISCOVERY_RESULT& record : records_) {
        record = DISCOVERY_RESULT{sentinel_, sentinel_};
    }
}

bool ResultRecords::UntouchedFrom(int first) const
{
    for (int i = first; i < SEEKWELL_MAX_RESULTS; ++i) {
        if (records_[i].pszName != sentinel_ || records_[i].pszAddress != sentinel_) {
            return false;
        }
    }
    return true;
}

void ResultRecords::FreeStored()
{
    for (DISCOVERY_RESULT& record : records_) {
        if (record.pszName != sentinel_) {
            std::free(record.pszName);
        }
        if (record.pszAddress != sentinel_) {
            std::free(record.pszAddress);
        }
    }
}

}  // namespace seekwell::test
