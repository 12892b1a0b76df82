#ifndef ZRBYTESTRINGL_H
#define ZRBYTESTRINGL_H

#include "izrallocator.h"
#include "zrbytestringc.h"

// The plain 8-bit string the XML tree stores: a pointer and a length, owning a
// zero-terminated buffer of length + 1 bytes from an optional allocator. There is no
// reference count and no destructor: the owner releases it with Empty(allocator), using
// the allocator it was Set with. Copying the object copies the pointer, not the text.
class CZR_ByteStringL : public CZR_ByteStringC {
public:
    CZR_ByteStringL() {}

    // Replaces the contents with a copy of `view`. An empty view leaves the string empty.
    // Returns false (and leaves the string empty) when the buffer cannot be allocated.
    // The view may point into this string's own buffer.
    bool Set(const CZR_ByteStringC& view, _IZR_Allocator* pAllocator);
    // Frees the buffer and leaves {null, 0}.
    void Empty(_IZR_Allocator* pAllocator);
    // Takes `ptr` (`length` units and a terminating zero) as the text without copying it;
    // the old buffer must have been released. Whoever made the memory releases it: for
    // text attached this way, Detach rather than Empty.
    void Attach(const char* ptr, int32_t length) { m_Ptr = ptr; m_Length = length; }
    // Leaves {null, 0} without freeing anything.
    void Detach() { m_Ptr = nullptr; m_Length = 0; }
};

#endif // ZRBYTESTRINGL_H
