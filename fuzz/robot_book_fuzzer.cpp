// Replies, byebyes, asked targets, sweeps, reads and rounds in any order, from
// a few addresses on two interfaces, through the live search's book of robots
// with small limits, in a watch or a window. After every step a model of what
// the host was told checks the events, the fetch orders and the bounds.
//
// Input: a first byte (bit 0: a watch; bits 1-2: responders held - 2; bit 3:
// reads under way - 1), then pairs of (step | parameter << 4, address - 1 |
// more << 3), as fuzz/make_seeds.py writes them.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <map>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "live/robot_book.h"

namespace {

using seekwell::live::Address;
using seekwell::live::BookLimits;
using seekwell::live::FetchOrder;
using seekwell::live::Heard;
using seekwell::live::ReadResult;
using seekwell::live::RobotBook;
using seekwell::live::Ticket;
using seekwell::live::Told;

// 1-3 are on interface 1, 4-6 on interface 2, 7-8 are targets beyond both.
constexpr Address kAddresses = 8;
const char* const kUdns[] = {"", "uuid:R0VA-1", "uuid:R0VA-2", "uuid:R0VA-3"};
const char* const kBootIds[] = {"", "1", "2", "3"};
const char* const kNames[] = {"one", "two"};
const std::vector<unsigned int> kSearched[] = {{}, {1}, {2}, {1, 2}};  // the interfaces a round searched
constexpr unsigned int kSkipReasons = SEEKWELL_SKIP_OWN_ADDRESS;       // every reason but an overload

void Require(bool condition)
{
    if (!condition) {
        std::abort();
    }
}

unsigned int InterfaceOf(Address address) { return address <= 3 ? 1 : address <= 6 ? 2 : 0; }

Heard HeardFrom(Address address, unsigned int udn = 0, unsigned int bootId = 0, bool otherLocation = false)
{
    Heard heard;
    heard.location = "http://192.0.2." + std::to_string(address) + (otherLocation ? "/b.xml" : "/ROVA.XML");
    heard.udn = kUdns[udn];
    heard.bootId = kBootIds[bootId];
    heard.interfaceIndex = InterfaceOf(address);
    heard.interfaceName = heard.interfaceIndex == 0 ? "" : "eth" + std::to_string(heard.interfaceIndex);
    heard.route.interfaceName = heard.interfaceName;
    return heard;
}

ReadResult Read(unsigned int parameter, bool robot)
{
    ReadResult result;
    result.robot = robot;
    if (robot) {
        result.udn = kUdns[1 + (parameter & 3) % 3];
        result.name = kNames[(parameter >> 2) & 1];
    } else {
        result.skip = static_cast<seekwell_skip_reason>(1 + parameter % kSkipReasons);
        result.reason = "failed";
    }
    return result;
}

// What the host was told, and the reads it was asked to start.
struct Model {
    RobotBook& book;
    BookLimits limits;
    bool watch;
    std::map<std::string, std::pair<Address, std::string>> view;  // udn -> address and name the host has
    std::map<Address, Ticket> issued;                             // each address's last ticket
    std::set<Address> reading;                                    // its read ordered and not yet ended
    std::set<Address> discarded;  // its read began before the address left: its end tells nothing
    std::set<Ticket> tickets;
    std::set<Address> readThisRound;
    bool overloadTold = false;
    // A byebye step tells only of the robot it names, where the host has it.
    std::pair<Address, std::string> byebye;

    Model(RobotBook& of, BookLimits bounds, bool watching) : book(of), limits(bounds), watch(watching) {}

    std::string ShownAt(Address address) const
    {
        for (const auto& [udn, shown] : view) {
            if (shown.first == address) {
                return udn;
            }
        }
        return {};
    }

    void Tell(const Told& told)
    {
        const auto found = view.find(told.udn);
        Require(byebye.second.empty() ||
                (told.udn == byebye.second && found != view.end() && found->second.first == byebye.first));
        // A robot that left its address by a byebye: what a read there finds tells nothing.
        if (!byebye.second.empty() && reading.count(byebye.first) != 0) {
            discarded.insert(byebye.first);
        }
        switch (told.type) {
            case SEEKWELL_EVENT_ROBOT:
                Require(!told.udn.empty() && told.address >= 1 && told.address <= kAddresses);
                // Told again where the host has it only under a new name.
                Require(found == view.end() || found->second != std::make_pair(told.address, told.name));
                // In a watch an address shows one robot: the one it served
                // moved or was GONE first.
                Require(!watch || ShownAt(told.address).empty() || ShownAt(told.address) == told.udn);
                view[told.udn] = {told.address, told.name};
                break;
            case SEEKWELL_EVENT_GONE:
                Require(watch && found != view.end() && found->second.first == told.address);
                view.erase(found);
                break;
            case SEEKWELL_EVENT_SKIPPED:
                Require(told.skip != SEEKWELL_SKIP_NONE);
                if (told.skip == SEEKWELL_SKIP_OVERLOAD) {
                    Require(!overloadTold);  // once a round
                    overloadTold = true;
                } else {
                    Require(!watch || ShownAt(told.address).empty());  // not of a robot the host has
                }
                break;
            default:
                Require(false);
        }
    }

