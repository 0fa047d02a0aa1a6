// Parsing the head of one request into its record.
#pragma once
#include <string>
#include <string_view>

class TServerState;
struct mParser;

// The request line, its target and the header lines into the record; a head that cannot be
// served as it stands is marked (StatusCode, CloseConnection) for the answer to refuse.
void ParseRequest(TServerState& Server, mParser* p);
// Last match of Name (case-insensitive) among the record's Variables, lower-cased; "" if none.
std::string GetHeaderValue(mParser* p, std::string_view Name);
// 501 when the request carries Transfer-Encoding (never decoded here), 400 when its
// Content-Length lines disagree, 0 when its body is framed by one length or none.
int FramingRefusal(mParser* p);
// "HTTP/1.x" gives x, a higher major M.m gives M*1000+m, anything else -1000.
int ParseHttpVersion(const std::string& Protocol);
