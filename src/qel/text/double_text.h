// Doubles as their shortest round-trip decimal text, written without the
// C++ library's floating-point conversions.
#pragma once

#include <cstddef>
#include <cstdint>

namespace qel::text {

// The most any function below writes, scratch included.
inline constexpr std::size_t kDoubleTextRoom = 40;

// Writes the shortest decimal that reads back as v (among decimals of as
// few digits, the one nearest v; ties to the even one) in the form
// std::to_chars(double) gives, byte for byte: fixed notation ("123.45",
// "0.001", whole numbers exactly, "-0") unless the exponent form ("1e+22",
// "1.5e-07") is strictly shorter; "inf", "-inf", "nan", "-nan" for non-finite values. Returns the end.
// REQUIRES: room for kDoubleTextRoom bytes at p.
char* write_double(char* p, double v) noexcept;

// The JSON form of the same text: ".0" follows a text with neither '.' nor
// an exponent ("1.0", "-0.0"); non-finite values are `null`.
// REQUIRES: room for kDoubleTextRoom bytes at p.
char* write_json_double(char* p, double v) noexcept;

// write_json_double(p, v) for a v that was made as scaled * 10^-places (in
// whatever rounding): when that decimal is provably v's shortest form its text
// comes from the integer, else from v.
// REQUIRES: places <= 22; room for kDoubleTextRoom bytes at p.
char* write_json_scaled(char* p, std::int64_t scaled, unsigned places, double v) noexcept;

}  // namespace qel::text
