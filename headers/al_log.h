/*
 * al_log.h: the one reporting call of the system (log_mesg), the program
 * name and start-up of the runtime layer, the log file with its framed
 * blocks, line headers, lock and rotation. Implemented in lib/al_1.
 */
#ifndef AL_LOG_H
#define AL_LOG_H

/* Destination bits (of the default destination set and of message flags). */
#define LOG_DEST_FILE 0x01    /* the program's log file */
#define LOG_DEST_STDERR 0x02  /* standard error */
#define LOG_DEST_STDOUT 0x04  /* standard output */
#define LOG_DEST_CONSOLE 0x08 /* "/dev/console" */

/* Further message flags. */
#define LOG_ERRNO 0x20 /* append the saved errno text on stderr/stdout */
#define LOG_HOOK 0x40  /* pass the message to the message hook */

/* Message flags: no level bits means an error; the warning bit wins. */
#define LOG_WARNING 0x80
#define LOG_INFO 0x100

/* Size of the message buffer and of the extra-information buffer. */
#define LOG_MESG_SIZE 16384

/*
 * Registers the program name (the base name of prog) and starts the
 * runtime layer; dest is the default destination set. Opens the log file
 * "log.<program>" in TSE_LOG (or ${TSE}/log) when dest holds LOG_DEST_FILE,
 * dropping that bit when the file cannot be opened. Exits the process with
 * status 1 when no Trel user name can be found.
 */
void log_set_progname(const char *prog, int dest);

/*
 * As log_set_progname; with reset_paths non-zero the log and old-log paths
 * are recomputed even when they were set already.
 */
void log_set_progname_ex(const char *prog, int dest, int reset_paths);

/*
 * As log_set_progname, for programs without a user environment: a missing
 * Trel user name does not end the process.
 */
void log_set_progname_no_tse(const char *prog, int dest);

/* The registered program name, "UNKNOWN" before log_set_progname. */
const char *log_get_progname(void);

/* The process set of the process (owned by the runtime layer). */
const char *log_get_process_set(void);

/*
 * Reports one message: source file (relative to the repository root),
 * line, component (a category word), flags (destination, errno, hook and
 * level bits, see above), printf-style text. Never fails; errno is left
 * as it was. Returns 0, or the result of the unlock function installed
 * with log_mesg_set_lock_unlock.
 */
int log_mesg(const char *file, int line, const char *component, int flags,
             const char *fmt, ...) __attribute__((format(printf, 5, 6)));

/*
 * Adds formatted text to the message in progress, written to the current
 * destinations (standard error and output as it is, log file and console
 * through log_write). Returns 0.
 */
int log_printf(const char *fmt, ...) __attribute__((format(printf, 1, 2)));

/*
 * Opens a framed block: computes the destination set from flags as
 * log_mesg does, takes the log file lock (rotating the file when it has
 * grown past log_size kilobytes) and writes the START and context lines.
 * Returns 0, or -1 when no block was opened (no open log file or console
 * among the destinations, or the block was abandoned).
 */
int log_start_mesg(const char *file, int line, const char *component,
                   int flags);

/*
 * Closes the block: writes the END line, releases the lock and restores
 * the default destination set. Returns 0 (also when no block was open).
 */
int log_stop_mesg(void);

/*
 * Writes text to the log file and console of the current destinations,
 * beginning every line with a header (date, time, zone offset, level
 * letter, Trel user). Nothing is written while logging is disabled.
 * Returns 0, or -1 when a write failed.
 */
int log_write(const char *text);

/* Replaces the log path or the old-log path; null or "" is ignored. The
 * text is copied. An open log file is not reopened. */
void log_set_path(const char *path);
void olg_set_path(const char *path);

/* Sets the default destination set; returns the previous one. */
int log_set_dest(int dest);

/* Enables or disables log_mesg; no effect once all logs are enabled. */
void al_enable_log_mesg(void);
void al_disable_log_mesg(void);

/* Enables all logs for good (resource enable_all_logs above 0). */
void al_log_enable_all(void);

/*
 * Functions called around every reported message: lock before, unlock
 * after (its result is log_mesg's result). Either may be null.
 */
typedef int (*log_lock_fn)(void);
void log_mesg_set_lock_unlock(log_lock_fn lock, log_lock_fn unlock);

/* The message hook: receives the formatted message (not owned). */
typedef void (*log_hook_fn)(const char *message);

/* Installs the message hook (called for messages with LOG_HOOK); returns
 * the previous hook. */
log_hook_fn log_set_hook(log_hook_fn hook);

/* As log_set_hook, and adds LOG_HOOK to the default set (removes it when
 * hook is null). Returns the previous hook. */
log_hook_fn log_set_log_hook(log_hook_fn hook);

/*
 * Extra information for the framed block: the callback fills buffer (size
 * bytes, LOG_MESG_SIZE, zeroed) with NUL-terminated text. Null removes it.
 */
typedef void (*log_extra_info_fn)(char *buffer, int size);
void SetExtraLogInfoCallBack(log_extra_info_fn callback);

/* Suppresses the crash mail of log_crash_notification. */
void log_no_default_mail(void);

/*
 * The crash notification (registered as an emergency handler at start-up;
 * arg is unused): unless log_no_default_mail was called, and when the
 * resource log_mailcmd is set, runs it with popen and writes the subject,
 * the current directory and "(default mail message)" to it.
 */
void log_crash_notification(int arg);

/*
 * With a path, makes standard error write (unbuffered) to that file,
 * opened with mode (null: "w"); with null, flushes and closes the file and
 * gives standard error back. Returns 0, or the errno of the failure.
 */
int redirect_stderr_for_trace(const char *path, const char *mode);

/*
 * Converts a log text from the internal multibyte form for output: in_len
 * bytes of in (-1: up to its terminator) into out, which has room for
 * out_len bytes including the terminator. Returns the number of bytes
 * written (without the terminator), or -1 when out is null or out_len < 1.
 */
int ConvertTssLogString(const char *in, char *out, int in_len, int out_len);

/*
 * The whole-file record lock of the log file: type 1 takes a write lock,
 * type 2 releases it, on descriptor fd. A lock held by another process is
 * retried after 1 second, 5 tries in all; then the caller goes on without
 * it (result 1). Other failures print a message on standard error (with
 * warn non-zero also a warning) and return -1 with errno set. 0 on success.
 */
int lock_handling(int type, int fd, int warn);

/*
 * Where the log takes tdb_errno and its text from: the tdb API registers
 * its getter and text function at start-up (the logging layer does not
 * link against the API). Until then tdb_errno shows as 0 with no text.
 */
void log_set_tdb_errno_source(int (*get)(void), const char *(*text)(int code));
 
/*
 * The character-set services the log uses once that layer is part of the
 * program (it registers them; see TssRegisterLogHooks): converting message
 * texts for the log, initialising the conversion at start-up, masking the
 * "%" bytes of four-byte characters around formatting, and the two
 * locale names shown in every framed block. Null members, or no hooks at
 * all, leave texts unconverted and the names empty.
 */
struct log_tss_hooks {
    int (*convert)(const char *in, char *out, int in_len, int out_len);
    int (*initialize)(int fatal);
    int (*prep_fmt)(char *out, const char *in, int size, int direction);
    const char *(*locale)(void);
    const char *(*charset)(void);
};
void log_set_tss_hooks(const struct log_tss_hooks *hooks);

#endif
