/*
 * yy_regex.cpp: the regular expressions of the `in` operator: compilation
 * of a pattern into a position-independent byte program, and the search
 * (yy_expr_step) that leaves the leftmost match in loc1 and loc2.
 */
#include <cstdio>
#include <string>
#include <vector>

#include "yy_internal.h"

char *loc1 = nullptr;
char *loc2 = nullptr;

namespace yy {

namespace {

/*
 * The program: a 6-byte header (total length, 4 bytes little-endian; flags:
 * 0x1 anchored at the start, 0x2 anchored at the end; number of groups),
 * then the body, a sequence of items ending with OP_END:
 *   OP_CHAR  wc(4)            one character (a wide TSS value)
 *   OP_ANY                    any one character
 *   OP_CLASS neg len(2) items  a class; items: 0 wc(4) | 1 lo(4) hi(4)
 *   OP_BACKREF k              the text of group k
 *   OP_GROUP k len(2) body    group k; body is a sequence ending in OP_END
 *   OP_REPEAT min max len(2) item OP_END   repetition (max 255: unbounded)
 * Lengths count the bytes that follow the length field.
 */
enum Op : unsigned char { OP_END = 0, OP_CHAR, OP_ANY, OP_CLASS, OP_BACKREF, OP_GROUP, OP_REPEAT };
constexpr size_t kHeader = 6;
constexpr int kUnbounded = 255;

void put32(std::string &out, uint32_t v)
{
    for (int i = 0; i < 4; ++i)
        out += static_cast<char>((v >> (8 * i)) & 0xFF);
}
void put16(std::string &out, uint32_t v)
{
    out += static_cast<char>(v & 0xFF);
    out += static_cast<char>((v >> 8) & 0xFF);
}
uint32_t get32(const unsigned char *p)
{
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
           static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}
uint32_t get16(const unsigned char *p)
{
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8;
}

/* Widens TSS bytes: 0x9B and three non-zero bytes are one character; a
 * lone 0x9B is a character of its own. */
void widen(std::string_view s, std::vector<uint32_t> &w, std::vector<size_t> *offsets)
{
    size_t i = 0;
    while (i < s.size()) {
        if (offsets != nullptr)
            offsets->push_back(i);
        unsigned char c = static_cast<unsigned char>(s[i]);
        if (c == 0x9B && i + 3 < s.size() && s[i + 1] != 0 && s[i + 2] != 0 && s[i + 3] != 0) {
            w.push_back(0x9B000000u | static_cast<uint32_t>(static_cast<unsigned char>(s[i + 1])) << 16 |
                        static_cast<uint32_t>(static_cast<unsigned char>(s[i + 2])) << 8 |
                        static_cast<unsigned char>(s[i + 3]));
            i += 4;
        } else {
            w.push_back(c);
            ++i;
        }
    }
    if (offsets != nullptr)
        offsets->push_back(s.size());
}

struct Compiler {
    std::vector<uint32_t> p;
    size_t i = 0;
    int groups = 0;
    bool closed[10] = {};
    int error = 0;

    uint32_t peek(size_t k = 0) const { return i + k < p.size() ? p[i + k] : 0; }
    bool fail(int nr)
    {
        if (error == 0)
            error = nr;
        return false;
    }

    /* Reads a count of a {n,m}: digits, at most 255. */
    bool count(int &value)
    {
        if (peek() < '0' || peek() > '9')
            return fail(16);
        long v = 0;
        while (peek() >= '0' && peek() <= '9') {
            v = v * 10 + static_cast<long>(peek() - '0');
            if (v > 255)
                return fail(11);
            ++i;
        }
        value = static_cast<int>(v);
        return true;
    }

    bool klass(std::string &out)
    {
        /* at the character after '[' */
        bool negate = false;
        if (peek() == '^') {
            negate = true;
            ++i;
        }
        std::string items;
        bool first = true;
        for (;;) {
            uint32_t c = peek();
            if (c == 0 || c == '\n')
                return fail(49);
            if (c == ']' && !first) {
                ++i;
                break;
            }
            first = false;
            ++i;
            if (c == '\\') {
                c = peek();
                if (c == 0 || c == '\n')
                    return fail(49);
                ++i;
            }
            if (peek() == '-' && peek(1) != ']' && peek(1) != 0) {
                ++i;
                uint32_t hi = peek();
                if (hi == '\n')
                    return fail(49);
                ++i;
                if (hi == '\\') {
                    hi = peek();
                    if (hi == 0 || hi == '\n')
                        return fail(49);
                    ++i;
                }
                if (c > hi)
                    return fail(60);
                items += '\1';
                put32(items, c);
                put32(items, hi);
            } else {
                items += '\0';
                put32(items, c);
            }
            if (items.size() > kMaxRegexProgram)
                return fail(50);
        }
        out += static_cast<char>(OP_CLASS);
        out += static_cast<char>(negate ? 1 : 0);
        put16(out, static_cast<uint32_t>(items.size()));
        out += items;
        return true;
    }

