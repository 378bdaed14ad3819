/*
 * tdb_dump.cpp: dump files of the reconfiguration tool. Writes and reads
 * one dump at a time record by record, splits it into a sequence of files
 * of bounded size, marks a finished dump valid, checks and removes dumps.
 * The file layouts are described in tdb_dump.h.
 *
 * Every failure that loses the stream closes the current file and resets
 * the module state (init_dump_variables), so the caller can start over.
 */
#include "tdb_dump.h"

#include <sys/stat.h>
#include <sys/time.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

#include "al_stream.h"
#include "tdb_output.h"

/* Set by the tool: text dumps without timestamp line are accepted. */
extern int pellano_compatibility;

/* ---- module state -------------------------------------------------------- */

#define DUMP_MAX_NAME 1024
#define DUMP_RECBUF_SIZE 61440
#define TIMESTAMP_LINE_LEN 24 /* with its line feed */

static const char timestamp_fmt[] = "%04d-%02d-%02d %02d:%02d:%02d.%03d\n";
static const char timestamp_msk[] = "0000-00-00 00:00:00.000";
static const char pre_header[] = "#$!pre-dump!$#";
static const char pre_options_fmt[] = "%04d%02x%c";
static_assert(sizeof(timestamp_msk) - 1 == TIMESTAMP_LINE_LEN - 1,
              "the timestamp line is 23 characters and a line feed");
static_assert(sizeof(pre_header) - 1 == 14, "the pre-header marker is 14 bytes");

static STREAM *Dump_sp = nullptr;
static int DumpType = 0; /* 0 standard input/output, 1 a named file */
static std::string Dump_base_name;
static std::string Dump_open_mode;
static int Dump_caller_type = 0;
static int Max_dump_size = DUMP_MAX_SIZE;
static int Cur_dump_size = 0;
static int Dumps_cur_seq_nr = 0;
static int Dumps_highest_seq_nr = 0;
static int Read_from_curr_dump = 0;
static int Dump_compatmode = 0;
static int Buffered_line = 0;
static char recbuf[DUMP_RECBUF_SIZE];
static char timestamp[100];

/* Progress over a sequence (init_dump_progress). */
static int progress_files = 0;
static double progress_mean_size = 0;
static double progress_last_size = 0;
static double progress_last_share = 0;
static double progress_other_share = 0;

static void init_dump_variables(void)
{
    Dump_sp = nullptr;
    DumpType = 0;
    Dump_base_name.clear();
    Dump_open_mode.clear();
    Dump_caller_type = 0;
    Max_dump_size = DUMP_MAX_SIZE;
    Cur_dump_size = 0;
    Dumps_cur_seq_nr = 0;
    Dumps_highest_seq_nr = 0;
    Read_from_curr_dump = 0;
    Dump_compatmode = 0;
    Buffered_line = 0;
    recbuf[0] = '\0';
    timestamp[0] = '\0';
    progress_files = 0;
}

/* Closes the open file (if any) and forgets the dump. */
static void close_and_reset(void)
{
    if (Dump_sp != nullptr) {
        int saved = errno;
        sclose(Dump_sp);
        errno = saved;
    }
    init_dump_variables();
}

static bool is_binary(void)
{
    return (Dump_caller_type & DUMP_BINARY) != 0;
}

static bool has_validity_byte(void)
{
    return (Dump_caller_type & DUMP_VALIDITY) != 0;
}

/* The name of file k of the sequence: the base name, then "%s.%d". */
static std::string sequence_name(const std::string &base, int k)
{
    if (k == 0)
        return base;
    return base + "." + std::to_string(k);
}

/* Whether a line is a timestamp line: 23 characters matching the mask. */
static bool is_timestamp_line(const char *line)
{
    if (std::strlen(line) != sizeof(timestamp_msk) - 1)
        return false;
    for (size_t i = 0; timestamp_msk[i] != '\0'; ++i) {
        if (timestamp_msk[i] == '0') {
            if (line[i] < '0' || line[i] > '9')
                return false;
        } else if (line[i] != timestamp_msk[i]) {
            return false;
        }
    }
    return true;
}

/* Forms the timestamp line of now (all fields 0 without a clock). */
static void form_timestamp(void)
{
    struct timeval tv;
    struct tm tm {};
    if (gettimeofday(&tv, nullptr) != 0 ||
        localtime_r(&tv.tv_sec, &tm) == nullptr) {
        std::snprintf(timestamp, sizeof timestamp, timestamp_fmt, 0, 0, 0, 0,
                      0, 0, 0);
        return;
    }
    std::snprintf(timestamp, sizeof timestamp, timestamp_fmt,
                  tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday, tm.tm_hour,
                  tm.tm_min, tm.tm_sec, static_cast<int>(tv.tv_usec / 1000));
}

