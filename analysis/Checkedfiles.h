// Files as every part of the program reads and writes them: an input is read only when it is a
// regular file of a bounded size (a pipe, a device or a folder is refused at once, and nothing
// waits for a writer), and an output is written whole or not at all.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

// Opens path for reading if it is a regular file of at most maxBytes; returns the descriptor
// (blocking, close-on-exec) or -1 with "path: reason" in error. The open never blocks (a FIFO
// is opened without waiting for a writer) and the check is made on the opened descriptor.
// `what` names the kind of file in the refusals: "is a folder, not a calibration file".
int OpenRegularFile(const std::string& path, int64_t maxBytes, const char* what,
                    std::string* error);

// The whole of a regular file of at most maxBytes (checked as OpenRegularFile does, and again
// while reading, should it grow); false with "path: reason".
bool ReadRegularFile(const std::string& path, int64_t maxBytes, const char* what, std::string* text,
                     std::string* error);

// "1 MB", "64 MB", "256 GB": a limit as the messages state it.
std::string ByteLimitText(int64_t bytes);

// Writes bytes to path so that a reader sees the old file or the whole new one, never a part:
// into a temporary file beside it, renamed over it once complete (a symbolic link is followed
// and kept). A path that is no regular file (a device, a pipe) is written directly. On failure
// nothing is left behind, the old file stays as it was, and error says "path: reason".
bool WriteFileWhole(const std::string& path, std::string_view bytes, std::string* error);

// Whether two paths name the same file: the same device and inode (through links of either
// kind), or, for names not there yet, the same name in the same folder.
bool SameFile(const std::string& a, const std::string& b);

// Whether path names something other than a regular file that exists (a device, a pipe).
bool IsSpecialFile(const std::string& path);

// Text for a one-line message: control characters (a newline in a file name) as \n, \t, \r
// or \xNN, and a backslash as \\, so that one message stays one line.
std::string OneLine(std::string_view text);
