/*
 * al_float.cpp: floating-point values in row buffers (unaligned stores and
 * loads), the conversion matrix between IEEE (either byte order), NSK and
 * OS/390 hexadecimal formats, and the number parser trel_atof.
 */
#include "al_float.h"

#include <signal.h>

#include <bit>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstring>

#include "al_log.h"

namespace {

constexpr const char *kSourceFile = "lib/al_1/al_float.cpp";
constexpr const char *kComponent = "FPE";

/* ---- bytes and bits ---------------------------------------------------- */

template <typename Bits>
Bits load_bits(const void *where, bool msb_first)
{
    unsigned char bytes[sizeof(Bits)];
    std::memcpy(bytes, where, sizeof bytes);
    Bits bits = 0;
    for (std::size_t i = 0; i < sizeof bytes; ++i) {
        const unsigned char b = msb_first ? bytes[i] : bytes[sizeof bytes - 1 - i];
        bits = static_cast<Bits>((bits << 8) | b);
    }
    return bits;
}

template <typename Bits>
void store_bits(Bits bits, void *where, bool msb_first)
{
    unsigned char bytes[sizeof(Bits)];
    for (std::size_t i = 0; i < sizeof bytes; ++i) {
        const auto b = static_cast<unsigned char>(bits >> (8 * (sizeof bytes - 1 - i)));
        bytes[msb_first ? i : sizeof bytes - 1 - i] = b;
    }
    std::memcpy(where, bytes, sizeof bytes);
}

/* The value's bytes, most significant first, for the overflow messages. */
template <typename Bits>
unsigned byte_at(Bits bits, std::size_t i)
{
    return static_cast<unsigned>((bits >> (8 * (sizeof(Bits) - 1 - i))) & 0xFF);
}

/* Floor division for the hexadecimal exponent of negative binary exponents. */
int floor_div4(int n)
{
    return n >= 0 ? n / 4 : -((-n + 3) / 4);
}

/*
 * m / 2^shift rounded to nearest, ties to even; shift <= 0 shifts left
 * (the caller guarantees the result fits).
 */
std::uint64_t round_shift(std::uint64_t m, int shift)
{
    if (shift <= 0)
        return m << -shift;
    if (shift > 64)
        return 0;
    const std::uint64_t kept = shift == 64 ? 0 : m >> shift;
    const std::uint64_t rest = shift == 64 ? m : m & ((std::uint64_t{1} << shift) - 1);
    const std::uint64_t half = std::uint64_t{1} << (shift - 1);
    if (rest > half || (rest == half && (kept & 1) != 0))
        return kept + 1;
    return kept;
}

/* m / 2^shift truncated toward zero; shift <= 0 shifts left (fits, by the caller). */
std::uint64_t truncate_shift(std::uint64_t m, int shift)
{
    if (shift <= 0)
        return m << -shift;
    return shift >= 64 ? 0 : m >> shift;
}

/* Sends SIGFPE to the process; reports the fault to the caller. */
int raise_fpe()
{
    raise(SIGFPE);
    errno = ERANGE;
    return -1;
}

/* ---- the two widths ----------------------------------------------------- */

struct Single {
    using Bits = std::uint32_t;
    static constexpr int kWidth = 32;
    static constexpr int kIeeeFraction = 23;
    static constexpr int kIeeeExponentMax = 0xFF;
    static constexpr int kIeeeBias = 127;
    static constexpr int kHexFraction = 24;
};

struct Double {
    using Bits = std::uint64_t;
    static constexpr int kWidth = 64;
    static constexpr int kIeeeFraction = 52;
    static constexpr int kIeeeExponentMax = 0x7FF;
    static constexpr int kIeeeBias = 1023;
    static constexpr int kHexFraction = 56;
};

template <typename W>
constexpr typename W::Bits sign_bit()
{
    return typename W::Bits{1} << (W::kWidth - 1);
}

template <typename W>
constexpr typename W::Bits low_mask(int bits)
{
    return bits >= W::kWidth ? ~typename W::Bits{0}
                             : (typename W::Bits{1} << bits) - 1;
}

/* Largest finite IEEE magnitude: exponent field one below all ones, fraction all ones. */
template <typename W>
constexpr typename W::Bits ieee_largest()
{
    return (static_cast<typename W::Bits>(W::kIeeeExponentMax - 1) << W::kIeeeFraction) |
           low_mask<W>(W::kIeeeFraction);
}

/* ---- IEEE <-> NSK ---------------------------------------------------------- */

/*
 * NSK single: sign bit 31, 22-bit fraction in bits 30-9, 9-bit exponent
 * (excess 256) in bits 8-0. The IEEE exponent moves by +129 (0 stays 0), the
 * 23-bit fraction loses its lowest bit. Every IEEE single fits.
 */
std::uint32_t f_ieee_bits_to_nsk(std::uint32_t ieee)
{
    const std::uint32_t sign = ieee & 0x80000000u;
    const std::uint32_t exponent = (ieee >> 23) & 0xFF;
    const std::uint32_t fraction = ieee & 0x7FFFFF;
    const std::uint32_t nsk_exponent = exponent == 0 ? 0 : exponent + 129;
    return sign | ((fraction >> 1) << 9) | nsk_exponent;
}

/* Returns 0, or -1 after reporting an exponent the IEEE single cannot hold. */
int f_nsk_bits_to_ieee(std::uint32_t nsk, std::uint32_t &ieee)
{
    const std::uint32_t sign = nsk & 0x80000000u;
    const int exponent = static_cast<int>(nsk & 0x1FF);
    const std::uint32_t fraction = (nsk >> 9) & 0x3FFFFF;
    const int ieee_exponent = exponent == 0 ? 0 : exponent - 129;
    if (ieee_exponent < 0 || ieee_exponent > 0xFF) {
        log_mesg(kSourceFile, __LINE__, kComponent, 0,
                 "Exponent overflow in conversion of float  format NSK to IEEE");
        ieee = ieee_exponent < 0 ? sign : sign | ieee_largest<Single>();
        return raise_fpe();
    }
    ieee = sign | (static_cast<std::uint32_t>(ieee_exponent) << 23) | (fraction << 1);
    return 0;
}

/*
 * NSK double: sign bit 63, 54-bit fraction in bits 62-9, 9-bit exponent
 * (excess 256) in bits 8-0. The IEEE exponent moves by -767 (0 stays 0) and
 * must land in 0-511; the 52-bit fraction moves up by 11 bits.
 */
int d_ieee_bits_to_nsk(std::uint64_t ieee, std::uint64_t &nsk)
{
    const std::uint64_t sign = ieee & sign_bit<Double>();
    const int exponent = static_cast<int>((ieee >> 52) & 0x7FF);
    const std::uint64_t fraction = ieee & low_mask<Double>(52);
    const int nsk_exponent = exponent == 0 ? 0 : exponent - 767;
    if (nsk_exponent < 0 || nsk_exponent > 0x1FF) {
        log_mesg(kSourceFile, __LINE__, kComponent, 0,
                 "Exponent overflow in conversion of double  format IEEE to NSK");
        nsk = nsk_exponent < 0 ? sign : sign | ~sign_bit<Double>();
        return raise_fpe();
    }
    nsk = sign | (fraction << 11) | static_cast<std::uint64_t>(nsk_exponent);
    return 0;
}

/* Every NSK double fits an IEEE double (the lowest two fraction bits are lost). */
std::uint64_t d_nsk_bits_to_ieee(std::uint64_t nsk)
{
    const std::uint64_t sign = nsk & sign_bit<Double>();
    const std::uint64_t exponent = nsk & 0x1FF;
    const std::uint64_t fraction = (nsk >> 11) & low_mask<Double>(52);
    const std::uint64_t ieee_exponent = exponent == 0 ? 0 : exponent + 767;
    return sign | (ieee_exponent << 52) | fraction;
}

/* ---- IEEE <-> OS/390 --------------------------------------------------------- */

/*
 * OS/390 hexadecimal: sign, 7-bit exponent of 16 (excess 64), fraction of
 * 24 or 56 bits, value = 0.fraction * 16^(exponent - 64). Finite values out
 * of range report and saturate to the largest magnitude; values below the
 * normalised range are stored unnormalised with exponent 0 (gradual
 * underflow) and become a signed zero when nothing is left.
 * Towards OS/390 a fraction that does not fit is rounded to nearest, ties to
 * even. Towards IEEE it is truncated toward zero: the result never exceeds
 * the original, so that every value read from OS/390 converts back without
 * overflow (the largest OS/390 double would otherwise round up to 2^252,
 * just outside the OS/390 range).
 */
template <typename W>
void log_ieee_to_os390_overflow(int exponent, typename W::Bits ieee)
{
    if constexpr (W::kWidth == 64)
        log_mesg(kSourceFile, __LINE__, kComponent, 0,
                 "MAX Exponent overflow (%d) in conversion of double from IEEE "
                 "0x%02X%02X%02X%02X%02X%02X%02X%02X to OS390",
                 exponent, byte_at(ieee, 0), byte_at(ieee, 1), byte_at(ieee, 2),
                 byte_at(ieee, 3), byte_at(ieee, 4), byte_at(ieee, 5), byte_at(ieee, 6),
                 byte_at(ieee, 7));
    else
        log_mesg(kSourceFile, __LINE__, kComponent, 0,
                 "MAX Exponent overflow (%d) in conversion of float from IEEE "
                 "0x%02X%02X%02X%02X to OS390",
                 exponent, byte_at(ieee, 0), byte_at(ieee, 1), byte_at(ieee, 2),
                 byte_at(ieee, 3));
}

template <typename W>
void log_os390_to_ieee_overflow(int exponent, typename W::Bits hex)
{
    if constexpr (W::kWidth == 64)
        log_mesg(kSourceFile, __LINE__, kComponent, 0,
                 "MAX Exponent overflow (%d) in conversion of double from OS390 "
                 "0x%02X%02X%02X%02X%02X%02X%02X%02X to IEEE",
                 exponent, byte_at(hex, 0), byte_at(hex, 1), byte_at(hex, 2),
                 byte_at(hex, 3), byte_at(hex, 4), byte_at(hex, 5), byte_at(hex, 6),
                 byte_at(hex, 7));
    else
        log_mesg(kSourceFile, __LINE__, kComponent, 0,
                 "MAX Exponent overflow (%d) in conversion of float from OS390 "
                 "0x%02X%02X%02X%02X to IEEE",
                 exponent, byte_at(hex, 0), byte_at(hex, 1), byte_at(hex, 2),
                 byte_at(hex, 3));
}

template <typename W>
int ieee_bits_to_os390(typename W::Bits ieee, typename W::Bits &hex)
{
    using Bits = typename W::Bits;
    const Bits sign = ieee & sign_bit<W>();
    const Bits largest = sign | ~sign_bit<W>();
    const int exponent = static_cast<int>((ieee >> W::kIeeeFraction) & W::kIeeeExponentMax);
    const Bits fraction = ieee & low_mask<W>(W::kIeeeFraction);

    if (exponent == 0 && fraction == 0) {
        hex = sign;
        return 0;
    }
    if (exponent == W::kIeeeExponentMax) {
        constexpr bool is_double = W::kWidth == 64;
        if (fraction == 0)
            log_mesg(kSourceFile, __LINE__, kComponent, 0,
                     is_double ? "infinite in d_ieee_to_os390, generating SIGFPE"
                               : "infinite in f_ieee_to_os390, generating SIGFPE");
        else
            log_mesg(kSourceFile, __LINE__, kComponent, 0,
                     is_double ? "NaN in d_ieee_to_os390, generating SIGFPE"
                               : "NaN in f_ieee_to_os390, generating SIGFPE");
        hex = largest;
        return raise_fpe();
    }
    if constexpr (W::kWidth == 64) {
        /* The application's largest number maps to the largest OS/390 double. */
        if ((ieee & ~sign_bit<W>()) == std::bit_cast<std::uint64_t>(9.999999999999e75)) {
            hex = largest;
            return 0;
        }
    }

    /* value = m * 2^q with m an integer of at most kIeeeFraction + 1 bits */
    std::uint64_t m = fraction;
    int q = 1 - W::kIeeeBias - W::kIeeeFraction;
    if (exponent != 0) {
        m |= std::uint64_t{1} << W::kIeeeFraction;
        q = exponent - W::kIeeeBias - W::kIeeeFraction;
    }
    const int top = static_cast<int>(std::bit_width(m)) - 1; /* value in [2^(top+q), 2^(top+q+1)) */
    int hex_exponent = floor_div4(top + q) + 1;             /* value = 0.F * 16^hex_exponent */
    if (hex_exponent + 64 > 127) {
        log_ieee_to_os390_overflow<W>(hex_exponent + 64, ieee);
        hex = largest;
        return raise_fpe();
    }
    if (hex_exponent + 64 < 0)
        hex_exponent = -64; /* unnormalised below the range */
    std::uint64_t f = round_shift(m, 4 * hex_exponent - W::kHexFraction - q);
    if ((f >> W::kHexFraction) != 0) { /* rounding carried into a new hex digit */
        f >>= 4;
        ++hex_exponent;
        if (hex_exponent + 64 > 127) {
            log_ieee_to_os390_overflow<W>(hex_exponent + 64, ieee);
            hex = largest;
            return raise_fpe();
        }
    }
    if (f == 0) {
        hex = sign;
        return 0;
    }
    hex = sign | (static_cast<Bits>(hex_exponent + 64) << W::kHexFraction) | static_cast<Bits>(f);
    return 0;
}

template <typename W>
int os390_bits_to_ieee(typename W::Bits hex, typename W::Bits &ieee)
{
    using Bits = typename W::Bits;
    const Bits sign = hex & sign_bit<W>();
    const int hex_exponent = static_cast<int>((hex >> W::kHexFraction) & 0x7F) - 64;
    const std::uint64_t f = hex & low_mask<W>(W::kHexFraction);
    if (f == 0) {
        ieee = sign;
        return 0;
    }
    const int q = 4 * hex_exponent - W::kHexFraction; /* value = f * 2^q */
    const int top = static_cast<int>(std::bit_width(f)) - 1;
    int binary_exponent = top + q; /* value in [2^e, 2^(e+1)) */
    constexpr int kMin = 1 - W::kIeeeBias;
    constexpr int kMax = W::kIeeeBias;
    if (binary_exponent < kMin) {
        /* subnormal: the lowest fraction bit weighs 2^(kMin - kIeeeFraction) */
        const std::uint64_t m = truncate_shift(f, kMin - W::kIeeeFraction - q);
        ieee = sign | static_cast<Bits>(m);
        return 0;
    }
    const std::uint64_t m = truncate_shift(f, top - W::kIeeeFraction);
    if (binary_exponent > kMax) {
        log_os390_to_ieee_overflow<W>(binary_exponent + W::kIeeeBias, hex);
        ieee = sign | ieee_largest<W>();
        return raise_fpe();
    }
    ieee = sign | (static_cast<Bits>(binary_exponent + W::kIeeeBias) << W::kIeeeFraction) |
           (static_cast<Bits>(m) & low_mask<W>(W::kIeeeFraction));
    return 0;
}

/* ---- the members, on bits ------------------------------------------------------ */

bool ieee_msb(int code)
{
    return code == AL_FLOAT_IEEE_MSB;
}

template <typename Bits, typename Step>
int convert_in_place(void *value, bool msb_in, bool msb_out, Step step)
{
    if (value == nullptr) {
        errno = EINVAL;
        return -1;
    }
    Bits bits = load_bits<Bits>(value, msb_in);
    const int rc = step(bits);
    store_bits<Bits>(bits, value, msb_out);
    return rc;
}

using Member = int (*)(void *, int, int);

/* Row: target code, column: source code. */
constexpr Member kFloatMatrix[4][4] = {
    {f_dummy, f_ieee_to_ieee, f_nsk_to_ieee, f_os390_to_ieee},
    {f_ieee_to_ieee, f_dummy, f_nsk_to_ieee, f_os390_to_ieee},
    {f_ieee_to_nsk, f_ieee_to_nsk, f_dummy, f_os390_to_nsk},
    {f_ieee_to_os390, f_ieee_to_os390, f_nsk_to_os390, f_dummy},
};

constexpr Member kDoubleMatrix[4][4] = {
    {d_dummy, d_ieee_to_ieee, d_nsk_to_ieee, d_os390_to_ieee},
    {d_ieee_to_ieee, d_dummy, d_nsk_to_ieee, d_os390_to_ieee},
    {d_ieee_to_nsk, d_ieee_to_nsk, d_dummy, d_os390_to_nsk},
    {d_ieee_to_os390, d_ieee_to_os390, d_nsk_to_os390, d_dummy},
};

int convert(const Member (&matrix)[4][4], void *value, int source, int target)
{
    if (value == nullptr || source < 1 || source > 4 || target < 1 || target > 4) {
        errno = EINVAL;
        return -1;
    }
    return matrix[target - 1][source - 1](value, source, target);
}

} // namespace

