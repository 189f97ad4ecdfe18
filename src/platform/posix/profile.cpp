// INI files read and written with the rules of the Windows profile API:
// sections and keys match without regard to case, keys and values are
// trimmed, a quoted value loses its quotes, other lines are kept on write.
#include <strings.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <cstdio>
#include <vector>

#include "platform/platform.h"
#include "platform/posix/replace_file.h"
#include "platform/posix/system_error.h"

namespace platform {

namespace {

bool isBlank(char c) {
    return c == ' ' || c == '\t';
}

std::string trimmed(const std::string& text) {
    std::size_t begin = 0;
    std::size_t end = text.size();
    while (begin < end && isBlank(text[begin])) ++begin;
    while (end > begin && isBlank(text[end - 1])) --end;
    return text.substr(begin, end - begin);
}

bool sameName(const std::string& a, const char* b) {
    return strcasecmp(a.c_str(), b) == 0;
}

constexpr char kByteOrderMark[] = "\xEF\xBB\xBF";

// The file's lines without their line ends, and whether it starts with a
// UTF-8 byte-order mark; false with errno set when it cannot be read. As in
// the Windows profile functions, a CR, an LF or a CR LF ends a line, and one
// mark is skipped (a second one is part of the first line).
bool readLines(const std::string& path, std::vector<std::string>* lines, bool* marked = nullptr) {
    std::FILE* file = std::fopen(path.c_str(), "rb");
    if (file == nullptr) return false;
    std::string text;
    char buffer[4096];
    std::size_t got;
    while ((got = std::fread(buffer, 1, sizeof buffer, file)) > 0) text.append(buffer, got);
    int error = std::ferror(file) ? errno : 0;
    std::fclose(file);
    if (error != 0) {
        errno = error;
        return false;
    }
    const bool hasMark = text.compare(0, 3, kByteOrderMark) == 0;
    if (marked != nullptr) *marked = hasMark;
    std::size_t start = hasMark ? 3 : 0;
    while (start < text.size()) {
        std::size_t end = text.find_first_of("\r\n", start);
        if (end == std::string::npos) end = text.size();
        lines->push_back(text.substr(start, end - start));
        start = end + (text.compare(end, 2, "\r\n") == 0 ? 2 : 1);
    }
    return true;
}

// The section name of a "[name]" line, or false for any other line.
bool sectionName(const std::string& line, std::string* name) {
    std::string text = trimmed(line);
    if (text.empty() || text[0] != '[') return false;
    // The last "]": a GBK name may hold that byte inside a character. A line
    // without one opens no section and ends none.
    std::size_t close = text.rfind(']');
    if (close == std::string::npos) return false;
    *name = trimmed(text.substr(1, close - 1));
    return true;
}

// The key and raw value of a "key=value" line, or false for a line without "=".
bool keyAndValue(const std::string& line, std::string* key, std::string* value) {
    std::size_t equals = line.find('=');
    if (equals == std::string::npos) return false;
    *key = trimmed(line.substr(0, equals));
    *value = trimmed(line.substr(equals + 1));
    return true;
}

std::string unquoted(const std::string& value) {
    if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') && value.back() == value.front()) {
        return value.substr(1, value.size() - 2);
    }
    return value;
}

// Index of the first line of the section's body, or -1 when absent.
long findSection(const std::vector<std::string>& lines, const char* section) {
    std::string name;
    for (std::size_t i = 0; i < lines.size(); ++i) {
        if (sectionName(lines[i], &name) && sameName(name, section)) return static_cast<long>(i) + 1;
    }
    return -1;
}

// One past the last line of the section whose body starts at first.
std::size_t sectionEnd(const std::vector<std::string>& lines, std::size_t first) {
    std::string name;
    std::size_t i = first;
    while (i < lines.size() && !sectionName(lines[i], &name)) ++i;
    return i;
}

long findKey(const std::vector<std::string>& lines, std::size_t first, std::size_t end, const char* key) {
    std::string name;
    std::string value;
    for (std::size_t i = first; i < end; ++i) {
        if (keyAndValue(lines[i], &name, &value) && sameName(name, key)) return static_cast<long>(i);
    }
    return -1;
}

void copyOut(const std::string& text, char* out, std::size_t size) {
    std::size_t length = text.size() < size - 1 ? text.size() : size - 1;
    std::memcpy(out, text.data(), length);
    out[length] = '\0';
}

}  // namespace

