/*
 * echo_serve.cpp: what the test drivers do with one request (see
 * echo_protocol.h); shared by the program and the library variant.
 */
#include "echo_protocol.h"

#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <vector>

#include "ipc.h"

bool echo_serve_one(STREAM *channel[2], int argc, char **argv, bool library)
{
    STREAM *in = channel[0];
    STREAM *out = channel[1];
    long cmd = r_long(in);
    if (seof(in) || serror(in))
        return false;
    switch (cmd) {
    case ECHO_REVERSE: {
        long n = r_long(in);
        if (n < 0 || n > (64L << 20))
            return false;
        std::vector<char> data(static_cast<size_t>(n));
        if (sread_blok(data.data(), static_cast<int>(n), in) != n)
            return false;
        w_long(out, n);
        for (long i = n - 1; i >= 0; --i)
            sputc(data[static_cast<size_t>(i)], out);
        break;
    }
    case ECHO_ARGS: {
        w_long(out, argc);
        for (int i = 0; i < argc; ++i)
            swrite_blok(argv[i], static_cast<int>(std::strlen(argv[i])) + 1, out);
        const char *psi = std::getenv("PROCESS_SET_INFO");
        if (psi == nullptr)
            psi = "";
        swrite_blok(psi, static_cast<int>(std::strlen(psi)) + 1, out);
        w_long(out, ipc_client_pid(in));
        w_long(out, ::getpid());
        w_long(out, is_server());
        w_long(out, ipc_flags(in));
        break;
    }
    case ECHO_DIE: {
        long status = r_long(in);
        if (library)
            return true;
        ::_exit(static_cast<int>(status));
    }
    case ECHO_PATTERN: {
        long n = r_long(in);
        if (n < 0 || n > (64L << 20))
            return false;
        w_long(out, n);
        for (long i = 0; i < n; ++i)
            sputc(static_cast<int>((i * 7) & 0xff), out);
        break;
    }
    case ECHO_SHM_OPS: {
        long count = -1;
        if (library) {
            count = 0;
            if (const AlShmOp *ops = AlShmGetCombo())
                for (int i = 0; i < 12; ++i)
                    count += ops[i] != nullptr;
        }
        w_long(out, count);
        break;
    }
    default:
        return false;
    }
    return sflush(out) == 0;
}
