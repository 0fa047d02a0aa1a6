// Code page 1251 inside, UTF-8 outside: the one place where text changes its encoding,
// and the cp1251-aware case folding that must not depend on the C locale.
#pragma once
#include <string>
#include <string_view>

std::string Cp1251ToUtf8(std::string_view text);
// A character that code page 1251 cannot hold becomes '?'.
std::string Utf8ToCp1251(std::string_view text);

unsigned char Cp1251ToLower(unsigned char c);
unsigned char Cp1251ToUpper(unsigned char c);
std::string Cp1251LowerCase(std::string_view text);
std::string Cp1251UpperCase(std::string_view text);
bool Cp1251SameText(std::string_view a, std::string_view b);
// 0..15 for a hexadecimal digit of either case, -1 for any other character.
int HexDigitValue(char c);
// '*' any run, '?' any one character; letters compared without regard to case.
bool Cp1251WildcardMatch(std::string_view pattern, std::string_view name);
