/*
 * yy_comp.cpp: the compiler of the expression language (lexical analysis
 * into a token block with its string pool), freeing, comparison of two
 * compiled blocks, and the extremes of range constraints.
 */
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

#include "al_float.h"
#include "al_mem.h"
#include "tss.h"
#include "yy_internal.h"

namespace yy {

namespace {

struct Keyword {
    const char *name;
    int32_t code;
};

/* Sorted by name: searched by binary search. */
const Keyword kKeywords[] = {
    {"abs", T_ABS},     {"acos", T_ACOS},   {"and", T_AND},     {"asc", T_ASC},
    {"asin", T_ASIN},   {"atan", T_ATAN},   {"chr", T_CHR},     {"cos", T_COS},
    {"cosh", T_COSH},   {"date", T_DATE},   {"edit", T_EDIT},   {"exp", T_EXP},
    {"false", T_FALSE}, {"fmax", T_FMAX},   {"fmin", T_FMIN},   {"in", T_IN},
    {"int", T_INTF},    {"len", T_LEN},     {"log", T_LOG},     {"log10", T_LOG10},
    {"max", T_MAX},     {"min", T_MIN},     {"not", T_NOT},     {"or", T_OR},
    {"pi", T_PI},       {"pos", T_POS},     {"pow", T_POW},     {"round", T_ROUND},
    {"rpos", T_RPOS},   {"sin", T_SIN},     {"sinh", T_SINH},   {"sqrt", T_SQRT},
    {"str", T_STR},     {"strip", T_STRIP}, {"tan", T_TAN},     {"tanh", T_TANH},
    {"time", T_TIME},   {"true", T_TRUE},   {"utc", T_UTC},     {"val", T_VAL},
};

int32_t keyword(const std::string &name)
{
    size_t lo = 0, hi = sizeof kKeywords / sizeof kKeywords[0];
    while (lo < hi) {
        size_t mid = (lo + hi) / 2;
        int c = std::strcmp(name.c_str(), kKeywords[mid].name);
        if (c == 0)
            return kKeywords[mid].code;
        if (c < 0)
            hi = mid;
        else
            lo = mid + 1;
    }
    return 0;
}

/* One token before the block is laid out: pool offsets instead of
 * pointers. */
struct Tok {
    int32_t code;
    int32_t i = 0;
    double d = 0;
    size_t off = 0; /* string, identifier, regular expression */
};

bool is_digit(uint32_t c)
{
    return c >= '0' && c <= '9';
}

bool ident_start(uint32_t c)
{
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= 192 && c <= 255 && c != 215 && c != 247) ||
           c == '_' || c >= 0x9B000000u;
}

bool ident_char(uint32_t c)
{
    return ident_start(c) || is_digit(c) || c == '.' || c == '$';
}

void append_wc(std::string &out, uint32_t c)
{
    if (c < 256) {
        out += static_cast<char>(c);
    } else {
        out += static_cast<char>(0x9B);
        out += static_cast<char>((c >> 16) & 0xFF);
        out += static_cast<char>((c >> 8) & 0xFF);
        out += static_cast<char>(c & 0xFF);
    }
}

/* Lower-cases an identifier through the character-set layer. */
std::string lower(const std::string &name)
{
    std::vector<char> buf(name.size() * 3 + 8, '\0');
    std::memcpy(buf.data(), name.data(), name.size());
    if (TssStringConvertCase(buf.data(), static_cast<int>(buf.size()), 0) != 0)
        return name;
    return std::string(buf.data());
}

class Lexer {
public:
    explicit Lexer(std::string_view text) : text_(text)
    {
        size_t i = 0;
        while (i < text.size()) {
            unsigned char c = static_cast<unsigned char>(text[i]);
            if (c == 0x9B && i + 3 < text.size() && text[i + 1] != 0 && text[i + 2] != 0 && text[i + 3] != 0) {
                w_.push_back(0x9B000000u | static_cast<uint32_t>(static_cast<unsigned char>(text[i + 1])) << 16 |
                             static_cast<uint32_t>(static_cast<unsigned char>(text[i + 2])) << 8 |
                             static_cast<unsigned char>(text[i + 3]));
                i += 4;
            } else {
                w_.push_back(c);
                ++i;
            }
        }
        max_tokens_ = text.size() + 2;
        max_pool_ = 8 * text.size();
    }

