/*
 * al_env.cpp: variables and the tse_vars files, the root and temporary
 * directories, the release text, files under the root, host information,
 * BaseInit and the process set, system variables for child programs,
 * logical object names and the development-tools version.
 */
#include <pwd.h>
#include <sys/stat.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <string>
#include <string_view>
#include <vector>

#include "al_env.h"
#include "al_env_internal.h"
#include "al_log.h"
#include "al_mem.h"
#include "al_stream.h"
#include "al_user.h"

extern char **environ;

namespace {

const char kSrc[] = "lib/al_1/al_env.cpp";

/* ---- the variable list ---------------------------------------------------- */

struct Var {
    std::string name;
    std::string value;
};

struct VarList {
    std::deque<Var> vars; /* stable addresses: getvar hands out c_str() */
    bool read = false;
};

VarList &varlist()
{
    static VarList list;
    return list;
}

std::string_view trim_blanks(std::string_view text)
{
    size_t b = text.find_first_not_of(" \t");
    if (b == std::string_view::npos)
        return {};
    size_t e = text.find_last_not_of(" \t");
    return text.substr(b, e - b + 1);
}

/* Adds the variables of one tse_vars file; a missing file is skipped. */
void read_vars_file(const std::string &path)
{
    STREAM *sp = sopen(path.c_str(), "rt");
    if (sp == nullptr)
        return;
    char line[1023]; /* at most 1022 characters a line */
    while (sgets(line, sizeof line, sp) != nullptr) {
        if (line[0] == '#')
            continue;
        const char *eq = std::strchr(line, '=');
        if (eq == nullptr)
            continue;
        std::string name(trim_blanks(std::string_view(line, eq - line)));
        if (name.empty())
            continue;
        if (getvar(name.c_str()) == nullptr)
            varlist().vars.push_back(Var{name, eq + 1});
    }
    sclose(sp);
}

/* ---- root and temporary directory ----------------------------------------- */

struct DirCache {
    std::string value;
    bool known = false;
};

DirCache g_root[2];
DirCache g_tmp[2];

std::string compute_root()
{
    const char *value = getvar("TSE");
    std::string root = value != nullptr ? value : "/usr/tse";
    if (root.size() > 1 && root.back() == '/')
        root.pop_back();
    return root;
}

std::string compute_tmp(int as_argument)
{
    const char *value = getvar("TSE_TMP");
    if (value != nullptr) {
        if (stream_access(value, 6) == 0)
            return value;
        log_mesg(kSrc, __LINE__, "try_tse_tmp", 0,
                 "%s: not accessable; defaulting to $TSE/tmp", value);
    }
    std::string tmp = std::string(get_tse_ex(as_argument)) + "/tmp";
    if (stream_access(tmp.c_str(), 6) == 0)
        return tmp;
    log_mesg(kSrc, __LINE__, "try_tse_tmp", 0,
             "%s: not accessable; defaulting to /usr/tmp", tmp.c_str());
    return "/usr/tmp";
}

/* ---- release -------------------------------------------------------------- */

int g_release = AL_RELEASE_NUMBER;
char g_release_text[16];

/* ---- host ----------------------------------------------------------------- */

char g_hostname[256];

struct HostSystem {
    std::string sysname, release, version;
    bool known = false;
};

HostSystem &host_system()
{
    static HostSystem host;
    if (!host.known) {
        host.known = true;
        struct utsname u {};
        if (uname(&u) == 0) {
            host.sysname = u.sysname;
            host.release = u.release;
            host.version = u.version;
        }
    }
    return host;
}

/* ---- program and process set ---------------------------------------------- */

std::string g_progname;
std::string g_fullpath;
std::string g_process_set;

/* The OS user of the real user id, else LOGNAME, else "" (256 at most). */
std::string process_set_user()
{
    std::string user;
    if (struct passwd *pw = getpwuid(getuid()); pw != nullptr && pw->pw_name != nullptr)
        user = pw->pw_name;
    else if (const char *logname = std::getenv("LOGNAME"); logname != nullptr)
        user = logname;
    if (user.size() > OS_USER_LEN)
        user.resize(OS_USER_LEN);
    return user;
}

/* ---- development tools ---------------------------------------------------- */

struct DtState {
    bool known = false;
    std::string text;
    int pellano = 0;
    int marlo = 0;
    int tessin = 0;
};

DtState g_dt;

int at_least(const std::string &version, const char *threshold)
{
    char padded[8] = {0};
    std::strncpy(padded, version.c_str(), sizeof padded);
    return std::memcmp(padded, threshold, sizeof padded) >= 0 ? 1 : 0;
}

/* The tools directory in an object path: the component that ends 16
 * characters before the end ("/o6.2/ottiex1287"). */
bool tools_directory(const std::string &path, std::string &dir)
{
    if (path.size() <= 16)
        return false;
    size_t end = path.size() - 16;
    if (path[end] != '/')
        return false;
    size_t slash = path.rfind('/', end - 1);
    size_t start = slash == std::string::npos ? 0 : slash + 1;
    if (start >= end)
        return false;
    dir = path.substr(start, end - start);
    return true;
}

/* ---- logical names -------------------------------------------------------- */

struct LogicalType {
    const char *type;
    const char *dir_prefix; /* followed by the release text */
};

const LogicalType kLogicalTypes[] = {
    {"F_OBJ", "o"},
    {"F_BRDD", "d"},
    {"F_AUD", "a"},
    {"F_MSG", "m"},
};

/* The directory of a package in a package-combination file, relative to
 * the root unless absolute; false when the package has no line. */
bool package_directory(STREAM *sp, const std::string &fname,
                       const std::string &package, std::string &dir)
{
    char line[1024];
    int lineno = 0;
    bool found = false;
    while (sgets(line, sizeof line, sp) != nullptr) {
        ++lineno;
        std::vector<std::string> words;
        std::string word;
        for (const char *p = line;; ++p) {
            if (*p == '\0' || std::isspace(static_cast<unsigned char>(*p))) {
                if (!word.empty())
                    words.push_back(word);
                word.clear();
                if (*p == '\0')
                    break;
            } else {
                word += *p;
            }
        }
        if (words.empty() || words[0][0] == '#')
            continue;
        if (words.size() != 2 || words[0].size() != 2) {
            log_mesg(kSrc, __LINE__, "package combination", LOG_WARNING,
                     "Malformed line %d in package combination file %s (ignored)",
                     lineno, fname.c_str());
            continue;
        }
        if (!found && words[0] == package) {
            dir = words[1];
            found = true;
        }
    }
    return found;
}

} // namespace

