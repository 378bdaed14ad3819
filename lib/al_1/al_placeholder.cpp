/*
 * al_placeholder.cpp: stand-ins with the real names and signatures for the
 * emergency handlers, until that module lands.
 */
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

/* Runs the recorded handlers in slot order. */
void do_emergency(void)
{
    for (const EmergencySlot &slot : emergency_slots)
        if (slot.handler != nullptr)
            slot.handler(slot.arg);
}

/* Installs the signal handlers of the process: nothing yet. */
void al_install_emergency_handlers(void) {}
