/*
 * echo_driver_lib.cpp: the shared-library variant of the test driver: its
 * own copy of the channel layer takes the in-process channel in
 * driver_init, and driver_main_loop serves one request per call.
 */
#include "echo_protocol.h"

#include "ipc.h"

namespace {
STREAM *g_channel[2];
char g_name[] = "echo_lib";
char *g_argv[] = {g_name, nullptr};
} // namespace

extern "C" __attribute__((visibility("default"))) int
driver_init(int, char **, int, void *)
{
    return init_server(0, nullptr, 0, g_channel);
}

extern "C" __attribute__((visibility("default"))) int driver_main_loop(void)
{
    return echo_serve_one(g_channel, 1, g_argv, true) ? 0 : -1;
}
