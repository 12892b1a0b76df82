#ifndef IZRBUFFERREAD_H
#define IZRBUFFERREAD_H

#include "izrstreamread.h"

// A reader that hands out its input in consecutive blocks it keeps in memory. After a
// successful ReadNextBlock the block is GetBlockSize() bytes at GetBlockBuffer(), and its
// first byte is at GetBlockOffset() in the whole input. The block stays valid until the
// next ReadNextBlock or the end of the reader.
class IZR_BufferRead : public IZR_StreamRead {
public:
    // Moves to the next block (to the first one when `bFromStart` is non-zero). Returns
    // false when there is no further block.
    virtual int ReadNextBlock(int bFromStart = 0) = 0;
    virtual const uint8_t* GetBlockBuffer() = 0;
    virtual size_t GetBlockSize() = 0;
    virtual int64_t GetBlockOffset() = 0;
    virtual ~IZR_BufferRead() {}
};

#endif // IZRBUFFERREAD_H
