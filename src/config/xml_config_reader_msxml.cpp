#include "config/xml_config_reader.h"

#include <windows.h>
#include <ole2.h>
#include <oleauto.h>
#include <msxml.h>

#include <string>

namespace {

// The system code page both ways: the launcher's own path arrives in it (936
// on a Chinese Windows, 1252 on a Western one), and the values go to texts
// that the rest of the run handles as narrow system text.
constexpr UINT kCodePage = CP_ACP;

// Spelled out here so the build needs no GUID library entry for them.
constexpr CLSID kDomDocumentClass = {0x2933BF90, 0x7B36, 0x11D2, {0xB2, 0x0E, 0x00, 0xC0, 0x4F, 0x98, 0x3E, 0x60}};
constexpr IID kDomDocumentInterface = {0x2933BF81, 0x7B36, 0x11D2, {0xB2, 0x0E, 0x00, 0xC0, 0x4F, 0x98, 0x3E, 0x60}};

// Owns one COM reference for the length of a scope.
template <typename T>
class Ref {
public:
    Ref() : p_(nullptr) {}
    ~Ref() {
        if (p_ != nullptr) {
            p_->Release();
        }
    }
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;

    T** out() {
        if (p_ != nullptr) {
            p_->Release();
            p_ = nullptr;
        }
        return &p_;
    }
    T* get() const { return p_; }
    T* operator->() const { return p_; }
    T* detach() {
        T* p = p_;
        p_ = nullptr;
        return p;
    }
    void attach(T* owned) {
        *out() = owned;
    }

private:
    T* p_;
};

class Bstr {
public:
    explicit Bstr(const std::wstring& text) : b_(SysAllocStringLen(text.data(), static_cast<UINT>(text.size()))) {}
    ~Bstr() { SysFreeString(b_); }
    Bstr(const Bstr&) = delete;
    Bstr& operator=(const Bstr&) = delete;
    BSTR get() const { return b_; }

private:
    BSTR b_;
};

class Variant {
public:
    Variant() { VariantInit(&v_); }
    ~Variant() { VariantClear(&v_); }
    Variant(const Variant&) = delete;
    Variant& operator=(const Variant&) = delete;
    VARIANT* get() { return &v_; }

private:
    VARIANT v_;
};

bool toWide(const char* narrow, std::wstring* wide) {
    const int length = MultiByteToWideChar(kCodePage, 0, narrow, -1, nullptr, 0);
    if (length <= 0) {
        return false;
    }
    wide->assign(static_cast<std::size_t>(length), L'\0');
    if (MultiByteToWideChar(kCodePage, 0, narrow, -1, &(*wide)[0], length) != length) {
        return false;
    }
    wide->resize(static_cast<std::size_t>(length - 1));
    return true;
}

// A character with no form in the system code page becomes its default
// character ("?").
bool toNarrow(const wchar_t* wide, int length, std::string* narrow) {
    narrow->clear();
    if (length == 0) {
        return true;
    }
    const int size = WideCharToMultiByte(kCodePage, 0, wide, length, nullptr, 0, nullptr, nullptr);
    if (size <= 0) {
        return false;
    }
    narrow->assign(static_cast<std::size_t>(size), '\0');
    return WideCharToMultiByte(kCodePage, 0, wide, length, &(*narrow)[0], size, nullptr, nullptr) == size;
}

template <typename T>
T* as(void* p) {
    return static_cast<T*>(p);
}

// Moves a field to a new object: the new one gains a reference before the
// old one loses its own, so assigning a node to itself is safe.
template <typename T>
void hold(void*& field, T* value) {
    if (value != nullptr) {
        value->AddRef();
    }
    if (field != nullptr) {
        static_cast<T*>(field)->Release();
    }
    field = value;
}

}  // namespace

XmlConfigReader::XmlConfigReader()
    : document(nullptr), documentElement(nullptr), selection(nullptr), current(nullptr), index(0) {
    IXMLDOMDocument* created = nullptr;
    if (FAILED(CoCreateInstance(kDomDocumentClass, nullptr, CLSCTX_INPROC_SERVER | CLSCTX_LOCAL_SERVER,
                                kDomDocumentInterface, reinterpret_cast<void**>(&created))) ||
        created == nullptr) {
        return;
    }
    created->put_async(VARIANT_FALSE);
    created->put_preserveWhiteSpace(VARIANT_FALSE);
    // gamedata.xml is read on its own: no external DTD or entity is fetched,
    // and a DOCTYPE does not make the file fail validation.
    created->put_resolveExternals(VARIANT_FALSE);
    created->put_validateOnParse(VARIANT_FALSE);
    document = created;
}

XmlConfigReader::~XmlConfigReader() {
    hold<IXMLDOMNode>(current, nullptr);
    hold<IXMLDOMNodeList>(selection, nullptr);
    hold<IXMLDOMNode>(documentElement, nullptr);
    hold<IXMLDOMDocument>(document, nullptr);
}

