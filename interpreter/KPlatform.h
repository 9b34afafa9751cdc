// KPlatform: every service the operating system provides to the interpreter
// and its hosts. Nothing else in the project calls the operating system.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>

namespace KPlat {

// Memory for element buffers. Small blocks come from malloc; large blocks are
// mapped with transparent huge pages and recycled through a small cache so a
// loop that builds big arrays does not map and unmap every time.
void* MemAlloc(size_t bytes, bool zero);
void* MemRealloc(void* p, size_t oldBytes, size_t newBytes, bool zeroTail);
void MemFree(void* p);

// Errors.
int LastErrno();
std::string ErrorText(int err);

// Text crossing the host boundary: UTF-8 <-> Windows-1252. Every byte
// survives a round trip; characters Windows-1252 cannot hold become "?".
std::string Utf8ToCp1252(const std::string& s);
std::string Cp1252ToUtf8(const std::string& s);
bool IsValidUtf8(const std::string& s);

// Local time now, as days since 1899-12-30 with the fraction of the day.
double NowLocalDays();
// Seconds east of UTC for the local zone at the given Unix time.
long LocalOffsetSeconds(int64_t unixSeconds);

// Random bytes from the operating system (UUIDs, seeds).
bool RandomBytes(void* buf, size_t n);

// Paths: the language's "\" separated form <-> the system's "/" form.
std::string ToSystemPath(const std::string& langPath);
std::string FromSystemPath(const std::string& sysPath);
// Current directory in the language's form, ending with "\".
std::string CurrentDir();

// Whole-file access for hosts (script files). False on failure.
bool ReadFile(const std::string& sysPath, std::string& out);
bool WriteFile(const std::string& sysPath, const std::string& data);
bool FileExists(const std::string& sysPath);
bool MakeDir(const std::string& sysPath);
bool RenameFile(const std::string& from, const std::string& to);
bool RemoveFile(const std::string& sysPath);

}  // namespace KPlat

// ---------------------------------------------------------------- raw file I/O
// Positioned reads and writes on an open descriptor, for files the
// interpreter keeps open and updates in place (file-bound dictionaries).
// Fd owns the descriptor and closes it on destruction.
namespace KPlat {

class Fd {
 public:
  Fd() = default;
  explicit Fd(int fd) : fd_(fd) {}
  ~Fd();
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  Fd(Fd&& o) noexcept : fd_(o.fd_) { o.fd_ = -1; }
  Fd& operator=(Fd&& o) noexcept;
  bool Valid() const { return fd_ >= 0; }
  int Get() const { return fd_; }

 private:
  int fd_ = -1;
};

// Opens sysPath for reading and writing (creating it when create is set) or
// for reading only. An invalid Fd on failure (LastErrno tells why).
Fd FdOpen(const std::string& sysPath, bool writable, bool create);
// The file's size in bytes, or -1.
int64_t FdSize(const Fd& fd);
// Reads or writes exactly n bytes at offset; false on any failure or short transfer.
bool FdReadAt(const Fd& fd, void* buf, size_t n, int64_t offset);
bool FdWriteAt(const Fd& fd, const void* buf, size_t n, int64_t offset);
// Forces written data to the device.
bool FdSync(const Fd& fd);
// The device and inode numbers that identify the open file (false on failure).
bool FdIdentity(const Fd& fd, uint64_t& device, uint64_t& inode);

}  // namespace KPlat
