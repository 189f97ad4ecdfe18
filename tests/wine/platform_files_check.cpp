// The Windows file layer where only Windows shows the behaviour: a target held
// open by another program, read-only copies, temporaries of ended processes.
// Also the trailing separator of a game directory read in the system code
// page, how profile files split into lines, and that the seeds of the server
// draws differ though taken at once. Run under Wine; one line per
// check, exit status 1 on any failure.
#include <windows.h>

#include <cstdio>
#include <string>
#include <vector>

#include "files/narrow_text.h"
#include "platform/platform.h"
#include "platform/win32/replace_file.h"
#include "../unit/profile_cases.h"

namespace {

int g_failures = 0;

void check(bool ok, const char* what) {
    std::printf("%s %s\n", ok ? "ok" : "FAIL", what);
    if (!ok) ++g_failures;
}

void put(const std::string& path, const std::string& content) {
    SetFileAttributesA(path.c_str(), FILE_ATTRIBUTE_NORMAL);
    std::FILE* file = std::fopen(path.c_str(), "wb");
    if (file == nullptr) return;
    std::fwrite(content.data(), 1, content.size(), file);
    std::fclose(file);
}

std::string contentOf(const std::string& path) {
    std::string content;
    std::FILE* file = std::fopen(path.c_str(), "rb");
    if (file == nullptr) return "<missing>";
    char buffer[256];
    std::size_t got;
    while ((got = std::fread(buffer, 1, sizeof buffer, file)) > 0) content.append(buffer, got);
    std::fclose(file);
    return content;
}

bool exists(const std::string& path) {
    return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

std::vector<std::string> temporariesIn(const std::string& directory) {
    std::vector<std::string> names;
    WIN32_FIND_DATAA data;
    HANDLE found = FindFirstFileA((directory + "\\.autoupdate~*").c_str(), &data);
    if (found == INVALID_HANDLE_VALUE) return names;
    do names.push_back(data.cFileName); while (FindNextFileA(found, &data));
    FindClose(found);
    return names;
}

std::string temporaryName(DWORD pid, int serial) {
    return std::string(platform::win32::kTemporaryPrefix) + std::to_string(pid) + "." + std::to_string(serial) +
           ".tmp";
}

// The child's part: leave a temporary as a process ended mid-copy would.
int leaveTemporary(const char* directory) {
    put(std::string(directory) + "\\" + temporaryName(GetCurrentProcessId(), 0), "half a file");
    return 0;
}

DWORD runChildThatLeavesATemporary(const std::string& directory) {
    char self[MAX_PATH];
    GetModuleFileNameA(nullptr, self, sizeof self);
    std::string command = "\"" + std::string(self) + "\" --leave \"" + directory + "\"";
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    if (!CreateProcessA(nullptr, &command[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &process)) {
        return 0;
    }
    WaitForSingleObject(process.hProcess, 30000);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return process.dwProcessId;
}

void replaceAndLockedTarget(const std::string& dir) {
    const std::string source = dir + "\\staged.dat";
    const std::string target = dir + "\\game.dat";
    put(source, "version two");
    put(target, "version one, longer");
    check(platform::copyFile(source.c_str(), target.c_str()), "copy replaces an existing file");
    check(contentOf(target) == "version two", "the target holds the new content");
    check(contentOf(source) == "version two", "the source stays");
    check(temporariesIn(dir).empty(), "no temporary is left after a replace");

    put(target, "version one");
    HANDLE held = CreateFileA(target.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL,
                              nullptr);
    check(held != INVALID_HANDLE_VALUE, "the target can be held open without sharing");
    SetLastError(0);
    const bool copied = platform::copyFile(source.c_str(), target.c_str());
    const uint32_t error = platform::lastError();
    CloseHandle(held);
    check(!copied, "a target held open is not replaced");
    check(error != 0, "the failure carries a system error code");
    std::printf("   (error %u)\n", static_cast<unsigned>(error));
    check(contentOf(target) == "version one", "the held target keeps its content");
    check(temporariesIn(dir).empty(), "the failed replace leaves no temporary");
    check(platform::copyFile(source.c_str(), target.c_str()), "once released the target is replaced");
    check(contentOf(target) == "version two", "and holds the new content");

    // A read-only staged file makes a read-only temporary copy, which must
    // still be removed when the rename fails.
    SetFileAttributesA(source.c_str(), FILE_ATTRIBUTE_READONLY);
    put(target, "version one");
    held = CreateFileA(target.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    check(!platform::copyFile(source.c_str(), target.c_str()), "a held target is not replaced by a read-only copy");
    CloseHandle(held);
    check(temporariesIn(dir).empty(), "the read-only temporary is removed");
    check(platform::copyFile(source.c_str(), target.c_str()), "a read-only staged file replaces the target");
    check(contentOf(target) == "version two", "with its content");
    SetFileAttributesA(source.c_str(), FILE_ATTRIBUTE_NORMAL);
    SetFileAttributesA(target.c_str(), FILE_ATTRIBUTE_NORMAL);

    check(!platform::copyFile((dir + "\\missing.dat").c_str(), target.c_str()), "a missing source fails");
    check(platform::lastError() == ERROR_FILE_NOT_FOUND, "with file not found");
    check(contentOf(target) == "version two", "and the target stays");
    check(temporariesIn(dir).empty(), "and leaves no temporary");
}

void directoryIsNoFile(const std::string& dir) {
    const std::string folder = dir + "\\data.pak";
    CreateDirectoryA(folder.c_str(), nullptr);
    std::FILE* file = platform::openFile(folder.c_str(), "rb");
    check(file == nullptr, "a directory is not opened as a file for reading");
    if (file != nullptr) std::fclose(file);
    file = platform::openFile(folder.c_str(), "wb");
    check(file == nullptr, "nor for writing");
    if (file != nullptr) std::fclose(file);
    RemoveDirectoryA(folder.c_str());
}

// 誠 is D5 5C in code page 936; é is E9 in code page 1252, a lead byte in 936.
void trailingSeparatorInTheSystemCodePage() {
    const UINT codePage = GetACP();
    std::printf("   (system code page %u)\n", codePage);
    if (codePage == 936) {
        check(!EndsWithBackslash("C:\\Games\\\xD5\x5C"), "936: the second byte of a character is no separator");
        check(EndsWithBackslash("C:\\Games\\\xD5\x5C\\"), "936: a separator after it is one");
    } else if (codePage == 1252) {
        check(EndsWithBackslash("C:\\Jeux\\caf\xE9\\"), "1252: a separator after an accented letter is one");
        check(!EndsWithBackslash("C:\\Jeux\\caf\xE9"), "1252: an accented letter is no separator");
    } else {
        check(false, "the check knows code pages 936 and 1252 only");
    }
}

void leftoversOfEndedProcesses(const std::string& dir) {
    const std::string sub = dir + "\\leftovers";
    CreateDirectoryA(sub.c_str(), nullptr);
    const DWORD child = runChildThatLeavesATemporary(sub);
    check(child != 0, "a child process left a temporary and ended");
    const std::string dead = sub + "\\" + temporaryName(child, 0);
    check(exists(dead), "its temporary is there");
    const std::string own = sub + "\\" + temporaryName(GetCurrentProcessId(), 99);
    const std::string other = sub + "\\.autoupdate~notours.tmp";
    put(own, "in use");
    put(other, "a game file");
    put(sub + "\\staged.dat", "new");

    check(platform::copyFile((sub + "\\staged.dat").c_str(), (sub + "\\game.dat").c_str()),
          "a copy into the folder succeeds");
    check(!exists(dead), "the ended process's temporary is removed");
    check(exists(own), "this process's own temporary stays");
    check(exists(other), "a file that is no temporary of ours stays");
    DeleteFileA(own.c_str());
}

// The rows the POSIX profile functions are held to, against Windows' own.
void profileLinesAsWindowsSplitsThem(const std::string& dir) {
    const std::string ini = dir + "\\profile.ini";
    char out[64];
    for (const auto& row : profile_cases::kReads) {
        put(ini, row.content);
        platform::readProfileString(row.section, "k", "DEFAULT", out, sizeof out, ini.c_str());
        check(std::string(out) == row.expected, "a profile file's lines split as the POSIX reader splits them");
    }
    const char* digest = "0123456789abcdef0123456789abcdef";
    for (const char* content : profile_cases::kWrites) {
        put(ini, content);
        platform::writeProfileString("MD5", "MD5", digest, ini.c_str());
        platform::readProfileString("MD5", "MD5", "", out, sizeof out, ini.c_str());
        check(std::string(out) == digest, "a written digest reads back");
        check((contentOf(ini).compare(0, 3, "\xEF\xBB\xBF") == 0) == (std::string(content).compare(0, 3, "\xEF\xBB\xBF") == 0),
              "the byte-order mark stays as it was");
    }
    DeleteFileA(ini.c_str());
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 3 && std::string(argv[1]) == "--leave") return leaveTemporary(argv[2]);
    if (argc != 2) {
        std::fprintf(stderr, "usage: platform_files_check EMPTY_DIRECTORY\n");
        return 2;
    }
    const std::string dir = argv[1];
    replaceAndLockedTarget(dir);
    directoryIsNoFile(dir);
    trailingSeparatorInTheSystemCodePage();
    leftoversOfEndedProcesses(dir);
    profileLinesAsWindowsSplitsThem(dir);
    check(platform::randomSeed() != platform::randomSeed(), "two seeds of the server draws taken at once differ");
    std::printf("%d failures\n", g_failures);
    return g_failures == 0 ? 0 : 1;
}
