// A cursor over gamedata.xml: load, walk to named child elements, count child
// nodes, step through a selection, read attributes. MSXML through COM on
// Windows (xml_config_reader_msxml.cpp), libxml2 elsewhere
// (xml_config_reader_libxml2.cpp); the build picks one.
#pragma once

#include <cstddef>
#include <cstdint>

// Letters, then letters or digits: every element and attribute name passes
// this before it reaches the document.
bool IsPlainName(const char* name);

class XmlConfigReader {
public:
    XmlConfigReader();
    virtual ~XmlConfigReader();
    XmlConfigReader(const XmlConfigReader&) = delete;
    XmlConfigReader& operator=(const XmlConfigReader&) = delete;

    bool Load(const char* path);
    bool Reset();
    bool SelectChildren(const char* name);
    int32_t CountChildren();
    bool MoveNext();
    // Stores the value (code page 936, at most size - 1 bytes) in text; text
    // is left unchanged on failure.
    bool GetAttribute(const char* name, char* text, std::size_t size);

private:
    // Copies a code page 936 value into the caller's buffer, cut to size - 1
    // bytes without leaving half of a double-byte character at the end.
    static void StoreValue(const char* value, std::size_t length, char* text, std::size_t size) {
        const std::size_t room = size - 1;
        std::size_t kept = 0;
        while (kept < length) {
            const unsigned char lead = static_cast<unsigned char>(value[kept]);
            const std::size_t width = (lead >= 0x81 && lead <= 0xFE && kept + 1 < length) ? 2 : 1;
            if (kept + width > room) {
                break;
            }
            kept += width;
        }
        for (std::size_t i = 0; i < kept; ++i) {
            text[i] = value[i];
        }
        text[kept] = '\0';
    }

    // Back-end objects: COM references on Windows; on POSIX the parsed
    // xmlDoc, its nodes, and the selection as a list of node pointers.
    void* document;
    void* documentElement;
    void* selection;
    void* current;
    int32_t index;
};
