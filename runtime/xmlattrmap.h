#ifndef XMLATTRMAP_H
#define XMLATTRMAP_H

#include "izrallocator.h"
#include "xmlattritem.h"
#include "xmlpackedrange.h"

#include <cstdint>

// The attributes of one element in the order in which they were first stored. No memory
// is taken until the first attribute arrives. The map does not keep its allocator: the
// owning element passes the one the items were made with, and releases them with
// RemoveAll before the map goes. The element also passes the range of memory it shares
// with its items (see AttachPacked): nothing inside it is freed by the map.
class CXML_AttrMap {
public:
    CXML_AttrMap() : m_pItems(nullptr), m_nSize(0), m_nMaxSize(0), m_bAllPacked(false) {}
    CXML_AttrMap(const CXML_AttrMap&) = delete;
    CXML_AttrMap& operator=(const CXML_AttrMap&) = delete;

    int32_t GetSize() const { return m_nSize; }
    // The item at `index`; null outside the map.
    const CXML_AttrItem* GetAt(int32_t index) const
    {
        return index >= 0 && index < m_nSize ? &m_pItems[index] : nullptr;
    }
    // The value of the first item whose local name equals `name` and, when `prefix` is
    // not empty, whose prefix equals `prefix`; null when there is none.
    const CZR_WideStringL* Lookup(const CZR_ByteStringC& prefix, const CZR_ByteStringC& name) const;
    // Gives the first item that Lookup would find the new value (it keeps its place and
    // prefix), or appends a new item. False when memory runs out: the map then holds no
    // new item, and an existing item keeps its old value.
    bool SetAt(const CZR_ByteStringC& prefix, const CZR_ByteStringC& name,
               const CZR_WideStringC& value, _IZR_Allocator* pAllocator,
               const CXML_PackedRange& packed = CXML_PackedRange());
    // Makes room for `count` items in all, so that storing up to that many takes no
    // further item storage: the storage then has exactly that size unless it was larger
    // already. False when memory runs out (the map is then unchanged).
    bool Reserve(int32_t count, _IZR_Allocator* pAllocator, const CXML_PackedRange& packed = CXML_PackedRange());
    // Takes `count` items whose storage and strings the owner made (in its packed range)
    // as the map's contents; the map must be empty and hold no storage.
    void AttachPacked(CXML_AttrItem* pItems, int32_t count);
    // Releases every item and the item storage.
    void RemoveAll(_IZR_Allocator* pAllocator, const CXML_PackedRange& packed = CXML_PackedRange());

private:
    CXML_AttrItem* m_pItems;
    int32_t m_nSize;
    int32_t m_nMaxSize;
    // The items and all their strings are still those AttachPacked took: releasing them
    // frees nothing, so RemoveAll need not look at them.
    bool m_bAllPacked;
};

#endif // XMLATTRMAP_H