    /* A sequence up to ')' (depth > 0) or the end; appends OP_END. */
    bool sequence(std::string &out, int depth)
    {
        size_t last = std::string::npos; /* start of the previous item */
        for (;;) {
            if (out.size() > kMaxRegexProgram)
                return fail(50);
            uint32_t c = peek();
            if (c == 0)
                break;
            if (c == ')') {
                if (depth == 0)
                    return fail(42);
                break;
            }
            size_t start = out.size();
            ++i;
            switch (c) {
            case '\n':
                return fail(36);
            case '.':
                out += static_cast<char>(OP_ANY);
                break;
            case '[':
                if (!klass(out))
                    return false;
                break;
            case '(': {
                if (groups >= 9)
                    return fail(43);
                int k = ++groups;
                std::string body;
                if (!sequence(body, depth + 1))
                    return false;
                if (peek() != ')')
                    return fail(42);
                ++i;
                closed[k] = true;
                if (body.size() > 0xFFFF)
                    return fail(50);
                out += static_cast<char>(OP_GROUP);
                out += static_cast<char>(k);
                put16(out, static_cast<uint32_t>(body.size()));
                out += body;
                break;
            }
            case '*':
            case '{': {
                if (last == std::string::npos) {
                    out += static_cast<char>(OP_CHAR);
                    put32(out, c);
                    break;
                }
                int lo = 0, hi = kUnbounded;
                if (c == '{') {
                    if (!count(lo))
                        return false;
                    hi = lo;
                    if (peek() == ',') {
                        ++i;
                        hi = kUnbounded;
                        if (peek() != '}' && !count(hi))
                            return false;
                        if (peek() == ',')
                            return fail(44);
                    }
                    if (peek() != '}')
                        return fail(16);
                    ++i;
                    if (lo > hi)
                        return fail(46);
                }
                std::string item = out.substr(last);
                if (item.size() + 1 > 0xFFFF)
                    return fail(50);
                out.resize(last);
                out += static_cast<char>(OP_REPEAT);
                out += static_cast<char>(lo);
                out += static_cast<char>(hi);
                put16(out, static_cast<uint32_t>(item.size() + 1));
                out += item;
                out += static_cast<char>(OP_END);
                start = last;
                break;
            }
            case '\\': {
                uint32_t e = peek();
                if (e == 0)
                    return fail(41);
                ++i;
                if (e >= '1' && e <= '9') {
                    if (!closed[e - '0'])
                        return fail(25);
                    out += static_cast<char>(OP_BACKREF);
                    out += static_cast<char>(e - '0');
                } else {
                    out += static_cast<char>(OP_CHAR);
                    put32(out, e == 'n' ? '\n' : e);
                }
                break;
            }
            case '$':
                if (depth == 0 && peek() == 0) {
                    anchored_end = true;
                    continue;
                }
                out += static_cast<char>(OP_CHAR);
                put32(out, c);
                break;
            default:
                out += static_cast<char>(OP_CHAR);
                put32(out, c);
            }
            last = start;
        }
        out += static_cast<char>(OP_END);
        return true;
    }
    bool anchored_end = false;
};

/* ---- matching ---------------------------------------------------------------------- */

/*
 * The search backtracks. Its work is bounded so that no pattern can hang
 * the process: every attempt to match an item, and every character looked
 * at by a repetition of a single character, costs one step out of
 * kMaxSteps per search; a search that runs out of steps gives up and
 * counts as no match. Nested continuations (groups and repetitions of
 * groups or back references) are limited to kMaxDepth: a path that would
 * nest deeper fails, so a repeated group matches at most about a thousand
 * times, and the search goes on with the other paths.
 */
constexpr long kMaxSteps = 1'000'000;
constexpr int kMaxDepth = 3000;

struct Cont;

struct Matcher {
    const unsigned char *prog = nullptr;
    bool anchored_end = false;
    std::vector<uint32_t> w;
    size_t n = 0;
    size_t cap_start[10] = {};
    size_t cap_end[10] = {};
    bool cap_set[10] = {};
    long steps = 0;
    int depth = 0;
    bool gave_up = false;
    size_t match_end = 0;