    void run();
    std::vector<Tok> tokens;
    std::string pool;

private:
    uint32_t at(size_t k) const { return k < w_.size() ? w_[k] : 0; }
    bool add(Tok t);
    bool save(const std::string &s, size_t &off);
    void number();

    std::string_view text_;
    std::vector<uint32_t> w_;
    size_t p_ = 0;
    size_t max_tokens_;
    size_t max_pool_;
    bool stop_ = false;
};

bool Lexer::add(Tok t)
{
    /* The terminating token needs a place too. */
    if (tokens.size() + 2 > max_tokens_) {
        message("Overflow of expression compilation token buffer");
        expr_err = -1;
        stop_ = true;
        return false;
    }
    tokens.push_back(t);
    return true;
}

bool Lexer::save(const std::string &s, size_t &off)
{
    if (pool.size() + s.size() + 1 > max_pool_) {
        message("Overflow of expression compilation save buffer");
        expr_err = -1;
        stop_ = true;
        return false;
    }
    off = pool.size();
    pool += s;
    pool += '\0';
    return true;
}

void Lexer::number()
{
    size_t start = p_;
    bool real = false;
    while (is_digit(at(p_)))
        ++p_;
    if (at(p_) == '.' && is_digit(at(p_ + 1))) {
        real = true;
        p_ += 1;
        while (is_digit(at(p_)))
            ++p_;
        uint32_t e = at(p_);
        if (e == 'e' || e == 'E') {
            size_t q = p_ + 1;
            if (at(q) == '+' || at(q) == '-')
                ++q;
            if (is_digit(at(q))) {
                p_ = q;
                while (is_digit(at(p_)))
                    ++p_;
            }
        }
    }
    std::string digits;
    for (size_t k = start; k < p_; ++k)
        digits += static_cast<char>(w_[k]);
    Tok t{T_INT};
    if (!real) {
        long long v = 0;
        for (char c : digits) {
            v = v * 10 + (c - '0');
            if (v > 2147483647LL) {
                real = true;
                break;
            }
        }
        if (!real) {
            t.i = static_cast<int32_t>(v);
            add(t);
            return;
        }
    }
    t.code = T_REAL;
    t.d = trel_atof(digits.c_str());
    add(t);
}

void Lexer::run()
{
    while (!stop_ && p_ < w_.size()) {
        uint32_t c = w_[p_];
        if (c == ' ' || c == '\t') {
            ++p_;
            continue;
        }
        if (is_digit(c) || (c == '.' && is_digit(at(p_ + 1)))) {
            number();
            continue;
        }
        if (ident_start(c)) {
            std::string name;
            while (ident_char(at(p_)))
                append_wc(name, w_[p_++]);
            name = lower(name);
            int32_t code = keyword(name);
            Tok t{code != 0 ? code : T_IDENT};
            if (code == 0 && !save(name, t.off))
                break;
            add(t);
            continue;
        }
        if (c == '"') {
            std::string s;
            size_t q = p_ + 1;
            bool closed = false;
            while (q < w_.size()) {
                if (w_[q] == '"') {
                    if (at(q + 1) == '"') {
                        s += '"';
                        q += 2;
                        continue;
                    }
                    closed = true;
                    ++q;
                    break;
                }
                append_wc(s, w_[q++]);
            }
            if (!closed) /* the token list ends here */
                break;
            p_ = q;
            Tok t{T_STRING};
            int32_t prev = tokens.empty() ? 0 : tokens.back().code;
            if (prev == T_IN || prev == T_REGEX) {
                std::string program;
                if (regex_compile(s, program) > 0) {
                    if (pool.size() + program.size() > max_pool_) {
                        message("Overflow of expression compilation save buffer");
                        expr_err = -1;
                        break;
                    }
                    t.code = T_REGEX;
                    t.off = pool.size();
                    pool += program;
                    add(t);
                    continue;
                }
            }
            if (!save(s, t.off))
                break;
            add(t);
            continue;
        }
        ++p_;
        uint32_t n = at(p_);
        Tok t{0};
        switch (c) {
        case '$':
            if (n == '$') {
                ++p_;
                t.code = T_VALUE;
            } else {
                t.code = '$';
            }
            break;
        case ':':
            if (n == '=') {
                ++p_;
                t.code = T_ASSIGN;
            } else {
                t.code = T_COLON;
            }
            break;
        case '=':
            if (n == '<' || n == '>') {
                ++p_;
                t.code = n == '<' ? T_LE : T_GE;
            } else {
                t.code = T_EQ;
            }
            break;
        case '<':
            if (n == '>' || n == '=') {
                ++p_;
                t.code = n == '>' ? T_NE : T_LE;
            } else {
                t.code = T_LT;
            }
            break;
        case '>':
            if (n == '<' || n == '=') {
                ++p_;
                t.code = n == '<' ? T_NE : T_GE;
            } else {
                t.code = T_GT;
            }
            break;
        case ',': t.code = T_COMMA; break;
        case '(': t.code = T_LPAREN; break;
        case ')': t.code = T_RPAREN; break;
        case '[': t.code = T_LBRACK; break;
        case ']': t.code = T_RBRACK; break;
        case ';': t.code = T_SEMI; break;
        case '?': t.code = T_QUEST; break;
        case '+': t.code = T_PLUS; break;
        case '-': t.code = T_MINUS; break;
        case '&': t.code = T_AMP; break;
        case '*': t.code = T_MUL; break;
        case '/': t.code = T_DIV; break;
        case '\\': t.code = T_MOD; break;
        case '^': t.code = T_POWOP; break;
        default:
            /* Any other character stands for itself (the grammar rejects
             * it). Only one-byte characters get here. */
            t.code = static_cast<int32_t>(c & 0xFF);
        }
        add(t);
    }
}

} // namespace

} // namespace yy

