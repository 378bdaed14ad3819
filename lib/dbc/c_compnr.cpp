/*
 * c_compnr.cpp: company-number mapping: the mapping file, the environment
 * text, mapping sets, inheritance, lookups, the map request body with its
 * decoder, and the diagnosis printout.
 */
#include <sys/stat.h>

#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>
#include <string_view>

#include "al_env.h"
#include "al_log.h"
#include "al_mem.h"
#include "al_stream.h"
#include "compnr.h"
#include "tdb_api.h"

namespace {

constexpr const char *kFile = "lib/dbc/c_compnr.cpp";

constexpr int kIllegalArgument = 102;
constexpr int kIllegalState = 215; /* a malformed mapping message */
constexpr int kConfigCorrupt = 401;
constexpr int kMemory = 501;

constexpr int kMaxCompnr = 999;
/* Longest line of the mapping file; the rest of a longer line is dropped. */
constexpr std::size_t kMaxLine = 255;
/* Longest texts accepted by the decoder. */
constexpr std::size_t kMaxPattern = kMaxLine;
constexpr std::size_t kMaxEnv = 4096;

} // namespace

/* One logical-to-physical pair. */
struct CompnrPair {
    short logical;
    short physical;
};

/* The logical numbers stored under one physical number (itself excluded). */
struct CompnrPhysic {
    short physical;
    short *logicals;
    int capacity;
    int count;
};

struct CompnrData {
    CompnrData *next;
    char *pattern;
    CompnrPair *pairs;
    int pair_capacity;
    int pair_count;
    CompnrPhysic *physics;
    int physic_capacity;
    int physic_count;
};

struct CompnrMap {
    char *env;
    CompnrData *sets; /* newest first when read from the file */
};

