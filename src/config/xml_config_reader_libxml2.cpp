#include "config/xml_config_reader.h"

#include <libxml/parser.h>
#include <libxml/tree.h>
#include <libxml/xmlerror.h>

#include <iconv.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "platform/platform.h"

namespace {

using NodeList = std::vector<xmlNodePtr>;

xmlDocPtr asDocument(void* p) { return static_cast<xmlDocPtr>(p); }
xmlNodePtr asNode(void* p) { return static_cast<xmlNodePtr>(p); }
NodeList* asList(void* p) { return static_cast<NodeList*>(p); }

// The parse options silence the parser's own reports, but libxml2 still
// prints encoding and I/O errors through its generic handler, onto the
// launcher's standard error. A bad file is reported by Load's result alone.
void ignoreGenericError(void*, const char*, ...) {}

class QuietParse {
public:
    QuietParse() : handler_(xmlGenericError), context_(xmlGenericErrorContext) {
        xmlSetGenericErrorFunc(nullptr, ignoreGenericError);
    }
    ~QuietParse() { xmlSetGenericErrorFunc(context_, handler_); }
    QuietParse(const QuietParse&) = delete;
    QuietParse& operator=(const QuietParse&) = delete;

private:
    xmlGenericErrorFunc handler_;
    void* context_;
};

bool readWholeFile(const char* path, std::string* contents) {
    std::FILE* file = platform::openFile(path, "rb");
    if (file == nullptr) {
        return false;
    }
    char chunk[8192];
    std::size_t got;
    while ((got = std::fread(chunk, 1, sizeof chunk, file)) > 0) {
        contents->append(chunk, got);
        if (contents->size() > INT_MAX) {
            std::fclose(file);
            return false;
        }
    }
    const bool ok = std::ferror(file) == 0;
    std::fclose(file);
    return ok;
}

bool isBlankText(const xmlChar* content) {
    if (content == nullptr) {
        return true;
    }
    for (const xmlChar* c = content; *c != 0; ++c) {
        if (*c != ' ' && *c != '\t' && *c != '\r' && *c != '\n') {
            return false;
        }
    }
    return true;
}

// The document is read with white space not preserved: text made only of
// white space is no node at all (unless xml:space="preserve" asks for it).
// libxml2's own blank removal guesses and keeps such text in an element that
// has nothing else, so it is done here for every element alike.
void dropBlankText(xmlNodePtr parent) {
    if (xmlNodeGetSpacePreserve(parent) == 1) {
        return;
    }
    xmlNodePtr child = parent->children;
    while (child != nullptr) {
        xmlNodePtr next = child->next;
        if (child->type == XML_TEXT_NODE && isBlankText(child->content)) {
            xmlUnlinkNode(child);
            xmlFreeNode(child);
        } else if (child->type == XML_ELEMENT_NODE) {
            dropBlankText(child);
        }
        child = next;
    }
}

// Names are compared as written in the document, prefix included, so a
// prefixed node never answers to a bare name.
bool hasPlainName(const xmlChar* nodeName, const xmlNs* ns, const char* name) {
    if (ns != nullptr && ns->prefix != nullptr) {
        return false;
    }
    return xmlStrEqual(nodeName, reinterpret_cast<const xmlChar*>(name)) != 0;
}

// libxml2 hands out UTF-8; callers get code page 936. A character with no
// GBK form becomes "?" rather than failing the whole value.
bool toGbk(const char* utf8, std::string* out) {
    iconv_t converter = iconv_open("GBK", "UTF-8");
    if (converter == reinterpret_cast<iconv_t>(-1)) {
        return false;
    }
    char* in = const_cast<char*>(utf8);
    std::size_t inLeft = std::strlen(utf8);
    char buffer[256];
    while (inLeft > 0) {
        char* outPtr = buffer;
        std::size_t outLeft = sizeof buffer;
        const std::size_t result = iconv(converter, &in, &inLeft, &outPtr, &outLeft);
        out->append(buffer, sizeof buffer - outLeft);
        if (result != static_cast<std::size_t>(-1) || errno == E2BIG) {
            continue;
        }
        // EILSEQ or EINVAL: skip one UTF-8 sequence and mark it.
        out->push_back('?');
        std::size_t skip = 1;
        while (skip < inLeft && (static_cast<unsigned char>(in[skip]) & 0xC0) == 0x80) {
            ++skip;
        }
        in += skip;
        inLeft -= skip;
    }
    iconv_close(converter);
    return true;
}

}  // namespace

