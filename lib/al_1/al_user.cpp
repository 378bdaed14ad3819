/*
 * al_user.cpp: the OS and Trel user names, the user record with its
 * standard and bootstrap resource tables and their conversion functions,
 * user initialisation (init_user family, read_user_info), the date
 * patterns and the date/currency table lib/datecurr.
 */
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <string_view>
#include <vector>

#include "al_date.h"
#include "al_env.h"
#include "al_env_internal.h"
#include "al_log.h"
#include "al_mem.h"
#include "al_msg.h"
#include "al_res.h"
#include "al_stream.h"
#include "al_user.h"

/* The record holds the defaults of its resources before the standard
 * table is added, so that early readers (logging) see sensible values. */
struct user_info user_info = [] {
    struct user_info u {};
    u.ghoststart = '<';
    u.ghostend = '>';
    u.usertype = 'S';
    u.exec_perms = 1;
    u.language = '2';
    std::strcpy(u.dateformat, "YYMMDD");
    u.datesep = '/';
    u.timesep = ':';
    u.thousep = '.';
    u.radixchar = ',';
    u.endtime = 2400;
    u.termauth = 1;
    u.lockdelay = -1;
    u.first_dow = '1';
    std::strcpy(u.locale, "ISO-8859-1");
    u.bidi = 1;
    u.print_delay = 1;
    u.all_dev = 1;
    std::strcpy(u.timeam, "am");
    std::strcpy(u.timepm, "pm");
    std::strcpy(u.timezone, "Europe/Amsterdam");
    u.use_extra_logging = 1;
    u.log_size = 512;
    u.unicode_l2d = 1;
    u.high_ascii_tolerance = -1;
    return u;
}();

namespace {

const char kSrc[] = "lib/al_1/al_user.cpp";

/* ---- process-wide user state ---------------------------------------------- */

char g_os_user[OS_USER_LEN + 1];
char g_trel_user[TREL_USER_LEN + 1];

/* The environment-to-global table, read at user initialisation. */
unsigned int g_bmask = 06;
unsigned int g_bmask_absolute = 0;
char g_T[21];
char g_getcwd[256];
char g_package_comb[16];
char g_tse_compnr[4];
std::string g_tty_name;

/* The bootstrap setting of the user-mapping file. */
char g_treluser[21];

/* The version paths (vrc_path). */
std::vector<std::string> g_vrc_paths;
int g_vrc_max = 0;

/* The date/currency table: the file text with two NUL bytes appended, and
 * the offset of the first line of each tag (-1: none). */
const char kDatecurrTags[] = "ACDTU";
std::string g_datecurr;
std::array<long, 5> g_datecurr_line = {-1, -1, -1, -1, -1};

/* Copies at most max characters of value (null: "") into dest[max + 1]. */
void copy_limited(char *dest, size_t max, const char *value)
{
    std::snprintf(dest, max + 1, "%s", value != nullptr ? value : "");
}

bool package_comb_set()
{
    const char *comb = getvar("PACKAGE_COMB");
    return comb != nullptr && comb[0] != '\0';
}

/* ---- conversion functions of the user record ------------------------------- */

/* exec_perms: level 1 or 2 from the first character, bits 4 and 8 from the
 * second and third. */
int perms(struct resource *res, const char *value)
{
    unsigned char level = 0;
    if (value[0] == '1')
        level = 1;
    else if (value[0] == '2')
        level = 2;
    if (value[0] != '\0' && value[1] == '1')
        level |= 4;
    if (value[0] != '\0' && value[1] != '\0' && value[2] == '1')
        level |= 8;
    *static_cast<unsigned char *>(res->variable) = level;
    return 0;
}

/* compauth: three-digit company numbers without separators. */
int caut(struct resource * /*res*/, const char *value)
{
    for (const char *p = value; std::strlen(p) >= 3; p += 3) {
        if (!std::isdigit(static_cast<unsigned char>(p[0])) ||
            !std::isdigit(static_cast<unsigned char>(p[1])) ||
            !std::isdigit(static_cast<unsigned char>(p[2])))
            continue;
        int compnr = (p[0] - '0') * 100 + (p[1] - '0') * 10 + (p[2] - '0');
        user_info.company_bits[compnr / 8] |=
            static_cast<unsigned char>(1u << (compnr % 8));
    }
    return 0;
}

/* termauth: authorised ("1") when empty or when one of the blank-separated
 * terminal names is the current terminal, else "0". */
int taut(struct resource *res, const char *value)
{
    std::string_view text(value);
    bool authorised = text.find_first_not_of(" \t") == std::string_view::npos;
    size_t pos = 0;
    while (!authorised && pos < text.size()) {
        size_t start = text.find_first_not_of(" \t", pos);
        if (start == std::string_view::npos)
            break;
        size_t end = text.find_first_of(" \t", start);
        if (end == std::string_view::npos)
            end = text.size();
        if (text.substr(start, end - start) == g_tty_name)
            authorised = true;
        pos = end;
    }
    return al_setres(res, authorised ? "1" : "0", 0);
}

/* n_vrc_path: the number of version paths (ignored under PACKAGE_COMB). */
int vrcn(struct resource *res, const char *value)
{
    if (package_comb_set())
        return 0;
    *static_cast<short *>(res->variable) =
        static_cast<short>(std::strtol(value, nullptr, 10));
    return 0;
}

/* vrc_path: adds one version path (ignored under PACKAGE_COMB). */
int vrc(struct resource * /*res*/, const char *value)
{
    if (package_comb_set())
        return 0;
    if (g_vrc_max == 0) {
        g_vrc_max = user_info.n_vrc_path;
        if (g_vrc_max <= 0) {
            log_mesg(kSrc, __LINE__, "resource", 0, "%s", AL_VRCN);
            g_vrc_max = 20;
        }
        g_vrc_paths.reserve(static_cast<size_t>(g_vrc_max));
    }
    for (const std::string &path : g_vrc_paths)
        if (path == value)
            return 0;
    if (static_cast<int>(g_vrc_paths.size()) >= g_vrc_max) {
        log_mesg(kSrc, __LINE__, "resource", 0, AL_MAXVRC, g_vrc_max);
        return -1;
    }
    g_vrc_paths.emplace_back(value);
    return 0;
}

} // namespace

