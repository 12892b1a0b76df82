// Helpers shared by the runtime library's tests: parsing into an owning pointer, a
// compact dump of a tree to compare whole structures, and allocators that count or fail.
#ifndef XMLTESTHELPERS_H
#define XMLTESTHELPERS_H

#include "izrallocator.h"
#include "xmlelement.h"
#include "zrbytestring.h"
#include "zrwidestring.h"

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <ostream>
#include <string>

struct ElementDeleter {
    void operator()(CXML_Element* p) const { delete p; }
};
using ElementPtr = std::unique_ptr<CXML_Element, ElementDeleter>;

inline ElementPtr ParseXml(const std::string& doc, int bKeepSpaces = 0, int bKeepAmpersand = 0,
                           int64_t* pParsedEnd = nullptr, _IZR_Allocator* pAllocator = nullptr)
{
    return ElementPtr(CXML_Element::Parse(doc.data(), doc.size(), bKeepSpaces, pParsedEnd, pAllocator,
                                          bKeepAmpersand));
}

inline std::string Str(const CZR_ByteStringC& s)
{
    return std::string(s.GetPtr() ? s.GetPtr() : "", static_cast<size_t>(s.GetLength()));
}

inline std::string Str(const CZR_ByteString& s)
{
    return std::string(s.c_str(), static_cast<size_t>(s.GetLength()));
}

inline std::wstring WStr(const CZR_WideStringC& s)
{
    return std::wstring(s.GetPtr() ? s.GetPtr() : L"", static_cast<size_t>(s.GetLength()));
}

inline std::wstring WStr(const CZR_WideString& s)
{
    return std::wstring(s.c_str(), static_cast<size_t>(s.GetLength()));
}

// Wide text with everything outside printable ASCII written as \u{hex}.
inline std::string Escape(const std::wstring& text)
{
    std::string out;
    for (wchar_t ch : text) {
        if (ch >= 0x20 && ch < 0x7F && ch != '\\' && ch != '"') {
            out += static_cast<char>(ch);
        } else {
            char buf[24];
            std::snprintf(buf, sizeof buf, "\\u{%x}", static_cast<unsigned>(ch));
            out += buf;
        }
    }
    return out;
}

// prefix:name[attr="value" ...]{"text",child{...},...}
inline std::string Dump(const CXML_Element* e)
{
    if (!e)
        return "(null)";
    std::string out = Str(e->GetTagName(1));
    if (e->CountAttrs() > 0) {
        out += '[';
        for (int32_t i = 0; i < e->CountAttrs(); ++i) {
            CZR_ByteString prefix, name;
            CZR_WideString value;
            e->GetAttrByIndex(i, prefix, name, value);
            if (i)
                out += ' ';
            if (!prefix.IsEmpty())
                out += Str(prefix) + ':';
            out += Str(name) + "=\"" + Escape(WStr(value)) + '"';
        }
        out += ']';
    }
    if (e->CountChildren() > 0) {
        out += '{';
        for (int32_t i = 0; i < e->CountChildren(); ++i) {
            if (i)
                out += ',';
            if (e->GetChildType(i) == CXML_Element::Content)
                out += '"' + Escape(WStr(e->GetContent(i))) + '"';
            else
                out += Dump(e->GetElement(i));
        }
        out += '}';
    }
    return out;
}

inline std::string DumpXml(const std::string& doc, int bKeepSpaces = 0, int bKeepAmpersand = 0)
{
    return Dump(ParseXml(doc, bKeepSpaces, bKeepAmpersand).get());
}

// Counts what goes through it, and fails every request from the `failAt`-th on (0: never).
struct CountingAllocator : _IZR_Allocator {
    long allocations = 0;
    long frees = 0;
    long failAt = 0;

    CountingAllocator()
    {
        m_Alloc = [](_IZR_Allocator* self, size_t size) -> void* {
            auto* me = static_cast<CountingAllocator*>(self);
            if (me->failAt > 0 && me->allocations + 1 >= me->failAt)
                return nullptr;
            ++me->allocations;
            return std::malloc(size);
        };
        m_Free = [](_IZR_Allocator* self, void* p) {
            ++static_cast<CountingAllocator*>(self)->frees;
            std::free(p);
        };
    }
    long Outstanding() const { return allocations - frees; }
};

inline void PrintTo(const CZR_ByteString& s, std::ostream* os) { *os << '"' << Str(s) << '"'; }
inline void PrintTo(const CZR_WideString& s, std::ostream* os) { *os << '"' << Escape(WStr(s)) << '"'; }

#endif // XMLTESTHELPERS_H
