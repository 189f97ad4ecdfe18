#include "server_stats.h"

std::string ServerStats::TakeSummary(int64_t seconds)
{
    return "summary: " + std::to_string(connected.load()) + " clients connected, " +
           std::to_string(accepted.exchange(0)) + " accepted, " + std::to_string(requests.exchange(0)) +
           " requests, " + std::to_string(bytesServed.exchange(0)) + " bytes served, " +
           std::to_string(errors.exchange(0)) + " errors in the last " + std::to_string(seconds) + " s";
}
