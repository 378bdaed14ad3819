/*
 * tdb_reconfig.cpp: the reconfiguration tool tdbreconfig: command line,
 * start-up, the run loop over tables and companies, report and list files,
 * and shut-down; and, in a section of its own at the end, the row
 * conversion (conversion schema, convertRow).
 *
 * main() is a checklist: pre-scan (-E, -p), API start, mode, options,
 * resources, logon, session, run loop, shut-down. Every start-up error
 * exits with 1 before the first table is touched; a failing table step
 * never stops the run.
 */
#include "tdb_reconfig.h"

#include <fcntl.h>
#include <getopt.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "al_date.h"
#include "al_env.h"
#include "al_float.h"
#include "al_log.h"
#include "al_mem.h"
#include "al_res.h"
#include "al_version.h"
#include "compnr.h"
#include "qpd_dd.h"
#include "tdb_api.h"
#include "tdb_convert.h"
#include "tdb_dump.h"
#include "tdb_output.h"
#include "tdb_placeholder.h"
#include "tdb_util.h"
#include "tss.h"

/* ---- settings of the run ------------------------------------------------ */

int pellano_compatibility = 0;
int gIgnoreErrors = 0;
const char *gFileName[2] = {nullptr, nullptr};

static const char *gProgramName = "tdbreconfig";
static int gSuppressMessages = 0;
/* The longest dump directory name (-t). */
#define MAX_DUMP_DIR_LEN 128
static char gDumpDir[MAX_DUMP_DIR_LEN + 1] = ".";
static int gMaxDumpSize = DUMP_MAX_SIZE;
static int gCommitRate = 100;
static int gCounterRate = 100;
static unsigned int gSessionId = 0;
static const char *driverType = nullptr;

/* List files: opened on the first write, an open tried only once. */
static STREAM *gStream[2] = {nullptr, nullptr};
static int gStreamTried[2] = {0, 0};

static const char reportName[] = "${TSE}/log/reconfig_report";

/* The message of the current table-and-company step. */
static char gMessageText[501];

/* Resource of the tool: rows inserted per transaction. */
static int gResCommitRate = 100;
static struct resource gResources[] = {
    {"tdbtool_commit_rate", &gResCommitRate, RES_INT, 0, "100", nullptr,
     nullptr, nullptr},
    {nullptr, nullptr, 0, 0, nullptr, nullptr, nullptr, nullptr},
};

/* Report status codes. */
static const char RSReconfOk[] = "R0";
static const char RSReconfError[] = "R1";
static const char RSReconfCreateIndexError[] = "R2";
static const char RSCheckNoReconfig[] = "C0";
static const char RSCheckError[] = "C1";
static const char RSCheckAtomicReconfig[] = "C2";
static const char RSCheckNonAtomicReconfig[] = "C3";
static const char RSCheckConvertReconfig[] = "C4";

/* Size of the mapping note of a step (a 100-character text). */
#define MAPPING_NOTE_SIZE 101

int tdbreconfig_commit_rate(void) { return gCommitRate; }
int tdbreconfig_counter_rate(void) { return gCounterRate; }
int tdbreconfig_max_dump_size(void) { return gMaxDumpSize; }
const char *tdbreconfig_dump_dir(void) { return gDumpDir; }
unsigned int tdbreconfig_session_id(void) { return gSessionId; }

void tdbreconfig_reset(void)
{
    pellano_compatibility = 0;
    gIgnoreErrors = 0;
    gFileName[0] = gFileName[1] = nullptr;
    for (int i = 0; i < 2; ++i) {
        if (gStream[i] != nullptr)
            sclose(gStream[i]);
        gStream[i] = nullptr;
        gStreamTried[i] = 0;
    }
    gSuppressMessages = 0;
    std::strcpy(gDumpDir, ".");
    gMaxDumpSize = DUMP_MAX_SIZE;
    gCommitRate = 100;
    gCounterRate = 100;
    gSessionId = 0;
    driverType = nullptr;
    gMessageText[0] = '\0';
}

/* ---- messages ----------------------------------------------------------- */

void setMessage(const char *fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    std::vsnprintf(gMessageText, sizeof gMessageText, fmt, ap);
    va_end(ap);
}

void resetMessage(void)
{
    gMessageText[0] = '\0';
}

const char *getMessage(void)
{
    return gMessageText;
}

/* Error and warning texts of the tool; silent with -s. */
static void printError(const char *fmt, ...)
    __attribute__((format(printf, 1, 2)));
static void printError(const char *fmt, ...)
{
    if (gSuppressMessages)
        return;
    va_list ap;
    va_start(ap, fmt);
    std::vfprintf(stderr, fmt, ap);
    va_end(ap);
}

static void printUsage(void)
{
    const bool compat = pellano_compatibility != 0;
    std::printf("Usage: %s [options] -N <tablename> -C <compnr>\n",
                gProgramName);
    std::printf("Options:\n");
    std::printf(" -C <compnr>      Reconfigure tables in companies <compnr>. <compnr> may be:\n");
    std::printf("                  1. List of one or more company numbers: -C 112 113 ...\n");
    std::printf("                  2. Range of company numbers: -C 112-114\n");
    std::printf(" -c               Check if reconfiguration is required\n");
    std::printf(" -E <file>        Redirect error output to <file>\n");
    if (compat)
        std::printf(" -e               File with unsuccesfully reconfigured tables\n");
    std::printf(" -I <file>        Reconfigure tables listed in file. Each line in the file must\n");
    std::printf("                  contain exactly one table name.\n");
    if (compat) {
        std::printf(" -i               Ignore errors during reconfiguration (e.g. duplicates)\n");
        std::printf("                  Warning: Ignoring errors may result in loss of data.\n");
    }
    std::printf(" -m               Ignore domain constraints\n");
    std::printf(" -M <size>        Create sequences with maximum size <size>\n");
    std::printf("                  <size> can be specified as just a number or a number\n");
    std::printf("                  followed by 'K', 'M' or 'G' for Kilo, Mega or Giga bytes\n");
    std::printf(" -N <table names> Reconfigure tables in list <table names>. For example:\n");
    std::printf("                  -N dbtst100 dbtst120\n");
    if (compat)
        std::printf(" -o               File with succesfully reconfigured tables\n");
    std::printf(" -p <pack. comb>  Use package combination <pack. comb>\n");
    if (!compat)
        std::printf(" -R <file>        Create report file\n");
    std::printf(" -r <rows/trans>  Number of inserted rows per transaction\n");
    std::printf(" -s               Suppress messages\n");
    std::printf(" -t <dir>         Use directory <dir> for dump files\n");
    std::printf(" -u/-U            Print usage information\n");
    std::printf(" -v/-V            Print version information\n");
    std::printf(" -Z               Reorganize the tables specified by the -N and -I option\n");
    if (compat)
        std::printf(" -f/-n/-O/-R/-T   Obsolete options maintained for backward interface compatibility\n");
    std::fflush(stdout);
}

