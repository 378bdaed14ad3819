/*
 * yy_exec.cpp: the evaluators of compiled expressions (yy_b_express,
 * yy_l_express, yy_d_express, yy_s_express): a recursive-descent reading of
 * the token block that computes as it parses, with the operator rules, the
 * function table, the callbacks and the scratch buffer of one evaluation.
 */
#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <memory>
#include <string>
#include <vector>

#include "al_date.h"
#include "al_float.h"
#include "yy_internal.h"

namespace yy {

namespace {

/* Nesting of parentheses, prefix operators, `not` and `? :` beyond this
 * depth is treated as a syntax error, so that no text can exhaust the
 * stack. */
constexpr int kMaxNesting = 200;

struct Syntax {};

struct Value {
    int type = YY_INTEGER;
    const char *s = nullptr;
    int32_t l = 0;
    double d = 0;
};

Value I(int32_t v)
{
    Value r;
    r.l = v;
    return r;
}
Value R(double v)
{
    Value r;
    r.type = YY_REAL;
    r.d = v;
    return r;
}

bool is_num(const Value &v)
{
    return v.type == YY_INTEGER || v.type == YY_REAL;
}
double num(const Value &v)
{
    return v.type == YY_INTEGER ? static_cast<double>(v.l) : v.d;
}

int32_t wrap(int64_t v)
{
    return static_cast<int32_t>(static_cast<uint32_t>(static_cast<uint64_t>(v)));
}

/* Truncation toward zero, saturated to the 32-bit range (NaN gives 0). */
int32_t trunc32(double d)
{
    if (std::isnan(d))
        return 0;
    if (d >= 2147483647.0)
        return INT32_MAX;
    if (d <= -2147483648.0)
        return INT32_MIN;
    return static_cast<int32_t>(d);
}

/* Decimal strtol, saturated to the 32-bit range. */
int32_t str_to_l(const char *s)
{
    long v = std::strtol(s, nullptr, 10);
    if (v > INT32_MAX)
        return INT32_MAX;
    if (v < INT32_MIN)
        return INT32_MIN;
    return static_cast<int32_t>(v);
}

/* Tolerant comparison of two doubles: -1, 0 or 1. */
int compare_real(double a, double b)
{
    if (std::fabs(a - b) < 0.9999 * 9e-7)
        return 0;
    return a < b ? -1 : 1;
}

class Eval {
public:
    Eval(const char *block, int kind, long a, long b)
        : t_(block), kind_(kind), a_(a), b_(b)
    {
    }

    Value run()
    {
        try {
            Value v = statement();
            while (code() == T_COMMA) {
                next();
                v = statement();
            }
            if (code() != T_END)
                throw Syntax{};
            return v;
        } catch (const Syntax &) {
            message("Syntax error in expression: value 0 assumed");
            expr_err = -1;
            return I(0);
        } catch (const std::bad_alloc &) {
            expr_err = -1;
            return I(0);
        }
    }

private:
    int32_t code() const { return tok_code(t_); }
    int32_t peek_code(int k) const { return tok_code(t_ + k * kTokenSize); }
    void next() { t_ += kTokenSize; }
    void expect(int32_t c)
    {
        if (code() != c)
            throw Syntax{};
        next();
    }

    struct Nest {
        Eval &e;
        explicit Nest(Eval &x) : e(x)
        {
            if (++e.depth_ > kMaxNesting) {
                --e.depth_;
                throw Syntax{};
            }
        }
        ~Nest() { --e.depth_; }
    };

    /* Evaluates f with skipping switched on when skip is true. */
    template <class F> Value with_skip(bool skip, F f)
    {
        if (skip)
            ++skip_;
        struct Restore {
            int &s;
            bool on;
            ~Restore()
            {
                if (on)
                    --s;
            }
        } restore{skip_, skip};
        return f();
    }

    Value type_error(const char *op)
    {
        if (skip_ == 0) {
            messagef("Incompatible types in expression with operator '%s'", op);
            expr_err = -1;
        }
        return I(0);
    }

