// The finder helper program as the library starts it, and the stream it writes.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "finder_wire.h"
#include "helper_stream_writer.h"

namespace seekwell::test {
namespace {

namespace hp = finder_wire;

// Built beside the tests; the path handed in by the build.
constexpr const char kHelperPath[] = SEEKWELL_TEST_FINDER_HELPER;
// Exit status of the child when it could not get a network namespace of its own.
constexpr int kNoNamespaceExit = 125;

struct HelperRun {
    bool isolated = false;  // false: no network namespace could be made, nothing ran
    int exitStatus = -1;    // -1 when the helper did not exit normally
    std::string stream;     // what it wrote on the stream's descriptor
    std::string output;     // what it wrote on stdout and stderr
};

std::string ReadToEnd(int fd)
{
    std::string text;
    char buffer[4096];
    for (;;) {
        const ssize_t n = read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return text;
        }
        text.append(buffer, static_cast<std::size_t>(n));
    }
}

// Runs the helper in a network namespace of its own, which has no interface
// but a loopback that is down: whatever the arguments make it do, nothing
// leaves this machine. Its stdout and stderr go to one pipe, the stream to
// another, on the descriptor the library hands it; the request (which fits a
// pipe's buffer) is waiting on its descriptor, closed after it.
HelperRun RunHelper(const std::vector<std::string>& arguments, const std::string& request = std::string())
{
    int stream[2];
    int output[2];
    int input[2];
    if (pipe2(stream, O_CLOEXEC) != 0 || pipe2(output, O_CLOEXEC) != 0 || pipe2(input, O_CLOEXEC) != 0 ||
        write(input[1], request.data(), request.size()) != static_cast<ssize_t>(request.size())) {
        ADD_FAILURE() << "pipes";
        return {};
    }
    close(input[1]);
    const pid_t child = fork();
    if (child == 0) {
        if (unshare(CLONE_NEWNET) != 0 && unshare(CLONE_NEWUSER | CLONE_NEWNET) != 0) {
            _exit(kNoNamespaceExit);
        }
        dup2(input[0], hp::kHelperRequestFd);
        dup2(output[1], STDOUT_FILENO);
        dup2(output[1], STDERR_FILENO);
        dup2(stream[1], hp::kHelperStreamFd);
        std::vector<char*> argv{const_cast<char*>(kHelperPath)};
        for (const std::string& argument : arguments) {
            argv.push_back(const_cast<char*>(argument.c_str()));
        }
        argv.push_back(nullptr);
        execv(kHelperPath, argv.data());
        _exit(127);
    }
    close(input[0]);
    close(stream[1]);
    close(output[1]);
    HelperRun run;
    run.stream = ReadToEnd(stream[0]);
    run.output = ReadToEnd(output[0]);
    close(stream[0]);
    close(output[0]);
    int status = 0;
    while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    run.isolated = !(WIFEXITED(status) && WEXITSTATUS(status) == kNoNamespaceExit);
    run.exitStatus = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return run;
}

std::string EmptyStream()
{
    std::string stream;
    hp::AppendMagic(stream);
    hp::AppendEnd(stream, 0);
    return stream;
}

// The devices of a well-formed stream, or nothing when it breaks any rule of
// its format.
std::optional<FoundDeviceList> DecodeStream(const std::string& stream)
{
    if (stream.size() > hp::kMaxStreamBytes ||
        stream.compare(0, hp::kStreamMagicSize, std::string(hp::kStreamMagic, hp::kStreamMagicSize)) != 0) {
        return std::nullopt;
    }
    std::size_t offset = hp::kStreamMagicSize;
    auto readLength = [&](std::uint32_t& length) {
        if (stream.size() - offset < hp::kLengthSize) {
            return false;
        }
        length = hp::ReadLength(stream.data() + offset);
        offset += hp::kLengthSize;
        return true;
    };
    FoundDeviceList devices;
    while (offset < stream.size() && stream[offset] == hp::kDeviceTag) {
        ++offset;
        std::string fields[hp::kFieldsPerDevice];
        for (std::string& field : fields) {
            std::uint32_t length = 0;
            if (!readLength(length) || length > hp::kMaxFieldBytes || stream.size() - offset < length) {
                return std::nullopt;
            }
            field = stream.substr(offset, length);
            offset += length;
            if (field.find('\0') != std::string::npos) {
                return std::nullopt;
            }
        }
        devices.push_back(FoundDevice{fields[0], fields[1], fields[2]});
    }
    std::uint32_t count = 0;
    if (offset == stream.size() || stream[offset++] != hp::kEndTag || !readLength(count) || count != devices.size() ||
        offset != stream.size() || devices.size() > hp::kMaxDevices) {
        return std::nullopt;
    }
    return devices;
}

TEST(FinderHelperTest, ProbeWritesAnEmptyStreamAndNothingElse)
{
    const HelperRun run = RunHelper({hp::kProbeArgument});
    if (!run.isolated) {
        GTEST_SKIP() << "no network namespace of its own can be made for the helper here";
    }
    EXPECT_EQ(run.exitStatus, 0);
    EXPECT_EQ(run.stream, EmptyStream());
    EXPECT_EQ(run.output, "");
}

TEST(FinderHelperTest, SearchWithoutInterfacesWritesAnEmptyStream)
{
    const HelperRun run = RunHelper({hp::kSearchArgument}, hp::SearchRequest("upnp:rootdevice", 200));
    if (!run.isolated) {
        GTEST_SKIP() << "no network namespace of its own can be made for the helper here";
    }
    EXPECT_EQ(run.exitStatus, 0);
    EXPECT_EQ(run.stream, EmptyStream());
    EXPECT_EQ(run.output, "");
}

TEST(FinderHelperTest, ArgumentsOrRequestsItDoesNotTakeEndItWithStatus2AndNoStream)
{
    const std::string search = hp::kSearchArgument;
    const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
        {{}, ""},
        {{"--bogus"}, ""},
        {{"--probe", "extra"}, ""},
        {{search, "upnp:rootdevice", "100"}, "upnp:rootdevice 100\n"},
        {{"--probe", search}, "upnp:rootdevice 100\n"},
        {{search}, ""},
        {{search}, "upnp:rootdevice\n"},
        {{search}, " 1000\n"},
        {{search}, "upnp:rootdevice \n"},
        {{search}, "upnp:rootdevice ten\n"},
        {{search}, "upnp:rootdevice 10s\n"},
        {{search}, "upnp:rootdevice  100\n"},
        {{search}, "upnp:rootdevice -1\n"},
        {{search}, "upnp:rootdevice +100\n"},
        {{search}, "upnp:rootdevice 60001\n"},
        {{search}, "upnp:rootdevice 4294967396\n"},
        {{search}, "upnp:rootdevice 100"},
        {{search}, std::string(hp::kMaxRequestBytes, 'u') + " 100\n"},
    };
    for (const auto& [arguments, request] : cases) {
        std::string shown;
        for (const std::string& argument : arguments) {
            shown += " [" + argument + "]";
        }
        SCOPED_TRACE("arguments:" + shown + " request [" + request.substr(0, 40) + "]");
        const HelperRun run = RunHelper(arguments, request);
        if (!run.isolated) {
            GTEST_SKIP() << "no network namespace of its own can be made for the helper here";
        }
        EXPECT_EQ(run.exitStatus, 2);
        EXPECT_EQ(run.stream, "");
        EXPECT_EQ(run.output, "");
    }
}

