// Who is served, who waits and who is closed: the server's whole admission
// policy.
//
// A client speaks first (its package request 2000 ms after connecting, or a
// file request 2400 ms after a reconnect), so a connection needs a slot only
// once it has spoken. Newcomers are accepted and wait, unread; those that
// have sent bytes take the free slots in the order they connected. A silent
// connection therefore never keeps a client at work out, and a flood of idle
// connections costs descriptors, not slots. Connections are closed early only
// for breaking the protocol; the pauses and local steps of a client (its
// decision step, its digest of the installed files) are waited for.
//
// One AdmissionPolicy is shared by every loop of the server: one client limit
// and one count per address, whichever loop the kernel hands a client to.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "close_reason.h"
#include "connection_clock.h"
#include "server_options.h"

struct AdmissionRules {
    // Silence allowed between a reply and the next request, once the client
    // has asked for a file of the game. Between a request and the next the
    // client decides what to fetch, asks its host about a locked file, or
    // digests the file it just fetched: the default leaves room for a
    // ten-minute digest of a large file and half as much again.
    int64_t idleMs = 15 * 60 * 1000;
    // A request must arrive whole within this time of its first byte (a real
    // client writes it at once), and a reply must move at least once within
    // it: a slow link keeps its connection while bytes keep leaving.
    int64_t requestMs = 30000;
    std::size_t maxClients = 1000;    // connections served at once, for the whole server
    std::size_t maxPerAddress = 64;   // of those, from one address
};

AdmissionRules AdmissionRulesOf(const ServerOptions& options);

// The client pauses 2400 ms at most before its first request; a connection
// silent far longer than that is no client at work.
constexpr int64_t kFirstRequestMs = 10000;
// Until its first request for a file of the game, the client may digest
// every installed file (a first run, a repair): minutes for a large game. That
// pause may last this long, or the idle time-out when that is longer.
constexpr int64_t kListToFileMs = 60 * 60 * 1000;
// Past this, a connection that has not spoken is the first to make room for
// a newcomer of its own address.
constexpr int64_t kSilentPastPauseMs = 5000;
// A served connection silent this long between a reply and its next request
// (its client digests or decides) gives its slot to one that waits, and
// takes the next free one, before later arrivals, when it asks again.
constexpr int64_t kParkAfterMs = 2000;
// Waiting connections an address may hold, per connection it may be served.
constexpr std::size_t kWaitingPerServed = 8;

// Waiting: accepted, silent, without a slot. Ready: without a slot, and the
// client has sent bytes that wait unread. Served: holds a slot.
enum class SlotState { Waiting, Ready, Served };

// Why the connection is to be closed at now; false while it may stay. One
// that is ready waits for the server, so it is never timed out.
bool Expired(const ConnectionClock& clock, SlotState state, int64_t now, const AdmissionRules& rules,
             CloseReason* why);

// A connection that may make room for a newcomer of its address.
bool SilentPastPause(const ConnectionClock& clock, SlotState state, int64_t now);
// A served connection that may give its slot to one that waits.
bool MayPark(const ConnectionClock& clock, int64_t now);

// A connection as the server holds it, when a newcomer waits for room.
struct Occupant {
    const std::string* address;
    const ConnectionClock* clock;
    SlotState state;
};
// Which connection makes room when the server has no descriptor left for a
// newcomer that waits: the longest silent of the address holding the most
// connections, so that no address, however many connections it opens, keeps
// newcomers out while others have fewer. Only a connection silent past the
// client's own pauses may go: never one in the middle of a request or a
// reply, one that spoke and waits for its slot, one that has not yet had the
// time to ask; nor one whose address holds a single connection, so that on a
// patch day of one client per address newcomers wait. The index, or -1.
int ChooseToMakeRoom(const std::vector<Occupant>& occupants, int64_t now);

class AdmissionPolicy {
public:
    explicit AdmissionPolicy(const AdmissionRules& rules) : rules_(rules) {}
    AdmissionPolicy(const AdmissionPolicy&) = delete;
    AdmissionPolicy& operator=(const AdmissionPolicy&) = delete;

    // A newcomer from address starts to wait; false when its address already
    // has as many waiting as it may (the caller may make room and ask again).
    bool arrive(const std::string& address);
    // A waiting connection takes a slot: false while the server is full or
    // its address has its share.
    bool claim(const std::string& address);
    // A connection is gone; served: it held a slot.
    void leave(const std::string& address, bool served);
    // A served connection gives its slot back and waits again.
    void park(const std::string& address);
    // Connections of every loop that have spoken and wait for a slot.
    void readyChanged(int delta) { ready_ += delta; }
    std::size_t ready() const { return ready_.load(); }

    // Counts the slots given back (a served connection gone or parked), so
    // that a loop whose waiting clients were refused looks again only once
    // one was.
    uint64_t slotsFreed() const { return slotsFreed_.load(); }

    std::size_t served() const;
    std::size_t waiting() const;
    const AdmissionRules& rules() const { return rules_; }

private:
    struct Address {
        std::size_t served = 0;
        std::size_t waiting = 0;
    };

    const AdmissionRules rules_;
    mutable std::mutex mutex_;
    std::map<std::string, Address> addresses_;
    std::size_t served_ = 0;
    std::atomic<std::size_t> ready_{0};
    std::atomic<uint64_t> slotsFreed_{0};
    std::size_t waiting_ = 0;
};
