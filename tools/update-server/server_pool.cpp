#include "server_pool.h"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <pthread.h>
#include <unistd.h>

#include "listen_socket.h"

namespace {

// The loops share their port through SO_REUSEPORT, which would as well let
// them share it with another server started on it by mistake: a bind without
// that option fails there, as a single loop's bind would.
bool PortIsFree(const ServerOptions& options, std::string* error)
{
    if (options.port == 0) return true;
    const int probe = OpenListenSocket(options.bind, options.port, SocketUse::Probe, error);
    if (probe < 0) return false;
    close(probe);
    return true;
}

}  // namespace

ServerPool::ServerPool(const ServerOptions& options) : options_(options), policy_(AdmissionRulesOf(options))
{
    members_.resize(options.loops);
    for (Member& member : members_) {
        member.options = options;
        member.options.portFile.clear();
    }
}

ServerPool::~ServerPool() = default;

bool ServerPool::Open(std::string* error)
{
    if (!PortIsFree(options_, error)) return false;
    for (std::size_t i = 0; i < members_.size(); ++i) {
        Member& member = members_[i];
        // With --port 0 the first loop picks the port, the others join it.
        if (i > 0) member.options.port = members_[0].loop->port();
        member.catalog = std::make_unique<PackageCatalog>(member.options.root);
        member.loop = std::make_unique<EventLoop>(member.options, *member.catalog);
        member.loop->sharePolicy(&policy_);
        if (!member.loop->Open(error)) return false;
    }
    if (!options_.portFile.empty() && !WritePortFile(options_.portFile, members_[0].loop->port())) {
        *error = "cannot write " + options_.portFile;
        return false;
    }
    return true;
}

namespace {

struct Shared {
    std::vector<pthread_t> threads;
    std::atomic<std::size_t> started{0};
    std::atomic<bool> stopping{false};
    std::atomic<bool> draining{false};
    std::atomic<bool> cutShort{false};
};

struct LoopThread {
    EventLoop* loop = nullptr;
    Shared* shared = nullptr;
    std::size_t index = 0;
    int status = 0;
};

void StopOthers(Shared& shared, std::size_t self)
{
    const std::size_t started = shared.started;
    for (std::size_t i = 0; i < started; ++i) {
        if (i != self) pthread_kill(shared.threads[i], SIGTERM);
    }
}

// A stop signal reaches one loop only (whichever reads it first). The first
// loop to drain hands it on at once, so no loop keeps accepting while the
// others finish their replies; a second signal is handed on the same way.
// Each is handed on once, so a loop never takes the first for the second. A
// loop that fails hands a stop on when it ends.
void* RunLoop(void* argument)
{
    LoopThread& self = *static_cast<LoopThread*>(argument);
    self.status = self.loop->Run();
    // A loop that drained has told the others already; telling them again
    // would cut their own drain short.
    if (self.status != 0 && !self.shared->stopping.exchange(true)) StopOthers(*self.shared, self.index);
    return nullptr;
}

}  // namespace

int ServerPool::Run()
{
    Shared shared;
    shared.threads.resize(members_.size());
    std::vector<LoopThread> loops(members_.size());
    int status = 0;
    for (std::size_t i = 0; i < members_.size(); ++i) {
        loops[i] = LoopThread{members_[i].loop.get(), &shared, i, 0};
        members_[i].loop->shareStats(&stats_, i == 0);
        members_[i].loop->setStopHook([this, &shared, i](bool cutShort) {
            std::atomic<bool>& handedOn = cutShort ? shared.cutShort : shared.draining;
            if (handedOn.exchange(true)) return;
            StopOthers(shared, i);
            if (stopHook_) stopHook_(cutShort);
        });
        if (pthread_create(&shared.threads[i], nullptr, RunLoop, &loops[i]) != 0) {
            status = 1;
            shared.stopping = true;
            break;
        }
        shared.started = i + 1;
    }
    // A loop that stopped while others were still being started could not
    // reach them.
    if (shared.stopping) StopOthers(shared, members_.size());
    for (std::size_t i = 0; i < shared.started; ++i) {
        pthread_join(shared.threads[i], nullptr);
        if (loops[i].status != 0) status = loops[i].status;
    }
    return status;
}