/* ---- variables -------------------------------------------------------------- */

const char *VarlistGet(const char *name)
{
    if (name == nullptr)
        return nullptr;
    for (const Var &var : varlist().vars)
        if (var.name == name)
            return var.value.c_str();
    return nullptr;
}

void read_tse_vars(const char *root)
{
    VarList &list = varlist();
    if (list.read)
        return;
    list.read = true; /* before the first file: lookups must not recurse */
    read_vars_file("tse_vars");
    std::string base = root != nullptr ? root : get_tse();
    read_vars_file(base + "/lib/tse_vars");
    read_vars_file("/usr/tse/tse_vars");
}

const char *getvar(const char *name)
{
    if (name == nullptr)
        return nullptr;
    if (const char *value = std::getenv(name); value != nullptr)
        return value;
    if (!varlist().read)
        read_tse_vars(nullptr);
    return VarlistGet(name);
}

void read_and_put_tse_vars_to_system_env(const char *root)
{
    read_tse_vars(root);
    for (const Var &var : varlist().vars)
        if (std::getenv(var.name.c_str()) == nullptr)
            al_put_env(var.name.c_str(), var.value.c_str());
}

int al_put_env(const char *name, const char *value)
{
    std::string text = std::string(name) + "=" + (value != nullptr ? value : "");
    char *copy = mal_strsave(text.c_str());
    if (copy == nullptr)
        return -1;
    return putenv(copy) == 0 ? 0 : -1;
}

