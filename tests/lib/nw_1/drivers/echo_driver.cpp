/*
 * echo_driver.cpp: a driver program for the channel tests: takes its
 * channel with init_server and answers requests until the client goes.
 */
#include "echo_protocol.h"

#include "ipc.h"

int main(int argc, char **argv)
{
    STREAM *channel[2];
    if (init_server(argc, argv, 0, channel) != 0)
        return 2;
    /* A broken channel (the client closed it) ends the process with 0. */
    while (echo_serve_one(channel, argc, argv, false)) {
    }
    return 3;
}
