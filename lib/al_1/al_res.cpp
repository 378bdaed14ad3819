/*
 * al_res.cpp: the resource registry (at most 5 tables and the undefined
 * resources), value assignment with environment overrides and export,
 * resource files with program classes, run-time updates by command string,
 * reserved entries and change hooks, and escape processing (make_string).
 */
#include <array>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <string>
#include <string_view>

#include "al_env.h"
#include "al_env_internal.h"
#include "al_float.h"
#include "al_log.h"
#include "al_mem.h"
#include "al_msg.h"
#include "al_res.h"
#include "al_stream.h"
#include "al_user.h"

namespace {

const char kSrc[] = "lib/al_1/al_res.cpp";

/* Descriptors added per growth step of the undefined resources. */
constexpr int kUndefinedStep = 32;

/* The registered tables, in the order of adding. */
struct Registry {
    std::array<struct resource *, AL_MAX_RES_TABLES> tables{};
    int count = 0;
};

Registry &registry()
{
    static Registry reg;
    return reg;
}

/*
 * The undefined resources: descriptors (stable addresses) of type
 * allocated string whose variables are slots of blocks of 32 pointers.
 */
struct Undefined {
    std::deque<struct resource> descs;
    std::deque<std::array<char *, kUndefinedStep>> slots;
    int capacity = 0;
};

Undefined &undefined()
{
    static Undefined u;
    return u;
}

/* Set while al_loadres (or the user file) runs. */
bool g_allow_undefined = false;

unsigned int res_type(const struct resource *res)
{
    return res->flags & RES_TYPE_MASK;
}

bool is_table_end(const struct resource *res)
{
    return res->name == nullptr || res->name[0] == '\0';
}

bool is_string_type(unsigned int type)
{
    return type == RES_FIXSTR || type == RES_STRING;
}

bool is_integer_type(unsigned int type)
{
    return type == RES_SHORT || type == RES_INT || type == RES_LONG ||
           type == RES_BYTE;
}

/* The words yes/true and no/false (any case) become "1" and "0". */
std::string boolean_word(std::string_view value)
{
    std::string lower;
    for (char c : value)
        lower += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (lower == "yes" || lower == "true")
        return "1";
    if (lower == "no" || lower == "false")
        return "0";
    return std::string(value);
}

/* The environment name of a descriptor, whatever its flags. */
std::string env_name_of(const struct resource *res)
{
    if (res->env_name != nullptr && res->env_name[0] != '\0')
        return res->env_name;
    std::string name;
    for (const char *p = res->name; p != nullptr && *p != '\0'; ++p)
        name += static_cast<char>(std::toupper(static_cast<unsigned char>(*p)));
    return name;
}

/* Integer text by the descriptor's base: hexadecimal, octal or decimal. */
long long ascii_to_long(const char *text, unsigned int flags)
{
    if (flags & RES_HEX)
        return static_cast<long long>(std::strtoull(text, nullptr, 16));
    if (flags & RES_OCT)
        return static_cast<long long>(std::strtoull(text, nullptr, 8));
    return std::strtoll(text, nullptr, 10);
}

/* The value after escape processing (or unchanged for raw descriptors). */
std::string unescaped(const struct resource *res, const std::string &value)
{
    if (res->flags & RES_RAW)
        return value;
    std::string out(value.size() + 1, '\0');
    int len = make_string(value.c_str(), out.data());
    out.resize(static_cast<size_t>(len));
    return out;
}

/* Calls f on every descriptor of the registered tables, then of the
 * undefined resources, until f returns true; returns that descriptor. */
template <typename F> struct resource *find_descriptor(F f)
{
    Registry &reg = registry();
    for (int i = 0; i < reg.count; ++i)
        for (struct resource *res = reg.tables[i]; !is_table_end(res); ++res)
            if (f(res))
                return res;
    for (struct resource &res : undefined().descs)
        if (f(&res))
            return &res;
    return nullptr;
}

/* A new undefined resource of that name, or null when memory runs out. */
struct resource *add_undefined(const char *name)
{
    Undefined &u = undefined();
    if (u.capacity == 0) {
        u.capacity = kUndefinedStep;
        u.slots.emplace_back();
        if (al_res_tracing())
            std::fprintf(stderr, "Created space for %d undefined resources\n",
                         kUndefinedStep);
    } else if (static_cast<int>(u.descs.size()) == u.capacity - 1) {
        u.capacity += kUndefinedStep;
        u.slots.emplace_back();
        if (al_res_tracing())
            std::fprintf(stderr,
                         "Created space for %d extra undefined resources\n",
                         kUndefinedStep);
    }
    char *copy = mal_strsave(name);
    if (copy == nullptr)
        return nullptr;
    size_t index = u.descs.size();
    char **slot = &u.slots[index / kUndefinedStep][index % kUndefinedStep];
    *slot = nullptr;
    u.descs.push_back(resource{copy, slot, RES_STRING, 0, nullptr,
                               nullptr, nullptr, nullptr});
    if (al_res_tracing())
        std::fprintf(stderr, "Inserted undefined resource '%s'\n", name);
    return &u.descs.back();
}

/*
 * While alive, only extra is in the registry (when extra is given); the
 * saved registry comes back on destruction, also on failure paths.
 */
class RegistryScope {
public:
    explicit RegistryScope(struct resource *extra) : active_(extra != nullptr)
    {
        if (!active_)
            return;
        saved_ = registry();
        registry() = Registry{};
        al_add_resources(extra);
    }
    ~RegistryScope()
    {
        if (active_)
            registry() = saved_;
    }
    RegistryScope(const RegistryScope &) = delete;
    RegistryScope &operator=(const RegistryScope &) = delete;

private:
    bool active_;
    Registry saved_;
};

/* Sets g_allow_undefined for the lifetime of the object. */
class AllowUndefined {
public:
    explicit AllowUndefined(bool allow) : saved_(g_allow_undefined)
    {
        g_allow_undefined = allow;
    }
    ~AllowUndefined() { g_allow_undefined = saved_; }
    AllowUndefined(const AllowUndefined &) = delete;
    AllowUndefined &operator=(const AllowUndefined &) = delete;

private:
    bool saved_;
};

bool is_blank(char c)
{
    return c == ' ' || c == '\t';
}

bool is_white(char c)
{
    return std::isspace(static_cast<unsigned char>(c)) != 0;
}

/* Exports "ENVNAME=value"; 0 or -1 (logged). */
int export_value(struct resource *res, const std::string &value)
{
    std::string text = env_name_of(res) + "=" + value;
    char *copy = mal_strsave(text.c_str());
    if (copy == nullptr) {
        log_mesg(kSrc, __LINE__, "resource", 0, "No memory");
        return -1;
    }
    if (putenv(copy) != 0) {
        log_mesg(kSrc, __LINE__, "resource", 0,
                 "Variable %s could not be added to environment",
                 env_name_of(res).c_str());
        return -1;
    }
    return 0;
}

/* Stores a value text into the descriptor's variable by its type. */
int store_value(struct resource *res, const std::string &text)
{
    unsigned int type = res->flags & RES_TYPE_MASK;
    if (res->variable == nullptr) {
        log_mesg(kSrc, __LINE__, "resource", 0, AL_BADRESTYPE, res->name);
        return -1;
    }
    switch (type) {
    case RES_CHAR: {
        std::string v = unescaped(res, text);
        *static_cast<char *>(res->variable) = v.empty() ? '\0' : v[0];
        return 0;
    }
    case RES_SHORT:
        *static_cast<short *>(res->variable) =
            static_cast<short>(ascii_to_long(text.c_str(), res->flags));
        return 0;
    case RES_INT:
    case RES_LONG:
        *static_cast<int *>(res->variable) =
            static_cast<int>(ascii_to_long(text.c_str(), res->flags));
        return 0;
    case RES_BYTE:
        *static_cast<unsigned char *>(res->variable) =
            static_cast<unsigned char>(std::strtol(text.c_str(), nullptr, 10));
        return 0;
    case RES_FLOAT:
        *static_cast<float *>(res->variable) =
            static_cast<float>(trel_atof(text.c_str()));
        return 0;
    case RES_DOUBLE:
        *static_cast<double *>(res->variable) = trel_atof(text.c_str());
        return 0;
    case RES_FIXSTR: {
        if (res->size == 0)
            return 0;
        std::string v = unescaped(res, text);
        size_t n = std::min<size_t>(v.size(), res->size - 1);
        auto *dest = static_cast<char *>(res->variable);
        std::memcpy(dest, v.data(), n);
        dest[n] = '\0';
        return 0;
    }
    case RES_STRING: {
        std::string v = unescaped(res, text);
        char *copy = mal_strsave(v.c_str());
        if (copy == nullptr) {
            log_mesg(kSrc, __LINE__, "resource", 0, "No memory");
            return -1;
        }
        *static_cast<char **>(res->variable) = copy;
        return 0;
    }
    default:
        log_mesg(kSrc, __LINE__, "resource", 0, AL_BADRESTYPE, res->name);
        return -1;
    }
}

} // namespace