/* Closes the current file and opens file Dumps_cur_seq_nr + 1. */
static bool open_next_file(void)
{
    sclose(Dump_sp);
    Dump_sp = nullptr;
    ++Dumps_cur_seq_nr;
    Read_from_curr_dump = 0;
    std::string next = sequence_name(Dump_base_name, Dumps_cur_seq_nr);
    Dump_sp = sopen(next.c_str(), Dump_open_mode.c_str());
    return Dump_sp != nullptr;
}

/* ---- opening ------------------------------------------------------------- */

int open_dump(const char *name, const char *mode, int max_size,
              int caller_type)
{
    if (name == nullptr || mode == nullptr ||
        std::strlen(name) > DUMP_MAX_NAME || max_size < 0 ||
        caller_type < 1 || caller_type > 5 || Dump_sp != nullptr)
        return 0;

    init_dump_variables();
    STREAM *sp;
    int type;
    if (std::strcmp(name, DUMP_STDOUT_NAME) == 0) {
        sp = sdopen(1, "w");
        type = 0;
    } else if (std::strcmp(name, DUMP_STDIN_NAME) == 0) {
        sp = sdopen(0, "r");
        type = 0;
    } else {
        sp = sopen(name, mode);
        type = 1;
    }
    if (sp == nullptr)
        return 0;

    Dump_sp = sp;
    DumpType = type;
    Dump_base_name = name;
    Dump_open_mode = mode;
    Max_dump_size = max_size;
    Dump_caller_type = caller_type;

    if (is_binary())
        return 1;

    if (mode[0] != 'r') {
        form_timestamp();
        if (swrite_blok(timestamp, TIMESTAMP_LINE_LEN, Dump_sp) !=
            TIMESTAMP_LINE_LEN) {
            close_and_reset();
            return 0;
        }
        Cur_dump_size = TIMESTAMP_LINE_LEN;
        return 1;
    }

    if (sgets(recbuf, sizeof recbuf, Dump_sp) == nullptr) {
        close_and_reset(); /* an empty file */
        return 0;
    }
    if (is_timestamp_line(recbuf)) {
        std::memcpy(timestamp, recbuf, TIMESTAMP_LINE_LEN - 1);
        timestamp[TIMESTAMP_LINE_LEN - 1] = '\0';
        return 1;
    }
    if (pellano_compatibility) {
        Dump_compatmode = 1;
        if (DumpType == 1) {
            if (sseek(Dump_sp, 0, 0) < 0) {
                close_and_reset();
                return 0;
            }
        } else {
            Buffered_line = 1;
        }
        return 2;
    }
    tdb_mess(0, 1, "Timestamp incorrect or failing for '%s' (dump ignored)",
             name);
    close_and_reset();
    return 0;
}

void close_dump(void)
{
    close_and_reset();
}

/* ---- writing ------------------------------------------------------------- */

int write_to_dump(const void *buffer, int length)
{
    if (Dump_sp == nullptr || length < 1)
        return 0;

    if (DumpType == 1 &&
        static_cast<long long>(Cur_dump_size) + length > Max_dump_size) {
        if (!open_next_file()) {
            close_and_reset();
            return 0;
        }
        Cur_dump_size = 0;
        if (!is_binary()) {
            if (swrite_blok(timestamp, TIMESTAMP_LINE_LEN, Dump_sp) !=
                TIMESTAMP_LINE_LEN) {
                close_and_reset();
                return 0;
            }
            Cur_dump_size = TIMESTAMP_LINE_LEN;
        }
    }

    if (is_binary() && has_validity_byte() && Cur_dump_size == 0) {
        const unsigned char writing = DUMP_BYTE_WRITING;
        if (swrite_blok(&writing, 1, Dump_sp) != 1) {
            close_and_reset();
            return 0;
        }
        Cur_dump_size = 1;
    }

    if (swrite_blok(buffer, length, Dump_sp) != length) {
        close_and_reset();
        return 0;
    }
    Cur_dump_size += length;
    Dumps_highest_seq_nr = Dumps_cur_seq_nr;
    return 1;
}