int trel_setenv(const char *name, const char *value, int overwrite)
{
    if (name == nullptr)
        return -1;
    if (!overwrite && std::getenv(name) != nullptr)
        return 0;
    std::string text = std::string(name) + "=" + (value != nullptr ? value : "");
    char *copy = mal_strsave(text.c_str());
    if (copy == nullptr)
        return -1;
    return putenv(copy);
}

int trel_unsetenv(const char *name)
{
    if (name == nullptr || environ == nullptr)
        return -1;
    size_t len = std::strlen(name);
    for (char **entry = environ; *entry != nullptr; ++entry) {
        if (std::strncmp(*entry, name, len) == 0 && (*entry)[len] == '=') {
            for (char **later = entry; *later != nullptr; ++later)
                later[0] = later[1];
            return 0;
        }
    }
    return -1;
}

int trel_putenv(char *text)
{
    return putenv(text);
}

/* ---- root, temporary directory, release --------------------------------------- */

const char *get_tse_ex(int as_argument)
{
    DirCache &cache = g_root[as_argument ? 1 : 0];
    if (!cache.known) {
        cache.value = compute_root();
        cache.known = true;
    }
    return cache.value.c_str();
}

const char *get_tse(void)
{
    return get_tse_ex(0);
}

void set_tse(const char *path)
{
    if (path == nullptr || path[0] == '\0')
        return;
    g_root[0].value = path;
    g_root[0].known = true;
}

const char *get_tse_tmp_ex(int as_argument)
{
    DirCache &cache = g_tmp[as_argument ? 1 : 0];
    if (!cache.known) {
        cache.value = compute_tmp(as_argument);
        cache.known = true;
    }
    return cache.value.c_str();
}

const char *get_tse_tmp(void)
{
    return get_tse_tmp_ex(0);
}

void set_tse_tmp(const char *path)
{
    if (path == nullptr || path[0] == '\0')
        return;
    g_tmp[0].value = path;
    g_tmp[0].known = true;
}

const char *get_release(void)
{
    std::snprintf(g_release_text, sizeof g_release_text, "%1d.%1d",
                  g_release / 10, g_release % 10);
    return g_release_text;
}

void set_release(int number)
{
    g_release = number;
    get_release();
}

int expand_trel_prog(const char *name, char *out, unsigned long size)
{
    if (name == nullptr || out == nullptr || size == 0)
        return 0;
    struct stat st {};
    const char *bin = getvar("TSE_BIN");
    if (bin != nullptr && bin[0] != '\0') {
        std::snprintf(out, size, "%s/%s%s", bin, name, get_release());
        if (stat(out, &st) == 0)
            return 1;
    }
    std::snprintf(out, size, "%s/bin/%s%s", get_tse(), name, get_release());
    return stat(out, &st) == 0 ? 1 : 0;
}

/* ---- files under the root ------------------------------------------------------- */

namespace {

/* The entries of the path list of a name under the root. */
std::vector<std::string> tse_file_entries(const char *name, int flags)
{
    std::vector<std::string> entries;
    std::string_view rest(name);
    while (true) {
        size_t semi = rest.find(';');
        std::string alt(rest.substr(0, semi));
        entries.push_back("${TSE}/" + alt);
        if (!(flags & TSE_FILE_LOCAL_ONLY))
            entries.push_back("${TSE_REM}!${TSE}/" + alt);
        if (semi == std::string_view::npos)
            break;
        rest.remove_prefix(semi + 1);
    }
    return entries;
}

/* The path list of a name under the root, one ";"-separated text. */
std::string tse_file_list(const char *name, int flags)
{
    std::string list;
    for (const std::string &entry : tse_file_entries(name, flags)) {
        if (!list.empty())
            list += ';';
        list += entry;
    }
    return list;
}

/* Opens a name under the root: the stream layer tries the entries of its
 * path list in order. */
STREAM *open_tse_name(const char *name, const char *mode, int flags)
{
    if (name == nullptr || mode == nullptr) {
        errno = EINVAL;
        return nullptr;
    }
    return sopen(tse_file_list(name, flags).c_str(), mode);
}

} // namespace