    /* A string of the scratch buffer; integer 0 when it is full. */
    Value make_string(std::string_view s)
    {
        Value v;
        if (used_ + s.size() + 1 > YY_SCRATCH_SIZE) {
            if (skip_ == 0) {
                message("Overflow of expression evaluation buffer: value 0 assumed");
                expr_err = -1;
            }
            return I(0);
        }
        if (!scratch_) /* set up on first use */
            scratch_ = std::make_unique_for_overwrite<char[]>(YY_SCRATCH_SIZE);
        char *p = scratch_.get() + used_;
        std::memcpy(p, s.data(), s.size());
        p[s.size()] = '\0';
        used_ += s.size() + 1;
        v.type = YY_STRING;
        v.s = p;
        return v;
    }

    Value from_callback(const YY_VALUE &r)
    {
        switch (r.type) {
        case YY_INTEGER:
            return I(r.l);
        case YY_REAL:
            return R(r.d);
        case YY_STRING:
            return make_string(r.s != nullptr ? r.s : "");
        default:
            return I(0);
        }
    }

    static YY_VALUE to_callback(const Value &v)
    {
        YY_VALUE r{};
        r.type = v.type;
        r.s = const_cast<char *>(v.s);
        r.l = v.l;
        r.d = v.d;
        return r;
    }

    /* ---- grammar ------------------------------------------------------------------ */

    Value statement()
    {
        if (code() == T_IDENT) {
            /* An assignment: identifier, optional argument list, ":=". */
            const char *p = t_ + kTokenSize;
            if (tok_code(p) == T_LPAREN) {
                int level = 0;
                for (; tok_code(p) != T_END; p += kTokenSize) {
                    if (tok_code(p) == T_LPAREN)
                        ++level;
                    else if (tok_code(p) == T_RPAREN && --level == 0)
                        break;
                }
                if (tok_code(p) == T_RPAREN)
                    p += kTokenSize;
            }
            if (tok_code(p) == T_ASSIGN)
                return assignment();
        }
        return ternary();
    }

    Value assignment()
    {
        const char *name = tok_ptr(t_);
        next();
        std::vector<Value> args;
        bool has_args = false, semicolon = false;
        if (code() == T_LPAREN) {
            has_args = true;
            arguments(args, semicolon);
        }
        expect(T_ASSIGN);
        Value v = ternary();
        yy_setid_fun setid = callbacks().setid;
        if (skip_ != 0 || setid == nullptr)
            return v;
        std::vector<YY_VALUE> cargs;
        for (const Value &a : args)
            cargs.push_back(to_callback(a));
        YY_ARGS list{static_cast<int>(cargs.size()), semicolon ? 1 : 0, cargs.data()};
        YY_VALUE cv = to_callback(v);
        if (setid(name, has_args ? &list : nullptr, &cv) != 0) {
            expr_err = -1;
            return I(0);
        }
        return v;
    }

    /* "(" expression {"," expression} [";" expression] ")" */
    void arguments(std::vector<Value> &args, bool &semicolon)
    {
        expect(T_LPAREN);
        args.push_back(ternary());
        while (code() == T_COMMA) {
            next();
            args.push_back(ternary());
        }
        if (code() == T_SEMI) {
            next();
            semicolon = true;
            args.push_back(ternary());
        }
        expect(T_RPAREN);
    }

    Value ternary()
    {
        Nest nest(*this);
        Value c = or_expr();
        if (code() != T_QUEST)
            return c;
        next();
        bool bad = false;
        if (skip_ == 0 && c.type != YY_INTEGER) {
            type_error(" ? : ");
            bad = true;
        }
        bool take_x = !bad && c.l != 0;
        Value x = with_skip(bad || !take_x, [this] { return ternary(); });
        expect(T_COLON);
        Value y = with_skip(bad || take_x, [this] { return ternary(); });
        if (skip_ != 0 || bad)
            return I(0);
        return take_x ? x : y;
    }

    Value or_expr()
    {
        Value v = and_expr();
        while (code() == T_OR) {
            next();
            Value w = and_expr();
            v = logic(v, w, "or");
        }
        return v;
    }

    Value and_expr()
    {
        Value v = not_expr();
        while (code() == T_AND) {
            next();
            Value w = not_expr();
            v = logic(v, w, "and");
        }
        return v;
    }

    Value logic(const Value &v, const Value &w, const char *op)
    {
        if (skip_ != 0)
            return I(0);
        if (v.type != YY_INTEGER || w.type != YY_INTEGER)
            return type_error(op);
        bool r = op[0] == 'o' ? (v.l != 0 || w.l != 0) : (v.l != 0 && w.l != 0);
        return I(r ? 1 : 0);
    }

