// KPlatform: the Linux side of memory, errors, text, time, randomness and
// files. Paths and text arrive in the language's form and leave in the
// system's form here, and nowhere else.
#include "KPlatform.h"

#include <dirent.h>
#include <fcntl.h>
#include <fnmatch.h>
#include <sys/file.h>
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
#include <string>
#include <ctime>
#include <fstream>
#include <memory>
#include <sstream>
#include <vector>

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

// Whether a fresh mapping of `bytes` is marked for huge pages. Under the
// kernel's defrag modes "always", "madvise" and "defer+madvise" a fault in a
// marked region that finds no free 2 MiB block compacts memory first, on the
// faulting thread (seen here: single runs of a 40 MB workload 0.1 s to 10 s
// longer); so there the mark is only given while the kernel holds enough
// free blocks of 2 MiB and more (/proc/buddyinfo) to serve the mapping.
bool DefragStalls() {
  static const bool stall = [] {
    std::FILE* f = std::fopen("/sys/kernel/mm/transparent_hugepage/defrag", "r");
    if (!f) return false;
    char buf[128] = {};
    const bool read = std::fgets(buf, sizeof buf, f) != nullptr;
    std::fclose(f);
    if (!read) return false;
    const char* open = std::strchr(buf, '[');
    const char* close = open ? std::strchr(open, ']') : nullptr;
    if (!close) return false;
    const std::string mode(open + 1, close);
    return mode == "always" || mode == "madvise" || mode == "defer+madvise";
  }();
  return stall;
}

// Free blocks of 2 MiB the kernel holds (orders 9 and 10 of 4 KiB pages).
size_t FreeHugeBlocks() {
  std::FILE* f = std::fopen("/proc/buddyinfo", "r");
  if (!f) return 0;
  size_t blocks = 0;
  char line[512];
  while (std::fgets(line, sizeof line, f)) {
    const char* zone = std::strstr(line, "zone");
    if (!zone) continue;
    std::istringstream in(zone + 4);
    std::string name;
    in >> name;
    if (name == "DMA") continue;  // not for user pages
    std::vector<unsigned long> counts;
    unsigned long c = 0;
    while (in >> c) counts.push_back(c);
    if (counts.size() > 9) blocks += counts[9];
    if (counts.size() > 10) blocks += 2 * counts[10];
  }
  std::fclose(f);
  return blocks;
}

bool MarkHuge(size_t bytes) {
  if (!DefragStalls()) return true;
  return FreeHugeBlocks() * kHuge >= bytes + (size_t(64) << 20);  // and some to spare
}