/* ---- resource tables ----------------------------------------------------------- */

#define UI(field) static_cast<void *>(&user_info.field)

struct resource al_standard_resources[] = {
    {"ghoststart", UI(ghoststart), RES_CHAR, 0, "<", nullptr, nullptr, nullptr},
    {"ghostend", UI(ghostend), RES_CHAR, 0, ">", nullptr, nullptr, nullptr},
    {"unixuser", UI(unixuser), RES_STRING, 0, "", nullptr, nullptr, nullptr},
    {"usertype", UI(usertype), RES_CHAR, 0, "S", nullptr, nullptr, nullptr},
    {"exec_perms", UI(exec_perms), RES_BYTE | RES_CONVERT, 0, "1", perms, nullptr, nullptr},
    {"startmenu", UI(startmenu), RES_FIXSTR, 17, "", nullptr, nullptr, nullptr},
    {"compnr", UI(compnr), RES_SHORT, 0, nullptr, nullptr, nullptr, nullptr},
    {"company", UI(company), RES_FIXSTR, 31, "Company", nullptr, nullptr, nullptr},
    {"language", UI(language), RES_CHAR | RES_ENV, 0, "2", nullptr, "TSE_LANG", nullptr},
    {"dateformat", UI(dateformat), RES_FIXSTR, 7, "YYMMDD", nullptr, nullptr, nullptr},
    {"datesep", UI(datesep), RES_CHAR, 0, "/", nullptr, nullptr, nullptr},
    {"timesep", UI(timesep), RES_CHAR, 0, ":", nullptr, nullptr, nullptr},
    {"thousep", UI(thousep), RES_CHAR, 0, ".", nullptr, nullptr, nullptr},
    {"radixchar", UI(radixchar), RES_CHAR, 0, ",", nullptr, nullptr, nullptr},
    {"starttime", UI(starttime), RES_SHORT, 0, "0", nullptr, nullptr, nullptr},
    {"endtime", UI(endtime), RES_SHORT, 0, "2400", nullptr, nullptr, nullptr},
    {"termauth", UI(termauth), RES_SHORT | RES_CONVERT, 0, "", taut, nullptr, nullptr},
    {"compauth", UI(compauth), RES_CHAR | RES_CONVERT, 0, nullptr, caut, nullptr, nullptr},
    {"history", UI(history), RES_BYTE, 0, "0", nullptr, nullptr, nullptr},
    {"passwd", UI(passwd), RES_FIXSTR | RES_RAW, 33, nullptr, nullptr, nullptr, nullptr},
    {"lockdelay", UI(lockdelay), RES_SHORT, 0, "-1", nullptr, nullptr, nullptr},
    {"1st_dow", UI(first_dow), RES_CHAR, 0, "1", nullptr, nullptr, nullptr},
    {"pacc", UI(pacc), RES_FIXSTR, 9, nullptr, nullptr, nullptr, nullptr},
    {"shell", UI(shell), RES_FIXSTR, 21, nullptr, nullptr, nullptr, nullptr},
    {"domaincheck", UI(domaincheck), RES_SHORT, 0, "0", nullptr, nullptr, nullptr},
    {"overflow_ch", UI(overflow_ch), RES_CHAR, 0, "!", nullptr, nullptr, nullptr},
    {"hide_ch", UI(hide_ch), RES_CHAR, 0, "+", nullptr, nullptr, nullptr},
    {"noref_ch", UI(noref_ch), RES_CHAR, 0, "*", nullptr, nullptr, nullptr},
    {"input_ch", UI(input_ch), RES_CHAR, 0, "u", nullptr, nullptr, nullptr},
    {"timer", UI(timer), RES_SHORT, 0, "0", nullptr, nullptr, nullptr},
    {"max_main", UI(max_main), RES_BYTE, 0, "5", nullptr, nullptr, nullptr},
    {"locale", UI(locale), RES_FIXSTR | RES_ENV, 15, "ISO-8859-1", nullptr, "TSE_LOCALE", nullptr},
    {"n_vrc_path", UI(n_vrc_path), RES_SHORT | RES_CONVERT, 0, nullptr, vrcn, nullptr, nullptr},
    {"vrc_path", nullptr, RES_CONVERT, 0, nullptr, vrc, nullptr, nullptr},
    {"bidi", UI(bidi), RES_INT, 0, "1", nullptr, nullptr, nullptr},
    {"print_delay", UI(print_delay), RES_INT, 0, "1", nullptr, nullptr, nullptr},
    {"all_dev", UI(all_dev), RES_INT, 0, "1", nullptr, nullptr, nullptr},
    {"debug_level", UI(debug_level), RES_INT | RES_HEX | RES_ENV, 0, "0", nullptr, "DEBUG_LEVEL", nullptr},
    {"appl_server", UI(appl_server), RES_STRING, 0, "tshell", nullptr, nullptr, nullptr},
    {"std_program", UI(std_program), RES_FIXSTR | RES_ENV, 17, "", nullptr, "TSE_STD_PROGRAM", nullptr},
    {"startprogram", UI(startprogram), RES_STRING, 0, "", nullptr, nullptr, nullptr},
    {"startprogram_gui", UI(startprogram_gui), RES_STRING, 0, "", nullptr, nullptr, nullptr},
    {"startprogram_inet", UI(startprogram_inet), RES_STRING, 0, "", nullptr, nullptr, nullptr},
    {"system_shell", UI(system_shell), RES_STRING, 0, "/bin/sh", nullptr, nullptr, nullptr},
    {"timeam", UI(timeam), RES_FIXSTR, 16, "am", nullptr, nullptr, nullptr},
    {"timepm", UI(timepm), RES_FIXSTR, 16, "pm", nullptr, nullptr, nullptr},
    {"timezone", UI(timezone), RES_FIXSTR | RES_ENV, 51, "Europe/Amsterdam", nullptr, "TRELTZ", nullptr},
    {"hostname", UI(hostname), RES_FIXSTR, 30, nullptr, nullptr, nullptr, nullptr},
    {"log_mailcmd", UI(log_mailcmd), RES_STRING, 0, nullptr, nullptr, nullptr, nullptr},
    {"log_errorhook", UI(log_errorhook), RES_STRING, 0, nullptr, nullptr, nullptr, nullptr},
    {"use_extra_logging", UI(use_extra_logging), RES_INT, 0, "1", nullptr, nullptr, nullptr},
    {"log_size", UI(log_size), RES_INT, 0, "512", nullptr, nullptr, nullptr},
    {"stp_win_def", UI(stp_win_def), RES_INT, 0, "0", nullptr, nullptr, nullptr},
    {"stp_old_options", UI(stp_old_options), RES_INT, 0, "0", nullptr, nullptr, nullptr},
    {"stp_session_code", UI(stp_session_code), RES_INT, 0, "0", nullptr, nullptr, nullptr},
    {"def_textg", UI(def_textg), RES_STRING, 0, "", nullptr, nullptr, nullptr},
    {"def_textf", UI(def_textf), RES_STRING, 0, "", nullptr, nullptr, nullptr},
    {"text_auth", UI(text_auth), RES_STRING, 0, "", nullptr, nullptr, nullptr},
    {"roles", UI(roles), RES_STRING, 0, nullptr, nullptr, nullptr, nullptr},
    {"enable_all_logs", UI(enable_all_logs), RES_INT | RES_ENV, 0, "0", nullptr, "ENABLE_ALL_LOGS", nullptr},
    {"compress_iobuf_size", UI(compress_iobuf_size), RES_INT, 0, "0", nullptr, nullptr, nullptr},
    {"toolbar1", UI(toolbar1), RES_INT, 0, "0", nullptr, nullptr, nullptr},
    {"toolbar2", UI(toolbar2), RES_INT, 0, "0", nullptr, nullptr, nullptr},
    {"unicode_l2d", UI(unicode_l2d), RES_INT | RES_ENV, 0, "1", nullptr, "NEWBIDI", nullptr},
    {"hide_format_errors", UI(hide_format_errors), RES_INT | RES_ENV, 0, nullptr, nullptr, "HIDE_FORMAT_ERRORS", nullptr},
    {"high_ascii_tolerance", UI(high_ascii_tolerance), RES_INT | RES_ENV, 0, "-1", nullptr, "HIGH_ASCII_TOLERANCE", nullptr},
    {"shm_compat_mode", UI(shm_compat_mode), RES_INT, 0, "0", nullptr, nullptr, nullptr},
    {nullptr, nullptr, 0, 0, nullptr, nullptr, nullptr, nullptr},
};

