#include "result_records.h"

#include <cstdlib>

namespace seekwell::test {

ResultRecords::ResultRecords()
{
    for (DISCOVERY_RESULT& record : m_Records) {
        record = DISCOVERY_RESULT{m_Sentinel, m_Sentinel};
    }
}

ResultRecords::~ResultRecords()
{
    FreeStored();
}

void ResultRecords::Reset()
{
    FreeStored();
    for (DISCOVERY_RESULT& record : m_Records) {
        record = DISCOVERY_RESULT{m_Sentinel, m_Sentinel};
    }
}

bool ResultRecords::UntouchedFrom(int first) const
{
    for (int i = first; i < SEEKWELL_MAX_RESULTS; ++i) {
        if (m_Records[i].pszName != m_Sentinel || m_Records[i].pszAddress != m_Sentinel) {
            return false;
        }
    }
    return true;
}

void ResultRecords::FreeStored()
{
    for (DISCOVERY_RESULT& record : m_Records) {
        if (record.pszName != m_Sentinel) {
            std::free(record.pszName);
        }
        if (record.pszAddress != m_Sentinel) {
            std::free(record.pszAddress);
        }
    }
}

}  // namespace seekwell::test
