// Runs a fuzzer's input handler over files and folders of saved inputs, so
// that the seeds and every crash ever found stay in the normal test suite
// (built with the project's usual compiler and sanitizers).
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

namespace {

namespace fs = std::filesystem;

int ReplayFile(const fs::path& path)
{
    std::ifstream file(path, std::ios::binary);
    const std::vector<char> bytes((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    std::fprintf(stderr, "replay %s (%zu bytes)\n", path.c_str(), bytes.size());
    LLVMFuzzerTestOneInput(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
    return 1;
}

int ReplayPath(const fs::path& path)
{
    if (!fs::is_directory(path)) {
        return fs::exists(path) ? ReplayFile(path) : 0;
    }
    int replayed = 0;
    for (const fs::directory_entry& entry : fs::directory_iterator(path)) {
        replayed += entry.is_regular_file() ? ReplayFile(entry.path()) : 0;
    }
    return replayed;
}

}  // namespace

// Missing folders count as empty; no input at all is a failure, since it
// means the corpus was not found.
int main(int argc, char** argv)
{
    int replayed = 0;
    for (int i = 1; i < argc; ++i) {
        replayed += ReplayPath(argv[i]);
    }
    std::fprintf(stderr, "%d inputs replayed\n", replayed);
    return replayed > 0 ? 0 : 1;
}
