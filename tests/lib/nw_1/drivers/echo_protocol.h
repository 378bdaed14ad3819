/*
 * echo_protocol.h: the little request language of the test drivers of
 * lib/nw_1: every request starts with a 32-bit command (big-endian).
 */
#ifndef NW1_ECHO_PROTOCOL_H
#define NW1_ECHO_PROTOCOL_H

#include "al_stream.h"

enum EchoCommand : long {
    /* long n, n bytes -> long n, the bytes in reverse order */
    ECHO_REVERSE = 1,
    /* -> long argc, argc strings, PROCESS_SET_INFO (or ""), long client
     *    pid seen by the driver, long own pid, long is_server, long flags */
    ECHO_ARGS = 2,
    /* long status -> no reply: the driver ends with that status at once
     * (the library variant returns without a reply) */
    ECHO_DIE = 3,
    /* long n -> n bytes, byte i being (i * 7) & 0xff */
    ECHO_PATTERN = 4,
    /* -> long: how many of the twelve shared-memory operations the
     *    driver received (library variant; programs answer -1) */
    ECHO_SHM_OPS = 5,
};

/*
 * Serves one request from channel[0], answering on channel[1] (flushed).
 * false when the request could not be read or is unknown.
 */
bool echo_serve_one(STREAM *channel[2], int argc, char **argv, bool library);

#endif