namespace {

/* Grows an array of the runtime allocator to twice its capacity plus 2. */
template <class T> bool grow(T *&array, int &capacity)
{
    const int wanted = capacity * 2 + 2;
    void *p = mal_realloc(array, static_cast<std::size_t>(wanted) * sizeof(T));
    if (p == nullptr)
        return false;
    array = static_cast<T *>(p);
    capacity = wanted;
    return true;
}

void free_set(CompnrData *set)
{
    for (int i = 0; i < set->physic_count; ++i)
        mal_free(set->physics[i].logicals);
    mal_free(set->physics);
    mal_free(set->pairs);
    mal_free(set->pattern);
    mal_free(set);
}

CompnrData *find_set(const CompnrMap *map, std::string_view pattern)
{
    if (map == nullptr)
        return nullptr;
    for (CompnrData *set = map->sets; set != nullptr; set = set->next)
        if (pattern == set->pattern)
            return set;
    return nullptr;
}

/* The set of pattern, created at the head or the tail of the list. */
CompnrData *add_set(CompnrMap *map, std::string_view pattern, bool at_head)
{
    if (CompnrData *set = find_set(map, pattern))
        return set;
    auto *set = static_cast<CompnrData *>(mal_allocater(sizeof(CompnrData)));
    if (set == nullptr)
        return nullptr;
    set->pattern = static_cast<char *>(mal_allocater(pattern.size() + 1));
    if (set->pattern == nullptr) {
        mal_free(set);
        return nullptr;
    }
    std::memcpy(set->pattern, pattern.data(), pattern.size());
    set->pattern[pattern.size()] = '\0';
    if (at_head || map->sets == nullptr) {
        set->next = map->sets;
        map->sets = set;
    } else {
        CompnrData *last = map->sets;
        while (last->next != nullptr)
            last = last->next;
        last->next = set;
    }
    return set;
}

CompnrPhysic *find_physic(CompnrData *set, int physical)
{
    if (set == nullptr)
        return nullptr;
    for (int i = 0; i < set->physic_count; ++i)
        if (set->physics[i].physical == physical)
            return &set->physics[i];
    return nullptr;
}

/* The last refusal text of compnrAddMapping. */
const char *last_refusal = "";

/*
 * The checks of compnrAddMapping against the pairs already there: 1 when
 * the pair must be added, 0 when nothing is to be added, -1 when refused
 * (reason set).
 */
int check_pair(const CompnrData *set, int physical, int logical, int mode,
               const char **reason)
{
    for (int i = 0; i < set->pair_count; ++i) {
        const int li = set->pairs[i].logical;
        const int pi = set->pairs[i].physical;
        if (mode == COMPNR_ADD_INHERITED) {
            if (li == logical || pi == logical || li == physical)
                return 0;
            continue;
        }
        if (li == logical && pi == physical)
            return 0;
        if (li == logical && pi != physical) {
            *reason = "logical company number already mapped to another "
                      "physical company";
            return -1;
        }
        if (pi == logical && pi != physical) {
            *reason = "logical company number already used as a physical "
                      "company";
            return -1;
        }
        if (li == physical && pi != physical) {
            *reason = "physical company number already used as a logical "
                      "company";
            return -1;
        }
    }
    return 1;
}

bool valid_compnr(int n)
{
    return n >= 0 && n <= kMaxCompnr;
}

/* ---- the process's mapping -------------------------------------------------- */

struct ClientState {
    bool env_built = false;
    std::string env;
    bool loaded = false;         /* the load has run to its end */
    CompnrMap *mapping = nullptr; /* null: no mapping */
};

ClientState &client()
{
    static ClientState state;
    return state;
}

std::string_view trim(std::string_view text)
{
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t'))
        text.remove_prefix(1);
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t'))
        text.remove_suffix(1);
    return text;
}

/* A company number of the file: decimal digits (blanks around them
 * allowed), 0-999; else -1 with *shown the value to report. */
int parse_compnr(std::string_view text, int *shown)
{
    text = trim(text);
    long value = 0;
    bool digits = !text.empty();
    for (char c : text) {
        if (c < '0' || c > '9') {
            digits = false;
            break;
        }
        if (value <= kMaxCompnr)
            value = value * 10 + (c - '0');
    }
    if (!digits) {
        *shown = -1;
        return -1;
    }
    *shown = static_cast<int>(value);
    return value <= kMaxCompnr ? static_cast<int>(value) : -1;
}

/* Reads one line (line feed and a carriage return before it removed, at
 * most kMaxLine characters kept); false at the end of the file. */
bool read_line(STREAM *sp, std::string &line)
{
    line.clear();
    int c = sgetc(sp);
    if (c < 0)
        return false;
    for (; c >= 0 && c != '\n'; c = sgetc(sp))
        if (line.size() < kMaxLine + 1)
            line.push_back(static_cast<char>(c));
    if (!line.empty() && line.back() == '\r' && c == '\n')
        line.pop_back();
    if (line.size() > kMaxLine)
        line.resize(kMaxLine);
    return true;
}

/* The inconsistent-file report: started on the first refusal. */
struct Report {
    bool started = false;
    void refused(const std::string &line, int physical, int logical,
                 const char *reason)
    {
        if (!started) {
            started = true;
            log_start_mesg(kFile, __LINE__, "Inconsistent company mapping", 0);
            log_printf("\nCompany mapping $TSE/lib/compnr%s will be ignored.\n",
                       get_release());
        }
        log_printf("\n%s (phys = %03d, log = %03d):", line.c_str(), physical,
                   logical);
        log_printf("\n%s.", reason);
    }
    void close()
    {
        if (started)
            log_stop_mesg();
    }
};

/*
 * Reads the mapping file into map. Returns 1 when it is consistent, 0
 * when a pair was refused (reported), -1 when memory ran out (501).
 */
int read_mapping_file(STREAM *sp, CompnrMap *map)
{
    Report report;
    std::string line;
    int result = 1;
    while (read_line(sp, line)) {
        std::string_view text(line.c_str()); /* up to an embedded NUL */
        if (text.empty() || text.front() == '#')
            continue;
        const std::size_t colon = text.find(':');
        if (colon == std::string_view::npos)
            continue;
        const std::string_view pattern = trim(text.substr(0, colon));
        if (pattern.empty())
            continue;
        CompnrData *set = add_set(map, pattern, true);
        if (set == nullptr) {
            tdb_errno = kMemory;
            result = -1;
            break;
        }
        std::string_view rest = text.substr(colon + 1);
        const std::size_t colon2 = rest.find(':');
        int shown_physical = 0;
        const int physical = parse_compnr(rest.substr(0, colon2), &shown_physical);
        if (colon2 == std::string_view::npos)
            continue; /* no logical numbers */
        rest.remove_prefix(colon2 + 1);
        bool memory = false;
        for (;;) {
            const std::size_t comma = rest.find(',');
            const std::string_view item = rest.substr(0, comma);
            if (!trim(item).empty()) {
                int shown_logical = 0;
                const int logical = parse_compnr(item, &shown_logical);
                if (physical < 0 || logical < 0) {
                    report.refused(line, shown_physical, shown_logical,
                                   "invalid company number");
                    result = result == 1 ? 0 : result;
                } else if (compnrAddMapping(set, physical, logical,
                                            COMPNR_ADD_FROM_FILE) != 0) {
                    if (tdb_errno != kConfigCorrupt) {
                        memory = true;
                        break;
                    }
                    report.refused(line, physical, logical, last_refusal);
                    result = result == 1 ? 0 : result;
                }
            }
            if (comma == std::string_view::npos)
                break;
            rest.remove_prefix(comma + 1);
        }
        if (memory) {
            tdb_errno = kMemory;
            result = -1;
            break;
        }
    }
    report.close();
    return result;
}

/* Inheritance: module sets take the package's pairs, table sets the
 * module's (which already hold the package's); parents last to first. */
int apply_inheritance(CompnrMap *map)
{
    for (std::size_t child_len : {std::size_t{5}, std::size_t{8}}) {
        const std::size_t parent_len = child_len == 5 ? 2 : 5;
        for (CompnrData *set = map->sets; set != nullptr; set = set->next) {
            if (std::strlen(set->pattern) != child_len)
                continue;
            const CompnrData *parent =
                find_set(map, std::string_view(set->pattern, parent_len));
            if (parent == nullptr)
                continue;
            for (int i = parent->pair_count - 1; i >= 0; --i)
                if (compnrAddMapping(set, parent->pairs[i].physical,
                                     parent->pairs[i].logical,
                                     COMPNR_ADD_INHERITED) != 0)
                    return -1;
        }
    }
    return 0;
}

/* Builds the environment text; false when the file's status cannot be
 * read or the host name is unknown. */
bool build_env(STREAM *sp, ClientState &st)
{
    const char *host = getsyshostname();
    if (host == nullptr || host[0] == '\0')
        return false;
    char stamp[32] = "no-time";
    if (sp != nullptr) {
        struct stat info {};
        if (stream_fstat(sp, &info) != 0)
            return false;
        const time_t mtime = info.st_mtime;
        struct tm utc {};
        if (gmtime_r(&mtime, &utc) == nullptr)
            return false;
        std::snprintf(stamp, sizeof stamp, "%02d%02d%02d %02d:%02d:%02d",
                      utc.tm_year % 100, utc.tm_mon + 1, utc.tm_mday,
                      utc.tm_hour, utc.tm_min, utc.tm_sec);
    }
    st.env = std::string(get_tse()) + "@" + host + " " + stamp;
    st.env_built = true;
    return true;
}

void write_text(FILE *fp, const char *text)
{
    std::fputs(text, fp);
}

void print_list(FILE *fp, const char *env, const CompnrData *sets, int used)
{
    std::fprintf(fp, "\n-- compnr environment = '%s'", env);
    if (used)
        write_text(fp, "\n\t<<< USED BY THIS PROCESS >>>");
    for (const CompnrData *set = sets; set != nullptr; set = set->next) {
        std::fprintf(fp, "\n\t-- spec: '%s'", set->pattern);
        write_text(fp, "\n\t   Logic to Physic:");
        for (int i = 0; i < set->pair_count; ++i)
            std::fprintf(fp, "\n\t\t%03d --> %03d", set->pairs[i].logical,
                         set->pairs[i].physical);
        write_text(fp, "\n\t   Physic to Logic:");
        for (int i = 0; i < set->physic_count; ++i) {
            const CompnrPhysic &entry = set->physics[i];
            std::fprintf(fp, "\n\t\t%03d <--", entry.physical);
            for (int k = 0; k < entry.count; ++k)
                std::fprintf(fp, " %03d", entry.logicals[k]);
        }
    }
}

/* Writes a string with its NUL. */
int write_string(STREAM *sp, const char *text)
{
    const int length = static_cast<int>(std::strlen(text)) + 1;
    return swrite_blok(text, length, sp) == length ? 0 : -1;
}

/* Reads a NUL-terminated string of at most max characters. */
bool read_string(STREAM *sp, std::string &out, std::size_t max)
{
    out.clear();
    for (;;) {
        const int c = sgetc(sp);
        if (c < 0)
            return false;
        if (c == 0)
            return true;
        if (out.size() >= max)
            return false;
        out.push_back(static_cast<char>(c));
    }
}

bool read_long(STREAM *sp, long *value)
{
    *value = r_long(sp);
    return !(*value == -1 && (seof(sp) || serror(sp)));
}

bool read_short(STREAM *sp, int *value)
{
    *value = r_short(sp);
    return !(*value == -1 && (seof(sp) || serror(sp)));
}

/* The body of the map request into map; 0, or -1 with tdb_errno set. */
int read_map_body(STREAM *sp, CompnrMap *map)
{
    std::string text;
    long sets = 0;
    if (!read_string(sp, text, kMaxEnv) || !read_long(sp, &sets) || sets < 0) {
        tdb_errno = kIllegalState;
        return -1;
    }
    char *env = mal_strsave(text.c_str());
    if (env == nullptr) {
        tdb_errno = kMemory;
        return -1;
    }
    mal_free(map->env);
    map->env = env;
    for (long s = 0; s < sets; ++s) {
        long entries = 0;
        if (!read_string(sp, text, kMaxPattern) || !read_long(sp, &entries) ||
            entries < 0 || entries > kMaxCompnr + 1) {
            tdb_errno = kIllegalState;
            return -1;
        }
        CompnrData *set = add_set(map, text, false);
        if (set == nullptr) {
            tdb_errno = kMemory;
            return -1;
        }
        for (long e = 0; e < entries; ++e) {
            int physical = 0, count = 0;
            if (!read_short(sp, &physical) || !read_short(sp, &count) ||
                !valid_compnr(physical) || count < 0 || count > kMaxCompnr + 1) {
                tdb_errno = kIllegalState;
                return -1;
            }
            for (int k = 0; k < count; ++k) {
                int logical = 0;
                if (!read_short(sp, &logical) || !valid_compnr(logical)) {
                    tdb_errno = kIllegalState;
                    return -1;
                }
                if (compnrAddMapping(set, physical, logical,
                                     COMPNR_ADD_FROM_FILE) != 0)
                    return -1; /* 401 or 501 */
            }
        }
    }
    return 0;
}

} // namespace

