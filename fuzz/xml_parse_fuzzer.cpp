// Parses arbitrary bytes as an XML document and reads every part of the resulting tree.
// The first byte chooses the options: bit 0 keeps spaces, bit 1 keeps ampersands,
// bit 2 feeds the document through a block reader in blocks of 1 to 32 bytes (the next
// five bits) instead of one buffer. That reader copies every block into memory of its own
// and frees it on moving on, so anything the parser kept of an earlier block is a use
// after free; and the tree must be the one the whole buffer gives.
#include "izrbufferread.h"
#include "xmlelement.h"
#include "zrbytestring.h"
#include "zrwidestring.h"

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

namespace {

// The blocks of a buffer, each one handed out in a fresh copy that lives only until the
// next block is read.
class CopyingBlockReader : public IZR_BufferRead {
public:
    CopyingBlockReader(const uint8_t* pData, size_t size, size_t blockSize)
        : m_pData(pData), m_Size(size), m_BlockSize(blockSize)
    {
    }
    ~CopyingBlockReader() override { delete[] m_pBlock; }
    void Release() override {}
    int IsEOF() override { return m_Offset + m_BlockLength >= m_Size; }
    int64_t GetPosition() override { return static_cast<int64_t>(m_Offset + m_BlockLength); }
    size_t ReadBlock(void*, size_t) override { return 0; }
    int ReadNextBlock(int bFromStart = 0) override
    {
        const size_t next = bFromStart ? 0 : m_Offset + m_BlockLength;
        if (next >= m_Size)
            return 0;
        delete[] m_pBlock;
        m_Offset = next;
        m_BlockLength = m_Size - next < m_BlockSize ? m_Size - next : m_BlockSize;
        m_pBlock = new uint8_t[m_BlockLength];
        std::memcpy(m_pBlock, m_pData + next, m_BlockLength);
        return 1;
    }
    const uint8_t* GetBlockBuffer() override { return m_pBlock; }
    size_t GetBlockSize() override { return m_BlockLength; }
    int64_t GetBlockOffset() override { return static_cast<int64_t>(m_Offset); }

private:
    const uint8_t* m_pData;
    size_t m_Size;
    size_t m_BlockSize;
    uint8_t* m_pBlock = nullptr;
    size_t m_Offset = 0;
    size_t m_BlockLength = 0;
};

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
    CXML_Element* pRoot = CXML_Element::Parse(data, size, bKeepSpaces, &parsedEnd, nullptr, bKeepAmpersand);
    if (parsedEnd < 0 || static_cast<uint64_t>(parsedEnd) > size)
        __builtin_trap();
    const bool bRoot = pRoot != nullptr;
    const unsigned sum = pRoot ? WalkTree(pRoot) : 0;
    delete pRoot;
    if (options & 4) {
        CopyingBlockReader reader(data, size, static_cast<size_t>((options >> 3) + 1));
        int64_t blockEnd = -1;
        CXML_Element* pBlockRoot = CXML_Element::Parse(&reader, bKeepSpaces, &blockEnd, nullptr, bKeepAmpersand);
        if (blockEnd != parsedEnd || (pBlockRoot != nullptr) != bRoot)
            __builtin_trap();
        if (pBlockRoot && WalkTree(pBlockRoot) != sum)
            __builtin_trap();
        delete pBlockRoot;
    }
    return 0;
}
