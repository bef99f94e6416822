// Stand-in for the platform's automation strings: a UTF-8 text on the C heap.
// The finder's objects and the application object share one C runtime, so
// a string made on one side can be freed on the other.
#ifndef SEEKWELL_FINDER_BSTR_H
#define SEEKWELL_FINDER_BSTR_H

#include <cstdlib>
#include <cstring>

namespace seekwell {

using BSTR = char*;

// Null when the copy cannot be allocated.
inline BSTR SysAllocString(const char* text) { return strdup(text); }

inline void SysFreeString(BSTR text) { std::free(text); }

}  // namespace seekwell

#endif  // SEEKWELL_FINDER_BSTR_H
