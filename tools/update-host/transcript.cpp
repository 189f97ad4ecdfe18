#include "transcript.h"

#include <autoupdate.h>

#include <cstddef>
#include <cstring>

namespace {

// The records are fixed-size fields of 256 bytes; the bound only keeps a
// record that lost its terminator from running off into other memory.
constexpr std::size_t kMaxRecordText = 1024;

std::string recordText(intptr_t address)
{
    if (address == 0)
        return std::string();
    const char* text = reinterpret_cast<const char*>(address);
    std::size_t length = 0;
    while (length < kMaxRecordText && text[length] != '\0')
        ++length;
    return std::string(text, length);
}

std::string numbers(unsigned msg, uintptr_t wParam, intptr_t lParam)
{
    return std::to_string(msg) + " " + std::to_string(wParam) + " " + std::to_string(lParam) + "\n";
}

std::string fileTable(uintptr_t rows, intptr_t address)
{
    std::string lines = std::to_string(AU_MSG_FILE_TABLE) + " " + std::to_string(rows) + "\n";
    if (address == 0)
        return lines;
    const unsigned char* base = reinterpret_cast<const unsigned char*>(address);
    for (uintptr_t i = 0; i < rows; ++i) {
        const unsigned char* row = base + i * sizeof(AutoUpdateTableRow);
        const char* name = reinterpret_cast<const char*>(row + offsetof(AutoUpdateTableRow, name));
        std::size_t nameLength = 0;
        // A name that fills all 200 bytes has no terminator: stop at the field.
        while (nameLength < sizeof(AutoUpdateTableRow::name) && name[nameLength] != '\0')
            ++nameLength;
        unsigned char sizeBytes[4];
        std::memcpy(sizeBytes, row + offsetof(AutoUpdateTableRow, size), sizeof sizeBytes);
        uint32_t raw = uint32_t(sizeBytes[0]) | uint32_t(sizeBytes[1]) << 8 |
                       uint32_t(sizeBytes[2]) << 16 | uint32_t(sizeBytes[3]) << 24;
        int32_t size;
        std::memcpy(&size, &raw, sizeof size);
        lines += "  ";
        lines.append(name, nameLength);
        lines += " " + std::to_string(size) + "\n";
    }
    return lines;
}

}  // namespace

std::string formatNotification(unsigned msg, uintptr_t wParam, intptr_t lParam)
{
    if (msg == AU_MSG_STATUS &&
        (wParam == AU_STATUS_FILE || wParam == AU_STATUS_DOWNLOAD_ADDRESS || wParam == AU_STATUS_DISK_FOLDER))
        return std::to_string(msg) + " " + std::to_string(wParam) + " " + recordText(lParam) + "\n";
    if (msg == AU_MSG_FILE_TABLE)
        return fileTable(wParam, lParam);
    return numbers(msg, wParam, lParam);
}

std::string formatAsked(const char* text)
{
    std::string line = "# asked: ";
    for (const char* p = text ? text : ""; *p; ++p) {
        if (*p == '\n')
            line += "\\n";
        else
            line += *p;
    }
    return line + "\n";
}

std::string formatAnswered(bool yes)
{
    return yes ? "# answered: yes\n" : "# answered: no\n";
}

std::string formatReturned(const char* function, int32_t result)
{
    return std::string("# ") + function + " returned " + std::to_string(result) + "\n";
}

Transcript::~Transcript()
{
    if (owned_ && out_)
        std::fclose(out_);
}

bool Transcript::open(const std::string& path)
{
    if (path == "-") {
        out_ = stdout;
        owned_ = false;
        return true;
    }
    out_ = std::fopen(path.c_str(), "wb");
    owned_ = out_ != nullptr;
    return out_ != nullptr;
}

void Transcript::attach(FILE* stream)
{
    out_ = stream;
    owned_ = false;
}

void Transcript::put(const std::string& text)
{
    if (!out_ || text.empty())
        return;
    std::fwrite(text.data(), 1, text.size(), out_);
    std::fflush(out_);
}

void Transcript::write(const std::string& lines)
{
    if (finished_) {
        put(lines);
        warn("after EndUpdate returned: " + lines);
        return;
    }
    if (!started_) {
        held_ += lines;
        return;
    }
    put(lines);
}

void Transcript::autoUpdateReturned(int32_t result)
{
    if (started_ || finished_)
        return;
    started_ = true;
    put(formatReturned("AutoUpdate", result) + held_);
    held_.clear();
}

void Transcript::warn(const std::string& text)
{
    if (!warnings_)
        return;
    const char* end = !text.empty() && text.back() == '\n' ? "" : "\n";
    std::fprintf(warnings_, "update-host: warning: %s%s", text.c_str(), end);
    std::fflush(warnings_);
}

void Transcript::endUpdateReturned(int32_t result)
{
    if (finished_)
        return;
    if (!started_) {
        started_ = true;
        put(held_);
        held_.clear();
    }
    put(formatReturned("EndUpdate", result));
    finished_ = true;
}