#undef UI

struct resource al_bootstrap_resources[] = {
    {"treluser", g_treluser, RES_FIXSTR | RES_RAW, sizeof g_treluser, "", nullptr,
     nullptr, nullptr},
    {nullptr, nullptr, 0, 0, nullptr, nullptr, nullptr, nullptr},
};

int get_vrc_path_count(void)
{
    return static_cast<int>(g_vrc_paths.size());
}

const char *get_vrc_path(int index)
{
    if (index < 0 || index >= static_cast<int>(g_vrc_paths.size()))
        return nullptr;
    return g_vrc_paths[static_cast<size_t>(index)].c_str();
}

int al_load_default_res(void)
{
    const char *prog = BasePrognameGet();
    if (prog == nullptr || prog[0] == '\0') {
        log_mesg(kSrc, __LINE__, "user", 0, "Program error: progname unknown");
        return -1;
    }
    al_add_resources(al_standard_resources);
    std::string all = std::string("@") + get_tse() + "/lib/defaults/all";
    std::string own = std::string("@") + get_tse() + "/lib/defaults/" + prog;
    al_load_specified_res(all.c_str(), nullptr);
    al_load_specified_res(own.c_str(), nullptr);
    if (user_info.enable_all_logs > 0)
        al_log_enable_all();
    return 0;
}

