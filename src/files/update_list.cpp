#include "files/update_list.h"

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>

#include "platform/platform.h"
#include "run/run_state.h"

namespace {

constexpr int kLineBufferSize = 849200;
constexpr int kRecordLineLimit = 704000;
constexpr int kNumberTextLimit = 19;
constexpr std::size_t kPathLimit = sizeof(UpdateListEntry::path) - 1;
constexpr std::size_t kMd5Limit = sizeof(UpdateListEntry::md5) - 1;

struct FileCloser {
    void operator()(std::FILE* file) const { std::fclose(file); }
};
using FileHandle = std::unique_ptr<std::FILE, FileCloser>;

// Reads one header line whole. A line longer than the buffer is outside the
// format; it is consumed piece by piece so that line 3 still starts where it
// should. False at the end of the file.
bool skipHeaderLine(std::FILE* file, char* buffer) {
    bool readSomething = false;
    for (;;) {
        // fgets writes its NUL into the last byte only when the buffer filled
        // up; the line end is then still ahead unless it was the last
        // character read. Looking at the bytes, not strlen, keeps a NUL inside
        // the line from being taken for a short read.
        buffer[kLineBufferSize - 1] = 'x';
        if (std::fgets(buffer, kLineBufferSize, file) == nullptr) {
            return readSomething;
        }
        readSomething = true;
        if (buffer[kLineBufferSize - 1] != '\0' || buffer[kLineBufferSize - 2] == '\n') {
            return true;
        }
    }
}

// atoi's reading (leading white space, sign, digits up to the first other
// character, none gives 0), with a value out of range held at the nearest
// 32-bit limit instead of being left to the C library.
int32_t listNumber(const char* text) {
    long long value = std::strtoll(text, nullptr, 10);
    if (value > INT32_MAX) {
        return INT32_MAX;
    }
    if (value < INT32_MIN) {
        return INT32_MIN;
    }
    return static_cast<int32_t>(value);
}

// Copies at most 19 characters of a number field into text, skips the rest up
// to the next "," and returns where it stopped: at the "," or at the NUL.
const char* readNumberField(const char* cursor, char* text) {
    int length = 0;
    while (*cursor != ',' && *cursor != '\0') {
        if (length < kNumberTextLimit) {
            text[length++] = *cursor;
        }
        ++cursor;
    }
    text[length] = '\0';
    return cursor;
}

}  // namespace

void readUpdateList(const char* path, UpdateListEntry* list, int32_t* count, bool* overlongPath) {
    *count = 0;
    FileHandle file(platform::openFile(path, "r"));
    if (!file) {
        return;
    }
    std::unique_ptr<char[]> line(new (std::nothrow) char[kLineBufferSize]);
    if (!line) {
        return;
    }
    char* buffer = line.get();
    if (!skipHeaderLine(file.get(), buffer) || !skipHeaderLine(file.get(), buffer)) {
        return;
    }
    if (std::fgets(buffer, kRecordLineLimit, file.get()) == nullptr || buffer[0] == '\0') {
        return;
    }

    const char* cursor = buffer;
    while (*count < kUpdateListCapacity) {
        cursor = std::strchr(cursor, '\\');
        if (cursor == nullptr) {
            break;
        }
        UpdateListEntry* entry = &list[*count];

        std::size_t pathLength = std::strcspn(cursor, ",");
        if (cursor[pathLength] == '\0') {
            break;
        }
        bool pathFits = pathLength <= kPathLimit;
        std::memset(entry->path, 0, sizeof entry->path);
        if (pathFits) {
            for (std::size_t i = 0; i < pathLength; ++i) {
                entry->path[i] = cursor[i] == '\\' ? '/' : cursor[i];
            }
        }
        cursor += pathLength + 1;

        char number[kNumberTextLimit + 1];
        cursor = readNumberField(cursor, number);
        if (*cursor == '\0') {
            break;
        }
        entry->size = listNumber(number);
        ++cursor;

        cursor = readNumberField(cursor, number);
        if (*cursor == '\0') {
            break;
        }
        entry->systemFile = listNumber(number);
        ++cursor;

        std::memset(entry->md5, 0, sizeof entry->md5);
        std::size_t md5Length = 0;
        while (md5Length < kMd5Limit && *cursor != ',' && *cursor != '\0') {
            entry->md5[md5Length++] = *cursor++;
        }

        if (!pathFits) {
            if (overlongPath != nullptr) {
                *overlongPath = true;
            }
            std::memset(entry, 0, sizeof *entry);
            continue;
        }

        entry->needsDownload = true;
        ++*count;
        if (g_RunState.stopRequested) {
            g_RunState.runFailed = 1;
            return;
        }
    }
}
