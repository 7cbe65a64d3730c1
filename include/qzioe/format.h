/* The formatter of the support library and its converters.
 *
 * Output is always QZChar units in a caller's buffer with a capacity; no
 * terminator is ever written. Every function here keeps no state, takes no
 * lock and allocates nothing: it may run on several threads at once (byte
 * strings go through the kernel's shared byte transcoder, which must allow
 * that). A result that does not fit is QZS_BUFFER_TOO_SMALL with the length
 * it needs still reported, so the caller can retry with that capacity.
 *
 * A missing value is a double whose top 16 bits are all ones; it prints as
 * a short code (see skzfDouble). */
#ifndef QZIOE_FORMAT_H
#define QZIOE_FORMAT_H

#include "qz/kernel.h"
#include "qz/status.h"

QZ_EXTERN_C_BEGIN

/* Argument numbers of numbered directives run from 1 to this. */
#define QZ_FORMAT_MAX_ARGUMENTS 10

/* Floating-point precisions above this are taken as this. No double has
 * more than 1074 decimals, so only trailing zeros are ever dropped. */
#define QZ_FORMAT_MAX_PRECISION 1074

/* Replaces units that the byte transcoder did not produce (see skzfString). */
#define QZ_FORMAT_REPLACEMENT 0xfffdu

/* ---- Strings and integers: each writes one piece, whole or not at all. ----
 *
 * *count (may be null) receives the piece's length in units. When the piece
 * is longer than `capacity` the result is QZS_BUFFER_TOO_SMALL and nothing
 * is written. */

/* `length` bytes converted by the kernel's byte transcoder (kernel handle
 * word 46, record word 5), one unit per byte whatever the transcoder makes
 * of them; the transcoder's status is not looked at, and units it did not
 * produce hold QZ_FORMAT_REPLACEMENT. A null string is empty. Without the
 * kernel handle or its transcoder a non-empty string is QZIOE_BAD_HANDLE,
 * whatever the capacity, with *count 0 and nothing written. */
QZ_EXPORT QZStatus skzfString(const char *bytes, uint32_t length, QZChar *destination,
                              uint32_t capacity, uint32_t *count) QZ_NOEXCEPT;

/* `length` units copied unchanged. A null string is empty. */
QZ_EXPORT QZStatus skzfQZString(const QZChar *string, uint32_t length, QZChar *destination,
                                uint32_t capacity, uint32_t *count) QZ_NOEXCEPT;

/* The digits of an unsigned value, most significant first, at least one.
 * A base above 16 is 16; 0 and 1 are 10. Digits above 9 are lower case
 * unless `uppercase` is nonzero. No sign, prefix or padding. */
QZ_EXPORT QZStatus skzfIFast(uint32_t value, uint32_t base, uint8_t uppercase, QZChar *destination,
                             uint32_t capacity, uint32_t *count) QZ_NOEXCEPT;
QZ_EXPORT QZStatus skzfIMax(uint64_t value, uint32_t base, uint8_t uppercase, QZChar *destination,
                            uint32_t capacity, uint32_t *count) QZ_NOEXCEPT;

/* ---- Floating point. Digits are exact: they come from integer arithmetic
 * on the bits of the double, and rounding is half-up on the exact decimal
 * expansion (0.125 to two places is 0.13). ---- */

/* The text of the e, f or g conversion (`conversion` is 'e', 'f' or 'g';
 * anything else is QZS_BAD_VALUE with *count 0) of the magnitude of
 * `value`: the sign is the caller's. `precision` is the number of decimals
 * (e, f) or significant digits (g); a negative one is 0, one above
 * QZ_FORMAT_MAX_PRECISION is that. `uppercase` gives "E" in the exponent and
 * "INF", "NAN". `alternate` keeps the decimal point (and, for g, trailing
 * zeros). `decimal_point` is the unit written for the point.
 *
 * g picks its form on the unrounded value: exponent form when the decimal
 * exponent is at least the precision (the precision then counts decimals of
 * the mantissa minus one, or 0 for precision 0) or below -4 (the precision
 * then counts the mantissa's decimals); otherwise fixed form with precision
 * significant digits. Without `alternate` g drops trailing fraction zeros.
 *
 * Infinities print as "inf", NaNs as "nan". Missing values print as "." for
 * byte 5 equal to 0xFE, "._" for 0xFF, and "." and the unit
 * ((256 - byte 5) mod 256) + 62 otherwise (0xFD "A" up to 0xE4 "Z"); then
 * precision and flags play no part.
 *
 * *count (may be null) receives the length. Too small a capacity is
 * QZS_BUFFER_TOO_SMALL with nothing written; a negative capacity is 0. */
