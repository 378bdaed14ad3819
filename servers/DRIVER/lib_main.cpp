/*
 * lib_main.cpp: tdb_driver as a shared library run inside the client's
 * process: driver_init takes the in-process channel, driver_main_loop
 * answers the one request the client has just flushed.
 */
#include <memory>

#include "driver.h"
#include "ipc.h"

namespace {
STREAM *g_channel[2] = {nullptr, nullptr};
std::unique_ptr<tdbdriver::Driver> g_driver;
} // namespace

extern "C" __attribute__((visibility("default"))) int driver_init(int, char **, int, void *)
{
    if (init_server(0, nullptr, 0, g_channel) != 0)
        return -1;
    g_driver = std::make_unique<tdbdriver::Driver>("tdb_driver_lib");
    return 0;
}

extern "C" __attribute__((visibility("default"))) int driver_main_loop(void)
{
    if (!g_driver)
        return -1;
    /* A detach is answered like any request; the client then closes the
     * channel and unloads the library. */
    return g_driver->serve_one(g_channel[0], g_channel[1]) == tdbdriver::Step::Garbled ? -1 : 0;
}
