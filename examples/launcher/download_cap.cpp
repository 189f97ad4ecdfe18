#include "download_cap.h"

namespace {

// The element this launcher wrote earlier, from the start of its line to the
// end of it; npos when there is none. Only an empty element is taken: with
// content, its end would be another element's.
std::size_t capElement(const std::string& xml, std::size_t& end)
{
    std::size_t at = xml.find("<download ");
    if (at == std::string::npos)
        at = xml.find("<download/");
    if (at == std::string::npos)
        return std::string::npos;
    std::size_t close = xml.find('>', at);
    if (close == std::string::npos || xml[close - 1] != '/')
        return std::string::npos;
    std::size_t start = at;
    while (start > 0 && (xml[start - 1] == ' ' || xml[start - 1] == '\t'))
        --start;
    end = close + 1;
    if (end < xml.size() && xml[end] == '\r')
        ++end;
    if (end < xml.size() && xml[end] == '\n')
        ++end;
    return start;
}

}  // namespace

std::string withDownloadCap(const std::string& xml, long kib)
{
    std::string text = xml;
    std::size_t end = 0;
    std::size_t start = capElement(text, end);
    if (start != std::string::npos)
        text.erase(start, end - start);
    if (kib <= 0)
        return text;
    // Just before the document element's closing tag.
    std::size_t closing = text.rfind("</");
    if (closing == std::string::npos)
        return text;
    while (closing > 0 && (text[closing - 1] == ' ' || text[closing - 1] == '\t'))
        --closing;
    const std::string newline = text.find("\r\n") != std::string::npos ? "\r\n" : "\n";
    text.insert(closing, "  <download maxkibps=\"" + std::to_string(kib) + "\"/>" + newline);
    return text;
}