    Value not_expr()
    {
        if (code() != T_NOT)
            return comparison();
        Nest nest(*this);
        next();
        Value v = not_expr();
        if (skip_ != 0)
            return I(0);
        if (v.type != YY_INTEGER)
            return type_error("not");
        return I(v.l == 0 ? 1 : 0);
    }

    Value comparison()
    {
        Value v = additive();
        int32_t op = code();
        if (op < T_EQ || op > T_GT)
            return v;
        next();
        Value w = additive();
        if (skip_ != 0)
            return I(0);
        static const char *const names[] = {"==", "!=", "<=", ">=", "<", ">"};
        const char *name = names[op - T_EQ];
        int c;
        if (v.type == YY_STRING && w.type == YY_STRING) {
            c = std::strcmp(v.s, w.s);
            c = c < 0 ? -1 : c > 0 ? 1 : 0;
        } else if (v.type == YY_STRING || w.type == YY_STRING) {
            return type_error(name);
        } else if (v.type == YY_INTEGER && w.type == YY_INTEGER) {
            c = v.l < w.l ? -1 : v.l > w.l ? 1 : 0;
        } else {
            c = compare_real(num(v), num(w));
        }
        bool r = false;
        switch (op) {
        case T_EQ: r = c == 0; break;
        case T_NE: r = c != 0; break;
        case T_LE: r = c <= 0; break;
        case T_GE: r = c >= 0; break;
        case T_LT: r = c < 0; break;
        case T_GT: r = c > 0; break;
        }
        return I(r ? 1 : 0);
    }

    Value additive()
    {
        Value v = concat();
        while (code() == T_PLUS || code() == T_MINUS) {
            int32_t op = code();
            next();
            Value w = concat();
            v = arith(op, v, w);
        }
        return v;
    }

    Value concat()
    {
        Value v = multiplicative();
        while (code() == T_AMP) {
            next();
            Value w = multiplicative();
            if (skip_ != 0) {
                v = I(0);
            } else if (v.type != YY_STRING || w.type != YY_STRING) {
                v = type_error("&");
            } else {
                std::string s(v.s);
                s += w.s;
                v = make_string(s);
            }
        }
        return v;
    }

    Value multiplicative()
    {
        Value v = power();
        while (code() == T_MUL || code() == T_DIV || code() == T_MOD) {
            int32_t op = code();
            next();
            Value w = power();
            v = arith(op, v, w);
        }
        return v;
    }

    Value power()
    {
        Value v = unary();
        while (code() == T_POWOP) {
            next();
            Value w = unary();
            v = arith(T_POWOP, v, w);
        }
        return v;
    }

    Value arith(int32_t op, const Value &v, const Value &w)
    {
        if (skip_ != 0)
            return I(0);
        static const char *const names[] = {"+", "-", "&", "*", "/", "\\", "^"};
        if (!is_num(v) || !is_num(w))
            return type_error(names[op - T_PLUS]);
        bool ints = v.type == YY_INTEGER && w.type == YY_INTEGER;
        double a = num(v), b = num(w);
        switch (op) {
        case T_PLUS:
            return ints && !Convert2Double ? I(wrap(int64_t{v.l} + w.l)) : R(a + b);
        case T_MINUS:
            return ints && !Convert2Double ? I(wrap(int64_t{v.l} - w.l)) : R(a - b);
        case T_MUL:
            return ints && !Convert2Double ? I(wrap(int64_t{v.l} * w.l)) : R(a * b);
        case T_DIV:
            return R(b == 0 ? 0.0 : a / b);
        case T_MOD:
            /* A zero divisor gives 0 (integer or real). */
            if (ints) {
                if (w.l == 0 || (w.l == -1))
                    return I(0);
                return I(v.l % w.l);
            }
            return R(b == 0 ? 0.0 : std::fmod(a, b));
        default:
            return R(std::pow(a, b));
        }
    }

    Value unary()
    {
        if (code() != T_MINUS && code() != T_PLUS)
            return in_expr();
        Nest nest(*this);
        int32_t op = code();
        next();
        Value v = unary();
        if (skip_ != 0)
            return I(0);
        if (v.type == YY_STRING)
            return type_error(op == T_MINUS ? "-" : "+");
        if (op == T_PLUS)
            return v;
        return v.type == YY_INTEGER ? I(wrap(-int64_t{v.l})) : R(-v.d);
    }