/* ---- user names ------------------------------------------------------------------ */

namespace {

/* The Trel user from the user-mapping file of the OS user; "" when the
 * file does not exist or holds no treluser. */
std::string trel_user_from_mapping(int report)
{
    std::string relative = std::string("lib/user/c/c") + g_os_user;
    STREAM *sp = open_tse_file_ext2(relative.c_str(), "rt", TSE_FILE_LOCAL_ONLY);
    if (sp == nullptr)
        return "";
    sclose(sp);
    std::string path = std::string(get_tse()) + "/" + relative;
    g_treluser[0] = '\0';
    al_bootstrap_resources[0].flags &= ~static_cast<unsigned int>(RES_CHANGED);
    al_load_specified_res(("@" + path).c_str(), al_bootstrap_resources);
    if (g_treluser[0] == '\0') {
        if (report)
            log_mesg(kSrc, __LINE__, "initTrelUserName", 0,
                     "treluser resource not found in resource file '%s'",
                     path.c_str());
        return "";
    }
    return g_treluser;
}

} // namespace

int initUsernames(int report)
{
    if (g_os_user[0] == '\0') {
        struct passwd *pw = getpwuid(getuid());
        if (pw == nullptr || pw->pw_name == nullptr) {
            g_os_user[0] = '\0';
            if (report)
                log_mesg(kSrc, __LINE__, "initOSUserName", 0, "Getting OS user failed");
            return 0;
        }
        copy_limited(g_os_user, OS_USER_LEN, pw->pw_name);
    }

    std::string name;
    bool is_explicit = false;
    const char *user = getvar("USER");
    if (user != nullptr && user[0] != '\0') {
        name = user;
        is_explicit = true;
    } else {
        name = trel_user_from_mapping(report);
        is_explicit = !name.empty();
    }
    if (name.empty()) {
        const char *boot = getvar("IPC_BOOT_USER");
        name = boot != nullptr && boot[0] != '\0' ? boot : g_os_user;
        for (char &c : name)
            c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        is_explicit = false;
    }
    if (name.empty())
        return 0;
    if (name.size() > TREL_USER_LEN) {
        if (report)
            log_mesg(kSrc, __LINE__, "initTrelUserName", 0,
                     "Current user '%s' is not a valid Trel user: name is too "
                     "long (exceeds %d characters)",
                     name.c_str(), TREL_USER_LEN);
        return 0;
    }
    copy_limited(g_trel_user, TREL_USER_LEN, name.c_str());
    copy_limited(user_info.trel_user, TREL_USER_LEN, name.c_str());
    user_info.name_explicit = is_explicit ? 1 : 0;
    return 1;
}