/* ---- sets -------------------------------------------------------------------- */

int compnrAddMapping(CompnrData *data, int physical, int logical, int mode)
{
    if (data == nullptr || !valid_compnr(physical) || !valid_compnr(logical) ||
        (mode != COMPNR_ADD_FROM_FILE && mode != COMPNR_ADD_INHERITED)) {
        tdb_errno = kIllegalArgument;
        return -1;
    }
    const char *reason = "";
    const int check = check_pair(data, physical, logical, mode, &reason);
    if (check < 0) {
        last_refusal = reason;
        tdb_errno = kConfigCorrupt;
        return -1;
    }
    if (check == 0)
        return 0;

    /* Room for everything first, so that running out of memory leaves the
     * set as it was. */
    if (data->pair_count == data->pair_capacity &&
        !grow(data->pairs, data->pair_capacity)) {
        tdb_errno = kMemory;
        return -1;
    }
    CompnrPhysic *entry = nullptr;
    bool new_entry = false;
    if (logical != physical) {
        entry = find_physic(data, physical);
        if (entry == nullptr) {
            if (data->physic_count == data->physic_capacity &&
                !grow(data->physics, data->physic_capacity)) {
                tdb_errno = kMemory;
                return -1;
            }
            entry = &data->physics[data->physic_count];
            *entry = CompnrPhysic{static_cast<short>(physical), nullptr, 0, 0};
            new_entry = true;
        }
        if (entry->count == entry->capacity &&
            !grow(entry->logicals, entry->capacity)) {
            tdb_errno = kMemory;
            return -1;
        }
    }
    data->pairs[data->pair_count++] =
        CompnrPair{static_cast<short>(logical), static_cast<short>(physical)};
    if (entry != nullptr) {
        entry->logicals[entry->count++] = static_cast<short>(logical);
        if (new_entry)
            ++data->physic_count;
    }
    return 0;
}