    Value in_expr()
    {
        Value x = primary();
        while (code() == T_IN) {
            next();
            if (code() == T_REGEX || code() == T_STRING)
                x = in_regex(x);
            else if (code() == T_LBRACK)
                x = in_ranges(x);
            else
                throw Syntax{};
        }
        return x;
    }

    /*
     * A string that failed to compile as a regular expression stays a plain
     * string in the list; it never matches.
     */
    Value in_regex(const Value &x)
    {
        std::vector<const char *> programs;
        while (code() == T_REGEX || code() == T_STRING) {
            programs.push_back(code() == T_REGEX ? tok_ptr(t_) : nullptr);
            next();
        }
        if (skip_ != 0)
            return I(0);
        if (x.type != YY_STRING) {
            message("Only strings expexted as regular expression");
            expr_err = -1;
            return I(0);
        }
        for (const char *prog : programs) {
            if (prog != nullptr && yy_expr_step(x.s, prog)) {
                uint32_t length = static_cast<uint32_t>(loc2 - loc1);
                uint32_t position = static_cast<uint32_t>(loc1 - x.s) + 1;
                return I(static_cast<int32_t>(length * 65536u + position));
            }
        }
        return I(0);
    }

    Value in_ranges(const Value &x)
    {
        bool bad = x.type == YY_STRING, hit = false;
        while (code() == T_LBRACK) {
            next();
            Value a = ternary();
            expect(T_COMMA);
            Value b = ternary();
            expect(T_RBRACK);
            if (a.type == YY_STRING || b.type == YY_STRING)
                bad = true;
            if (!bad && compare_real(num(a), num(x)) <= 0 && compare_real(num(x), num(b)) <= 0)
                hit = true;
        }
        if (skip_ != 0)
            return I(0);
        if (bad) {
            message("Only numerics expected in ranges");
            expr_err = -1;
            return I(0);
        }
        return I(hit ? 1 : 0);
    }

    /* The value of `$$`. */
    Value candidate()
    {
        if (skip_ != 0)
            return I(0);
        switch (kind_) {
        case YY_VALUE_LONG:
            return I(static_cast<int32_t>(a_));
        case YY_VALUE_DOUBLE: {
            uint64_t bits = static_cast<uint64_t>(static_cast<uint32_t>(b_)) << 32 | static_cast<uint32_t>(a_);
            double d;
            std::memcpy(&d, &bits, sizeof d);
            return R(d);
        }
        case YY_VALUE_STRING: {
            Value v;
            v.type = YY_STRING;
            v.s = a_ != 0 ? reinterpret_cast<const char *>(a_) : "";
            return v;
        }
        default:
            message("Illegal use of '$$' in expression: value 0 assumed");
            expr_err = -1;
            return I(0);
        }
    }

    /* An optional "()" behind date, utc and time; true when there was an
     * argument list to read instead. */
    bool optional_empty_parens()
    {
        if (code() != T_LPAREN)
            return false;
        if (peek_code(1) == T_RPAREN) {
            next();
            next();
            return false;
        }
        return true;
    }

    Value primary()
    {
        int32_t c = code();
        switch (c) {
        case T_INT: {
            Value v = I(tok_int(t_));
            next();
            return v;
        }
        case T_REAL: {
            Value v = R(tok_real(t_));
            next();
            return v;
        }
        case T_STRING: {
            Value v;
            v.type = YY_STRING;
            v.s = tok_ptr(t_);
            next();
            return v;
        }
        case T_VALUE:
            next();
            return candidate();
        case T_TRUE:
        case T_FALSE:
            next();
            return I(c == T_TRUE ? 1 : 0);
        case T_PI:
            next();
            return R(3.141592653589793);
        case T_LPAREN: {
            next();
            Value v = ternary();
            expect(T_RPAREN);
            return v;
        }
        case T_TIME: {
            next();
            if (optional_empty_parens())
                throw Syntax{};
            if (skip_ != 0)
                return I(0);
            struct tm *tm = al_getdate();
            return I(tm->tm_hour * 100 + tm->tm_min);
        }
        case T_DATE:
        case T_UTC:
            next();
            return date_or_utc(c);
        case T_FMIN:
        case T_FMAX: {
            next();
            expect(T_LPAREN);
            if (code() != T_IDENT)
                throw Syntax{};
            const char *name = tok_ptr(t_);
            next();
            expect(T_RPAREN);
            yy_minmax_fun fn = c == T_FMIN ? callbacks().minval : callbacks().maxval;
            if (skip_ != 0 || fn == nullptr)
                return I(0);
            YY_VALUE r{};
            if (fn(name, &r) != 0) {
                expr_err = -1;
                return I(0);
            }
            return from_callback(r);
        }
        case T_IDENT:
            return identifier();
        default:
            if (c >= T_VAL && c <= T_SQRT && c != T_AND && c != T_IN && c != T_NOT && c != T_OR)
                return function(c);
            throw Syntax{};
        }
    }

