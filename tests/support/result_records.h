// The caller's array of 16 records as a test hands it to a discovery: every
// field set to a sentinel first, so that untouched records can be told apart,
// and whatever the library stored freed afterwards.
#ifndef SEEKWELL_TESTS_RESULT_RECORDS_H
#define SEEKWELL_TESTS_RESULT_RECORDS_H

#include <seekwell/seekwell.h>

namespace seekwell::test {

class ResultRecords {
public:
    ResultRecords();
    ~ResultRecords();
    ResultRecords(const ResultRecords&) = delete;
    ResultRecords& operator=(const ResultRecords&) = delete;

    DISCOVERY_RESULT* Data() { return m_Records; }
    const DISCOVERY_RESULT& operator[](int i) const { return m_Records[i]; }
    // True when records first..15 still hold the sentinel in both fields.
    bool UntouchedFrom(int first) const;
    // Frees what the library stored and sets every field back to the sentinel.
    void Reset();

private:
    void FreeStored();

    char m_Sentinel[8] = "unset";
    DISCOVERY_RESULT m_Records[SEEKWELL_MAX_RESULTS];
};

}  // namespace seekwell::test

#endif  // SEEKWELL_TESTS_RESULT_RECORDS_H