/* ---- table names and company numbers ------------------------------------ */

int decodeExtendedTableName(const char *name, char *table, int *compnr,
                            int *recover)
{
    *compnr = -1;
    *recover = 0;
    size_t len = std::strlen(name);
    if (len < 8)
        return -1;
    std::memcpy(table, name, 8);
    table[8] = '\0';
    if (len == 8)
        return 0;
    if (len != 11 && len != 12)
        return -1;
    int value = 0;
    for (int i = 8; i < 11; ++i) {
        if (name[i] < '0' || name[i] > '9')
            return -1;
        value = value * 10 + (name[i] - '0');
    }
    if (len == 12) {
        if (name[11] != '+')
            return -1;
        *recover = 1;
    }
    *compnr = value;
    return 0;
}

/* Digits only, at least one; the value with a cap far above 999. */
static bool parse_digits(const char *begin, const char *end, int *value)
{
    if (begin == end)
        return false;
    long long v = 0;
    for (const char *p = begin; p != end; ++p) {
        if (*p < '0' || *p > '9')
            return false;
        if (v < 1000000)
            v = v * 10 + (*p - '0');
    }
    *value = static_cast<int>(v);
    return true;
}

bool parse_compnr(const char *text, int *value)
{
    int v;
    if (!parse_digits(text, text + std::strlen(text), &v) || v > 999)
        return false;
    *value = v;
    return true;
}

bool parse_compnr_range(const char *text, int *lo, int *hi)
{
    const char *dash = std::strchr(text, '-');
    if (dash == nullptr)
        return false;
    int l, h;
    if (!parse_digits(text, dash, &l) ||
        !parse_digits(dash + 1, text + std::strlen(text), &h))
        return false;
    if (l > 999 || h > 999 || h < l)
        return false;
    *lo = l;
    *hi = h;
    return true;
}

static int appendCompany(DsList *companies, int compnr)
{
    auto *element = static_cast<int *>(mal_allocater(sizeof(int)));
    if (element == nullptr)
        return -1;
    *element = compnr;
    if (dsListAppend(companies, element) != 0) {
        mal_free(element);
        return -1;
    }
    return 0;
}

static int appendTable(DsList *tables, const char *name)
{
    char *element = mal_strsave(name);
    if (element == nullptr)
        return -1;
    if (dsListAppend(tables, element) != 0) {
        mal_free(element);
        return -1;
    }
    return 0;
}

static int appendCompanyRange(DsList *companies, int lo, int hi)
{
    for (int c = lo; c <= hi; ++c)
        if (appendCompany(companies, c) != 0)
            return -1;
    return 0;
}

/*
 * -C: the option argument, and what follows it on the command line. Moves
 * optind past every argument taken. Returns 0, or -1 after printing the
 * error.
 */
static int handleCompanyOption(int argc, char **argv, const char *arg,
                               DsList *companies)
{
    int lo, hi;
    if (std::strchr(arg, '-') != nullptr) {
        if (!parse_compnr_range(arg, &lo, &hi)) {
            printError("Error: Invalid company number range: '%s'\n", arg);
            return -1;
        }
        return appendCompanyRange(companies, lo, hi);
    }
    if (!parse_compnr(arg, &lo)) {
        printError("Error: Invalid company number specified: '%s'\n", arg);
        return -1;
    }
    if (optind < argc && std::strcmp(argv[optind], "-") == 0) {
        if (optind + 1 >= argc) {
            printError("Error: Incomplete company number range: '%s -'\n", arg);
            return -1;
        }
        const char *upper = argv[optind + 1];
        if (!parse_compnr(upper, &hi)) {
            printError("Error: Invalid company number specified: '%s'\n",
                       upper);
            return -1;
        }
        optind += 2;
        return appendCompanyRange(companies, lo, hi);
    }
    if (appendCompany(companies, lo) != 0)
        return -1;
    while (optind < argc && argv[optind][0] != '-') {
        int value;
        if (!parse_compnr(argv[optind], &value)) {
            printError("Error: Invalid company number specified: '%s'\n",
                       argv[optind]);
            return -1;
        }
        if (appendCompany(companies, value) != 0)
            return -1;
        ++optind;
    }
    return 0;
}

/* -I: one table name per line, read in pieces of at most 63 characters. */
static int readTableFile(const char *file, DsList *tables)
{
    STREAM *sp = sopen(file, "rt");
    if (sp == nullptr) {
        printError("Error: Error reading file '%s' (errno %d)\n", file, errno);
        return -1;
    }
    char line[64];
    int rc = 0;
    while (sgets(line, sizeof line, sp) != nullptr) {
        if (appendTable(tables, line) != 0) {
            rc = -1;
            break;
        }
    }
    sclose(sp);
    return rc;
}

/* Makes file the new standard error (created anew, mode 0644). */
static int redirectStderr(const char *file)
{
    int fd = open(file, O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd < 0)
        return -1;
    if (fd != STDERR_FILENO) {
        if (dup2(fd, STDERR_FILENO) < 0) {
            int saved = errno;
            close(fd);
            errno = saved;
            return -1;
        }
        close(fd);
    }
    return 0;
}

/*
 * Pre-scan of the whole command line before option parsing: early
 * redirection of standard error (-E) and the package combination (-p),
 * which must exist as "lib/fd<release>.<comb>" under the root and is
 * exported as PACKAGE_COMB. Returns 0 or -1.
 */