    Value identifier()
    {
        const char *name = tok_ptr(t_);
        next();
        std::vector<Value> args;
        bool has_args = false, semicolon = false;
        if (code() == T_LPAREN) {
            has_args = true;
            arguments(args, semicolon);
        }
        yy_getid_fun getid = callbacks().getid;
        if (skip_ != 0 || getid == nullptr)
            return I(0);
        std::vector<YY_VALUE> cargs;
        for (const Value &a : args)
            cargs.push_back(to_callback(a));
        YY_ARGS list{static_cast<int>(cargs.size()), semicolon ? 1 : 0, cargs.data()};
        YY_VALUE r{};
        if (getid(name, has_args ? &list : nullptr, &r) != 0) {
            expr_err = -1;
            return I(0);
        }
        return from_callback(r);
    }

    Value date_or_utc(int32_t c)
    {
        bool utc = c == T_UTC;
        if (!optional_empty_parens()) {
            if (skip_ != 0)
                return I(0);
            return I(utc ? wrap(static_cast<int64_t>(std::time(nullptr))) : date_num());
        }
        std::vector<Value> args;
        bool semicolon = false;
        arguments(args, semicolon);
        if (semicolon || args.size() != (utc ? 6u : 3u))
            throw Syntax{};
        if (skip_ != 0)
            return I(0);
        for (const Value &a : args)
            if (a.type != YY_INTEGER)
                return type_error(utc ? "utc()" : "date()");
        /* Years whose day numbers or times cannot be represented give -1
         * without asking the date layer (whose arithmetic would overflow). */
        if (!utc)
            return I(std::abs(int64_t{args[0].l}) > 5000000 ? -1 : date_to_num(args[0].l, args[1].l, args[2].l));
        if (args[0].l < -10000 || args[0].l > 20000)
            return I(-1);
        for (size_t i = 1; i < 6; ++i)
            if (args[i].l < -100000000 || args[i].l > 100000000)
                return I(-1);
        struct tm tm {};
        tm.tm_year = args[0].l - 1900;
        tm.tm_mon = args[1].l - 1;
        tm.tm_mday = args[2].l;
        tm.tm_hour = args[3].l;
        tm.tm_min = args[4].l;
        tm.tm_sec = args[5].l;
        tm.tm_isdst = -1;
        return I(wrap(static_cast<int64_t>(trel_mktime(&tm))));
    }

    /* Number of arguments of a function keyword. */
    static size_t arity(int32_t c)
    {
        switch (c) {
        case T_EDIT:
        case T_POS:
        case T_RPOS:
        case T_MIN:
        case T_MAX:
        case T_POW:
            return 2;
        case T_ROUND:
            return 3;
        default:
            return 1;
        }
    }

    static const char *fname(int32_t c)
    {
        switch (c) {
        case T_VAL: return "val()";
        case T_ABS: return "abs()";
        case T_ACOS: return "acos()";
        case T_ASC: return "asc()";
        case T_ASIN: return "asin()";
        case T_ATAN: return "atan()";
        case T_CHR: return "chr()";
        case T_COS: return "cos()";
        case T_COSH: return "cosh()";
        case T_EDIT: return "edit()";
        case T_EXP: return "exp()";
        case T_INTF: return "int()";
        case T_LEN: return "len()";
        case T_LOG: return "log()";
        case T_LOG10: return "log10()";
        case T_MAX: return "max()";
        case T_MIN: return "min()";
        case T_POS: return "pos()";
        case T_POW: return "pow";
        case T_ROUND: return "round()";
        case T_RPOS: return "rpos()";
        case T_STR: return "str()";
        case T_STRIP: return "strip()";
        case T_TAN: return "tan()";
        case T_TANH: return "tanh()";
        case T_SIN: return "sin()";
        case T_SINH: return "sinh()";
        case T_SQRT: return "sqrt()";
        default: return "?";
        }
    }

