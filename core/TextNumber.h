#pragma once
#include <string_view>

// A text read as a decimal integer the way the settings file and the combo
// boxes are read: leading blanks, an optional sign, digits up to the first
// other character; no digits give 0. Values past the int range are clamped.
int LeadingDecimal(std::string_view text);
