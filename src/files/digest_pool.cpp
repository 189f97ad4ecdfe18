#include "files/digest_pool.h"

#include <cstdio>
#include <cstring>

#include "files/md5.h"
#include "platform/crypto.h"
#include "platform/sync.h"

namespace {

constexpr std::size_t kReadBytes = 64 * 1024;
// Files read at once: the cores of a common machine, and one more to keep
// them busy while a read waits for the disk.
constexpr std::size_t kHelpers = 3;
// How often a waiting caller asks whether to stop while a long file is read.
constexpr uint32_t kStopPollMs = 50;

}  // namespace

void JudgeCopy(CopyCheck* check, std::vector<uint8_t>* buffer, const std::atomic<bool>* abandon) {
    buffer->resize(kReadBytes);
    check->opened = -1;
    check->matches = false;
    std::FILE* file = nullptr;
    for (int8_t i = 0; i < 2 && file == nullptr; ++i) {
        if (check->paths[i].empty()) continue;
        file = platform::openFile(check->paths[i].c_str(), "rb");
        if (file != nullptr) check->opened = i;
    }
    if (file == nullptr) return;
    // Reads as large as the buffer need no second buffer inside stdio.
    std::setvbuf(file, nullptr, _IONBF, 0);
    Md5Context md5;
    Md5Init(&md5);
    platform::Sha256 sha256;
    std::size_t got;
    bool abandoned = false;
    while ((got = std::fread(buffer->data(), 1, kReadBytes, file)) > 0) {
        if (abandon != nullptr && abandon->load(std::memory_order_relaxed)) {
            abandoned = true;
            break;
        }
        // A signed build's copy is judged by its signed SHA-256 alone.
        if (check->signedBuild) {
            sha256.update(buffer->data(), got);
        } else {
            Md5Update(&md5, buffer->data(), got);
        }
    }
    // A read that failed part way is no proof of the listed file.
    const bool readWhole = std::ferror(file) == 0;
    std::fclose(file);
    bool matches = readWhole && !abandoned;
    if (check->signedBuild) {
        uint8_t sha[platform::kSha256Bytes];
        matches = sha256.finish(sha) && matches && std::memcmp(sha, check->sha256, sizeof sha) == 0;
    } else {
        uint8_t digest[16];
        char text[33];
        Md5Final(digest, &md5);
        Md5ToHex(digest, text);
        matches = matches && std::strcmp(text, check->md5) == 0;
    }
    check->matches = matches;
}

// What the helpers touch: the checks' own storage, which a worker ended by
// force leaves allocated, and this.
struct DigestPool::Shared {
    Shared(CopyCheck* checks, std::size_t count) : checks(checks), count(count), done(count, 0) {}

    CopyCheck* const checks;
    const std::size_t count;
    platform::Mutex mutex;
    platform::Condition changed;
    // Under mutex: the first check nobody has taken, and which are done.
    std::size_t next = 0;
    std::vector<uint8_t> done;
    std::atomic<bool> quit{false};
    std::atomic<int> holders{1};

    void release() {
        if (holders.fetch_sub(1, std::memory_order_acq_rel) == 1) delete this;
    }

    void takeChecks() {
        std::vector<uint8_t> buffer;
        for (;;) {
            std::size_t i;
            {
                platform::MutexLock lock(mutex);
                if (quit || next >= count) return;
                i = next++;
            }
            JudgeCopy(&checks[i], &buffer, &quit);
            platform::MutexLock lock(mutex);
            done[i] = 1;
            changed.wakeAll();
        }
    }
};

DigestPool::DigestPool(std::vector<CopyCheck>* checks)
    : shared_(new Shared(checks->data(), checks->size())) {
    // A single check is done by await alone; a helper that cannot start
    // leaves its share to the others, and await does them all when none did.
    if (checks->size() < 2) return;
    for (std::size_t i = 0; i < kHelpers; ++i) {
        shared_->holders.fetch_add(1, std::memory_order_relaxed);
        platform::ThreadHandle helper = platform::startThreadWith(helperBody, shared_);
        if (helper != nullptr) {
            helpers_.push_back(helper);
        } else {
            shared_->holders.fetch_sub(1, std::memory_order_relaxed);
        }
    }
}

DigestPool::~DigestPool() {
    {
        platform::MutexLock lock(shared_->mutex);
        shared_->quit = true;
    }
    for (platform::ThreadHandle helper : helpers_) {
        platform::waitForThread(helper, 0xFFFFFFFFu);
        platform::releaseThread(helper);
    }
    shared_->release();
}

uint32_t DigestPool::helperBody(void* argument) {
    Shared* shared = static_cast<Shared*>(argument);
    shared->takeChecks();
    shared->release();
    return 0;
}

bool DigestPool::await(std::size_t i, bool (*stop)()) {
    Shared& shared = *shared_;
    if (helpers_.empty()) {
        if (stop()) return false;
        JudgeCopy(&shared.checks[i], &ownBuffer_);
        return true;
    }
    // While helpers run the caller only waits, free to answer a stop.
    platform::MutexLock lock(shared.mutex);
    for (;;) {
        if (stop()) {
            shared.quit = true;
            return false;
        }
        if (shared.done[i]) return true;
        shared.changed.wait(shared.mutex, kStopPollMs);
    }
}
