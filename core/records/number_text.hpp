// Number texts that read the same in every locale.
//
// printf's "%.1f" follows the process's LC_NUMERIC, which a windowed program sets from the
// desktop: on a German desktop "31.9 GB" would become "31,9 GB". Every number that a text of this
// system shows is formatted here instead, with a full stop for the decimal point and no grouping.
// Pure functions; safe from any thread.
#pragma once

#include <string>

namespace korvex {

// `value` with exactly `decimals` digits after the point (0 to 9), rounded to nearest as printf
// rounds; "nan", "inf" and "-inf" for the values that are no number.
std::string fixedDecimal(double value, int decimals);

}  // namespace korvex