/* ---- unaligned storage -------------------------------------------------------- */

void float_in(float value, void *dest)
{
    if (dest != nullptr)
        std::memcpy(dest, &value, sizeof value);
}

float float_out(const void *src)
{
    float value = 0;
    if (src != nullptr)
        std::memcpy(&value, src, sizeof value);
    return value;
}

void double_in(double value, void *dest)
{
    if (dest != nullptr)
        std::memcpy(dest, &value, sizeof value);
}

double double_out(const void *src)
{
    double value = 0;
    if (src != nullptr)
        std::memcpy(&value, src, sizeof value);
    return value;
}

/* ---- conversion matrix ----------------------------------------------------------- */

int al_convert_float(void *value, int source, int target)
{
    return convert(kFloatMatrix, value, source, target);
}

int al_convert_double(void *value, int source, int target)
{
    return convert(kDoubleMatrix, value, source, target);
}

int f_dummy(void *value, int, int)
{
    if (value == nullptr) {
        errno = EINVAL;
        return -1;
    }
    return 0;
}

int d_dummy(void *value, int source, int target)
{
    return f_dummy(value, source, target);
}

int f_ieee_to_ieee(void *value, int, int)
{
    return convert_in_place<std::uint32_t>(value, false, true, [](std::uint32_t &) { return 0; });
}

