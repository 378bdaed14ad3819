/*
 * Floating-point storage and formats: unaligned stores, the 4x4 conversion
 * matrix (IEEE both orders, NSK, OS/390 hexadecimal) with its faults, and trel_atof.
 */
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <bit>
#include <cerrno>
#include <cfloat>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <limits>
#include <random>
#include <string>

#include "al_float.h"
#include "al_log.h"
#include "run_program.h"

namespace {

/* ---- helpers --------------------------------------------------------------- */

template <typename Bits>
Bits from_msb(const unsigned char *p)
{
    Bits bits = 0;
    for (std::size_t i = 0; i < sizeof(Bits); ++i)
        bits = static_cast<Bits>((bits << 8) | p[i]);
    return bits;
}

template <typename Bits>
void to_msb(Bits bits, unsigned char *p)
{
    for (std::size_t i = 0; i < sizeof(Bits); ++i)
        p[i] = static_cast<unsigned char>(bits >> (8 * (sizeof(Bits) - 1 - i)));
}

/* The 4 or 8 bytes of a value in format code (1 least significant byte first). */
template <typename Bits>
void put(Bits bits, int code, unsigned char *p)
{
    to_msb(bits, p);
    if (code == AL_FLOAT_IEEE_LSB)
        std::reverse(p, p + sizeof(Bits));
}

template <typename Bits>
Bits get(const unsigned char *p, int code)
{
    unsigned char copy[sizeof(Bits)];
    std::memcpy(copy, p, sizeof copy);
    if (code == AL_FLOAT_IEEE_LSB)
        std::reverse(copy, copy + sizeof copy);
    return from_msb<Bits>(copy);
}

std::uint32_t convert_f(std::uint32_t bits, int source, int target)
{
    unsigned char buf[4];
    put(bits, source, buf);
    EXPECT_EQ(al_convert_float(buf, source, target), 0);
    return get<std::uint32_t>(buf, target);
}

std::uint64_t convert_d(std::uint64_t bits, int source, int target)
{
    unsigned char buf[8];
    put(bits, source, buf);
    EXPECT_EQ(al_convert_double(buf, source, target), 0);
    return get<std::uint64_t>(buf, target);
}

std::uint32_t fbits(float v) { return std::bit_cast<std::uint32_t>(v); }
std::uint64_t dbits(double v) { return std::bit_cast<std::uint64_t>(v); }

/* OS/390 encoding worked out arithmetically: 0.F * 16^X with the fraction rounded to nearest. */
std::uint64_t os390_reference(long double v, int fraction_bits)
{
    const std::uint64_t sign = std::signbit(v) ? std::uint64_t{1} << (fraction_bits + 7) : 0;
    long double a = std::fabs(v);
    if (a == 0)
        return sign;
    int x = 0;
    while (a >= std::ldexp(1.0L, 4 * x))
        ++x;
    while (a < std::ldexp(1.0L, 4 * (x - 1)))
        --x;
    long double f = std::nearbyint(std::ldexp(a, fraction_bits - 4 * x));
    if (f == std::ldexp(1.0L, fraction_bits)) {
        f /= 16;
        ++x;
    }
    return sign | (static_cast<std::uint64_t>(x + 64) << fraction_bits) | static_cast<std::uint64_t>(f);
}

/* NSK encoding worked out arithmetically: 1.f * 2^(E-256), fraction truncated. */
std::uint64_t nsk_reference(long double v, int fraction_bits)
{
    const int width = fraction_bits + 10;
    const std::uint64_t sign = std::signbit(v) ? std::uint64_t{1} << (width - 1) : 0;
    int k = 0;
    const long double m = std::frexp(std::fabs(v), &k); /* [0.5, 1) */
    const auto f = static_cast<std::uint64_t>(std::ldexp(2 * m - 1, fraction_bits));
    return sign | (f << 9) | static_cast<std::uint64_t>(k - 1 + 256);
}

std::int64_t ulps_apart(double a, double b)
{
    auto ordered = [](double v) {
        const auto i = std::bit_cast<std::int64_t>(v);
        return i < 0 ? std::numeric_limits<std::int64_t>::min() - i : i;
    };
    return std::llabs(ordered(a) - ordered(b));
}

/* ---- child processes for the faults ------------------------------------------------ */

enum class Fpe { Default, Counted };

volatile sig_atomic_t g_fpe_count = 0;

void count_fpe(int) { g_fpe_count = g_fpe_count + 1; }

struct ChildRun {
    int signal = 0;     /* terminating signal, 0 when it exited */
    int exit_code = -1;
    std::string result; /* what the body returned, then "|fpe=<count>" */
    std::string log;    /* the child's log file */
    std::string err;    /* the child's standard error */
};

/*
 * Runs body in a fresh child with its own log (program "float_test", log
 * file and standard error) and SIGFPE at its default action or counted.
 */
ChildRun run_child(Fpe mode, const std::function<std::string()> &body)
{
    tdbtest::TempDir dir;
    ChildRun run;
    const pid_t pid = fork();
    if (pid == 0) {
        const rlimit no_core{0, 0};
        setrlimit(RLIMIT_CORE, &no_core);
        const std::string err_path = dir.path() + "/stderr";
        const int fd = open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        dup2(fd, 2);
        mkdir((dir.path() + "/log").c_str(), 0700);
        setenv("TSE", dir.path().c_str(), 1);
        setenv("TSE_LOG", (dir.path() + "/log").c_str(), 1);
        setenv("USER", "fltest", 1);
        log_set_progname("float_test", LOG_DEST_FILE | 0x02 /* standard error */);
        if (mode == Fpe::Default) {
            signal(SIGFPE, SIG_DFL);
        } else {
            struct sigaction action {};
            action.sa_handler = count_fpe;
            sigaction(SIGFPE, &action, nullptr);
        }
        std::string out = body();
        out += "|fpe=" + std::to_string(g_fpe_count);
        const std::string res_path = dir.path() + "/result";
        FILE *fp = std::fopen(res_path.c_str(), "w");
        std::fputs(out.c_str(), fp);
        std::fclose(fp);
        _exit(0);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    if (WIFSIGNALED(status))
        run.signal = WTERMSIG(status);
    if (WIFEXITED(status))
        run.exit_code = WEXITSTATUS(status);
    run.result = dir.read("result");
    run.log = dir.read("log/log.float_test");
    run.err = dir.read("stderr");
    return run;
}

std::size_t count_of(const std::string &text, const std::string &piece)
{
    std::size_t n = 0;
    for (auto at = text.find(piece); at != std::string::npos; at = text.find(piece, at + 1))
        ++n;
    return n;
}

/* How often message was reported with component FPE (log file, or standard error). */
std::size_t times_logged(const ChildRun &run, const std::string &message)
{
    const std::string line = ": " + message + "\n";
    std::size_t in_log = 0;
    if (count_of(run.log, "keyword: FPE") > 0)
        in_log = count_of(run.log, "Log_mesg" + line);
    else
        in_log = count_of(run.log, "FPE" + line);
    return std::max(in_log, count_of(run.err, line));
}

std::string hex(std::uint64_t v)
{
    char buf[24];
    std::snprintf(buf, sizeof buf, "%016llX", static_cast<unsigned long long>(v));
    return buf;
}

/* Converts in the child; the result text is "<rc> <errno> <target bits>". */
std::string child_convert_d(std::uint64_t bits, int source, int target)
{
    unsigned char buf[8];
    put(bits, source, buf);
    errno = 0;
    const int rc = al_convert_double(buf, source, target);
    return std::to_string(rc) + " " + std::to_string(errno) + " " + hex(get<std::uint64_t>(buf, target));
}

std::string child_convert_f(std::uint32_t bits, int source, int target)
{
    unsigned char buf[4];
    put(bits, source, buf);
    errno = 0;
    const int rc = al_convert_float(buf, source, target);
    return std::to_string(rc) + " " + std::to_string(errno) + " " +
           hex(get<std::uint32_t>(buf, target)).substr(8);
}

const std::string kErange = " " + std::to_string(ERANGE) + " ";

/* ---- unaligned storage ---------------------------------------------------- */

TEST(FloatStorage, RoundTripsAtEveryOffsetWithoutTouchingNeighbours)
{
    const float floats[] = {1.0f, -118.625f, 0.1f, FLT_MAX, FLT_TRUE_MIN, -0.0f, INFINITY};
    const double doubles[] = {1.0, -118.625, 0.1, DBL_MAX, DBL_TRUE_MIN, -0.0, -INFINITY};
    for (int offset = 0; offset < 8; ++offset) {
        for (float v : floats) {
            unsigned char buf[16];
            std::memset(buf, 0xA5, sizeof buf);
            float_in(v, buf + offset);
            EXPECT_EQ(fbits(float_out(buf + offset)), fbits(v)) << offset;
            EXPECT_EQ(std::memcmp(buf + offset, &v, 4), 0); /* host order */
            for (int i = 0; i < 16; ++i) {
                if (i < offset || i >= offset + 4) {
                    EXPECT_EQ(buf[i], 0xA5) << offset;
                }
            }
        }
        for (double v : doubles) {
            unsigned char buf[24];
            std::memset(buf, 0x5A, sizeof buf);
            double_in(v, buf + offset);
            EXPECT_EQ(dbits(double_out(buf + offset)), dbits(v)) << offset;
            EXPECT_EQ(std::memcmp(buf + offset, &v, 8), 0);
            EXPECT_EQ(buf[offset + 8], 0x5A);
        }
    }
    const double nan = std::nan("0x12345");
    unsigned char buf[9];
    double_in(nan, buf + 1);
    EXPECT_EQ(dbits(double_out(buf + 1)), dbits(nan));
}

TEST(FloatStorage, NullAddressesAreHarmless)
{
    float_in(1.0f, nullptr);
    double_in(1.0, nullptr);
    EXPECT_EQ(float_out(nullptr), 0.0f);
    EXPECT_EQ(double_out(nullptr), 0.0);
}

/* ---- the matrix ----------------------------------------------------------------- */

TEST(FloatConvert, Code1IsTheBytesInMemoryAndCode2TheirReverse)
{
    static_assert(std::endian::native == std::endian::little, "host order is least significant byte first");
    unsigned char buf[8];
    double_in(1.0, buf);
    const unsigned char lsb[8] = {0, 0, 0, 0, 0, 0, 0xF0, 0x3F};
    EXPECT_EQ(std::memcmp(buf, lsb, 8), 0);
    ASSERT_EQ(al_convert_double(buf, 1, 2), 0);
    const unsigned char msb[8] = {0x3F, 0xF0, 0, 0, 0, 0, 0, 0};
    EXPECT_EQ(std::memcmp(buf, msb, 8), 0);
    ASSERT_EQ(al_convert_double(buf, 2, 1), 0);
    EXPECT_EQ(double_out(buf), 1.0);

    float_in(-118.625f, buf + 1);
    ASSERT_EQ(al_convert_float(buf + 1, 1, 2), 0);
    const unsigned char fmsb[4] = {0xC2, 0xED, 0x40, 0x00};
    EXPECT_EQ(std::memcmp(buf + 1, fmsb, 4), 0);
}

/* One value in all four formats, worked out by hand from the format definitions. */
struct Row {
    std::uint64_t bits[4];
};

TEST(FloatConvert, EveryCellOfTheSingleMatrixMapsKnownPatterns)
{
    const Row rows[] = {
        {{0x3F800000, 0x3F800000, 0x00000100, 0x41100000}},  /* 1.0 */
        {{0xC2ED4000, 0xC2ED4000, 0xED400106, 0xC276A000}},  /* -118.625 */
        {{0x00000000, 0x00000000, 0x00000000, 0x00000000}},  /* 0 */
        {{0x3E800000, 0x3E800000, 0x000000FE, 0x40400000}},  /* 0.25 */
        {{0x80000000, 0x80000000, 0x80000000, 0x80000000}},  /* -0 */
    };
    for (const Row &row : rows)
        for (int s = 1; s <= 4; ++s)
            for (int t = 1; t <= 4; ++t)
                EXPECT_EQ(convert_f(static_cast<std::uint32_t>(row.bits[s - 1]), s, t), row.bits[t - 1])
                    << "from " << s << " to " << t << " of " << hex(row.bits[0]);
}

TEST(FloatConvert, EveryCellOfTheDoubleMatrixMapsKnownPatterns)
{
    const Row rows[] = {
        {{0x3FF0000000000000, 0x3FF0000000000000, 0x0000000000000100, 0x4110000000000000}},
        {{0xC05DA80000000000, 0xC05DA80000000000, 0xED40000000000106, 0xC276A00000000000}},
        {{0x0000000000000000, 0x0000000000000000, 0x0000000000000000, 0x0000000000000000}},
        {{0x3FB999999999999A, 0x3FB999999999999A, 0x4CCCCCCCCCCCD0FC, 0x401999999999999A}}, /* 0.1 */
        {{0x8000000000000000, 0x8000000000000000, 0x8000000000000000, 0x8000000000000000}}, /* -0 */
    };
    for (const Row &row : rows)
        for (int s = 1; s <= 4; ++s)
            for (int t = 1; t <= 4; ++t)
                EXPECT_EQ(convert_d(row.bits[s - 1], s, t), row.bits[t - 1])
                    << "from " << s << " to " << t << " of " << hex(row.bits[0]);
}

TEST(FloatConvert, BadCodesAndNullValueAreRefusedUntouched)
{
    unsigned char buf[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    const std::pair<int, int> bad[] = {{0, 1}, {1, 0}, {5, 2}, {2, 5}, {-1, 3}};
    for (auto [s, t] : bad) {
        errno = 0;
        EXPECT_EQ(al_convert_float(buf, s, t), -1);
        EXPECT_EQ(errno, EINVAL);
        errno = 0;
        EXPECT_EQ(al_convert_double(buf, s, t), -1);
        EXPECT_EQ(errno, EINVAL);
    }
    const unsigned char same[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    EXPECT_EQ(std::memcmp(buf, same, 8), 0);
    EXPECT_EQ(al_convert_double(nullptr, 1, 4), -1);
    EXPECT_EQ(d_ieee_to_nsk(nullptr, 1, 3), -1);
    EXPECT_EQ(errno, EINVAL);
}

/* ---- NSK ---------------------------------------------------------------------------- */

TEST(FloatNsk, SingleMatchesTheArithmeticEncodingAndLosesOnlyTheLowestBit)
{
    std::mt19937 gen(7);
    std::uniform_int_distribution<std::uint32_t> any;
    for (int i = 0; i < 20000; ++i) {
        const std::uint32_t ieee = any(gen);
        const int e = (ieee >> 23) & 0xFF;
        if (e == 0 || e == 0xFF)
            continue;
        const std::uint32_t nsk = convert_f(ieee, 1, 3);
        ASSERT_EQ(nsk, nsk_reference(std::bit_cast<float>(ieee), 22)) << hex(ieee);
        ASSERT_EQ(convert_f(nsk, 3, 2), ieee & ~1u) << hex(ieee);
    }
}

TEST(FloatNsk, DoubleMatchesTheArithmeticEncodingAndRoundTrips)
{
    std::mt19937_64 gen(11);
    std::uniform_int_distribution<int> exponent(768, 1278); /* 2^-255 .. 2^255 */
    std::uniform_int_distribution<std::uint64_t> any;
    for (int i = 0; i < 20000; ++i) {
        const std::uint64_t ieee = (any(gen) & 0x800FFFFFFFFFFFFF) |
                                   (static_cast<std::uint64_t>(exponent(gen)) << 52);
        const std::uint64_t nsk = convert_d(ieee, 2, 3);
        ASSERT_EQ(nsk, nsk_reference(std::bit_cast<double>(ieee), 54)) << hex(ieee);
        ASSERT_EQ(convert_d(nsk, 3, 1), ieee) << hex(ieee);
    }
}

TEST(FloatNsk, ExponentEdgesThatFitPassSilently)
{
    /* single: NSK exponent 129 gives IEEE exponent 0, 384 gives 255 (infinity round-trips) */
    EXPECT_EQ(convert_f(0x00000081, 3, 1), 0x00000000u);
    EXPECT_EQ(convert_f(0x7F800000, 1, 3), 0x00000180u);
    EXPECT_EQ(convert_f(0x00000180, 3, 1), 0x7F800000u);
    /* double: 2^-255 and 2^255 are the ends of the NSK range */
    EXPECT_EQ(convert_d(dbits(std::ldexp(1.0, 255)), 1, 3), 0x00000000000001FFu);
    EXPECT_EQ(convert_d(dbits(std::ldexp(-1.0, -255)), 1, 3), 0x8000000000000001u);
    EXPECT_EQ(convert_d(0x00000000000001FF, 3, 1), dbits(std::ldexp(1.0, 255)));
}

TEST(FloatNskFault, DoubleOutOfRangeIsLoggedAndKillsBySigfpe)
{
    const std::string message = "Exponent overflow in conversion of double  format IEEE to NSK";
    for (double v : {std::ldexp(1.0, 256), std::ldexp(1.0, -257), -HUGE_VAL}) {
        const ChildRun run = run_child(Fpe::Default, [v] { return child_convert_d(dbits(v), 1, 3); });
        EXPECT_EQ(run.signal, SIGFPE) << v;
        EXPECT_EQ(times_logged(run, message), 1u) << v << run.log << run.err;
        EXPECT_EQ(run.result, "");
    }
}

TEST(FloatNskFault, SurvivedFaultsSaturateAndReportErange)
{
    const ChildRun run = run_child(Fpe::Counted, [] {
        return child_convert_d(dbits(std::ldexp(-1.0, 256)), 1, 3) + ";" +
               child_convert_d(dbits(std::ldexp(1.0, -257)), 2, 3) + ";" +
               child_convert_f(0x00000080, 3, 1) + ";" + child_convert_f(0x80000181, 3, 2);
    });
    EXPECT_EQ(run.signal, 0);
    EXPECT_EQ(run.result, "-1" + kErange + "FFFFFFFFFFFFFFFF;-1" + kErange + "0000000000000000;-1" +
                              kErange + "00000000;-1" + kErange + "FF7FFFFF|fpe=4");
    EXPECT_EQ(times_logged(run, "Exponent overflow in conversion of double  format IEEE to NSK"), 2u);
    EXPECT_EQ(times_logged(run, "Exponent overflow in conversion of float  format NSK to IEEE"), 2u);
}

/* ---- OS/390 ----------------------------------------------------------------------------- */

TEST(FloatOs390, SingleMatchesArithmeticRoundingAndDecodesExactly)
{
    std::mt19937 gen(3);
    std::uniform_int_distribution<std::uint32_t> any;
    for (int i = 0; i < 20000; ++i) {
        const std::uint32_t ieee = any(gen);
        if (((ieee >> 23) & 0xFF) == 0xFF)
            continue;
        const float v = std::bit_cast<float>(ieee);
        const std::uint32_t hexf = convert_f(ieee, 1, 4);
        ASSERT_EQ(hexf, os390_reference(v, 24)) << hex(ieee);
        /* every OS/390 single in the IEEE range decodes exactly */
        const long double exact = std::ldexp(static_cast<long double>(hexf & 0xFFFFFF),
                                             4 * static_cast<int>((hexf >> 24) & 0x7F) - 256 - 24);
        ASSERT_EQ(static_cast<long double>(std::fabs(std::bit_cast<float>(convert_f(hexf, 4, 1)))), exact);
    }
    EXPECT_EQ(convert_f(fbits(0.1f), 1, 4), 0x4019999Au);
    EXPECT_EQ(convert_f(0x00000001, 1, 4), 0x1B800000u); /* smallest subnormal */
    EXPECT_EQ(convert_f(0x1B800000, 4, 1), 0x00000001u);
}

TEST(FloatOs390, DoubleIsExactOneWayAndTruncatesTheOther)
{
    std::mt19937_64 gen(5);
    std::uniform_int_distribution<std::uint64_t> any;
    std::uniform_int_distribution<int> exponent(1023 - 258, 1023 + 250);
    for (int i = 0; i < 20000; ++i) {
        const std::uint64_t ieee = (any(gen) & 0x800FFFFFFFFFFFFF) |
                                   (static_cast<std::uint64_t>(exponent(gen)) << 52);
        const std::uint64_t hexd = convert_d(ieee, 2, 4);
        ASSERT_EQ(hexd, os390_reference(std::bit_cast<double>(ieee), 56)) << hex(ieee);
        ASSERT_EQ(convert_d(hexd, 4, 2), ieee) << hex(ieee);

        const std::uint64_t raw = any(gen) | 0x0010000000000000; /* any normalised OS/390 double */
        const long double exact = std::ldexp(static_cast<long double>(raw & 0x00FFFFFFFFFFFFFF),
                                             4 * static_cast<int>((raw >> 56) & 0x7F) - 256 - 56);
        const double back = std::bit_cast<double>(convert_d(raw, 4, 1));
        ASSERT_LE(std::fabs(static_cast<long double>(back)), std::fabs(exact)) << hex(raw);
        ASSERT_GT(std::fabs(static_cast<long double>(std::nextafter(back, back * 2))), std::fabs(exact));
        ASSERT_EQ(std::signbit(back), (raw >> 63) != 0);
    }
}

TEST(FloatOs390, RangeEdgesAndTheLargestApplicationNumber)
{
    EXPECT_EQ(convert_d(dbits(std::nextafter(std::ldexp(1.0, 252), 0.0)), 1, 4), 0x7FFFFFFFFFFFFFF8u);
    EXPECT_EQ(convert_d(0x7FFFFFFFFFFFFFFF, 4, 1), dbits(std::nextafter(std::ldexp(1.0, 252), 0.0)));
    EXPECT_EQ(convert_d(dbits(std::ldexp(1.0, -260)), 1, 4), 0x0010000000000000u);
    /* below the normalised range the fraction is kept unnormalised, then vanishes */
    EXPECT_EQ(convert_d(dbits(std::ldexp(-1.0, -261)), 1, 4), 0x8008000000000000u);
    EXPECT_EQ(convert_d(dbits(std::ldexp(1.0, -312)), 1, 4), 0x0000000000000001u);
    EXPECT_EQ(convert_d(dbits(std::ldexp(1.5, -313)), 1, 4), 0x0000000000000001u);
    EXPECT_EQ(convert_d(dbits(std::ldexp(1.0, -313)), 1, 4), 0x0000000000000000u);
    EXPECT_EQ(convert_d(dbits(-DBL_TRUE_MIN), 1, 4), 0x8000000000000000u);
    EXPECT_EQ(convert_d(0x0008000000000000, 4, 1), dbits(std::ldexp(1.0, -261)));
    EXPECT_EQ(convert_f(0x00100000, 4, 1), 0u); /* 16^-65 is below every IEEE single */
    EXPECT_EQ(convert_f(0x60FFFFFF, 4, 1), fbits(FLT_MAX));
    EXPECT_EQ(convert_f(fbits(-FLT_MAX), 1, 4), 0xE0FFFFFFu);

    const ChildRun run = run_child(Fpe::Counted, [] {
        return child_convert_d(dbits(9.999999999999e75), 1, 4) + ";" +
               child_convert_d(dbits(-9.999999999999e75), 2, 4);
    });
    EXPECT_EQ(run.result, "0 0 7FFFFFFFFFFFFFFF;0 0 FFFFFFFFFFFFFFFF|fpe=0");
}

TEST(FloatOs390Fault, OverflowsAreLoggedWithTheValueAndKillBySigfpe)
{
    struct Case {
        std::function<std::string()> body;
        std::string message;
    };
    const Case cases[] = {
        {[] { return child_convert_d(dbits(std::ldexp(1.0, 252)), 1, 4); },
         "MAX Exponent overflow (128) in conversion of double from IEEE 0x4FB0000000000000 to OS390"},
        {[] { return child_convert_d(dbits(std::nextafter(-9.999999999999e75, 0.0)), 2, 4); },
         "MAX Exponent overflow (128) in conversion of double from IEEE 0x" +
             hex(dbits(std::nextafter(-9.999999999999e75, 0.0))) + " to OS390"},
        {[] { return child_convert_d(0x00000000000001FF, 3, 4); }, /* NSK 2^255 goes through IEEE */
         "MAX Exponent overflow (128) in conversion of double from IEEE 0x4FE0000000000000 to OS390"},
        {[] { return child_convert_f(0x7FFFFFFF, 4, 1); },
         "MAX Exponent overflow (378) in conversion of float from OS390 0x7FFFFFFF to IEEE"},
        {[] { return child_convert_f(0xE1100000, 4, 3); },
         "MAX Exponent overflow (255) in conversion of float from OS390 0xE1100000 to IEEE"},
        {[] { return child_convert_f(fbits(INFINITY), 1, 4); },
         "infinite in f_ieee_to_os390, generating SIGFPE"},
        {[] { return child_convert_d(dbits(-INFINITY), 2, 4); },
         "infinite in d_ieee_to_os390, generating SIGFPE"},
        {[] { return child_convert_f(fbits(std::nanf("")), 2, 4); },
         "NaN in f_ieee_to_os390, generating SIGFPE"},
        {[] { return child_convert_d(dbits(-std::nan("")), 1, 4); },
         "NaN in d_ieee_to_os390, generating SIGFPE"},
    };
    for (const Case &c : cases) {
        const ChildRun run = run_child(Fpe::Default, c.body);
        EXPECT_EQ(run.signal, SIGFPE) << c.message;
        EXPECT_EQ(times_logged(run, c.message), 1u) << c.message << "\n" << run.log << run.err;
    }
}

TEST(FloatOs390Fault, SurvivedFaultsSaturateToTheLargestOfTheSign)
{
    const ChildRun run = run_child(Fpe::Counted, [] {
        return child_convert_d(dbits(-INFINITY), 1, 4) + ";" + child_convert_f(fbits(std::nanf("")), 1, 4) +
               ";" + child_convert_d(dbits(1e76), 1, 4) + ";" + child_convert_f(0xFFFFFFFF, 4, 1);
    });
    EXPECT_EQ(run.result, "-1" + kErange + "FFFFFFFFFFFFFFFF;-1" + kErange + "7FFFFFFF;-1" + kErange +
                              "7FFFFFFFFFFFFFFF;-1" + kErange + "FF7FFFFF|fpe=4");
}

TEST(FloatConvert, NskAndOs390MeetThroughIeee)
{
    std::mt19937 gen(9);
    std::uniform_real_distribution<double> mantissa(0.5, 1.0);
    std::uniform_int_distribution<int> scale(-120, 120);
    for (int i = 0; i < 5000; ++i) {
        const float v = static_cast<float>(std::ldexp(mantissa(gen), scale(gen)));
        const std::uint32_t nsk = convert_f(fbits(v), 1, 3);
        ASSERT_EQ(convert_f(nsk, 3, 4), convert_f(convert_f(nsk, 3, 1), 1, 4));
        const std::uint32_t hexf = convert_f(fbits(v), 1, 4);
        ASSERT_EQ(convert_f(hexf, 4, 3), convert_f(convert_f(hexf, 4, 2), 2, 3));
        const double d = std::ldexp(i % 2 != 0 ? -mantissa(gen) : mantissa(gen), 2 * scale(gen));
        const std::uint64_t nskd = convert_d(dbits(d), 1, 3);
        ASSERT_EQ(convert_d(nskd, 3, 4), convert_d(dbits(d), 1, 4));
        ASSERT_EQ(convert_d(convert_d(nskd, 3, 4), 4, 3), nskd);
    }
}

/* ---- trel_atof ------------------------------------------------------------------------------- */

TEST(TrelAtof, AcceptsCommaOrPointAndBlanksAround)
{
    EXPECT_EQ(trel_atof("12,5"), 12.5);
    EXPECT_EQ(trel_atof("12.5"), 12.5);
    EXPECT_EQ(trel_atof("   12,5"), 12.5);
    EXPECT_EQ(trel_atof("\t 12.5 \t "), 12.5);
    EXPECT_EQ(trel_atof("-0.25   "), -0.25);
    EXPECT_EQ(trel_atof("+7"), 7.0);
    EXPECT_EQ(trel_atof(".5"), 0.5);
    EXPECT_EQ(trel_atof(",5"), 0.5);
    EXPECT_EQ(trel_atof("5."), 5.0);
    EXPECT_EQ(trel_atof("1,000"), 1.0);
    EXPECT_EQ(trel_atof("1e3"), 1000.0);
    EXPECT_EQ(trel_atof("2,5E+2"), 250.0);
    EXPECT_EQ(trel_atof("123456789012345678"), 123456789012345678.0);
}

TEST(TrelAtof, AnythingElseAfterTheNumberOrNoDigitsGivesZero)
{
    for (const char *text : {"12.5x", "12 5", "1.2.3", "1,2,3", "0x10", "1e", "1e+", "1e ", "e5", "-", "+",
                             ".", ",", "", "   ", "inf", "nan", "--1", "1e5.0", "12.5\n", "\n12"})
        EXPECT_EQ(trel_atof(text), 0.0) << '"' << text << '"';
    EXPECT_EQ(trel_atof(nullptr), 0.0);
    EXPECT_TRUE(std::signbit(trel_atof("-0")));
}

TEST(TrelAtof, AgreesWithStrtodOnOrdinaryTexts)
{
    std::mt19937 gen(1);
    std::uniform_int_distribution<int> digit(0, 9), len(1, 17), point(0, 17), exp(-300, 300), coin(0, 3);
    int exact = 0;
    for (int i = 0; i < 20000; ++i) {
        std::string text = coin(gen) == 0 ? "-" : "";
        const int n = len(gen), at = point(gen);
        for (int k = 0; k < n; ++k) {
            if (k == at)
                text += '.';
            text += static_cast<char>('0' + digit(gen));
        }
        const bool scaled = coin(gen) != 0;
        if (scaled)
            text += "e" + std::to_string(exp(gen));
        const double mine = trel_atof(text.c_str());
        const double peer = std::strtod(text.c_str(), nullptr);
        if (scaled)
            ASSERT_LE(ulps_apart(mine, peer), 1) << text;
        else
            ASSERT_EQ(dbits(mine), dbits(peer)) << text;
        exact += mine == peer;
        std::string comma = text;
        std::replace(comma.begin(), comma.end(), '.', ',');
        ASSERT_EQ(dbits(trel_atof(comma.c_str())), dbits(mine)) << comma;
    }
    EXPECT_GT(exact, 19000); /* e^(n ln 10) in long double is off by one unit now and then */
}

TEST(TrelAtof, ExtremeAndLongTextsStayDefined)
{
    errno = 0;
    EXPECT_EQ(trel_atof("1e309"), HUGE_VAL);
    EXPECT_EQ(trel_atof("-1e99999999"), -HUGE_VAL);
    EXPECT_EQ(trel_atof("1e-400"), 0.0);
    EXPECT_EQ(trel_atof("0e999999"), 0.0);
    EXPECT_EQ(errno, 0);
    const std::string big = "1" + std::string(400, '0');
    EXPECT_EQ(trel_atof(big.c_str()), HUGE_VAL);
    const std::string nines = std::string(5000, '9') + "e-4990";
    EXPECT_LE(ulps_apart(trel_atof(nines.c_str()), 1e10), 1);
    const std::string tiny = "0," + std::string(300, '0') + "5";
    EXPECT_LE(ulps_apart(trel_atof(tiny.c_str()), std::strtod("5e-301", nullptr)), 1);
    const std::string long_fraction = "0." + std::string(3000, '3');
    EXPECT_LE(ulps_apart(trel_atof(long_fraction.c_str()), 1.0 / 3), 1);
}

} // namespace
