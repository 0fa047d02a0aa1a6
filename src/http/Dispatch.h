// Answering one parsed request.
#pragma once
#include <cstdint>
#include <string>

class TServerState;
struct mParser;

void DispatchRequest(TServerState& Server, mParser* p);
// RFC 1123 date, "" when the time cannot be converted.
// The text stays valid until the next call.
const std::string& FileTimeToHttpDate(int64_t unixTime);