int al_tse_file_list(const char *name, int flags, char *out, unsigned long size)
{
    if (name == nullptr || out == nullptr)
        return -1;
    std::string list = tse_file_list(name, flags);
    if (list.size() >= size)
        return -1;
    std::memcpy(out, list.c_str(), list.size() + 1);
    return static_cast<int>(list.size());
}

STREAM *v_open_tse_file(const char *fmt, const char *mode, int flags, va_list ap)
{
    if (fmt == nullptr) {
        errno = EINVAL;
        return nullptr;
    }
    char name[1024];
    int len = std::vsnprintf(name, sizeof name, fmt, ap);
    if (len < 0 || len >= static_cast<int>(sizeof name)) {
        errno = ENAMETOOLONG;
        return nullptr;
    }
    return open_tse_name(name, mode, flags);
}

STREAM *open_tse_file(const char *fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    STREAM *sp = v_open_tse_file(fmt, "rt", 0, ap);
    va_end(ap);
    return sp;
}

STREAM *open_tse_file_ext(const char *name, const char *mode)
{
    return open_tse_name(name, mode, 0);
}

STREAM *open_tse_file_ext2(const char *name, const char *mode, int flags)
{
    return open_tse_name(name, mode, flags);
}

/* ---- host ------------------------------------------------------------------------ */

const char *getsyshostname(void)
{
    const char *env = getvar("TSE_HOSTNAME");
    if (env != nullptr && env[0] != '\0') {
        std::snprintf(g_hostname, sizeof g_hostname, "%s", env);
        return g_hostname;
    }
    if (user_info.hostname[0] != '\0') {
        std::snprintf(g_hostname, sizeof g_hostname, "%.*s",
                      static_cast<int>(sizeof user_info.hostname), user_info.hostname);
        return g_hostname;
    }
    char name[256] = {0};
    if (gethostname(name, sizeof name - 1) == 0 && name[0] != '\0') {
        std::snprintf(g_hostname, sizeof g_hostname, "%s", name);
        return g_hostname;
    }
    struct utsname u {};
    if (uname(&u) == 0)
        std::snprintf(g_hostname, sizeof g_hostname, "%s", u.nodename);
    else
        g_hostname[0] = '\0';
    return g_hostname;
}

const char *getsyshostsysname(void)
{
    return host_system().sysname.c_str();
}

const char *getsyshostrelease(void)
{
    return host_system().release.c_str();
}

const char *getsyshostversion(void)
{
    return host_system().version.c_str();
}

/* ---- program and process set --------------------------------------------------------- */

const char *al_basename(const char *path)
{
    if (path == nullptr)
        return "";
    const char *bang = std::strchr(path, '!');
    if (bang != nullptr)
        path = bang + 1;
    const char *slash = std::strrchr(path, '/');
    return slash != nullptr ? slash + 1 : path;
}

void BaseProcessSetSet(const char *text)
{
    if (text != nullptr) {
        const char *lt = std::strchr(text, '<');
        if (lt != nullptr) {
            const char *mark = std::strchr(lt + 1, '@');
            if (mark == nullptr)
                mark = std::strchr(lt + 1, ':');
            const char *gt = mark != nullptr ? std::strchr(mark + 1, '>') : nullptr;
            if (gt != nullptr) {
                g_process_set.assign(lt + 1, gt);
                return;
            }
        }
    }
    std::string user = process_set_user();
    char host[128] = {0};
    if (gethostname(host, sizeof host - 1) != 0 || host[0] == '\0')
        std::snprintf(host, sizeof host, "%s", "unknown_host");
    char buf[512];
    std::snprintf(buf, sizeof buf, "%s%s%s:%d", user.c_str(), user.empty() ? "" : "@",
                  host, static_cast<int>(getpid()));
    g_process_set = buf;
}