static int set_package_comb(int argc, char **argv)
{
    const char *comb = nullptr;
    for (int i = 1; i < argc; ++i) {
        const char *arg = argv[i];
        if (std::strcmp(arg, "-E") == 0) {
            if (i + 1 < argc)
                (void)redirectStderr(argv[i + 1]);
        } else if (std::strncmp(arg, "-E", 2) == 0) {
            (void)redirectStderr(arg + 2);
        } else if (std::strcmp(arg, "-p") == 0) {
            if (i + 1 < argc)
                comb = argv[i + 1];
        } else if (std::strncmp(arg, "-p", 2) == 0) {
            comb = arg + 2;
        }
    }
    if (comb == nullptr)
        return 0;

    STREAM *sp = open_tse_file("lib/fd%s.%s", al_release_text(), comb);
    if (sp == nullptr) {
        tdb_mess(0, 1, "Package combination \"%s\" does not exist.", comb);
        return -1;
    }
    sclose(sp);

    /* putenv keeps the string itself, so it is never freed. */
    size_t size = std::strlen("PACKAGE_COMB=") + std::strlen(comb) + 1;
    auto *assignment = static_cast<char *>(mal_allocater(size));
    if (assignment == nullptr)
        return -1;
    std::snprintf(assignment, size, "%s%s", "PACKAGE_COMB=", comb);
    return putenv(assignment) == 0 ? 0 : -1;
}

/* ---- report and list files ---------------------------------------------- */

const char *getStatus(int runMode, int result, int alterKind)
{
    if (runMode == RUN_CHECK) {
        if (result != 0)
            return RSCheckError;
        switch (alterKind) {
        case ALTER_IN_PLACE: return RSCheckAtomicReconfig;
        case ALTER_WITH_EXPORT: return RSCheckNonAtomicReconfig;
        case ALTER_CONVERT: return RSCheckConvertReconfig;
        default: return RSCheckNoReconfig;
        }
    }
    if (result == 0)
        return RSReconfOk;
    return tdb_errno == E_TDB_CREATE_INDEX ? RSReconfCreateIndexError
                                           : RSReconfError;
}

/*
 * One report line: "%s%03d" of table and company (eleven blanks for an
 * invalid name), then the status, the error number, the mapping note and
 * the step's message. Flushed at once so an interrupted run leaves whole
 * lines.
 */
static void writeReportLine(STREAM *report, const char *table, int compnr,
                            const char *status, int error, const char *note)
{
    if (report == nullptr)
        return;
    if (table != nullptr)
        stream_printf(report, "%s%03d", table, compnr);
    else
        stream_printf(report, "%s", "           ");
    stream_printf(report, " %s %d %s%s\n", status, error, note, getMessage());
    sflush(report);
}

/* Appends an entry to list file index (0 succeeded, 1 failed). */
static void writeFile(int index, const char *fmt, ...)
    __attribute__((format(printf, 2, 3)));
static void writeFile(int index, const char *fmt, ...)
{
    if (gFileName[index] == nullptr)
        return;
    if (gStream[index] == nullptr) {
        if (gStreamTried[index])
            return;
        gStreamTried[index] = 1;
        gStream[index] = sopen(gFileName[index], "wt+");
        if (gStream[index] == nullptr) {
            printError("Cannot create file '%s' (errno %d)\n",
                       gFileName[index], errno);
            return;
        }
    }
    char text[256];
    va_list ap;
    va_start(ap, fmt);
    std::vsnprintf(text, sizeof text, fmt, ap);
    va_end(ap);
    sputs(text, gStream[index]);
    sflush(gStream[index]);
}

/* ---- the run loop ------------------------------------------------------- */

/* In compatibility mode with -i every error but a full database is ignored. */
static bool ignorableError(void)
{
    return tdb_errno != E_TDB_DB_FULL;
}

/* Whether the pair key was processed in this run; adds it when not. */
static bool fillTableCompnrList(DsList *processed, const char *key)
{
    for (void *e = dsListFirst(processed); e != nullptr;
         e = dsListNext(processed))
        if (std::strcmp(static_cast<const char *>(e), key) == 0)
            return true;
    appendTable(processed, key);
    return false;
}

struct ListDeleter {
    void operator()(DsList *list) const { destroyListAndElements(list); }
};
using OwnedList = std::unique_ptr<DsList, ListDeleter>;

struct StreamCloser {
    void operator()(STREAM *sp) const { sclose(sp); }
};
using OwnedStream = std::unique_ptr<STREAM, StreamCloser>;

