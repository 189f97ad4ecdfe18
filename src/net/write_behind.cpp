#include "net/write_behind.h"

#include <atomic>
#include <cstring>

#include "platform/platform.h"
#include "platform/sync.h"

namespace {

// Four batches of 128 KiB: two chunks of the largest size each, so the
// worker seldom waits for the disk, and a bound on what a run holds.
constexpr std::size_t kBatchBytes = 128 * 1024;
constexpr std::size_t kBatches = 4;
constexpr uint32_t kWaitStepMs = 100;
// A writer with nothing to write this long leaves; the next file starts
// another. So no thread stays in the library after a worker ended by force.
constexpr uint32_t kIdleLeaveMs = 2000;

enum class Step : uint8_t { Create, Adopt, Write };

// One step for the writer: a file to create (its path in bytes), a file to
// take as it is, or bytes for the file, in the order they were handed.
struct Batch {
    Step step = Step::Write;
    std::FILE* file = nullptr;  // Adopt
    std::size_t used = 0;
    uint8_t bytes[kBatchBytes];
};

// On the heap and let go by the last of the worker and the writer thread: a
// worker ended by force never lets go of its own, and the writer may still
// be at work on a batch then.
//
// The batches form a ring. The worker alone fills the batch at fill; the
// handed batches from head on belong to whoever writes them (the writer
// thread, or the worker when none could be started) until it gives them
// back by lowering handed.
struct Writer {
    platform::Mutex mutex;
    platform::Condition changed;
    Batch batches[kBatches];
    // Under mutex.
    std::size_t handed = 0;
    bool running = false;  // a writer thread takes handed batches; it clears this as it leaves
    bool writerWaits = false;
    bool workerWaits = false;
    bool failed = false;  // the file could not be created, or a write failed: later bytes are dropped
    bool failedForSpace = false;
    // Whoever writes the handed batches.
    std::FILE* current = nullptr;
    std::size_t head = 0;
    // The worker's.
    std::size_t fill = 0;
    platform::ThreadHandle thread = nullptr;
    std::atomic<bool> quit{false};
    std::atomic<int> holders{1};
};

Writer* g_writer = nullptr;

Writer& writer() {
    if (g_writer == nullptr) g_writer = new Writer;
    return *g_writer;
}

void letGo(Writer* writer) {
    if (writer->holders.fetch_sub(1) == 1) delete writer;
}

// Carries out the batch at head and gives it back.
void takeHead(Writer& writer) {
    Batch& batch = writer.batches[writer.head];
    bool failed;
    {
        platform::MutexLock lock(writer.mutex);
        failed = writer.failed;
    }
    bool done = true;
    bool forSpace = false;
    switch (batch.step) {
    case Step::Create:
        writer.current = platform::openFile(reinterpret_cast<const char*>(batch.bytes), "wb+");
        done = writer.current != nullptr;
        break;
    case Step::Adopt:
        writer.current = batch.file;
        break;
    case Step::Write:
        if (failed || batch.used == 0) break;
        done = writer.current != nullptr &&
               std::fwrite(batch.bytes, 1, batch.used, writer.current) == batch.used;
        // The error is the calling thread's own: read it here.
        if (!done && writer.current != nullptr) forSpace = platform::writeFailedForSpace();
        break;
    }
    writer.head = (writer.head + 1) % kBatches;
    platform::MutexLock lock(writer.mutex);
    if (!done) {
        writer.failed = true;
        writer.failedForSpace = forSpace;
    }
    --writer.handed;
    if (writer.workerWaits) writer.changed.wakeAll();
}

// Whether a batch waits, as the writer thread sees it: false when it is to
// leave (idle too long, or told to), having said so under the lock.
bool batchWaits(Writer& writer) {
    const uint32_t idleSince = platform::tickCount();
    platform::MutexLock lock(writer.mutex);
    while (writer.handed == 0) {
        if (writer.quit.load() || platform::tickCount() - idleSince >= kIdleLeaveMs) {
            writer.running = false;
            return false;
        }
        writer.writerWaits = true;
        writer.changed.wait(writer.mutex, kWaitStepMs);
        writer.writerWaits = false;
    }
    return true;
}

uint32_t writerBody(void* argument) {
    Writer* writer = static_cast<Writer*>(argument);
    while (batchWaits(*writer)) takeHead(*writer);
    letGo(writer);
    return 0;
}

// A writer thread for the batches just handed; without one the worker
// carries them out itself.
void startWriter(Writer& writer) {
    if (writer.thread != nullptr) {
        // It left idle: it is done with the state, or all but done.
        platform::waitForThread(writer.thread, 0xFFFFFFFFu);
        platform::releaseThread(writer.thread);
        writer.thread = nullptr;
    }
    {
        platform::MutexLock lock(writer.mutex);
        writer.running = true;
    }
    writer.holders.fetch_add(1);
    writer.thread = platform::startThreadWith(writerBody, &writer);
    if (writer.thread != nullptr) return;
    writer.holders.fetch_sub(1);
    {
        platform::MutexLock lock(writer.mutex);
        writer.running = false;
    }
    while (writer.handed > 0) takeHead(writer);
}

void waitUntilHandedAtMost(Writer& writer, std::size_t most) {
    platform::MutexLock lock(writer.mutex);
    while (writer.handed > most) {
        writer.workerWaits = true;
        writer.changed.wait(writer.mutex, kWaitStepMs);
        writer.workerWaits = false;
    }
}

// Hands the batch being filled to the writer and waits, if need be, until
// the next one is free to fill.
void handOver(Writer& writer) {
    bool start;
    {
        platform::MutexLock lock(writer.mutex);
        ++writer.handed;
        start = !writer.running;
        if (writer.writerWaits) writer.changed.wakeAll();
    }
    if (start) startWriter(writer);
    writer.fill = (writer.fill + 1) % kBatches;
    waitUntilHandedAtMost(writer, kBatches - 1);
    Batch& next = writer.batches[writer.fill];
    next.step = Step::Write;
    next.used = 0;
}

void handPartial(Writer& writer) {
    if (writer.batches[writer.fill].used > 0) handOver(writer);
}

// False, with *outOfSpace set when that was the cause, once the file could
// not be created or written: later bytes are dropped.
bool stillWriting(Writer& w, bool* outOfSpace) {
    platform::MutexLock lock(w.mutex);
    if (w.failed && w.failedForSpace) *outOfSpace = true;
    return !w.failed;
}

}  // namespace

