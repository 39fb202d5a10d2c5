// Whole-file reads and safe replacement, for files that must never be left half written.
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

// How a save treats the file it is about to change.
enum class WriteMethod {
  Replace,  // a temporary file in the same folder, renamed over the old one
  InPlace,  // the old file overwritten and cut to length: it stays the same file
  Refuse,   // not to be written at all
};
struct WriteDecision {
  WriteMethod method = WriteMethod::Replace;
  std::string reason;  // why, for InPlace and Refuse
};

// What a save needs to know of the file it changes and of who saves.
struct FileFacts {
  bool exists = false;
  bool regular = true;
  bool writable = true;     // the saving user may write it
  bool ownerKept = true;    // a file the saving user creates can get the owner and group
  bool hasAcl = false;      // an access list beyond the mode bits
  unsigned long links = 1;  // hard links
};

// A file the user may not write is refused; one that a new file could not stand in for (other
// hard links, an access list, an owner or group the user cannot give) is written in place;
// anything else is replaced.
WriteDecision DecideWrite(const FileFacts& facts);

// Writes a file so that it is never half written and never stops being what the user made it:
// by default the text goes to a temporary file in the target's folder, which commit() flushes
// to disk and renames over the target (keeping its mode, owner and group; a new file gets
// 0600). A file DecideWrite keeps in place is overwritten instead, once the whole text is known
// and its room reserved; a file it refuses is left alone and commit() fails with the reason.
// A symbolic link is followed, even to a target that does not exist yet, so the link stays.
// Without a successful commit (any failure, or destruction first) the target is untouched and
// the temporary file removed. A commit also removes the temporary files of earlier saves of
// the same file that were killed before they could (those no process holds any more).
class AtomicFileWriter {
 public:
  explicit AtomicFileWriter(const std::string& path);
  ~AtomicFileWriter();
  AtomicFileWriter(const AtomicFileWriter&) = delete;
  AtomicFileWriter& operator=(const AtomicFileWriter&) = delete;

  void append(std::string_view data);  // failures are kept for commit() to report
  bool commit(std::string* reason);

  WriteMethod method() const { return method_; }
  // The file written in the end: the path with its symbolic links followed.
  const std::string& target() const { return target_; }

 private:
  static constexpr std::size_t kBufferSize = 64 * 1024;
  void openTemporary(const FileFacts& facts, unsigned owner, unsigned group, unsigned mode);
  void flush();
  void fail(const std::string& what, int err);
  void discard();
  bool writeInPlace();
  void removeStaleTemporaries() const;

  std::string target_;
  std::string temp_;
  int fd_ = -1;
  WriteMethod method_ = WriteMethod::Replace;
  bool ok_ = true;
  std::string error_;
  std::string buffer_;
};

// AtomicFileWriter for text already whole in memory.
bool ReplaceFileAtomically(const std::string& path, std::string_view content, std::string* reason);

}  // namespace varnley
