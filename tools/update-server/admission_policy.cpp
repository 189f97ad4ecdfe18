#include "admission_policy.h"

AdmissionRules AdmissionRulesOf(const ServerOptions& options)
{
    AdmissionRules rules;
    rules.idleMs = static_cast<int64_t>(options.idleTimeoutSeconds) * 1000;
    rules.requestMs = static_cast<int64_t>(options.requestTimeoutSeconds) * 1000;
    rules.maxClients = options.maxClients;
    rules.maxPerAddress = options.maxPerAddress;
    return rules;
}

bool Expired(const ConnectionClock& clock, SlotState state, int64_t now, const AdmissionRules& rules,
             CloseReason* why)
{
    if (state == SlotState::Ready) return false;
    if (clock.requestUnderWay()) {
        if (now - clock.requestStarted() > rules.requestMs) {
            *why = CloseReason::RequestStalled;
            return true;
        }
        return false;
    }
    if (!clock.askedOnce()) {
        if (now - clock.openedAt() > kFirstRequestMs) {
            *why = CloseReason::NoRequest;
            return true;
        }
        return false;
    }
    if (clock.replyUnderWay()) {
        if (now - clock.replyMoved() > rules.requestMs) {
            *why = CloseReason::ReplyStalled;
            return true;
        }
        return false;
    }
    const int64_t idleMs = clock.askedForFile() || rules.idleMs > kListToFileMs ? rules.idleMs : kListToFileMs;
    if (now - clock.lastActive() > idleMs) {
        *why = CloseReason::Idle;
        return true;
    }
    return false;
}

bool SilentPastPause(const ConnectionClock& clock, SlotState state, int64_t now)
{
    return state == SlotState::Waiting && !clock.askedOnce() && now - clock.openedAt() > kSilentPastPauseMs;
}

bool MayPark(const ConnectionClock& clock, int64_t now)
{
    return clock.askedOnce() && !clock.requestUnderWay() && !clock.replyUnderWay() &&
           now - clock.lastActive() >= kParkAfterMs;
}

int ChooseToMakeRoom(const std::vector<Occupant>& occupants, int64_t now)
{
    std::map<std::string, std::size_t> held;
    for (const Occupant& occupant : occupants) ++held[*occupant.address];
    int chosen = -1;
    std::size_t chosenHeld = 1;
    for (std::size_t i = 0; i < occupants.size(); ++i) {
        const Occupant& occupant = occupants[i];
        const ConnectionClock& clock = *occupant.clock;
        if (occupant.state == SlotState::Ready || clock.requestUnderWay() || clock.replyUnderWay()) continue;
        const bool pastPause = clock.askedOnce() ? now - clock.lastActive() >= kParkAfterMs
                                                 : now - clock.openedAt() > kSilentPastPauseMs;
        if (!pastPause) continue;
        const std::size_t count = held[*occupant.address];
        if (count < chosenHeld || count < 2) continue;
        if (chosen < 0 || count > chosenHeld || clock.lastActive() < occupants[chosen].clock->lastActive()) {
            chosen = static_cast<int>(i);
            chosenHeld = count;
        }
    }
    return chosen;
}

bool AdmissionPolicy::arrive(const std::string& address)
{
    std::lock_guard<std::mutex> lock(mutex_);
    Address& entry = addresses_[address];
    if (entry.waiting >= rules_.maxPerAddress * kWaitingPerServed) {
        if (entry.served == 0 && entry.waiting == 0) addresses_.erase(address);
        return false;
    }
    ++entry.waiting;
    ++waiting_;
    return true;
}

bool AdmissionPolicy::claim(const std::string& address)
{
    std::lock_guard<std::mutex> lock(mutex_);
    if (served_ >= rules_.maxClients) return false;
    auto found = addresses_.find(address);
    if (found == addresses_.end() || found->second.waiting == 0) return false;
    if (found->second.served >= rules_.maxPerAddress) return false;
    --found->second.waiting;
    ++found->second.served;
    --waiting_;
    ++served_;
    return true;
}

void AdmissionPolicy::leave(const std::string& address, bool served)
{
    std::lock_guard<std::mutex> lock(mutex_);
    auto found = addresses_.find(address);
    if (found == addresses_.end()) return;
    Address& entry = found->second;
    if (served && entry.served > 0) {
        --entry.served;
        --served_;
        ++slotsFreed_;
    } else if (!served && entry.waiting > 0) {
        --entry.waiting;
        --waiting_;
    }
    if (entry.served == 0 && entry.waiting == 0) addresses_.erase(found);
}

void AdmissionPolicy::park(const std::string& address)
{
    std::lock_guard<std::mutex> lock(mutex_);
    Address& entry = addresses_[address];
    if (entry.served == 0) return;
    --entry.served;
    --served_;
    ++slotsFreed_;
    ++entry.waiting;
    ++waiting_;
}

std::size_t AdmissionPolicy::served() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return served_;
}

std::size_t AdmissionPolicy::waiting() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return waiting_;
}