void openBehind(const char* path) {
    Writer& w = writer();
    handPartial(w);
    Batch& batch = w.batches[w.fill];
    const std::size_t length = std::strlen(path);
    if (length >= kBatchBytes) {
        // Never a path of ours; the file fails as one that cannot be created.
        platform::MutexLock lock(w.mutex);
        w.failed = true;
        return;
    }
    batch.step = Step::Create;
    std::memcpy(batch.bytes, path, length + 1);
    batch.used = length + 1;
    handOver(w);
}

void writeTo(std::FILE* file) {
    Writer& w = writer();
    handPartial(w);
    Batch& batch = w.batches[w.fill];
    batch.step = Step::Adopt;
    batch.file = file;
    batch.used = 1;
    handOver(w);
}

bool writeBehind(const uint8_t* bytes, std::size_t count, bool* outOfSpace) {
    Writer& w = writer();
    if (!stillWriting(w, outOfSpace)) return false;
    while (count > 0) {
        Batch& batch = w.batches[w.fill];
        const std::size_t room = kBatchBytes - batch.used;
        const std::size_t take = count < room ? count : room;
        std::memcpy(batch.bytes + batch.used, bytes, take);
        batch.used += take;
        bytes += take;
        count -= take;
        if (batch.used == kBatchBytes) handOver(w);
    }
    return true;
}

uint8_t* behindRoom(std::size_t* room) {
    Writer& w = writer();
    Batch& batch = w.batches[w.fill];
    *room = kBatchBytes - batch.used;
    return batch.bytes + batch.used;
}

bool behindFilled(std::size_t count, bool* outOfSpace) {
    Writer& w = writer();
    if (!stillWriting(w, outOfSpace)) return false;
    Batch& batch = w.batches[w.fill];
    batch.used += count;
    if (batch.used == kBatchBytes) handOver(w);
    return true;
}

bool awaitWrites(std::FILE** file, bool* outOfSpace) {
    Writer& w = writer();
    handPartial(w);
    waitUntilHandedAtMost(w, 0);
    *file = w.current;
    w.current = nullptr;
    platform::MutexLock lock(w.mutex);
    const bool failed = w.failed || *file == nullptr;
    if (w.failed && w.failedForSpace) *outOfSpace = true;
    w.failed = false;
    w.failedForSpace = false;
    return !failed;
}

void endWriteBehind() {
    Writer* w = g_writer;
    if (w == nullptr) return;
    g_writer = nullptr;
    handPartial(*w);
    waitUntilHandedAtMost(*w, 0);
    if (w->thread != nullptr) {
        {
            platform::MutexLock lock(w->mutex);
            w->quit.store(true);
            w->changed.wakeAll();
        }
        platform::waitForThread(w->thread, 0xFFFFFFFFu);
        platform::releaseThread(w->thread);
    }
    letGo(w);
}

void abandonWriteBehind() {
    Writer* w = g_writer;
    if (w == nullptr) return;
    g_writer = nullptr;
    // Its lock may be held by the worker ended by force: only the atomics.
    w->quit.store(true);
    letGo(w);
}
