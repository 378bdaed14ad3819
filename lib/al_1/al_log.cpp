/*
 * al_log.cpp: log_mesg and the program's log file: start-up of the runtime
 * layer by program name, destinations and level bits, framed blocks with
 * line headers, the whole-file lock, rotation by size, hooks, crash mail.
 */
#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <clocale>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <string_view>

#include "al_env.h"
#include "al_log.h"
#include "al_msg.h"
#include "al_res.h"
#include "al_shm.h"
#include "al_date.h"
#include "al_user.h"


namespace {

constexpr const char *kThisFile = "lib/al_1/al_log.cpp";

/* Flag bits that are not destinations: they are passed on as they are. */
constexpr int kPassBits = LOG_ERRNO | LOG_HOOK | LOG_WARNING | LOG_INFO;
constexpr int kLevelBits = LOG_WARNING | LOG_INFO;

constexpr int kLockTries = 5;
constexpr int kMaxRotations = 3;

/* Process-wide logging state (single-threaded; see the module README). */
struct LogState {
    int default_dest = 0;
    int block_dest = 0;   /* destination set of the open block */
    bool in_block = false;
    int level = 0;        /* level bits of the message in progress */
    std::string log_path;
    std::string olg_path;
    int log_fd = -1;
    int console_fd = -1;
    int busy = 0;
    int enable_state = 0; /* 0 enabled, 1 disabled, -1 permanently enabled */
    log_lock_fn lock = nullptr;
    log_lock_fn unlock = nullptr;
    log_hook_fn hook = nullptr;
    log_extra_info_fn extra_info = nullptr;
    bool no_mail = false;
    bool header_due = true;
    bool file_locked = false;
    bool emergency_registered = false;
    std::string progname = "UNKNOWN";
    int (*tdb_errno_get)(void) = nullptr;
    const char *(*tdb_errno_text)(int) = nullptr;
    FILE *trace_file = nullptr;
    int saved_stderr = -1;
};

LogState &state()
{
    static LogState st;
    return st;
}

/* printf into a std::string; embedded NUL bytes (a %c of 0) are kept. */
std::string vformat(const char *fmt, va_list ap)
{
    va_list copy;
    va_copy(copy, ap);
    char small[256];
    int n = std::vsnprintf(small, sizeof small, fmt, copy);
    va_end(copy);
    if (n < 0)
        return {};
    if (static_cast<size_t>(n) < sizeof small)
        return std::string(small, static_cast<size_t>(n));
    std::string out(static_cast<size_t>(n) + 1, '\0');
    std::vsnprintf(out.data(), out.size(), fmt, ap);
    out.resize(static_cast<size_t>(n));
    return out;
}

std::string format(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
std::string format(const char *fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    std::string out = vformat(fmt, ap);
    va_end(ap);
    return out;
}

const char *safe(const char *text)
{
    return text != nullptr ? text : "";
}

/* The character-set services, when that layer registered them. */
log_tss_hooks tss_hooks{};

/*
 * Formats a message into buf (size bytes) with the character-type locale
 * "C" for the duration, so that the bytes of multibyte characters pass
 * unchanged. The "%" bytes inside four-byte TSS characters of the format
 * are masked for the call and restored in the result, so that they are
 * never taken as conversions.
 */
void format_message(char *buf, size_t size, const char *fmt, va_list ap)
{
    std::string masked;
    if (fmt != nullptr && tss_hooks.prep_fmt != nullptr) {
        masked.assign(std::strlen(fmt) + 1, '\0');
        tss_hooks.prep_fmt(masked.data(), fmt, static_cast<int>(masked.size()), 1);
        fmt = masked.c_str();
    }
    std::string old_ctype;
    const char *current = std::setlocale(LC_CTYPE, nullptr);
    if (current != nullptr)
        old_ctype = current;
    std::setlocale(LC_CTYPE, "C");
    int n = fmt != nullptr ? std::vsnprintf(buf, size, fmt, ap) : 0;
    if (current != nullptr)
        std::setlocale(LC_CTYPE, old_ctype.c_str());
    if (n <= 0) {
        buf[0] = '\0';
        return;
    }
    if (!masked.empty()) {
        std::string formatted(buf);
        tss_hooks.prep_fmt(buf, formatted.c_str(), static_cast<int>(size), 0);
    }
}

/* The destination set of a message with these flags. */
int compute_dest(const LogState &st, int flags)
{
    int dest = flags & ~kPassBits;
    dest = dest != 0 ? (dest & st.default_dest) : st.default_dest;
    return dest | (flags & kPassBits);
}

int current_dest(const LogState &st)
{
    return st.in_block ? st.block_dest : st.default_dest;
}

const char *level_word(int level)
{
    if (level & LOG_WARNING)
        return "Warning";
    if (level & LOG_INFO)
        return "Information";
    return "Error";
}

char level_letter(int level)
{
    if (level & LOG_WARNING)
        return 'W';
    if (level & LOG_INFO)
        return 'I';
    return 'E';
}

int tdb_errno_now(const LogState &st)
{
    return st.tdb_errno_get != nullptr ? st.tdb_errno_get() : 0;
}

const char *tdb_errno_text(const LogState &st, int code)
{
    return st.tdb_errno_text != nullptr ? safe(st.tdb_errno_text(code)) : "";
}

bool write_all(int fd, std::string_view data)
{
    while (!data.empty()) {
        ssize_t n = ::write(fd, data.data(), data.size());
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        data.remove_prefix(static_cast<size_t>(n));
    }
    return true;
}



std::string log_directory()
{
    const char *dir = getvar("TSE_LOG");
    if (dir != nullptr && dir[0] != '\0')
        return dir;
    return format("%s/log", get_tse());
}

void close_fd(int &fd)
{
    if (fd >= 0)
        ::close(fd);
    fd = -1;
}

/*
 * Opens the log path for reading and appending, created with permission
 * 0666 whatever the file-creation mask, close-on-exec. A failure is not
 * reported (the log cannot report on itself); it drops the log-file bit
 * from the default destination set.
 */
bool open_log_file(LogState &st)
{
    close_fd(st.log_fd);
    if (st.log_path.empty()) {
        st.default_dest &= ~LOG_DEST_FILE;
        return false;
    }
    mode_t old_mask = umask(0);
    int fd = ::open(st.log_path.c_str(), O_RDWR | O_CREAT | O_APPEND | O_CLOEXEC,
                    0666);
    umask(old_mask);
    if (fd < 0) {
        st.default_dest &= ~LOG_DEST_FILE;
        return false;
    }
    st.log_fd = fd;
    return true;
}

/*
 * Opens the console for writing. Without O_CREAT (a platform without
 * /dev/console must not get a plain file of that name) and without
 * becoming the controlling terminal.
 */
void open_console(LogState &st)
{
    close_fd(st.console_fd);
    int fd = ::open("/dev/console", O_WRONLY | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) {
        std::fprintf(stderr, "Error %d while opening console.\n", errno);
        st.default_dest &= ~LOG_DEST_CONSOLE;
        return;
    }
    st.console_fd = fd;
}

/* The header that begins every line of the log file. */
std::string line_header(int level)
{
    long offset = al_tz_standard_offset();
    std::time_t now = std::time(nullptr);
    struct tm local {};
    if (const struct tm *converted = trel_localtime(&now))
        local = *converted;
    std::string header =
        format("%04d-%02d-%02d[%02d:%02d:%02d(UTC%+03d:%02d)]:%c:",
               local.tm_year + 1900, local.tm_mon + 1, local.tm_mday,
               local.tm_hour, local.tm_min, local.tm_sec,
               static_cast<int>(offset / 3600),
               static_cast<int>(std::labs(offset % 3600) / 60),
               level_letter(level));
    header += safe(get_trel_user());
    header += ": ";
    return header;
}

/* log_write: the text with line headers, to the log file and console. */
int write_text(LogState &st, std::string_view text)
{
    if (st.enable_state == 1 || text.empty())
        return 0;
    int dest = current_dest(st);
    bool to_file = (dest & LOG_DEST_FILE) != 0 && st.log_fd >= 0;
    bool to_console = (dest & LOG_DEST_CONSOLE) != 0 && st.console_fd >= 0;
    if (!to_file && !to_console)
        return 0;
    std::string out;
    out.reserve(text.size() + 128);
    std::string header;
    size_t pos = 0;
    while (pos < text.size()) {
        if (st.header_due) {
            if (header.empty())
                header = line_header(st.level);
            out += header;
            st.header_due = false;
        }
        size_t nl = text.find('\n', pos);
        size_t end = nl == std::string_view::npos ? text.size() : nl + 1;
        out.append(text.substr(pos, end - pos));
        pos = end;
        if (nl != std::string_view::npos)
            st.header_due = true;
    }
    int rc = 0;
    if (to_file && !write_all(st.log_fd, out))
        rc = -1;
    if (to_console && !write_all(st.console_fd, out))
        rc = -1;
    return rc;
}

void unlock_log_file(LogState &st)
{
    if (st.file_locked && st.log_fd >= 0)
        lock_handling(2, st.log_fd, 1);
    st.file_locked = false;
}

/*
 * Takes the log file lock and rotates the file when it has reached
 * log_size kilobytes. Returns 0 with the lock taken (or given up after its
 * tries), -1 when the block must be abandoned, 1 when the reopened log
 * file could not be opened (the log-file destination is gone).
 */
int lock_and_rotate(LogState &st)
{
    for (int round = 0;; ++round) {
        lock_handling(1, st.log_fd, 1);
        st.file_locked = true;
        off_t size = ::lseek(st.log_fd, 0, SEEK_END);
        long long limit = static_cast<long long>(user_info.log_size) * 1024;
        if (user_info.log_size <= 0 || size < limit || round >= kMaxRotations)
            return 0;
        struct stat by_path {};
        struct stat by_fd {};
        if (::stat(st.log_path.c_str(), &by_path) != 0) {
            unlock_log_file(st);
            return -1;
        }
        bool same = false;
        if (::fstat(st.log_fd, &by_fd) == 0)
            same = by_path.st_dev == by_fd.st_dev && by_path.st_ino == by_fd.st_ino;
        else if (errno != ENOENT) {
            unlock_log_file(st);
            return -1;
        }
        /* Another process may have rotated already: then only reopen. */
        if (same && std::rename(st.log_path.c_str(), st.olg_path.c_str()) != 0)
            return 0; /* keep writing into the large file */
        unlock_log_file(st);
        close_fd(st.log_fd);
        if (!open_log_file(st))
            return 1;
    }
}

void write_line(LogState &st, const std::string &line)
{
    write_text(st, line);
}

int start_block(LogState &st, const char *file, int line, const char *component,
                int flags, int saved_errno)
{
    int dest = compute_dest(st, flags);
    bool want_file = (dest & LOG_DEST_FILE) != 0;
    bool want_console = (dest & LOG_DEST_CONSOLE) != 0;
    if (!want_file && !want_console)
        return -1;
    if ((want_file && st.log_fd < 0) || (want_console && st.console_fd < 0))
        return -1;
    if (want_file) {
        int rc = lock_and_rotate(st);
        if (rc < 0)
            return -1;
        if (rc > 0) {
            dest &= ~LOG_DEST_FILE;
            if (!want_console)
                return -1;
        }
    }
    st.in_block = true;
    st.block_dest = dest;
    st.level = flags & kLevelBits;

    write_line(st, format("\n******* S T A R T of %s message *******\n",
                          level_word(st.level)));
    write_line(st, format("Log message called from %s: #%d keyword: %s\n",
                          safe(file), line, safe(component)));
    write_line(st, format("Pid %d Uid %d Euid %d Gid %d Egid %d Pset %s\n",
                          static_cast<int>(getpid()), static_cast<int>(getuid()),
                          static_cast<int>(geteuid()), static_cast<int>(getgid()),
                          static_cast<int>(getegid()), log_get_process_set()));
    const char *tty = safe(get_tty_name());
    const char *locale = tss_hooks.locale != nullptr ? safe(tss_hooks.locale()) : "";
    const char *charset = tss_hooks.charset != nullptr ? safe(tss_hooks.charset()) : "";
    write_line(st, format("user_type %c language %c user_name %s tty %s locale %s/%s\n",
                          user_info.usertype, user_info.language,
                          safe(get_trel_user()), tty, locale, charset));
    if (st.extra_info != nullptr && user_info.use_extra_logging != 0) {
        static char extra[LOG_MESG_SIZE];
        std::memset(extra, 0, sizeof extra);
        st.extra_info(extra, static_cast<int>(sizeof extra));
        extra[sizeof extra - 1] = '\0';
        if (extra[0] != '\0')
            write_text(st, extra);
    }
    int tdb_code = tdb_errno_now(st);
    const char *tdb_text = tdb_errno_text(st, tdb_code);
    write_line(st, format("Errno %d%s%s%s tdb_errno %d%s\n", saved_errno,
                          saved_errno != 0 ? " (" : "",
                          saved_errno != 0 ? std::strerror(saved_errno) : "",
                          saved_errno != 0 ? ")" : "", tdb_code,
                          tdb_text[0] != '\0' ? format(" (%s)", tdb_text).c_str()
                                              : ""));
    return 0;
}

int stop_block(LogState &st)
{
    if (!st.in_block)
        return 0;
    write_line(st, format("\n******* E N D of %s message *******\n",
                          level_word(st.level)));
    unlock_log_file(st);
    st.in_block = false;
    st.block_dest = st.default_dest;
    st.level = 0;
    return 0;
}

/* The resource log_errorhook: a command run for every message. */
void run_error_hook(const LogState &st, const char *file, int line,
                    const char *component, int saved_errno, const char *message)
{
    const char *hook = user_info.log_errorhook;
    if (hook == nullptr || hook[0] == '\0')
        return;
    std::string command =
        format("'%s' '%s' '%s' %d '%s' %s %d %d %s %d %d '%s'", hook,
               st.progname.c_str(), safe(file), line, safe(component),
               safe(get_trel_user()), static_cast<int>(getuid()),
               static_cast<int>(getpid()), log_get_process_set(), saved_errno,
               tdb_errno_now(st), message);
    std::fflush(nullptr);
    if (std::system(command.c_str()) == -1) {
        /* The hook is advisory; a failure to start it is not reported. */
    }
}

/* "program: message" on standard error or output, with the errno text. */
void print_line(const LogState &st, FILE *out, int dest, int saved_errno,
                const char *converted)
{
    std::fprintf(out, "%s: %s", st.progname.c_str(), converted);
    if ((dest & LOG_ERRNO) != 0 && saved_errno != 0)
        std::fprintf(out, " - error %d (%s)\n", saved_errno,
                     std::strerror(saved_errno));
    else
        std::fputc('\n', out);
}

void start_up(const char *prog, int dest, bool reset_paths, bool user_required)
{
    LogState &st = state();
    st.default_dest = dest;
    BaseInit(prog);
    st.progname = safe(BasePrognameGet());
    if (st.progname.empty())
        st.progname = "UNKNOWN";
    init_default_al_text();
    if (!st.emergency_registered) {
        st.emergency_registered = true;
        add_emergency(log_crash_notification, 0);
    }

    std::string dir = log_directory();
    if (reset_paths || st.log_path.empty())
        st.log_path = format("%s/log.%s", dir.c_str(), st.progname.c_str());
    if (reset_paths || st.olg_path.empty())
        st.olg_path = format("%s/olg.%s", dir.c_str(), st.progname.c_str());

    if (dest & LOG_DEST_FILE)
        open_log_file(st);
    if (dest & LOG_DEST_CONSOLE)
        open_console(st);

    int known = initUsernames(user_required ? 1 : 0);
    if (tss_hooks.initialize != nullptr)
        tss_hooks.initialize(0);
    if (user_required && known == 0 && safe(get_trel_user())[0] == '\0') {
        log_mesg(kThisFile, __LINE__, "log_set_progname", 0,
                 "Could not find Trel user name; exiting.");
        std::exit(1);
    }
}

} // namespace

/* ---- start-up and names ------------------------------------------------ */

void log_set_progname(const char *prog, int dest)
{
    start_up(prog, dest, false, true);
}

void log_set_progname_ex(const char *prog, int dest, int reset_paths)
{
    start_up(prog, dest, reset_paths != 0, true);
}

void log_set_progname_no_tse(const char *prog, int dest)
{
    start_up(prog, dest, false, false);
}

const char *log_get_progname(void)
{
    return state().progname.c_str();
}

const char *log_get_process_set(void)
{
    return safe(BaseProcessSetGet());
}

void log_set_path(const char *path)
{
    if (path != nullptr && path[0] != '\0')
        state().log_path = path;
}

void olg_set_path(const char *path)
{
    if (path != nullptr && path[0] != '\0')
        state().olg_path = path;
}

int log_set_dest(int dest)
{
    LogState &st = state();
    int previous = st.default_dest;
    st.default_dest = dest;
    return previous;
}

/* ---- reporting --------------------------------------------------------- */

int log_mesg(const char *file, int line, const char *component, int flags,
             const char *fmt, ...)
{
    LogState &st = state();
    if (st.busy != 0 || st.enable_state == 1)
        return 0;
    if (st.lock != nullptr)
        st.lock();
    ++st.busy;
    int saved_errno = errno;
    int dest = compute_dest(st, flags);

    /* Static buffers: the busy counter keeps them to one message. */
    static char message[LOG_MESG_SIZE];
    static char converted[LOG_MESG_SIZE];
    va_list ap;
    va_start(ap, fmt);
    format_message(message, sizeof message, fmt, ap);
    va_end(ap);
    size_t len = std::strlen(message);
    if (len > 0 && message[len - 1] == '\n')
        message[len - 1] = '\0';
    ConvertTssLogString(message, converted, -1, static_cast<int>(sizeof converted));

    run_error_hook(st, file, line, component, saved_errno, message);
    if ((dest & LOG_HOOK) != 0 && st.hook != nullptr)
        st.hook(message);
    if (dest & LOG_DEST_STDERR)
        print_line(st, stderr, dest, saved_errno, converted);
    if (dest & LOG_DEST_STDOUT)
        print_line(st, stdout, dest, saved_errno, converted);

    bool want_file = (dest & LOG_DEST_FILE) != 0;
    bool want_console = (dest & LOG_DEST_CONSOLE) != 0;
    bool missing = (want_file && st.log_fd < 0) || (want_console && st.console_fd < 0);
    if (!missing && (want_file || want_console) &&
        start_block(st, file, line, component, flags, saved_errno) == 0) {
        write_text(st, "Log_mesg: ");
        write_text(st, converted);
        stop_block(st);
    }

    errno = saved_errno;
    st.busy = 0;
    return st.unlock != nullptr ? st.unlock() : 0;
}

int log_printf(const char *fmt, ...)
{
    LogState &st = state();
    if (st.enable_state == 1)
        return 0;
    int saved_errno = errno;
    static char text[LOG_MESG_SIZE];
    static char converted[LOG_MESG_SIZE];
    va_list ap;
    va_start(ap, fmt);
    format_message(text, sizeof text, fmt, ap);
    va_end(ap);
    ConvertTssLogString(text, converted, -1, static_cast<int>(sizeof converted));
    int dest = current_dest(st);
    if (dest & LOG_DEST_STDERR)
        std::fputs(converted, stderr);
    if (dest & LOG_DEST_STDOUT)
        std::fputs(converted, stdout);
    write_text(st, converted);
    errno = saved_errno;
    return 0;
}

int log_start_mesg(const char *file, int line, const char *component, int flags)
{
    int saved_errno = errno;
    int rc = start_block(state(), file, line, component, flags, saved_errno);
    errno = saved_errno;
    return rc;
}

int log_stop_mesg(void)
{
    int saved_errno = errno;
    int rc = stop_block(state());
    errno = saved_errno;
    return rc;
}

int log_write(const char *text)
{
    if (text == nullptr)
        return 0;
    int saved_errno = errno;
    int rc = write_text(state(), text);
    errno = saved_errno;
    return rc;
}

/* ---- switches and callbacks -------------------------------------------- */

void al_enable_log_mesg(void)
{
    LogState &st = state();
    if (st.enable_state != -1)
        st.enable_state = 0;
}

void al_disable_log_mesg(void)
{
    LogState &st = state();
    if (st.enable_state != -1)
        st.enable_state = 1;
}

void al_log_enable_all(void)
{
    state().enable_state = -1;
}

void log_mesg_set_lock_unlock(log_lock_fn lock, log_lock_fn unlock)
{
    LogState &st = state();
    st.lock = lock;
    st.unlock = unlock;
}

log_hook_fn log_set_hook(log_hook_fn hook)
{
    LogState &st = state();
    log_hook_fn previous = st.hook;
    st.hook = hook;
    return previous;
}

log_hook_fn log_set_log_hook(log_hook_fn hook)
{
    LogState &st = state();
    log_hook_fn previous = log_set_hook(hook);
    if (hook != nullptr)
        st.default_dest |= LOG_HOOK;
    else
        st.default_dest &= ~LOG_HOOK;
    return previous;
}

void SetExtraLogInfoCallBack(log_extra_info_fn callback)
{
    state().extra_info = callback;
}

void log_no_default_mail(void)
{
    state().no_mail = true;
}

void log_set_tdb_errno_source(int (*get)(void), const char *(*text)(int code))
{
    LogState &st = state();
    st.tdb_errno_get = get;
    st.tdb_errno_text = text;
}

/* ---- crash notification ------------------------------------------------ */

/* No stack trace is produced: the mail carries none. */
void log_crash_notification(int /*arg*/)
{
    LogState &st = state();
    if (st.no_mail)
        return;
    const char *command = user_info.log_mailcmd;
    if (command == nullptr || command[0] == '\0')
        return;
    std::fflush(nullptr);
    FILE *mail = ::popen(command, "w");
    if (mail == nullptr)
        return;
    char cwd[4096];
    if (::getcwd(cwd, sizeof cwd) == nullptr)
        cwd[0] = '\0';
    std::fprintf(mail, "Subject: %s crashed.\n", st.progname.c_str());
    std::fprintf(mail, "Current directory is %s\n\n", cwd);
    std::fputs("(default mail message)\n", mail);
    ::pclose(mail);
}

/* ---- standard error for tracing ---------------------------------------- */

int redirect_stderr_for_trace(const char *path, const char *mode)
{
    LogState &st = state();
    if (path == nullptr) {
        if (st.trace_file == nullptr)
            return 0;
        std::fflush(stderr);
        if (st.saved_stderr >= 0) {
            ::dup2(st.saved_stderr, STDERR_FILENO);
            close_fd(st.saved_stderr);
        }
        int rc = std::fclose(st.trace_file) == 0 ? 0 : errno;
        st.trace_file = nullptr;
        return rc;
    }
    FILE *file = std::fopen(path, mode != nullptr ? mode : "w");
    if (file == nullptr)
        return errno;
    std::setvbuf(file, nullptr, _IONBF, 0);
    std::fflush(stderr);
    if (st.saved_stderr < 0)
        st.saved_stderr = ::fcntl(STDERR_FILENO, F_DUPFD_CLOEXEC, 3);
    if (::dup2(::fileno(file), STDERR_FILENO) < 0) {
        int err = errno;
        std::fclose(file);
        return err;
    }
    if (st.trace_file != nullptr)
        std::fclose(st.trace_file);
    st.trace_file = file;
    return 0;
}

/* ---- text conversion --------------------------------------------------- */

void log_set_tss_hooks(const struct log_tss_hooks *hooks)
{
    tss_hooks = hooks != nullptr ? *hooks : log_tss_hooks{};
}

/*
 * Converts a message for the log through the character-set layer (to the
 * native character set or UTF-8). Without that layer the text is copied
 * unchanged; a four-byte character (lead byte 0x9B) is never cut by the
 * bound.
 */
int ConvertTssLogString(const char *in, char *out, int in_len, int out_len)
{
    if (out == nullptr || out_len < 1)
        return -1;
    if (tss_hooks.convert != nullptr && in != nullptr) {
        int length = in_len < 0 ? static_cast<int>(std::strlen(in)) : in_len;
        return tss_hooks.convert(in, out, length, out_len);
    }
    if (in == nullptr) {
        out[0] = '\0';
        return 0;
    }
    size_t length = in_len < 0 ? std::strlen(in) : static_cast<size_t>(in_len);
    size_t room = static_cast<size_t>(out_len) - 1;
    size_t n = 0;
    while (n < length && in[n] != '\0') {
        size_t step = static_cast<unsigned char>(in[n]) == 0x9B ? 4 : 1;
        if (n + step > room || n + step > length)
            break;
        n += step;
    }
    std::memcpy(out, in, n);
    out[n] = '\0';
    return static_cast<int>(n);
}

/* ---- the file lock ----------------------------------------------------- */

int lock_handling(int type, int fd, int warn)
{
    if (type != 1 && type != 2) {
        errno = EINVAL;
        return -1;
    }
    struct flock lock {};
    lock.l_type = type == 1 ? F_WRLCK : F_UNLCK;
    lock.l_whence = SEEK_SET;
    lock.l_start = 0;
    lock.l_len = 0;
    for (int attempt = 1;; ++attempt) {
        if (::fcntl(fd, F_SETLK, &lock) == 0)
            return 0;
        int err = errno;
        if (err == EACCES || err == EAGAIN) {
            if (attempt >= kLockTries) {
                errno = err;
                return 1; /* go on without the lock */
            }
            ::sleep(1);
            continue;
        }
        std::fprintf(stderr, "\x07\rlock problem; lock type %d errno %d: ", type,
                     err);
        errno = err;
        std::perror("lock_handling");
        if (warn)
            std::fputs("WARNING: log file may be in disarray\n", stderr);
        errno = err;
        return -1;
    }
}