    Value function(int32_t c)
    {
        next();
        std::vector<Value> args;
        bool semicolon = false;
        arguments(args, semicolon);
        if (semicolon || args.size() != arity(c))
            throw Syntax{};
        if (skip_ != 0)
            return I(0);
        const Value &x = args[0];
        const char *name = fname(c);
        switch (c) {
        case T_SIN: case T_COS: case T_TAN: case T_SINH: case T_COSH: case T_TANH:
        case T_ASIN: case T_ACOS: case T_ATAN: case T_EXP: case T_LOG: case T_LOG10:
        case T_SQRT: {
            if (!is_num(x))
                return type_error(name);
            double d = num(x);
            switch (c) {
            case T_SIN: return R(std::sin(d));
            case T_COS: return R(std::cos(d));
            case T_TAN: return R(std::tan(d));
            case T_SINH: return R(std::sinh(d));
            case T_COSH: return R(std::cosh(d));
            case T_TANH: return R(std::tanh(d));
            case T_ASIN: return R(std::asin(d));
            case T_ACOS: return R(std::acos(d));
            case T_ATAN: return R(std::atan(d));
            case T_EXP: return R(std::exp(d));
            case T_LOG: return R(std::log(d));
            case T_LOG10: return R(std::log10(d));
            default: return R(std::sqrt(d));
            }
        }
        case T_ABS:
            if (!is_num(x))
                return type_error(name);
            return x.type == YY_INTEGER ? I(x.l < 0 ? wrap(-int64_t{x.l}) : x.l) : R(std::fabs(x.d));
        case T_INTF:
            if (x.type == YY_INTEGER)
                return x;
            if (x.type == YY_STRING)
                return I(str_to_l(x.s));
            return I(trunc32(x.d >= 0 ? x.d + 1e-7 : x.d - 1e-7));
        case T_VAL:
            return R(x.type == YY_STRING ? trel_atof(x.s) : num(x));
        case T_STR:
            return make_string(text_of(x, 6));
        case T_LEN:
            if (x.type != YY_STRING)
                return type_error(name);
            return I(wrap(static_cast<int64_t>(std::strlen(x.s))));
        case T_STRIP: {
            if (x.type != YY_STRING)
                return type_error(name);
            std::string_view s(x.s);
            while (!s.empty() && s.back() == ' ')
                s.remove_suffix(1);
            return make_string(s);
        }
        case T_ASC: {
            if (x.type != YY_STRING)
                return type_error(name);
            uint32_t sum = 0;
            for (const char *p = x.s; *p != '\0'; ++p)
                sum += static_cast<unsigned char>(*p);
            return I(static_cast<int32_t>(sum));
        }
        case T_CHR: {
            if (!is_num(x))
                return type_error(name);
            double t = std::trunc(num(x));
            int byte = std::isfinite(t) ? static_cast<int>(std::fmod(t, 256.0)) : 0;
            char s[2] = {static_cast<char>(byte & 0xFF), '\0'};
            return make_string(s);
        }
        case T_EDIT:
            return edit(x, args[1]);
        case T_POS:
        case T_RPOS: {
            const Value &y = args[1];
            if (x.type != YY_STRING || y.type != YY_STRING)
                return type_error(name);
            std::string_view s(x.s), t(y.s);
            if (t.empty())
                return I(0);
            size_t at = c == T_POS ? s.find(t) : s.rfind(t);
            return I(at == std::string_view::npos ? 0 : wrap(static_cast<int64_t>(at) + 1));
        }
        case T_MIN:
        case T_MAX: {
            const Value &y = args[1];
            bool want_min = c == T_MIN;
            if (x.type == YY_STRING && y.type == YY_STRING) {
                int cmp = std::strcmp(x.s, y.s);
                return (want_min ? cmp <= 0 : cmp >= 0) ? x : y;
            }
            if (!is_num(x) || !is_num(y))
                return type_error(name);
            double a = num(x), b = num(y);
            return (want_min ? a <= b : a >= b) ? x : y;
        }
        case T_POW:
            if (!is_num(x) || !is_num(args[1]))
                return type_error(name);
            return R(std::pow(num(x), num(args[1])));
        case T_ROUND:
            if (!is_num(x) || args[1].type != YY_INTEGER || args[2].type != YY_INTEGER)
                return type_error(name);
            return R(round_value(num(x), args[1].l, args[2].l));
        default:
            throw Syntax{};
        }
    }

