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
