#include "list_format.h"

#include <algorithm>
#include <cstdlib>

namespace {

// The client reads line 3 with a limit of 704000 bytes including the NUL.
constexpr std::size_t kMaxRecordLine = 703999;

std::string WithBackslashes(std::string path)
{
    for (char& c : path) {
        if (c == '/') c = '\\';
    }
    return path;
}

}  // namespace

std::string CheckListPath(const std::string& path)
{
    if (path.size() < 2 || path[0] != '/') return "a list path must begin with a separator and name a file";
    if (path.size() > kMaxListPathLength) {
        return "path longer than " + std::to_string(kMaxListPathLength) + " characters";
    }
    for (unsigned char c : path) {
        if (c == ',') return "path holds a \",\", which separates list fields";
        if (c == '\\') return "file name holds a \"\\\", which the list reads as a separator";
        if (c < 0x20 || c == 0x7F) return "file name holds a control character";
    }
    if (path.back() == '/') return "path ends with a separator";
    return std::string();
}

std::string FormatListText(const std::string& packageName, const std::vector<ListRecord>& records)
{
    std::string text = "AutoUpdate file list\r\n";
    text += "package=" + packageName + " files=" + std::to_string(records.size()) + "\r\n";
    bool first = true;
    for (const ListRecord& record : records) {
        if (!first) text += ',';
        first = false;
        text += WithBackslashes(record.path);
        text += ',' + std::to_string(record.size) + ',' + std::to_string(record.system) + ',' + record.md5;
    }
    text += "\r\n";
    return text;
}

std::vector<ListRecord> ParseListRecords(const std::string& text, std::size_t maxRecords)
{
    std::vector<ListRecord> records;
    std::size_t start = 0;
    for (int header = 0; header < 2; ++header) {
        std::size_t end = text.find('\n', start);
        if (end == std::string::npos) return records;
        start = end + 1;
    }
    std::size_t lineEnd = text.find('\n', start);
    std::string line = text.substr(start, lineEnd == std::string::npos ? std::string::npos : lineEnd + 1 - start);
    if (line.size() > kMaxRecordLine) line.resize(kMaxRecordLine);

    std::size_t pos = 0;
    const std::size_t n = line.size();
    while (records.size() < maxRecords) {
        pos = line.find('\\', pos);
        if (pos == std::string::npos) break;
        std::size_t comma = line.find(',', pos);
        if (comma == std::string::npos) break;
        ListRecord record;
        record.path = line.substr(pos, comma - pos);
        for (char& c : record.path) {
            if (c == '\\') c = '/';
        }
        pos = comma + 1;

        // size, then system; each cut to 19 characters as the client reads it
        std::string numbers[2];
        bool cut = false;
        for (std::string& number : numbers) {
            std::size_t next = line.find(',', pos);
            if (next == std::string::npos) {
                cut = true;
                break;
            }
            number = line.substr(pos, std::min<std::size_t>(next - pos, 19));
            pos = next + 1;
        }
        if (cut) break;  // the text ends before the md5 field
        record.size = std::atoll(numbers[0].c_str());
        record.system = std::atoi(numbers[1].c_str());

        std::size_t md5End = line.find(',', pos);
        if (md5End == std::string::npos) md5End = n;
        std::size_t md5Length = std::min<std::size_t>(md5End - pos, 32);
        record.md5 = line.substr(pos, md5Length);
        pos += md5Length;
        records.push_back(std::move(record));
    }
    return records;
}
