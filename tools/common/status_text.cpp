#include "status_text.h"

#include <autoupdate.h>

#include <cstdio>

std::string describeError(intptr_t code)
{
    switch (code) {
    case AU_ERR_TRANSFER: return "A file could not be downloaded; the update goes on with the next one.";
    case AU_ERR_PACKAGE_SHORT: return "The update package from the server is empty or cut short.";
    case AU_ERR_INFLATE: return "The update package could not be unpacked into a complete file list.";
    case AU_ERR_UNSAFE_LIST: return "The file list names a path outside the game folder; nothing was installed.";
    case AU_ERR_PACKAGE_OPEN: return "The downloaded update package cannot be opened.";
    case AU_ERR_NO_UNCOMPRESS: return "zlib.DLL is missing or cannot unpack the update package.";
    case AU_ERR_LIST_CREATE: return "The new file list cannot be written to the game folder.";
    case AU_ERR_NO_PACKAGE: return "The server does not know this game, or no server could be reached again.";
    case AU_ERR_NO_CONNECTION: return "No update server could be reached.";
    case AU_ERR_HOST_PATH: return "The launcher's own folder has no drive or directory.";
    case AU_ERR_NO_SERVERS: return "gamedata.xml lists no usable update server.";
    case AU_ERR_LIST_TOO_LONG: return "The file list is too long for the updater.";
    case AU_ERR_RECONNECT: return "The connection was lost while asking for the update package.";
    case AU_ERR_ATTEMPTS: return "The server did not answer the request for the update package.";
    case AU_ERR_INSTALL: return "The new files could not be put in place; the game is unchanged.";
    case AU_ERR_NO_SYSTEM_DIR:
        return "The update has files for the system folder, but no usable system folder was found; nothing was installed.";
    case AU_ERR_NOT_SIGNED:
        return "The update server's files are not signed by the game's publisher; nothing was changed.";
    case AU_ERR_DISK_FULL:
        return diskFullText(-1, -1, std::string());
    default:
        return "The network could not be used (system error " + std::to_string(code) + ").";
    }
}

std::string describeStatus(uintptr_t kind, intptr_t value, const std::string& text)
{
    switch (kind) {
    case AU_STATUS_FILE:
        return "Downloading " + text + ".";
    case AU_STATUS_TRANSFERS:
        return value == 10 ? "Downloading the file list." : "All files downloaded; installing them.";
    case AU_STATUS_FINAL:
        return value == 1 ? "The update is complete." : "The update is incomplete; the next start tries again.";
    case AU_STATUS_ERROR:
        return describeError(value);
    case AU_STATUS_FILE_DONE:
        return "File received.";
    case AU_STATUS_LIST_READ:
        return "The file list has been read; comparing it with the game folder.";
    case AU_STATUS_FIRST_RUN:
        return "No record of an earlier update: every file on disk is checked.";
    case AU_STATUS_SPEED:
        return "Receiving " + std::to_string(value) + " KiB/s.";
    case AU_STATUS_CONNECTING:
        return value == 0 ? "Connecting to the chosen update server."
                          : "Connecting to an update server from the list.";
    case AU_STATUS_DOWNLOAD_ADDRESS:
        return "The full game can be downloaded from " + text + ".";
    case AU_STATUS_BYTES_SAVED:
        return savedText(value) + ".";
    case AU_STATUS_DISK_NEEDED:
        return "The update needs " + byteCountText(static_cast<long long>(value) * 1024) + " of disk space.";
    case AU_STATUS_DISK_FREE:
        return byteCountText(static_cast<long long>(value) * 1024) + " of disk space is free.";
    case AU_STATUS_DISK_FOLDER:
        return "The disk of " + text + " is too full.";
    default:
        return "The updater reported status " + std::to_string(kind) + " (" + std::to_string(value) + ").";
    }
}

std::string byteCountText(long long bytes)
{
    char text[32];
    if (bytes >= 1024LL * 1024)
        std::snprintf(text, sizeof text, "%.1f MiB", bytes / (1024.0 * 1024.0));
    else if (bytes >= 1024)
        std::snprintf(text, sizeof text, "%.1f KiB", bytes / 1024.0);
    else
        std::snprintf(text, sizeof text, "%lld B", bytes);
    return text;
}

std::string savedText(intptr_t kib)
{
    return byteCountText(static_cast<long long>(kib) * 1024) + " not downloaded";
}

std::string connectionLostText(int finished, int listed)
{
    if (listed < 0)
        return "The connection to the update server was lost while the file list was downloaded; the next start "
               "tries again.";
    return "The connection to the update server was lost after " + std::to_string(finished) + " of " +
           std::to_string(listed) + (listed == 1 ? " file" : " files") + "; the next start resumes the update.";
}

std::string diskFullText(long long neededKiB, long long freeKiB, const std::string& folder)
{
    std::string text = "The disk is full";
    if (neededKiB > freeKiB && freeKiB >= 0)
        text += ": " + byteCountText((neededKiB - freeKiB) * 1024) + " more " +
                (folder.empty() ? std::string("are needed") : "are needed in " + folder) + " (" +
                byteCountText(freeKiB * 1024) + " free)";
    else if (!folder.empty())
        text += " in " + folder;
    return text + ". Free some space and start again; nothing installed was changed.";
}