int d_ieee_to_ieee(void *value, int, int)
{
    return convert_in_place<std::uint64_t>(value, false, true, [](std::uint64_t &) { return 0; });
}

int f_ieee_to_nsk(void *value, int source, int)
{
    return convert_in_place<std::uint32_t>(value, ieee_msb(source), true, [](std::uint32_t &bits) {
        bits = f_ieee_bits_to_nsk(bits);
        return 0;
    });
}

int f_nsk_to_ieee(void *value, int, int target)
{
    return convert_in_place<std::uint32_t>(value, true, ieee_msb(target), [](std::uint32_t &bits) {
        return f_nsk_bits_to_ieee(bits, bits);
    });
}

int d_ieee_to_nsk(void *value, int source, int)
{
    return convert_in_place<std::uint64_t>(value, ieee_msb(source), true, [](std::uint64_t &bits) {
        return d_ieee_bits_to_nsk(bits, bits);
    });
}

int d_nsk_to_ieee(void *value, int, int target)
{
    return convert_in_place<std::uint64_t>(value, true, ieee_msb(target), [](std::uint64_t &bits) {
        bits = d_nsk_bits_to_ieee(bits);
        return 0;
    });
}

int f_ieee_to_os390(void *value, int source, int)
{
    return convert_in_place<std::uint32_t>(value, ieee_msb(source), true, [](std::uint32_t &bits) {
        return ieee_bits_to_os390<Single>(bits, bits);
    });
}

