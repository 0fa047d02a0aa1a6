// Banned client addresses. TestWrongIP itself is a method of the server object.
#pragma once
#include <string>

// True when Text holds a character other than digits and '.' (and '*', '-' for a mask).
bool HasWrongChars(const std::string& Text, bool PlainAddress);
