// KPlatform: the Linux side of memory, errors, text, time, randomness and
// files. Paths and text arrive in the language's form and leave in the
// system's form here, and nowhere else.
#include "KPlatform.h"

#include <dirent.h>
#include <fcntl.h>
#include <fnmatch.h>
#include <sys/mman.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <climits>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <memory>
#include <sstream>

namespace KPlat {

// ---------------------------------------------------------------- memory
// Every block starts with a 16-byte header: its usable size and whether it
// was mapped. Mapped blocks are whole 2 MiB multiples.
namespace {
constexpr size_t kHeader = 16;
constexpr size_t kLarge = size_t(1) << 20;      // map blocks from 1 MiB up
constexpr size_t kHuge = size_t(2) << 20;       // huge page size
constexpr int kCacheSlots = 8;
constexpr size_t kCacheBytes = size_t(1) << 30;  // keep at most 1 GiB idle

struct Header {
  size_t size;   // usable bytes after the header
  size_t mapped; // total mapped length, 0 for malloc blocks, 1 for pooled small blocks
};

struct LargeCache {
  void* base[kCacheSlots] = {};
  size_t len[kCacheSlots] = {};
  size_t total = 0;
  ~LargeCache() {
    for (int i = 0; i < kCacheSlots; ++i)
      if (base[i]) munmap(base[i], len[i]);
  }
  void* Take(size_t want, size_t& got) {
    int best = -1;
    for (int i = 0; i < kCacheSlots; ++i)
      if (base[i] && len[i] >= want && len[i] <= want * 2 && (best < 0 || len[i] < len[best])) best = i;
    if (best < 0) return nullptr;
    void* p = base[best];
    got = len[best];
    total -= len[best];
    base[best] = nullptr;
    len[best] = 0;
    return p;
  }
  bool Give(void* p, size_t n) {
    if (total + n > kCacheBytes) return false;
    for (int i = 0; i < kCacheSlots; ++i)
      if (!base[i]) {
        base[i] = p;
        len[i] = n;
        total += n;
        return true;
      }
    return false;
  }
};
LargeCache gCache;

void* MapLarge(size_t bytes, bool zero) {
  size_t want = (bytes + kHeader + kHuge - 1) / kHuge * kHuge;
  size_t got = 0;
  void* base = gCache.Take(want, got);
  bool fresh = base == nullptr;
  if (fresh) {
    base = mmap(nullptr, want, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (base == MAP_FAILED) return nullptr;
    madvise(base, want, MADV_HUGEPAGE);
    got = want;
  }
  Header* h = static_cast<Header*>(base);
  h->size = got - kHeader;
  h->mapped = got;
  char* user = static_cast<char*>(base) + kHeader;
  if (zero && !fresh) std::memset(user, 0, bytes);
  return user;
}
}  // namespace

// Sanitizer builds keep every block on the heap, at its exact size, so
// AddressSanitizer sees overflows of element buffers and LeakSanitizer sees
// leaked ones (neither watches mapped memory).
#if defined(__SANITIZE_ADDRESS__)
constexpr bool kMapLarge = false;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
constexpr bool kMapLarge = false;
#else
constexpr bool kMapLarge = true;
#endif
#else
constexpr bool kMapLarge = true;
#endif

// Small blocks (up to kSmall bytes, the usual single numbers and short
// texts) are recycled through free lists by 16-byte size class instead of
// going back to the heap; their header keeps the class size and says
// mapped == kPooled. Only the host's thread allocates, so there is no lock.
// Sanitizer builds skip this along with the mapping.
namespace {
constexpr size_t kSmall = 64;
constexpr size_t kPooled = 1;  // never a mapped length
void* gSmallFree[kSmall / 16] = {};

void* SmallTake(size_t bytes, bool zero) {
  size_t c = (bytes - 1) / 16;
  char* user;
  if (char* idle = static_cast<char*>(gSmallFree[c])) {
    user = idle + kHeader;
    gSmallFree[c] = *reinterpret_cast<void**>(user);
  } else {
    void* base = std::malloc((c + 1) * 16 + kHeader);
    if (!base) return nullptr;
    Header* h = static_cast<Header*>(base);
    h->size = (c + 1) * 16;
    h->mapped = kPooled;
    user = static_cast<char*>(base) + kHeader;
  }
  if (zero) std::memset(user, 0, bytes);
  return user;
}

// The lists hold the blocks' starts (the link sits after the header), so
// leak checkers see every idle block as reachable.
void SmallGive(void* p, size_t size) {
  size_t c = size / 16 - 1;
  *static_cast<void**>(p) = gSmallFree[c];
  gSmallFree[c] = static_cast<char*>(p) - kHeader;
}
}  // namespace

void* MemAlloc(size_t bytes, bool zero) {
  if constexpr (!kMapLarge) return zero ? std::calloc(1, bytes ? bytes : 1) : std::malloc(bytes ? bytes : 1);
  if (bytes - 1 < kSmall) return SmallTake(bytes, zero);
  if (bytes >= kLarge) {
    if (void* p = MapLarge(bytes, zero)) return p;
  }
  void* base = zero ? std::calloc(1, bytes + kHeader) : std::malloc(bytes + kHeader);
  if (!base) return nullptr;
  Header* h = static_cast<Header*>(base);
  h->size = bytes;
  h->mapped = 0;
  return static_cast<char*>(base) + kHeader;
}

void MemFree(void* p) {
  if (!p) return;
  if constexpr (!kMapLarge) {
    std::free(p);
    return;
  }
  char* base = static_cast<char*>(p) - kHeader;
  Header* h = reinterpret_cast<Header*>(base);
  if (h->mapped == kPooled) {
    SmallGive(p, h->size);
    return;
  }
  if (h->mapped) {
    if (!gCache.Give(base, h->mapped)) munmap(base, h->mapped);
    return;
  }
  std::free(base);
}

void* MemRealloc(void* p, size_t oldBytes, size_t newBytes, bool zeroTail) {
  if (!p) return MemAlloc(newBytes, zeroTail);
  if constexpr (!kMapLarge) {
    void* q = std::realloc(p, newBytes ? newBytes : 1);
    if (q && zeroTail && newBytes > oldBytes) std::memset(static_cast<char*>(q) + oldBytes, 0, newBytes - oldBytes);
    return q;
  }
  Header* h = reinterpret_cast<Header*>(static_cast<char*>(p) - kHeader);
  if (newBytes <= h->size) {
    if (zeroTail && newBytes > oldBytes) std::memset(static_cast<char*>(p) + oldBytes, 0, newBytes - oldBytes);
    return p;
  }
  if (!h->mapped && newBytes < kLarge) {
    void* base = std::realloc(h, newBytes + kHeader);
    if (!base) return nullptr;
    Header* nh = static_cast<Header*>(base);
    nh->size = newBytes;
    char* user = static_cast<char*>(base) + kHeader;
    if (zeroTail && newBytes > oldBytes) std::memset(user + oldBytes, 0, newBytes - oldBytes);
    return user;
  }
  void* q = MemAlloc(newBytes, false);
  if (!q) return nullptr;
  size_t keep = oldBytes < newBytes ? oldBytes : newBytes;
  std::memcpy(q, p, keep);
  if (zeroTail && newBytes > keep) std::memset(static_cast<char*>(q) + keep, 0, newBytes - keep);
  MemFree(p);
  return q;
}

// ---------------------------------------------------------------- errors
int LastErrno() { return errno; }

std::string ErrorText(int err) {
  char buf[256];
  buf[0] = 0;
  // GNU strerror_r returns the text (possibly not in buf).
  const char* t = strerror_r(err, buf, sizeof buf);
  return t ? std::string(t) : std::string("Unknown error");
}

// ---------------------------------------------------------------- text
namespace {
// Unicode code points of Windows-1252 bytes 0x80..0x9F; the five undefined
// bytes map to the C1 control of the same value.
const uint16_t kHigh[32] = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,
    0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0x008D, 0x017D, 0x008F,
    0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,
    0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178};

unsigned char FromCodePoint(uint32_t cp) {
  if (cp < 0x80 || (cp >= 0xA0 && cp <= 0xFF)) return static_cast<unsigned char>(cp);
  for (int i = 0; i < 32; ++i)
    if (kHigh[i] == cp) return static_cast<unsigned char>(0x80 + i);
  return '?';
}

// Decodes one UTF-8 sequence at s[i]; returns its length or 0 when invalid.
int DecodeUtf8(const std::string& s, size_t i, uint32_t& cp) {
  unsigned char c = static_cast<unsigned char>(s[i]);
  int n;
  if (c < 0x80) { cp = c; return 1; }
  if ((c & 0xE0) == 0xC0) { cp = c & 0x1F; n = 2; }
  else if ((c & 0xF0) == 0xE0) { cp = c & 0x0F; n = 3; }
  else if ((c & 0xF8) == 0xF0) { cp = c & 0x07; n = 4; }
  else return 0;
  if (i + n > s.size()) return 0;
  for (int k = 1; k < n; ++k) {
    unsigned char d = static_cast<unsigned char>(s[i + k]);
    if ((d & 0xC0) != 0x80) return 0;
    cp = (cp << 6) | (d & 0x3F);
  }
  static const uint32_t minCp[5] = {0, 0, 0x80, 0x800, 0x10000};
  if (cp < minCp[n] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return 0;
  return n;
}

void AppendUtf8(std::string& out, uint32_t cp) {
  if (cp < 0x80) {
    out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    out += static_cast<char>(0xC0 | (cp >> 6));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    out += static_cast<char>(0xE0 | (cp >> 12));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  }
}
}  // namespace

bool IsValidUtf8(const std::string& s) {
  uint32_t cp;
  for (size_t i = 0; i < s.size();) {
    int n = DecodeUtf8(s, i, cp);
    if (!n) return false;
    i += n;
  }
  return true;
}

std::string Utf8ToCp1252(const std::string& s) {
  std::string out;
  out.reserve(s.size());
  uint32_t cp;
  for (size_t i = 0; i < s.size();) {
    int n = DecodeUtf8(s, i, cp);
    if (!n) {  // not UTF-8 here: keep the byte as it is
      out += s[i++];
      continue;
    }
    out += static_cast<char>(FromCodePoint(cp));
    i += n;
  }
  return out;
}

std::string Cp1252ToUtf8(const std::string& s) {
  std::string out;
  out.reserve(s.size() + s.size() / 8);
  for (unsigned char c : s) {
    if (c < 0x80) out += static_cast<char>(c);
    else if (c < 0xA0) AppendUtf8(out, kHigh[c - 0x80]);
    else AppendUtf8(out, c);
  }
  return out;
}

// ---------------------------------------------------------------- time
long LocalOffsetSeconds(int64_t unixSeconds) {
  time_t t = static_cast<time_t>(unixSeconds);
  struct tm lt;
  if (!localtime_r(&t, &lt)) return 0;
  return lt.tm_gmtoff;
}

double NowLocalDays() {
  struct timespec ts;
  clock_gettime(CLOCK_REALTIME, &ts);
  double local = static_cast<double>(ts.tv_sec + LocalOffsetSeconds(ts.tv_sec)) + ts.tv_nsec / 1e9;
  // 1970-01-01 is day 25569 after 1899-12-30.
  return 25569.0 + local / 86400.0;
}

// ---------------------------------------------------------------- random
bool RandomBytes(void* buf, size_t n) {
  char* p = static_cast<char*>(buf);
  while (n > 0) {
    ssize_t got = getrandom(p, n, 0);
    if (got < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    p += got;
    n -= static_cast<size_t>(got);
  }
  return true;
}

// ---------------------------------------------------------------- paths
std::string ToSystemPath(const std::string& langPath) {
  std::string s = langPath;
  for (char& c : s)
    if (c == '\\') c = '/';
  return s;
}

std::string FromSystemPath(const std::string& sysPath) {
  std::string s = sysPath;
  for (char& c : s)
    if (c == '/') c = '\\';
  return s;
}

std::string CurrentDir() {
  char buf[4096];
  if (!getcwd(buf, sizeof buf)) return "\\";
  std::string s = FromSystemPath(LangNameOf(buf));
  if (s.empty() || s.back() != '\\') s += '\\';
  return s;
}

// ---------------------------------------------------------------- files
namespace {
int RefuseDir(int fd);

// A path holding a NUL byte would reach the system cut short, naming
// another file than the one judged: such paths name nothing.
bool CutShort(const std::string& sysPath) {
  if (sysPath.find('\0') == std::string::npos) return false;
  errno = EINVAL;
  return true;
}
}  // namespace

// Reads to the end (sizes the system reports may be 0 for special files);
// a directory is refused.
bool ReadFile(const std::string& sysPath, std::string& out) {
  int fd = RefuseDir(open(sysPath.c_str(), O_RDONLY | O_CLOEXEC));
  if (fd < 0) return false;
  out.clear();
  char buf[1 << 16];
  for (;;) {
    ssize_t n = read(fd, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      int saved = errno;
      close(fd);
      errno = saved;
      return false;
    }
    if (n == 0) break;
    out.append(buf, static_cast<size_t>(n));
  }
  close(fd);
  return true;
}

// Writes a sibling temporary file and renames it over the target, so a
// failure (disk full, permission) leaves the old file whole. An existing
// target's permission bits carry over; a link as target is written through.
bool WriteFile(const std::string& sysPath, const std::string& data) {
  std::string target = sysPath;
  char real[PATH_MAX];
  struct stat st;
  bool exists = stat(target.c_str(), &st) == 0;
  if (exists && realpath(target.c_str(), real)) target = real;
  std::string tmp = target + ".~tmpXXXXXX";
  int fd = mkstemp(tmp.data());
  if (fd < 0) return false;
  bool ok = fchmod(fd, exists ? (st.st_mode & 07777) : 0644) == 0;
  for (size_t done = 0; ok && done < data.size();) {
    ssize_t n = write(fd, data.data() + done, data.size() - done);
    if (n < 0 && errno == EINTR) continue;
    ok = n > 0;
    if (ok) done += static_cast<size_t>(n);
  }
  ok = ok && fsync(fd) == 0;
  int saved = errno;
  ok = close(fd) == 0 && ok;
  if (ok) ok = rename(tmp.c_str(), target.c_str()) == 0;
  if (!ok) {
    if (!saved) saved = errno;
    unlink(tmp.c_str());
    errno = saved;
  }
  return ok;
}

bool FileExists(const std::string& sysPath) {
  struct stat st;
  return stat(sysPath.c_str(), &st) == 0;
}

bool MakeDir(const std::string& sysPath) {
  return mkdir(sysPath.c_str(), 0777) == 0 || errno == EEXIST;
}

bool RenameFile(const std::string& from, const std::string& to) {
  return std::rename(from.c_str(), to.c_str()) == 0;
}

bool RemoveFile(const std::string& sysPath) { return std::remove(sysPath.c_str()) == 0; }

// ---------------------------------------------------------------- write fence
const char* const kFenceReason = "Must be removable or contain \"\\tarq\\user\\\"\r\n";

std::string SysPathOf(const std::string& langPath) { return ToSystemPath(Cp1252ToUtf8(langPath)); }

std::string LangNameOf(const std::string& sysName) {
  std::string out;
  out.reserve(sysName.size());
  uint32_t cp;
  for (size_t i = 0; i < sysName.size();) {
    int n = DecodeUtf8(sysName, i, cp);
    if (!n) {
      out += '?';
      ++i;
      continue;
    }
    out += static_cast<char>(FromCodePoint(cp));
    i += static_cast<size_t>(n);
  }
  return out;
}

namespace {
void PopComponent(std::string& path) {
  size_t slash = path.rfind('/');
  path.erase(slash == 0 ? 1 : slash);
}

void PushComponent(std::string& path, const std::string& comp) {
  if (path.back() != '/') path += '/';
  path += comp;
}
}  // namespace

// Walks the components as the kernel would: an existing link is replaced by
// its resolved target, so the prefix built so far never holds a link and
// ".." may drop its last component textually.
std::string FenceResolve(const std::string& sysPath) {
  std::string path = sysPath;
  if (path.empty() || path[0] != '/') {
    char buf[PATH_MAX];
    if (!getcwd(buf, sizeof buf)) return "";
    path = std::string(buf) + "/" + path;
  }
  bool trailing = path.back() == '/';
  std::string resolved = "/";
  size_t i = 0;
  while (i < path.size()) {
    size_t j = path.find('/', i);
    if (j == std::string::npos) j = path.size();
    std::string comp = path.substr(i, j - i);
    i = j + 1;
    if (comp.empty() || comp == ".") continue;
    if (comp == "..") {
      PopComponent(resolved);
      continue;
    }
    PushComponent(resolved, comp);
    // Every component is probed, even after a missing one: "missing/.."
    // may lead back into existing directories and their links.
    struct stat st;
    if (lstat(resolved.c_str(), &st) != 0) continue;
    if (S_ISLNK(st.st_mode)) {
      char real[PATH_MAX];
      if (!realpath(resolved.c_str(), real)) return "";
      resolved = real;
    }
  }
  if (trailing && resolved.back() != '/') resolved += '/';
  return resolved;
}

std::string NormalPath(const std::string& sysPath) {
  std::string path = sysPath;
  bool trailing = !path.empty() && path.back() == '/';
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  size_t slash = path.rfind('/');
  std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
  std::string resolved;
  if (name.empty() || name == "." || name == "..") {
    resolved = FenceResolve(sysPath);
  } else {
    std::string dir = slash == std::string::npos ? std::string("./") : path.substr(0, slash + 1);
    resolved = FenceResolve(dir);
    if (!resolved.empty()) {
      if (resolved.back() != '/') resolved += '/';
      resolved += name;
      if (trailing) resolved += '/';
    }
  }
  return resolved.empty() ? sysPath : resolved;
}

bool IsRemovable(const std::string& sysPath, const std::string& sysfsRoot) {
  std::string probe = FenceResolve(sysPath);
  if (probe.empty()) return false;
  struct stat st;
  while (stat(probe.c_str(), &st) != 0) {
    if (probe == "/") return false;
    if (probe.back() == '/') probe.pop_back();
    PopComponent(probe);
  }
  std::string dev = sysfsRoot + "/dev/block/" + std::to_string(major(st.st_dev)) + ":" +
                    std::to_string(minor(st.st_dev));
  // A partition has no attribute of its own; its disk is the parent.
  for (const char* attr : {"/removable", "/../removable"}) {
    std::string text;
    if (ReadFile(dev + attr, text) && !text.empty()) return text[0] == '1';
  }
  return false;
}

namespace {
// The rule itself, on a path FenceResolve made.
bool FenceAdmits(std::string full, const std::string& sysfsRoot) {
  if (full.empty() || CutShort(full)) return false;
  struct stat st;
  if (full.back() != '/' && stat(full.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) full += '/';
  std::string lower = full;
  for (char& c : lower)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  if (lower.find("/tarq/user/") != std::string::npos) return true;
  return IsRemovable(full, sysfsRoot);
}
}  // namespace

bool WriteAllowedSys(const std::string& sysPath, const std::string& sysfsRoot) {
  return FenceAdmits(FenceResolve(sysPath), sysfsRoot);
}

bool DeleteAllowedSys(const std::string& sysPath, const std::string& sysfsRoot) {
  std::string path = sysPath;
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  size_t slash = path.rfind('/');
  std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
  if (name.empty() || name == "." || name == "..") return WriteAllowedSys(sysPath, sysfsRoot);
  std::string dir = slash == std::string::npos ? std::string("./") : path.substr(0, slash + 1);
  std::string full = FenceResolve(dir);
  if (full.empty()) return false;
  if (full.back() != '/') full += '/';
  return FenceAdmits(full + name, sysfsRoot);
}

bool WriteAllowed(const std::string& langPath, const std::string& sysfsRoot) {
  return WriteAllowedSys(SysPathOf(langPath), sysfsRoot);
}

// ---------------------------------------------------------------- file objects
namespace {
int64_t Nanos(const struct statx_timestamp& t) { return t.tv_sec * 1000000000LL + t.tv_nsec; }

bool FromStatx(const struct statx& sx, FileInfo& info) {
  info.isDir = S_ISDIR(sx.stx_mode);
  info.isReg = S_ISREG(sx.stx_mode);
  info.isLink = S_ISLNK(sx.stx_mode);
  info.size = static_cast<int64_t>(sx.stx_size);
  info.writtenNs = Nanos(sx.stx_mtime);
  info.accessedNs = Nanos(sx.stx_atime);
  info.changedNs = Nanos(sx.stx_ctime);
  info.createdNs = (sx.stx_mask & STATX_BTIME) ? Nanos(sx.stx_btime) : info.changedNs;
  info.ino = sx.stx_ino;
  info.dev = makedev(sx.stx_dev_major, sx.stx_dev_minor);
  return true;
}

constexpr unsigned kStatxMask = STATX_BASIC_STATS | STATX_BTIME;
}  // namespace

bool Stat(const std::string& sysPath, FileInfo& info, bool follow) {
  if (CutShort(sysPath)) return false;
  struct statx sx;
  if (statx(AT_FDCWD, sysPath.c_str(), follow ? 0 : AT_SYMLINK_NOFOLLOW, kStatxMask, &sx) != 0) return false;
  FromStatx(sx, info);
  info.writable = access(sysPath.c_str(), W_OK) == 0;
  return true;
}

bool StatFd(int fd, FileInfo& info) {
  struct statx sx;
  if (statx(fd, "", AT_EMPTY_PATH, kStatxMask, &sx) != 0) return false;
  return FromStatx(sx, info);
}

namespace {
struct ModeFlags {
  char mode;
  int flags;
};
// 'Q' needs no access to the content; the others as their letters say.
constexpr ModeFlags kModes[] = {
    {'Q', O_PATH}, {'R', O_RDONLY}, {'W', O_RDWR}, {'X', O_RDWR | O_TRUNC}, {'A', O_RDWR | O_CREAT},
};

// Refuses a directory opened where a file is expected.
int RefuseDir(int fd) {
  struct stat st;
  if (fd >= 0 && fstat(fd, &st) == 0 && S_ISDIR(st.st_mode)) {
    close(fd);
    errno = EISDIR;
    return -1;
  }
  return fd;
}
}  // namespace

int OpenFile(const std::string& sysPath, char mode) {
  if (CutShort(sysPath)) return -1;
  for (const ModeFlags& m : kModes)
    if (m.mode == mode) {
      // Truncating a directory fails before anything is changed. Opened
      // without blocking, so a pipe without a writer cannot hold the run.
      int fd = RefuseDir(open(sysPath.c_str(), m.flags | O_CLOEXEC | O_NONBLOCK, 0644));
      if (fd >= 0 && m.flags != O_PATH) fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
      return fd;
    }
  errno = EINVAL;
  return -1;
}

int CreateFile(const std::string& sysPath) {
  if (CutShort(sysPath)) return -1;
  return open(sysPath.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
}

bool CloseFile(int fd) { return fd < 0 || close(fd) == 0; }

int64_t ReadInto(int fd, char* buf, int64_t n) {
  int64_t got = 0;
  while (got < n) {
    ssize_t r = pread(fd, buf + got, static_cast<size_t>(n - got), got);
    if (r < 0 && errno == EINTR) continue;
    if (r < 0) return -1;
    if (r == 0) break;  // the file shrank meanwhile
    got += r;
  }
  return got;
}

namespace {
bool PWriteAll(int fd, const char* data, size_t n, int64_t offset) {
  while (n > 0) {
    ssize_t w = pwrite(fd, data, n, offset);
    if (w < 0 && errno == EINTR) continue;
    if (w <= 0) {
      if (w == 0) errno = ENOSPC;
      return false;
    }
    data += w;
    n -= static_cast<size_t>(w);
    offset += w;
  }
  return true;
}

// Copies the whole of `from` into `to` (both open), keeping failures' errno.
bool CopyContent(int from, int to) {
  char buf[1 << 16];
  int64_t off = 0;
  for (;;) {
    ssize_t n = pread(from, buf, sizeof buf, off);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return false;
    if (n == 0) return true;
    if (!PWriteAll(to, buf, static_cast<size_t>(n), off)) return false;
    off += n;
  }
}

// Keeps errno of the failure across the cleanup calls.
bool FailKeepingErrno(int fd, const std::string& tmp) {
  int saved = errno;
  if (fd >= 0) close(fd);
  if (!tmp.empty()) unlink(tmp.c_str());
  errno = saved;
  return false;
}
}  // namespace

bool WriteAt(const std::string& sysPath, int& fd, int64_t offset, const char* data, size_t n) {
  if (n == 0) return true;
  struct stat st;
  if (fstat(fd, &st) != 0) return false;
  if (offset >= st.st_size) {
    if (PWriteAll(fd, data, n, offset) && fdatasync(fd) == 0) return true;
    int saved = errno;
    if (ftruncate(fd, st.st_size) != 0) {}  // best effort: back to the old length
    errno = saved;
    return false;
  }
  // Over old content: build the new file beside the old and swap them.
  char real[PATH_MAX];
  std::string target = realpath(sysPath.c_str(), real) ? std::string(real) : sysPath;
  std::string tmp = target + ".~tmpXXXXXX";
  int out = mkstemp(tmp.data());
  if (out < 0) return false;
  if (fchmod(out, st.st_mode & 07777) != 0 || !CopyContent(fd, out) || !PWriteAll(out, data, n, offset) ||
      fsync(out) != 0)
    return FailKeepingErrno(out, tmp);
  if (rename(tmp.c_str(), target.c_str()) != 0) return FailKeepingErrno(out, tmp);
  close(fd);
  fd = out;
  return true;
}

bool Unlink(const std::string& sysPath) { return unlink(sysPath.c_str()) == 0; }
bool RemoveDir(const std::string& sysPath) { return rmdir(sysPath.c_str()) == 0; }
bool ChangeDir(const std::string& sysPath) { return chdir(sysPath.c_str()) == 0; }

bool MakeDirs(const std::string& sysPath) {
  std::string path;
  size_t i = 0;
  if (!sysPath.empty() && sysPath[0] == '/') path = "/", i = 1;
  while (i <= sysPath.size()) {
    size_t j = sysPath.find('/', i);
    if (j == std::string::npos) j = sysPath.size();
    std::string comp = sysPath.substr(i, j - i);
    i = j + 1;
    if (comp.empty()) continue;
    if (!path.empty() && path.back() != '/') path += '/';
    path += comp;
    if (comp == "." || comp == "..") continue;
    if (mkdir(path.c_str(), 0777) != 0 && errno != EEXIST) return false;
  }
  struct stat st;
  if (stat(sysPath.c_str(), &st) != 0) return false;
  if (!S_ISDIR(st.st_mode)) {
    errno = ENOTDIR;
    return false;
  }
  return true;
}

namespace {
struct DirCloser {
  void operator()(DIR* d) const { closedir(d); }
};
}  // namespace

bool ListDir(const std::string& sysPath, std::vector<DirEntry>& out) {
  out.clear();
  if (CutShort(sysPath)) return false;
  std::unique_ptr<DIR, DirCloser> dir(opendir(sysPath.empty() ? "." : sysPath.c_str()));
  if (!dir) return false;
  std::string base = sysPath.empty() ? "./" : sysPath;
  if (base.back() != '/') base += '/';
  errno = 0;
  while (struct dirent* e = readdir(dir.get())) {
    std::string name = e->d_name;
    if (name == "." || name == "..") continue;
    DirEntry d;
    d.name = name;
    struct stat st;
    std::string full = base + name;
    if (lstat(full.c_str(), &st) == 0) {
      d.isLink = S_ISLNK(st.st_mode);
      d.isDir = S_ISDIR(st.st_mode) || (d.isLink && stat(full.c_str(), &st) == 0 && S_ISDIR(st.st_mode));
    }
    out.push_back(std::move(d));
  }
  std::sort(out.begin(), out.end(), [](const DirEntry& a, const DirEntry& b) { return a.name < b.name; });
  return true;
}

bool NameMatches(const std::string& pattern, const std::string& name) {
  if (pattern.empty() || pattern == "*" || pattern == "*.*") return true;
  // Only "*" and "?" are wildcards: brackets and backslashes are literal.
  std::string literal;
  for (char c : pattern) {
    if (c == '[' || c == ']' || c == '\\') literal += '\\';
    literal += c;
  }
  return fnmatch(literal.c_str(), name.c_str(), 0) == 0;
}

int ExecType(const std::string& sysPath) {
  if (access(sysPath.c_str(), X_OK) != 0) return -1;
  int fd = open(sysPath.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return -1;
  char magic[4] = {};
  ssize_t n = pread(fd, magic, 4, 0);
  close(fd);
  return n == 4 && std::memcmp(magic, "\x7F" "ELF", 4) == 0 ? 4 : -1;
}

}  // namespace KPlat

// ---------------------------------------------------------------- raw file I/O

#include <fcntl.h>

namespace KPlat {

Fd::~Fd() {
  if (fd_ >= 0) ::close(fd_);
}

Fd& Fd::operator=(Fd&& o) noexcept {
  if (this != &o) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = o.fd_;
    o.fd_ = -1;
  }
  return *this;
}

Fd FdOpen(const std::string& sysPath, bool writable, bool create) {
  int flags = (writable ? O_RDWR : O_RDONLY) | O_CLOEXEC;
  if (writable && create) flags |= O_CREAT;
  return Fd(::open(sysPath.c_str(), flags, 0666));
}

int64_t FdSize(const Fd& fd) {
  struct stat st;
  if (!fd.Valid() || fstat(fd.Get(), &st) != 0) return -1;
  return static_cast<int64_t>(st.st_size);
}

bool FdReadAt(const Fd& fd, void* buf, size_t n, int64_t offset) {
  char* p = static_cast<char*>(buf);
  while (n > 0) {
    ssize_t got = ::pread(fd.Get(), p, n, offset);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return false;
    p += got;
    n -= static_cast<size_t>(got);
    offset += got;
  }
  return true;
}

bool FdWriteAt(const Fd& fd, const void* buf, size_t n, int64_t offset) {
  const char* p = static_cast<const char*>(buf);
  while (n > 0) {
    ssize_t put = ::pwrite(fd.Get(), p, n, offset);
    if (put < 0 && errno == EINTR) continue;
    if (put <= 0) return false;
    p += put;
    n -= static_cast<size_t>(put);
    offset += put;
  }
  return true;
}

bool FdSync(const Fd& fd) { return ::fdatasync(fd.Get()) == 0; }

bool FdIdentity(const Fd& fd, uint64_t& device, uint64_t& inode) {
  struct stat st;
  if (!fd.Valid() || fstat(fd.Get(), &st) != 0) return false;
  device = static_cast<uint64_t>(st.st_dev);
  inode = static_cast<uint64_t>(st.st_ino);
  return true;
}

}  // namespace KPlat
