/*
 * al_stream_name.cpp: reading and expanding the names given to the stream
 * layer: the credential form, the modifiers, logical names, ${VAR}
 * references (expand_fname) and the recognition of remote names.
 */
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include "al_env.h"
#include "al_log.h"
#include "al_stream.h"
#include "al_stream_int.h"

namespace {

constexpr char kFile[] = "lib/al_1/al_stream_name.cpp";

/* The longest package combination a {package=..} modifier may name. */
constexpr size_t kMaxPackage = 31;

/* Logical object types; any other "F_..." prefix is an ordinary name. */
constexpr std::string_view kLogicalTypes[] = {"F_OBJ", "F_BRDD", "F_AUD",
                                              "F_MSG"};

LogicalResolver g_resolver = nullptr;

/* The value of "{key=value}" at the start of s; false when s holds none. */
bool modifier_value(std::string_view s, std::string_view key,
                    std::string_view *value, size_t *length)
{
    if (s.substr(0, key.size()) != key)
        return false;
    size_t close = s.find('}', key.size());
    if (close == std::string_view::npos)
        return false;
    *value = s.substr(key.size(), close - key.size());
    *length = close + 1;
    return true;
}

/* A company number of a {cnum=..} modifier: -1 or 0-999. */
bool parse_cnum(std::string_view text, int *out)
{
    if (text.empty() || text.size() > 4)
        return false;
    std::string digits(text);
    char *end = nullptr;
    long v = std::strtol(digits.c_str(), &end, 10);
    if (end == digits.c_str() || *end != '\0' || v < -1 || v > 999)
        return false;
    *out = static_cast<int>(v);
    return true;
}

} // namespace

bool stream_parse_name(std::string_view name, StreamName *out)
{
    std::string whole(name);
    std::string_view s = name;
    if (!s.empty() && s.front() == ':') {
        size_t at = s.rfind('@');
        if (at == std::string_view::npos) {
            stream_trace(STREAM_TRACE_DETAIL,
                         "sopen(%s) failed.\nValid format "
                         "':user:passwd:tse@machine!file_path' or "
                         "'machine!file_path'.",
                         whole.c_str());
            errno = EINVAL;
            return false;
        }
        out->user_form = true;
        s.remove_prefix(at + 1);
    }
    while (!s.empty() && s.front() == '{') {
        std::string_view value;
        size_t length = 0;
        if (s.substr(0, 7) == "{nolog}") {
            out->nolog = true;
            s.remove_prefix(7);
        } else if (s.substr(0, 10) == "{nosyslog}") {
            out->nosyslog = true;
            s.remove_prefix(10);
        } else if (s.substr(0, 9) == "{nofdlog}") {
            out->nofdlog = true;
            s.remove_prefix(9);
        } else if (modifier_value(s, "{package=", &value, &length)) {
            if (value.size() > kMaxPackage) {
                stream_trace(STREAM_TRACE_DETAIL,
                             "sopen(%s): package combination longer than %d "
                             "characters\n",
                             whole.c_str(), static_cast<int>(kMaxPackage));
                errno = EINVAL;
                return false;
            }
            out->has_package = true;
            out->package = value;
            s.remove_prefix(length);
        } else if (modifier_value(s, "{cnum=", &value, &length)) {
            if (!parse_cnum(value, &out->cnum)) {
                std::string v(value);
                stream_trace(STREAM_TRACE_DETAIL,
                             "sopen(%s): invalid company number '%s'\n",
                             whole.c_str(), v.c_str());
                errno = EINVAL;
                return false;
            }
            s.remove_prefix(length);
        } else {
            break; /* not a modifier: the name itself begins with "{" */
        }
    }
    out->rest = s;
    return true;
}

bool stream_split_logical(std::string_view alt, std::string_view *machine,
                          std::string_view *type, std::string_view *lname)
{
    std::string_view body = alt;
    std::string_view host;
    size_t bang = alt.find('!');
    if (bang != std::string_view::npos) {
        host = alt.substr(0, bang);
        body = alt.substr(bang + 1);
    }
    for (std::string_view t : kLogicalTypes) {
        if (body.size() > t.size() && body.substr(0, t.size()) == t &&
            body[t.size()] == ':') {
            *machine = host;
            *type = t;
            *lname = body.substr(t.size() + 1);
            return true;
        }
    }
    return false;
}

LogicalResolver stream_set_logical_resolver(LogicalResolver fn)
{
    LogicalResolver old = g_resolver;
    g_resolver = fn;
    return old;
}

LogicalResolver stream_logical_resolver()
{
    return g_resolver != nullptr ? g_resolver : al_explode_logical_name;
}

/*
 * The as-argument forms of the root and the temporary directory are the
 * ordinary ones on this platform, so as_argument does not change the
 * result.
 */
