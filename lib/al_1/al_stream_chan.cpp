/*
 * al_stream_chan.cpp: streams over channels (stream_open_channel): the
 * stream layer's side of a driver channel, whose read, write and close
 * functions belong to the channel layer.
 */
#include <cerrno>

#include "al_stream.h"
#include "al_stream_int.h"

namespace {

long chan_read(StreamHandle h, void *buf, long n)
{
    return h.chan.ops->read(h.chan.arg, buf, n);
}

long chan_write(StreamHandle h, const void *buf, long n)
{
    return h.chan.ops->write(h.chan.arg, buf, n);
}

long chan_seek(StreamHandle, long, int)
{
    errno = ESPIPE;
    return -1;
}

int chan_close(StreamHandle h)
{
    return h.chan.ops->close(h.chan.arg);
}

} // namespace

bool stream_is_channel(const STREAM *sp)
{
    return sp != nullptr && sp->closef == chan_close;
}

void stream_channel_flushed(STREAM *sp)
{
    if (stream_is_channel(sp) && sp->handle.chan.ops->flushed != nullptr)
        sp->handle.chan.ops->flushed(sp->handle.chan.arg);
}

STREAM *stream_open_channel(void *chan, const StreamChannelOps *ops,
                            const char *mode, int bufsize)
{
    std::uint16_t sflags = 0;
    int oflags = 0;
    if (ops == nullptr || ops->read == nullptr || ops->write == nullptr ||
        ops->close == nullptr || !stream_parse_mode(mode, &sflags, &oflags)) {
        errno = EINVAL;
        return nullptr;
    }
    StreamHandle h{};
    h.chan.arg = chan;
    h.chan.ops = ops;
    return stream_create(static_cast<std::uint16_t>(sflags | SF_NOSEEK),
                         bufsize < 0 ? STREAM_DEFAULT_BUFSIZE : bufsize, h,
                         chan_read, chan_write, chan_seek, chan_close);
}