    static std::string text_of(const Value &v, int precision)
    {
        if (v.type == YY_STRING)
            return v.s;
        if (v.type == YY_INTEGER)
            return std::to_string(v.l);
        return number_text(v.d, precision);
    }

    Value edit(const Value &v, const Value &format)
    {
        if (format.type != YY_STRING)
            return type_error("edit()");
        std::string value = text_of(v, 16);
        std::string out;
        if (!edit_format(value, v.type != YY_STRING, format.s, out)) {
            messagef("Overflow: format='%s' value='%s'", format.s, value.c_str());
            expr_err = -1;
        }
        return make_string(out);
    }

    const char *t_;
    int kind_;
    long a_;
    long b_;
    std::unique_ptr<char[]> scratch_;
    size_t used_ = 0;
    int skip_ = 0;
    int depth_ = 0;
};

/* Evaluates a handle; constants and handle 0 give integers. */
Value evaluate(const char *expr, int kind, long a, long b, std::unique_ptr<Eval> &keep)
{
    expr_err = 0;
    if (expr == YY_TRUE_EXPR)
        return I(1);
    if (expr == YY_FALSE_EXPR)
        return I(0);
    if (expr == nullptr) {
        expr_err = -1;
        return I(0);
    }
    try {
        keep = std::make_unique<Eval>(expr, kind, a, b);
    } catch (const std::bad_alloc &) {
        expr_err = -1;
        return I(0);
    }
    return keep->run();
}

} // namespace

} // namespace yy

using yy::Value;

int yy_b_express(char *expr, int kind, long a, long b)
{
    std::unique_ptr<yy::Eval> keep;
    Value v = yy::evaluate(expr, kind, a, b, keep);
    switch (v.type) {
    case YY_INTEGER:
        return v.l != 0 ? 1 : 0;
    case YY_REAL:
        return v.d != 0 ? 1 : 0;
    default:
        return yy::str_to_l(v.s) != 0 ? 1 : 0;
    }
}

int32_t yy_l_express(char *expr, int kind, long a, long b)
{
    std::unique_ptr<yy::Eval> keep;
    Value v = yy::evaluate(expr, kind, a, b, keep);
    switch (v.type) {
    case YY_INTEGER:
        return v.l;
    case YY_REAL:
        return yy::trunc32(v.d);
    default:
        return yy::str_to_l(v.s);
    }
}

double yy_d_express(char *expr, int kind, long a, long b)
{
    std::unique_ptr<yy::Eval> keep;
    Convert2Double = 1;
    Value v = yy::evaluate(expr, kind, a, b, keep);
    Convert2Double = 0;
    switch (v.type) {
    case YY_INTEGER:
        return v.l;
    case YY_REAL:
        return v.d;
    default:
        return trel_atof(v.s);
    }
}

int yy_s_express_n(char *expr, char *buffer, size_t size, int kind, long a, long b)
{
    std::unique_ptr<yy::Eval> keep;
    Value v = yy::evaluate(expr, kind, a, b, keep);
    if (buffer == nullptr || size == 0)
        return v.type;
    std::string text;
    int binary = yy::callbacks().binary_length;
    if (v.type == YY_STRING && binary > 0) {
        /* Exactly binary bytes: the string's own bytes up to its
         * terminator, zeros behind, unless the candidate value itself
         * (whose bytes the caller supplied) is the result. */
        size_t n = std::min(static_cast<size_t>(binary), size);
        if (kind == YY_VALUE_STRING && v.s == reinterpret_cast<const char *>(a)) {
            std::memcpy(buffer, v.s, n);
        } else {
            size_t len = std::min(std::strlen(v.s), n);
            std::memcpy(buffer, v.s, len);
            std::memset(buffer + len, 0, n - len);
        }
        return v.type;
    }
    if (v.type == YY_INTEGER)
        text = std::to_string(static_cast<long>(v.l));
    else if (v.type == YY_REAL)
        text = yy::number_text(v.d, 6);
    else
        text = v.s;
    size_t n = std::min(text.size(), size - 1);
    std::memcpy(buffer, text.data(), n);
    buffer[n] = '\0';
    return v.type;
}

int yy_s_express(char *expr, char *buffer, int kind, long a, long b)
{
    return yy_s_express_n(expr, buffer, YY_SCRATCH_SIZE + 1, kind, a, b);
}
