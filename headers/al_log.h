/*
 * al_log.h: the one reporting call of the system and the program name.
 * Implemented in lib/al_1.
 */
#ifndef AL_LOG_H
#define AL_LOG_H

/* Destination bits of the default destination set. */
#define LOG_DEST_FILE 0x01

/* Message flags: no level bits means an error. */
#define LOG_WARNING 0x80
#define LOG_INFO 0x100

/*
 * Registers the program name (the base name of prog) and starts the
 * runtime layer; dest is the default destination set.
 */
void log_set_progname(const char *prog, int dest);

/* The registered program name, "UNKNOWN" before log_set_progname. */
const char *log_get_progname(void);

/*
 * Reports one message: source file, line, component (a category word),
 * flags, printf-style text. Returns 0.
 */
int log_mesg(const char *file, int line, const char *component, int flags,
             const char *fmt, ...) __attribute__((format(printf, 5, 6)));

/*
 * Enables all log messages for good (enable_all_logs above 0): later
 * attempts to disable logging have no effect.
 */
void al_log_enable_all(void);

#endif
