// HTTP dates: a file's time written as one, and one a client sent read back.
#pragma once
#include <cstdint>
#include <string>

// RFC 1123 date, "" when the time cannot be converted.
// The text stays valid until the next call.
const std::string& FileTimeToHttpDate(int64_t unixTime);

// An HTTP date in any of its three forms (RFC 1123, RFC 850, asctime), names in any letter
// case; seconds since 1970 UTC. False for anything else, an impossible day included.
bool ParseHttpDate(const std::string& text, int64_t& unixTime);
