// A caller's array of 16 records, pre-filled with a sentinel so that tests
// can tell written records from untouched ones; frees what a search wrote.
#ifndef SEEKWELL_TESTS_RESULT_ARRAY_H
#define SEEKWELL_TESTS_RESULT_ARRAY_H

#include <seekwell/seekwell.h>

#include <cstdlib>

namespace seekwell::test {

class ResultArray {
public:
    ResultArray()
    {
        for (DISCOVERY_RESULT& record : m_Records) {
            record = DISCOVERY_RESULT{m_Sentinel, m_Sentinel};
        }
    }
    ~ResultArray()
    {
        for (DISCOVERY_RESULT& record : m_Records) {
            if (record.pszName != m_Sentinel) {
                std::free(record.pszName);
                std::free(record.pszAddress);
            }
        }
    }
    ResultArray(const ResultArray&) = delete;
    ResultArray& operator=(const ResultArray&) = delete;

    DISCOVERY_RESULT* Data() { return m_Records; }
    const DISCOVERY_RESULT& operator[](int i) const { return m_Records[i]; }
    bool Untouched(int i) const
    {
        return m_Records[i].pszName == m_Sentinel && m_Records[i].pszAddress == m_Sentinel;
    }
    bool UntouchedFrom(int first) const
    {
        for (int i = first; i < SEEKWELL_MAX_RESULTS; ++i) {
            if (!Untouched(i)) {
                return false;
            }
        }
        return true;
    }

private:
    char m_Sentinel[8] = "unset";
    DISCOVERY_RESULT m_Records[SEEKWELL_MAX_RESULTS];
};

}  // namespace seekwell::test

#endif  // SEEKWELL_TESTS_RESULT_ARRAY_H