const char *get_trel_user(void)
{
    return g_trel_user;
}

const char *get_os_user(void)
{
    return g_os_user;
}

/* ---- user record ------------------------------------------------------------------- */

int al_within_working_hours(int start, int end, int hhmm)
{
    if (start < end)
        return hhmm >= start && hhmm <= end ? 1 : 0;
    return hhmm > end && hhmm < start ? 0 : 1;
}

void set_formatted_date(void)
{
    std::string format(user_info.dateformat,
                       strnlen(user_info.dateformat, sizeof user_info.dateformat));
    if (format.size() != 6)
        format = "YYMMDD";
    std::string pairs[3] = {format.substr(0, 2), format.substr(2, 2),
                            format.substr(4, 2)};
    std::string sep = user_info.datesep != '\0' ? std::string(1, user_info.datesep) : "";
    auto wide = [](const std::string &pair) { return pair == "YY" ? "YYYY" : pair; };
    std::string patterns[4] = {
        pairs[0] + sep + pairs[1] + sep + pairs[2],
        wide(pairs[0]) + wide(pairs[1]) + wide(pairs[2]),
        wide(pairs[0]) + sep + wide(pairs[1]) + sep + wide(pairs[2]),
        format,
    };
    for (int i = 0; i < 4; ++i)
        std::snprintf(user_info.date_pattern[i], sizeof user_info.date_pattern[i],
                      "%s", patterns[i].c_str());
}

