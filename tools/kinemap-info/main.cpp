// kinemap-info: prints what libkinemap tells a host: a design's body slots
// with their locators and joints, design 1's sensor list, and the string
// table in one language.
#include <kinemap/kinemap.h>
#include <tool_cli.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

const char kProgram[] = "kinemap-info";
const unsigned int kSensorListDesign = KINEMAP_DESIGN_KEYED;
const unsigned short kEnglish = KINEMAP_LANGUAGE_ENGLISH;
const unsigned short kJapanese = KINEMAP_LANGUAGE_JAPANESE;
const int kStringRoom = 256;

struct Options {
    unsigned int design = 0;
    std::vector<unsigned short> key;
    bool designGiven = false;
    bool keyGiven = false;
    unsigned short language = kEnglish;
    bool help = false;
    bool version = false;
};

struct UsageError {
    std::string message;
};

void PrintHelp()
{
    std::printf(
        "Usage: %s [--design N | --key U,U,...] [--lang en|ja]\n"
        "Prints a robot design's body (slot, locator, joint position, joint identifier),\n"
        "design 1's sensor list and the string table.\n"
        "\n"
        "  --design N     design number to describe (default 0; 1 is the keyed design)\n"
        "  --key U,U,...  find the design from a key of 16-bit units, e.g. --key 11,1,1\n"
        "  --lang en|ja   language of the string table (default en)\n"
        "  --help         show this help\n"
        "  --version      show the version\n"
        "\n"
        "Exit status: 0 when the description was printed, 1 on a bad command line.\n",
        kProgram);
}

bool ParseUnsigned(const std::string& text, unsigned long maximum, unsigned long& value)
{
    if (text.empty() || text[0] < '0' || text[0] > '9') {
        return false;
    }
    char* end = nullptr;
    errno = 0;
    value = std::strtoul(text.c_str(), &end, 10);
    return errno == 0 && *end == '\0' && value <= maximum;
}

unsigned int ParseDesign(const std::string& text)
{
    unsigned long value = 0;
    if (!ParseUnsigned(text, UINT_MAX, value)) {
        throw UsageError{"--design needs a whole number from 0 to " + std::to_string(UINT_MAX) + ", e.g. --design 1"};
    }
    return static_cast<unsigned int>(value);
}

std::vector<unsigned short> ParseKey(const std::string& text)
{
    std::vector<unsigned short> units;
    size_t start = 0;
    for (;;) {
        const size_t comma = text.find(',', start);
        unsigned long value = 0;
        if (!ParseUnsigned(text.substr(start, comma - start), USHRT_MAX, value)) {
            throw UsageError{
                "--key needs numbers from 0 to 65535 separated by commas, "
                "e.g. --key 11,1,1"};
        }
        units.push_back(static_cast<unsigned short>(value));
        if (comma == std::string::npos) {
            return units;
        }
        start = comma + 1;
    }
}

unsigned short ParseLanguage(const std::string& text)
{
    if (text == "en") {
        return kEnglish;
    }
    if (text == "ja") {
        return kJapanese;
    }
    throw UsageError{"--lang takes en (English) or ja (Japanese)"};
}

std::string ValueOf(int argc, char** argv, int& i)
{
    if (i + 1 >= argc) {
        throw UsageError{std::string(argv[i]) + " needs a value"};
    }
    return argv[++i];
}

Options ParseOptions(int argc, char** argv)
{
    Options options;
    for (int i = 1; i < argc; ++i) {
        const std::string option = argv[i];
        if (option == "--help" || option == "-h") {
            options.help = true;
        } else if (option == "--version") {
            options.version = true;
        } else if (option == "--design") {
            options.design = ParseDesign(ValueOf(argc, argv, i));
            options.designGiven = true;
        } else if (option == "--key") {
            options.key = ParseKey(ValueOf(argc, argv, i));
            options.keyGiven = true;
        } else if (option == "--lang") {
            options.language = ParseLanguage(ValueOf(argc, argv, i));
        } else {
            throw UsageError{"unknown option '" + option + "'"};
        }
    }
    if (options.designGiven && options.keyGiven) {
        throw UsageError{"give either --design or --key, not both"};
    }
    return options;
}

std::string LocatorOf(CKinemap& body, int slot)
{
    char locator[KINEMAP_LOCATOR_SIZE] = "";
    body.GetPrimitiveLocator(slot, locator);
    return locator;
}

void PrintBody(CKinemap& body)
{
    std::vector<int> joints(body.GetJointArray(nullptr));
    std::vector<int> positions(body.GetSensorArray(nullptr));
    body.GetJointArray(joints.data());
    body.GetSensorArray(positions.data());
    std::printf("Body of design %u\n", body.m_nDesign);
    std::printf("%4s  %-34s %14s %8s\n", "Slot", "Locator", "Joint position", "Joint id");
    for (int slot = 0; slot < static_cast<int>(positions.size()); ++slot) {
        const int position = positions[slot];
        const std::string locator = LocatorOf(body, slot);
        std::printf("%4d  %-34s ", slot, locator.empty() ? "(empty)" : locator.c_str());
        if (position < 0) {
            std::printf("%14s %8s\n", "-", "-");
        } else {
            std::printf("%14d %8d\n", position, joints[position]);
        }
    }
}

void PrintSensorList()
{
    CKinemap body(kSensorListDesign);
    std::vector<int> slots(body.GetSensorIDs(nullptr));
    const int count = body.GetSensorIDs(slots.data());
    std::printf("\nSensor list of design %u (%d slots)\n", kSensorListDesign, count);
    std::printf("%8s %4s  %s\n", "Position", "Slot", "Locator");
    for (int i = 0; i < count; ++i) {
        const std::string locator = LocatorOf(body, slots[i]);
        std::printf("%8d %4d  %s\n", i, slots[i], locator.empty() ? "(empty)" : locator.c_str());
    }
}

void PrintStrings(unsigned short language)
{
    std::printf("\nString table (%s, %u)\n", language == kJapanese ? "Japanese" : "English", language);
    for (unsigned int id = KINEMAP_STRING_FIRST; id <= KINEMAP_STRING_LAST; ++id) {
        char text[kStringRoom];
        KinemapLoadString(id, language, text, sizeof text);
        std::printf("%4u  %s\n", id, text);
    }
}

unsigned int ChosenDesign(Options& options)
{
    if (!options.keyGiven) {
        return options.design;
    }
    const unsigned int design = CKinemap::GetRobotDesign(options.key.data(), static_cast<int>(options.key.size()));
    std::printf("Key matches design %u\n\n", design);
    return design;
}

}  // namespace

int main(int argc, char** argv)
{
    Options options;
    try {
        options = ParseOptions(argc, argv);
    } catch (const UsageError& error) {
        return tool_cli::PrintUsageError(kProgram, error.message);
    }
    if (options.help) {
        PrintHelp();
        return tool_cli::kExitSuccess;
    }
    if (options.version) {
        return tool_cli::PrintVersion(kProgram);
    }
    CKinemap body(ChosenDesign(options));
    PrintBody(body);
    PrintSensorList();
    PrintStrings(options.language);
    return tool_cli::kExitSuccess;
}
