#include "finder/helper_device_finder.h"

#include <unistd.h>

#include <chrono>
#include <memory>
#include <new>

#include "call_window.h"
#include "finder/com_object.h"
#include "finder/device_collection.h"
#include "finder/helper_process.h"
#include "finder_wire.h"
#include "library_folder.h"
#include "search_constants.h"

namespace seekwell {

namespace {

namespace hp = finder_wire;

// Creating the finder starts its helper, as activating an out-of-process
// server starts that server: a helper that cannot be started is a finder
// that cannot be created. The library never queries the finder itself.
class HelperDeviceFinder final : public ComObject<IUPnPDeviceFinder> {
public:
    explicit HelperDeviceFinder(std::unique_ptr<FinderHelperProcess> helper)
        : ComObject(nullptr), helper_(std::move(helper))
    {
    }

    // Whatever goes wrong in the helper, the search fails as a whole. The
    // helper serves one search.
    HRESULT FindByType(BSTR bstrTypeURI, DWORD /*dwFlags*/, IUPnPDevices** pDevices) override
    {
        if (bstrTypeURI == nullptr || pDevices == nullptr) {
            return E_POINTER;
        }
        *pDevices = nullptr;
        if (!helper_) {
            return E_FAIL;
        }
        const std::chrono::milliseconds window = CallWindowLeft();
        const auto deadline =
            FinderHelperProcess::Clock::now() + window + std::chrono::milliseconds(kFinderHelperGraceMs);
        HelperStreamReader reader;
        const bool found =
            helper_->SendRequest(hp::SearchRequest(bstrTypeURI, static_cast<unsigned int>(window.count()))) &&
            helper_->ReadStream(deadline, reader);
        helper_.reset();
        if (!found) {
            return E_FAIL;
        }
        *pDevices = NewDeviceCollection(reader.TakeDevices());
        return *pDevices != nullptr ? S_OK : E_OUTOFMEMORY;
    }

private:
    std::unique_ptr<FinderHelperProcess> helper_;
};

}  // namespace

std::string FinderHelperPath()
{
    const std::string folder = LibraryFolder();
    return folder.empty() ? std::string() : folder + "/" + hp::kHelperRelativePath;
}

bool IsFinderHelperUsable(const std::string& helperPath)
{
    // Where no helper is installed, no child is started to find that out.
    if (helperPath.empty() || helperPath[0] != '/' || access(helperPath.c_str(), X_OK) != 0) {
        return false;
    }
    try {
        HelperStreamReader reader;
        return RunFinderHelper(helperPath, {hp::kProbeArgument}, std::chrono::milliseconds(kFinderProbeLimitMs),
                               reader);
    } catch (const std::bad_alloc&) {
        return false;
    }
}

HRESULT CreateHelperDeviceFinder(const std::string& helperPath, IUPnPDeviceFinder** finder)
{
    *finder = nullptr;
    try {
        auto helper = std::make_unique<FinderHelperProcess>();
        if (!helper->Start(helperPath, {hp::kSearchArgument})) {
            return CO_E_SERVER_EXEC_FAILURE;
        }
        *finder = new HelperDeviceFinder(std::move(helper));
        return S_OK;
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
}

HRESULT CreateDeviceFinder(IUPnPDeviceFinder** finder) { return CreateHelperDeviceFinder(FinderHelperPath(), finder); }

}  // namespace seekwell
