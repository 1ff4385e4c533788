// Number and text conversion with the option handlers' rules: integers
// after leading blanks, an optional sign, decimal or hexadecimal ("$", "x",
// "X", "0x", "0X"); floating values in plain decimal notation with the
// locale's decimal separator. The throwing forms raise EConvertError with
// "'%s' is not a valid integer value" or "'%s' is not a valid floating point
// value"; the ...Def forms give ADefault instead.
#pragma once

#include <cstdint>
#include <string>

namespace engine {

int32_t StrToInt(const std::string &AText);
int64_t StrToInt64(const std::string &AText);
int32_t StrToIntDef(const std::string &AText, int32_t ADefault);
double StrToFloat(const std::string &AText);
// For the single-precision settings: a value beyond float range is malformed too.
float StrToFloat32(const std::string &AText);
double StrToFloatDef(const std::string &AText, double ADefault);
// AText without leading and trailing white space.
std::string Trim(const std::string &AText);
bool IsBlankText(const std::string &AText);

}  // namespace engine
