/*
 * yy_exp.cpp: process-wide state of the expression language (expr_err,
 * callbacks, message sink, binary length), the number text used by str,
 * edit and yy_s_express, rounding, and the edit-mask formatter.
 */
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <algorithm>
#include <string>
#include <vector>

#include "al_user.h"
#include "yy_internal.h"

int expr_err = 0;
int Convert2Double = 0;

namespace yy {

Callbacks &callbacks()
{
    static Callbacks c;
    return c;
}

void reset_state()
{
    callbacks() = Callbacks{};
    expr_err = 0;
    Convert2Double = 0;
}

bool debug_on()
{
    return (user_info.debug_level & 0x8) != 0;
}

void message(const std::string &text)
{
    if (debug_on())
        std::fprintf(stderr, "YY: %s\n", text.c_str());
    if (callbacks().sink != nullptr)
        callbacks().sink(text.c_str());
    else
        std::fprintf(stderr, "%s\n", text.c_str());
}

void messagef(const char *fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    va_list copy;
    va_copy(copy, ap);
    int n = std::vsnprintf(nullptr, 0, fmt, copy);
    va_end(copy);
    std::string text(n > 0 ? static_cast<size_t>(n) : 0, '\0');
    if (n > 0)
        std::vsnprintf(text.data(), text.size() + 1, fmt, ap);
    va_end(ap);
    message(text);
}

/* ---- number text ----------------------------------------------------------- */

int significant_precision(double x)
{
    double a = std::fabs(x);
    if (!(a >= 1.0))
        return 14;
    if (!std::isfinite(a))
        return -400;
    return static_cast<int>(std::floor(14.45 - std::log10(a)));
}

/*
 * The decimals follow the precision rules; the digits come from a
 * fixed-point conversion. A value whose first significant decimal lies
 * behind more than six zeros after the point prints as "0" (so at
 * precision 7 and above 1e-7 is "0.0000001" and 1e-8 is "0").
 */
std::string number_text(double x, int p)
{
    if (p < 0)
        p = 6;
    if (!std::isfinite(x))
        return "0";
    double v = x;
    int dec;
    if (p < 7) {
        v = x >= 0 ? x + 1e-9 : x - 1e-9;
        dec = v > -1e9 && v < 1e9 ? p : std::min(p, significant_precision(v));
    } else {
        dec = std::min(p, significant_precision(x));
    }
    if (dec < 0)
        dec = 0;
    char buf[400];
    std::snprintf(buf, sizeof buf, "%.*f", dec, v);
    std::string_view s(buf);
    bool negative = !s.empty() && s[0] == '-';
    if (negative)
        s.remove_prefix(1);
    size_t point = s.find('.');
    std::string_view ipart = s.substr(0, point);
    std::string_view fpart = point == std::string_view::npos ? std::string_view() : s.substr(point + 1);
    while (!fpart.empty() && fpart.back() == '0')
        fpart.remove_suffix(1);
    bool int_zero = ipart.find_first_not_of('0') == std::string_view::npos;
    size_t first = fpart.find_first_not_of('0');
    if (int_zero && (first == std::string_view::npos || first > 6))
        return "0";
    std::string out;
    if (negative)
        out += '-';
    out += ipart.empty() ? std::string_view("0") : ipart;
    if (!fpart.empty()) {
        out += '.';
        out += fpart;
    }
    return out;
}

/* ---- rounding --------------------------------------------------------------- */

namespace {

const double kHalfUp[11] = {0.49, 0.49, 0.499, 0.499, 0.4999, 0.49999, 0.499999,
                            0.4999999, 0.49999999, 0.499999999, 0.4999999999};
const double kDown[11] = {0.9, 0.99, 0.999, 0.9999, 0.99999, 0.999999, 0.9999999,
                          0.99999999, 0.999999999, 0.9999999999, 0.99999999999};
const double kUp[11] = {0.01, 0.01, 0.001, 0.0001, 1e-05, 1e-06, 1e-07, 1e-08, 1e-09, 1e-10, 1e-11};

/* Whether the remainder r calls for the next integer away from zero. */
bool rounds_away(double r, int32_t mode, int k)
{
    switch (mode) {
    case 1:
        return r >= kHalfUp[k];
    case 0:
        return r > kDown[k];
    case 2:
        return r > kUp[k];
    default:
        return false;
    }
}

} // namespace

double round_value(double x, int32_t d, int32_t mode)
{
    long long k = static_cast<long long>(significant_precision(x)) - d;
    if (k < 0 || !std::isfinite(x))
        return x;
    if (k > 10)
        k = 10;
    double scale = std::pow(10.0, static_cast<double>(d));
    double y = x * scale;
    if (scale == 0.0 || !std::isfinite(scale) || !std::isfinite(y))
        return x;
    double result;
    if (y >= 0) {
        double f = std::floor(y);
        result = rounds_away(y - f, mode, static_cast<int>(k)) ? f + 1 : f;
    } else {
        double c = std::ceil(y);
        result = rounds_away(c - y, mode, static_cast<int>(k)) ? c - 1 : c;
    }
    return result / scale;
}

/* ---- edit masks ------------------------------------------------------------------ */

/*
 * The edit-mask language (our own):
 *
 *  Numbers (integer or real values):
 *   9   a digit position, a leading zero is shown as "0"
 *   Z   a digit position, a leading zero is shown as a blank
 *   *   a digit position, a leading zero is shown as "*"
 *   .   the decimal point; digit positions behind it take the decimals
 *       (missing decimals are "0", surplus decimals are cut off)
 *   ,   a group separator: "," once a digit has been shown to its left,
 *       else what the digit position to its left shows ("" at the start:
 *       a blank)
 *   -   the sign: "-" for a negative value, else a blank
 *   +   the sign: "-" or "+"
 *   \c  the character c itself
 *   any other character is copied.
 *  The integer digits are filled in from the right; more digits than
 *  positions, or a negative value without a sign position, is an overflow
 *  (the partial text shows the low digits).
 *
 *  Strings:
 *   X   the next character of the value (a four-byte character counts as
 *       one); when the value is used up, a blank
 *   \c  the character c itself
 *   any other character is copied. Characters left over are an overflow.
 */
bool edit_format(std::string_view value, bool number, std::string_view mask, std::string &out)
{
    out.clear();
    if (!number) {
        size_t vi = 0;
        for (size_t i = 0; i < mask.size(); ++i) {
            char m = mask[i];
            if (m == '\\' && i + 1 < mask.size()) {
                out += mask[++i];
            } else if (m == 'X') {
                if (vi >= value.size()) {
                    out += ' ';
                    continue;
                }
                size_t n = static_cast<unsigned char>(value[vi]) == 0x9B && vi + 4 <= value.size() ? 4 : 1;
                out.append(value.substr(vi, n));
                vi += n;
            } else {
                out += m;
            }
        }
        return vi >= value.size();
    }

    bool negative = !value.empty() && value[0] == '-';
    if (negative)
        value.remove_prefix(1);
    size_t point = value.find('.');
    std::string_view ipart = value.substr(0, point);
    std::string_view fpart = point == std::string_view::npos ? std::string_view() : value.substr(point + 1);
    while (!ipart.empty() && ipart.front() == '0')
        ipart.remove_prefix(1);

    /* Classify the mask: per position a kind, escaped characters literal. */
    enum Kind { Lit, Digit9, DigitZ, DigitStar, Point, Group, Minus, Plus };
    struct Pos {
        Kind kind;
        char ch;
    };
    std::string_view::size_type n = mask.size();
    std::vector<Pos> pos;
    pos.reserve(n);
    bool seen_point = false;
    for (size_t i = 0; i < n; ++i) {
        char m = mask[i];
        if (m == '\\' && i + 1 < n) {
            pos.push_back({Lit, mask[++i]});
            continue;
        }
        switch (m) {
        case '9':
            pos.push_back({Digit9, m});
            break;
        case 'Z':
            pos.push_back({DigitZ, m});
            break;
        case '*':
            pos.push_back({DigitStar, m});
            break;
        case '.':
            pos.push_back({seen_point ? Lit : Point, m});
            seen_point = true;
            break;
        case ',':
            pos.push_back({Group, m});
            break;
        case '-':
            pos.push_back({Minus, m});
            break;
        case '+':
            pos.push_back({Plus, m});
            break;
        default:
            pos.push_back({Lit, m});
        }
    }
    auto is_digit = [](Kind k) { return k == Digit9 || k == DigitZ || k == DigitStar; };
    size_t point_at = pos.size();
    for (size_t i = 0; i < pos.size(); ++i)
        if (pos[i].kind == Point) {
            point_at = i;
            break;
        }
    std::vector<std::string> shown(pos.size());
    bool ok = true;
    /* Integer digits from the right. */
    size_t next = ipart.size();
    for (size_t i = point_at; i-- > 0;) {
        if (!is_digit(pos[i].kind))
            continue;
        if (next > 0) {
            shown[i] = std::string(1, ipart[--next]);
        } else {
            shown[i] = pos[i].kind == Digit9 ? "0" : pos[i].kind == DigitZ ? " " : "*";
        }
    }
    if (next > 0)
        ok = false;
    /* Decimals from the left. */
    size_t fi = 0;
    for (size_t i = point_at; i < pos.size(); ++i)
        if (is_digit(pos[i].kind))
            shown[i] = std::string(1, fi < fpart.size() ? fpart[fi++] : '0');
    /* Separators, sign, literals. */
    bool digit_shown = false;
    bool has_sign = false;
    std::string left_fill = " ";
    for (size_t i = 0; i < pos.size(); ++i) {
        switch (pos[i].kind) {
        case Digit9:
        case DigitZ:
        case DigitStar:
            if (i < point_at) {
                if (shown[i] != " " && shown[i] != "*")
                    digit_shown = true;
                left_fill = shown[i] == "*" ? "*" : " ";
            }
            break;
        case Group:
            shown[i] = digit_shown || i > point_at ? "," : left_fill;
            break;
        case Point:
            shown[i] = ".";
            break;
        case Minus:
            has_sign = true;
            shown[i] = negative ? "-" : " ";
            break;
        case Plus:
            has_sign = true;
            shown[i] = negative ? "-" : "+";
            break;
        case Lit:
            shown[i] = std::string(1, pos[i].ch);
            break;
        }
    }
    bool nonzero = ipart.find_first_not_of('0') != std::string_view::npos ||
                   fpart.find_first_not_of('0') != std::string_view::npos;
    if (negative && nonzero && !has_sign)
        ok = false;
    for (const std::string &s : shown)
        out += s;
    return ok;
}

} // namespace yy