int mark_dump_oke(void)
{
    if (Dump_sp == nullptr || !has_validity_byte())
        return 0;
    if (sclose(Dump_sp) != 0) {
        Dump_sp = nullptr;
        close_and_reset();
        return 0;
    }
    Dump_sp = nullptr;

    const unsigned char valid = DUMP_BYTE_VALID;
    for (int k = 0; k <= Dumps_highest_seq_nr; ++k) {
        std::string name = sequence_name(Dump_base_name, k);
        STREAM *sp = sopen(name.c_str(), "r+");
        if (sp == nullptr) {
            close_and_reset();
            return 0;
        }
        bool ok = sseek(sp, 0, 0) == 0 && swrite_blok(&valid, 1, sp) == 1 &&
                  sflush(sp) == 0;
        Dump_sp = sp;
        Dumps_cur_seq_nr = k;
        if (!ok) {
            close_and_reset();
            return 0;
        }
        if (k < Dumps_highest_seq_nr) {
            sclose(sp);
            Dump_sp = nullptr;
        }
    }
    return 1;
}

/* ---- checking and reading ------------------------------------------------ */

/* Reads the validity byte at the start of the current file: 0xFF or not. */
static bool check_cur_sequence(void)
{
    unsigned char byte = 0;
    if (sread_blok(&byte, 1, Dump_sp) != 1)
        return false;
    Read_from_curr_dump = 1;
    return byte == DUMP_BYTE_VALID;
}

int check_dump(void)
{
    if (Dump_sp == nullptr || Dumps_cur_seq_nr != 0 || !has_validity_byte())
        return 0;
    for (;;) {
        if (!check_cur_sequence())
            return 0;
        if (!open_next_file()) {
            if (errno != ENOENT) {
                close_and_reset();
                return 0;
            }
            /* The sequence is complete: back to the start of file 0. */
            Dumps_cur_seq_nr = 0;
            Read_from_curr_dump = 0;
            Dump_sp = sopen(Dump_base_name.c_str(), Dump_open_mode.c_str());
            if (Dump_sp == nullptr) {
                close_and_reset();
                return 0;
            }
            return 1;
        }
    }
}

/*
 * Reads one record from the current file. 1 a record, 0 the file ended
 * before it (nothing read), -1 failure (the dump is closed).
 * A record cut short by the end of a file is a failure: a valid dump never
 * ends in a partial record, so such a file was damaged after it was written.
 */
static int read_record(void *buffer, int length, bool by_count)
{
    if (is_binary()) {
        if (has_validity_byte() && !Read_from_curr_dump &&
            !check_cur_sequence()) {
            close_and_reset();
            return -1;
        }
        Read_from_curr_dump = 1;
        int n = sread_blok(buffer, length, Dump_sp);
        if (n == length)
            return 1;
        if (n <= 0)
            return 0;
        close_and_reset();
        errno = EIO;
        return -1;
    }

    Read_from_curr_dump = 1;
    char *out = static_cast<char *>(buffer);
    if (Buffered_line) {
        Buffered_line = 0;
        std::snprintf(out, static_cast<size_t>(length), "%s", recbuf);
        return 1;
    }
    if (by_count) {
        int n = sread_blok(out, length, Dump_sp);
        if (n > 0) {
            out[n] = '\0';
            return 1;
        }
    } else if (sgets(out, length, Dump_sp) != nullptr) {
        return 1;
    }
    if (seof(Dump_sp))
        return 0;
    close_and_reset();
    return -1;
}

static int read_next(void *buffer, int length, bool by_count)
{
    if (Dump_sp == nullptr || length < 0)
        return 0;
    if (length == 0)
        return 1;

    int rc = read_record(buffer, length, by_count);
    if (rc == 1)
        return 1;
    if (rc < 0)
        return 0;

    /* The current file has ended. */
    if (DumpType == 0)
        return -1;
    if (!open_next_file()) {
        int missing = errno == ENOENT;
        close_and_reset();
        if (missing) {
            errno = 0;
            return -1;
        }
        return 0;
    }
    if (!is_binary() && !Dump_compatmode) {
        char line[sizeof timestamp];
        if (sgets(line, sizeof line, Dump_sp) == nullptr ||
            std::strcmp(line, timestamp) != 0) {
            tdb_mess(0, 1, "Timestamp incorrect for '%s' (end of dump assumed)",
                     sequence_name(Dump_base_name, Dumps_cur_seq_nr).c_str());
            return -1;
        }
    }
    rc = read_record(buffer, length, by_count);
    if (rc == 1)
        return 1;
    if (rc == 0)
        close_and_reset();
    return 0;
}

