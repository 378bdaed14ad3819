/*
 * expr_fuzz.cpp: libFuzzer target of the expression language. An input is
 * either an expression (compiled, compared with its recompilation, run
 * through the four evaluators with each kind of candidate value, and asked
 * for its range extremes) or a regular expression and a subject. The same
 * function replays the regression inputs in the GoogleTest suite.
 *
 * Input: the first byte selects; bit 0x80 set: a regular expression, the
 * pattern up to the first 0x01 byte and the subject behind it; otherwise
 * an expression, with the candidate value kind in bits 0-1.
 */
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "al_mem.h"
#include "yy_expr.h"

namespace {

void quiet(const char *) {}

int setid(const char *, const YY_ARGS *args, const YY_VALUE *value)
{
    /* Touch what the evaluator hands over. */
    size_t n = 0;
    for (int i = 0; args != nullptr && i < args->count; ++i)
        if (args->values[i].type == YY_STRING)
            n += std::strlen(args->values[i].s);
    if (value->type == YY_STRING)
        n += std::strlen(value->s);
    return n % 7 == 3 ? -1 : 0;
}

int getid(const char *name, const YY_ARGS *args, YY_VALUE *result)
{
    static char text[] = "value text";
    size_t len = std::strlen(name);
    int count = args != nullptr ? args->count : 0;
    switch ((len + static_cast<size_t>(count)) % 4) {
    case 0:
        *result = YY_VALUE{YY_INTEGER, nullptr, static_cast<int32_t>(len * 1000003u), 0};
        return 0;
    case 1:
        *result = YY_VALUE{YY_REAL, nullptr, 0, static_cast<double>(len) / 3};
        return 0;
    case 2:
        *result = YY_VALUE{YY_STRING, text, 0, 0};
        return 0;
    default:
        return -1;
    }
}

int minmax(const char *name, YY_VALUE *result)
{
    *result = YY_VALUE{YY_INTEGER, nullptr, static_cast<int32_t>(std::strlen(name)), 0};
    return 0;
}

void expression(const std::string &text, int kind)
{
    char *h = yy_expr_compile(text.c_str(), nullptr);
    char *again = yy_expr_compile(text.c_str(), nullptr);
    if (yy_expr_compare(h, again) != 0 || yy_expr_compare(h, h) != 0)
        __builtin_trap();
    long a = 0, b = 0;
    const char *subject = "subject 12.5";
    switch (kind) {
    case YY_VALUE_LONG:
        a = static_cast<long>(text.size()) - 3;
        break;
    case YY_VALUE_DOUBLE: {
        double d = static_cast<double>(text.size()) / 7 - 1;
        uint64_t bits;
        std::memcpy(&bits, &d, sizeof bits);
        a = static_cast<long>(bits & 0xFFFFFFFFu);
        b = static_cast<long>(bits >> 32);
        break;
    }
    case YY_VALUE_STRING:
        a = reinterpret_cast<long>(text.size() % 2 ? subject : text.c_str());
        break;
    default:
        break;
    }
    yy_b_express(h, kind, a, b);
    yy_l_express(h, kind, a, b);
    yy_d_express(h, kind, a, b);
    std::vector<char> out(YY_SCRATCH_SIZE + 1);
    yy_s_express(h, out.data(), kind, a, b);
    if (std::memchr(out.data(), 0, out.size()) == nullptr)
        __builtin_trap();
    char small[5];
    yy_s_express_n(h, small, sizeof small, kind, a, b);
    yy_get_l_extreme(h, 1, -1000, 1000, 2);
    yy_get_d_extreme(h, 0, -1e6, 1e6, 3, 2);
    yy_free_express(h);
    yy_free_express(again);
}

void regex(const std::string &input)
{
    size_t split = input.find('\x01');
    std::string pattern = input.substr(0, split);
    std::string subject = split == std::string::npos ? std::string("abcabc") : input.substr(split + 1);
    std::vector<char> prog(65536);
    if (yy_expr_re_compile(pattern.c_str(), prog.data(), prog.size()) > 0 &&
        yy_expr_step(subject.c_str(), prog.data())) {
        const char *s = subject.c_str();
        size_t n = std::strlen(s);
        if (loc1 < s || loc2 < loc1 || loc2 > s + n)
            __builtin_trap();
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size == 0)
        return 0;
    yy_set_message_func(quiet);
    yy_set_setid_getid(setid, getid, minmax, minmax);
    std::string text(reinterpret_cast<const char *>(data) + 1, size - 1);
    text = text.c_str(); /* up to the first NUL, as a C caller would pass it */
    if (data[0] & 0x80)
        regex(std::string(reinterpret_cast<const char *>(data) + 1, size - 1).c_str());
    else
        expression(text, data[0] & 0x3);
    yy_set_message_func(nullptr);
    return 0;
}
