/*
 * expr_test_support.cpp: the recorder, evaluation helper and compiled
 * handle of the expression-language tests.
 */
#include "expr_test_support.h"

#include <cstring>

#include "al_mem.h"

namespace exprtest {

namespace {
Recorder *active = nullptr;
void record(const char *text)
{
    if (active != nullptr)
        active->messages.emplace_back(text);
}
} // namespace

Recorder::Recorder() : previous(yy_set_message_func(record))
{
    active = this;
}

Recorder::~Recorder()
{
    active = nullptr;
    yy_set_message_func(previous);
}

Compiled::Compiled(const std::string &text) : h(yy_expr_compile(text.c_str(), nullptr)) {}

Compiled::~Compiled()
{
    yy_free_express(h);
}

Result eval(const std::string &text, int kind, long a, long b)
{
    Result r;
    Recorder rec;
    Compiled c(text);
    std::vector<char> buffer(YY_SCRATCH_SIZE + 1, '\x7f');
    r.type = yy_s_express(c.h, buffer.data(), kind, a, b);
    r.text = buffer.data();
    r.err = expr_err;
    r.messages = rec.messages;
    return r;
}

void split_double(double d, long &low, long &high)
{
    uint64_t bits;
    std::memcpy(&bits, &d, sizeof bits);
    low = static_cast<long>(bits & 0xFFFFFFFFu);
    high = static_cast<long>(bits >> 32);
}

} // namespace exprtest
