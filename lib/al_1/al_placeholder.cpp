/*
 * al_placeholder.cpp: stand-ins with the real names and signatures for the
 * runtime allocator (malloc and free underneath) and the emergency
 * handlers, until those modules land.
 */
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "al_env.h"
#include "al_float.h"
#include "al_log.h"
#include "al_mem.h"
#include "al_res.h"
#include "al_stream.h"
#include "al_user.h"

/* ---- memory ------------------------------------------------------------- */

void *mal_allocater(size_t size)
{
    return std::malloc(size == 0 ? 1 : size);
}

void mal_free(void *ptr)
{
    std::free(ptr);
}

char *mal_strsave(const char *text)
{
    return strdup(text);
}

/* ---- stand-in for the emergency handlers -------------------------------- */

#include "al_shm.h"

namespace {
struct EmergencySlot {
    emergency_fn handler;
    int arg;
};
EmergencySlot emergency_slots[8];
} // namespace

/* Records the handler; nothing runs them until the fault handler lands. */
int add_emergency(emergency_fn handler, int arg)
{
    for (EmergencySlot &slot : emergency_slots) {
        if (slot.handler == nullptr) {
            slot = {handler, arg};
            return 0;
        }
    }
    return 1;
}


/* Installs the signal handlers of the process: nothing yet. */
void al_install_emergency_handlers(void) {}