int read_from_dump(void *buffer, int length)
{
    return read_next(buffer, length, false);
}

int read_from_dump_nbytes(void *buffer, int length)
{
    return read_next(buffer, length, true);
}

/* ---- removing ------------------------------------------------------------ */

int remove_dump(const char *name)
{
    if (Dump_sp != nullptr || name == nullptr ||
        std::strlen(name) > DUMP_MAX_NAME)
        return 0;
    for (int k = 0;; ++k) {
        if (stream_unlink(sequence_name(name, k).c_str()) != 0)
            return errno == ENOENT ? 1 : 0;
    }
}

/* ---- the -M argument ----------------------------------------------------- */

int handle_seq_size_arg(const char *text)
{
    size_t len = std::strlen(text);
    char suffix = len > 0 ? text[len - 1] : '\0';
    /* strtoll saturates, so a huge number stays huge instead of wrapping. */
    long long number = std::strtoll(text, nullptr, 10);
    long long result;

    switch (suffix) {
    case 'G':
        if (number >= 3)
            return DUMP_MAX_SIZE;
        result = number * (1LL << 30);
        break;
    case 'K':
    case 'k':
        if (number >= 2097153)
            return DUMP_MAX_SIZE;
        result = number * 1024;
        break;
    case 'M':
        if (number >= 2049)
            return DUMP_MAX_SIZE;
        result = number * (1LL << 20);
        break;
    default:
        result = number;
        break;
    }
    if (result <= 0 || result > INT32_MAX)
        return DUMP_MAX_SIZE;
    return static_cast<int>(result);
}

/* ---- pre-header ---------------------------------------------------------- */

int write_pre_header(int number, int byte, int flag)
{
    if (Dump_sp == nullptr)
        return 0;
    char line[32];
    int len = std::snprintf(line, sizeof line, "%s", pre_header);
    len += std::snprintf(line + len, sizeof line - len, pre_options_fmt,
                         number, byte & 0xFF, flag ? 'f' : 'v');
    line[len++] = '\n';
    if (swrite_blok(line, len, Dump_sp) != len)
        return 0;
    Cur_dump_size += len;
    return 1;
}

int read_pre_header(int *number, int *byte, int *flag)
{
    if (Dump_sp == nullptr)
        return 0;
    char line[23]; /* at most 22 characters */
    if (sgets(line, sizeof line, Dump_sp) == nullptr)
        return 0;
    const size_t marker = sizeof(pre_header) - 1;
    if (std::strncmp(line, pre_header, marker) != 0)
        return 0;
    int n = 0;
    unsigned int b = 0;
    char letter = 0;
    if (std::sscanf(line + marker, "%4d%2x%c", &n, &b, &letter) != 3)
        return 0;
    *number = n;
    *byte = static_cast<int>(b);
    *flag = letter == 'f' ? 1 : 0;
    return 1;
}

/* ---- progress ------------------------------------------------------------ */

int init_dump_progress(void)
{
    if (Dump_sp == nullptr || DumpType != 1)
        return 0;
    double total_but_last = 0;
    double last = 0;
    int n = 0;
    for (;; ++n) {
        struct stat st;
        if (stat(sequence_name(Dump_base_name, n).c_str(), &st) != 0) {
            if (errno != ENOENT)
                return 0;
            break;
        }
        if (n > 0)
            total_but_last += last;
        last = static_cast<double>(st.st_size);
    }
    if (n == 0)
        return 0;
    progress_files = n;
    progress_last_size = last;
    if (n == 1) {
        progress_mean_size = 0;
        progress_last_share = 1;
        progress_other_share = 0;
        return 1;
    }
    progress_mean_size = total_but_last / (n - 1);
    double last_per_file = last / (n - 1);
    double denominator = progress_mean_size + last_per_file;
    progress_last_share = denominator > 0 ? last_per_file / denominator : 0;
    progress_other_share = (1 - progress_last_share) / (n - 1);
    return 1;
}

double dump_progress(void)
{
    if (Dump_sp == nullptr || progress_files == 0)
        return 0;
    long position = sseek(Dump_sp, 0, 1);
    if (position < 0)
        position = 0;
    bool last_file = Dumps_cur_seq_nr >= progress_files - 1;
    double size = last_file ? progress_last_size : progress_mean_size;
    double share = last_file ? progress_last_share : progress_other_share;
    double progress = Dumps_cur_seq_nr * progress_other_share;
    if (size > 0)
        progress += position / size * share;
    return progress > 1 ? 1 : progress;
}