using namespace yy;

char *yy_expr_compile(const char *text, void *(*alloc)(size_t))
{
    expr_err = 0;
    if (text == nullptr)
        return YY_FALSE_EXPR;
    std::string_view sv(text);
    if (debug_on())
        std::fprintf(stderr, "YY: before compile: expr_len = %d expr = '%s'\n", static_cast<int>(sv.size()), text);
    try {
        Lexer lex(sv);
        lex.run();
        if (debug_on())
            std::fprintf(stderr, "YY: after  compile: nr of tokens %d\n", static_cast<int>(lex.tokens.size()));
        const std::vector<Tok> &toks = lex.tokens;
        if (toks.empty())
            return YY_FALSE_EXPR;
        if (toks.size() == 1 && toks[0].code == T_INT && (toks[0].i == 0 || toks[0].i == 1))
            return toks[0].i == 0 ? YY_FALSE_EXPR : YY_TRUE_EXPR;
        size_t token_bytes = (toks.size() + 1) * kTokenSize;
        size_t size = token_bytes + lex.pool.size() + 2;
        char *block = static_cast<char *>(alloc != nullptr ? alloc(size) : mal_allocater(size));
        if (block == nullptr || block == YY_FALSE_EXPR || block == YY_TRUE_EXPR) {
            expr_err = -1;
            return nullptr;
        }
        char *pool = block + token_bytes + 1;
        block[token_bytes] = '\0';
        std::memcpy(pool, lex.pool.data(), lex.pool.size());
        pool[lex.pool.size()] = '\0';
        char *t = block;
        for (const Tok &tk : toks) {
            switch (tk.code) {
            case T_INT:
                tok_set(t, tk.code, &tk.i, 4);
                break;
            case T_REAL:
                tok_set(t, tk.code, &tk.d, 8);
                break;
            case T_STRING:
            case T_IDENT:
            case T_REGEX: {
                const char *p = pool + tk.off;
                tok_set(t, tk.code, &p, sizeof p);
                break;
            }
            default:
                tok_set(t, tk.code, nullptr, 0);
            }
            t += kTokenSize;
        }
        tok_set(t, T_END, nullptr, 0);
        return block;
    } catch (const std::bad_alloc &) {
        expr_err = -1;
        return nullptr;
    }
}

void yy_free_express(char *expr)
{
    if (reinterpret_cast<uintptr_t>(expr) > 2)
        mal_free(expr);
    yy_reset_binary_length();
}

