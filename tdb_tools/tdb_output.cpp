/*
 * tdb_output.cpp: the tool's screen table on standard error.
 *
 * tdb_mess keeps curr_pos, the column where the next text starts on the
 * current line, and pads with blanks up to the requested column; a text is
 * never moved left, so texts that follow each other on one line are simply
 * appended. The progress counters print eight backspaces and "%8d": the
 * net position of the line does not change, so curr_pos stays right
 * without knowing about them.
 */
#include "tdb_output.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "al_log.h"

static int gSuppressMessages = 0;
static int curr_pos = 0;

/* The source of padding: at most 46 blanks are ever printed at once. */
static const char sSpaces[] = "                                              ";
static_assert(sizeof(sSpaces) - 1 == 46, "the padding source is 46 blanks");

int tdb_mess(int column, int newline, const char *fmt, ...)
{
    if (gSuppressMessages)
        return 0;

    char text[1024];
    va_list ap;
    va_start(ap, fmt);
    std::vsnprintf(text, sizeof text, fmt, ap);
    va_end(ap);

    int target = column > curr_pos ? column : curr_pos;
    int pad = target - curr_pos;
    int rc;
    if (newline) {
        rc = std::fprintf(stderr, "%.*s%s\n", pad, sSpaces, text);
        curr_pos = 0;
    } else {
        rc = std::fprintf(stderr, "%.*s%s", pad, sSpaces, text);
        curr_pos = target + static_cast<int>(std::strlen(text));
    }
    return rc;
}

int std_err(const char *fmt, ...)
{
    if (gSuppressMessages)
        return 0;
    va_list ap;
    va_start(ap, fmt);
    int rc = std::vfprintf(stderr, fmt, ap);
    va_end(ap);
    return rc;
}

void counter(int count)
{
    if (gSuppressMessages)
        return;
    std_err("\b\b\b\b\b\b\b\b%8d", count);
    std::fflush(stderr);
}

/* Prints "<program>: <severity>: '<text>'" from a format and its arguments. */
static void print_severity(const char *severity, const char *fmt, va_list ap)
{
    char text[256];
    std::vsnprintf(text, sizeof text, fmt, ap);
    std::fprintf(stderr, "%s: %s: '%s'\n", log_get_progname(), severity, text);
}

void fatal(const char *fmt, ...)
{
    if (!gSuppressMessages) {
        va_list ap;
        va_start(ap, fmt);
        print_severity("FATAL ERROR", fmt, ap);
        va_end(ap);
    }
    std::exit(1);
}

void warning(const char *fmt, ...)
{
    if (gSuppressMessages)
        return;
    va_list ap;
    va_start(ap, fmt);
    print_severity("WARNING", fmt, ap);
    va_end(ap);
}

void tdb_mess_suppress(void)
{
    gSuppressMessages = 1;
}

void print_db(void)
{
    if (gSuppressMessages)
        return;
    std::printf(" -d : Database Driver type \n");
    std::printf("      O(racle) I(nformix)\n");
    std::printf("      S(ybase) D(B2) M(SQL-Server) N(onStop SQL)\n");
    std::printf("      <host>  - remote system (name is <host>)\n");
    std::printf("      <driver>[<spec>]  - driver name [ specification ]\n");
}

void TSS_err_handler(int level, const char *message)
{
    /* The log names this handler's place in the source by a fixed line. */
    log_mesg("tdb_tools/tdb_output", 125, "TSS", 0, "%s", message);
    if (level == 1)
        std::exit(1);
}

int tdb_output_curr_pos(void)
{
    return curr_pos;
}

void tdb_output_reset(void)
{
    gSuppressMessages = 0;
    curr_pos = 0;
}