bool al_res_tracing()
{
    return (user_info.debug_level & AL_DEBUG_RESOURCES) != 0;
}

/* ---- registry ------------------------------------------------------------ */

int al_add_resources(struct resource *table)
{
    if (table == nullptr)
        return -1;
    Registry &reg = registry();
    for (int i = 0; i < reg.count; ++i)
        if (reg.tables[i] == table)
            return 0;
    if (reg.count == AL_MAX_RES_TABLES) {
        log_mesg(kSrc, __LINE__, "resource", 0, AL_MAXRES, AL_MAX_RES_TABLES);
        return -1;
    }
    reg.tables[reg.count++] = table;
    for (struct resource *res = table; !is_table_end(res); ++res)
        if (res->deflt != nullptr && !(res->flags & (RES_CHANGED | RES_RESERVED)))
            al_setres(res, res->deflt, 1);
    return 0;
}

struct resource *al_findres_by_name(const char *name, int by_env)
{
    if (name == nullptr)
        return nullptr;
    return find_descriptor([&](struct resource *res) {
        if (res->flags & RES_RESERVED)
            return false;
        if (by_env)
            return (res->flags & RES_ENV) != 0 && env_name_of(res) == name;
        return std::strcmp(res->name, name) == 0;
    });
}

int get_envvar_name(const struct resource *res, char *out, unsigned long size)
{
    if (res == nullptr || !(res->flags & RES_ENV))
        return 0;
    std::string name = env_name_of(res);
    if (out != nullptr && size > 0)
        std::snprintf(out, size, "%s", name.c_str());
    return static_cast<int>(name.size());
}