/* ---- the C interface of the state ---------------------------------------------- */

yy_message_fun yy_set_message_func(yy_message_fun fun)
{
    yy_message_fun previous = yy::callbacks().sink;
    yy::callbacks().sink = fun;
    return previous;
}

void yy_set_setid_getid(yy_setid_fun setid, yy_getid_fun getid, yy_minmax_fun minval,
                        yy_minmax_fun maxval)
{
    yy::Callbacks &c = yy::callbacks();
    if (setid != nullptr)
        c.setid = setid;
    if (getid != nullptr)
        c.getid = getid;
    if (minval != nullptr)
        c.minval = minval;
    if (maxval != nullptr)
        c.maxval = maxval;
}

void yy_get_setid_getid(yy_setid_fun *setid, yy_getid_fun *getid)
{
    if (setid != nullptr)
        *setid = yy::callbacks().setid;
    if (getid != nullptr)
        *getid = yy::callbacks().getid;
}

void yy_set_binary_length(int length)
{
    if (length < 0) {
        yy::message("negative length in yy_set_binary_length()");
        length = 0;
    }
    yy::callbacks().binary_length = length;
}

void yy_reset_binary_length(void)
{
    yy::callbacks().binary_length = 0;
}

/* The rounding of round(), for the tdb API's float and double binds. */
int b_round(double *value, int digits, int mode)
{
    if (value == nullptr)
        return -1;
    const double x = *value;
    if (!std::isfinite(x) || static_cast<long long>(yy::significant_precision(x)) - digits < 0)
        return -1;
    *value = yy::round_value(x, digits, mode);
    return 0;
}