XmlConfigReader::XmlConfigReader()
    : document(nullptr), documentElement(nullptr), selection(nullptr), current(nullptr), index(0) {
    xmlInitParser();
}

XmlConfigReader::~XmlConfigReader() {
    delete asList(selection);
    if (document != nullptr) {
        xmlFreeDoc(asDocument(document));
    }
}

bool XmlConfigReader::Load(const char* path) {
    if (path == nullptr) {
        return false;
    }
    std::string contents;
    if (!readWholeFile(path, &contents) || contents.empty()) {
        return false;
    }
    // No network, no external DTD, and entities left unexpanded by the parser
    // (expanding them would read external ones): attribute values still come
    // out with the predefined and character references resolved.
    const int options = XML_PARSE_NONET | XML_PARSE_NOERROR | XML_PARSE_NOWARNING;
    QuietParse quiet;
    xmlDocPtr parsed = xmlReadMemory(contents.data(), static_cast<int>(contents.size()),
                                     "gamedata.xml", nullptr, options);
    if (parsed == nullptr) {
        return false;
    }
    xmlNodePtr root = xmlDocGetRootElement(parsed);
    if (root == nullptr) {
        xmlFreeDoc(parsed);
        return false;
    }
    dropBlankText(root);

    // The old selection points into the old document, which goes now.
    delete asList(selection);
    selection = nullptr;
    index = 0;
    if (document != nullptr) {
        xmlFreeDoc(asDocument(document));
    }
    document = parsed;
    documentElement = root;
    current = root;
    return true;
}

bool XmlConfigReader::Reset() {
    if (current == nullptr) {
        return false;
    }
    current = documentElement;
    return true;
}

bool XmlConfigReader::SelectChildren(const char* name) {
    if (!IsPlainName(name) || current == nullptr) {
        return false;
    }
    NodeList* found = new NodeList;
    for (xmlNodePtr child = asNode(current)->children; child != nullptr; child = child->next) {
        if (child->type == XML_ELEMENT_NODE && hasPlainName(child->name, child->ns, name)) {
            found->push_back(child);
        }
    }
    delete asList(selection);
    selection = found;
    if (found->empty()) {
        return false;
    }
    current = found->front();
    index = 0;
    return true;
}

int32_t XmlConfigReader::CountChildren() {
    if (documentElement == nullptr) {
        return 0;
    }
    xmlNodePtr node = asNode(current != nullptr ? current : documentElement);
    int32_t count = 0;
    for (xmlNodePtr child = node->children; child != nullptr; child = child->next) {
        ++count;
    }
    return count;
}

bool XmlConfigReader::MoveNext() {
    NodeList* list = asList(selection);
    if (list == nullptr) {
        return false;
    }
    if (index < static_cast<int32_t>(list->size()) - 1) {
        ++index;
        current = (*list)[static_cast<std::size_t>(index)];
        return true;
    }
    return false;
}

bool XmlConfigReader::GetAttribute(const char* name, char* text, std::size_t size) {
    if (!IsPlainName(name) || current == nullptr || text == nullptr || size == 0) {
        return false;
    }
    xmlNodePtr node = asNode(current);
    if (node->type != XML_ELEMENT_NODE) {
        return false;
    }
    xmlAttrPtr found = nullptr;
    for (xmlAttrPtr attribute = node->properties; attribute != nullptr; attribute = attribute->next) {
        if (hasPlainName(attribute->name, attribute->ns, name)) {
            found = attribute;
            break;
        }
    }
    if (found == nullptr) {
        return false;
    }
    xmlChar* value = xmlNodeListGetString(node->doc, found->children, 1);
    std::string converted;
    const bool ok = toGbk(value != nullptr ? reinterpret_cast<const char*>(value) : "", &converted);
    xmlFree(value);
    if (!ok) {
        return false;
    }
    StoreValue(converted.data(), converted.size(), text, size);
    return true;
}
