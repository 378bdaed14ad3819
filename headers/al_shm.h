/*
 * al_shm.h: shared memory and emergency handlers of the runtime: functions
 * run when the process dies of a fault signal. Implemented in lib/al_1
 * (a stand-in until the shared-memory module lands).
 */
#ifndef AL_SHM_H
#define AL_SHM_H

/* An emergency handler; receives the argument it was registered with. */
typedef void (*emergency_fn)(int arg);

/*
 * Registers an emergency handler with its argument in the first free of
 * 8 slots. Returns 0, or 1 when all 8 slots are used.
 */
int add_emergency(emergency_fn handler, int arg);

/*
 * Runs the registered emergency handlers in slot order with their
 * arguments, without ending the process (used when a driver channel
 * breaks).
 */
void do_emergency(void);

#endif