/* ---- assigning ----------------------------------------------------------- */

int al_setres(struct resource *res, const char *value, int from_file)
{
    if (res == nullptr)
        return -1;
    std::string text = value != nullptr ? value : "";

    /* 1. An environment override replaces the value. */
    if ((res->flags & RES_ENV) && !(res->flags & RES_EXPORTED)) {
        const char *env = std::getenv(env_name_of(res).c_str());
        if (env != nullptr && env[0] != '\0')
            text = env;
    }
    /* 2. Boolean words for everything but strings. */
    unsigned int type = res_type(res);
    if (!is_string_type(type))
        text = boolean_word(text);
    if (al_res_tracing())
        std::fprintf(stderr, "Setting resource '%s' to '%s'\n", res->name,
                     text.c_str());
    if (res->deflt == nullptr || text != res->deflt)
        res->flags |= RES_CHANGED;

    int rc;
    if (from_file && (res->flags & RES_CONVERT) && res->convert != nullptr)
        rc = res->convert(res, text.c_str()) < 0 ? -1 : 0;
    else
        rc = store_value(res, text);
    if (rc != 0)
        return rc;

    /* Export after every assignment, or after one that left it changed. */
    if ((res->flags & RES_EXPORT) ||
        ((res->flags & RES_EXPORT_CHANGED) && (res->flags & RES_CHANGED))) {
        if (export_value(res, text) != 0)
            return -1;
        if (!(res->flags & RES_CHANGED))
            res->flags |= RES_EXPORTED;
    }
    return 0;
}