const char *compnrLastRefusal(void)
{
    return last_refusal;
}

int compnrLogicToPhysic(CompnrData *data, int logical)
{
    if (data == CompnrNoMapping)
        return logical;
    for (int i = data->pair_count - 1; i >= 0; --i)
        if (data->pairs[i].logical == logical)
            return data->pairs[i].physical;
    return logical;
}

int compnrIsPhysic(CompnrData *data, int number)
{
    if (data == CompnrNoMapping)
        return 1;
    bool mapped_elsewhere = false;
    for (int i = 0; i < data->pair_count; ++i) {
        if (data->pairs[i].physical == number)
            return 1;
        if (data->pairs[i].logical == number)
            mapped_elsewhere = true;
    }
    return mapped_elsewhere ? 0 : 1;
}

int compnrGetLogicCompnrs(CompnrData *data, int physical, const short **logicals)
{
    const CompnrPhysic *entry = find_physic(data, physical);
    const int count = entry != nullptr ? entry->count : 0;
    if (logicals != nullptr)
        *logicals = count > 0 ? entry->logicals : nullptr;
    return count;
}

const char *compnrDataGetPattern(const CompnrData *data)
{
    return data != nullptr ? data->pattern : "";
}

/* ---- mappings ------------------------------------------------------------------ */