    bool match(const unsigned char *pc, size_t i, const Cont *k);
    bool run(const Cont *k, size_t i);
    bool single(const unsigned char *pc, uint32_t c) const;
    bool repeat(const unsigned char *rep, int count, size_t i, const Cont *k);
    bool budget()
    {
        if (gave_up || ++steps > kMaxSteps) {
            gave_up = true;
            return false;
        }
        return true;
    }
};

struct Cont {
    enum Kind { Top, GroupClose, Repeat } kind;
    const unsigned char *pc;  /* group: the item after it; repeat: the OP_REPEAT */
    int k;                    /* group number, or repetitions done */
    size_t start;             /* where the group or this repetition began */
    const Cont *outer;
};

/* Size of the item at pc (including nested bodies). */
size_t item_size(const unsigned char *pc)
{
    switch (pc[0]) {
    case OP_CHAR:
        return 5;
    case OP_ANY:
        return 1;
    case OP_CLASS:
        return 4 + get16(pc + 2);
    case OP_BACKREF:
        return 2;
    case OP_GROUP:
        return 4 + get16(pc + 2);
    case OP_REPEAT:
        return 5 + get16(pc + 3);
    default:
        return 1;
    }
}

bool Matcher::single(const unsigned char *pc, uint32_t c) const
{
    switch (pc[0]) {
    case OP_CHAR:
        return get32(pc + 1) == c;
    case OP_ANY:
        return true;
    case OP_CLASS: {
        bool negate = pc[1] != 0;
        const unsigned char *p = pc + 4;
        const unsigned char *end = p + get16(pc + 2);
        bool in = false;
        while (p < end && !in) {
            if (*p == 0) {
                in = get32(p + 1) == c;
                p += 5;
            } else {
                in = get32(p + 1) <= c && c <= get32(p + 5);
                p += 9;
            }
        }
        return in != negate;
    }
    default:
        return false;
    }
}

bool Matcher::run(const Cont *k, size_t i)
{
    switch (k->kind) {
    case Cont::Top:
        if (anchored_end && i != n)
            return false;
        match_end = i;
        return true;
    case Cont::GroupClose: {
        int g = k->k;
        size_t os = cap_start[g], oe = cap_end[g];
        bool oset = cap_set[g];
        cap_start[g] = k->start;
        cap_end[g] = i;
        cap_set[g] = true;
        if (match(k->pc, i, k->outer))
            return true;
        cap_start[g] = os;
        cap_end[g] = oe;
        cap_set[g] = oset;
        return false;
    }
    case Cont::Repeat: {
        const unsigned char *rep = k->pc;
        if (i == k->start) /* an empty repetition adds nothing: go on */
            return match(rep + item_size(rep), i, k->outer);
        return repeat(rep, k->k, i, k->outer);
    }
    }
    return false;
}

bool Matcher::repeat(const unsigned char *rep, int count, size_t i, const Cont *k)
{
    int lo = rep[1], hi = rep[2];
    const unsigned char *item = rep + 5;
    const unsigned char *next = rep + item_size(rep);
    if (hi == kUnbounded || count < hi) {
        Cont c{Cont::Repeat, rep, count + 1, i, k};
        if (match(item, i, &c))
            return true;
        if (gave_up)
            return false;
    }
    return count >= lo && match(next, i, k);
}

bool Matcher::match(const unsigned char *pc, size_t i, const Cont *k)
{
    if (!budget())
        return false;
    if (depth >= kMaxDepth) /* this path fails; others may still match */
        return false;
    struct Depth {
        int &d;
        explicit Depth(int &x) : d(x) { ++d; }
        ~Depth() { --d; }
    } guard(depth);

    for (;;) {
        switch (pc[0]) {
        case OP_END:
            return run(k, i);
        case OP_CHAR:
        case OP_ANY:
        case OP_CLASS:
            if (i >= n || !single(pc, w[i]))
                return false;
            ++i;
            pc += item_size(pc);
            continue;
        case OP_BACKREF: {
            int g = pc[1];
            if (!cap_set[g])
                return false;
            size_t len = cap_end[g] - cap_start[g];
            if (n - i < len)
                return false;
            for (size_t j = 0; j < len; ++j)
                if (w[i + j] != w[cap_start[g] + j])
                    return false;
            steps += static_cast<long>(len);
            i += len;
            pc += 2;
            continue;
        }
        case OP_GROUP: {
            Cont c{Cont::GroupClose, pc + item_size(pc), pc[1], i, k};
            return match(pc + 4, i, &c);
        }
        case OP_REPEAT: {
            const unsigned char *item = pc + 5;
            if (item[0] == OP_CHAR || item[0] == OP_ANY || item[0] == OP_CLASS) {
                /* One character at a time: count the greedy run, then give
                 * back one character at a time. */
                int lo = pc[1], hi = pc[2];
                size_t max = hi == kUnbounded ? n - i : std::min<size_t>(static_cast<size_t>(hi), n - i);
                size_t got = 0;
                while (got < max && single(item, w[i + got])) {
                    ++got;
                    if (++steps > kMaxSteps) {
                        gave_up = true;
                        return false;
                    }
                }
                if (got < static_cast<size_t>(lo))
                    return false;
                const unsigned char *next = pc + item_size(pc);
                for (size_t c = got + 1; c-- > static_cast<size_t>(lo);) {
                    if (match(next, i + c, k))
                        return true;
                    if (gave_up)
                        return false;
                }
                return false;
            }
            return repeat(pc, 0, i, k);
        }
        default:
            return false;
        }
    }
}

} // namespace

const char *regex_error_text(int nr)
{
    switch (nr) {
    case 11: return "Overflow in {n,m}";
    case 16: return "Non-digit in {n,m}";
    case 25: return "\\<nr> not found";
    case 36: return "Newline error";
    case 41: return "NUL (\\0) character";
    case 42: return "non-matching ')'";
    case 43: return "number of '(' larger than 9";
    case 44: return "{n,m} too much comma's";
    case 46: return "{n,m} range error n > m";
    case 49: return "\\0 or \\n in bracket RE";
    case 50: return "Buffer overflow";
    case 60: return "Range error in bracket (start>end)";
    default: return "Unknown error";
    }
}

int regex_compile(std::string_view pattern, std::string &out)
{
    Compiler c;
    widen(pattern, c.p, nullptr);
    out.assign(kHeader, '\0');
    bool anchored = false;
    if (c.peek() == '^') {
        anchored = true;
        ++c.i;
    }
    bool ok = c.sequence(out, 0) && out.size() <= kMaxRegexProgram;
    if (!ok) {
        int nr = c.error != 0 ? c.error : 50;
        std::string shown(pattern);
        messagef("Regular expression %s nr %d (%s) in '%s'\n", "error", nr, regex_error_text(nr),
                 shown.c_str());
        expr_err = nr;
        out.clear();
        return -nr;
    }
    uint32_t size = static_cast<uint32_t>(out.size());
    for (int i = 0; i < 4; ++i)
        out[static_cast<size_t>(i)] = static_cast<char>((size >> (8 * i)) & 0xFF);
    out[4] = static_cast<char>((anchored ? 1 : 0) | (c.anchored_end ? 2 : 0));
    out[5] = static_cast<char>(c.groups);
    return static_cast<int>(size);
}

size_t regex_program_size(const char *program)
{
    return get32(reinterpret_cast<const unsigned char *>(program));
}

} // namespace yy