TEST(FinderHelperStreamTest, FieldsAreCutOnACharacterBoundary)
{
    const std::size_t bound = hp::kMaxFieldBytes;
    const std::string euro = "\xE2\x82\xAC";       // three bytes
    const std::string smile = "\xF0\x9F\x98\x80";  // four bytes
    struct Case {
        const char* what;
        std::string text;
        std::size_t expectedSize;
    };
    const Case cases[] = {
        {"short text is kept", "ROVA robot \xC3\xA9", 13},
        {"ASCII is cut at the bound", std::string(bound + 10, 'a'), bound},
        {"a character ending at the bound stays", std::string(bound - 3, 'a') + euro + "b", bound},
        {"a character across the bound goes whole", std::string(bound - 1, 'a') + euro, bound - 1},
        {"a four-byte character across the bound goes whole", std::string(bound - 2, 'a') + smile, bound - 2},
        {"a two-byte character across the bound goes whole", std::string(bound - 1, 'a') + "\xC3\xA9", bound - 1},
        {"continuation bytes that are no text are cut at the bound", std::string(bound + 4, '\x80'), bound},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const std::string cut = CutField(c.text);
        EXPECT_EQ(cut.size(), c.expectedSize);
        EXPECT_EQ(cut, c.text.substr(0, c.expectedSize));
    }
}

TEST(FinderHelperStreamTest, DevicesAreWrittenInOrderWithTheirFields)
{
    const FoundDeviceList devices = {
        {"ROVA robot 1", "http://192.0.2.10/", "Cleaning robot"},
        {"Media player", "", ""},
    };
    const std::optional<FoundDeviceList> decoded = DecodeStream(BuildStream(devices));
    ASSERT_TRUE(decoded.has_value());
    ASSERT_EQ(decoded->size(), devices.size());
    for (std::size_t i = 0; i < devices.size(); ++i) {
        EXPECT_EQ((*decoded)[i].friendlyName, devices[i].friendlyName);
        EXPECT_EQ((*decoded)[i].presentationUrl, devices[i].presentationUrl);
        EXPECT_EQ((*decoded)[i].description, devices[i].description);
    }
}

TEST(FinderHelperStreamTest, TooManyOrTooLargeDevicesStayWithinTheStreamsBounds)
{
    const std::string longest(hp::kMaxFieldBytes, 'x');
    struct Case {
        const char* what;
        FoundDeviceList devices;
        std::size_t expectedDevices;
    };
    // Each device of the second case takes three whole fields; the stream has
    // room for the magic, whole device frames and the end frame only.
    const std::size_t largeFrame = 1 + hp::kFieldsPerDevice * (hp::kLengthSize + hp::kMaxFieldBytes);
    const std::size_t largeFit = (hp::kMaxStreamBytes - hp::kStreamMagicSize - hp::kEndFrameSize) / largeFrame;
    const Case cases[] = {
        {"more devices than the stream takes", FoundDeviceList(hp::kMaxDevices + 5, {"a", "b", "c"}), hp::kMaxDevices},
        {"devices larger than the stream takes", FoundDeviceList(largeFit + 3, {longest, longest, longest}), largeFit},
        {"fields over their bound are cut, not dropped", FoundDeviceList(1, {longest + "tail", "", ""}), 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const std::string stream = BuildStream(c.devices);
        const std::optional<FoundDeviceList> decoded = DecodeStream(stream);
        ASSERT_TRUE(decoded.has_value());
        EXPECT_EQ(decoded->size(), c.expectedDevices);
        EXPECT_LE(stream.size(), hp::kMaxStreamBytes);
    }
}

}  // namespace
}  // namespace seekwell::test
