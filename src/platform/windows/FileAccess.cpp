#include "platform/FileAccess.h"

#include <algorithm>
#include <random>

#include "platform/PathText.h"
#include "platform/windows/Wide.h"

namespace varnley {

namespace {

void SetReason(std::string* reason, const std::string& what, DWORD err) {
  if (reason) *reason = what + ": " + SystemErrorText(err);
}

// A handle closed when it goes out of scope.
class Handle {
 public:
  explicit Handle(HANDLE h = INVALID_HANDLE_VALUE) : h_(h) {}
  ~Handle() { reset(); }
  Handle(const Handle&) = delete;
  Handle& operator=(const Handle&) = delete;
  HANDLE get() const { return h_; }
  bool valid() const { return h_ != INVALID_HANDLE_VALUE; }
  void assign(HANDLE h) {
    reset();
    h_ = h;
  }
  bool reset() {
    const bool ok = !valid() || ::CloseHandle(h_);
    h_ = INVALID_HANDLE_VALUE;
    return ok;
  }

 private:
  HANDLE h_;
};

std::wstring WidePath(const std::string& path) { return PathFromUtf8(path).wstring(); }

bool WriteAll(HANDLE h, std::string_view data) {
  while (!data.empty()) {
    const DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(data.size(), 1u << 30));
    DWORD written = 0;
    if (!::WriteFile(h, data.data(), chunk, &written, nullptr)) return false;
    data.remove_prefix(written);
  }
  return true;
}

// Opens a file on disk for reading; a folder, device or pipe in its place is refused.
ReadStatus OpenRegular(const std::string& path, Handle& file, std::size_t& size,
                       std::string* reason) {
  // Others may go on reading, writing and even replacing it while it is read.
  file.assign(::CreateFileW(WidePath(path).c_str(), GENERIC_READ,
                            FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                            OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file.valid()) {
    const DWORD err = ::GetLastError();
    if (err == ERROR_FILE_NOT_FOUND || err == ERROR_PATH_NOT_FOUND) return ReadStatus::Missing;
    const DWORD attributes = ::GetFileAttributesW(WidePath(path).c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY)) {
      if (reason) *reason = "it is a folder, not a regular file";
    } else {
      SetReason(reason, "open", err);
    }
    return ReadStatus::Failed;
  }
  LARGE_INTEGER bytes{};
  const DWORD type = ::GetFileType(file.get());
  if (type != FILE_TYPE_DISK || !::GetFileSizeEx(file.get(), &bytes)) {
    file.reset();
    if (reason)
      *reason = type == FILE_TYPE_PIPE   ? "it is a named pipe, not a regular file"
                : type == FILE_TYPE_CHAR ? "it is a device, not a regular file"
                                         : "it is not a regular file";
    return ReadStatus::Failed;
  }
  size = static_cast<std::size_t>(bytes.QuadPart);
  return ReadStatus::Ok;
}

}  // namespace

ReadStatus ReadFileInChunks(const std::string& path, std::size_t maxSize, std::size_t chunkSize,
                            const std::function<void(std::string_view)>& fn, std::size_t* fileSize,
                            std::string* reason) {
  Handle file;
  std::size_t expected = 0;
  if (const ReadStatus status = OpenRegular(path, file, expected, reason); status != ReadStatus::Ok)
    return status;
  if (fileSize) *fileSize = expected;
  std::string buffer(std::clamp<std::size_t>(chunkSize, 1, 1u << 30), '\0');
  std::size_t total = 0;
  for (;;) {
    DWORD n = 0;
    if (!::ReadFile(file.get(), buffer.data(), static_cast<DWORD>(buffer.size()), &n, nullptr)) {
      SetReason(reason, "read", ::GetLastError());
      return ReadStatus::Failed;
    }
    if (n == 0) break;
    if ((total += n) > maxSize) {
      SetReason(reason, "read", ERROR_FILE_TOO_LARGE);
      return ReadStatus::Failed;
    }
    fn(std::string_view(buffer.data(), n));
  }
  return ReadStatus::Ok;
}

ReadStatus ReadWholeFile(const std::string& path, std::string& content, std::size_t maxSize,
                         std::string* reason) {
  content.clear();
  const ReadStatus status = ReadFileInChunks(
      path, maxSize, 64 * 1024, [&](std::string_view piece) { content.append(piece); }, nullptr,
      reason);
  if (status != ReadStatus::Ok) content.clear();
  return status;
}

namespace {

constexpr std::wstring_view kTempTag = L".varnley-";
constexpr std::size_t kTempRandom = 6;

FileFacts FactsOf(const std::wstring& path) {
  FileFacts facts;
  const DWORD attributes = ::GetFileAttributesW(path.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) return facts;
  facts.exists = true;
  facts.regular = (attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_DEVICE)) == 0;
  // The read-only attribute is the user's "do not change this file"; access lists are left to
  // the save itself to run into. Replacing a file keeps its access list, owner and attributes,
  // so only hard links need the file written in place.
  facts.writable = (attributes & FILE_ATTRIBUTE_READONLY) == 0;
  const Handle file(::CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                  OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  BY_HANDLE_FILE_INFORMATION info{};
  if (file.valid() && ::GetFileInformationByHandle(file.get(), &info))
    facts.links = info.nNumberOfLinks;
  return facts;
}

std::wstring TempPrefix(const std::wstring& target) {
  const std::filesystem::path p(target);
  return (p.parent_path() / (L"." + p.filename().wstring() + std::wstring(kTempTag))).wstring();
}

}  // namespace

