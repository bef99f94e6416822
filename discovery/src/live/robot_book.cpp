#include "live/robot_book.h"

#include <algorithm>

namespace seekwell::live {

namespace {

constexpr int kGoneAfterMissed = SEEKWELL_GONE_AFTER_MISSED;
// A robot on two links, or devices copying its UDN: this many addresses
// stand by for one robot; the one heard least recently makes room.
constexpr std::size_t kAliasesPerRobot = 4;
// Each one is a read made this round, which the fetch lanes pace to a few
// hundred a second: a round would have to last minutes under a flood of new
// senders before one address could be read twice in it.
constexpr std::size_t kForgottenReadsKept = 65536;

template <typename Item>
std::vector<Item> TakeAll(std::vector<Item>& from)
{
    std::vector<Item> taken;
    taken.swap(from);
    return taken;
}

}  // namespace

std::vector<Told> RobotBook::TakeTold() { return TakeAll(told_); }

void RobotBook::StartRound()
{
    ++round_;
    readAndForgotten_.clear();
    for (auto& [address, responder] : responders_) {
        if (responder.readPending) {
            StartRead(address, responder);
        }
    }
}

std::vector<FetchOrder> RobotBook::TakeFetches() { return TakeAll(fetches_); }

RobotBook::Responder* RobotBook::Admit(Address address)
{
    const auto found = responders_.find(address);
    if (found != responders_.end()) {
        return &found->second;
    }
    if (responders_.size() >= limits_.responders) {
        if (aging_.empty()) {
            return nullptr;
        }
        Forget(responders_.find(aging_.front()));
    }
    Responder& responder = responders_[address];
    responder.aging = aging_.end();
    responder.waiting = waiting_.end();
    return &responder;
}

// Robots and responders being read stay; the rest age, the one heard least
// recently last in line.
void RobotBook::Settle(Address address, Responder& responder)
{
    if (responder.aging != aging_.end()) {
        aging_.erase(responder.aging);
        responder.aging = aging_.end();
    }
    if (responder.role != Role::Robot && responder.reading == 0) {
        responder.aging = aging_.insert(aging_.end(), address);
    }
}

void RobotBook::StartRead(Address address, Responder& responder, bool check, bool asked)
{
    if (responder.reading != 0) {
        return;
    }
    // A robot's changed facts are read at the next round if not in this one;
    // a responder left out is read again when it answers again.
    responder.readPending = responder.role != Role::Skipped;
    // One read an address a round, whatever arrives, and though the book
    // forgot the address meanwhile.
    if (responder.readRound == round_ || readAndForgotten_.count(address) != 0) {
        return;
    }
    if (fetching_ >= limits_.fetches) {
        Wait(address, responder, check, asked);
        return;
    }
    StopWaiting(responder);
    responder.reading = ++tickets_;
    responder.readRound = round_;
    responder.readPending = false;
    ++fetching_;
    fetches_.push_back(FetchOrder{address, responder.reading, check, asked, responder.heard.route});
    Settle(address, responder);
}

// Reads wait for room in the order their responders answered; past the
// bound, a reply goes unexamined, told as an overload.
void RobotBook::Wait(Address address, Responder& responder, bool check, bool asked)
{
    responder.waitingCheck = responder.waitingCheck || check;
    responder.waitingAsked = asked;
    if (responder.waiting != waiting_.end()) {
        return;
    }
    if (waiting_.size() >= limits_.waiting) {
        Overload(address, responder.heard);
        return;
    }
    responder.waiting = waiting_.insert(waiting_.end(), address);
}

void RobotBook::StopWaiting(Responder& responder)
{
    if (responder.waiting != waiting_.end()) {
        waiting_.erase(responder.waiting);
        responder.waiting = waiting_.end();
    }
    responder.waitingCheck = false;
}

void RobotBook::StartWaiting()
{
    while (fetching_ < limits_.fetches && !waiting_.empty()) {
        const Address address = waiting_.front();
        Responder& responder = responders_.at(address);
        // A check asked while the address held its robot is only a read once the robot moved.
        const bool check = responder.waitingCheck && responder.role == Role::Robot;
        StopWaiting(responder);
        StartRead(address, responder, check, responder.waitingAsked);
    }
}

bool RobotBook::Answered(Address address) const
{
    const auto found = responders_.find(address);
    return found != responders_.end() && found->second.heardRound == round_;
}

void RobotBook::Overload(Address address, const Heard& heard)
{
    ++overloaded_;
    if (overloadToldRound_ == round_) {
        return;
    }
    overloadToldRound_ = round_;
    Told told;
    told.type = SEEKWELL_EVENT_SKIPPED;
    told.address = address;
    told.interfaceName = heard.interfaceName;
    told.skip = SEEKWELL_SKIP_OVERLOAD;
    told.reason = "too many responders at once (" + std::to_string(limits_.responders) + " held, " +
                  std::to_string(limits_.fetches) + " fetches): replies from new senders go unexamined; " +
                  std::to_string(overloaded_) + " so far";
    told_.push_back(std::move(told));
}

// A watch hears the same device every round: a reason is told once, until
// another one comes between.
void RobotBook::TellSkip(Address address, Responder& responder, seekwell_skip_reason skip, const std::string& reason,
                         int httpStatus)
{
    if (responder.told == skip) {
        return;
    }
    responder.told = skip;
    Told told;
    told.type = SEEKWELL_EVENT_SKIPPED;
    told.address = address;
    told.location = responder.heard.location;
    told.interfaceName = responder.heard.interfaceName;
    told.skip = skip;
    told.reason = reason;
    told.httpStatus = httpStatus;
    told_.push_back(std::move(told));
}

void RobotBook::TellRobot(seekwell_event_type type, const std::string& udn, Robot& robot, Address address)
{
    const Responder& at = responders_.at(address);
    Told told;
    told.type = type;
    told.address = address;
    told.name = robot.name;
    told.location = at.heard.location;
    told.interfaceName = at.heard.interfaceName;
    told.udn = udn;
    told_.push_back(std::move(told));
    robot.toldAt = type == SEEKWELL_EVENT_ROBOT ? address : 0;
}

// A sender whose description could not be read now anyway is not worth
// forgetting another for.
RobotBook::Responder* RobotBook::AdmitToRead(Address address, const Heard& heard)
{
    const bool known = responders_.count(address) != 0;
    const bool room = fetching_ < limits_.fetches || waiting_.size() < limits_.waiting;
    Responder* responder = known || room ? Admit(address) : nullptr;
    if (responder == nullptr) {
        Overload(address, heard);
    }
    return responder;
}

void RobotBook::OnResponder(Address address, const Heard& heard)
{
    Responder* responder = AdmitToRead(address, heard);
    if (responder == nullptr) {
        return;
    }
    responder->viaDatagram = responder->viaDatagram || heard.interfaceIndex != 0;
    // A robot's address, or an alias, is heard while it names the same UDN,
    // and read again when it tells of another UDN, description or boot.
    const bool left = responder->role == Role::Skipped;
    const bool sameUdn = left || heard.udn.empty() || heard.udn == responder->udn;
    const bool changed = !sameUdn || heard.location != responder->heard.location ||
                         (!heard.bootId.empty() && heard.bootId != responder->heard.bootId);
    if (sameUdn) {
        responder->heardRound = round_;
    }
    if (responder->reading != 0) {
        // The read under way is told with the facts it began with.
        responder->readPending = responder->readPending || (changed && !left);
        return;
    }
    responder->heard = heard;
    if (left || changed || responder->readPending) {
        StartRead(address, *responder);
    }
    if (responder->reading == 0) {
        Settle(address, *responder);
    }
}

void RobotBook::OnSkipped(Address address, seekwell_skip_reason skip, const std::string& reason, const Heard& heard)
{
    const auto found = responders_.find(address);
    // A forged reply from a robot's address, or one being read, changes nothing.
    if (found != responders_.end() && (found->second.role != Role::Skipped || found->second.reading != 0)) {
        return;
    }
    Responder* responder = Admit(address);
    if (responder == nullptr) {
        Overload(address, heard);
        return;
    }
    responder->heard = heard;
    responder->heardRound = round_;
    Settle(address, *responder);
    TellSkip(address, *responder, skip, reason);
}

void RobotBook::OnByebye(Address address, const std::string& udn)
{
    const auto found = responders_.find(address);
    if (found == responders_.end() || udn.empty() || found->second.udn != udn) {
        return;
    }
    Responder& responder = found->second;
    if (responder.role == Role::Alias) {
        Unlink(address, responder);
        Settle(address, responder);
    } else if (responder.role == Role::Robot) {
        responder.heardRound = -1;
        LoseAddress(udn, Loss::Byebye, StandingBy(udn));
    }
}

void RobotBook::OnAsked(Address address, const Heard& heard)
{
    Responder* responder = AdmitToRead(address, heard);
    if (responder == nullptr) {
        return;
    }
    responder->askedRound = round_;
    if (responder->role == Role::Skipped) {
        responder->heard = heard;
        responder->heardRound = round_;
    } else if (responder->heardRound == round_) {
        return;  // it answered this round already
    }
    StartRead(address, *responder, false, true);
    if (responder->reading == 0) {
        Settle(address, *responder);
    }
}

void RobotBook::OnSwept(Address address)
{
    const auto found = responders_.find(address);
    if (found != responders_.end()) {
        found->second.askedRound = round_;
    }
}

void RobotBook::OnRead(Address address, Ticket ticket, const ReadResult& result)
{
    const auto found = responders_.find(address);
    if (found == responders_.end() || ticket == 0 || found->second.reading != ticket) {
        return;  // a read overtaken by another, or of a responder forgotten since
    }
    Responder& responder = found->second;
    responder.reading = 0;
    --fetching_;
    StartWaiting();
    if (responder.discardRead) {
        responder.discardRead = false;
    } else if (result.robot) {
        Found(address, responder, result);
    } else if (responder.role == Role::Robot) {
        // A robot that fails a second look is left to the rounds it misses,
        // unless another address answers for it now.
        const std::string udn = responder.udn;
        if (const Address alias = StandingBy(udn); alias != 0) {
            LoseAddress(udn, Loss::FailedCheck, alias);
        }
    } else if (responder.role == Role::Skipped) {
        TellSkip(address, responder, result.skip, result.reason, result.httpStatus);
    }
    Settle(address, responder);
}

void RobotBook::Found(Address address, Responder& responder, const ReadResult& result)
{
    responder.heardRound = round_;
    responder.answeredRound = round_;
    if (responder.role != Role::Skipped && responder.udn != result.udn) {
        // Another UDN at a known address: the one it served has lost it.
        const std::string lost = responder.udn;
        if (responder.role == Role::Robot) {
            LoseAddress(lost, Loss::OtherUdn, StandingBy(lost));
        }
        Unlink(address, responder);
    }
    responder.name = result.name;
    Claim(address, responder, result.udn);
}

void RobotBook::Claim(Address address, Responder& responder, const std::string& udn)
{
    responder.told = SEEKWELL_SKIP_NONE;
    const auto found = robots_.find(udn);
    if (found == robots_.end()) {
        if (robots_.size() >= limits_.responders) {
            Overload(address, responder.heard);
            return;
        }
        Robot& robot = robots_[udn];
        robot.address = address;
        robot.name = responder.name;
        responder.role = Role::Robot;
        responder.udn = udn;
        TellRobot(SEEKWELL_EVENT_ROBOT, udn, robot, address);
        return;
    }
    Robot& robot = found->second;
    if (robot.address == address || (robot.address == 0 && robot.toldAt == address)) {
        robot.address = address;
        responder.role = Role::Robot;
        responder.udn = udn;
        if (robot.name != responder.name) {
            robot.name = responder.name;
            TellRobot(SEEKWELL_EVENT_ROBOT, udn, robot, address);
        }
        return;
    }
    responder.role = Role::Alias;
    responder.udn = udn;
    AddAlias(robot, address);
    if (robot.address == 0) {
        Move(udn, robot, address);
        return;
    }
    // Another address holds it: this one stands by while that one answers,
    // which is checked at once unless it was this round.
    Responder& holder = responders_.at(robot.address);
    if (holder.answeredRound == round_ || holder.reading != 0) {
        return;
    }
    if (holder.readRound != round_) {
        StartRead(robot.address, holder, true);
        return;
    }
    LoseAddress(udn, Loss::FailedCheck, StandingBy(udn));
}

// The robot's address no longer answers for it: it moves to alias, when
// one stands by, or is GONE in a watch.
void RobotBook::LoseAddress(const std::string& udn, Loss loss, Address alias)
{
    const auto found = robots_.find(udn);
    if (found == robots_.end() || found->second.address == 0) {
        return;
    }
    Robot& robot = found->second;
    const Address from = robot.address;
    Responder& old = responders_.at(from);
    if (alias != 0) {
        Move(udn, robot, alias);
        // Unless it left or serves another now, the old address stands by.
        if (loss == Loss::Missed || loss == Loss::FailedCheck) {
            old.role = Role::Alias;
            AddAlias(robot, from);
        } else {
            old.role = Role::Skipped;
            old.udn.clear();
            if (loss != Loss::OtherUdn) {
                Leave(from, old);
            }
        }
        Settle(from, old);
        return;
    }
    if (!watch_ || loss == Loss::FailedCheck) {
        // A window search tells a robot once; its address may serve another.
        if (loss == Loss::OtherUdn) {
            robot.address = 0;
        }
        return;
    }
    TellRobot(SEEKWELL_EVENT_GONE, udn, robot, from);
    for (const Address alias : robot.aliases) {
        const auto standing = responders_.find(alias);
        if (standing != responders_.end()) {
            standing->second.role = Role::Skipped;
            standing->second.udn.clear();
        }
    }
    robots_.erase(found);
    old.role = Role::Skipped;
    old.udn.clear();
    if (loss != Loss::OtherUdn) {
        Leave(from, old);
    }
    Settle(from, old);
}

void RobotBook::Move(const std::string& udn, Robot& robot, Address to)
{
    Responder& responder = responders_.at(to);
    robot.aliases.erase(std::remove(robot.aliases.begin(), robot.aliases.end(), to), robot.aliases.end());
    robot.address = to;
    robot.missed = 0;
    robot.name = responder.name;
    responder.role = Role::Robot;
    responder.udn = udn;
    responder.told = SEEKWELL_SKIP_NONE;
    Settle(to, responder);
    TellRobot(SEEKWELL_EVENT_ROBOT, udn, robot, to);
}

// The alias heard most recently, in sinceRound or later; 0 when none.
Address RobotBook::BestAlias(const std::string& udn, const Robot& robot, int sinceRound) const
{
    Address best = 0;
    int bestRound = sinceRound - 1;
    for (const Address alias : robot.aliases) {
        const auto found = responders_.find(alias);
        if (found != responders_.end() && found->second.role == Role::Alias && found->second.udn == udn &&
            alias != robot.address && found->second.heardRound > bestRound) {
            best = alias;
            bestRound = found->second.heardRound;
        }
    }
    return best;
}

// An address that stands by for the robot: heard this round or the last.
Address RobotBook::StandingBy(const std::string& udn) const
{
    const auto found = robots_.find(udn);
    return found != robots_.end() ? BestAlias(udn, found->second, round_ - 1) : 0;
}

void RobotBook::AddAlias(Robot& robot, Address address)
{
    if (std::find(robot.aliases.begin(), robot.aliases.end(), address) != robot.aliases.end()) {
        return;
    }
    if (robot.aliases.size() >= kAliasesPerRobot) {
        const auto oldest = std::min_element(robot.aliases.begin(), robot.aliases.end(), [this](Address a, Address b) {
            return responders_.at(a).heardRound < responders_.at(b).heardRound;
        });
        Responder& dropped = responders_.at(*oldest);
        dropped.role = Role::Skipped;
        dropped.udn.clear();
        robot.aliases.erase(oldest);
    }
    robot.aliases.push_back(address);
}

// The responder no longer stands by for the robot it served.
void RobotBook::Unlink(Address address, Responder& responder)
{
    if (responder.role == Role::Alias) {
        const auto robot = robots_.find(responder.udn);
        if (robot != robots_.end()) {
            auto& aliases = robot->second.aliases;
            aliases.erase(std::remove(aliases.begin(), aliases.end(), address), aliases.end());
        }
    }
    responder.role = Role::Skipped;
    responder.udn.clear();
}

// The address said goodbye, or its interface went: what a read under way
// finds there tells nothing. The responder stays, so that the address is
// still read at most once this round; it ages like any other left out.
void RobotBook::Leave(Address address, Responder& responder)
{
    Unlink(address, responder);
    responder.discardRead = responder.reading != 0;
    responder.heardRound = -1;
}

// Never while a read of it is under way.
void RobotBook::Forget(ResponderMap::iterator at)
{
    Responder& responder = at->second;
    StopWaiting(responder);
    // Flooded with strangers, the book forgets addresses it read this
    // round: they are kept apart, so that none is read twice in the round.
    if (responder.readRound == round_ && readAndForgotten_.size() < kForgottenReadsKept) {
        readAndForgotten_.insert(at->first);
    }
    Unlink(at->first, responder);
    if (responder.aging != aging_.end()) {
        aging_.erase(responder.aging);
    }
    responders_.erase(at);
}

void RobotBook::EndRound(const std::vector<unsigned int>& searched)
{
    std::vector<std::string> missed;
    for (const auto& [udn, robot] : robots_) {
        if (robot.address == 0) {
            continue;
        }
        const Responder& at = responders_.at(robot.address);
        if (at.heardRound == round_ || at.reading != 0) {
            continue;
        }
        const bool searchedThere =
            at.askedRound == round_ ||
            (at.viaDatagram && std::find(searched.begin(), searched.end(), at.heard.interfaceIndex) != searched.end());
        if (searchedThere) {
            missed.push_back(udn);
        }
    }
    for (auto& [udn, robot] : robots_) {
        if (robot.address != 0 && responders_.at(robot.address).heardRound == round_) {
            robot.missed = 0;
        }
    }
    for (const std::string& udn : missed) {
        Robot& robot = robots_.at(udn);
        // Another of its addresses answered this round: it moves there.
        const Address alias = BestAlias(udn, robot, round_);
        if (alias != 0 || (watch_ && ++robot.missed >= kGoneAfterMissed)) {
            LoseAddress(udn, Loss::Missed, alias);
        }
    }
    if (!watch_) {
        return;
    }
    // Responders left out, and aliases, that stopped answering.
    for (auto at = responders_.begin(); at != responders_.end();) {
        const Responder& responder = at->second;
        const bool stale = responder.role != Role::Robot && responder.reading == 0 &&
                           round_ - responder.heardRound >= kGoneAfterMissed;
        if (stale) {
            Forget(at++);
        } else {
            ++at;
        }
    }
}

void RobotBook::ForgetInterface(unsigned int index)
{
    std::vector<std::string> robots;
    for (auto& [address, responder] : responders_) {
        if (responder.heard.interfaceIndex != index) {
            continue;
        }
        if (responder.role == Role::Robot) {
            robots.push_back(responder.udn);
        } else {
            Leave(address, responder);
        }
    }
    for (const std::string& udn : robots) {
        LoseAddress(udn, Loss::InterfaceGone, StandingBy(udn));
    }
    // What stands there is forgotten, but for an address read this round;
    // a read under way there tells nothing.
    for (auto at = responders_.begin(); at != responders_.end();) {
        Responder& responder = at->second;
        if (responder.heard.interfaceIndex != index) {
            ++at;
            continue;
        }
        responder.discardRead = responder.reading != 0;
        if (responder.role != Role::Robot && responder.reading == 0 && responder.readRound != round_) {
            Forget(at++);
        } else {
            ++at;
        }
    }
}

}  // namespace seekwell::live
