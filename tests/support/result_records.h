// The caller's side of a discovery's records. As a test hands the array of 16
// to a discovery: every field set to a sentinel first, so that untouched
// records can be told apart, and whatever the library stored freed afterwards.
#ifndef SEEKWELL_TESTS_RESULT_RECORDS_H
#define SEEKWELL_TESTS_RESULT_RECORDS_H

#include <seekwell/seekwell.h>

namespace seekwell::test {

// Frees the heap copies in the first count records, which the caller owns.
void ReleaseRecords(DISCOVERY_RESULT* records, int count);

class ResultRecords {
public:
    ResultRecords();
    ~ResultRecords();
    ResultRecords(const ResultRecords&) = delete;
    ResultRecords& operator=(const ResultRecords&) = delete;

    DISCOVERY_RESULT* Data() { return records_; }
    const DISCOVERY_RESULT& operator[](int i) const { return records_[i]; }
    // True when records first..15 still hold the sentinel in both fields.
    bool UntouchedFrom(int first) const;
    // Frees what the library stored and sets every field back to the sentinel.
    void Reset();

private:
    void FreeStored();

    char sentinel_[8] = "unset";
    DISCOVERY_RESULT records_[SEEKWELL_MAX_RESULTS];
};

}  // namespace seekwell::test

#endif  // SEEKWELL_TESTS_RESULT_RECORDS_H