int reconfigureTables(STREAM *report, DsList *tables, DsList *companies,
                      int ignoreDomain, int runMode)
{
    int overall = 0;
    OwnedList processed(dsListCreate());

    tdb_mess(0, 1, "Table       D Old      New      Messages");
    tdb_mess(0, 1, "----------- - -------- -------- ----------------------");

    /* The table procedures may walk lists of their own; take the names and
     * companies out of the lists first so no list cursor is shared. */
    std::vector<const char *> names;
    for (void *e = dsListFirst(tables); e != nullptr; e = dsListNext(tables))
        names.push_back(static_cast<const char *>(e));
    std::vector<int> listed;
    for (void *e = dsListFirst(companies); e != nullptr;
         e = dsListNext(companies))
        listed.push_back(*static_cast<int *>(e));

    for (const char *entry : names) {
        char table[9];
        int own_compnr, recover;
        if (decodeExtendedTableName(entry, table, &own_compnr, &recover) != 0) {
            setMessage("Invalid table name '%s'", entry);
            tdb_mess(32, 1, "%s", getMessage());
            writeReportLine(report, nullptr, 0, getStatus(runMode, -1, 0),
                            tdb_errno, "");
            overall = -1;
            continue;
        }

        /* The company from the name, else every company of the list. */
        const std::vector<int> own{own_compnr};
        const std::vector<int> &company_numbers = own_compnr >= 0 ? own : listed;

        for (const int logical : company_numbers) {
            char note[MAPPING_NOTE_SIZE] = "";
            int alterKind = ALTER_NONE;

            const int physical =
                compnrLogicToPhysic(compnrGetCompnrData(table), logical);
            tdb_mess(0, 0, "%s%03d", table, logical);

            if (pellano_compatibility && physical != logical) {
                setMessage("Unallowed (logical) compnr %03d (physical %03d) "
                           "for reconfig", logical, physical);
                tdb_mess(32, 1, "%s", getMessage());
                writeReportLine(report, table, logical,
                                getStatus(runMode, 0, ALTER_NONE), 0, note);
                writeFile(0, "%s%03d\n", table, logical);
                continue;
            }

            char key[16];
            std::snprintf(key, sizeof key, "%s%03d", table, physical);
            if (fillTableCompnrList(processed.get(), key)) {
                if (physical != logical)
                    setMessage("Compnr %03d mapped to %03d. %03d Already "
                               "Processed!", logical, physical, physical);
                else
                    setMessage("Already Processed!");
                tdb_mess(32, 1, "%s", getMessage());
                writeReportLine(report, table, logical,
                                getStatus(runMode, 0, ALTER_NONE), 0, note);
                continue;
            }

            /* A step starts with no message and no error, so that a report
             * line never carries the error of an earlier step. */
            resetMessage();
            tdb_errno = 0;
            if (!pellano_compatibility && physical != logical) {
                std::snprintf(note, sizeof note,
                              "Compnr %03d mapped to %03d. Processing %03d...",
                              logical, physical, physical);
                tdb_mess(32, 0, "%s", note);
            }

            int result;
            if (TableProcedureHook hook = tdb_placeholder_hook())
                result = hook(runMode, table, physical, &alterKind);
            else switch (runMode) {
            case RUN_CHECK:
                result = checkAlterTable(table, physical, ignoreDomain,
                                         &alterKind);
                break;
            case RUN_REORGANIZE:
                result = reorganizeTable(table, physical, ignoreDomain,
                                         recover);
                break;
            default:
                result = alterTable(table, physical, ignoreDomain, recover);
                break;
            }
            tdb_mess(0, 1, "%s", "");

            if (result != 0) {
                if (pellano_compatibility && gIgnoreErrors && ignorableError()) {
                    resetMessage();
                    result = 0;
                } else {
                    overall = -1;
                }
            }

            const char *status = getStatus(runMode, result, alterKind);
            if (pellano_compatibility) {
                bool succeeded =
                    std::strcmp(status, runMode == RUN_CHECK ? RSCheckNoReconfig
                                                             : RSReconfOk) == 0;
                int index = succeeded ? 0 : 1;
                if (runMode == RUN_CHECK)
                    writeFile(index, "%s\n", table);
                else
                    writeFile(index, "%s%03d\n", table, logical);
            }
            writeReportLine(report, table, logical, status, tdb_errno, note);

            if (pellano_compatibility && runMode == RUN_CHECK)
                break;
        }
    }
    return overall;
}

/* ---- table procedures: check and alter in place -------------------------- */

static const char kSourceFile[] = "tdb_tools/tdb_reconfig.cpp";

/* Table and database actions used by the procedures. */
static const int kCreateIndex = 1;

/* Writes the step's message to the log under a category. */
static void logMessage(int line, const char *category)
{
    log_mesg(kSourceFile, line, category, 0, "%s", getMessage());
}

/* Opens table in company with the row buffer row, in the tool's session.
 * On failure sets and prints "Cannot open table %s compnr %d (error %d)". */
static tdb_handle *openTable(const char *table, int compnr, unsigned char *row)
{
    tdb_handle *handle = nullptr;
    if (tdb_open(&handle, table, compnr, row, 0, gSessionId) != 0) {
        setMessage("Cannot open table %s compnr %d (error %d)", table, compnr,
                   tdb_errno);
        tdb_mess(32, 0, "%s", getMessage());
        return nullptr;
    }
    return handle;
}

/* Closes a handle keeping tdb_errno. */
static void closeTable(tdb_handle *handle)
{
    const int saved = tdb_errno;
    tdb_close(handle);
    tdb_errno = saved;
}

void createIndexes(tdb_handle *handle, const char *table, int compnr)
{
    const _dd_table *definition = ddtable(table);
    if (definition == nullptr)
        return;
    for (int i = 0; i < definition->nr_keys; i++) {
        const _dd_key &key = definition->keys[i];
        if (key.attr_a == 0)
            continue;
        int arg = key.keynr;
        if (tdb_exec_table(handle, kCreateIndex, &arg, compnr) != 0 &&
            tdb_errno != E_TDB_DUPLICATE_KEY)
            tdb_mess(32, 1, "Create index %d failed (error %d)", key.keynr,
                     tdb_errno);
    }
}

int checkAlterTable(const char *table, int compnr, int ignoreDomain,
                    int *alterKind)
{
    *alterKind = ALTER_NONE;
    /* tdb_open refuses a handle without a row buffer; the check passes no
     * rows, so the buffer is only there to satisfy it. */
    std::vector<unsigned char> row(DD_MAX_ROW);
    int result = 0;
    tdb_handle *handle = openTable(table, compnr, row.data());
    if (handle == nullptr)
        return -1;
    const int answer = tdb_alter_table(handle, static_cast<short>(compnr),
                                       ignoreDomain, TDB_ALTER_CHECK);
    closeTable(handle);
    switch (answer) {
    case TDB_ALTER_IN_PLACE:
        setMessage("Reconfiguration is required");
        *alterKind = ALTER_IN_PLACE;
        break;
    case TDB_ALTER_NOTHING:
        setMessage("No reconfiguration is required");
        *alterKind = ALTER_NONE;
        break;
    case TDB_ALTER_EXPORT:
        setMessage("Reconfiguration with export is required");
        *alterKind = ALTER_WITH_EXPORT;
        break;
    case TDB_ALTER_CONVERT:
        setMessage("Reconfiguration with export/import is required.");
        *alterKind = ALTER_CONVERT;
        break;
    default:
        setMessage("Check for reconfiguration failed (error %d)", tdb_errno);
        result = -1;
        break;
    }
    tdb_mess(32, 0, "%s", getMessage());
    return result;
}

