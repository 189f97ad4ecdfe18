#include "worker/server_table.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "config/xml_config_reader.h"
#include "log/update_log.h"
#include "net/address_text.h"
#include "net/receive_limit.h"
#include "run/notify.h"
#include "run/run_state.h"
#include "worker/signed_build.h"

namespace {

bool serverTableFailed(const char* logLine) {
    g_UpdateLog.write("%s", logLine);
    g_RunState.workerFinished = 1;
    notifyError(AU_ERR_NO_SERVERS);
    return false;
}

// One server element; a rejected one leaves the table as it was.
void readServerElement(XmlConfigReader& reader, char* text, std::size_t size) {
    RunState& run = g_RunState;
    if (!reader.GetAttribute("serverid", text, size) || !text[0]) return;
    text[0] = '\0';
    if (!reader.GetAttribute("autoupdate", text, size) || std::atoi(text) <= 0) return;
    text[0] = '\0';
    reader.GetAttribute("ip", text, size);
    if (!text[0]) return;

    // A name is kept whole for the resolver. A dotted row has room for 19
    // characters: a longer text is cut there.
    ServerEntry& row = run.ServerTable[run.serverCount];
    bool named = isServerName(text);
    std::snprintf(row.name, sizeof row.name, "%s", named ? text : "");
    std::snprintf(row.ip, sizeof row.ip, "%s", named ? "" : text);
    row.tried = 0;
    text[0] = '\0';
    reader.GetAttribute("autoupdateport", text, size);
    row.port = text[0] ? std::atoi(text) : 0;

    // Only 19 rows are counted: every qualifying element after the 19th is
    // written into the spare twentieth row and never counted.
    if (run.serverCount < kServerTableLimit) ++run.serverCount;
}

void readDownloadAddress(XmlConfigReader& reader, char* text, std::size_t size) {
    RunState& run = g_RunState;
    reader.Reset();
    text[0] = '\0';
    int32_t passes = 0;
    if (!reader.SelectChildren("FuncConfig") || (passes = reader.CountChildren()) <= 0) {
        g_UpdateLog.write("没有FuncConfig");
        return;
    }
    g_UpdateLog.write("totalsub为%d", passes);
    if (!reader.SelectChildren("Func")) return;

    for (int32_t pass = 0; pass < passes; ++pass) {
        if (!reader.GetAttribute("intername", text, size) || !text[0]) {
            g_UpdateLog.write("找不到intername为%s", text);
            reader.MoveNext();
            continue;
        }
        text[0] = '\0';
        if (!reader.GetAttribute("expandprop", text, size)) {
            g_UpdateLog.write("找不到expandprop为%s", text);
            reader.MoveNext();
            continue;
        }
        if (std::strlen(text) > 10) {
            std::snprintf(run.downloadAddress, sizeof run.downloadAddress, "%s", text);
            g_UpdateLog.write("%s为下载地址", run.downloadAddress);
            notifyHost(AU_MSG_STATUS, AU_STATUS_DOWNLOAD_ADDRESS,
                       reinterpret_cast<intptr_t>(run.downloadAddress));
        }
        return;
    }
}

// <download maxkibps="N"/> beside servers: the player's cap on the download
// rate. Anything but a plain count of KiB/s leaves the rate free.
void readReceiveLimit(XmlConfigReader& reader, char* text, std::size_t size) {
    RunState& run = g_RunState;
    reader.Reset();
    text[0] = '\0';
    if (!reader.SelectChildren("download") || !reader.GetAttribute("maxkibps", text, size)) return;
    const std::size_t length = std::strlen(text);
    if (length == 0 || length > 7 || std::strspn(text, "0123456789") != length) return;
    run.receiveLimitKiB = static_cast<uint32_t>(std::atoi(text));
    if (run.receiveLimitKiB > 0) g_UpdateLog.write("下载限速%uKiB/s", run.receiveLimitKiB);
}

}  // namespace

bool readGameData() {
    RunState& run = g_RunState;
    XmlConfigReader reader;
    char text[256] = {};
    run.publisherKeyCount = 0;
    run.receiveLimitKiB = 0;

    if (!reader.Load(run.xmlPath)) {
        g_UpdateLog.write("没有gamedataxml");
    } else {
        reader.Reset();
        int32_t passes = 0;
        if (!reader.SelectChildren("servers") || (passes = reader.CountChildren()) <= 0) {
            return serverTableFailed("无法找到servers");
        }
        if (!reader.SelectChildren("server")) return serverTableFailed("无法找到server");

        // The passes count every child node of servers, comments included;
        // MoveNext stays on the last element, which is then read again.
        for (int32_t pass = 0; pass < passes; ++pass) {
            readServerElement(reader, text, sizeof text);
            reader.MoveNext();
        }
        readDownloadAddress(reader, text, sizeof text);
        readPublisherKeys(reader);
        readReceiveLimit(reader, text, sizeof text);
    }
    startReceiveLimit(run.receiveLimitKiB);

    for (int32_t i = 0; i < run.serverCount; ++i) {
        ServerEntry& row = run.ServerTable[i];
        keepDigitsAndDots(row.ip, sizeof row.ip, row.ip);
    }
    g_UpdateLog.write("有这么多个服务器%d", run.serverCount);
    return true;
}
