/*
 * al_stream_mem.cpp: memory streams: unbuffered streams over a fixed block
 * of the caller or over a block of their own that grows in steps up to an
 * optional limit.
 */
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <new>

#include "al_mem.h"
#include "al_stream.h"
#include "al_stream_int.h"

namespace {

constexpr long kDefaultStep = 4096;

long mem_read(StreamHandle h, void *buf, long n)
{
    ByteArray *ba = h.mem;
    long avail = ba->length - ba->offset;
    if (avail <= 0 || n <= 0)
        return 0;
    long k = std::min(n, avail);
    std::memcpy(buf, ba->base + ba->offset, static_cast<size_t>(k));
    ba->offset += k;
    return k;
}

/* Makes room for a block of at least need bytes; false with ENOMEM. */
bool mem_grow(ByteArray *ba, long need)
{
    if (need <= ba->capacity)
        return true;
    long cap = need;
    if (cap % ba->step != 0 && cap <= LONG_MAX - ba->step)
        cap += ba->step - cap % ba->step;
    if (ba->limit > 0)
        cap = std::min(cap, ba->limit);
    auto *grown = static_cast<unsigned char *>(mal_allocater(static_cast<size_t>(cap)));
    if (grown == nullptr) {
        errno = ENOMEM;
        return false;
    }
    if (ba->length > 0)
        std::memcpy(grown, ba->base, static_cast<size_t>(ba->length));
    mal_free(ba->base);
    ba->base = grown;
    ba->capacity = cap;
    return true;
}

long mem_write(StreamHandle h, const void *buf, long n)
{
    ByteArray *ba = h.mem;
    if (ba->append)
        ba->offset = ba->length;
    long room;
    if (ba->fixed)
        room = ba->capacity - ba->offset;
    else if (ba->limit > 0)
        room = ba->limit - ba->offset;
    else
        room = LONG_MAX - ba->offset;
    long k = std::min(n, room);
    if (k <= 0) {
        errno = ENOSPC;
        return -1;
    }
    if (!ba->fixed && !mem_grow(ba, ba->offset + k))
        return -1;
    std::memcpy(ba->base + ba->offset, buf, static_cast<size_t>(k));
    ba->offset += k;
    ba->length = std::max(ba->length, ba->offset);
    return k;
}

/* Seeks within the data; an offset outside 0..length fails with EINVAL. */
long mem_seek(StreamHandle h, long offset, int whence)
{
    ByteArray *ba = h.mem;
    long origin = whence == SEEK_SET ? 0 : whence == SEEK_CUR ? ba->offset
                                                              : ba->length;
    if (whence < SEEK_SET || whence > SEEK_END ||
        (offset > 0 && origin > LONG_MAX - offset)) {
        errno = EINVAL;
        return -1;
    }
    long target = origin + offset;
    if (target < 0 || target > ba->length) {
        errno = EINVAL;
        return -1;
    }
    ba->offset = target;
    return target;
}

int mem_close(StreamHandle h)
{
    ByteArray *ba = h.mem;
    if (!ba->fixed)
        mal_free(ba->base);
    ba->~ByteArray();
    mal_free(ba);
    return 0;
}

STREAM *open_memory(ByteArray init, const char *mode)
{
    std::uint16_t sflags = 0;
    int oflags = 0;
    if (!stream_parse_mode(mode, &sflags, &oflags)) {
        errno = EINVAL;
        return nullptr;
    }
    void *mem = mal_allocater(sizeof(ByteArray));
    if (mem == nullptr) {
        errno = ENOMEM;
        return nullptr;
    }
    auto *ba = new (mem) ByteArray(init);
    if (oflags & O_TRUNC)
        ba->length = 0;
    if (oflags & O_APPEND) {
        ba->append = true;
        ba->offset = ba->length;
    }
    StreamHandle h{};
    h.mem = ba;
    STREAM *sp = stream_create(static_cast<std::uint16_t>(sflags | SF_MEMORY),
                               0, h, mem_read, mem_write, mem_seek, mem_close);
    if (sp == nullptr) {
        mem_close(h);
        errno = ENOMEM;
        return nullptr;
    }
    sp->position = ba->offset;
    return sp;
}

ByteArray *byte_array(STREAM *sp)
{
    if (sp == nullptr || (sp->flags & SF_MEMORY) == 0) {
        errno = EINVAL;
        return nullptr;
    }
    return sp->handle.mem;
}

} // namespace

STREAM *sopenFixedByteArray(void *mem, long length, const char *mode)
{
    if (length < 0 || (mem == nullptr && length > 0)) {
        errno = EINVAL;
        return nullptr;
    }
    ByteArray init{};
    init.base = static_cast<unsigned char *>(mem);
    init.length = length;
    init.capacity = length;
    init.fixed = true;
    return open_memory(init, mode);
}

STREAM *sopenVariableByteArray(const char *mode, long step, long limit)
{
    ByteArray init{};
    init.step = step > 0 ? step : kDefaultStep;
    init.limit = limit > 0 ? limit : 0;
    return open_memory(init, mode);
}

int isFixedByteArray(STREAM *sp)
{
    if (sp == nullptr || (sp->flags & SF_MEMORY) == 0)
        return 0;
    return sp->handle.mem->fixed ? 1 : 0;
}

int getByteArrayProperties(STREAM *sp, void **base, long *length)
{
    ByteArray *ba = byte_array(sp);
    if (ba == nullptr)
        return -1;
    if (base != nullptr)
        *base = ba->base;
    if (length != nullptr)
        *length = ba->length;
    return 0;
}

int setVariableByteArrayProperties(STREAM *sp, long limit)
{
    ByteArray *ba = byte_array(sp);
    if (ba == nullptr)
        return -1;
    if (ba->fixed || (limit > 0 && limit < ba->length)) {
        errno = EINVAL;
        return -1;
    }
    ba->limit = limit > 0 ? limit : 0;
    return 0;
}