int al_setres_by_name(const char *name, const char *value, int from_file)
{
    if (name == nullptr || name[0] == '\0')
        return -1;
    struct resource *res = al_findres_by_name(name, 0);
    if (res == nullptr) {
        if (!g_allow_undefined)
            return -1;
        res = add_undefined(name);
        if (res == nullptr)
            return -1;
    }
    return al_setres(res, value, from_file);
}

int al_getres_by_name(const char *name, char *out, unsigned long size)
{
    struct resource *res = al_findres_by_name(name, 0);
    if (res == nullptr || out == nullptr || size == 0 || res->variable == nullptr)
        return -1;
    const void *var = res->variable;
    switch (res_type(res)) {
    case RES_CHAR:
        std::snprintf(out, size, "%c", *static_cast<const char *>(var));
        return 1;
    case RES_SHORT:
        std::snprintf(out, size, "%d", *static_cast<const short *>(var));
        return 1;
    case RES_INT:
    case RES_LONG:
        std::snprintf(out, size, "%d", *static_cast<const int *>(var));
        return 1;
    case RES_BYTE:
        std::snprintf(out, size, "%d", *static_cast<const unsigned char *>(var));
        return 1;
    case RES_FLOAT:
        std::snprintf(out, size, "%f",
                      static_cast<double>(*static_cast<const float *>(var)));
        return 1;
    case RES_DOUBLE:
        std::snprintf(out, size, "%f", *static_cast<const double *>(var));
        return 1;
    case RES_FIXSTR: {
        const auto *text = static_cast<const char *>(var);
        int len = static_cast<int>(strnlen(text, res->size));
        std::snprintf(out, size, "%.*s", len, text);
        return 1;
    }
    case RES_STRING: {
        const char *text = *static_cast<char *const *>(var);
        std::snprintf(out, size, "%s", text != nullptr ? text : "");
        return 1;
    }
    default:
        return -1;
    }
}

/* ---- resource files -------------------------------------------------------- */

void cvt_class_name(char *out, unsigned long size, const char *progname)
{
    if (out == nullptr || size == 0)
        return;
    unsigned long n = 0;
    for (const char *p = progname; p != nullptr && *p != '\0' && n + 1 < size;
         ++p) {
        if (*p == '.' || *p == '*')
            continue;
        out[n++] = static_cast<char>(std::tolower(static_cast<unsigned char>(*p)));
    }
    out[n] = '\0';
}

int al_load_res_stream(STREAM *sp, const char *fname, int allow_undefined)
{
    AllowUndefined allow(allow_undefined != 0 || g_allow_undefined);
    char cls[AL_PROGNAME_MAX + 1];
    cvt_class_name(cls, sizeof cls, BasePrognameGet());

    char line[1024];
    int lineno = 0;
    int assigned = 0;
    while (sgets(line, sizeof line, sp) != nullptr) {
        ++lineno;
        char *p = line;
        while (is_white(*p))
            ++p;
        if (*p == '\0' || *p == '#' || *p == '!')
            continue;
        if (*p == '.' || *p == '*')
            ++p;
        char *colon = std::strchr(p, ':');
        if (colon == nullptr) {
            log_mesg(kSrc, __LINE__, "resource", 0, "Missing ':' at line %d of %s\n",
                     lineno, fname);
            continue;
        }
        *colon = '\0';
        char *name = p;
        char *sep = std::strpbrk(p, ".*");
        if (sep != nullptr) {
            *sep = '\0';
            std::string lineClass;
            for (char *c = p; *c != '\0'; ++c)
                lineClass += static_cast<char>(
                    std::tolower(static_cast<unsigned char>(*c)));
            name = sep + 1;
            if (lineClass != cls) {
                if (al_res_tracing())
                    std::fprintf(stderr, "Skip %s.%s\n", lineClass.c_str(), name);
                continue;
            }
        }
        char *value = colon + 1;
        while (is_white(*value))
            ++value;
        if (*value == '\0') {
            log_mesg(kSrc, __LINE__, "resource", 0, AL_UNEXEOL, lineno, fname);
            continue;
        }
        size_t len = std::strlen(value);
        while (len > 0 && (is_blank(value[len - 1]) || value[len - 1] == '\r'))
            value[--len] = '\0';
        if (al_setres_by_name(name, value, 1) == 0)
            ++assigned;
    }
    return assigned;
}