int f_os390_to_ieee(void *value, int, int target)
{
    return convert_in_place<std::uint32_t>(value, true, ieee_msb(target), [](std::uint32_t &bits) {
        return os390_bits_to_ieee<Single>(bits, bits);
    });
}

int d_ieee_to_os390(void *value, int source, int)
{
    return convert_in_place<std::uint64_t>(value, ieee_msb(source), true, [](std::uint64_t &bits) {
        return ieee_bits_to_os390<Double>(bits, bits);
    });
}

int d_os390_to_ieee(void *value, int, int target)
{
    return convert_in_place<std::uint64_t>(value, true, ieee_msb(target), [](std::uint64_t &bits) {
        return os390_bits_to_ieee<Double>(bits, bits);
    });
}

/* NSK and OS/390 meet through IEEE; a fault in either step is reported there. */
int f_nsk_to_os390(void *value, int, int)
{
    return convert_in_place<std::uint32_t>(value, true, true, [](std::uint32_t &bits) {
        const int first = f_nsk_bits_to_ieee(bits, bits);
        const int second = ieee_bits_to_os390<Single>(bits, bits);
        return first != 0 ? first : second;
    });
}

int f_os390_to_nsk(void *value, int, int)
{
    return convert_in_place<std::uint32_t>(value, true, true, [](std::uint32_t &bits) {
        const int rc = os390_bits_to_ieee<Single>(bits, bits);
        bits = f_ieee_bits_to_nsk(bits);
        return rc;
    });
}