void readProfileString(const char* section, const char* key, const char* defaultValue,
                       char* out, std::size_t size, const char* path) {
    if (out == nullptr || size == 0) return;
    // Windows drops the default's trailing blanks.
    std::string fallback = defaultValue ? defaultValue : "";
    while (!fallback.empty() && isBlank(fallback.back())) fallback.pop_back();

    std::vector<std::string> lines;
    // Without a section or key Windows lists names; nothing here asks for that.
    if (section == nullptr || key == nullptr || !readLines(nativePath(path), &lines)) {
        copyOut(fallback, out, size);
        return;
    }
    long first = findSection(lines, section);
    long found = -1;
    if (first >= 0) {
        found = findKey(lines, static_cast<std::size_t>(first), sectionEnd(lines, static_cast<std::size_t>(first)), key);
    }
    if (found < 0) {
        copyOut(fallback, out, size);
        return;
    }
    std::string name;
    std::string value;
    keyAndValue(lines[static_cast<std::size_t>(found)], &name, &value);
    copyOut(unquoted(value), out, size);
}

bool writeProfileString(const char* section, const char* key, const char* value, const char* path) {
    if (section == nullptr || path == nullptr) {
        posix::setLastError(posix::kErrorInvalidParameter);
        return false;
    }
    std::string native = nativePath(path);
    std::vector<std::string> lines;
    bool marked = false;
    bool existed = readLines(native, &lines, &marked);
    if (!existed && errno != ENOENT) {
        posix::setLastErrorFromErrno(errno);
        return false;
    }

    long first = findSection(lines, section);
    if (key == nullptr) {
        // As on Windows, a null key removes the whole section.
        if (first < 0) return true;
        std::size_t end = sectionEnd(lines, static_cast<std::size_t>(first));
        lines.erase(lines.begin() + (first - 1), lines.begin() + static_cast<long>(end));
    } else if (first < 0) {
        if (value == nullptr) return true;
        lines.push_back(std::string("[") + section + "]");
        lines.push_back(std::string(key) + "=" + value);
    } else {
        std::size_t body = static_cast<std::size_t>(first);
        std::size_t end = sectionEnd(lines, body);
        long found = findKey(lines, body, end, key);
        if (found >= 0) {
            std::string name;
            std::string old;
            keyAndValue(lines[static_cast<std::size_t>(found)], &name, &old);
            if (value == nullptr) {
                lines.erase(lines.begin() + found);
            } else {
                lines[static_cast<std::size_t>(found)] = name + "=" + value;
            }
        } else {
            if (value == nullptr) return true;
            // After the section's last entry, before the blank lines that part
            // it from the next section.
            std::size_t insertAt = end;
            while (insertAt > body && trimmed(lines[insertAt - 1]).empty()) --insertAt;
            lines.insert(lines.begin() + static_cast<long>(insertAt), std::string(key) + "=" + value);
        }
    }

    // The mark stays, so that the file reads back with the lines it had.
    std::string content = marked ? kByteOrderMark : "";
    for (const std::string& line : lines) {
        content += line;
        content += "\r\n";
    }
    struct stat info {};
    unsigned mode = existed && stat(native.c_str(), &info) == 0 ? (info.st_mode & 07777) : 0666;
    posix::ReplacementFile output(native);
    if (!output.create(mode) || !output.write(content.data(), content.size())) return false;
    if (existed) fchmod(output.descriptor(), mode);
    return output.commit();
}

}  // namespace platform
