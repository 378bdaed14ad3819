/*
 * c_dd_chk.cpp: domain-constraint checks of row-buffer values (mandatory,
 * range expression, DIGV, legal and illegal characters, case, display
 * width), their reason texts and messages, and the registration of the
 * range-expression compiler with the dictionary.
 */
#include <algorithm>
#include <cmath>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>

#include "al_log.h"
#include "al_user.h"
#include "qpd_dd.h"
#include "tdb_dd_chk.h"
#include "tss.h"
#include "yy_expr.h"

namespace {

constexpr const char *kSource = "lib/dbc/c_dd_chk.cpp";
constexpr const char *kCategory = "Check dd";

constexpr const char *kReasonText[] = {"No domain errors", "FILL", "RANG", "ILCH", "LECH",
                                       "CONV:u", "CONV:l", "DIGV", "PLEN"};

/* Limits of DIGV 0 to 15: a real value at or above digv_max[DIGV] has too
 * many digits before the point. */
constexpr double digv_max[16] = {1e0, 1e1, 1e2,  1e3,  1e4,  1e5,  1e6,  1e7,
                                 1e8, 1e9, 1e10, 1e11, 1e12, 1e13, 1e14, 1e15};

/* Columns whose TDB_STRING values may hold high-ASCII bytes whatever the
 * tolerance: each full name followed by a newline. */
constexpr const char kExemptColumns[] = "ttadv304.layo\n"
                                        "ttadv335.layo\n"
                                        "ttadv364.layo\n"
                                        "ttscm304.layo\n"
                                        "ttscm335.layo\n"
                                        "ttscm364.layo\n"
                                        "ttaad503.rcrd\n"
                                        "ttadv980.rcrd\n"
                                        "ttadv990.rcrd\n"
                                        "ttdsk400.rcrd\n"
                                        "ttadv992.qbfc\n"
                                        "tttxt010.text\n";

/* ---- the module's message text --------------------------------------- */

std::string &message_text()
{
    static std::string text;
    return text;
}

__attribute__((format(printf, 1, 2))) void setMessage(const char *fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    va_list again;
    va_copy(again, ap);
    int n = std::vsnprintf(nullptr, 0, fmt, ap);
    va_end(ap);
    std::string &text = message_text();
    if (n < 0) {
        text.clear();
    } else {
        text.assign(static_cast<size_t>(n) + 1, '\0');
        std::vsnprintf(text.data(), text.size(), fmt, again);
        text.resize(static_cast<size_t>(n));
    }
    va_end(again);
}

void resetMessage() { message_text().clear(); }

const char *getMessage() { return message_text().c_str(); }

void log_message()
{
    log_mesg(kSource, __LINE__, kCategory, 0, "%s\n", getMessage());
}

/* ---- helpers ------------------------------------------------------------ */

const _dd_domain *domain_of(const _dd_column *column)
{
    if (column == nullptr || column->type == TDB_COMBINED)
        return nullptr;
    return column->domain;
}

bool mandatory(const _dd_column *column) { return (column->flags & DD_COL_MANDATORY) != 0; }

bool has_range(const _dd_domain *domain) { return domain != nullptr && domain->range != nullptr; }

const char *attr_text(const _dd_domain *domain, int index)
{
    const char *text = domain != nullptr ? dd_domain_attr(domain, index) : nullptr;
    return text != nullptr ? text : "";
}

/* The case attribute (CO character) of a string domain: 'u' upper case,
 * any other non-zero value lower case. */
long case_attribute(const _dd_domain *domain) { return domain != nullptr ? domain->word.value : 0; }

int width_of(const _dd_domain *domain) { return domain != nullptr && domain->width > 0 ? domain->width : 0; }

/* The multibyte locale level: the TSS mode (2 in the Unicode mode). */
int mb_locale_level() { return TssGetMode(); }

int32_t be_signed(const unsigned char *p, int bytes)
{
    uint32_t v = 0;
    for (int i = 0; i < bytes; ++i)
        v = (v << 8) | p[i];
    if (bytes == 2)
        return static_cast<int16_t>(v);
    return static_cast<int32_t>(v);
}

int range_holds_long(const _dd_domain *domain, long value)
{
    return yy_b_express(static_cast<char *>(domain->range), YY_VALUE_LONG, value, 0);
}

int range_holds_double(const _dd_domain *domain, double value)
{
    uint64_t bits;
    std::memcpy(&bits, &value, sizeof bits);
    return yy_b_express(static_cast<char *>(domain->range), YY_VALUE_DOUBLE,
                        static_cast<long>(bits & 0xFFFFFFFFu), static_cast<long>(bits >> 32));
}

/* Steps 1 and 2 of the string checks: blank values and the range
 * expression. Returns -1 to go on, else the reason. */
int blank_and_range(const _dd_column *column, const _dd_domain *domain, const char *address)
{
    int w = width_of(domain);
    int i = 0;
    while (i < w && address[i] == ' ')
        ++i;
    if (i >= w || address[i] == '\0')
        return mandatory(column) ? DD_CHK_FILL : DD_CHK_OK;
    if (has_range(domain)) {
        std::string value(address, static_cast<size_t>(w));
        if (!yy_b_express(static_cast<char *>(domain->range), YY_VALUE_STRING,
                          reinterpret_cast<long>(value.c_str()), 0))
            return DD_CHK_RANG;
    }
    return -1;
}

/* The bytes of a one-byte string value that the character tests see: the
 * first W bytes, up to a zero byte. */
std::string_view value_bytes(const char *address, int w)
{
    const void *nul = std::memchr(address, '\0', static_cast<size_t>(w));
    size_t n = nul != nullptr ? static_cast<size_t>(static_cast<const char *>(nul) - address)
                              : static_cast<size_t>(w);
    return std::string_view(address, n);
}

/* The lower-case characters that upper-case domains allow: 170 and 186
 * and their four-byte forms. */
bool lower_allowed_in_upper(TSSwchar wc)
{
    return wc == 170 || wc == 186 || wc == 0x9BBC81BAu || wc == 0x9BBC81AAu;
}

/* Case of a four-byte character: whether converting it to the other case
 * changes it. A conversion that fails counts as no case. */
bool four_byte_changes(const char *character, bool to_upper)
{
    char copy[5];
    std::memcpy(copy, character, 4);
    copy[4] = '\0';
    if (TssStringConvertCase(copy, 4, to_upper ? 1 : 0) != 0)
        return false;
    return std::memcmp(copy, character, 4) != 0;
}

bool is_lower_char(TSSwchar wc, const char *at)
{
    if (wc < 256)
        return TssIsLower(static_cast<int>(wc)) != 0;
    return four_byte_changes(at, true);
}

bool is_upper_char(TSSwchar wc, const char *at)
{
    if (wc < 256)
        return TssIsUpper(static_cast<int>(wc)) != 0;
    return four_byte_changes(at, false);
}

/* The part of a multibyte value whose display width is compared: the
 * value within its W bytes (up to a zero byte) without trailing blanks. */
int measured_length(const char *address, int w)
{
    std::string_view v = value_bytes(address, w);
    size_t end = v.find_last_not_of(' ');
    return end == std::string_view::npos ? 0 : static_cast<int>(end + 1);
}

/* The bytes a number value of a type is read from (0 for the others). */
int value_size(int type)
{
    switch (type) {
    case TDB_BYTE:
    case TDB_ENUM:
        return 1;
    case TDB_INTEGER:
        return 2;
    case TDB_LONG:
    case TDB_FLOAT:
    case TDB_DATE:
    case TDB_TIME:
        return 4;
    case TDB_DOUBLE:
        return 8;
    default:
        return 0;
    }
}

/* Sets the message of a failing value by the column's type. */
void set_failure_message(const _dd_column *column, const unsigned char *value, int reason)
{
    const char *name = column->name;
    const char *text = tdb_dd_reason_text(reason);
    const _dd_domain *domain = domain_of(column);
    int w = width_of(domain);
    switch (column->type) {
    case TDB_BYTE:
    case TDB_ENUM:
        setMessage("%s not according to %s (value %d)", name, text, static_cast<int>(value[0]));
        break;
    case TDB_INTEGER:
        setMessage("%s not according to %s (value %d)", name, text, static_cast<int>(be_signed(value, 2)));
        break;
    case TDB_LONG:
    case TDB_DATE:
    case TDB_TIME:
        setMessage("%s not according to %s (value %d)", name, text, static_cast<int>(be_signed(value, 4)));
        break;
    case TDB_FLOAT: {
        float f;
        std::memcpy(&f, value, sizeof f);
        setMessage("%s not according to %s (value %f)", name, text, static_cast<double>(f));
        break;
    }
    case TDB_DOUBLE: {
        double d;
        std::memcpy(&d, value, sizeof d);
        setMessage("%s not according to %s (value %f)", name, text, d);
        break;
    }
    case TDB_STRING:
    case TDB_MBSTRING:
        setMessage("%s not according to %s (value '%.*s')", name, text, w, reinterpret_cast<const char *>(value));
        break;
    case TDB_RAW: {
        std::string hex;
        hex.reserve(static_cast<size_t>(w) * 2);
        static constexpr char digits[] = "0123456789abcdef";
        for (int i = 0; i < w; ++i) {
            hex += digits[value[i] >> 4];
            hex += digits[value[i] & 0x0F];
        }
        setMessage("%s not according to %s (value '%.*s')", name, text, 2 * w, hex.c_str());
        break;
    }
    default:
        break;
    }
}

/* check_column_in_rowbuf without the null guards of the interface; the
 * row buffer holds limit bytes. A column not stored in the database may
 * lie behind the row length of its table: it is not part of such a row
 * buffer and is not checked. */
int check_column(const _dd_column *column, const unsigned char *row, int depth, int limit)
{
    if (column->type == TDB_COMBINED) {
        /* A dictionary cannot make a combined column its own part; the
         * bound only keeps a damaged record from recursing for ever. */
        if (column->parts == nullptr || depth > 64)
            return 1;
        for (_dd_column *const *part = column->parts; *part != nullptr; ++part)
            if (!check_column(*part, row, depth + 1, limit))
                return 0;
        return 1;
    }
    const _dd_domain *domain = column->domain;
    if (domain == nullptr)
        return 1;
    int elements = column->elements > 1 ? column->elements : 1;
    /* A damaged domain may give a number type a shorter width than the
     * bytes its value is read from: the last value must fit too. */
    int last_end = (elements - 1) * width_of(domain) + std::max(width_of(domain), value_size(column->type));
    if (column->offset + last_end > limit)
        return 1;
    const unsigned char *value = row + column->offset;
    for (int e = 0; e < elements; ++e) {
        if (!check_one_value(column, value))
            return 0;
        value += width_of(domain);
    }
    return 1;
}

} // namespace