int d_nsk_to_os390(void *value, int, int)
{
    return convert_in_place<std::uint64_t>(value, true, true, [](std::uint64_t &bits) {
        bits = d_nsk_bits_to_ieee(bits);
        return ieee_bits_to_os390<Double>(bits, bits);
    });
}

int d_os390_to_nsk(void *value, int, int)
{
    return convert_in_place<std::uint64_t>(value, true, true, [](std::uint64_t &bits) {
        const int first = os390_bits_to_ieee<Double>(bits, bits);
        const int second = d_ieee_bits_to_nsk(bits, bits);
        return first != 0 ? first : second;
    });
}

/* ---- trel_atof -------------------------------------------------------------------- */

namespace {

bool is_blank(char c)
{
    return c == ' ' || c == '\t';
}

bool is_digit(char c)
{
    return c >= '0' && c <= '9';
}

constexpr long double kPow10[10] = {1e0L, 1e1L, 1e2L, 1e3L, 1e4L,
                                    1e5L, 1e6L, 1e7L, 1e8L, 1e9L};

/*
 * Decimal digits gathered nine at a time into a long double. Once the
 * accumulated value holds more digits than a long double can tell apart,
 * further digits are only counted (dropped), so that absurdly long texts
 * neither overflow nor lose their magnitude.
 */
class DigitRun {
public:
    explicit DigitRun(long double saturation) : saturation_(saturation) {}

