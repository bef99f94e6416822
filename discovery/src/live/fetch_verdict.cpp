#include "live/fetch_verdict.h"

#include <cerrno>
#include <cstring>

#include "platform/ipv4_text.h"
#include "robot_name.h"
#include "robot_rules.h"

namespace seekwell::live {

namespace {

constexpr long kHttpSuccessFirst = 200;
constexpr long kHttpSuccessLast = 299;
// The most of a UDN an event carries.
constexpr std::size_t kUdnKeptBytes = 255;

FetchVerdict Skip(seekwell_skip_reason why, std::string words, int httpStatus = 0)
{
    return FetchVerdict{why, std::move(words), httpStatus};
}

FetchVerdict JudgeFailedFetch(const platform::FetchOutcome& outcome)
{
    if (outcome.code == CURLE_FAILED_INIT) {
        return Skip(SEEKWELL_SKIP_FETCH_FAILED, "description fetch failed: libcurl is not available");
    }
    if (outcome.code == CURLE_COULDNT_CONNECT && outcome.osErrno == ECONNREFUSED) {
        return Skip(SEEKWELL_SKIP_CONNECT_REFUSED, "description fetch: connection refused");
    }
    if (outcome.code == CURLE_OPERATION_TIMEDOUT && !outcome.connected) {
        return Skip(SEEKWELL_SKIP_CONNECT_TIMEOUT, "description fetch: no connection within 30 s");
    }
    if (outcome.code == CURLE_ABORTED_BY_CALLBACK) {
        return Skip(SEEKWELL_SKIP_FETCH_FAILED, "description fetch: 30 s without a byte");
    }
    if (outcome.code == CURLE_OPERATION_TIMEDOUT) {
        return Skip(SEEKWELL_SKIP_FETCH_FAILED, "description fetch: not over within 60 s");
    }
    if (outcome.code == CURLE_COULDNT_CONNECT) {
        return Skip(SEEKWELL_SKIP_FETCH_FAILED, std::string("description fetch: could not connect: ") +
                                                    std::strerror(static_cast<int>(outcome.osErrno)));
    }
    return Skip(SEEKWELL_SKIP_FETCH_FAILED,
                "description fetch failed (libcurl error " + std::to_string(static_cast<int>(outcome.code)) + ")");
}

// Whether the document starts as XML does, with a tag (after white space and
// a byte order mark): a device that serves plain text or JSON is told so,
// rather than that its UDN lacks the marker.
bool LooksLikeXml(const std::string& document)
{
    constexpr const char kByteOrderMark[] = "\xEF\xBB\xBF";
    std::size_t at = document.rfind(kByteOrderMark, 0) == 0 ? sizeof(kByteOrderMark) - 1 : 0;
    at = document.find_first_not_of(" \t\r\n", at);
    return at != std::string::npos && document[at] == '<';
}

std::string WithoutRobotUdn(const std::string& document)
{
    if (document.empty()) {
        return "the description is empty";
    }
    if (!LooksLikeXml(document)) {
        return "the description is not XML";
    }
    if (DescriptionUdn(document).empty()) {
        return "the description has no UDN";
    }
    return "the description's UDN lacks the robot marker";
}

// The robot's name as a host is given it. readCut: the read ended at its
// limit, so a name without its closing tag may go on beyond it; once the read
// holds more of it than a name keeps, the cut name is known all the same.
std::string NameRead(const std::string& document, bool readCut, const char* address)
{
    const std::string whole = ReadRobotDescription(address, document).friendlyName;
    if (!whole.empty() || !readCut) {
        return RobotName(XmlElementText(whole));
    }
    const std::string unclosed = UnclosedFriendlyName(document);
    std::string_view start = unclosed;
    start.remove_suffix(UnfinishedCharacterAtEnd(start));
    std::string name = CleanNameText(XmlElementText(start));
    if (name.size() < kRobotNameMaxBytes) {
        return std::string();
    }
    name.resize(WholeCharactersWithin(name, kRobotNameMaxBytes));
    return name;
}

}  // namespace

FetchVerdict JudgeFetch(const platform::FetchOutcome& outcome, const std::string& document)
{
    if (!outcome.succeeded) {
        return JudgeFailedFetch(outcome);
    }
    if (HasRobotUdn(document)) {
        return FetchVerdict{};
    }
    // A description was fetched: every reason from here on tells its status, 200 included.
    const int status = static_cast<int>(outcome.httpStatus);
    if (outcome.httpStatus != 0 && (outcome.httpStatus < kHttpSuccessFirst || outcome.httpStatus > kHttpSuccessLast)) {
        return Skip(SEEKWELL_SKIP_HTTP_STATUS, "description fetch: HTTP status " + std::to_string(status), status);
    }
    if (outcome.bodyFull) {
        return Skip(SEEKWELL_SKIP_BODY_OVER_LIMIT,
                    "no robot UDN in the first " + std::to_string(outcome.body.size()) + " bytes of the description",
                    status);
    }
    return Skip(SEEKWELL_SKIP_NO_ROBOT_UDN, WithoutRobotUdn(document), status);
}

ReadResult ReadOf(const FetchPool::Finished& finished, const FetchLanes& lanes)
{
    const std::string document = DocumentInBody(finished.outcome.body);
    ReadResult read;
    if (finished.givenUp) {
        read.skip = SEEKWELL_SKIP_OVERLOAD;
        read.reason = "description fetch given up: not over within " + std::to_string(lanes.quickFor.count()) + " ms" +
                      (finished.order.check ? std::string(" (a robot's own address, checked)")
                                            : " while " + std::to_string(lanes.patient) + " slower fetches ran");
        return read;
    }
    FetchVerdict verdict = JudgeFetch(finished.outcome, document);
    if (verdict.skip != SEEKWELL_SKIP_NONE) {
        read.skip = verdict.skip;
        read.reason = std::move(verdict.reason);
        read.httpStatus = verdict.httpStatus;
        return read;
    }
    in_addr address{};
    address.s_addr = finished.order.address;
    read.robot = true;
    const bool readCut = finished.outcome.bodyFull && document.size() == finished.outcome.body.size();
    read.name = NameRead(document, readCut, platform::AddressText(address).c_str());
    read.udn = DescriptionUdn(document).substr(0, kUdnKeptBytes);
    return read;
}

bool ReachedADevice(const ReadResult& result)
{
    return result.robot || result.httpStatus != 0 || result.skip == SEEKWELL_SKIP_CONNECT_REFUSED;
}

}  // namespace seekwell::live
