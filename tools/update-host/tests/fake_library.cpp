// A stand-in for the library: AutoUpdate plays a scripted run chosen by the
// package name, so the launcher is tested without a server.
#include <autoupdate.h>

#include <pthread.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <string>

namespace {

std::atomic<AutoUpdateHost*> g_host{nullptr};
std::string g_script;
pthread_t g_worker;
bool g_running = false;
char g_downloadAddress[256] = "http://127.0.0.1/下载";
char g_currentFile[256];
AutoUpdateTableRow g_table[3];
bool g_listPresent = false;

void send(unsigned msg, uintptr_t wParam, intptr_t lParam)
{
    AutoUpdateHost* host = g_host.load();
    if (host && host->message)
        host->message(host, msg, wParam, lParam);
}

void idleForever()
{
    for (;;)
        usleep(10000);
}

void* worker(void*)
{
    send(AU_MSG_STATUS, AU_STATUS_CONNECTING, 0);
    // Like the real library, which echoes every log line on standard output.
    std::printf("[    1][00:00:00]log line of the library 下载好了\r\n");
    std::fflush(stdout);
    if (g_script == "complete") {
        send(AU_MSG_STATUS, AU_STATUS_TRANSFERS, 10);
        send(AU_MSG_STATUS, AU_STATUS_FILE_DONE, 0);
        send(AU_MSG_STATUS, AU_STATUS_LIST_READ, 0);
        std::memset(g_table, 0, sizeof g_table);
        std::strcpy(g_table[0].name, "/数据/a.dat");
        g_table[0].size = 1234;
        std::memset(g_table[1].name, 'n', sizeof g_table[1].name);
        g_table[1].size = -1;
        std::strcpy(g_table[2].name, "/x.dll");
        g_table[2].size = 2048;
        send(AU_MSG_FILE_TABLE, 3, reinterpret_cast<intptr_t>(g_table));
        std::strcpy(g_currentFile, "/数据/a.dat");
        send(AU_MSG_STATUS, AU_STATUS_FILE, reinterpret_cast<intptr_t>(g_currentFile));
        // The record changes after the message: the transcript must show the old text.
        std::strcpy(g_currentFile, "changed");
        send(AU_MSG_PROGRESS, 5000, 2500);
        send(AU_MSG_BYTES, 3000, 1500);
        std::printf("[    2][00:00:00]接收到数据大小为1501,头几个数据为0x00 \r\n"
                    "[    3][00:00:00]sedmax wei : 3000 sendnow :1500\r\n");
        std::fflush(stdout);
        send(AU_MSG_STATUS, AU_STATUS_SPEED, 9);
        send(AU_MSG_STATUS, AU_STATUS_FILE_DONE, 0);
        send(AU_MSG_STATUS, AU_STATUS_TRANSFERS, 0);
        send(AU_MSG_STATUS, AU_STATUS_FINAL, 1);
    } else if (g_script == "ask") {
        AutoUpdateHost* host = g_host.load();
        int yes = host && host->ask ? host->ask(host, "C:\\game\\a.dll被占用\n是否重试？", "提示") : 0;
        send(AU_MSG_STATUS, AU_STATUS_FINAL, yes ? 1 : 0);
    } else if (g_script == "first-run") {
        // Complete only when the installed list was gone when the run started.
        send(AU_MSG_STATUS, AU_STATUS_FINAL, g_listPresent ? 0 : 1);
    } else if (g_script == "error") {
        send(AU_MSG_STATUS, AU_STATUS_ERROR, AU_ERR_NO_PACKAGE);
    } else if (g_script == "transfer-error") {
        send(AU_MSG_STATUS, AU_STATUS_ERROR, AU_ERR_TRANSFER);
    }
    idleForever();
    return nullptr;
}

}  // namespace

extern "C" __attribute__((visibility("default"))) int32_t AutoUpdate(
    AutoUpdateWindow hostWindow, const char*, const char* gameDirectory, const char*, const char* packageName)
{
    g_script = packageName ? packageName : "";
    g_listPresent = gameDirectory && access((std::string(gameDirectory) + "/" + g_script + ".upd").c_str(), F_OK) == 0;
    if (g_script == "refuse")
        return 0;
    g_host = hostWindow;
    // Sent before AutoUpdate returns, as the real one may.
    send(AU_MSG_STATUS, AU_STATUS_DOWNLOAD_ADDRESS, reinterpret_cast<intptr_t>(g_downloadAddress));
    g_running = pthread_create(&g_worker, nullptr, worker, nullptr) == 0;
    return 1;
}

extern "C" __attribute__((visibility("default"))) int32_t EndUpdate()
{
    if (!g_running)
        return 0;
    g_host = nullptr;
    pthread_cancel(g_worker);
    pthread_join(g_worker, nullptr);
    g_running = false;
    return 1;
}