    /* Reads digits from p on; returns the first non-digit. */
    const char *read(const char *p)
    {
        for (; is_digit(*p); ++p) {
            any_ = true;
            if (value_ >= saturation_) {
                ++dropped_;
                continue;
            }
            group_ = group_ * 10 + static_cast<unsigned>(*p - '0');
            if (++in_group_ == 9)
                flush();
        }
        flush();
        return p;
    }

    bool any() const { return any_; }
    long double value() const { return value_; }
    long taken() const { return taken_; }     /* digits accumulated */
    long dropped() const { return dropped_; } /* digits only counted */

private:
    void flush()
    {
        if (in_group_ == 0)
            return;
        value_ = value_ * kPow10[in_group_] + static_cast<long double>(group_);
        taken_ += in_group_;
        group_ = 0;
        in_group_ = 0;
    }

    long double saturation_;
    long double value_ = 0;
    unsigned group_ = 0;
    int in_group_ = 0;
    long taken_ = 0;
    long dropped_ = 0;
    bool any_ = false;
};

/* 10^n as e^(n ln 10), n >= 0 (infinite beyond the long double range). */
long double power_of_ten(long n)
{
    static const long double ln10 = std::log(10.0L);
    return std::exp(static_cast<long double>(n) * ln10);
}

double parse_number(const char *p)
{
    while (is_blank(*p))
        ++p;
    bool negative = false;
    if (*p == '-' || *p == '+') {
        negative = *p == '-';
        ++p;
    }

    DigitRun whole(1e36L);
    p = whole.read(p);
    DigitRun fraction(1e27L);
    if (*p == '.' || *p == ',')
        p = fraction.read(p + 1);
    if (!whole.any() && !fraction.any())
        return 0.0;

    long exponent = 0;
    if (*p == 'e' || *p == 'E') {
        ++p;
        bool exponent_negative = false;
        if (*p == '-' || *p == '+') {
            exponent_negative = *p == '-';
            ++p;
        }
        if (!is_digit(*p))
            return 0.0;
        for (; is_digit(*p); ++p)
            if (exponent < 1000000)
                exponent = exponent * 10 + (*p - '0');
        if (exponent_negative)
            exponent = -exponent;
    }
    while (is_blank(*p))
        ++p;
    if (*p != '\0')
        return 0.0;

    long double value = whole.value();
    if (fraction.taken() > 0)
        value += fraction.value() / std::pow(10.0L, static_cast<long double>(fraction.taken()));
    if (value == 0)
        return negative ? -0.0 : 0.0;
    const long scale = exponent + whole.dropped();
    if (scale > 0)
        value *= power_of_ten(scale);
    else if (scale < 0)
        value /= power_of_ten(-scale);
    if (negative)
        value = -value;
    return static_cast<double>(value);
}

} // namespace

double trel_atof(const char *text)
{
    if (text == nullptr)
        return 0.0;
    const int saved_errno = errno; /* exp and pow may set ERANGE */
    const double value = parse_number(text);
    errno = saved_errno;
    return value;
}
