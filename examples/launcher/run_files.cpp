#include "run_files.h"

#include <cstdlib>
#include <fstream>
#include <sstream>

std::string stagedListPath(const std::string& gameDir, const std::string& package)
{
    return gameDir + "\\Update\\" + package + ".upd";
}

std::string runLogPath(const std::string& gameDir)
{
    return gameDir + "\\autoupdatelog.txt";
}

std::vector<std::string> systemFilePaths(const std::string& listText)
{
    // Two header lines, then every record on line 3 as "\dir\file,size,system,md5".
    std::vector<std::string> paths;
    std::size_t start = 0;
    for (int header = 0; header < 2; ++header) {
        start = listText.find('\n', start);
        if (start == std::string::npos)
            return paths;
        ++start;
    }
    std::size_t end = listText.find_first_of("\r\n", start);
    std::string line = listText.substr(start, end == std::string::npos ? std::string::npos : end - start);
    std::size_t pos = 0;
    for (;;) {
        pos = line.find('\\', pos);
        std::size_t pathEnd = pos == std::string::npos ? pos : line.find(',', pos);
        std::size_t sizeEnd = pathEnd == std::string::npos ? pathEnd : line.find(',', pathEnd + 1);
        std::size_t systemEnd = sizeEnd == std::string::npos ? sizeEnd : line.find(',', sizeEnd + 1);
        if (systemEnd == std::string::npos)
            return paths;
        if (std::atoi(line.substr(sizeEnd + 1, systemEnd - sizeEnd - 1).c_str()) != 0) {
            std::string path = line.substr(pos, pathEnd - pos);
            for (char& c : path)
                if (c == '\\')
                    c = '/';
            paths.push_back(path);
        }
        pos = systemEnd + 1;
    }
}

std::string lockedFileFromLog(const std::string& logText, const std::string& gameDir)
{
    // The log line the install writes before it asks about a locked file.
    static const std::string kMarker = "被程序占,错误类型";
    std::size_t marker = logText.rfind(kMarker);
    if (marker == std::string::npos)
        return std::string();
    std::size_t begin = logText.rfind('\n', marker);
    begin = begin == std::string::npos ? 0 : begin + 1;
    // Each line starts "[counter][HH:MM:SS]".
    for (int field = 0; field < 2 && begin < marker && logText[begin] == '[';) {
        std::size_t close = logText.find(']', begin);
        if (close == std::string::npos || close > marker)
            break;
        begin = close + 1;
        ++field;
    }
    std::string path = logText.substr(begin, marker - begin);
    std::string prefix = gameDir;
    if (!prefix.empty() && prefix.back() != '\\')
        prefix += '\\';
    if (!prefix.empty() && path.size() > prefix.size() && path.compare(0, prefix.size(), prefix) == 0)
        path.erase(0, prefix.size());
    return path;
}

std::string readWholeFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return std::string();
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}