extern "C" {

void tdb_dd_chk_init(void)
{
    qpd_set_range_compiler(yy_compile_range);
}

const char *tdb_dd_reason_text(int reason)
{
    if (reason < 0 || reason > DD_CHK_PLEN)
        return "";
    return kReasonText[reason];
}

const char *tdb_dd_check_message(void) { return getMessage(); }

int tdb_dd_exempt_from_high_ascii(const char *full_name)
{
    if (full_name == nullptr || *full_name == '\0')
        return 0;
    std::string key = std::string(full_name) + "\n";
    return std::strstr(kExemptColumns, key.c_str()) != nullptr ? 1 : 0;
}

int tdb_dd_check_enabled(void) { return user_info.domaincheck; }

int tdb_dd_check_integer(const struct _dd_column *column, long value)
{
    const _dd_domain *domain = domain_of(column);
    if (domain == nullptr)
        return DD_CHK_OK;
    if (value == 0)
        return mandatory(column) ? DD_CHK_FILL : DD_CHK_OK;
    if (has_range(domain) && !range_holds_long(domain, value))
        return DD_CHK_RANG;
    return DD_CHK_OK;
}

int tdb_dd_check_real(const struct _dd_column *column, double value)
{
    const _dd_domain *domain = domain_of(column);
    if (domain == nullptr)
        return DD_CHK_OK;
    int digv = domain->digits_before;
    if (!has_range(domain) && !mandatory(column) && digv == 0)
        return DD_CHK_OK;
    if (value == 0.0)
        return mandatory(column) ? DD_CHK_FILL : DD_CHK_OK;
    if (has_range(domain) && !range_holds_double(domain, value))
        return DD_CHK_RANG;
    if (digv != 0) {
        /* Beyond the table the limit goes on as 10 to the power DIGV. */
        double limit = digv < 16 ? digv_max[digv] : std::pow(10.0, digv);
        if (value >= limit)
            return DD_CHK_DIGV;
    }
    return DD_CHK_OK;
}

int tdb_dd_check_date(const struct _dd_column *column, long value)
{
    if (column == nullptr || value != 0)
        return DD_CHK_OK;
    return mandatory(column) ? DD_CHK_FILL : DD_CHK_OK;
}

int tdb_dd_check_time(const struct _dd_column *column, long value)
{
    return tdb_dd_check_date(column, value);
}

int tdb_dd_check_raw(const struct _dd_column *column, const unsigned char *address)
{
    const _dd_domain *domain = domain_of(column);
    if (domain == nullptr || address == nullptr || !mandatory(column))
        return DD_CHK_OK;
    int w = width_of(domain);
    for (int i = 0; i < w; ++i)
        if (address[i] != 0)
            return DD_CHK_OK;
    return DD_CHK_FILL;
}

int tdb_dd_check_str(const struct _dd_column *column, const char *address)
{
    const _dd_domain *domain = domain_of(column);
    if (domain == nullptr || address == nullptr)
        return DD_CHK_OK;
    int reason = blank_and_range(column, domain, address);
    if (reason >= 0)
        return reason;
    std::string_view value = value_bytes(address, width_of(domain));
    if (!tdb_dd_exempt_from_high_ascii(column->name) && TssGetHighAsciiToleranceMode() == 0)
        for (unsigned char c : value)
            if (c > 127)
                return DD_CHK_ILCH;
    std::string_view illegal = attr_text(domain, DD_ATTR_IL);
    if (!illegal.empty())
        for (char c : value)
            if (illegal.find(c) != std::string_view::npos)
                return DD_CHK_ILCH;
    std::string_view legal = attr_text(domain, DD_ATTR_L);
    if (!legal.empty())
        for (char c : value)
            if (c != ' ' && legal.find(c) == std::string_view::npos)
                return DD_CHK_LECH;
    long co = case_attribute(domain);
    if (co == 'u') {
        for (unsigned char c : value)
            if (TssIsLower(c) && c != 170 && c != 186)
                return DD_CHK_CONV_U;
    } else if (co != 0) {
        for (unsigned char c : value)
            if (TssIsUpper(c))
                return DD_CHK_CONV_L;
    }
    return DD_CHK_OK;
}

int tdb_dd_check_mbstr(const struct _dd_column *column, const char *address)
{
    const _dd_domain *domain = domain_of(column);
    if (domain == nullptr || address == nullptr)
        return DD_CHK_OK;
    int reason = blank_and_range(column, domain, address);
    if (reason >= 0)
        return reason;
    int w = width_of(domain);
    /* The characters within the W bytes: a copy ends the value there, so
     * that no test reads past the field. */
    std::string value(value_bytes(address, w));
    const char *illegal = attr_text(domain, DD_ATTR_IL);
    const char *legal = attr_text(domain, DD_ATTR_L);
    long co = case_attribute(domain);
    int count = TSSmblen_n(value.c_str(), w);
    const char *at = value.c_str();
    for (int n = 0; n < count && at != nullptr && *at != '\0'; ++n, at = TSSmbnext(at)) {
        TSSwchar wc = TSSmbs2wc(at);
        if (wc == 0)
            break;
        if (*illegal != '\0' && TssStringChr(illegal, -1, wc) != nullptr)
            return DD_CHK_ILCH;
        if (*legal != '\0' && wc != ' ' && TssStringChr(legal, -1, wc) == nullptr)
            return DD_CHK_LECH;
        if (co == 'u') {
            if (!lower_allowed_in_upper(wc) && is_lower_char(wc, at))
                return DD_CHK_CONV_U;
        } else if (co != 0) {
            if (is_upper_char(wc, at))
                return DD_CHK_CONV_L;
        }
    }
    if (mb_locale_level() >= 2) {
        int width = TssStringDisplayWidth(value.c_str(), measured_length(value.c_str(), w));
        if (width > domain->display_width)
            return DD_CHK_PLEN;
    }
    return DD_CHK_OK;
}

int check_one_value(const struct _dd_column *column, const unsigned char *value)
{
    resetMessage();
    if (column == nullptr || value == nullptr)
        return 1;
    int reason = DD_CHK_OK;
    switch (column->type) {
    case TDB_BYTE:
    case TDB_ENUM:
        reason = tdb_dd_check_integer(column, value[0]);
        break;
    case TDB_INTEGER:
        reason = tdb_dd_check_integer(column, be_signed(value, 2));
        break;
    case TDB_LONG:
        reason = tdb_dd_check_integer(column, be_signed(value, 4));
        break;
    case TDB_FLOAT: {
        float f;
        std::memcpy(&f, value, sizeof f);
        reason = tdb_dd_check_real(column, static_cast<double>(f));
        break;
    }
    case TDB_DOUBLE: {
        double d;
        std::memcpy(&d, value, sizeof d);
        reason = tdb_dd_check_real(column, d);
        break;
    }
    case TDB_DATE:
        reason = tdb_dd_check_date(column, be_signed(value, 4));
        break;
    case TDB_TIME:
        reason = tdb_dd_check_time(column, be_signed(value, 4));
        break;
    case TDB_STRING:
        reason = tdb_dd_check_str(column, reinterpret_cast<const char *>(value));
        break;
    case TDB_MBSTRING:
        reason = tdb_dd_check_mbstr(column, reinterpret_cast<const char *>(value));
        break;
    case TDB_RAW:
        reason = tdb_dd_check_raw(column, value);
        break;
    default:
        /* TDB_TEXT, TDB_LONG_V, TDB_SET, TDB_COMBINED and invalid codes. */
        return 1;
    }
    if (reason == DD_CHK_OK)
        return 1;
    set_failure_message(column, value, reason);
    return 0;
}

int check_column_in_rowbuf(const struct _dd_column *column, const unsigned char *row)
{
    if (column == nullptr || row == nullptr)
        return 1;
    return check_column(column, row, 0, DD_MAX_ROW);
}

int tdb_dd_check_column(const struct _dd_column *column, const unsigned char *row)
{
    if (!tdb_dd_check_enabled())
        return 1;
    if (check_column_in_rowbuf(column, row))
        return 1;
    log_message();
    return 0;
}

int tdb_dd_check(const struct _dd_table *table, const unsigned char *row)
{
    if (!tdb_dd_check_enabled() || table == nullptr || row == nullptr)
        return 1;
    for (int i = 0; i < table->nr_columns; ++i) {
        if (!check_column(&table->columns[i], row, 0, table->row_length)) {
            log_message();
            return 0;
        }
    }
    return 1;
}

const char *tdb_domain_check(const struct _dd_table *table, const unsigned char *row)
{
    if (table == nullptr || row == nullptr)
        return nullptr;
    for (int i = 0; i < table->nr_columns; ++i)
        if (!check_column(&table->columns[i], row, 0, table->row_length))
            return table->columns[i].name;
    return nullptr;
}

int tdb_dd_column_has_domain_constraints(const struct _dd_column *column)
{
    const _dd_domain *domain = domain_of(column);
    if (domain == nullptr)
        return 0;
    switch (column->type) {
    case TDB_BYTE:
    case TDB_INTEGER:
    case TDB_LONG:
    case TDB_ENUM:
        return has_range(domain) ? 1 : 0;
    case TDB_FLOAT:
    case TDB_DOUBLE:
        return has_range(domain) || domain->digits_before != 0 ? 1 : 0;
    case TDB_STRING:
    case TDB_MBSTRING:
        if (has_range(domain) || case_attribute(domain) != 0 || *attr_text(domain, DD_ATTR_L) != '\0' ||
            *attr_text(domain, DD_ATTR_IL) != '\0')
            return 1;
        if (column->type == TDB_STRING)
            return TssGetHighAsciiToleranceMode() == 0 ? 1 : 0;
        return mb_locale_level() >= 2 ? 1 : 0;
    default:
        return 0;
    }
}

} // extern "C"