QZ_EXPORT QZStatus skzfDouble(double value, QZChar conversion, QZChar decimal_point,
                              uint8_t uppercase, int32_t precision, uint8_t alternate,
                              QZChar *destination, int32_t capacity, int32_t *count) QZ_NOEXCEPT;

/* skzfDouble of `value` rounded to double. */
QZ_EXPORT QZStatus skzflDouble(long double value, QZChar conversion, QZChar decimal_point,
                               uint8_t uppercase, int32_t precision, uint8_t alternate,
                               QZChar *destination, int32_t capacity, int32_t *count) QZ_NOEXCEPT;

/* The decimal digits of the integer part of |value|, most significant
 * first. With `zeros` (may be null) the trailing zero digits are counted
 * there and not written; without it they are written. *digits (may be null)
 * receives the number of digits written or needed. A magnitude below 1 has
 * no digits. Too small a capacity is QZS_BUFFER_TOO_SMALL with nothing
 * written. The exponent field 2047 reads as a number like any other: an
 * infinity is 2^1024 (309 digits). */
QZ_EXPORT QZStatus skzfIDblToBuff(double value, QZChar *destination, int32_t capacity,
                                  int32_t *digits, int32_t *zeros) QZ_NOEXCEPT;

/* The first `n` decimal digits of the fraction of |value|, truncated; the
 * destination must hold `n` units. With `leading_zeros` (may be null; set
 * to 0 first) the zeros before the first non-zero digit are counted there
 * and the `n` digits written are significant ones; a value without fraction
 * then writes nothing and counts `n` zeros. *count (may be null) receives
 * the number of digits written. Values of 2^52 and more (infinities and
 * NaNs too) have no fraction. Always 0. */
QZ_EXPORT QZStatus skzfFDblToBuff(double value, QZChar *destination, int32_t n, int32_t *count,
                                  int32_t *leading_zeros) QZ_NOEXCEPT;

/* ---- The formatter ----
 *
 * Formats `format` (`format_length` units; 0 means up to its first 0 unit,
 * a null format being empty) with the arguments in the manner of printf.
 * Directives: %[n$][flags][width][.precision][size]conversion, with flags
 * "-+ #0", width and precision as digits, "*" (the next argument, an int)
 * or "*n$" (argument n); sizes h, l, ll, L; conversions d i u o x X (l is
 * 32-bit, ll 64-bit), c C (one unit), s (QZChar text, h: bytes through the
 * kernel transcoder; precision limits the length), S (exactly precision
 * units or, with h, bytes; precision required), e E f g G (L: long double),
 * p P (pointer in hexadecimal) and %%. Anything else is no failure: it is
 * written as "<<" directive text ">>" and formatting goes on.
 *
 * Differences from C: the zero flag pads even with a precision and puts its
 * zeros in front of a "0x" prefix; g of precision 0 is not taken as 1. A
 * format with numbered directives is written after all its arguments, 1 up
 * to the highest number without gaps, have been taken in number order;
 * mixing numbered and sequential directives is not supported.
 *
 * A "%" that is the format's last unit is text. The zero flag does not pad
 * infinities, NaNs and missing values (spaces do). Without the kernel's
 * byte transcoder, h texts are empty fields.
 *
 * `context` (may be null) only supplies the decimal point (its locale's
 * decimal_point); otherwise it is ".". The buffer receives the output up to
 * the last piece (a text run, a sign, a converted value, a padding run)
 * that fit; nothing after a piece that did not fit. *out_length (may be
 * null) is set to 0 first, then to the length of the complete output; a
 * length above UINT32_MAX is reported as UINT32_MAX. A negative capacity,
 * or a null buffer, is no room.
 *
 * Returns 0, QZS_BUFFER_TOO_SMALL (output cut), or QZS_BAD_ARGUMENT_NUMBER
 * at once, *out_length staying 0, for an argument number outside 1 to
 * QZ_FORMAT_MAX_ARGUMENTS or a "*" and digits without "$". */
QZ_EXPORT QZStatus qzzFormatBuffV(const QZFormatContext *context, const QZChar *format,
                                  uint32_t format_length, QZChar *buffer, int32_t capacity,
                                  uint32_t *out_length, va_list arguments) QZ_NOEXCEPT;
QZ_EXPORT QZStatus qzzFormatBuff(const QZFormatContext *context, const QZChar *format,
                                 uint32_t format_length, QZChar *buffer, int32_t capacity,
                                 uint32_t *out_length, ...) QZ_NOEXCEPT;

/* The index of the first of the `length` units equal to `unit`, or -1 when
 * there is none, the string is null or the length is 0 or negative. */
QZ_EXPORT int32_t qzzspos(const QZChar *string, int32_t length, QZChar unit) QZ_NOEXCEPT;

QZ_EXTERN_C_END

#endif
