/*
 * yy_internal.h: shared ground of the expression library: the token record
 * and codes, the process-wide state, messages, the number text, rounding,
 * the edit-mask formatter and the regular-expression engine's internals.
 */
#ifndef YY_INTERNAL_H
#define YY_INTERNAL_H

#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

#include "yy_expr.h"

namespace yy {

/* Token codes (fixed: compiled blocks rely on them). */
enum Code : int32_t {
    T_END = 0,
    T_STRING = 257,
    T_IDENT = 258,
    T_INT = 259,
    T_REAL = 260,
    T_REGEX = 261,
    T_VALUE = 262,
    T_TRUE = 263,
    T_FALSE = 264,
    T_ASSIGN = 265,
    T_VAL = 267,
    T_ABS = 268,
    T_ACOS = 269,
    T_AND = 270,
    T_ASC = 271,
    T_ASIN = 272,
    T_ATAN = 273,
    T_CHR = 274,
    T_COS = 275,
    T_COSH = 276,
    T_DATE = 277,
    T_UTC = 278,
    T_EDIT = 279,
    T_EXP = 280,
    T_IN = 281,
    T_INTF = 282,
    T_LEN = 283,
    T_LOG = 284,
    T_LOG10 = 285,
    T_MAX = 286,
    T_MIN = 287,
    T_NOT = 288,
    T_OR = 289,
    T_PI = 290,
    T_POS = 291,
    T_POW = 292,
    T_ROUND = 293,
    T_RPOS = 294,
    T_STR = 295,
    T_STRIP = 296,
    T_TAN = 297,
    T_TANH = 298,
    T_TIME = 299,
    T_SIN = 300,
    T_SINH = 301,
    T_SQRT = 302,
    T_COMMA = 303,
    T_LPAREN = 304,
    T_RPAREN = 305,
    T_LBRACK = 306,
    T_RBRACK = 307,
    T_SEMI = 308,
    T_FMIN = 309,
    T_FMAX = 310,
    T_QUEST = 311,
    T_COLON = 312,
    T_EQ = 313,
    T_NE = 314,
    T_LE = 315,
    T_GE = 316,
    T_LT = 317,
    T_GT = 318,
    T_PLUS = 319,
    T_MINUS = 320,
    T_AMP = 321,
    T_MUL = 322,
    T_DIV = 323,
    T_MOD = 324,
    T_POWOP = 325,
};

/* The 12-byte token record: code, then 8 bytes of value (no padding). */
constexpr size_t kTokenSize = 12;

inline int32_t tok_code(const char *t)
{
    int32_t c;
    std::memcpy(&c, t, 4);
    return c;
}
inline int32_t tok_int(const char *t)
{
    int32_t v;
    std::memcpy(&v, t + 4, 4);
    return v;
}
inline double tok_real(const char *t)
{
    double v;
    std::memcpy(&v, t + 4, 8);
    return v;
}
inline const char *tok_ptr(const char *t)
{
    const char *p;
    std::memcpy(&p, t + 4, sizeof p);
    return p;
}
inline void tok_set(char *t, int32_t code, const void *value, size_t n)
{
    std::memset(t, 0, kTokenSize);
    std::memcpy(t, &code, 4);
    if (n > 0)
        std::memcpy(t + 4, value, n);
}

/* Constant handles. */
inline bool is_constant(const char *h)
{
    return h == YY_FALSE_EXPR || h == YY_TRUE_EXPR;
}

/* Process-wide callbacks. */
struct Callbacks {
    yy_setid_fun setid = nullptr;
    yy_getid_fun getid = nullptr;
    yy_minmax_fun minval = nullptr;
    yy_minmax_fun maxval = nullptr;
    yy_message_fun sink = nullptr;
    int binary_length = 0;
};
Callbacks &callbacks();
/* Back to the initial state (no callbacks, no sink, no binary length). */
void reset_state();

/* Hands one message to the sink (or standard error with a newline); echoes
 * it as "YY: %s\n" when debug bit 0x8 is set. */
void message(const std::string &text);
/* printf-style variant. */
void messagef(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
/* Debug bit 0x8 of the runtime's debug level. */
bool debug_on();

/* The significant precision of x: floor(14.45 - log10|x|) for |x| >= 1,
 * else 14. */
int significant_precision(double x);
/* The number text of x at precision p (-1 means 6). */
std::string number_text(double x, int p);
/* round(x, d, mode). */
double round_value(double x, int32_t d, int32_t mode);

/*
 * The edit-mask formatter: lays value out in mask. number is true for a
 * numeric value, whose text (decimal, possibly with "-" and ".") is in
 * value. Returns false on overflow (out holds the partial text).
 */
bool edit_format(std::string_view value, bool number, std::string_view mask,
                 std::string &out);

/* Regular expressions. */
constexpr int kMaxRegexProgram = 65535;
/* Compiles pattern into out; returns the bytes used, or -error number. */
int regex_compile(std::string_view pattern, std::string &out);
/* Text of a compilation error number. */
const char *regex_error_text(int nr);
/* Length of a compiled program (from its header). */
size_t regex_program_size(const char *program);

} // namespace yy

#endif
