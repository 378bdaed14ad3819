/*
 * al_shlib.cpp: the shared-library loader of the runtime layer: builds the
 * library search path from the environment and the platform, finds a
 * library by logical name and opens it with dlopen.
 */
#include "al_shlib.h"

#include <dlfcn.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "al_env.h"

namespace {

std::string last_error;

/* Library directories of the platform beside /usr/lib. */
constexpr const char *kSystemDirs[] = {
#if defined(__x86_64__)
    "/usr/lib/x86_64-linux-gnu", "/lib/x86_64-linux-gnu", "/usr/lib64", "/lib64",
#elif defined(__i386__)
    "/usr/lib/i386-linux-gnu", "/lib/i386-linux-gnu", "/usr/lib32", "/lib32",
#elif defined(__aarch64__)
    "/usr/lib/aarch64-linux-gnu", "/lib/aarch64-linux-gnu", "/usr/lib64", "/lib64",
#endif
    "/lib", "/usr/local/lib",
};

void add_dir(std::vector<std::string> &dirs, std::string_view dir)
{
    while (dir.size() > 1 && dir.back() == '/')
        dir.remove_suffix(1);
    if (dir.empty())
        return;
    for (const auto &known : dirs)
        if (known == dir)
            return;
    dirs.emplace_back(dir);
}

void add_list(std::vector<std::string> &dirs, const char *list)
{
    if (list == nullptr)
        return;
    std::string_view rest(list);
    while (!rest.empty()) {
        size_t colon = rest.find(':');
        add_dir(dirs, rest.substr(0, colon));
        if (colon == std::string_view::npos)
            break;
        rest.remove_prefix(colon + 1);
    }
}

std::string program_dir()
{
    char buf[4096];
    ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
    if (n <= 0)
        return {};
    std::string path(buf, static_cast<size_t>(n));
    size_t slash = path.rfind('/');
    if (slash == std::string::npos)
        return {};
    return path.substr(0, slash == 0 ? 1 : slash);
}

std::vector<std::string> search_dirs(const char *extra_dir)
{
    std::vector<std::string> dirs;
    if (extra_dir != nullptr)
        add_dir(dirs, extra_dir);
    add_list(dirs, getvar("TSE_LIB_PATH"));
    add_list(dirs, getvar("TSE_SHLIB"));
    add_list(dirs, std::getenv("LD_LIBRARY_PATH"));
    add_dir(dirs, "/usr/lib");
    for (const char *dir : kSystemDirs)
        add_dir(dirs, dir);
    add_dir(dirs, program_dir());
    return dirs;
}

} // namespace

int al_shlib_search_path(const char *extra_dir, char *buf, size_t size)
{
    std::string joined;
    for (const auto &dir : search_dirs(extra_dir)) {
        if (!joined.empty())
            joined += ':';
        joined += dir;
    }
    if (buf != nullptr && size > 0) {
        size_t n = joined.size() < size - 1 ? joined.size() : size - 1;
        std::memcpy(buf, joined.data(), n);
        buf[n] = '\0';
    }
    return static_cast<int>(joined.size());
}

int al_shlib_find(const char *file_name, const char *extra_dir, char *path,
                  size_t size)
{
    if (file_name == nullptr || *file_name == '\0' || path == nullptr) {
        errno = EINVAL;
        return -1;
    }
    for (const auto &dir : search_dirs(extra_dir)) {
        std::string candidate = dir + "/" + file_name;
        if (access(candidate.c_str(), R_OK) != 0)
            continue;
        if (candidate.size() >= size) {
            errno = ENAMETOOLONG;
            return -1;
        }
        std::memcpy(path, candidate.c_str(), candidate.size() + 1);
        return 0;
    }
    errno = ENOENT;
    return -1;
}

void *al_shlib_load_file(const char *file_name, const char *extra_dir)
{
    if (file_name == nullptr || *file_name == '\0') {
        last_error = "no library name";
        return nullptr;
    }
    std::string path;
    if (std::strchr(file_name, '/') != nullptr) {
        path = file_name;
    } else {
        char found[4096];
        if (al_shlib_find(file_name, extra_dir, found, sizeof found) != 0) {
            last_error = std::string(file_name) + ": not found in the library search path";
            return nullptr;
        }
        path = found;
    }
    void *handle = dlopen(path.c_str(), RTLD_NOW | RTLD_GLOBAL);
    if (handle == nullptr) {
        const char *why = dlerror();
        last_error = why != nullptr ? why : path + ": cannot be opened";
        return nullptr;
    }
    last_error.clear();
    return handle;
}

void *al_shlib_load(const char *name, const char *extra_dir)
{
    if (name == nullptr || *name == '\0') {
        last_error = "no library name";
        return nullptr;
    }
    if (std::strchr(name, '/') != nullptr)
        return al_shlib_load_file(name, extra_dir);
    std::string file = std::string("lib") + name + ".so";
    return al_shlib_load_file(file.c_str(), extra_dir);
}

void *al_shlib_symbol(void *handle, const char *symbol)
{
    if (handle == nullptr || symbol == nullptr) {
        last_error = "no handle or symbol";
        return nullptr;
    }
    dlerror();
    void *address = dlsym(handle, symbol);
    if (address == nullptr) {
        const char *why = dlerror();
        last_error = why != nullptr ? why : std::string(symbol) + ": not found";
    }
    return address;
}

int al_shlib_close(void *handle)
{
    if (handle == nullptr) {
        last_error = "no handle";
        return -1;
    }
    if (dlclose(handle) != 0) {
        const char *why = dlerror();
        last_error = why != nullptr ? why : "dlclose failed";
        return -1;
    }
    return 0;
}

const char *al_shlib_error(void)
{
    return last_error.c_str();
}