const char *BaseProcessSetGet(void)
{
    if (g_process_set.empty())
        BaseProcessSetSet(nullptr);
    return g_process_set.c_str();
}

void set_program_fullpath(const char *path)
{
    g_fullpath = path != nullptr ? path : "";
    if (g_fullpath.size() > AL_PROGNAME_MAX)
        g_fullpath.resize(AL_PROGNAME_MAX);
}

const char *get_program_fullpath(void)
{
    return g_fullpath.c_str();
}

const char *BasePrognameGet(void)
{
    return g_progname.c_str();
}

void BaseInit(const char *argv0)
{
    static bool done = false;
    if (done)
        return;
    done = true;
    if (getvar("CORE") == nullptr)
        al_install_emergency_handlers();
    set_max_files();
    if (argv0 == nullptr)
        return;
    std::string copy(argv0);
    if (copy.size() > AL_PROGNAME_MAX)
        copy.resize(AL_PROGNAME_MAX);
    BaseProcessSetSet(copy.c_str());
    size_t blank = copy.find(' ');
    if (blank != std::string::npos)
        copy.resize(blank);
    g_progname = al_basename(copy.c_str());
    if (!copy.empty() && copy.find('@') == std::string::npos &&
        copy.find(':') == std::string::npos)
        set_program_fullpath(copy.c_str());
}

/* ---- system variables for child programs ------------------------------------------------ */

int setSystemVarsEx(const char *path, int flags)
{
    constexpr size_t kMax = 2048;
    const char *home = getvar("TRELHOME");
    if (home != nullptr && home[0] != '\0') {
        std::string value(home);
        if (value.size() > kMax) {
            value.resize(kMax);
            log_mesg(kSrc, __LINE__, "setSystemVars", LOG_WARNING,
                     "Environment variable TRELHOME exceeds maximum of %d "
                     "characters, and is truncated to this maximum.",
                     static_cast<int>(kMax));
        }
        al_put_env("TRELHOME", value.c_str());
    }

    static const char kLibVar[] = "LD_LIBRARY_PATH";
    const char *current = getvar(kLibVar);
    std::string libpath =
        current != nullptr ? current
                           : "/usr/lib/java/jre/lib/i386:/usr/lib/java/jre/lib/i386/client:"
                             "/usr/lib/java/jre/lib/i386/native_threads";
    std::string value;
    if (path == nullptr || path[0] == '\0')
        value = libpath;
    else if (libpath.empty())
        value = path;
    else if (libpath.find(path) == std::string::npos)
        value = (flags & 1) ? std::string(path) + ':' + libpath
                            : libpath + ':' + path;
    else
        value = libpath;
    if (value.size() > kMax) {
        value.resize(kMax);
        log_mesg(kSrc, __LINE__, "setSystemVars", LOG_WARNING,
                 "Value of environment variable %s exceeds maximum of %d "
                 "characters, and is truncated to '%s'.",
                 kLibVar, static_cast<int>(kMax), value.c_str());
    }
    if (!value.empty())
        al_put_env(kLibVar, value.c_str());
    return 0;
}

int setSystemVars(const char *path)
{
    return setSystemVarsEx(path, 0);
}

/* ---- logical object names ---------------------------------------------------------------- */

const char *al_package_comb_in_force()
{
    const char *comb = getvar("PACKAGE_COMB");
    if (comb != nullptr && comb[0] != '\0')
        return comb;
    static char pacc[sizeof user_info.pacc + 1];
    std::snprintf(pacc, sizeof pacc, "%.*s", static_cast<int>(sizeof user_info.pacc),
                  user_info.pacc);
    return pacc;
}

