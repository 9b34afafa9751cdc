// KPlatform: every service the operating system provides to the interpreter
// and its hosts. Nothing else in the project calls the operating system.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

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

// ---------------------------------------------------------------- write fence
// A path may be written when, after it is made absolute, "." and ".." are
// removed and the symbolic links of its existing part are resolved, it lies
// in a folder "tarq/user" (any case) or on a removable block device. The
// verdicts below come from the walk of `Locate` (see "fenced places"): a
// dangling link is judged where its target would be made; a path the walk
// cannot resolve (a loop, past the system's length limit) is refused. These
// only answer questions; changes go through a Place.
//
// The reason text scripts see when the fence refuses.
extern const char* const kFenceReason;
// Language path ("\" or "/" separators, relative to the current directory).
bool WriteAllowed(const std::string& langPath, const std::string& sysfsRoot = "/sys");
// The same for a path already in the system's form (names read from a
// directory, which may hold any byte but "/").
bool WriteAllowedSys(const std::string& sysPath, const std::string& sysfsRoot = "/sys");
// For deleting: a link as the last component is judged where it lies, since
// deleting removes the link itself, never its target.
bool DeleteAllowedSys(const std::string& sysPath, const std::string& sysfsRoot = "/sys");
// The absolute, normalised path the fence's walk reaches ("" when the walk
// cannot resolve it). A path given with a trailing "/" keeps it.
std::string FenceResolve(const std::string& sysPath);
// The absolute path the system calls of file objects use: like FenceResolve
// but the last component stays as named (a link is not followed, so it can
// be deleted as a link). Missing directories followed by ".." fold away as
// on Windows. The path unchanged when a link on the way cannot be resolved.
std::string NormalPath(const std::string& sysPath);
// True when the file system holding sysPath (or its longest existing
// ancestor) is mounted from a block device whose "removable" attribute under
// sysfsRoot ("<root>/dev/block/<major>:<minor>", or its parent disk) is 1.
bool IsRemovable(const std::string& sysPath, const std::string& sysfsRoot = "/sys");
// A language path in the system's form: "\" becomes "/", Windows-1252
// text becomes UTF-8.
std::string SysPathOf(const std::string& langPath);
// A name read from the system in the language's form: UTF-8 becomes
// Windows-1252; bytes that are not UTF-8 or characters Windows-1252 cannot
// hold become "?".
std::string LangNameOf(const std::string& sysName);

// ---------------------------------------------------------------- file objects
// What statx reports about a path (times in nanoseconds since 1970, UTC).
struct FileInfo {
  bool isDir = false, isReg = false, isLink = false, writable = false;
  int64_t size = 0;
  int64_t createdNs = 0, writtenNs = 0, accessedNs = 0, changedNs = 0;
  uint64_t ino = 0, dev = 0;
};
// follow false: a link describes itself. False (errno set) on failure.
bool Stat(const std::string& sysPath, FileInfo& info, bool follow = true);
bool StatFd(int fd, FileInfo& info);

// Opens a file by the mode letters of file objects ('Q' query, 'R' read,
// 'W' read/write existing, 'X' the same truncated, 'A' read/write created
// when missing). Directories are refused (EISDIR). -1 with errno on failure.
int OpenFile(const std::string& sysPath, char mode);
bool CloseFile(int fd);
// Reads up to n bytes from offset 0 into buf; the count read, -1 with errno.
int64_t ReadInto(int fd, char* buf, int64_t n);
bool ChangeDir(const std::string& sysPath);

// A directory's entries without "." and "..", sorted by name (byte order).
struct DirEntry {
  std::string name;  // as the system holds it
  bool isDir = false;   // a directory (a link to one counts, see isLink)
  bool isLink = false;
  uint64_t dev = 0, ino = 0;  // of the entry itself (a link is not followed)
};
bool ListDir(const std::string& sysPath, std::vector<DirEntry>& out);
// Windows-style name pattern ("*", "?"; "*.*" matches every name).
bool NameMatches(const std::string& pattern, const std::string& name);
// 4 for an ELF executable we may run, else -1.
int ExecType(const std::string& sysPath);

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
// Sets the open file's length.
bool FdTruncate(const Fd& fd, uint64_t size);
// An advisory lock on the whole open file, taken without waiting (held by
// the open file description: other processes and forked children conflict;
// released when the descriptor closes). False with errno (EWOULDBLOCK when
// another holder conflicts).
bool FdLock(const Fd& fd, bool exclusive);
// The device and inode numbers that identify the open file (false on failure).
bool FdIdentity(const Fd& fd, uint64_t& device, uint64_t& inode);


