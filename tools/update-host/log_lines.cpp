#include "log_lines.h"

void LogLines::feed(const char* data, std::size_t size, std::vector<std::string>& lines)
{
    pending_.append(data, size);
    std::size_t start = 0;
    for (std::size_t end; (end = pending_.find('\n', start)) != std::string::npos; start = end + 1) {
        std::size_t stop = end;
        if (stop > start && pending_[stop - 1] == '\r')
            --stop;
        lines.push_back(pending_.substr(start, stop - start));
    }
    pending_.erase(0, start);
}

std::string LogLines::rest()
{
    std::string left;
    left.swap(pending_);
    if (!left.empty() && left.back() == '\r')
        left.pop_back();
    return left;
}

bool isPerChunkLogLine(const std::string& line)
{
    std::size_t at = 0;
    while (at < line.size() && line[at] == '[') {
        std::size_t close = line.find(']', at);
        if (close == std::string::npos)
            break;
        at = close + 1;
    }
    static const char* const kPerChunk[] = {"接收到数据大小为", "sedmax wei "};
    for (const char* start : kPerChunk) {
        if (line.compare(at, std::char_traits<char>::length(start), start) == 0)
            return true;
    }
    return false;
}
