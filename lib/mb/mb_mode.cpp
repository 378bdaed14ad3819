/*
 * mb_mode.cpp: the TSS mode of the process (mode file), the zero-width
 * factor, the install locale and its converter, the high-ASCII tolerance,
 * the character-set locale (TSSsetlocale) and the external codes.
 */
#include <strings.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "al_env.h"
#include "al_stream.h"
#include "al_user.h"
#include "mb_internal.h"
#include "tss.h"
#include "tss_convert.h"

namespace {

constexpr const char *kDefaultInstallLocale = "ISO-8859-1";
constexpr int kUnknownConverter = 255;

int mode = TSS_MODE_UNKNOWN;
int zero_width = 0;
std::string install_locale = kDefaultInstallLocale;
std::string previous_install_locale;
int install_converter = kUnknownConverter;
int tolerance = -1;

std::string locale_name;
std::string locale_charset;
int locale_mode = 0;
bool locale_iso = true;

bool is_latin1_name(const std::string &name)
{
    return strcasecmp(name.c_str(), "ISO-8859-1") == 0 ||
           strcasecmp(name.c_str(), "ISO8859-1") == 0 ||
           strcasecmp(name.c_str(), "ISO_8859-1") == 0;
}

/* One digit 0-9 at p, or -1. */
int digit_at(const char *p)
{
    return *p >= '0' && *p <= '9' ? *p - '0' : -1;
}

int clamp_factor(long value)
{
    return value < 0 ? 0 : value > 6 ? 6 : static_cast<int>(value);
}

/* Interprets the first line of the mode file. */
void apply_mode_line(const char *line)
{
    if (std::strncmp(line, "UTF-T", 5) == 0) {
        mode = TSS_MODE_UNICODE;
        const char *colon = std::strchr(line, ':');
        if (colon == nullptr)
            return;
        zero_width = clamp_factor(std::strtol(colon + 1, nullptr, 10));
        if (digit_at(colon + 1) >= 0 && colon[2] == ':' && colon[3] != '\0') {
            install_locale = colon + 3;
            install_converter = kUnknownConverter;
        }
        return;
    }
    mode = TSS_MODE_CLASSIC;
    if (std::strncmp(line, "*:", 2) == 0)
        zero_width = clamp_factor(std::strtol(line + 2, nullptr, 10));
}

void determine_mode()
{
    mode = TSS_MODE_CLASSIC;
    STREAM *sp = open_tse_file("lib/tss_mbstore%s", al_release_text());
    if (sp == nullptr)
        return;
    char line[255];
    if (sgets(line, sizeof line, sp) != nullptr)
        apply_mode_line(line);
    sclose(sp);
}

} // namespace

int TssGetMode(void)
{
    if (mode == TSS_MODE_UNKNOWN)
        determine_mode();
    return mode;
}

int TssSetMode(int new_mode)
{
    int previous = mode;
    mode = new_mode;
    return previous;
}

int TssGetZeroWidthFactor(void)
{
    TssGetMode();
    return zero_width;
}

const char *TssGetInstallLocale(void)
{
    TssGetMode();
    return install_locale.c_str();
}

const char *TssSetInstallLocale(const char *name)
{
    TssGetMode();
    previous_install_locale = install_locale;
    install_locale = name != nullptr && *name != '\0' ? name : kDefaultInstallLocale;
    install_converter = kUnknownConverter;
    return previous_install_locale.c_str();
}

int TssGetInstallConverter(void)
{
    TssGetMode();
    if (install_converter == kUnknownConverter) {
        int index = TssFindConverter(install_locale.c_str());
        install_converter = index < 0 ? -1 : index;
    }
    return install_converter;
}

int TssGetHighAsciiToleranceMode(void)
{
    if (tolerance < 0) {
        int value = user_info.high_ascii_tolerance;
        if (value == 0 || value == 1)
            tolerance = value;
        else
            tolerance = TssGetMode() == TSS_MODE_UNICODE ? 0 : 1;
    }
    return tolerance;
}

void TssSetHighAsciiToleranceMode(int value)
{
    tolerance = value == 0 || value == 1 ? value : -1;
}

