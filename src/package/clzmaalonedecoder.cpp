#include "clzmaalonedecoder.h"
#include "packageformat.h"

#include <QByteArray>
#include <QDebug>
#include <QIODevice>

#include <lzma.h>

namespace {

// Input and output move through buffers of this size.
const int ChunkSize = 64 << 10;

using PackageFormat::LzmaHeaderSize;

quint32 readLe32(const unsigned char* p)
{
    return quint32(p[0]) | quint32(p[1]) << 8 | quint32(p[2]) << 16 | quint32(p[3]) << 24;
}

void writeLe32(unsigned char* p, quint32 v)
{
    for (int i = 0; i < 4; ++i)
        p[i] = static_cast<unsigned char>(v >> (8 * i));
}

// Whether the 8-byte unpacked size of a stand-alone LZMA header gives a size: all
// ones means "unknown, the stream ends with an end marker".
bool lzmaSizeKnown(const unsigned char* sizeField)
{
    for (int i = 0; i < 8; ++i)
        if (sizeField[i] != 0xff)
            return true;
    return false;
}

// The header's unpacked size is 64 bits, all ones when unknown; only its low 32 bits
// count, as the exact length of the output. The decoder is told "unknown" and stopped
// at that length, so a stream that goes on past it still gives its first bytes. No
// back-reference in those bytes reaches further than the output itself, so a larger
// dictionary would only waste memory. Rewrites header so and returns that length.
quint64 knownSize(unsigned char* header)
{
    const quint64 size = readLe32(header + PackageFormat::LzmaUnpackedSizeOffset);
    const quint32 enough = qMax<quint32>(quint32(size), 4096);
    if (readLe32(header + 1) > enough)
        writeLe32(header + 1, enough);
    writeLe32(header + 5, 0xFFFFFFFFu);
    writeLe32(header + 9, 0xFFFFFFFFu);
    return size;
}

// The next piece of input from in into strm: at most inputLeft bytes more (any number
// when negative); none left makes action LZMA_FINISH. False when in cannot be read.
bool refill(lzma_stream& strm, QIODevice& in, QByteArray& buffer, qint64& inputLeft, lzma_action& action)
{
    const qint64 want = inputLeft < 0 ? qint64(buffer.size()) : qMin<qint64>(buffer.size(), inputLeft);
    const qint64 n = want > 0 ? in.read(buffer.data(), want) : 0;
    if (n < 0)
        return false;
    if (inputLeft > 0)
        inputLeft -= n;
    strm.next_in = reinterpret_cast<const uint8_t*>(buffer.constData());
    strm.avail_in = size_t(n);
    if (n == 0)
        action = LZMA_FINISH;
    return true;
}

} // namespace

int CLzmaAloneDecoder::decode(QIODevice& in, qint64 inputLimit, quint64 maxOutput, const Sink& sink)
{
    if (inputLimit >= 0 && inputLimit < LzmaHeaderSize)
        return 0;
    unsigned char header[LzmaHeaderSize];
    if (in.read(reinterpret_cast<char*>(header), LzmaHeaderSize) != LzmaHeaderSize)
        return 0;
    qint64 inputLeft = inputLimit < 0 ? -1 : inputLimit - LzmaHeaderSize;

    const bool sizeKnown = lzmaSizeKnown(header + PackageFormat::LzmaUnpackedSizeOffset);
    quint64 limit = sizeKnown ? knownSize(header) : ~quint64(0);
    const bool cut = maxOutput < limit;
    limit = qMin(limit, maxOutput);

    lzma_stream strm = LZMA_STREAM_INIT;
    if (lzma_alone_decoder(&strm, MemoryLimit) != LZMA_OK)
        return 0;

    QByteArray inBuffer(ChunkSize, Qt::Uninitialized);
    QByteArray outBuffer(ChunkSize, Qt::Uninitialized);
    // The header goes through the decoder first, even when no output is wanted, so
    // that bad properties or too large a dictionary are refused all the same.
    strm.next_in = header;
    strm.avail_in = LzmaHeaderSize;
    lzma_action action = LZMA_RUN;
    quint64 written = 0;
    bool complete = false;
    for (;;) {
        if (strm.avail_in == 0 && action == LZMA_RUN && !refill(strm, in, inBuffer, inputLeft, action))
            break;
        strm.next_out = reinterpret_cast<uint8_t*>(outBuffer.data());
        strm.avail_out = size_t(outBuffer.size());
        const lzma_ret ret = lzma_code(&strm, action);
        const qint64 produced = qint64(qMin<quint64>(quint64(outBuffer.size()) - strm.avail_out, limit - written));
        if (produced > 0 && !sink(outBuffer.constData(), produced))
            break;
        written += quint64(produced);
        if (written == limit && (produced > 0 || ret == LZMA_OK || ret == LZMA_STREAM_END)) {
            if (cut)
                qDebug() << "LZMA decoding stopped at the file table's total of" << written << "bytes";
            complete = true;
            break;
        }
        if (ret == LZMA_STREAM_END) {
            // the end marker came before the size the header promised
            complete = !sizeKnown;
            if (!complete)
                qDebug() << "the LZMA stream ends before its unpacked size";
            break;
        }
        if (ret != LZMA_OK) {
            qDebug() << "LZMA decoding failed, liblzma code" << int(ret);
            break;
        }
    }
    lzma_end(&strm);
    return complete ? 1 : 0;
}
