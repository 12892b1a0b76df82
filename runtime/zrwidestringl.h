#ifndef ZRWIDESTRINGL_H
#define ZRWIDESTRINGL_H

#include "izrallocator.h"
#include "zrwidestringc.h"

// The plain wide string the XML tree stores: a pointer and a length in wchar_t units,
// owning a zero-terminated buffer of length + 1 units from an optional allocator. No
// reference count and no destructor: the owner releases it with Empty(allocator).
class CZR_WideStringL : public CZR_WideStringC {
public:
    CZR_WideStringL() {}

    // Replaces the contents with a copy of `view`. An empty view leaves the string empty.
    // Returns false (and leaves the string empty) when the buffer cannot be allocated.
    // The view may point into this string's own buffer.
    bool Set(const CZR_WideStringC& view, _IZR_Allocator* pAllocator);
    // Frees the buffer and leaves {null, 0}.
    void Empty(_IZR_Allocator* pAllocator);
    // Takes `ptr` (`length` units and a terminating zero) as the text without copying it;
    // the old buffer must have been released. Whoever made the memory releases it: for
    // text attached this way, Detach rather than Empty.
    void Attach(const wchar_t* ptr, int32_t length) { m_Ptr = ptr; m_Length = length; }
    // Leaves {null, 0} without freeing anything.
    void Detach() { m_Ptr = nullptr; m_Length = 0; }
    // Removes trailing units that occur in `set` and trailing zero units. A null or empty
    // set changes nothing. The buffer keeps its size; the text gets a new terminating zero.
    void TrimRight(const wchar_t* set);
};

#endif // ZRWIDESTRINGL_H
