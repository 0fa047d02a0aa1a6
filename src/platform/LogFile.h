// The log file, kept open between records. Records of one turn of the event loop are gathered
// and appended with one write when the turn ends; outside a turn each goes out at once.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

// Gathered bytes past which the records go out before the turn ends, so one busy turn never
// holds much in memory nor delays the log by much.
constexpr size_t kLogGatherBytes = 64 * 1024;

// Appends one record to a log file, creating it when missing, and only ever to a regular file (or
// a link to one): a named pipe or a device there is left alone, so the one thread never waits on
// it. A file already larger than rotateAbove bytes is first renamed to path + ".1" (replacing
// the older one), so the record starts a new file and no record is split between the two. Before
// each write the file now named path is looked up: a log renamed, deleted or replaced meanwhile
// is left alone and the records go to the file of that name. Inside a turn the record is only
// gathered (true); otherwise false when anything failed.
// The record is text followed by tail (its line end, say), joined here without a copy of text.
bool AppendLogRecord(const std::string& path, std::string_view text, int64_t rotateAbove,
                     std::string_view tail = {});

// From here records are gathered, until EndLogGathering.
void BeginLogGathering();
// Writes what was gathered; records go out at once again until the next BeginLogGathering.
// Begin and end need not pair up: a turn run inside another's handler (a modal loop) ends the
// gathering of both, so no record waits in memory while a loop waits.
void EndLogGathering();
// Writes what has been gathered so far; gathering goes on if a turn is under way.
void FlushLogFile();
// Writes what was gathered and lets go of the descriptor (the next record opens the file again).
void CloseLogFile();