// On Windows the text is kept whole until commit(): a settings file is small, and the
// temporary file then lives only as long as the writing of it.
AtomicFileWriter::AtomicFileWriter(const std::string& path) : target_(path) {
  const WriteDecision decision = DecideWrite(FactsOf(WidePath(target_)));
  method_ = decision.method;
  if (method_ == WriteMethod::Refuse) {
    ok_ = false;
    error_ = decision.reason;
  }
}

AtomicFileWriter::~AtomicFileWriter() { discard(); }

void AtomicFileWriter::discard() {
  if (!temp_.empty()) ::DeleteFileW(WidePath(temp_).c_str());
  temp_.clear();
}

void AtomicFileWriter::fail(const std::string& what, int err) {
  if (ok_) error_ = what + ": " + SystemErrorText(static_cast<DWORD>(err));
  ok_ = false;
  discard();
}

void AtomicFileWriter::append(std::string_view data) {
  if (ok_) buffer_.append(data);
}

bool AtomicFileWriter::writeInPlace() {
  Handle file(::CreateFileW(WidePath(target_).c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                            OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file.valid()) {
    fail("open", static_cast<int>(::GetLastError()));
    return false;
  }
  LARGE_INTEGER size{}, end{};
  end.QuadPart = static_cast<LONGLONG>(buffer_.size());
  // Room for the whole text first: running out of space must not leave the file cut short.
  const char* what = "reserve space";
  bool ok =
      ::GetFileSizeEx(file.get(), &size) &&
      (size.QuadPart >= end.QuadPart ||
       (::SetFilePointerEx(file.get(), end, nullptr, FILE_BEGIN) && ::SetEndOfFile(file.get())));
  if (ok) {
    what = "write";
    const LARGE_INTEGER start{};
    ok =
        ::SetFilePointerEx(file.get(), start, nullptr, FILE_BEGIN) && WriteAll(file.get(), buffer_);
  }
  if (ok) {
    what = "truncate";
    ok = ::SetEndOfFile(file.get());
  }
  if (ok) {
    what = "flush";
    ok = ::FlushFileBuffers(file.get());
  }
  if (!ok) fail(what, static_cast<int>(::GetLastError()));
  return ok;
}

bool AtomicFileWriter::commit(std::string* reason) {
  if (ok_ && method_ == WriteMethod::InPlace) {
    writeInPlace();
  } else if (ok_) {
    const std::wstring target = WidePath(target_);
    Handle file;
    std::wstring temp;
    std::mt19937 random(std::random_device{}());
    for (int attempt = 0; attempt < 16 && !file.valid(); ++attempt) {
      temp = TempPrefix(target);
      for (std::size_t k = 0; k < kTempRandom; ++k)
        temp += L"abcdefghijklmnopqrstuvwxyz0123456789"[random() % 36];
      // No sharing: while the save runs, a later save cannot remove the file as stale.
      file.assign(::CreateFileW(temp.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                FILE_ATTRIBUTE_NORMAL, nullptr));
      if (!file.valid() && ::GetLastError() != ERROR_FILE_EXISTS) break;
    }
    if (!file.valid()) {
      const DWORD err = ::GetLastError();
      // A folder that takes no new files may still hold a file the user may write.
      if (err == ERROR_ACCESS_DENIED && FactsOf(target).exists) {
        method_ = WriteMethod::InPlace;
        writeInPlace();
      } else {
        fail("create temporary file", static_cast<int>(err));
      }
    } else {
      temp_ = Narrow(temp);
      if (!WriteAll(file.get(), buffer_) || !::FlushFileBuffers(file.get()))
        fail("write", static_cast<int>(::GetLastError()));
      else if (!file.reset())
        fail("close", static_cast<int>(::GetLastError()));
    }
    if (ok_ && method_ == WriteMethod::Replace) {
      // ReplaceFileW keeps the old file's access list, attributes and identity; a new file
      // has none to keep and is moved into place.
      const bool replaced = FactsOf(target).exists
                                ? ::ReplaceFileW(target.c_str(), temp.c_str(), nullptr,
                                                 REPLACEFILE_IGNORE_MERGE_ERRORS, nullptr, nullptr)
                                : ::MoveFileExW(temp.c_str(), target.c_str(),
                                                MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH);
      if (replaced)
        temp_.clear();
      else
        fail("replace", static_cast<int>(::GetLastError()));
    }
  }
  buffer_.clear();
  if (!ok_) {
    if (reason) *reason = error_;
    return false;
  }
  removeStaleTemporaries();
  return true;
}

// Temporaries of saves that were killed: one a running save holds cannot be deleted, as it is
// open without sharing.
void AtomicFileWriter::removeStaleTemporaries() const {
  const std::wstring prefix = TempPrefix(WidePath(target_));
  const std::filesystem::path folder = std::filesystem::path(prefix).parent_path();
  WIN32_FIND_DATAW entry;
  const HANDLE find = ::FindFirstFileW((prefix + L"*").c_str(), &entry);
  if (find == INVALID_HANDLE_VALUE) return;
  const std::size_t nameSize = std::filesystem::path(prefix).filename().wstring().size();
  do {
    if ((entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0 &&
        std::wstring_view(entry.cFileName).size() == nameSize + kTempRandom)
      ::DeleteFileW((folder / entry.cFileName).c_str());
  } while (::FindNextFileW(find, &entry));
  ::FindClose(find);
}

}  // namespace varnley