int al_load_specified_res(const char *file, struct resource *extra)
{
    const char *prog = BasePrognameGet();
    if (prog == nullptr || prog[0] == '\0') {
        log_mesg(kSrc, __LINE__, "resource", 0, "Program error: progname unknown");
        return -1;
    }
    if (file == nullptr || file[0] == '\0')
        return -1;
    RegistryScope scope(extra);
    bool exact = file[0] == '@';
    STREAM *sp = exact ? sopen(file + 1, "rt") : open_tse_file("%s", file);
    if (sp == nullptr)
        return -1;
    if (al_res_tracing()) {
        char cls[AL_PROGNAME_MAX + 1];
        cvt_class_name(cls, sizeof cls, prog);
        std::fprintf(stderr, "Loading resource file %s (class = %s)\n",
                     exact ? file + 1 : file, cls);
        if (extra != nullptr)
            std::fprintf(stderr, "Loading a specified resource\n");
    }
    int assigned = al_load_res_stream(sp, exact ? file + 1 : file, 0);
    sclose(sp);
    return assigned;
}

int al_loadres(const char *file)
{
    AllowUndefined allow(true);
    return al_load_specified_res(file, nullptr);
}

/* ---- run-time updates -------------------------------------------------------- */

int al_updres_by_res(struct resource *res, const char *value, int op,
                     int apply_conversion)
{
    if (res == nullptr)
        return -1;
    if (!(res->flags & RES_RUNTIME)) {
        log_mesg(kSrc, __LINE__, "resource update", LOG_WARNING,
                 "WARNING: Resource '%s' cannot be changed at run time (ignored)\n",
                 res->name);
        return -1;
    }
    std::string text = boolean_word(value != nullptr ? value : "");
    if (al_res_tracing())
        std::fprintf(stderr, "Updating resource '%s' ('%c''%s')\n", res->name, op,
                     text.c_str());

    auto run_hook = [res]() {
        return res->hook != nullptr && res->hook() < 0 ? -1 : 0;
    };

    if (apply_conversion && (res->flags & RES_CONVERT) && res->convert != nullptr) {
        if (al_res_tracing())
            std::fprintf(stderr,
                         "Starting resource conversion function for resource '%s'\n",
                         res->name);
        res->convert(res, text.c_str());
        return run_hook();
    }

    unsigned int type = res_type(res);
    if (!is_integer_type(type)) {
        if (op != '=') {
            log_mesg(kSrc, __LINE__, "resource update", LOG_WARNING,
                     "WARNING: No bitwise operators possible for %s (ignored)\n",
                     res->name);
            return -1;
        }
        /* The environment must not override a value set on purpose. */
        unsigned int saved = res->flags & RES_ENV;
        res->flags &= ~RES_ENV;
        int rc = al_setres(res, text.c_str(), 0);
        res->flags |= saved;
        if (rc != 0)
            return -1;
        return run_hook();
    }
    if (res->variable == nullptr)
        return -1;

    /* A bit word still at its default starts from zero. */
    auto load = [res, type]() -> long long {
        switch (type) {
        case RES_SHORT: return *static_cast<short *>(res->variable);
        case RES_BYTE: return *static_cast<unsigned char *>(res->variable);
        default: return *static_cast<int *>(res->variable);
        }
    };
    auto save = [res, type](long long v) {
        switch (type) {
        case RES_SHORT: *static_cast<short *>(res->variable) = static_cast<short>(v); break;
        case RES_BYTE:
            *static_cast<unsigned char *>(res->variable) = static_cast<unsigned char>(v);
            break;
        default: *static_cast<int *>(res->variable) = static_cast<int>(v); break;
        }
    };
    if ((res->flags & (RES_HEX | RES_OCT)) && !(res->flags & RES_CHANGED))
        save(0);
    long long given = type == RES_BYTE ? std::strtol(text.c_str(), nullptr, 10)
                                       : ascii_to_long(text.c_str(), res->flags);
    long long old = load();
    switch (op) {
    case '=': save(given); break;
    case '+': save(old | given); break;
    case '-': save(old & ~given); break;
    default: break;
    }
    res->flags |= RES_CHANGED;
    return run_hook();
}