int alterTable(const char *table, int compnr, int ignoreDomain, int recover)
{
    std::vector<unsigned char> row(DD_MAX_ROW);
    tdb_handle *handle = openTable(table, compnr, row.data());
    if (handle == nullptr)
        return -1;
    int result = 0;
    if (recover) {
        result = alterTableConvertRows(handle, table, compnr, ignoreDomain, 1);
        closeTable(handle);
        return result;
    }
    switch (tdb_alter_table(handle, static_cast<short>(compnr), ignoreDomain,
                            TDB_ALTER_ALTER)) {
    case TDB_ALTER_IN_PLACE:
    case TDB_ALTER_NOTHING:
        break;
    case TDB_ALTER_EXPORT:
        result = alterTableNotAtomic(handle, table, compnr, ignoreDomain);
        break;
    case TDB_ALTER_CONVERT:
        result = alterTableConvertRows(handle, table, compnr, ignoreDomain, 0);
        break;
    default: {
        const int error = tdb_errno;
        if (error == E_TDB_CREATE_INDEX)
            setMessage("Create indexes failed (error %d)", error);
        else
            setMessage("Reconfiguration failed (error %d)", error);
        tdb_mess(32, 0, "%s", getMessage());
        logMessage(__LINE__, "Alter Table");
        if (error == E_TDB_NO_TABLE) {
            /* Nothing is stored for the table: nothing to change. */
            tdb_errno = 0;
            break;
        }
        result = -1;
        if (error == E_TDB_CREATE_INDEX)
            break;
        /* The driver may have dropped indexes before it failed. */
        tdb_mess(32, 1, "%s", "");
        tdb_mess(32, 1, "Recreating dropped indexes ... ");
        createIndexes(handle, table, compnr);
        tdb_mess(32, 0, "done");
        tdb_errno = error;
        break;
    }
    }
    closeTable(handle);
    return result;
}

/* ---- main --------------------------------------------------------------- */

static const char kOptionsNormal[] = "C:cE:I:M:mN:p:R:r:st:uUvVZ?";
static const char kOptionsCompat[] = "C:cd:E:e:fI:iM:mN:nO:o:p:Rr:st:TuUvVZ?";

/* Logs off after a failed start-up step, reporting a failure. */
static void logoffAfterFailure(void)
{
    if (tdb_logoff() < 0)
        printError("Error: Failed to logoff from TDB (tdb_errno=%d)\n",
                   tdb_errno);
}

/* Whether the command line is a lone "-v..." or "-V..." argument. */
static bool loneVersionArgument(int argc, char **argv)
{
    return argc == 2 && argv[1][0] == '-' &&
           (argv[1][1] == 'v' || argv[1][1] == 'V');
}

static const char *baseName(const char *path)
{
    const char *slash = std::strrchr(path, '/');
    return slash != nullptr ? slash + 1 : path;
}

int tdbreconfig_main(int argc, char **argv)
{
    /* 1. A lone version argument: the fuller banner before anything else. */
    if (loneVersionArgument(argc, argv)) {
        al_print_version(stderr, baseName(argv[0]), 1);
        return 0;
    }

    /* 2. Program name. */
    gProgramName = baseName(argv[0]);
    log_set_progname(gProgramName, 1);

    /* 3. Early redirection and package combination. */
    if (set_package_comb(argc, argv) != 0)
        fatal("Cannot set package combination");

    /* 4. The tdb API. */
    if (tdb_init_api(gProgramName, 1, 0, 0) != 0) {
        printError("Error: Failed to initialize TDB API\n");
        return 1;
    }

    /* 5. Compatibility mode below development tools "tt7.3_a". */
    pellano_compatibility = is_GTEQ_Marlo() ? 0 : 1;

    /* 6. Options. */
    OwnedList tables(dsListCreate());
    OwnedList companies(dsListCreate());
    if (!tables || !companies) {
        printError("Error: out of memory\n");
        return 1;
    }
    int runMode = RUN_RECONFIGURE;
    int ignoreDomain = 0;
    const char *commitRateArg = nullptr;
    OwnedStream report;
    const char *options = pellano_compatibility ? kOptionsCompat : kOptionsNormal;

    int opt;
    while ((opt = getopt(argc, argv, options)) != -1) {
        switch (opt) {
        case 'C':
            if (handleCompanyOption(argc, argv, optarg, companies.get()) != 0)
                return 1;
            break;
        case 'c':
            runMode = RUN_CHECK;
            break;
        case 'Z':
            runMode = RUN_REORGANIZE;
            break;
        case 'd':
            driverType = optarg;
            break;
        case 'E':
            if (redirectStderr(optarg) != 0) {
                printError("Error: failed to redirect error ouput to '%s' "
                           "(errno %d)\n", optarg, errno);
                return 1;
            }
            break;
        case 'e':
            gFileName[1] = optarg;
            break;
        case 'o':
            gFileName[0] = optarg;
            break;
        case 'f':
        case 'n':
        case 'T':
        case 'O':
        case 'p':
            break;
        case 'I':
            if (readTableFile(optarg, tables.get()) != 0)
                return 1;
            break;
        case 'i':
            gIgnoreErrors = 1;
            break;
        case 'M':
            gMaxDumpSize = handle_seq_size_arg(optarg);
            break;
        case 'm':
            ignoreDomain = 1;
            break;
        case 'N':
            appendTable(tables.get(), optarg);
            while (optind < argc && argv[optind][0] != '-')
                appendTable(tables.get(), argv[optind++]);
            break;
        case 'R':
            if (pellano_compatibility)
                break;
            report.reset(sopen(optarg, "wt+"));
            if (!report) {
                printError("Cannot create file '%s' (errno %d)\n", optarg,
                           errno);
                return 1;
            }
            break;
        case 'r':
            commitRateArg = optarg;
            break;
        case 's':
            gSuppressMessages = 1;
            tdb_mess_suppress();
            break;
        case 't':
            if (std::strlen(optarg) > MAX_DUMP_DIR_LEN) {
                printError("Error: dump directory '%s' exceeds maximum length "
                           "(%d)\n", optarg, MAX_DUMP_DIR_LEN);
                return 1;
            }
            std::strcpy(gDumpDir, optarg);
            break;
        case 'v':
        case 'V':
            al_print_version(stderr, gProgramName, 0);
            return 0;
        default: /* -u, -U, -? and every letter without a handler */
            printUsage();
            return 1;
        }
    }

    /* 7. Something to do. */
    if (dsListCount(tables.get()) == 0) {
        printError("Error: No table specified. Use -N to specify a table.\n");
        return 1;
    }
    if (dsListCount(companies.get()) == 0) {
        if (pellano_compatibility && runMode == RUN_CHECK) {
            appendCompany(companies.get(), 0);
        } else {
            for (void *e = dsListFirst(tables.get()); e != nullptr;
                 e = dsListNext(tables.get())) {
                if (std::strlen(static_cast<const char *>(e)) <= 8) {
                    printError("Error: No company number specified. Use -C to "
                               "specify a company number.\n");
                    return 1;
                }
            }
        }
    }

    /* 8. Resources: the shared file, then the user's own. */
    al_load_specified_res("lib/defaults/db_resource", gResources);
    const char *userRes = std::getenv("USR_DBC_RES");
    if (userRes != nullptr && userRes[0] != '\0')
        al_load_specified_res(userRes, gResources);

    /* 9. Commit rate and counter step. */
    long rate = commitRateArg != nullptr ? std::strtol(commitRateArg, nullptr, 10)
                                         : gResCommitRate;
    if (rate > INT_MAX)
        rate = INT_MAX;
    gCommitRate = rate <= 99 ? 100 : static_cast<int>(rate);
    gCounterRate = gCommitRate / 20 > 100 ? gCommitRate / 20 : 100;

    /* 10. Logon. */
    if (tdb_logon("tdbreconfig") < 0) {
        printError("Error: Failed to logon to TDB (tdb_errno=%d)\n", tdb_errno);
        return 1;
    }

    /* 11. Driver choice (compatibility mode). */
    if (pellano_compatibility && runMode != RUN_CHECK &&
        init_driver(driverType) != 0) {
        printError("Error: init_driver failed\n");
        logoffAfterFailure();
        return 1;
    }

    /* 12. The tool keeps references out of its way. */
    tdb_disable_references();

    /* 13. One session for the whole run. */
    gSessionId = tdb_start_session("tdbreconfig");
    if (gSessionId == 0) {
        printError("Error: Failed to start TDB session (tdb_errno=%d)\n",
                   tdb_errno);
        logoffAfterFailure();
        return 1;
    }

    /* 14. The fixed report file of compatibility mode. */
    if (pellano_compatibility) {
        report.reset(sopen(reportName, "wt+"));
        if (!report)
            printError("Warning: Cannot create file '%s' (errno %d) -- "
                       "ignored\n", reportName, errno);
    }

    /* 15. The run loop. */
    int exitCode = reconfigureTables(report.get(), tables.get(), companies.get(),
                                     ignoreDomain, runMode) != 0
                       ? 1
                       : 0;

    /* 16. Report and list files. */
    report.reset();
    if (pellano_compatibility) {
        for (STREAM *&sp : gStream) {
            if (sp != nullptr)
                sclose(sp);
            sp = nullptr;
        }
    }

    /* 17-18. Session and logoff; failures do not change the exit code. */
    if (tdb_stop_session(gSessionId) < 0)
        printError("Error: Failed to stop TDB session (tdb_errno=%d)\n",
                   tdb_errno);
    if (tdb_logoff() < 0)
        printError("Error: Failed to logoff from TDB (tdb_errno %d)\n",
                   tdb_errno);

    /* 19. The lists are freed by their owners. */
    return exitCode;
}

