// Runs a fixed script of XmlConfigReader operations on one file and prints
// every result, so the MSXML build (under Wine) and the libxml2 build can be
// compared line by line. Values are printed as hex bytes (code page 936).
#include <cstdio>
#include <cstring>
#include <string>

#include "config/xml_config_reader.h"
#include "platform/platform.h"

namespace {

void printHex(const char* bytes, std::size_t length) {
    if (length == 0) {
        std::printf("-");
    }
    for (std::size_t i = 0; i < length; ++i) {
        std::printf("%02X", static_cast<unsigned char>(bytes[i]));
    }
}

// The buffer starts as "#", so a failed read shows as 23.
void attribute(XmlConfigReader& reader, const char* label, const char* name, std::size_t size = 256) {
    char text[256] = "#";
    const bool ok = reader.GetAttribute(name, text, size);
    std::printf("%s GetAttribute %s/%u %d ", label, name, static_cast<unsigned>(size), ok ? 1 : 0);
    printHex(text, std::strlen(text));
    std::printf("\n");
}

void step(const char* what, bool result) {
    std::printf("%s %d\n", what, result ? 1 : 0);
}

void select(XmlConfigReader& reader, const char* name) {
    const bool ok = reader.SelectChildren(name);
    std::printf("SelectChildren %s %d\n", name, ok ? 1 : 0);
}

void count(XmlConfigReader& reader) {
    std::printf("CountChildren %d\n", static_cast<int>(reader.CountChildren()));
}

// Reads every element of the selection, then the last one again after the
// failing MoveNext.
void walk(XmlConfigReader& reader, const char* label, const char* const* names) {
    for (int position = 0; position < 40; ++position) {
        for (const char* const* name = names; *name != nullptr; ++name) {
            attribute(reader, label, *name);
        }
        const bool moved = reader.MoveNext();
        step("MoveNext", moved);
        if (!moved) {
            break;
        }
    }
    for (const char* const* name = names; *name != nullptr; ++name) {
        attribute(reader, label, *name);
    }
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: xml_probe FILE\n");
        return 2;
    }
    platform::initThreadComponents();
    static const char* const serverNames[] = {"serverid", "autoupdate", "ip", "autoupdateport", nullptr};
    static const char* const funcNames[] = {"intername", "expandprop", nullptr};
    {
        XmlConfigReader reader;
        count(reader);
        select(reader, "servers");
        step("MoveNext", reader.MoveNext());
        attribute(reader, "unloaded", "ip");

        step("Load", reader.Load(argv[1]));
        count(reader);
        step("Reset", reader.Reset());
        select(reader, "servers");
        count(reader);
        select(reader, "server");
        count(reader);
        walk(reader, "server", serverNames);

        step("Reset", reader.Reset());
        select(reader, "FuncConfig");
        count(reader);
        select(reader, "Func");
        walk(reader, "Func", funcNames);

        step("Reset", reader.Reset());
        select(reader, "auto-update");
        select(reader, "1st");
        select(reader, "missing");
        step("MoveNext", reader.MoveNext());
        attribute(reader, "root", "1st");
        attribute(reader, "root", "auto-update");
        attribute(reader, "root", "missing");
        select(reader, "servers");
        select(reader, "servers");
        select(reader, "server");
        attribute(reader, "small", "ip", 6);
        attribute(reader, "small", "serverid", 4);
        attribute(reader, "small", "serverid", 3);
        attribute(reader, "small", "serverid", 1);
        attribute(reader, "small", "name", 4);
        attribute(reader, "small", "name", 7);

        const std::string missing = std::string(argv[1]) + ".missing";
        step("Load missing", reader.Load(missing.c_str()));
        count(reader);
        attribute(reader, "after", "serverid");
    }
    std::fflush(stdout);
    return 0;
}
