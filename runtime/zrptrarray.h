#ifndef ZRPTRARRAY_H
#define ZRPTRARRAY_H

#include "izrallocator.h"

#include <cstdint>

// A growable array of pointer-size words. Its storage, and nothing else, comes from the
// allocator it was made with (null: the default heap), which it also keeps for its owner.
// The first two words are held inside the array object itself, so an array of at most one
// pair takes no storage at all; the array object must therefore not be moved in memory
// (it is neither copied nor moved).
class CZR_PtrArray {
public:
    explicit CZR_PtrArray(_IZR_Allocator* pAllocator = nullptr);
    ~CZR_PtrArray();
    CZR_PtrArray(const CZR_PtrArray&) = delete;
    CZR_PtrArray& operator=(const CZR_PtrArray&) = delete;

    _IZR_Allocator* GetAllocator() const { return m_pAllocator; }
    int32_t GetSize() const { return m_nSize; }
    // The word at `index`; null outside the array.
    void* GetAt(int32_t index) const { return index >= 0 && index < m_nSize ? m_pData[index] : nullptr; }
    // Appends one word; false when memory runs out (the array is then unchanged).
    bool Add(void* p);
    // Appends two words, both or neither.
    bool AddPair(void* first, void* second);
    // Drops the last `count` words (all of them when there are fewer).
    void RemoveLast(int32_t count);
    // Drops every word and frees the storage.
    void RemoveAll();

private:
    enum { kInlineWords = 2 };

    bool Reserve(int32_t needed);
    bool HoldsInline() const { return m_pData == m_Inline; }

    _IZR_Allocator* m_pAllocator;
    void** m_pData;
    int32_t m_nSize;
    int32_t m_nMaxSize;
    void* m_Inline[kInlineWords];
};

#endif // ZRPTRARRAY_H