CompnrMap *compnrMapCreate(const char *env)
{
    auto *map = static_cast<CompnrMap *>(mal_allocater(sizeof(CompnrMap)));
    if (map == nullptr) {
        tdb_errno = kMemory;
        return nullptr;
    }
    map->env = mal_strsave(env != nullptr ? env : "");
    map->sets = nullptr;
    if (map->env == nullptr) {
        mal_free(map);
        tdb_errno = kMemory;
        return nullptr;
    }
    return map;
}

void compnrMapFree(CompnrMap *map)
{
    if (map == nullptr)
        return;
    while (CompnrData *set = map->sets) {
        map->sets = set->next;
        free_set(set);
    }
    mal_free(map->env);
    mal_free(map);
}

CompnrData *compnrMapAddSet(CompnrMap *map, const char *pattern)
{
    if (map == nullptr || pattern == nullptr) {
        tdb_errno = kIllegalArgument;
        return nullptr;
    }
    CompnrData *set = add_set(map, pattern, true);
    if (set == nullptr)
        tdb_errno = kMemory;
    return set;
}

const char *compnrMapGetEnv(const CompnrMap *map)
{
    return map != nullptr ? map->env : "";
}

CompnrData *compnrMapGetCompnrData(const CompnrMap *map, const char *table)
{
    if (map == nullptr || table == nullptr)
        return CompnrNoMapping;
    const std::string_view code(table);
    for (std::size_t length : {std::size_t{8}, std::size_t{5}, std::size_t{2}}) {
        if (code.size() < length)
            continue;
        if (CompnrData *set = find_set(map, code.substr(0, length)))
            return set;
    }
    return CompnrNoMapping;
}

/* ---- the process's mapping ---------------------------------------------------- */

namespace {

int client_init(ClientState &st)
{

    STREAM *sp = open_tse_file("lib/compnr%s", get_release());
    struct Closer {
        STREAM *sp;
        ~Closer()
        {
            if (sp != nullptr)
                sclose(sp);
        }
    } closer{sp};

    if (!st.env_built && !build_env(sp, st))
        return -1;
    if (st.loaded)
        return 0;

    /* The shared-memory copy is not kept (use_shm_info counts as 0): the
     * file is read by every process. */
    if (sp == nullptr) {
        st.loaded = true; /* no file: no mapping */
        return 0;
    }
    CompnrMap *map = compnrMapCreate(st.env.c_str());
    if (map == nullptr)
        return -1;
    const int read = read_mapping_file(sp, map);
    if (read < 0) {
        compnrMapFree(map);
        return -1;
    }
    if (read == 0) {
        compnrMapFree(map); /* inconsistent: ignored as a whole */
        st.loaded = true;
        return 0;
    }
    if (apply_inheritance(map) != 0) {
        compnrMapFree(map);
        tdb_errno = kMemory;
        return -1;
    }
    st.mapping = map;
    st.loaded = true;
    return 0;
}

} // namespace