/* ======================================================================== */
/* ---- row conversion: the conversion schema and convertRow -------------- */
/* ======================================================================== */
/*
 * A conversion pairs the stored columns that the current and the new
 * definition of a table share by field name, and rewrites every element of
 * such a column from its current type into its new one. Rows come from a
 * dump in the current layout and go into the row buffer of the new table,
 * which already holds the new default row.
 */

namespace {

/* The field name: the part of a full column name behind the point. */
const char *fieldName(const _dd_column *column)
{
    const char *point = std::strchr(column->name, '.');
    return point != nullptr ? point + 1 : column->name;
}

/* A column that holds bytes of its own in the database. */
bool isStoredColumn(const _dd_column *column)
{
    return column->type != TDB_COMBINED && column->type >= 1 &&
           column->type <= TDB_MAX_TYPE &&
           (column->flags & DD_COL_NOT_IN_DB) == 0;
}

/* Selects a dictionary mode for the life of the object. */
class DictionaryMode {
public:
    explicit DictionaryMode(int mode) : previous_(get_dd_mode())
    {
        init_dd_mode(mode);
    }
    ~DictionaryMode() { init_dd_mode(previous_ == 3 ? 3 : 1); }
    DictionaryMode(const DictionaryMode &) = delete;
    DictionaryMode &operator=(const DictionaryMode &) = delete;

private:
    int previous_;
};

} // namespace

struct ConversionSchema *createConversionSchema(const char *table)
{
    if (table == nullptr)
        return nullptr;
    const _dd_table *newTable = nullptr;
    const _dd_table *currentTable = nullptr;
    {
        DictionaryMode mode(3);
        newTable = ddtable(table);
    }
    if (newTable == nullptr)
        return nullptr;
    {
        DictionaryMode mode(1);
        currentTable = ddtable(table);
    }
    if (currentTable == nullptr)
        return nullptr;

    /* The current column paired with a column of the new definition. */
    auto partner = [currentTable](const _dd_column *column) -> const _dd_column * {
        if (!isStoredColumn(column))
            return nullptr;
        const _dd_column *current = ddcolumn_by_ddtable(currentTable, fieldName(column));
        return current != nullptr && isStoredColumn(current) ? current : nullptr;
    };
    int count = 0;
    for (int i = 0; i < newTable->nr_columns; i++)
        count += partner(&newTable->columns[i]) != nullptr;

    /* One chunk: the schema followed by its pairs. */
    size_t size = sizeof(ConversionSchema) + static_cast<size_t>(count) * sizeof(ConversionPair);
    auto *schema = static_cast<ConversionSchema *>(mal_allocater(size, MAL_ORDINARY));
    if (schema == nullptr) {
        tdb_error(E_DD_NO_MEMORY);
        return nullptr;
    }
    schema->pairs = reinterpret_cast<ConversionPair *>(schema + 1);
    schema->count = 0;
    for (int i = 0; i < newTable->nr_columns; i++) {
        const _dd_column *column = &newTable->columns[i];
        if (const _dd_column *current = partner(column))
            schema->pairs[schema->count++] = {column, current};
    }
    schema->defaultRow = newTable->default_row;
    schema->dataLength = newTable->data_length;
    schema->newTable = newTable;
    schema->currentTable = currentTable;
    return schema;
}