int TssIsHighAsciiExpected(void)
{
    int m = TssGetMode();
    if (m == TSS_MODE_UNICODE) {
        if (!TssGetHighAsciiToleranceMode())
            return 0;
        if (is_latin1_name(install_locale))
            return 1;
        int index = TssGetInstallConverter();
        if (index < 0)
            return 0;
        int previous = TssSetCurrentConverterIndex(index);
        int compatible = TssIsHighAsciiCompatible();
        if (previous >= 0)
            TssSetCurrentConverterIndex(previous);
        return compatible;
    }
    /* Classic: the native set is the current converter. */
    if (mb::locale_is_iso8859_1() && TssConvertGetStatus() != 2)
        return 1;
    return TssIsMultibyte() ? 0 : 1;
}

int TSSsetlocale(const char *locale, int mode_bits)
{
    std::string name = locale != nullptr && *locale != '\0' ? locale : TssGetInstallLocale();
    locale_name = name;
    locale_mode = mode_bits;
    if (is_latin1_name(name) && TssConvertGetStatus() != 2) {
        /* The library's default converter; selected when it is loaded. */
        locale_charset = kDefaultInstallLocale;
        locale_iso = true;
        return 0;
    }
    int index = TssFindConverter(name.c_str());
    if (index < 0) {
        tss_error(nullptr, 0, 25, name.c_str(), name.c_str());
        return -1;
    }
    TssSetCurrentConverterIndex(index);
    const char *charset = TssGetCurrentConverterName();
    locale_charset = charset != nullptr ? charset : name;
    locale_iso = is_latin1_name(locale_charset);
    return 0;
}

const char *TSSgetlocale(void)
{
    return locale_name.c_str();
}

const char *TSSgetcharset(void)
{
    return locale_charset.c_str();
}

namespace mb {

unsigned int external_code(TSSwchar wc)
{
    if (!TSSisvalidwc(wc))
        return 0;
    if (wc < 256 && TssGetMode() == TSS_MODE_CLASSIC)
        return wc;
    char tss[5] = {0};
    TSSwc2mbs(tss, wc);
    char native[8];
    TssConvertControl c{-1, static_cast<int>(sizeof native), 0, 0, 0, 0};
    int n = TssConvertTssToNative(tss, native, &c);
    if (n < 1 || n > 2)
        return 0;
    const unsigned char *u = reinterpret_cast<const unsigned char *>(native);
    return n == 1 ? u[0] : static_cast<unsigned int>(u[0]) << 8 | u[1];
}

TSSwchar tss_of_external(unsigned int ext)
{
    if (ext == 0 || ext > 0xFFFF)
        return 0;
    if (ext < 256 && ext != TSS_LEAD && TssGetMode() == TSS_MODE_CLASSIC)
        return ext;
    char native[3] = {0};
    int len = 0;
    if (ext > 0xFF)
        native[len++] = static_cast<char>(ext >> 8);
    native[len++] = static_cast<char>(ext);
    char tss[9];
    TssConvertControl c{len, static_cast<int>(sizeof tss), TSS_CONVERT_TERMINATE, 0, 0, 0};
    int n = TssConvertNativeToTss(native, tss, &c);
    if (n < 1 || c.in_used != len)
        return 0;
    int saved = tss_errno;
    int count = TSSmblen(tss);
    tss_errno = saved;
    return count == 1 ? TSSmbs2wc(tss) : 0;
}

} // namespace mb

unsigned int TSStsswc2extwc(TSSwchar wc)
{
    unsigned int ext = mb::external_code(wc);
    if (ext == 0)
        tss_error(nullptr, 0, 30, wc);
    return ext;
}

TSSwchar TSSextwc2tsswc(unsigned int ext)
{
    TSSwchar wc = mb::tss_of_external(ext);
    if (wc == 0)
        tss_error(nullptr, 0, 29, ext);
    return wc;
}

namespace mb {

bool locale_is_iso8859_1()
{
    if (locale_name.empty())
        return is_latin1_name(TssGetInstallLocale());
    return locale_iso;
}

bool locale_allows_mb_case()
{
    return (locale_mode & TSS_LOCALE_MB_CASE) != 0;
}

void reset_mode_for_tests()
{
    mode = TSS_MODE_UNKNOWN;
    zero_width = 0;
    install_locale = kDefaultInstallLocale;
    install_converter = kUnknownConverter;
    tolerance = -1;
    locale_name.clear();
    locale_charset.clear();
    locale_mode = 0;
    locale_iso = true;
}

} // namespace mb
