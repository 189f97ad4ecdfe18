#include "server_stats.h"

std::string ServerStats::TakeSummary(int64_t seconds, std::size_t connected)
{
    std::string line = "summary: " + std::to_string(connected) + " clients connected, " +
                       std::to_string(accepted) + " accepted, " + std::to_string(requests) + " requests, " +
                       std::to_string(bytesServed) + " bytes served, " + std::to_string(errors) +
                       " errors in the last " + std::to_string(seconds) + " s";
    *this = ServerStats();
    return line;
}
