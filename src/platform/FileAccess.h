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
                            const std::function<void(std::string_view)>& fn, std::size_t* fileSize,
                            std::string* reason);

// Writes a file whole or not at all: the text goes to a temporary file in the target's folder,
// which commit() flushes to disk and renames over the target, so a reader sees either the old
// file or the new one, never a mix. An existing file keeps its permission bits; a new one gets
// 0600. A symbolic link is followed, so the link stays and its target is replaced. Without a
// successful commit (any failure, or destruction first) the target is untouched and the
// temporary file removed.
class AtomicFileWriter {
 public:
  explicit AtomicFileWriter(const std::string& path);
  ~AtomicFileWriter();
  AtomicFileWriter(const AtomicFileWriter&) = delete;
  AtomicFileWriter& operator=(const AtomicFileWriter&) = delete;

  void append(std::string_view data);  // failures are kept for commit() to report
  bool commit(std::string* reason);

 private:
  static constexpr std::size_t kBufferSize = 64 * 1024;
  void flush();
  void fail(const char* what, int err);
  void discard();

  std::string target_;
  std::string temp_;
  int fd_ = -1;
  bool ok_ = true;
  std::string error_;
  std::string buffer_;
};

// AtomicFileWriter for text already whole in memory.
bool ReplaceFileAtomically(const std::string& path, std::string_view content, std::string* reason);

}  // namespace varnley
