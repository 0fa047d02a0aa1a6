// Code page 1251 inside, UTF-8 outside: the one place where text changes its encoding,
// and the cp1251-aware case folding that must not depend on the C locale.
#pragma once
#include <string>
#include <string_view>

// A character that code page 1251 cannot hold (an accented Latin letter, CJK, an emoji) is kept
// inside the program as kForeignMark followed by the character's UTF-8 bytes. The mark is the one
// byte the code page leaves unassigned, so no cp1251 text holds it, and the UTF-8 bytes after it
// are never ASCII: '/', '.', ':' and NUL keep their meaning in every text that carries such a
// character. Utf8ToCp1251 makes this form and Cp1251ToUtf8 undoes it, at every boundary with the
// system or the user.
inline constexpr char kForeignMark = '\x98';

// The internal form back to UTF-8; a mark that starts no internal form stands for U+0098.
std::string Cp1251ToUtf8(std::string_view text);
// Bytes that are not well-formed UTF-8 become one '?' each.
std::string Utf8ToCp1251(std::string_view text);

// One character of internal text at text[i]: its code point, and how many bytes it takes (one,
// or the mark and its UTF-8 bytes). i must lie inside text.
size_t ReadCharacter(std::string_view text, size_t i, char32_t& u);
// Appends the character as internal text: its cp1251 byte, or the internal form.
void AppendCharacter(std::string& out, char32_t u);
// Decodes one well-formed UTF-8 character at the start of text; 0 when it does not begin with one
// (stray continuation, truncation, overlong form, surrogate, beyond U+10FFFF).
size_t ReadUtf8(std::string_view text, char32_t& u);
void AppendUtf8(std::string& out, char32_t u);

unsigned char Cp1251ToLower(unsigned char c);
unsigned char Cp1251ToUpper(unsigned char c);
// The string forms leave the internal form of a character beyond the code page as it is.
std::string Cp1251LowerCase(std::string_view text);
std::string Cp1251UpperCase(std::string_view text);
bool Cp1251SameText(std::string_view a, std::string_view b);
// 0..15 for a hexadecimal digit of either case, -1 for any other character.
int HexDigitValue(char c);
// '*' any run, '?' any one character; letters compared without regard to case.
bool Cp1251WildcardMatch(std::string_view pattern, std::string_view name);
