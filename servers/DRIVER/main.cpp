/*
 * main.cpp: the database driver program tdb_driver: takes its channel to
 * the client with init_server and answers requests until the client
 * detaches or goes away.
 */
#include <cstdio>

#include "al_log.h"
#include "driver.h"
#include "ipc.h"

int main(int argc, char **argv)
{
    log_set_progname_no_tse("tdb_driver", LOG_DEST_FILE);
    STREAM *channel[2] = {nullptr, nullptr};
    if (argc < 5 || init_server(argc, argv, 0, channel) != 0) {
        static const char text[] = "tdb_driver: not started by a client (arguments: name, "
                                   "client process id, protocol flags, read and write "
                                   "descriptors)";
        log_mesg("servers/DRIVER/main.cpp", __LINE__, "tdb_driver", 0, "%s", text);
        std::fprintf(stderr, "%s\n", text);
        return 2;
    }
    int status = 0;
    {
        tdbdriver::Driver driver(argc > 0 ? argv[0] : "tdb_driver");
        /* A client that goes away breaks the channel, which ends the
         * process with status 0 from inside the read. */
        for (;;) {
            tdbdriver::Step step = driver.serve_one(channel[0], channel[1]);
            if (step == tdbdriver::Step::Next)
                continue;
            status = step == tdbdriver::Step::Garbled ? 1 : 0;
            break;
        }
    }
    return status;
}