int al_updres_by_name(const char *name, const char *value, int op,
                      int from_file, int by_env)
{
    struct resource *res = al_findres_by_name(name, by_env);
    if (res == nullptr) {
        log_mesg(kSrc, __LINE__, "resource update", LOG_WARNING,
                 "WARNING: Resource '%s' was not found (ignored)\n",
                 name != nullptr ? name : "");
        return -1;
    }
    return al_updres_by_res(res, value, op, from_file);
}

int al_updreses_by_comstring(const char *command, struct resource *extra)
{
    if (command == nullptr)
        return 0;
    RegistryScope scope(extra);
    if (al_res_tracing())
        std::fprintf(stderr, "Updating resources with command '%s'\n", command);
    int result = 0;
    const char *p = command;
    while (true) {
        while (is_white(*p))
            ++p;
        if (*p == '\0')
            break;
        const char *start = p;
        std::string name;
        while (std::isalnum(static_cast<unsigned char>(*p)) || *p == '_')
            name += *p++;
        char op = *p;
        if (op != '\0')
            ++p;
        std::string value;
        if (op != '\0' && (*p == '\'' || *p == '"')) {
            char quote = *p++;
            while (*p != '\0' && *p != quote)
                value += *p++;
            if (*p == quote)
                ++p;
        } else if (op != '\0') {
            while (*p != '\0' && !is_white(*p))
                value += *p++;
        }
        if (p == start)
            ++p; /* always make progress */
        if (name.empty() || op == '\0' || is_white(op) || value.empty()) {
            log_mesg(kSrc, __LINE__, "resource update", LOG_WARNING,
                     "Command \"%s%c%s\" not correct. (ignored)", name.c_str(),
                     op, value.c_str());
            if (al_res_tracing())
                std::fprintf(stderr, "Command \"%s%c%s\" ignored.\n", name.c_str(),
                             op, value.c_str());
            continue;
        }
        if (al_updres_by_name(name.c_str(), value.c_str(), op, 1, 1) != 0) {
            log_mesg(kSrc, __LINE__, "resource update", LOG_WARNING,
                     "Command \"%s%c%s\" failed. (ignored)", name.c_str(), op,
                     value.c_str());
            if (al_res_tracing())
                std::fprintf(stderr, "Command \"%s%c%s\" failed.\n", name.c_str(),
                             op, value.c_str());
            result = -1;
        }
    }
    return result;
}

/* ---- reserved entries and change hooks ----------------------------------------- */

