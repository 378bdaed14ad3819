/*
 * yy_expr.h: the expression language: compilation of expression texts into
 * token blocks, the four evaluators, comparison of compiled blocks, range
 * extremes, the regular expressions of the `in` operator, callbacks and the
 * message sink. Implemented in lib/expr (library expr).
 */
#ifndef YY_EXPR_H
#define YY_EXPR_H

#include <cstddef>
#include <cstdint>

extern "C" {

/* Constant handles: not pointers. 0 is "no expression". */
#define YY_NO_EXPR ((char *)0)
#define YY_FALSE_EXPR ((char *)1)
#define YY_TRUE_EXPR ((char *)2)

/* Result and value types. */
#define YY_INTEGER 1
#define YY_REAL 2
#define YY_STRING 3

/* Kinds of the candidate value `$$` handed to the evaluators. */
#define YY_VALUE_LONG 1   /* a: the integer */
#define YY_VALUE_DOUBLE 2 /* a: low 32 bits, b: high 32 bits of the double */
#define YY_VALUE_STRING 3 /* a: the string pointer */

/* Size of the scratch buffer of one evaluation; yy_s_express writes at
 * most YY_SCRATCH_SIZE + 1 bytes. */
#define YY_SCRATCH_SIZE 131071

/* A value handed to and from the callbacks. s is valid for integer and
 * real values as null; a string handed out by a callback must stay valid
 * until the callback is called again (the evaluator copies it). */
typedef struct yy_value {
    int type;     /* YY_INTEGER, YY_REAL or YY_STRING */
    char *s;
    int32_t l;
    double d;
} YY_VALUE;

/* Arguments of an identifier: count values; when semicolon is non-zero the
 * last value was written after ";". */
typedef struct yy_args {
    int count;
    int semicolon;
    const YY_VALUE *values;
} YY_ARGS;

/* Assignment `name(args) := value`: 0 on success, -1 on failure (the
 * assignment then has the value integer 0). args is null without a list. */
typedef int (*yy_setid_fun)(const char *name, const YY_ARGS *args,
                            const YY_VALUE *value);
/* Value of `name` or `name(args)` into *result: 0, or -1 (value integer 0
 * and expr_err -1). args is null without a list. */
typedef int (*yy_getid_fun)(const char *name, const YY_ARGS *args,
                            YY_VALUE *result);
/* Value of `fmin(name)` / `fmax(name)`: 0, or -1 as above. */
typedef int (*yy_minmax_fun)(const char *name, YY_VALUE *result);
/* The message sink: receives each message text (not owned). */
typedef void (*yy_message_fun)(const char *text);

/* 0 after a clean compilation or evaluation; -1, or the number of a
 * regular-expression compilation error, after a failure. */
extern int expr_err;
/* Non-zero only while yy_d_express runs (integer + - * give reals). */
extern int Convert2Double;
/* Start and end of the text matched by the last yy_expr_step. */
extern char *loc1;
extern char *loc2;

/*
 * Compiles text (TSS multibyte, NUL-terminated). Returns YY_FALSE_EXPR for
 * an empty text (blanks only), a null text and the single integer 0,
 * YY_TRUE_EXPR for the single integer 1, otherwise a block from alloc
 * (given its size; null alloc means mal_allocater) which the caller owns.
 * Returns 0 when the allocation failed (expr_err -1). expr_err is 0 after
 * success, -1 after a buffer overflow, or the number of a failed regular
 * expression (which then stays a plain string).
 */
char *yy_expr_compile(const char *text, void *(*alloc)(size_t));

/*
 * The dictionary's range compiler (qpd_range_compiler of qpd_dd.h): text
 * compiled with mal_allocater. Returns the handle (1 and 2 included) with
 * *error 0; after a failed compilation (expr_err not 0, or no memory) the
 * block is freed and null returned with *error the expr_err value (-1 when
 * it was 0). error may be null.
 */
void *yy_compile_range(const char *text, int *error);

/* Frees a handle above 2 with mal_free (so its block must come from
 * mal_allocater) and clears the binary length. */
void yy_free_express(char *expr);

/*
 * The evaluators. kind says how `$$` is supplied (YY_VALUE_*; any other
 * kind: no value). Each sets expr_err (0 or -1) and never fails: errors are
 * reported through the message sink and 0 stands in.
 * yy_b_express: 1 when the result is non-zero (a string: when strtol of it
 *   is non-zero), else 0.
 * yy_l_express: the result as a 32-bit integer (reals truncated toward
 *   zero and saturated, strings by strtol).
 * yy_d_express: the result as a double (strings by trel_atof); integer
 *   + - * are computed in double while it runs.
 * Handle 0 yields 0 with expr_err -1.
 */
int yy_b_express(char *expr, int kind, long a, long b);
int32_t yy_l_express(char *expr, int kind, long a, long b);
double yy_d_express(char *expr, int kind, long a, long b);

/*
 * Evaluates and writes the result as text into buffer, which must hold
 * YY_SCRATCH_SIZE + 1 bytes (or, with a binary length set, that many
 * bytes for a string result): integer "%ld", real as the number text at
 * precision 6, string copied (with a binary length: exactly that many
 * bytes). Returns the result type; handles 1 and 2 write "0" and "1" and
 * return 1.
 */
int yy_s_express(char *expr, char *buffer, int kind, long a, long b);
/* As yy_s_express with a buffer of size bytes (at least 1): text that does
 * not fit is cut off (always terminated; binary results zero-padded). */
int yy_s_express_n(char *expr, char *buffer, size_t size, int kind, long a,
                   long b);

/* 0 when the two handles are equal token by token, else 1. */
int yy_expr_compare(const char *a, const char *b);

/*
 * The smallest (want_min non-zero) or largest value that a range
 * constraint `$$ in [x, y] ...` admits within [lo, hi], narrowed by the
 * number of digits (1-9 for integers; integer and fraction digits for
 * reals). Other constraints give lo or hi.
 */
int32_t yy_get_l_extreme(const char *expr, int want_min, int32_t lo,
                         int32_t hi, int digits);
double yy_get_d_extreme(const char *expr, int want_min, double lo, double hi,
                        int int_digits, int frac_digits);

/*
 * Searches subject for the compiled regular expression re (as made by
 * yy_expr_re_compile or found in a block). Non-zero on a match, with loc1
 * and loc2 at the start and behind the end of the leftmost match; 0
 * otherwise (also when the search gave up, see lib/expr/README.md).
 */
int yy_expr_step(const char *subject, const char *re);

/*
 * Compiles a regular expression pattern into buffer (size bytes). Returns
 * the bytes used (> 0), or the negated error number (-11 ... -60), which is
 * also reported and left in expr_err.
 */
int yy_expr_re_compile(const char *pattern, char *buffer, size_t size);

/* Installs the message sink (null: standard error); returns the previous. */
yy_message_fun yy_set_message_func(yy_message_fun fun);
/* Sets the callbacks; a null argument leaves that callback unchanged. */
void yy_set_setid_getid(yy_setid_fun setid, yy_getid_fun getid,
                        yy_minmax_fun minval, yy_minmax_fun maxval);
/* Reads the assignment and value callbacks back (null pointers ignored). */
void yy_get_setid_getid(yy_setid_fun *setid, yy_getid_fun *getid);
/* Sets the binary length of string results of yy_s_express; a negative
 * length is refused (reported) and sets 0. */
void yy_set_binary_length(int length);
void yy_reset_binary_length(void);

/*
 * Rounds *value to digits decimals by mode (the modes of the language's
 * round(): 1 half away from zero, 0 toward zero unless the remainder is
 * all nines, 2 away from zero unless it is tiny, any other toward zero).
 * 0 when rounded; -1 when the value has too few significant digits for
 * that many decimals (or is not finite): *value is kept.
 */
int b_round(double *value, int digits, int mode);

}

#endif