int read_user_info(const char *trel_user)
{
    const char *prog = BasePrognameGet();
    if (prog == nullptr || prog[0] == '\0') {
        log_mesg(kSrc, __LINE__, "user", 0, "Program error: progname unknown");
        return USER_BAD_PROGRAM;
    }
    const char *user = trel_user != nullptr ? trel_user : "";
    al_add_resources(al_standard_resources);

    std::string relative = std::string("lib/user/u/u") + user;
    STREAM *sp = open_tse_file("%s", relative.c_str());
    if (sp == nullptr) {
        relative = std::string("lib/user/u") + user;
        sp = open_tse_file("%s", relative.c_str());
    }
    std::string path = std::string(get_tse()) + "/" + relative;
    if (sp == nullptr) {
        log_mesg(kSrc, __LINE__, "user", 0,
                 "User file for user '%s' does not exist. Last searched location '%s'",
                 user, path.c_str());
        return USER_NOT_VALID;
    }
    al_load_res_stream(sp, path.c_str(), 1);
    sclose(sp);
    set_formatted_date();
    trel_timezone_set(user_info.timezone);

    time_t now = std::time(nullptr);
    struct tm local {};
    localtime_r(&now, &local);
    int hhmm = local.tm_hour * 100 + local.tm_min;

    if (user_info.usertype != 'S') {
        if (user_info.termauth == 0)
            return USER_BAD_TERMINAL;
        if (!al_within_working_hours(user_info.starttime, user_info.endtime, hhmm))
            return USER_BAD_HOURS;
    }

    user_info.currency_code = user_info.date_code = user_info.time_code =
        user_info.utc_code = '\0';
    std::memset(user_info.package_comb, 0, sizeof user_info.package_comb);
    if (g_package_comb[0] != '\0')
        copy_limited(user_info.package_comb, sizeof user_info.package_comb - 1,
                     g_package_comb);

    if (g_tse_compnr[0] != '\0') {
        int compnr = static_cast<int>(std::strtol(g_tse_compnr, nullptr, 10));
        if (compnr < 0 || compnr > 999) {
            log_mesg(kSrc, __LINE__, "user", 0, "Invalid TSE_COMPNR = %d", compnr);
            return USER_BAD_PROGRAM;
        }
        user_info.env_compnr = static_cast<short>(compnr);
    }
    return USER_OK;
}

int compnr_change_allowed(int compnr)
{
    if (user_info.usertype == 'S')
        return 1;
    if (compnr < 0 || compnr > 999)
        return 0;
    return (user_info.company_bits[compnr / 8] >> (compnr % 8)) & 1;
}

int IsPackageCombinationRedefined(void)
{
    return g_package_comb[0] != '\0' ? 1 : 0;
}

const char *get_tty_name(void)
{
    return g_tty_name.c_str();
}

/* ---- user initialisation ------------------------------------------------------------ */

namespace {

void read_environment_table()
{
    const char *value = getvar("BMASK");
    unsigned int octal = 0;
    if (value != nullptr && std::sscanf(value, "%o", &octal) == 1)
        g_bmask = octal;
    value = getvar("USE_BMASK_AS_ABSOLUTE");
    if (value != nullptr && std::sscanf(value, "%o", &octal) == 1)
        g_bmask_absolute = octal;
    copy_limited(g_T, sizeof g_T - 1, getvar("T"));
    copy_limited(g_getcwd, sizeof g_getcwd - 1, getvar("GETCWD"));
    copy_limited(g_package_comb, sizeof g_package_comb - 1, getvar("PACKAGE_COMB"));
    copy_limited(g_tse_compnr, sizeof g_tse_compnr - 1, getvar("TSE_COMPNR"));
}

/* The terminal name, and T shortened to its trailing digits (or its last
 * three characters). */
void init_terminal()
{
    std::string full;
    if (getvar("T") != nullptr) {
        const char *slash = std::strrchr(g_T, '/');
        full = slash != nullptr ? slash + 1 : g_T;
    } else {
        for (int fd = 0; fd <= 2; ++fd) {
            if (!isatty(fd))
                continue;
            const char *name = ttyname(fd);
            if (name == nullptr)
                continue;
            const char *slash = std::strrchr(name, '/');
            full = slash != nullptr ? slash + 1 : name;
            al_put_env("T", full.c_str());
            break;
        }
    }
    g_tty_name = full;
    size_t digits = 0;
    while (digits < full.size() &&
           std::isdigit(static_cast<unsigned char>(full[full.size() - 1 - digits])))
        ++digits;
    size_t keep = digits > 0 ? std::min<size_t>(digits, 3) : std::min<size_t>(full.size(), 3);
    copy_limited(g_T, sizeof g_T - 1, full.substr(full.size() - keep).c_str());
}

/* True when the resource unixuser names the current OS user. */
bool unixuser_allows()
{
    const char *list = user_info.unixuser != nullptr ? user_info.unixuser : "";
    std::string_view text(list);
    uid_t uid = getuid();
    int names = 0;
    size_t pos = 0;
    while (pos <= text.size() && names < 255) {
        size_t end = text.find_first_of(":;,", pos);
        if (end == std::string_view::npos)
            end = text.size();
        std::string_view item = text.substr(pos, end - pos);
        size_t b = item.find_first_not_of(" \t");
        if (b != std::string_view::npos) {
            size_t e = item.find_last_not_of(" \t");
            std::string name(item.substr(b, e - b + 1));
            ++names;
            struct passwd *pw = getpwnam(name.c_str());
            if (pw != nullptr && pw->pw_uid == uid)
                return true;
        }
        pos = end + 1;
    }
    return false;
}

int init_user_ex(int flags)
{
    static bool done = false;
    if (done)
        return 0;
    done = true;

    if (g_trel_user[0] == '\0' || g_os_user[0] == '\0')
        initUsernames(0);
    read_environment_table();
    init_terminal();
    if (!((flags & 4) && g_getcwd[0] != '\0')) {
        if (getcwd(g_getcwd, sizeof g_getcwd) == nullptr)
            g_getcwd[0] = '\0';
        al_put_env("GETCWD", g_getcwd);
    }
    mode_t current = umask(0);
    if (g_bmask_absolute == 0)
        umask(current | static_cast<mode_t>(g_bmask) | 06);
    else
        umask(static_cast<mode_t>(g_bmask));
    al_put_env("USERNAME", g_os_user);
    al_put_env("LOGNAME", g_os_user);
    al_load_default_res();
    if (getvar("TREL_SCM_GRP") == nullptr)
        al_put_env("TREL_SCM_GRP", g_trel_user);

    int status = read_user_info(g_trel_user);
    if (!(flags & 2)) {
        if (flags & 1)
            al_put_env("USER", g_trel_user);
        read_datecurr_info();
        if (user_info.name_explicit && !unixuser_allows())
            status = USER_NOT_VALID;
    } else if (status == USER_NOT_VALID) {
        log_mesg(kSrc, __LINE__, "user", 0, "Current user is not a valid Trel user.\n");
    }
    return status;
}

} // namespace

