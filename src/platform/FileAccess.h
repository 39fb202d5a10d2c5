// Whole-file reads and atomic replacement, for files that must never be left half written.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace varnley {

enum class ReadStatus { Ok, Missing, Failed };

// Reads the whole file into content. Missing: no such file. Failed: it exists but could not
// be read, or holds more than maxSize bytes (reason says why).
ReadStatus ReadWholeFile(const std::string& path, std::string& content, std::size_t maxSize,
                         std::string* reason);

// Writes content to a temporary file in the target's folder, flushes it to disk and renames it
// over the target, so a reader sees either the old file or the new one, never a mix. An
// existing file keeps its permission bits; a new one gets 0600. A symbolic link is followed, so
// the link stays and its target is replaced. On failure the target is untouched and the
// temporary file removed.
bool ReplaceFileAtomically(const std::string& path, std::string_view content, std::string* reason);

}  // namespace varnley