void destroyConversionSchema(struct ConversionSchema *schema)
{
    if (schema != nullptr)
        mal_free(schema);
}

int findLastLeadTSSchar(const char *text, int length)
{
    int last = -1;
    for (int i = 0; i < length;) {
        if (static_cast<unsigned char>(text[i]) == 0x9B) {
            last = i;
            i += 4;
        } else {
            i += 1;
        }
    }
    return last;
}

namespace {

/* The largest field a text of a row can fill. */
constexpr int kTextRoom = DD_MAX_ROW;

int32_t getLong(const unsigned char *p)
{
    return static_cast<int32_t>(static_cast<uint32_t>(p[0]) << 24 |
                                static_cast<uint32_t>(p[1]) << 16 |
                                static_cast<uint32_t>(p[2]) << 8 | p[3]);
}

int16_t getShort(const unsigned char *p)
{
    return static_cast<int16_t>(static_cast<uint16_t>(p[0] << 8 | p[1]));
}

void putLong(unsigned char *p, int64_t value)
{
    auto v = static_cast<uint32_t>(value);
    p[0] = static_cast<unsigned char>(v >> 24);
    p[1] = static_cast<unsigned char>(v >> 16);
    p[2] = static_cast<unsigned char>(v >> 8);
    p[3] = static_cast<unsigned char>(v);
}

void putShort(unsigned char *p, int64_t value)
{
    auto v = static_cast<uint16_t>(value);
    p[0] = static_cast<unsigned char>(v >> 8);
    p[1] = static_cast<unsigned char>(v);
}

/* Truncation toward zero through a 32- or 16-bit integer; a result
 * outside its range (or no number) gives the most negative value. */
int32_t truncateTo32(double value)
{
    if (!(value > -2147483649.0 && value < 2147483648.0))
        return INT32_MIN;
    return static_cast<int32_t>(value);
}

int16_t truncateTo16(double value)
{
    if (!(value > -32769.0 && value < 32768.0))
        return INT16_MIN;
    return static_cast<int16_t>(value);
}

bool isStringType(int type) { return type == TDB_STRING || type == TDB_MBSTRING; }

/* The bytes of a numeric element of a type. */
int numericWidth(int type)
{
    switch (type) {
    case TDB_BYTE: case TDB_ENUM: return 1;
    case TDB_INTEGER: return 2;
    case TDB_DOUBLE: return 8;
    default: return 4;
    }
}

/* The characters of a text element, terminated at the column's end. */
const char *terminatedText(const unsigned char *source, int width, char *buffer)
{
    int n = std::clamp(width, 0, kTextRoom);
    std::memcpy(buffer, source, static_cast<size_t>(n));
    buffer[n] = '\0';
    return buffer;
}

/* A source element read as an integer for an integer target. */
int64_t integerValue(const unsigned char *source, int sourceType, int width,
                     int targetType, char *buffer)
{
    switch (sourceType) {
    case TDB_BYTE: case TDB_ENUM:
        return source[0];
    case TDB_INTEGER:
        return getShort(source);
    case TDB_LONG: case TDB_TEXT: case TDB_LONG_V: case TDB_SET:
    case TDB_DATE: case TDB_TIME:
        return getLong(source);
    case TDB_FLOAT:
        return truncateTo32(float_out(source));
    case TDB_DOUBLE:
        if (targetType == TDB_BYTE || targetType == TDB_ENUM ||
            targetType == TDB_INTEGER)
            return truncateTo16(double_out(source));
        return truncateTo32(double_out(source));
    case TDB_STRING: case TDB_MBSTRING: {
        /* A long holds 32 bits where the rows were made: clamp like it. */
        long value = std::strtol(terminatedText(source, width, buffer), nullptr, 10);
        return std::clamp<long>(value, INT32_MIN, INT32_MAX);
    }
    default:
        return 0;
    }
}

/* A source element read as a floating-point number. */
double floatValue(const unsigned char *source, int sourceType, int width,
                  char *buffer)
{
    switch (sourceType) {
    case TDB_FLOAT:
        return float_out(source);
    case TDB_DOUBLE:
        return double_out(source);
    case TDB_STRING: case TDB_MBSTRING:
        return std::strtod(terminatedText(source, width, buffer), nullptr);
    default:
        return static_cast<double>(integerValue(source, sourceType, width,
                                                TDB_LONG, buffer));
    }
}

/* A text element as the date and time readers take it: the characters up
 * to the column's end without the padding blanks. */
const char *unpaddedText(const unsigned char *source, int width, char *buffer)
{
    terminatedText(source, width, buffer);
    size_t n = std::strlen(buffer);
    while (n > 0 && buffer[n - 1] == ' ')
        buffer[--n] = '\0';
    return buffer;
}

/* Writes one numeric, date or time element. */
void writeNumber(unsigned char *target, int targetType,
                 const unsigned char *source, int sourceType, int sourceWidth,
                 char *buffer)
{
    if (targetType == TDB_FLOAT || targetType == TDB_DOUBLE) {
        double value = floatValue(source, sourceType, sourceWidth, buffer);
        if (targetType == TDB_FLOAT)
            float_in(static_cast<float>(value), target);
        else
            double_in(value, target);
        return;
    }
    int64_t value;
    if (targetType == TDB_DATE && sourceType == TDB_TIME) {
        value = convert_UTC_to_DATE(getLong(source));
    } else if (targetType == TDB_DATE && isStringType(sourceType)) {
        value = str_to_date(unpaddedText(source, sourceWidth, buffer), "DDMMYYYY");
        value = std::max<int64_t>(value, 0);
    } else if (targetType == TDB_TIME && sourceType == TDB_DATE) {
        value = convert_DATE_to_UTC(getLong(source));
    } else if (targetType == TDB_TIME && isStringType(sourceType)) {
        value = str_to_utctime(terminatedText(source, sourceWidth, buffer));
        value = std::max<int64_t>(value, 0);
    } else {
        value = integerValue(source, sourceType, sourceWidth, targetType, buffer);
    }
    switch (targetType) {
    case TDB_BYTE: case TDB_ENUM:
        target[0] = static_cast<unsigned char>(value);
        break;
    case TDB_INTEGER:
        putShort(target, value);
        break;
    default:
        putLong(target, value);
        break;
    }
}

/* Writes one text element of width W with the new domain's placement and
 * case attributes. */
void writeText(unsigned char *target, int targetType, int W,
               const _dd_domain *domain, const unsigned char *source,
               int sourceType, int sourceWidth, char *buffer)
{
    const char *text = buffer;
    int L = 0;
    switch (sourceType) {
    case TDB_BYTE: case TDB_ENUM:
        L = std::snprintf(buffer, kTextRoom, "%d", source[0]);
        break;
    case TDB_INTEGER:
        L = std::snprintf(buffer, kTextRoom, "%d", getShort(source));
        break;
    case TDB_LONG: case TDB_TEXT: case TDB_LONG_V: case TDB_SET:
        L = std::snprintf(buffer, kTextRoom, "%d", getLong(source));
        break;
    case TDB_FLOAT:
        double_to_str(float_out(source), 6, buffer, W);
        L = static_cast<int>(std::strlen(buffer));
        break;
    case TDB_DOUBLE:
        double_to_str(double_out(source), 15, buffer, W);
        L = static_cast<int>(std::strlen(buffer));
        break;
    case TDB_STRING: case TDB_MBSTRING:
        text = reinterpret_cast<const char *>(source);
        L = sourceWidth;
        break;
    case TDB_DATE:
        L = format_date(getLong(source), "DDMMYYYY", buffer);
        break;
    case TDB_TIME: {
        int year, month, day, hour, minute, second;
        if (al_unpack_utc(getLong(source), &year, &month, &day, &hour, &minute,
                          &second) == 0)
            L = std::snprintf(buffer, kTextRoom, "%.2d%.2d%.2d%.2d%.2d%.4d", hour,
                              minute, second, day, month, year);
        break;
    }
    case TDB_RAW:
        std::memset(buffer, ' ', static_cast<size_t>(W));
        L = W;
        break;
    default:
        break;
    }

    /* Never split a four-byte character at the end of the field. */
    if (sourceType == TDB_MBSTRING && targetType == TDB_MBSTRING && L > W) {
        bool leadNearEnd = false;
        for (int i = W - 3; i <= W - 1; i++)
            if (i >= 0 && static_cast<unsigned char>(text[i]) == 0x9B)
                leadNearEnd = true;
        if (leadNearEnd) {
            int k = findLastLeadTSSchar(text, W);
            if (k != -1 && k >= W - 3)
                L = k;
        }
    }

    char *field = reinterpret_cast<char *>(target);
    switch (domain != nullptr ? domain->attr : 0) {
    case 'l':
        lcpystr(field, text, W, L);
        break;
    case 'c':
        ccpystr(field, text, W, L);
        break;
    case 'r':
        rcpystr(field, text, W, L);
        break;
    default: {
        int m = std::min(L, W);
        std::memmove(field, text, static_cast<size_t>(m));
        std::memset(field + m, ' ', static_cast<size_t>(W - m));
        break;
    }
    }

    char caseAttr = domain != nullptr ? static_cast<char>(domain->word.value) : 0;
    if (caseAttr == 'l' || caseAttr == 'u') {
        bool upper = caseAttr == 'u';
        if (targetType == TDB_STRING) {
            if (upper)
                TssAsciiStringNToUpper(field, W);
            else
                TssAsciiStringNToLower(field, W);
        } else {
            TssStringConvertCase(field, W, upper ? 1 : 0);
        }
    }
}

/* Writes one raw element of width W (zero padded). */
void writeRaw(unsigned char *target, int W, const unsigned char *source,
              int sourceType, int sourceWidth)
{
    int m = 0;
    if (isStringType(sourceType) || sourceType == TDB_RAW) {
        m = std::min(sourceWidth, W);
        std::memmove(target, source, static_cast<size_t>(m));
    }
    std::memset(target + m, 0, static_cast<size_t>(W - m));
}

/* The byte width of one element: its domain's width. */
int elementWidth(const _dd_column *column)
{
    if (column->domain != nullptr && column->domain->width > 0)
        return column->domain->width;
    return column->elements > 0 ? column->length / column->elements : column->length;
}

} // namespace