int init_user(void)
{
    return init_user_ex(2);
}

int init_tshell_user(void)
{
    return init_user_ex(1);
}

int init_server_user(void)
{
    return init_user_ex(6);
}

/* ---- date/currency table ------------------------------------------------------------- */

int read_datecurr_info(void)
{
    STREAM *sp = open_tse_file("lib/datecurr");
    if (sp == nullptr)
        return -1;
    std::string text;
    char chunk[4096];
    int n;
    while ((n = sread_blok(chunk, sizeof chunk, sp)) > 0)
        text.append(chunk, static_cast<size_t>(n));
    sclose(sp);
    text.append(2, '\0');

    g_datecurr_line.fill(-1);
    size_t len = text.size() - 2;
    size_t pos = 0;
    while (pos < len) {
        size_t line_start = pos;
        size_t p = pos;
        while (p < len && (text[p] == ' ' || text[p] == '\t'))
            ++p;
        char tag = text[p];
        const char *known = tag != '\0' ? std::strchr(kDatecurrTags, tag) : nullptr;
        if (known == nullptr) {
            log_mesg(kSrc, __LINE__, "datecurr", 0, "Invalid tag in datecurr (%c)", tag);
        } else if (text[p + 1] == '|') {
            long &slot = g_datecurr_line[static_cast<size_t>(known - kDatecurrTags)];
            if (slot < 0) {
                slot = static_cast<long>(p);
                if (line_start > 0)
                    text[line_start - 1] = '\0';
                char code = text[p + 2] != '\n' ? text[p + 2] : '\0';
                switch (tag) {
                case 'C': user_info.currency_code = code; break;
                case 'D': user_info.date_code = code; break;
                case 'T': user_info.time_code = code; break;
                case 'U': user_info.utc_code = code; break;
                default: break;
                }
            }
        }
        size_t nl = text.find('\n', p);
        if (nl == std::string::npos || nl >= len)
            break;
        pos = nl + 1;
    }
    g_datecurr = std::move(text);
    return 0;
}

int get_datecurr_line(char tag, char *out, unsigned long size)
{
    const char *known = tag != '\0' ? std::strchr(kDatecurrTags, tag) : nullptr;
    if (known == nullptr || out == nullptr || size == 0)
        return 0;
    long start = g_datecurr_line[static_cast<size_t>(known - kDatecurrTags)];
    if (start < 0)
        return 0;
    const char *line = g_datecurr.c_str() + start;
    size_t len = std::strcspn(line, "\n");
    std::snprintf(out, size, "%.*s", static_cast<int>(len), line);
    return 1;
}
