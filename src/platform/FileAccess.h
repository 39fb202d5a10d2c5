// Whole-file reads and atomic replacement, for files that must never be left half written.
#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <string_view>

namespace varnley {

enum class ReadStatus { Ok, Missing, Failed };

// Reads the whole file into content. Missing: no such file. Failed: it exists but could not
// be read, or holds more than maxSize bytes (reason says why).
ReadStatus ReadWholeFile(const std::string& path, std::string& content, std::size_t maxSize,
                         std::string* reason);

// Reads the file piece by piece, calling fn(piece) with each (at most chunkSize bytes), so a
// large file needs no buffer of its own size. fileSize, when given, receives the size the
// file had when opened. Same statuses as ReadWholeFile; after Failed, fn may already have
// seen part of the file.
ReadStatus ReadFileInChunks(const std::string& path, std::size_t maxSize, std::size_t chunkSize,
                            const std::function<void(std::string_view)>& fn,
                            std::size_t* fileSize, std::string* reason);

// Writes content to a temporary file in the target's folder, flushes it to disk and renames it
// over the target, so a reader sees either the old file or the new one, never a mix. An
// existing file keeps its permission bits; a new one gets 0600. A symbolic link is followed, so
// the link stays and its target is replaced. On failure the target is untouched and the
// temporary file removed.
bool ReplaceFileAtomically(const std::string& path, std::string_view content, std::string* reason);

}  // namespace varnley