int al_addres_reserved(const struct resource *desc, int apply_default)
{
    if (desc == nullptr || is_table_end(desc))
        return -1;
    if (al_findres_by_name(desc->name, 0) != nullptr) {
        log_mesg(kSrc, __LINE__, "add resource", 0,
                 "Resource '%s' already exists (ignored)", desc->name);
        return -1;
    }
    Registry &reg = registry();
    for (int i = 0; i < reg.count; ++i) {
        for (struct resource *res = reg.tables[i]; !is_table_end(res); ++res) {
            if (!(res->flags & RES_RESERVED))
                continue;
            *res = *desc;
            res->flags &= ~static_cast<unsigned int>(RES_RESERVED);
            if (apply_default && res->deflt != nullptr)
                al_setres(res, res->deflt, 1);
            return 0;
        }
    }
    log_mesg(kSrc, __LINE__, "add resource", 0,
             "Resource '%s' could not be added (no reserved entries available)",
             desc->name);
    return -1;
}

int al_setres_mutfun(const char *name, res_hook_fn hook, int by_env)
{
    struct resource *res = al_findres_by_name(name, by_env);
    if (res == nullptr) {
        log_mesg(kSrc, __LINE__, "change resource", 0, AL_RESNOTFND,
                 name != nullptr ? name : "");
        return -1;
    }
    res->hook = hook;
    res->flags |= RES_RUNTIME;
    return 0;
}

/* ---- escape processing --------------------------------------------------------- */

namespace {

int hex_value(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

/* The character of a letter escape (\n, \e, ...), or -1. */
int letter_escape(char c)
{
    switch (std::tolower(static_cast<unsigned char>(c))) {
    case 'b': return '\b';
    case 'e': return 0x1b;
    case 'f': return '\f';
    case 'n': return '\n';
    case 'r': return '\r';
    case 's': return ' ';
    case 't': return '\t';
    case 'v': return '\v';
    default: return -1;
    }
}

int make_string_impl(const char *in, char *out, bool filtered)
{
    if (in == nullptr || out == nullptr)
        return 0;
    const auto *p = reinterpret_cast<const unsigned char *>(in);
    int n = 0;
    auto put = [&](int byte) {
        if (filtered && byte == 0) {
            out[n++] = '\\';
            out[n++] = '0';
        } else {
            out[n++] = static_cast<char>(byte);
        }
    };
    while (*p != '\0') {
        unsigned char c = *p;
        if (c == 0x9b) {
            if (p[1] == '\0' || p[2] == '\0' || p[3] == '\0')
                break;
            for (int i = 0; i < 4; ++i)
                out[n++] = static_cast<char>(p[i]);
            p += 4;
            continue;
        }
        if (c == '^') {
            if (p[1] == '\0')
                break;
            put(p[1] & 31);
            p += 2;
            continue;
        }
        if (c != '\\') {
            out[n++] = static_cast<char>(c);
            ++p;
            continue;
        }
        unsigned char e = p[1];
        if (e == '\0')
            break;
        p += 2;
        int letter = letter_escape(static_cast<char>(e));
        if (letter >= 0) {
            put(letter);
        } else if (e == '\\') {
            out[n++] = '\\';
            if (filtered)
                out[n++] = '\\';
        } else if (e == '^') {
            out[n++] = '^';
        } else if (e == '0' && (*p == 'x' || *p == 'X')) {
            ++p;
            int value = 0;
            for (int i = 0; i < 2 && hex_value(static_cast<char>(*p)) >= 0; ++i)
                value = value * 16 + hex_value(static_cast<char>(*p++));
            put(value);
        } else if (e == '0') {
            int value = 0;
            for (int i = 0; i < 3 && *p >= '0' && *p <= '7'; ++i)
                value = value * 8 + (*p++ - '0');
            put(value & 0xff);
        } else if (e >= '1' && e <= '9') {
            int value = e - '0';
            for (int i = 0; i < 2 && *p >= '0' && *p <= '9'; ++i)
                value = value * 10 + (*p++ - '0');
            put(value & 0xff);
        } else {
            out[n++] = static_cast<char>(e);
        }
    }
    out[n] = '\0';
    return n;
}

} // namespace

int make_string(const char *in, char *out)
{
    return make_string_impl(in, out, false);
}

int make_string_filtered(const char *in, char *out)
{
    return make_string_impl(in, out, true);
}