int stream_expand_vars(std::string_view text, int /*as_argument*/,
                       std::string *out)
{
    out->clear();
    int result = 1;
    size_t i = 0;
    while (i < text.size()) {
        char c = text[i];
        if (c == '!') {
            /* The path after "machine!" is expanded on that machine. */
            size_t end = text.find(':', i);
            if (end == std::string_view::npos)
                end = text.size();
            out->append(text.substr(i, end - i));
            i = end;
            continue;
        }
        if (c == '$' && i + 1 < text.size() && text[i + 1] == '{') {
            size_t close = text.find('}', i + 2);
            if (close == std::string_view::npos) {
                std::string t(text);
                stream_trace(STREAM_TRACE_DETAIL,
                             "expand_fname(%s): \"${\" without \"}\"\n",
                             t.c_str());
                errno = EINVAL;
                return 0;
            }
            std::string var(text.substr(i + 2, close - i - 2));
            if (var == "TSE") {
                out->append(get_tse());
            } else if (var == "TSE_TMP") {
                out->append(get_tse_tmp());
            } else if (var == "DYN_PATH_ELEMS") {
                out->append("${DYN_PATH_ELEMS}");
                result = 2;
            } else {
                const char *value = getvar(var.c_str());
                if (value == nullptr) {
                    stream_trace(STREAM_TRACE_DETAIL,
                                 "expand_fname: variable %s undefined\n",
                                 var.c_str());
                    errno = EINVAL;
                    return 0;
                }
                out->append(value);
            }
            i = close + 1;
            continue;
        }
        out->push_back(c);
        ++i;
    }
    return result;
}

Resolve stream_resolve_alternative(std::string_view alt, const StreamName &nm,
                                   int as_argument, std::string *path,
                                   bool *dyn)
{
    std::string text;
    std::string_view machine, type, lname;
    if (stream_split_logical(alt, &machine, &type, &lname)) {
        std::string t(type), n(lname);
        char resolved[STREAM_FNAME_MAX] = "";
        int rc = stream_logical_resolver()(
            t.c_str(), n.c_str(), nm.has_package ? nm.package.c_str() : nullptr,
            nm.cnum, resolved, sizeof resolved);
        resolved[sizeof resolved - 1] = '\0';
        if (rc != 0) {
            stream_trace(STREAM_TRACE_DETAIL,
                         "sopen: no definition for %s:%s\n", t.c_str(),
                         n.c_str());
            return Resolve::no_logical;
        }
        stream_trace(STREAM_TRACE_DETAIL, "sopen: %s:%s is '%s'\n", t.c_str(),
                     n.c_str(), resolved);
        if (machine.empty()) {
            text = resolved;
        } else {
            text = machine;
            text += '!';
            text += resolved;
        }
    } else {
        text = alt;
    }
    int r = stream_expand_vars(text, as_argument, path);
    if (r == 0)
        return Resolve::undefined;
    *dyn = r == 2;
    return Resolve::ok;
}

void stream_remote_unavailable(const char *op, const char *name, bool log)
{
    stream_trace(STREAM_TRACE_DETAIL,
                 "%s(%s): remote files are not available yet\n", op, name);
    if (log)
        log_mesg(kFile, __LINE__, op, 0,
                 "\nRemote file %s: remote files are not available yet", name);
    errno = EREMOTE;
}

bool stream_local_path(const char *name, const char *op, std::string *path)
{
    if (name == nullptr) {
        errno = EINVAL;
        return false;
    }
    StreamName nm;
    if (!stream_parse_name(name, &nm)) {
        errno = EINVAL;
        return false;
    }
    std::string_view alt = nm.rest;
    while (!alt.empty() && (alt.back() == ' ' || alt.back() == '\t'))
        alt.remove_suffix(1);
    bool dyn = false;
    switch (stream_resolve_alternative(alt, nm, 0, path, &dyn)) {
    case Resolve::ok:
        break;
    case Resolve::no_logical:
        errno = ENOENT;
        return false;
    case Resolve::undefined:
        errno = EINVAL;
        return false;
    }
    if (path->find('!') != std::string::npos) {
        stream_remote_unavailable(op, path->c_str(), !nm.nolog);
        return false;
    }
    return true;
}

int expand_fname(const char *name, char *output)
{
    return expand_fname_ex(name, output, 0);
}

int expand_fname_ex(const char *name, char *output, int as_argument)
{
    if (name == nullptr || output == nullptr) {
        errno = EINVAL;
        return 0;
    }
    std::string result;
    int r = stream_expand_vars(name, as_argument, &result);
    if (r == 0) {
        output[0] = '\0';
        return 0;
    }
    if (result.size() >= STREAM_FNAME_MAX) {
        output[0] = '\0';
        errno = ENAMETOOLONG;
        return 0;
    }
    std::memcpy(output, result.c_str(), result.size() + 1);
    return r;
}
