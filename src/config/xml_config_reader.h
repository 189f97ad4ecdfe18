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
    // Back-end objects (DOM references, or libxml2 nodes).
    void* document;
    void* documentElement;
    void* selection;
    void* current;
    int32_t index;
};