void convertRow(const unsigned char *source, unsigned char *target,
                const struct ConversionSchema *schema)
{
    if (source == nullptr || target == nullptr || schema == nullptr)
        return;
    char buffer[kTextRoom + 1];
    for (int i = 0; i < schema->count; i++) {
        const _dd_column *to = schema->pairs[i].newColumn;
        const _dd_column *from = schema->pairs[i].currentColumn;
        int targetType = to->type;
        int sourceType = from->type;
        if (targetType == TDB_COMBINED || targetType < 1 || targetType > TDB_MAX_TYPE)
            continue;
        if (sourceType == TDB_COMBINED)
            continue;
        int sourceWidth = elementWidth(from);
        int targetWidth = elementWidth(to);
        if (sourceWidth <= 0 || targetWidth <= 0 || targetWidth > kTextRoom)
            continue;
        /* A numeric element never writes past its column. */
        int writeWidth = isStringType(targetType) || targetType == TDB_RAW
                             ? targetWidth
                             : std::max(targetWidth, numericWidth(targetType));
        int readWidth = isStringType(sourceType) || sourceType == TDB_RAW
                            ? sourceWidth
                            : std::max(sourceWidth, numericWidth(sourceType));
        int n = std::min(from->elements, to->elements);
        n = std::min(n, std::min(from->length / readWidth, to->length / writeWidth));

        const unsigned char *s = source + from->offset;
        unsigned char *t = target + to->offset;
        for (int e = 0; e < n; e++) {
            if (isStringType(targetType))
                writeText(t, targetType, targetWidth, to->domain, s, sourceType,
                          sourceWidth, buffer);
            else if (targetType == TDB_RAW)
                writeRaw(t, targetWidth, s, sourceType, sourceWidth);
            else
                writeNumber(t, targetType, s, sourceType, sourceWidth, buffer);
            s += sourceWidth;
            t += targetWidth;
        }
    }
}