int al_explode_logical_name(const char *type, const char *name,
                            const char *package_comb, int /*compnr*/, char *path,
                            unsigned long size)
{
    if (type == nullptr || name == nullptr || path == nullptr || size == 0) {
        errno = EINVAL;
        return -1;
    }
    const LogicalType *kind = nullptr;
    for (const LogicalType &t : kLogicalTypes)
        if (std::strcmp(t.type, type) == 0)
            kind = &t;
    if (kind == nullptr || std::strlen(name) < 3 || std::strpbrk(name, "/;") != nullptr) {
        errno = EINVAL;
        return -1;
    }
    std::string comb = package_comb != nullptr ? package_comb : al_package_comb_in_force();
    if (comb.empty() || comb.find_first_of("/;") != std::string::npos) {
        errno = ENOENT;
        return -1;
    }
    STREAM *sp = open_tse_file("lib/fd%s.%s", get_release(), comb.c_str());
    if (sp == nullptr) {
        errno = ENOENT;
        return -1;
    }
    std::string fname =
        std::string(get_tse()) + "/lib/fd" + get_release() + "." + comb;
    std::string dir;
    bool found = package_directory(sp, fname, std::string(name + 1, 2), dir);
    sclose(sp);
    if (!found) {
        errno = ENOENT;
        return -1;
    }
    std::string full = dir[0] == '/' ? dir : std::string(get_tse()) + "/" + dir;
    full += std::string("/") + kind->dir_prefix + get_release() + "/" + name;
    if (full.size() >= size) {
        errno = ENAMETOOLONG;
        return -1;
    }
    std::memcpy(path, full.c_str(), full.size() + 1);
    return 0;
}

/* ---- development-tools version -------------------------------------------------------------- */

void _determine_DT_version(const char *version)
{
    g_dt.known = true;
    g_dt.text = version != nullptr ? version : "";
    if (g_dt.text.empty() || g_dt.text == "Install") {
        g_dt.pellano = g_dt.marlo = g_dt.tessin = 1;
    } else if (g_dt.text.compare(0, 5, "ttT50") == 0) {
        g_dt.pellano = g_dt.marlo = g_dt.tessin = 0;
    } else {
        g_dt.pellano = at_least(g_dt.text, "tt7.1_a");
        g_dt.marlo = at_least(g_dt.text, "tt7.3_a");
        g_dt.tessin = at_least(g_dt.text, "tt7.6_a");
    }
}

int determine_DT_version(void)
{
    if (std::strcmp(al_package_comb_in_force(), "Install") == 0 ||
        std::strncmp(user_info.package_comb, "Install", sizeof user_info.package_comb) == 0) {
        _determine_DT_version("Install");
        return 0;
    }
    char path[4096];
    std::string dir;
    if (al_explode_logical_name("F_OBJ", "ottiex1287", nullptr, -1, path,
                                sizeof path) != 0 ||
        !tools_directory(path, dir)) {
        log_mesg(kSrc, __LINE__, "determine_DT_version", 0,
                 "Failed to determine Development Tools version (could not "
                 "explode 'F_OBJ:ottiex1287')");
        g_dt = DtState{};
        g_dt.known = true;
        return -1;
    }
    _determine_DT_version(dir.c_str());
    return 0;
}

void set_DT_version(const char *version)
{
    _determine_DT_version(version);
}

const char *get_DT_version(void)
{
    if (!g_dt.known)
        determine_DT_version();
    return g_dt.text.c_str();
}

int is_GTEQ_Pellano(void)
{
    if (!g_dt.known)
        determine_DT_version();
    return g_dt.pellano;
}

int is_GTEQ_Marlo(void)
{
    if (!g_dt.known)
        determine_DT_version();
    return g_dt.marlo;
}

int is_GTEQ_Tessin(void)
{
    if (!g_dt.known)
        determine_DT_version();
    return g_dt.tessin;
}