bool XmlConfigReader::Load(const char* path) {
    if (path == nullptr || document == nullptr) {
        return false;
    }
    std::wstring widePath;
    if (!toWide(path, &widePath)) {
        return false;
    }
    Variant source;
    V_VT(source.get()) = VT_BSTR;
    V_BSTR(source.get()) = SysAllocStringLen(widePath.data(), static_cast<UINT>(widePath.size()));
    VARIANT_BOOL loaded = VARIANT_FALSE;
    IXMLDOMDocument* doc = as<IXMLDOMDocument>(document);
    if (FAILED(doc->load(*source.get(), &loaded)) || loaded != VARIANT_TRUE) {
        return false;
    }
    Ref<IXMLDOMElement> root;
    if (doc->get_documentElement(root.out()) != S_OK || root.get() == nullptr) {
        return false;
    }
    hold<IXMLDOMNode>(documentElement, root.get());
    hold<IXMLDOMNode>(current, root.get());
    return true;
}

bool XmlConfigReader::Reset() {
    if (current == nullptr) {
        return false;
    }
    hold<IXMLDOMNode>(current, as<IXMLDOMNode>(documentElement));
    return true;
}

bool XmlConfigReader::SelectChildren(const char* name) {
    if (!IsPlainName(name) || current == nullptr) {
        return false;
    }
    std::wstring wideName;
    if (!toWide(name, &wideName)) {
        return false;
    }
    Bstr pattern(wideName);
    Ref<IXMLDOMNodeList> found;
    if (FAILED(as<IXMLDOMNode>(current)->selectNodes(pattern.get(), found.out()))) {
        hold<IXMLDOMNodeList>(selection, nullptr);
        return false;
    }
    hold<IXMLDOMNodeList>(selection, found.get());
    long length = 0;
    if (found.get() == nullptr || FAILED(found->get_length(&length)) || length <= 0) {
        return false;
    }
    Ref<IXMLDOMNode> first;
    if (found->get_item(0, first.out()) != S_OK || first.get() == nullptr) {
        return false;
    }
    hold<IXMLDOMNode>(current, first.get());
    index = 0;
    return true;
}

int32_t XmlConfigReader::CountChildren() {
    if (documentElement == nullptr) {
        return 0;
    }
    IXMLDOMNode* node = as<IXMLDOMNode>(current != nullptr ? current : documentElement);
    VARIANT_BOOL hasChildren = VARIANT_FALSE;
    if (FAILED(node->hasChildNodes(&hasChildren)) || hasChildren != VARIANT_TRUE) {
        return 0;
    }
    int32_t count = 0;
    Ref<IXMLDOMNode> child;
    if (node->get_firstChild(child.out()) != S_OK) {
        return 0;
    }
    while (child.get() != nullptr) {
        ++count;
        Ref<IXMLDOMNode> next;
        if (child->get_nextSibling(next.out()) != S_OK || next.get() == nullptr) {
            break;
        }
        child.attach(next.detach());
    }
    return count;
}

bool XmlConfigReader::MoveNext() {
    if (selection == nullptr) {
        return false;
    }
    IXMLDOMNodeList* list = as<IXMLDOMNodeList>(selection);
    long length = 0;
    if (FAILED(list->get_length(&length)) || index >= length - 1) {
        return false;
    }
    Ref<IXMLDOMNode> next;
    if (list->get_item(index + 1, next.out()) != S_OK || next.get() == nullptr) {
        return false;
    }
    ++index;
    hold<IXMLDOMNode>(current, next.get());
    return true;
}

bool XmlConfigReader::GetAttribute(const char* name, char* text, std::size_t size) {
    if (!IsPlainName(name) || current == nullptr || text == nullptr || size == 0) {
        return false;
    }
    std::wstring wideName;
    if (!toWide(name, &wideName)) {
        return false;
    }
    Ref<IXMLDOMNamedNodeMap> attributes;
    if (as<IXMLDOMNode>(current)->get_attributes(attributes.out()) != S_OK || attributes.get() == nullptr) {
        return false;
    }
    Bstr attributeName(wideName);
    Ref<IXMLDOMNode> attribute;
    if (attributes->getNamedItem(attributeName.get(), attribute.out()) != S_OK || attribute.get() == nullptr) {
        return false;
    }
    Variant value;
    if (FAILED(attribute->get_nodeValue(value.get()))) {
        return false;
    }
    std::string narrow;
    if (V_VT(value.get()) == VT_BSTR) {
        const BSTR wide = V_BSTR(value.get());
        if (wide != nullptr && !toNarrow(wide, static_cast<int>(SysStringLen(wide)), &narrow)) {
            return false;
        }
    } else if (V_VT(value.get()) != VT_NULL && V_VT(value.get()) != VT_EMPTY) {
        return false;
    }
    StoreValue(narrow.data(), narrow.size(), text, size);
    return true;
}
