#include "net/known_fast_servers.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "run/run_state.h"

namespace {

// A game's table has 19 rows and the launcher's address: more lines are
// not ours to keep.
constexpr std::size_t kMostAddresses = 32;

std::vector<std::string> g_known;
bool g_trusted = true;

void knownPath(char* out, std::size_t size) {
    std::snprintf(out, size, "%s\\%s.fast", g_RunState.gameDir, g_RunState.packageName);
}

bool isKnown(const char* address) {
    return std::find(g_known.begin(), g_known.end(), address) != g_known.end();
}

// Written whole to a temporary file and renamed over the old one, so that
// a run ended half-way never leaves a line cut short.
void saveKnown() {
    char path[600];
    char temporary[608];
    knownPath(path, sizeof path);
    std::snprintf(temporary, sizeof temporary, "%s.new", path);
    std::FILE* file = platform::openFile(temporary, "wb");
    if (file == nullptr) return;
    bool written = true;
    for (const std::string& address : g_known) {
        written = written && std::fprintf(file, "%s\r\n", address.c_str()) > 0;
    }
    if (std::fclose(file) == 0 && written) platform::moveFile(temporary, path);
    else platform::deleteFile(temporary);
}

}  // namespace

void loadKnownFastServers() {
    g_known.clear();
    g_trusted = true;
    char path[600];
    knownPath(path, sizeof path);
    std::FILE* file = platform::openFile(path, "rb");
    if (file == nullptr) return;
    char line[sizeof g_RunState.linkAddress + 2];
    while (g_known.size() < kMostAddresses && std::fgets(line, sizeof line, file) != nullptr) {
        line[std::strcspn(line, "\r\n")] = '\0';
        if (line[0] != '\0' && !isKnown(line)) g_known.emplace_back(line);
    }
    std::fclose(file);
}

bool mayAskAtOnce() {
    return g_trusted && g_RunState.linkAddress[0] != '\0' && isKnown(g_RunState.linkAddress);
}

void noteOfferOfLink(bool offered) {
    const char* address = g_RunState.linkAddress;
    if (address[0] == '\0' || offered == isKnown(address)) return;
    if (offered) {
        if (g_known.size() >= kMostAddresses) g_known.erase(g_known.begin());
        g_known.emplace_back(address);
    } else {
        // A base server answers there now: it and every later server of
        // this run get their pauses.
        g_known.erase(std::find(g_known.begin(), g_known.end(), address));
        g_trusted = false;
    }
    saveKnown();
}