// ---------------------------------------------------------------- fenced places
// Every change to the file system goes through a Place: the directory that
// holds a path's last component, held open, and that component's name. The
// walk that finds it opens one component at a time relative to the previous
// directory without following links; a link met on the way is read and its
// target walked in its place (at most 40), so the walk resolves as the kernel
// would while holding a descriptor at every step. The fence is judged on
// where the held directory really is, and the change is then made relative to
// it: what the fence judged is what gets changed, whatever another process
// renames or swaps meanwhile. A path the walk cannot resolve (too long, a
// loop, a vanished link target's parent) is refused, never kept as text.
struct Place {
  Fd dir;                            // the deepest existing directory reached
  std::vector<std::string> missing;  // directories still to make below dir
  std::string name;                  // last component ("" when the path names dir itself)
  std::string full;                  // the absolute system path the fence judged
  bool isDir = false;                // the last component is an existing directory
};
enum class Fence { kAdmitted, kRefused, kFailed };
// followLast: a link as the last component is walked into (writing through a
// link changes its target); otherwise the link itself is the place (deleting).
// asDir: the path names a directory (its judged text ends with "/").
// kFailed leaves errno set; kRefused means the fence refuses the place.
Fence Locate(const std::string& sysPath, Place& out, bool followLast, bool asDir = false,
             const std::string& sysfsRoot = "/sys");
// Makes the place's missing directories, entering each without following
// links; afterwards dir holds the last of them. False with errno on failure.
bool MakeMissing(Place& p);
// The directory the place names (name made when missing and create is set),
// opened for listing; an invalid Fd with errno on failure.
Fd OpenPlaceDir(Place& p, bool create);
// File operations relative to a place (its missing directories made first
// where the operation creates). Writing never follows a link as the last
// component and refuses a regular file with more than one hard link (EMLINK):
// another name of it may lie outside the fence.
int OpenIn(Place& p, char mode);  // as OpenFile
int CreateIn(Place& p);           // as CreateFile
bool UnlinkIn(const Place& p);
bool RemoveDirIn(const Place& p);
// Writes n bytes at offset into the place's file, open as fd, so that a
// failure leaves the file as it was: bytes past the old end are appended
// and cut back on failure; bytes over old content go to a sibling copy that
// is renamed over the place's name, after which fd designates the new file.
// False with errno on failure.
bool WriteAtIn(const Place& p, int& fd, int64_t offset, const char* data, size_t n);
// Replaces the place's file by data (sibling temporary renamed over it).
bool WriteFileIn(Place& p, const std::string& data);
// Replaces the place's file by the content of the open file `from`, copied in
// chunks (no limit on its size).
bool CopyFileIn(Place& p, int from);
// Descriptors relative to a directory (no link followed as the last
// component; opened without blocking, so a pipe cannot hold the run).
Fd FdOpenAt(const Fd& dir, const std::string& name, bool writable, bool create);
bool UnlinkAt(const Fd& dir, const std::string& name);
// A subdirectory entered without following a link, opened for listing.
Fd OpenDirAt(const Fd& dir, const std::string& name);
bool RemoveDirAt(const Fd& dir, const std::string& name);
// The device an open file or directory lies on.
uint64_t DeviceOf(const Fd& fd);
bool RenameAt(const Fd& dir, const std::string& from, const std::string& to);
// Makes a directory's entries (a new or removed name) durable.
bool FdSyncDir(const Fd& dir);
// The entries of an open directory, as ListDir.
bool ListDirFd(const Fd& dir, std::vector<DirEntry>& out);

}  // namespace KPlat