int compnrClientInit(void)
{
    ClientState &st = client();
    if (st.env_built && st.loaded)
        return 0;
    /* Loading at first use leaves the caller's error alone; refusals in
     * the file are reported in the log, not in tdb_errno. */
    const int saved = tdb_errno;
    const int rc = client_init(st);
    if (rc == 0)
        tdb_errno = saved;
    return rc;
}

const char *compnrGetEnv(void)
{
    ClientState &st = client();
    if (!st.env_built)
        compnrClientInit();
    return st.env_built ? st.env.c_str() : "";
}

int compnrInit(const char * /*env*/)
{
    /* No shared-memory copy is kept: the mapping is never there. */
    return -1;
}

CompnrData *compnrGetCompnrData(const char *table)
{
    ClientState &st = client();
    if (!st.loaded)
        compnrClientInit();
    return compnrMapGetCompnrData(st.mapping, table);
}

const CompnrMap *compnrGetMap(void)
{
    return client().mapping;
}

void compnrClientReset(void)
{
    ClientState &st = client();
    compnrMapFree(st.mapping);
    st.mapping = nullptr;
    st.loaded = false;
    st.env_built = false;
    st.env.clear();
}

/* ---- the map request ------------------------------------------------------------ */

int compnrMapWrite(STREAM *sp, const CompnrMap *map)
{
    if (sp == nullptr) {
        tdb_errno = kIllegalArgument;
        return -1;
    }
    long sets = 0;
    for (const CompnrData *set = map != nullptr ? map->sets : nullptr;
         set != nullptr; set = set->next)
        ++sets;
    if (write_string(sp, compnrMapGetEnv(map)) != 0 || w_long(sp, sets) != 0)
        return -1;
    for (const CompnrData *set = map != nullptr ? map->sets : nullptr;
         set != nullptr; set = set->next) {
        if (write_string(sp, set->pattern) != 0 ||
            w_long(sp, set->physic_count) != 0)
            return -1;
        for (int i = 0; i < set->physic_count; ++i) {
            const CompnrPhysic &entry = set->physics[i];
            if (w_short(sp, entry.physical) != 0 || w_short(sp, entry.count) != 0)
                return -1;
            for (int k = 0; k < entry.count; ++k)
                if (w_short(sp, entry.logicals[k]) != 0)
                    return -1;
        }
    }
    return 0;
}

int compnrWriteMap(STREAM *sp)
{
    ClientState &st = client();
    compnrClientInit();
    if (st.mapping != nullptr)
        return compnrMapWrite(sp, st.mapping);
    /* No mapping: the environment text (empty when none) and no sets. */
    if (sp == nullptr) {
        tdb_errno = kIllegalArgument;
        return -1;
    }
    if (write_string(sp, st.env_built ? st.env.c_str() : "") != 0 ||
        w_long(sp, 0) != 0)
        return -1;
    return 0;
}

int compnrReadMap(STREAM *sp, CompnrMap **map)
{
    if (map == nullptr || sp == nullptr) {
        tdb_errno = kIllegalArgument;
        if (map != nullptr)
            *map = nullptr;
        return -1;
    }
    *map = nullptr;
    CompnrMap *result = compnrMapCreate("");
    if (result == nullptr)
        return -1;
    if (read_map_body(sp, result) != 0) {
        compnrMapFree(result);
        return -1;
    }
    *map = result;
    return 0;
}

/* ---- diagnosis ------------------------------------------------------------------- */

void compnrPrintDataList(FILE *fp, const CompnrMap *map, int used)
{
    if (fp == nullptr)
        fp = stdout;
    if (map == nullptr) {
        const ClientState &st = client();
        print_list(fp, st.env_built ? st.env.c_str() : "", nullptr, used);
        return;
    }
    print_list(fp, map->env, map->sets, used);
}

void compnrPrintData(FILE *fp)
{
    if (fp == nullptr)
        fp = stdout;
    write_text(fp, "\n==== company numbers: internal data ====");
    write_text(fp, "\n** PROCESS USES LOCAL DATA  **");
    const ClientState &st = client();
    if (st.mapping != nullptr)
        print_list(fp, st.mapping->env, st.mapping->sets, 1);
    else
        print_list(fp, st.env_built ? st.env.c_str() : "", nullptr, 1);
    std::fflush(fp);
}
