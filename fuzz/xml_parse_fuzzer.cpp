// Parses arbitrary bytes as an XML document and reads every part of the resulting tree.
// The first byte chooses the options: bit 0 keeps spaces, bit 1 keeps ampersands,
// bit 2 feeds the document through a block reader in blocks of 1 to 32 bytes (the next
// five bits) instead of one buffer.
#include "xmldatabufacc.h"
#include "xmlelement.h"
#include "zrbytestring.h"
#include "zrwidestring.h"

#include <cstddef>
#include <cstdint>
#include <vector>

namespace {

// Touches every byte of a text so that the sanitizers see any bad read.
template <typename Str>
unsigned Checksum(const Str& text)
{
    unsigned sum = 0;
    for (int32_t i = 0; i < text.GetLength(); ++i)
        sum = sum * 31 + static_cast<unsigned>(text.GetAt(i));
    return sum;
}

unsigned WalkTree(const CXML_Element* pRoot)
{
    unsigned sum = 0;
    // Resolving a namespace walks up to the root, so only the first elements resolve
    // theirs: a deep document would otherwise take quadratic time.
    int namespaceBudget = 16;
    std::vector<const CXML_Element*> pending{pRoot};
    while (!pending.empty()) {
        const CXML_Element* pElement = pending.back();
        pending.pop_back();
        sum += Checksum(pElement->GetTagName(0)) + Checksum(pElement->GetTagName(1));
        sum += Checksum(pElement->GetNamespace(1));
        if (namespaceBudget > 0) {
            --namespaceBudget;
            sum += Checksum(pElement->GetNamespace(0));
        }
        const int32_t attrs = pElement->CountAttrs();
        for (int32_t i = 0; i <= attrs; ++i) {
            CZR_ByteString prefix;
            CZR_ByteString name;
            CZR_WideString value;
            pElement->GetAttrByIndex(i, prefix, name, value);
            sum += Checksum(prefix) + Checksum(name) + Checksum(value);
            CZR_WideString found;
            if (pElement->GetAttrValue(prefix, name, found))
                sum += Checksum(found);
            int number = 0;
            float real = 0;
            pElement->GetAttrInteger(name, number);
            pElement->GetAttrFloat(name, real);
            sum += static_cast<unsigned>(number) + (real > 0 ? 1u : 0u);
        }
        const int32_t children = pElement->CountChildren();
        for (int32_t i = -1; i <= children; ++i) {
            switch (pElement->GetChildType(i)) {
            case CXML_Element::Element: {
                const CXML_Element* pChild = pElement->GetElement(i);
                if (pChild->GetParent() != pElement || pElement->FindElement(pChild) != i)
                    __builtin_trap();
                pending.push_back(pChild);
                break;
            }
            case CXML_Element::Content:
                sum += Checksum(pElement->GetContent(i));
                break;
            case CXML_Element::Invalid:
                if (i >= 0 && i < children)
                    __builtin_trap();
                break;
            }
        }
    }
    return sum;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size == 0)
        return 0;
    const uint8_t options = data[0];
    const int bKeepSpaces = options & 1;
    const int bKeepAmpersand = (options >> 1) & 1;
    ++data;
    --size;
    int64_t parsedEnd = -1;
    CXML_Element* pRoot = nullptr;
    if (options & 4) {
        CXML_DataBufAcc reader(data, size, static_cast<size_t>((options >> 3) + 1));
        pRoot = CXML_Element::Parse(&reader, bKeepSpaces, &parsedEnd, nullptr, bKeepAmpersand);
    } else {
        pRoot = CXML_Element::Parse(data, size, bKeepSpaces, &parsedEnd, nullptr, bKeepAmpersand);
    }
    if (parsedEnd < 0 || static_cast<uint64_t>(parsedEnd) > size)
        __builtin_trap();
    if (pRoot) {
        volatile unsigned sink = WalkTree(pRoot);
        (void)sink;
        delete pRoot;
    }
    return 0;
}
