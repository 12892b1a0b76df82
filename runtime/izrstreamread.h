#ifndef IZRSTREAMREAD_H
#define IZRSTREAMREAD_H

#include <cstddef>
#include <cstdint>

// A sequential input stream. Release ends the reader's use (an implementation created on
// the heap deletes itself there).
class IZR_StreamRead {
public:
    virtual void Release() = 0;
    // Non-zero once everything has been read.
    virtual int IsEOF() = 0;
    // Bytes read so far.
    virtual int64_t GetPosition() = 0;
    // Copies up to `size` bytes to `pBuffer`; returns how many were copied.
    virtual size_t ReadBlock(void* pBuffer, size_t size) = 0;

protected:
    // Readers are destroyed through Release or through a derived interface.
    ~IZR_StreamRead() {}
};

#endif // IZRSTREAMREAD_H
