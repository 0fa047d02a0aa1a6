// The Range header of a partial GET: which bytes of a file it asks for.
#pragma once
#include <cstdint>
#include <string>

enum class TRangeAnswer {
  Ignore,         // no usable single byte range: the whole file goes out as usual
  Partial,        // first..last (inclusive) of the file
  Unsatisfiable,  // the range starts at or beyond the end
};

// A Range value "bytes=a-b", "bytes=a-" or "bytes=-n" against a file of size bytes. Several
// ranges, another unit or anything malformed is Ignore; numbers too large for 64 bits count
// as "very large" rather than as malformed.
TRangeAnswer ParseByteRange(const std::string& value, int64_t size, int64_t& first, int64_t& last);