int yy_expr_compare(const char *a, const char *b)
{
    if (a == b)
        return 0;
    if (reinterpret_cast<uintptr_t>(a) <= 2 || reinterpret_cast<uintptr_t>(b) <= 2)
        return 1;
    for (;; a += kTokenSize, b += kTokenSize) {
        int32_t ca = tok_code(a), cb = tok_code(b);
        if (ca != cb)
            return 1;
        switch (ca) {
        case T_END:
            return 0;
        case T_INT:
            if (tok_int(a) != tok_int(b))
                return 1;
            break;
        case T_REAL: {
            double x = tok_real(a), y = tok_real(b);
            if (std::isnan(x) || std::isnan(y) || x != y)
                return 1;
            break;
        }
        case T_STRING:
        case T_IDENT:
            if (std::strcmp(tok_ptr(a), tok_ptr(b)) != 0)
                return 1;
            break;
        case T_REGEX: {
            size_t na = regex_program_size(tok_ptr(a)), nb = regex_program_size(tok_ptr(b));
            if (na != nb || std::memcmp(tok_ptr(a), tok_ptr(b), na) != 0)
                return 1;
            break;
        }
        default:
            break;
        }
    }
}

namespace {

/*
 * The pairs of a range constraint `$$ in [x, y] [x, y] ...`, each bound an
 * integer literal (or, with reals allowed, an integer or real literal),
 * optionally with a leading "-" or "+". False for any other form.
 */
bool range_pairs(const char *expr, bool reals, std::vector<std::pair<double, double>> &pairs)
{
    if (reinterpret_cast<uintptr_t>(expr) <= 2)
        return false;
    const char *t = expr;
    auto code = [&t]() { return tok_code(t); };
    auto next = [&t]() { t += kTokenSize; };
    if (code() != T_VALUE)
        return false;
    next();
    if (code() != T_IN)
        return false;
    next();
    auto bound = [&](double &v) {
        double sign = 1;
        if (code() == T_MINUS || code() == T_PLUS) {
            sign = code() == T_MINUS ? -1 : 1;
            next();
        }
        if (code() == T_INT)
            v = sign * tok_int(t);
        else if (reals && code() == T_REAL)
            v = sign * tok_real(t);
        else
            return false;
        next();
        return true;
    };
    while (code() == T_LBRACK) {
        next();
        double a, b;
        if (!bound(a) || code() != T_COMMA)
            return false;
        next();
        if (!bound(b) || code() != T_RBRACK)
            return false;
        next();
        pairs.emplace_back(a, b);
    }
    return !pairs.empty() && code() == T_END;
}

/* The hull of the pairs clipped to [lo, hi]; false when none overlaps. */
bool hull(const std::vector<std::pair<double, double>> &pairs, double lo, double hi, double &min, double &max)
{
    bool any = false;
    for (auto [a, b] : pairs) {
        double s = std::max(a, lo), e = std::min(b, hi);
        if (s > e)
            continue;
        if (!any || s < min)
            min = s;
        if (!any || e > max)
            max = e;
        any = true;
    }
    return any;
}

} // namespace

int32_t yy_get_l_extreme(const char *expr, int want_min, int32_t lo, int32_t hi, int digits)
{
    double min = lo, max = hi;
    std::vector<std::pair<double, double>> pairs;
    if (range_pairs(expr, false, pairs) && !hull(pairs, lo, hi, min, max)) {
        min = lo;
        max = hi;
    }
    if (digits >= 1 && digits <= 9) {
        double limit = std::pow(10.0, digits) - 1;
        min = std::max(min, -limit);
        max = std::min(max, limit);
    }
    return static_cast<int32_t>(want_min != 0 ? min : max);
}

double yy_get_d_extreme(const char *expr, int want_min, double lo, double hi, int int_digits, int frac_digits)
{
    double min = lo, max = hi;
    std::vector<std::pair<double, double>> pairs;
    if (range_pairs(expr, true, pairs) && !hull(pairs, lo, hi, min, max)) {
        min = lo;
        max = hi;
    }
    if (int_digits != 0 || frac_digits != 0) {
        double limit = (std::pow(10.0, int_digits) - 1) + (1 - std::pow(10.0, -frac_digits));
        min = std::max(min, -limit);
        max = std::min(max, limit);
    }
    return want_min != 0 ? min : max;
}

void *yy_compile_range(const char *text, int *error)
{
    char *handle = yy_expr_compile(text, nullptr);
    int failure = expr_err;
    if (handle != nullptr && failure == 0) {
        if (error != nullptr)
            *error = 0;
        return handle;
    }
    /* A block that compiled with an error (a regular expression that did
     * not compile stays a plain string) would test something else than
     * the domain says: no range rather than a wrong one. */
    yy_free_express(handle);
    if (error != nullptr)
        *error = failure != 0 ? failure : -1;
    return nullptr;
}
