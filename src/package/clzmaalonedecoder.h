#ifndef CLZMAALONEDECODER_H
#define CLZMAALONEDECODER_H

#include <QtGlobal>

#include <functional>

class QIODevice;

// Decoder of a stand-alone LZMA stream (the LZMA part of a package, and the whole files
// of a delta): a 13-byte header (the properties byte, the 32-bit dictionary size, the
// 64-bit unpacked size, all ones when unknown), then the compressed data. The stream is
// read and decoded in chunks; the decoded bytes go to a sink as they come.
class CLzmaAloneDecoder
{
public:
    // Takes each piece of decoded output; false stops the decoding (it then fails).
    using Sink = std::function<bool(const char* data, qint64 size)>;

    // The decoder may use at most this much memory. A package made with the highest
    // preset needs about 65 MiB; a header asking for more is refused, not obeyed.
    static const quint64 MemoryLimit = quint64(1) << 30;

    // Decodes the stream read from the current position of in (at most inputLimit bytes
    // of it; all up to the end when negative) into sink, at most maxOutput bytes of it.
    // 1 when the stream was decoded up to its end, to the size its header gives, or to
    // maxOutput, and the sink took everything; 0 otherwise (the sink then holds the bytes
    // decoded before the fault).
    //
    // The header's unpacked size counts by its low 32 bits, as the exact length of the
    // output: the decoder stops there, so a stream that goes on past it still gives its
    // first bytes. A dictionary larger than that size is not asked of the decoder: no
    // back-reference reaches further than the output itself.
    static int decode(QIODevice& in, qint64 inputLimit, quint64 maxOutput, const Sink& sink);
};

#endif // CLZMAALONEDECODER_H
