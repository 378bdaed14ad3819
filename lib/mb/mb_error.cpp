/*
 * mb_error.cpp: error reporting of the character-set layer: the message
 * table, tss_errno, tss_error with its handler and the TSSABORT switch.
 */
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "al_env.h"
#include "al_log.h"
#include "mb_internal.h"
#include "tss.h"

int tss_errno = 0;

namespace {

constexpr const char *kMessages[] = {
    "Error 0",
    "Set number 0 is reserved for ISO Latin 1.\n",
    "Illegal character value for set 0 (ISO Latin 1).\n",
    "Bad token: %s.\n",
    "syntax error.\n",
    "Bad escape character: %s.\n",
    "Bad character set specification.\n",
    "%s: Too many sort items.\n",
    "%s: Too many case items.\n",
    "%s: Too many digit items.\n",
    "%s: Too many space items.\n",
    "Bad allocation syntax\n",
    "Bad expression construct\n",
    "Bad header\n",
    "Bad allocation syntax error\n",
    "%d : bad set number; must be between 0 and %d\n",
    "set %d already used by %s\n",
    "Expression error\n",
    "Range 0x%x-0x%x overlaps 0x%x-0x%x (%s)\n",
    "Range 0x%x-0x%x overlaps 0x%x-0x%x after conversion (%s)\n",
    "*** Error at line %d:\n",
    "*** Error in %s:\n",
    "Write error %d\n",
    "Can't open %s\n",
    "Can't open or read %s\n",
    "Can't find TSS characterset '%s' for locale '%s'\n",
    "Can't set NLS locale '%s'\n",
    "Bad line in %s (%s)\n",
    "Can't find locale '%s' in %s\n",
    "Can't convert EXT character 0x%x\n",
    "Can't convert TSS character 0x%x\n",
    "Can't convert intrinsic character 0x%x (set %d)\n",
    "Error in locale '%s'\n",
    "Can't open or read %s\n",
    "Error at line %d of %s\n",
    "Seek error\n",
    "Set number %d referenced in %s not available in %s\n",
    "Bad set number: %d\n",
    "Illegal switch value: %d\n",
    "Partial multibyte character at end of string\n",
    "Incomplete multibyte character\n",
    "Target string (%d) not big enough (source %d)\n",
    "Incomplete multibyte string detected\n",
    "Scanner: %s\n",
    "Can't determine weight of character 0x%x\n",
    "Too many code features (>%d)\n",
    "Bad range\n",
    "Unexpected end of string detected during conversion\n",
    "Invalid internal factor: %d\n",
    "Invalid external factor: %d\n",
    "Characterset '%s' defined but empty (locale = '%s')\n",
    "Couldn't link shared memory\n",
    "IMPLEMENTATION ERROR (%s[%d])\n",
    "Database error %d while opening ttaad110 in company 000\n",
};
constexpr int kMessageCount = sizeof kMessages / sizeof kMessages[0];
static_assert(kMessageCount == 54, "the error table has the codes 0-53");

TssErrorHandler handler = nullptr;
std::string default_locale_name;
bool abort_known = false;
long abort_at = 0;
long error_count = 0;

/* Appends printf-style text to out. */
void append_v(std::string &out, const char *fmt, va_list ap)
{
    char buf[1024];
    va_list copy;
    va_copy(copy, ap);
    int n = std::vsnprintf(buf, sizeof buf, fmt, copy);
    va_end(copy);
    if (n < 0)
        return;
    if (static_cast<size_t>(n) < sizeof buf) {
        out.append(buf, static_cast<size_t>(n));
        return;
    }
    std::string big(static_cast<size_t>(n) + 1, '\0');
    std::vsnprintf(big.data(), big.size(), fmt, ap);
    out.append(big.data(), static_cast<size_t>(n));
}

void append(std::string &out, const char *fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    append_v(out, fmt, ap);
    va_end(ap);
}

} // namespace

const char *TSSerrorstr(int code)
{
    if (code < 0 || code >= kMessageCount)
        return "Unknown error code\n";
    return kMessages[code];
}

TssErrorHandler tss_set_error_handler(TssErrorHandler h)
{
    TssErrorHandler previous = handler;
    handler = h;
    return previous;
}

TssErrorHandler tss_save_error_handler(void)
{
    return handler;
}

void tss_set_default_error_locale_name(const char *name)
{
    default_locale_name = name != nullptr ? name : "";
}

int tss_error(const char *context, int flags, int code, ...)
{
    if (!abort_known) {
        abort_known = true;
        const char *value = getvar("TSSABORT");
        abort_at = value != nullptr ? std::strtol(value, nullptr, 10) : 0;
    }
    ++error_count;
    if (abort_at > 0 && error_count == abort_at) {
        std::fprintf(stderr, "%s: tss_error: aborting process...\n", log_get_progname());
        std::fflush(stderr);
        std::abort();
    }
    tss_errno = code;

    std::string text;
    if (context != nullptr)
        append(text, TSSerrorstr(21), context);
    va_list ap;
    va_start(ap, code);
    append_v(text, TSSerrorstr(code), ap);
    va_end(ap);

    if (handler == nullptr) {
        std::fputs(text.c_str(), stderr);
        std::fflush(stderr);
        if (flags & 0x1)
            std::exit(1);
        return -1;
    }
    std::string message;
    const char *locale = TSSgetlocale();
    if (*locale != '\0')
        append(message, "(%s) ", locale);
    else if (!default_locale_name.empty())
        append(message, "(%s) ", default_locale_name.c_str());
    else
        message += "(Unknown locale) ";
    message += text;
    return handler(flags, message.c_str());
}

namespace mb {

void reset_errors_for_tests()
{
    handler = nullptr;
    default_locale_name.clear();
    abort_known = false;
    abort_at = 0;
    error_count = 0;
    tss_errno = 0;
}

} // namespace mb