void* MapLarge(size_t bytes, bool zero) {
  size_t want = (bytes + kHeader + kHuge - 1) / kHuge * kHuge;
  size_t got = 0;
  void* base = gCache.Take(want, got);
  bool fresh = base == nullptr;
  if (fresh) {
    base = mmap(nullptr, want, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (base == MAP_FAILED) return nullptr;
    if (MarkHuge(want)) madvise(base, want, MADV_HUGEPAGE);
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

namespace {
bool Walk(const std::string& sysPath, Place& out, bool followLast, dev_t& dev);
std::string WhereIs(const Fd& dir);
}  // namespace

// The path the fence's walk reaches, as text: where the deepest existing
// directory really is, then the missing components. "" when the walk
// cannot resolve the path; no component is ever kept as text that the
// system would resolve otherwise.
std::string FenceResolve(const std::string& sysPath) {
  Place place;
  dev_t dev = 0;
  if (!Walk(sysPath.empty() ? std::string(".") : sysPath, place, true, dev)) return "";
  std::string full = WhereIs(place.dir);
  if (full.empty()) return "";
  for (const std::string& m : place.missing) PushComponent(full, m);
  if (!place.name.empty()) PushComponent(full, place.name);
  bool trailing = !sysPath.empty() && sysPath.back() == '/';
  if (trailing && full.back() != '/') full += '/';
  return full;
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

// The fence's verdicts come from the walk that changes would use.
bool WriteAllowedSys(const std::string& sysPath, const std::string& sysfsRoot) {
  Place place;
  return Locate(sysPath, place, true, false, sysfsRoot) == Fence::kAdmitted;
}

bool DeleteAllowedSys(const std::string& sysPath, const std::string& sysfsRoot) {
  Place place;
  return Locate(sysPath, place, false, false, sysfsRoot) == Fence::kAdmitted;
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

}  // namespace

bool ChangeDir(const std::string& sysPath) { return chdir(sysPath.c_str()) == 0; }

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
      d.dev = st.st_dev, d.ino = st.st_ino;
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

// Opened without blocking and refused unless a regular file: a pipe or a
// device would hold the run in open() or in the read that follows.
Fd FdOpen(const std::string& sysPath, bool writable, bool create) {
  int flags = (writable ? O_RDWR : O_RDONLY) | O_CLOEXEC | O_NONBLOCK;
  if (writable && create) flags |= O_CREAT;
  int fd = ::open(sysPath.c_str(), flags, 0666);
  struct stat st {};
  if (fd >= 0 && (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode))) {
    int err = S_ISDIR(st.st_mode) ? EISDIR : EINVAL;
    ::close(fd);
    errno = err;
    return Fd();
  }
  if (fd >= 0) fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
  return Fd(fd);
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

bool FdTruncate(const Fd& fd, uint64_t size) {
  for (;;) {
    if (::ftruncate(fd.Get(), static_cast<off_t>(size)) == 0) return true;
    if (errno != EINTR) return false;
  }
}

bool FdLock(const Fd& fd, bool exclusive) {
  for (;;) {
    if (::flock(fd.Get(), (exclusive ? LOCK_EX : LOCK_SH) | LOCK_NB) == 0) return true;
    if (errno != EINTR) return false;
  }
}

bool FdIdentity(const Fd& fd, uint64_t& device, uint64_t& inode) {
  struct stat st;
  if (!fd.Valid() || fstat(fd.Get(), &st) != 0) return false;
  device = static_cast<uint64_t>(st.st_dev);
  inode = static_cast<uint64_t>(st.st_ino);
  return true;
}

}  // namespace KPlat

// ---------------------------------------------------------------- fenced places
namespace KPlat {
namespace {
constexpr int kMaxLinks = 40;

// An O_PATH descriptor of one component, the component itself when it is a
// link: opening and inspecting are one step, so nothing can be swapped in
// between.
Fd OpenComponent(int dir, const char* name, int extra = 0) {
  int fd;
  do fd = ::openat(dir, name, O_PATH | O_NOFOLLOW | O_CLOEXEC | extra);
  while (fd < 0 && errno == EINTR);
  return Fd(fd);
}

// Pushes a path's components onto a stack, the first on top; empty
// components and "." are dropped.
void PushComponents(const std::string& path, std::vector<std::string>& todo) {
  std::vector<std::string> parts;
  size_t i = 0;
  while (i <= path.size()) {
    size_t j = path.find('/', i);
    if (j == std::string::npos) j = path.size();
    if (j > i && path.compare(i, j - i, ".") != 0) parts.push_back(path.substr(i, j - i));
    i = j + 1;
  }
  todo.insert(todo.end(), parts.rbegin(), parts.rend());
}

bool ReadLinkFd(const Fd& link, std::string& target) {
  char buf[PATH_MAX];
  ssize_t n = ::readlinkat(link.Get(), "", buf, sizeof buf);
  if (n < 0) return false;
  if (n == 0 || static_cast<size_t>(n) >= sizeof buf) {
    errno = n == 0 ? ENOENT : ENAMETOOLONG;
    return false;
  }
  target.assign(buf, static_cast<size_t>(n));
  return true;
}

// Where an open directory really is, as the kernel names it; "" (errno
// set) when it cannot say, as for a path longer than the system's limit.
std::string WhereIs(const Fd& dir) {
  char link[32];
  std::snprintf(link, sizeof link, "/proc/self/fd/%d", dir.Get());
  char buf[PATH_MAX];
  ssize_t n = ::readlink(link, buf, sizeof buf);
  if (n <= 0 || static_cast<size_t>(n) >= sizeof buf || buf[0] != '/') {
    if (n >= 0) errno = ENAMETOOLONG;
    return "";
  }
  return std::string(buf, static_cast<size_t>(n));
}

bool RemovableDevice(dev_t dev, const std::string& sysfsRoot) {
  std::string base = sysfsRoot + "/dev/block/" + std::to_string(major(dev)) + ":" + std::to_string(minor(dev));
  // A partition has no attribute of its own; its disk is the parent.
  for (const char* attr : {"/removable", "/../removable"}) {
    std::string text;
    if (ReadFile(base + attr, text) && !text.empty()) return text[0] == '1';
  }
  return false;
}

bool InUserTree(std::string full) {
  for (char& c : full)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return full.find("/tarq/user/") != std::string::npos;
}

// The walk itself (see Place); false with errno when it cannot resolve.
bool Walk(const std::string& sysPath, Place& out, bool followLast, dev_t& dev) {
  if (CutShort(sysPath)) return false;
  std::vector<std::string> todo;
  PushComponents(sysPath, todo);
  bool absolute = !sysPath.empty() && sysPath[0] == '/';
  out.dir = OpenComponent(AT_FDCWD, absolute ? "/" : ".", O_DIRECTORY);
  if (!out.dir.Valid()) return false;
  struct stat st;
  if (fstat(out.dir.Get(), &st) != 0) return false;
  dev = st.st_dev;
  int links = 0;
  while (!todo.empty()) {
    std::string comp = std::move(todo.back());
    todo.pop_back();
    bool last = todo.empty();
    if (comp == "..") {
      if (!out.missing.empty()) {
        out.missing.pop_back();
        continue;
      }
      Fd up = OpenComponent(out.dir.Get(), "..", O_DIRECTORY);
      if (!up.Valid() || fstat(up.Get(), &st) != 0) return false;
      out.dir = std::move(up);
      dev = st.st_dev;
      continue;
    }
    // Below a missing directory everything is missing.
    Fd f = out.missing.empty() ? OpenComponent(out.dir.Get(), comp.c_str()) : Fd();
    if (!f.Valid()) {
      if (out.missing.empty() && errno != ENOENT) return false;
      (last ? out.name : out.missing.emplace_back()) = comp;
      continue;
    }
    if (fstat(f.Get(), &st) != 0) return false;
    if (S_ISLNK(st.st_mode) && (!last || followLast)) {
      if (++links > kMaxLinks) {
        errno = ELOOP;
        return false;
      }
      std::string target;
      if (!ReadLinkFd(f, target)) return false;
      if (target[0] == '/') {
        out.dir = OpenComponent(AT_FDCWD, "/", O_DIRECTORY);
        if (!out.dir.Valid() || fstat(out.dir.Get(), &st) != 0) return false;
        dev = st.st_dev;
      }
      PushComponents(target, todo);
      continue;
    }
    if (last) {
      out.name = comp;
      out.isDir = S_ISDIR(st.st_mode);
      if (out.isDir) dev = st.st_dev;
      continue;
    }
    if (!S_ISDIR(st.st_mode)) {
      errno = ENOTDIR;
      return false;
    }
    out.dir = std::move(f);
    dev = st.st_dev;
  }
  return true;
}

// A temporary name beside `name`, unlikely to be taken.
std::string TempName(const std::string& name) {
  static const char kDigits[] = "0123456789abcdefghijklmnopqrstuvwxyz";
  unsigned char r[6];
  if (!RandomBytes(r, sizeof r)) std::memset(r, 0, sizeof r);
  std::string t = name + ".~tmp";
  for (unsigned char c : r) t += kDigits[c % 36];
  return t;
}

bool FailClosing(int fd) {
  int saved = errno;
  if (fd >= 0) ::close(fd);
  errno = saved;
  return false;
}

// Writes a new file beside the place's name with `fill`, syncs it and
// renames it over the name: a failure leaves the old file whole. The mode
// bits of an existing regular file carry over.
template <class Fill>
bool ReplaceIn(const Place& p, mode_t fallbackMode, Fill fill, int* keepFd = nullptr) {
  if (p.name.empty() || !p.missing.empty()) {
    errno = p.name.empty() ? EISDIR : ENOENT;
    return false;
  }
  struct stat old;
  mode_t mode = fstatat(p.dir.Get(), p.name.c_str(), &old, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(old.st_mode)
                    ? (old.st_mode & 07777)
                    : fallbackMode;
  std::string tmp;
  int out = -1;
  for (int tries = 0; out < 0 && tries < 20; ++tries) {
    tmp = TempName(p.name);
    out = ::openat(p.dir.Get(), tmp.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (out < 0 && errno != EEXIST) return false;
  }
  if (out < 0) return false;
  bool ok = fchmod(out, mode) == 0 && fill(out) && fsync(out) == 0 &&
            ::renameat(p.dir.Get(), tmp.c_str(), p.dir.Get(), p.name.c_str()) == 0;
  if (!ok) {
    int saved = errno;
    ::unlinkat(p.dir.Get(), tmp.c_str(), 0);
    errno = saved;
    return FailClosing(out);
  }
  if (keepFd) {
    *keepFd = out;
  } else {
    ::close(out);
  }
  return true;
}

// Refuses what may not be written through: a directory, and a regular file
// with another name (a hard link) that may lie outside the fence.
int RefuseForWriting(int fd) {
  struct stat st;
  if (fd < 0 || fstat(fd, &st) != 0) return fd < 0 ? fd : (FailClosing(fd), -1);
  if (S_ISDIR(st.st_mode) || (S_ISREG(st.st_mode) && st.st_nlink > 1)) {
    ::close(fd);
    errno = S_ISDIR(st.st_mode) ? EISDIR : EMLINK;
    return -1;
  }
  return fd;
}
}  // namespace

Fence Locate(const std::string& sysPath, Place& out, bool followLast, bool asDir, const std::string& sysfsRoot) {
  out = Place();
  // A NUL byte would cut the path short: such a path names nothing the
  // fence could judge.
  if (CutShort(sysPath)) return Fence::kRefused;
  dev_t dev = 0;
  if (!Walk(sysPath, out, followLast, dev)) return Fence::kFailed;
  std::string full = WhereIs(out.dir);
  if (full.empty()) return Fence::kFailed;
  for (const std::string& m : out.missing) PushComponent(full, m);
  if (!out.name.empty()) PushComponent(full, out.name);
  if ((asDir || out.isDir || out.name.empty()) && full.back() != '/') full += '/';
  out.full = full;
  return InUserTree(full) || RemovableDevice(dev, sysfsRoot) ? Fence::kAdmitted : Fence::kRefused;
}

bool MakeMissing(Place& p) {
  for (const std::string& m : p.missing) {
    if (::mkdirat(p.dir.Get(), m.c_str(), 0777) != 0 && errno != EEXIST) return false;
    // Entered without following: a link planted meanwhile is not a way out.
    Fd next = OpenComponent(p.dir.Get(), m.c_str(), O_DIRECTORY);
    if (!next.Valid()) return false;
    p.dir = std::move(next);
  }
  p.missing.clear();
  return true;
}

Fd OpenPlaceDir(Place& p, bool create) {
  if (create && !MakeMissing(p)) return Fd();
  if (!p.missing.empty()) {
    errno = ENOENT;
    return Fd();
  }
  if (create && !p.name.empty() && ::mkdirat(p.dir.Get(), p.name.c_str(), 0777) != 0 && errno != EEXIST)
    return Fd();
  const char* name = p.name.empty() ? "." : p.name.c_str();
  return Fd(::openat(p.dir.Get(), name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
}

int OpenIn(Place& p, char mode) {
  int flags = -1;
  bool truncate = false;
  switch (mode) {
    case 'Q': flags = O_PATH; break;
    case 'R': flags = O_RDONLY; break;
    case 'W': flags = O_RDWR; break;
    case 'X': flags = O_RDWR, truncate = true; break;
    case 'A': flags = O_RDWR | O_CREAT; break;
    default: errno = EINVAL; return -1;
  }
  bool writing = flags != O_PATH && flags != O_RDONLY;
  if (writing && !MakeMissing(p)) return -1;
  if (p.name.empty() || !p.missing.empty()) {
    errno = p.name.empty() ? EISDIR : ENOENT;
    return -1;
  }
  int fd = ::openat(p.dir.Get(), p.name.c_str(), flags | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0644);
  fd = writing ? RefuseForWriting(fd) : RefuseDir(fd);
  if (fd < 0) return -1;
  // Truncated only once it is known to be a file that may be written.
  if (truncate && ftruncate(fd, 0) != 0) return FailClosing(fd), -1;
  if (flags != O_PATH) fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
  return fd;
}

int CreateIn(Place& p) {
  if (!MakeMissing(p)) return -1;
  if (p.name.empty()) {
    errno = EEXIST;
    return -1;
  }
  return ::openat(p.dir.Get(), p.name.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
}

bool UnlinkIn(const Place& p) {
  if (p.name.empty() || !p.missing.empty()) {
    errno = p.name.empty() ? EISDIR : ENOENT;
    return false;
  }
  return ::unlinkat(p.dir.Get(), p.name.c_str(), 0) == 0;
}

bool RemoveDirIn(const Place& p) {
  if (p.name.empty() || !p.missing.empty()) {
    errno = p.name.empty() ? EBUSY : ENOENT;
    return false;
  }
  return ::unlinkat(p.dir.Get(), p.name.c_str(), AT_REMOVEDIR) == 0;
}

bool WriteAtIn(const Place& p, int& fd, int64_t offset, const char* data, size_t n) {
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
  int from = fd;
  int out = -1;
  if (!ReplaceIn(
          p, st.st_mode & 07777,
          [&](int to) { return CopyContent(from, to) && PWriteAll(to, data, n, offset); }, &out))
    return false;
  ::close(fd);
  fd = out;
  return true;
}

bool WriteFileIn(Place& p, const std::string& data) {
  return ReplaceIn(p, 0644, [&](int to) { return PWriteAll(to, data.data(), data.size(), 0); });
}

bool CopyFileIn(Place& p, int from) {
  return ReplaceIn(p, 0644, [&](int to) { return CopyContent(from, to); });
}

Fd FdOpenAt(const Fd& dir, const std::string& name, bool writable, bool create) {
  int flags = (writable ? O_RDWR : O_RDONLY) | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC;
  if (writable && create) flags |= O_CREAT;
  int fd = ::openat(dir.Get(), name.c_str(), flags, 0666);
  struct stat st;
  if (fd >= 0 && fstat(fd, &st) == 0 && (!S_ISREG(st.st_mode) || (writable && st.st_nlink > 1))) {
    errno = S_ISDIR(st.st_mode) ? EISDIR : S_ISREG(st.st_mode) ? EMLINK : EINVAL;
    FailClosing(fd);
    return Fd();
  }
  if (fd >= 0) fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
  return Fd(fd);
}

bool UnlinkAt(const Fd& dir, const std::string& name) { return ::unlinkat(dir.Get(), name.c_str(), 0) == 0; }

Fd OpenDirAt(const Fd& dir, const std::string& name) {
  return Fd(::openat(dir.Get(), name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
}

bool RemoveDirAt(const Fd& dir, const std::string& name) {
  return ::unlinkat(dir.Get(), name.c_str(), AT_REMOVEDIR) == 0;
}

uint64_t DeviceOf(const Fd& fd) {
  struct stat st;
  return fd.Valid() && fstat(fd.Get(), &st) == 0 ? static_cast<uint64_t>(st.st_dev) : 0;
}

bool RenameAt(const Fd& dir, const std::string& from, const std::string& to) {
  return ::renameat(dir.Get(), from.c_str(), dir.Get(), to.c_str()) == 0;
}

bool FdSyncDir(const Fd& dir) {
  Fd d(::openat(dir.Get(), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  return d.Valid() && ::fsync(d.Get()) == 0;
}

bool ListDirFd(const Fd& dir, std::vector<DirEntry>& out) {
  out.clear();
  int fd = ::openat(dir.Get(), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return false;
  std::unique_ptr<DIR, DirCloser> d(fdopendir(fd));
  if (!d) return FailClosing(fd);
  while (struct dirent* e = readdir(d.get())) {
    std::string name = e->d_name;
    if (name == "." || name == "..") continue;
    DirEntry entry;
    entry.name = name;
    struct stat st;
    if (fstatat(fd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0) {
      entry.dev = st.st_dev, entry.ino = st.st_ino;
      entry.isLink = S_ISLNK(st.st_mode);
      entry.isDir = S_ISDIR(st.st_mode) ||
                    (entry.isLink && fstatat(fd, name.c_str(), &st, 0) == 0 && S_ISDIR(st.st_mode));
    }
    out.push_back(std::move(entry));
  }
  std::sort(out.begin(), out.end(), [](const DirEntry& a, const DirEntry& b) { return a.name < b.name; });
  return true;
}

}  // namespace KPlat