    // quiet: the step must have left nothing to tell or fetch (a stale read, a sweep), but for
    // the read that waited for the room a discarded read's end made (slotFreed).
    void Check(bool quiet, bool slotFreed = false)
    {
        const std::vector<FetchOrder> orders = book.TakeFetches();
        Require(!quiet || orders.size() <= (slotFreed ? 1u : 0u));
        for (const FetchOrder& order : orders) {
            Require(order.address >= 1 && order.address <= kAddresses);
            // One read an address a round, each with a ticket never seen before.
            Require(readThisRound.insert(order.address).second);
            Require(order.ticket != 0 && tickets.insert(order.ticket).second);
            // A check reads the address of a robot the host has.
            Require(!order.check || !ShownAt(order.address).empty());
            issued[order.address] = order.ticket;
            reading.insert(order.address);
        }
        for (const Told& told : book.TakeTold()) {
            Require(!quiet);
            Tell(told);
        }
        Require(book.Robots() == view.size() && book.Robots() <= limits.responders);
        Require(book.Responders() <= limits.responders);
        Require(book.Fetching() <= limits.fetches && book.Fetching() <= reading.size());
        // A watch's robot holds its address; a window's may have lost it to
        // another robot and stay told.
        Require(!watch || book.Robots() <= book.Responders());
    }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size == 0) {
        return 0;
    }
    const bool watch = (data[0] & 1) != 0;
    const BookLimits limits{2u + ((data[0] >> 1) & 3u), 1u + ((data[0] >> 3) & 1u)};
    RobotBook book(limits, watch);
    Model model(book, limits, watch);
    for (std::size_t at = 1; at + 1 < size; at += 2) {
        const unsigned int step = (data[at] & 0x0F) % 9;
        const unsigned int parameter = data[at] >> 4;
        const Address address = 1 + data[at + 1] % kAddresses;
        const unsigned int more = data[at + 1] >> 3;
        bool quiet = false;
        bool slotFreed = false;
        switch (step) {
            case 0:
                book.OnResponder(address, HeardFrom(address, parameter & 3, more & 3, (more & 4) != 0));
                break;
            case 1:
                book.OnSkipped(address, static_cast<seekwell_skip_reason>(1 + parameter % kSkipReasons), "skipped",
                               HeardFrom(address));
                break;
            case 2:
                model.byebye = {address, kUdns[parameter & 3]};
                quiet = model.byebye.second.empty();
                book.OnByebye(address, model.byebye.second);
                break;
            case 3:
                book.OnAsked(address, HeardFrom(address));
                break;
            case 4:
                quiet = true;
                book.OnSwept(address);
                break;
            case 5:
            case 6: {
                // The address's last ticket, or the next address's.
                const auto issued = model.issued.find((more & 8) == 0 ? address : address % kAddresses + 1);
                const Ticket ticket = issued != model.issued.end() ? issued->second : 0;
                const bool stale =
                    ticket == 0 || model.reading.count(address) == 0 || model.issued.at(address) != ticket;
                const bool discarded = !stale && model.discarded.erase(address) != 0;
                quiet = stale || discarded;
                slotFreed = discarded;
                const std::size_t before[] = {book.Responders(), book.Robots()};
                const std::size_t fetchingBefore = book.Fetching();
                book.OnRead(address, ticket, Read(parameter, step == 5));
                const std::size_t after[] = {book.Responders(), book.Robots()};
                Require(!quiet || std::equal(before, before + 2, after));
                // A stale read changes nothing; a discarded read's end frees its room, which a
                // read waiting for room may take.
                Require(!stale || book.Fetching() == fetchingBefore);
                Require(!discarded || book.Fetching() + 1 == fetchingBefore || book.Fetching() == fetchingBefore);
                if (!stale) {
                    model.reading.erase(address);
                }
                break;
            }
            case 7:
                book.EndRound(kSearched[parameter & 3]);
                model.Check(false);
                book.StartRound();
                model.readThisRound.clear();
                model.overloadTold = false;
                break;
            default: {
                const unsigned int index = 1 + (parameter & 1);
                book.ForgetInterface(index);
                // The reads under way there tell nothing when they end.
                for (Address each = 3 * index - 2; each <= 3 * index; ++each) {
                    if (model.reading.count(each) != 0) {
                        model.discarded.insert(each);
                    }
                }
                break;
            }
        }
        model.Check(quiet, slotFreed);
        model.byebye = {};
    }
    return 0;
}