int yy_expr_re_compile(const char *pattern, char *buffer, size_t size)
{
    std::string out;
    int r = yy::regex_compile(pattern != nullptr ? pattern : "", out);
    if (r < 0)
        return r;
    if (buffer == nullptr || out.size() > size) {
        yy::messagef("Regular expression %s nr %d (%s) in '%s'\n", "error", 50,
                     yy::regex_error_text(50), pattern != nullptr ? pattern : "");
        expr_err = 50;
        return -50;
    }
    std::memcpy(buffer, out.data(), out.size());
    return r;
}

int yy_expr_step(const char *subject, const char *re)
{
    if (subject == nullptr || re == nullptr)
        return 0;
    yy::Matcher m;
    const auto *prog = reinterpret_cast<const unsigned char *>(re);
    m.prog = prog;
    m.anchored_end = (prog[4] & 2) != 0;
    bool anchored = (prog[4] & 1) != 0;
    std::vector<size_t> offsets;
    yy::widen(subject, m.w, &offsets);
    m.n = m.w.size();
    yy::Cont top{yy::Cont::Top, nullptr, 0, 0, nullptr};
    for (size_t start = 0; start <= m.n; ++start) {
        for (int g = 0; g < 10; ++g)
            m.cap_set[g] = false;
        if (m.match(prog + yy::kHeader, start, &top)) {
            loc1 = const_cast<char *>(subject) + offsets[start];
            loc2 = const_cast<char *>(subject) + offsets[m.match_end];
            return 1;
        }
        if (anchored || m.gave_up)
            break;
    }
    return 0;
}
