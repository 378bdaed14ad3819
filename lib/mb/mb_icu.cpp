/*
 * mb_icu.cpp: loads ICU at run time: opens "icuuc" and "icui18n" through
 * the shared-library loader, finds the version suffix of the installed
 * ICU and resolves the 23 entries that the character-set layer uses.
 */
#include <dlfcn.h>
#include <link.h>

#include <climits>
#include <cstdlib>
#include <cstring>
#include <string>

#include "al_log.h"
#include "al_shlib.h"
#include "mb_internal.h"

namespace {

std::string uc_name = "icuuc";
std::string i18n_name = "icui18n";
std::string suffix;
bool loaded = false;
mb::IcuEntries entries{};

[[noreturn]] void fail(const char *fmt, const char *arg)
{
    log_mesg("lib/mb/mb_icu.cpp", __LINE__, "initialize_icuwrappers", 0, fmt, arg);
    std::exit(1);
}

/* The major version from the real file name of the library, e.g.
 * ".../libicuuc.so.72.1" gives "_72"; "" when it shows none. */
std::string suffix_from_file(void *handle)
{
    struct link_map *map = nullptr;
    if (dlinfo(handle, RTLD_DI_LINKMAP, &map) != 0 || map == nullptr || map->l_name == nullptr)
        return {};
    char real[PATH_MAX];
    if (realpath(map->l_name, real) == nullptr)
        return {};
    const char *so = std::strstr(real, ".so.");
    if (so == nullptr)
        return {};
    std::string major;
    for (const char *p = so + 4; *p >= '0' && *p <= '9'; ++p)
        major += *p;
    return major.empty() ? std::string() : "_" + major;
}

/* A suffix under which u_init is found in handle, or false. */
bool find_suffix(void *handle, std::string &found)
{
    auto has = [handle](const std::string &s) {
        return dlsym(handle, ("u_init" + s).c_str()) != nullptr;
    };
    std::string from_file = suffix_from_file(handle);
    if (!from_file.empty() && has(from_file)) {
        found = from_file;
        return true;
    }
    if (has("_3_2")) {
        found = "_3_2";
        return true;
    }
    for (int major = 99; major >= 4; --major) {
        std::string s = "_" + std::to_string(major);
        if (has(s)) {
            found = s;
            return true;
        }
    }
    if (has("")) {
        found.clear();
        return true;
    }
    return false;
}

template <typename F>
bool resolve(void *uc, void *i18n, const char *name, F &slot)
{
    std::string full = name + suffix;
    void *address = dlsym(uc, full.c_str());
    if (address == nullptr)
        address = dlsym(i18n, full.c_str());
    slot = reinterpret_cast<F>(address);
    return address != nullptr;
}

void load()
{
    void *uc = al_shlib_load(uc_name.c_str(), nullptr);
    if (uc == nullptr)
        fail("Failed to open shared library %s", uc_name.c_str());
    void *i18n = al_shlib_load(i18n_name.c_str(), nullptr);
    if (i18n == nullptr)
        fail("Failed to open shared library %s", i18n_name.c_str());
    if (!find_suffix(uc, suffix))
        fail("%s", "Failed resolve all needed ICU symbols");
    mb::IcuEntries e{};
    bool ok = true;
#define RESOLVE(name) ok = resolve(uc, i18n, #name, e.name) && ok
    RESOLVE(u_init);
    RESOLVE(u_charType);
    RESOLVE(u_charName);
    RESOLVE(u_errorName);
    RESOLVE(u_getIntPropertyValue);
    RESOLVE(u_hasBinaryProperty);
    RESOLVE(u_isdigit);
    RESOLVE(u_isWhitespace);
    RESOLVE(u_strToLower);
    RESOLVE(u_strToUpper);
    RESOLVE(u_strToUTF8);
    RESOLVE(uiter_setString);
    RESOLVE(uiter_previous32);
    RESOLVE(uiter_current32);
    RESOLVE(uiter_next32);
    RESOLVE(u_getCombiningClass);
    RESOLVE(unorm_normalize);
    RESOLVE(unorm_quickCheckWithOptions);
    RESOLVE(ucol_setStrength);
    RESOLVE(ucol_open);
    RESOLVE(ucol_strcoll);
    RESOLVE(ucol_strcollIter);
    RESOLVE(ucol_setAttribute);
#undef RESOLVE
    if (!ok)
        fail("%s", "Failed resolve all needed ICU symbols");
    UErrorCode err = U_ZERO_ERROR;
    e.u_init(&err);
    if (U_FAILURE(err))
        fail("%s", "Failed to initialize ICU");
    entries = e;
    loaded = true;
}

} // namespace

namespace mb {

void reset_icu_for_tests()
{
    loaded = false;
    entries = IcuEntries{};
    suffix.clear();
}

const IcuEntries &icu()
{
    if (!loaded)
        load();
    return entries;
}

const std::string &icu_suffix()
{
    return suffix;
}

void set_icu_library_names(const char *uc, const char *i18n)
{
    uc_name = uc != nullptr ? uc : "icuuc";
    i18n_name = i18n != nullptr ? i18n : "icui18n";
}

} // namespace mb
