// Stands in for the platform's HTTP internet classes: the fetch of the start
// of a response body, over libcurl.
#ifndef SEEKWELL_FETCH_DESCRIPTION_FETCH_H
#define SEEKWELL_FETCH_DESCRIPTION_FETCH_H

#include <string>

#include "builtin/search_parameters.h"

namespace seekwell::platform {

// GETs url on limits.port over a direct connection and returns at most
// limits.maxBodyBytes from the start of the body, whatever the status.
// Any failure gives the empty text; nothing is reported otherwise.
std::string FetchBodyStart(const std::string& url, const HttpFetchLimits& limits);

// Loads libcurl and runs its global init, once per process; what the first
// fetch would otherwise spend. Whether fetches can be made.
bool PrepareFetches();

// Whether libcurl's global init is safe while other threads use libcurl.
bool LibcurlInitIsThreadSafe();

}  // namespace seekwell::platform

#endif  // SEEKWELL_FETCH_DESCRIPTION_FETCH_H
