// The temporary files of a CGI run: created and reopened by name in the program folder,
// read and written through plain descriptors. Names are cp1251.
#pragma once
#include <cstdint>
#include <string>

#include "platform/Files.h"

// Read and write, emptied, close-on-exec; never follows a symbolic link planted under the name.
THandle CreateTempFile(const std::string& path);
// The same, only where nothing has the name yet (no file, folder or link): INVALID_HANDLE_VALUE
// with errno EEXIST where something has.
THandle CreateNewTempFile(const std::string& path);
// Read and write, close-on-exec, in folder but without a name: nothing else can open it, and it
// goes when the last descriptor closes. INVALID_HANDLE_VALUE on failure.
THandle CreateUnnamedTempFile(const std::string& folder);
// Removes the name; an open descriptor keeps the data alive until it closes.
bool DeleteFileName(const std::string& path);

// All of size bytes at offset, without moving the position; false when not all were written.
bool WriteAllAt(THandle handle, const char* data, size_t size, int64_t offset);
// Up to count bytes from offset without moving the position; -1 on failure.
int64_t ReadAt(THandle handle, char* buffer, size_t count, int64_t offset);
bool SeekToStart(THandle handle);
// The system's message text for the last failed call of this thread.
std::string LastErrorText();
