#include <cstring>

#include "platform/internet_session.h"
#include "upnp_search_wnd.h"

namespace seekwell {

std::string CUpnpSearchWnd::FetchDescription(const std::string& url) const
{
    const std::string body = platform::FetchBodyStart(url, m_Params.http);
    // The document ends at the first NUL of the body.
    return std::string(body.c_str(), std::strlen(body.c_str()));
}

}  // namespace seekwell
