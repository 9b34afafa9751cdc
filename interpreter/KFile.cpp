// KFile: files: names and contexts, opening by mode letter, the loaded
// buffer and its reload, writing back behind the write fence, attributes
// and times, fields, text forms and images.
#include "KFile.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <memory>

#include "KArg.h"
#include "KBit.h"
#include "KClock.h"
#include "KFCtxt.h"
#include "KNum.h"
#include "KPlatform.h"
#include "KSeq.h"
#include "KString.h"
#include "Kerror.h"

static const char* const kUnit = "Interpreter/KFile";

int32_t KFile::maxSize = 20000000;
std::string KFile::fLastError;

namespace {
struct KBDone {
  void operator()(KB* v) const { KB::DoneWith(v); }
};
template <class T>
using Owned = std::unique_ptr<T, KBDone>;

const char* const kListing =
    ":, :attr, :bof, :clear, :create, :destroy, :eof, :exists, :ext, :fc, :fname, :fpath, :name, :props, :ro, "
    ":size, :string, :stringv, :ts, :typec, :typen";

double DaysOf(int64_t ns) {
  int64_t sec = ns / 1000000000LL, rem = ns % 1000000000LL;
  if (rem < 0) rem += 1000000000LL, --sec;
  return KClock::DaysFromUnix(sec, static_cast<int32_t>(rem));
}

bool IsWriteMode(char m) { return m == 'W' || m == 'X' || m == 'A'; }

// Locates a path to be changed. The fence's refusal, and a path the walk
// cannot resolve (a loop, beyond the system's length), raise the fence's
// reason; any other failure is false with errno set.
bool PlaceToChange(const std::string& sysPath, KPlat::Place& place, bool followLast) {
  switch (KPlat::Locate(sysPath, place, followLast)) {
    case KPlat::Fence::kAdmitted: return true;
    case KPlat::Fence::kFailed:
      if (errno != ELOOP && errno != ENAMETOOLONG) return false;
      [[fallthrough]];
    default: KTHROW(KT::eValue, KFCtxt::ReasonText());
  }
}

// A byte count as a number: beyond the Int range (whose top value is the
// nil) a Float.
KNum* SizeNumber(int64_t n) {
  return n < INT32_MAX ? new KNum(static_cast<int32_t>(n)) : new KNum(static_cast<double>(n));
}

// The text a value contributes when written to a file.
std::string WrittenText(KB* v) {
  if (v->typen() == KT::tString || v->typen() == KT::tField) return KB::TextOf(v);
  return v->AsString(false);
}
}  // namespace

// ------------------------------------------------------------ record

KFile::KRec::~KRec() {
  if (fd >= 0) KPlat::CloseFile(fd);
  KB::DoneWith(fc);
  KB::DoneWith(name);
  KB::DoneWith(buf);
}

void KFile::KRec::Held(std::vector<KB*>& out) const {
  out.push_back(fc);
  out.push_back(name);
  out.push_back(buf);
}

// A copy is a closed file of the same name with an empty buffer.
KFile::KRec* KFile::KRec::Clone() const {
  KRec* r = new KRec();
  r->fc = fc;
  fc->Reference(true);
  r->name = name;
  name->Reference(true);
  r->buf = new KString();
  r->sysName = sysName;
  return r;
}

// ------------------------------------------------------------ construction

void KFile::Init(KString* name, KFCtxt* fc) {
  descriptor->align = KT::aPtr;
  descriptor->elemSize = KT::TypeAlignToElemSz(KT::aPtr);
  descriptor->count = descriptor->capacity = 1;
  KRec* r = new KRec();
  r->fc = fc;
  r->name = name;
  r->buf = new KString();
  descriptor->rec = r;
}

KFile::KFile() : KB(KT::tFile) { Init(new KString(), new KFCtxt()); }

KFile::KFile(const std::string& path) : KB(KT::tFile) {
  std::string p = path;
  for (char& c : p)
    if (c == '/') c = '\\';
  size_t slash = p.rfind('\\');
  std::string dir = slash == std::string::npos ? std::string() : p.substr(0, slash + 1);
  Init(new KString(slash == std::string::npos ? p : p.substr(slash + 1)), new KFCtxt(dir));
}

KFile::KFile(KString* path) : KFile(path ? path->Value() : std::string()) {}

KFile::KFile(KString* name, KFCtxt* fc) : KB(KT::tFile) {
  std::string n = name ? name->Value() : std::string();
  for (char& c : n)
    if (c == '/') c = '\\';
  size_t slash = n.rfind('\\');
  if (slash == std::string::npos || !fc) {
    Init(new KString(n), fc ? new KFCtxt(fc) : new KFCtxt());
    return;
  }
  // A name with directories: they extend the context.
  Owned<KFCtxt> ctx(new KFCtxt(fc));
  std::string dir = n.substr(0, slash + 1);
  if (dir[0] == '\\' || dir.find(':') != std::string::npos) {  // absolute: replaces it
    ctx.reset(new KFCtxt(dir));
  } else {
    Owned<KString> d(new KString(dir));
    ctx->Catenate(d.get());
  }
  Init(new KString(n.substr(slash + 1)), ctx.release());
}

KFile::KFile(KFile* other) : KB(KT::tFile) {
  Init(new KString(other->NameText()), new KFCtxt(other->FC()));
  rec()->sysName = other->rec()->sysName;
}

KFile::~KFile() = default;

// ------------------------------------------------------------ names

KFCtxt* KFile::FC() const { return rec()->fc; }
std::string KFile::NameText() const { return rec()->name->Value(); }

std::string KFile::Name() const {
  std::string n = NameText();
  size_t dot = n.rfind('.');
  return dot == std::string::npos ? n : n.substr(0, dot);
}

std::string KFile::Ext() const {
  std::string n = NameText();
  size_t dot = n.rfind('.');
  return dot == std::string::npos ? std::string() : n.substr(dot + 1);
}

std::string KFile::FPath() const { return FC()->FPath() + NameText(); }

// While open, the path resolved at opening: content operations check the
// file for changes often, and resolving walks every component.
std::string KFile::SysPath() const {
  if (rec()->fd >= 0 && !rec()->openPath.empty()) return rec()->openPath;
  std::string dir = FC()->SysPath();
  if (dir.back() != '/') dir += '/';
  return KPlat::NormalPath(dir + (rec()->sysName.empty() ? KPlat::SysPathOf(NameText()) : rec()->sysName));
}

void KFile::NameSet(KString* name) {
  Close();
  KString* n = new KString(name ? name->Value() : std::string());
  KB::DoneWith(rec()->name);
  rec()->name = n;
  rec()->sysName.clear();
}

void KFile::FCSet(KFCtxt* fc) {
  Close();
  KFCtxt* c = fc ? new KFCtxt(fc) : new KFCtxt();
  KB::DoneWith(rec()->fc);
  rec()->fc = c;
}

void KFile::SysNameSet(const std::string& sysName) { rec()->sysName = sysName; }

// ------------------------------------------------------------ state

char KFile::Mode() const { return rec()->mode; }
bool KFile::RO() const { return rec()->ro != 0; }
int KFile::Handle() const { return rec()->fd >= 0 ? rec()->fd : 0; }

bool KFile::Exists() {
  if (rec()->fd >= 0) return true;
  KPlat::FileInfo info;
  return KPlat::Stat(SysPath(), info) && !info.isDir;
}

std::string KFile::Properties() {
  return rec()->buf->Properties() + Fmt(";O[%c];Hnd[%d];RO[%c]", rec()->mode, Handle(), RO() ? 'Y' : 'N');
}

bool KFile::Fail() {
  fLastError = KError::LastError();
  return false;
}

// ------------------------------------------------------------ open and close

bool KFile::Open(char mode) {
  KRec* r = rec();
  mode = static_cast<char>(std::toupper(static_cast<unsigned char>(mode)));
  if (mode == r->mode) return true;
  if (r->fd >= 0 && !KPlat::CloseFile(r->fd)) Fail();
  r->fd = -1;
  r->mode = 'C';
  r->place = KPlat::Place();
  std::string path = SysPath();
  int fd;
  if (IsWriteMode(mode)) {
    // Opened relative to the directory the fence judged; only writing
    // creates the directories on the way.
    KPlat::Place place;
    try {
      if (!PlaceToChange(path, place, true)) return Fail();
    } catch (const KError&) {
      r->ro = 1;
      throw;
    }
    fd = KPlat::OpenIn(place, mode);
    if (fd >= 0) r->place = std::move(place);
  } else {
    fd = KPlat::OpenFile(path, mode);
  }
  if (fd < 0) return Fail();
  r->fd = fd;
  r->openPath = path;
  switch (mode) {
    case 'Q':
    case 'R':
      r->mode = mode;
      r->ro = 1;
      break;
    case 'W':
    case 'X':
      r->mode = 'W';
      r->ro = 0;
      break;
    default:  // 'A': the mode letter stays
      r->ro = 0;
      break;
  }
  return true;
}

void KFile::ResetBuffer() {
  KString* fresh = new KString();
  KB::DoneWith(rec()->buf);
  rec()->buf = fresh;
  rec()->loaded = false;
  rec()->loadDays = 0;
  rec()->stampNs = 0;
  rec()->stampSize = -1;
  rec()->stampIno = 0;
}

bool KFile::Close() {
  KRec* r = rec();
  r->mode = 'C';
  ResetBuffer();
  bool ok = true;
  if (r->fd >= 0 && !KPlat::CloseFile(r->fd)) ok = Fail();
  r->fd = -1;
  r->place = KPlat::Place();
  return ok;
}

bool KFile::Create() {
  if (Exists()) return false;
  KPlat::Place place;
  if (!PlaceToChange(SysPath(), place, true)) return Fail();
  int fd = KPlat::CreateIn(place);
  if (fd < 0) return Fail();
  KPlat::CloseFile(fd);
  rec()->ro = 0;
  return Open('W');
}

// Deleting removes a link itself, never what it points to.
bool KFile::Destroy() {
  if (!Exists() || RO()) return false;
  if (NameText().empty()) return true;
  KPlat::Place place;
  if (!PlaceToChange(SysPath(), place, false)) return Fail();
  Close();
  if (!KPlat::UnlinkIn(place)) return Fail();
  return true;
}

bool KFile::ROSet(bool ro) {
  if (!ro) {
    KPlat::Place place;
    if (KPlat::Locate(SysPath(), place, true) != KPlat::Fence::kAdmitted) return false;
    rec()->ro = 0;
    if (!Open('W')) return false;
  } else {
    rec()->ro = 1;
    if (rec()->mode == 'W' && !Open('R')) return false;
    if (rec()->loaded) rec()->buf->ToBOS();
  }
  if (rec()->loaded) rec()->buf->ToEOS();
  return true;
}

// ------------------------------------------------------------ the buffer

// Changed: another last-write time, size or file (renamed over) than the
// one loaded.
bool KFile::ChangedOnDisk() {
  KPlat::FileInfo info;
  if (!KPlat::Stat(SysPath(), info)) return false;
  return info.writtenNs != rec()->stampNs || info.size != rec()->stampSize || info.ino != rec()->stampIno;
}

namespace {
// The first bytes of the file (at most maxSize) read straight into the
// string's own storage; empty when the read fails.
KString* ReadBuffer(int fd, int64_t size) {
  int64_t want = std::min<int64_t>(size, KFile::maxSize);
  if (want <= 0) return new KString();
  char* data = static_cast<char*>(KB::AllocData(static_cast<size_t>(want) + 1, false));
  int64_t got = KPlat::ReadInto(fd, data, want);
  if (got <= 0) {
    KB::FreeData(data);
    return new KString();
  }
  return new KString(data, static_cast<int>(got), static_cast<int>(want), false);
}
}  // namespace

void KFile::Load() {
  KRec* r = rec();
  KPlat::FileInfo now;
  // The path now designates another file: follow it.
  if (KPlat::Stat(SysPath(), now) && r->fd >= 0) {
    KPlat::FileInfo open;
    if (KPlat::StatFd(r->fd, open) && open.ino != now.ino) {
      char mode = r->mode;
      r->mode = 'C';
      if (!Open(mode)) KTHROW(KT::eNULL, fLastError.c_str());
    }
  }
  KPlat::FileInfo info;
  KString* fresh = KPlat::StatFd(r->fd, info) ? ReadBuffer(r->fd, info.size) : new KString();
  KB::DoneWith(r->buf);
  r->buf = fresh;
  r->loaded = true;
  r->stampNs = info.writtenNs;
  r->stampSize = info.size;
  r->stampIno = info.ino;
  r->loadDays = DaysOf(info.writtenNs);
  if (r->mode == 'W') r->buf->ToEOS();
}

KString* KFile::Buf() {
  KRec* r = rec();
  if (r->fd < 0 || (r->mode != 'R' && r->mode != 'W')) {
    if (!Open('R')) KTHROW(KT::eNULL, fLastError.c_str());
  }
  if (!r->loaded || ChangedOnDisk()) Load();
  return r->buf;
}

void KFile::bufSet(KString* s) {
  KString* fresh = new KString(s ? s->Value() : std::string());
  KB::DoneWith(rec()->buf);
  rec()->buf = fresh;
}

// Writes text at a file offset; keeps the buffer and the stamp in step.
bool KFile::WriteText(const std::string& text, int64_t at) {
  KRec* r = rec();
  // Only a file opened for writing holds the place its writes go to.
  if (!r->place.dir.Valid()) KTHROW(KT::eValue, KFCtxt::ReasonText());
  if (!KPlat::WriteAtIn(r->place, r->fd, at, text.data(), text.size())) return Fail();
  KPlat::FileInfo info;
  if (KPlat::StatFd(r->fd, info)) {
    r->stampNs = info.writtenNs;
    r->stampSize = info.size;
    r->stampIno = info.ino;
    r->loadDays = DaysOf(info.writtenNs);
  }
  return true;
}

int KFile::writeBuf(int from, int count) {
  if (rec()->mode != 'W') return 0;
  KString* b = rec()->buf;
  if (from < 0) from = 0;
  int n = std::min(count, b->Len() - from);
  if (n <= 0) return 0;
  std::string text(b->Str() + from, static_cast<size_t>(n));
  return WriteText(text, from) ? n : -1;
}

namespace {
// Brings a file to mode 'W', creating it when missing.
bool Writable(KFile* f) {
  if (f->Mode() == 'W') return true;
  return f->Exists() ? f->Open('W') : f->Create();
}
}  // namespace

int KFile::NextWr(KB* value) {
  // A value the buffer would refuse is refused before the file is touched
  // (made writable, perhaps created).
  if (value->typen() != KT::tString && value->typen() != KT::tField) KTHROW(KT::eNotSupp, "R-Type");
  if (!Writable(this)) return -1;
  KString* b = Buf();
  int from = std::max(b->Pos(), 0);
  int pos = b->NextWr(value);
  return writeBuf(from, pos - from);
}

void KFile::Append(KB* value) {
  std::string text = WrittenText(value);
  if (!Writable(this)) KTHROW(KT::eNULL, fLastError.c_str());
  KString* b = Buf();
  int64_t end = Size();
  if (end < 0) KTHROW(KT::eNULL, fLastError.c_str());
  bool whole = b->Len() == end;
  if (!WriteText(text, end)) KTHROW(KT::eNULL, fLastError.c_str());
  if (whole && end + static_cast<int64_t>(text.size()) <= maxSize) {
    b->Append(text.data(), static_cast<int>(text.size()));
    b->ToEOS();
  } else {
    rec()->loaded = false;
  }
}

bool KFile::fB() { return rec()->buf->AtBOS(); }
bool KFile::fE() { return rec()->buf->AtEOS(); }
int KFile::ToBOS() { return rec()->buf->ToBOS(); }
int KFile::ToEOS() { return rec()->buf->ToEOS(); }

// ------------------------------------------------------------ attributes

int64_t KFile::Size() {
  KPlat::FileInfo info;
  bool ok = rec()->fd >= 0 ? KPlat::StatFd(rec()->fd, info) : KPlat::Stat(SysPath(), info);
  if (ok && info.isDir) ok = false, errno = EISDIR;
  if (!ok) return Fail(), -1;
  return info.size;
}

KClock* KFile::Time(char which) {
  KPlat::FileInfo info;
  if (!KPlat::Stat(SysPath(), info)) return Fail(), nullptr;
  switch (std::toupper(static_cast<unsigned char>(which))) {
    case 'C': return new KClock(DaysOf(info.createdNs));
    case 'W': return new KClock(DaysOf(info.writtenNs));
    case 'A': return new KClock(DaysOf(info.accessedNs));
    default: return nullptr;
  }
}

KSeq* KFile::Times() {
  Owned<KSeq> out(new KSeq());
  for (char c : {'C', 'W', 'A'}) {
    KClock* t = Time(c);
    if (!t) return nullptr;
    out->AppendOwned(t);
  }
  return out.release();
}

KSeq* KFile::Attr() {
  KPlat::FileInfo info;
  if (!KPlat::Stat(SysPath(), info)) return Fail(), nullptr;
  bool hidden = !NameText().empty() && NameText()[0] == '.';
  std::string names;
  if (info.isDir) names += "Directory,";
  if (hidden) names += "Hidden,";
  if (info.isReg && !hidden && info.writable) names += "Normal,";
  if (!info.writable) names += "ReadOnly,";
  Owned<KSeq> times(Times());
  if (!times) return nullptr;
  Owned<KSeq> out(new KSeq());
  out->AppendOwned(SizeNumber(info.size & 0xFFFFFFFF));
  out->AppendOwned(new KString(names));
  out->AppendOwned(times.release());
  int exec = KPlat::ExecType(SysPath());
  out->AppendOwned(new KString(exec == 4 ? "POSIX - based application" : "Not Executable"));
  return out.release();
}

// ------------------------------------------------------------ KB operations

std::string KFile::AsSimpleString() { return NameText(); }

const std::string& KFile::AsString(bool verbose) {
  text = verbose ? VerbosePrefix() + "N:" + NameText() + ";" + FC()->AsSimpleString() : NameText();
  return text;
}

KB* KFile::Clone() { return new KFile(this); }

int KFile::Compare(KB* o) const {
  if (o->typen() != KT::tFile) return typen() - o->typen();
  return FPath().compare(static_cast<KFile*>(o)->FPath());
}

bool KFile::EQ(KB* o) { return o && o->typen() == KT::tFile && Compare(o) == 0; }

bool KFile::GT(KB* o, int i, int j, bool descending) {
  int c = Compare(o);
  if (c) return c > 0;
  return descending ? j < i : i < j;
}

KB* KFile::BitOf(bool b) { return new KBit(b); }

namespace {
using FileField = KB* (*)(KFile*);
struct FileFieldEntry {
  const char* name;
  FileField get;
};

KB* OrEmpty(KSeq* s) { return s ? static_cast<KB*>(s) : new KSeq(); }

const FileFieldEntry kFileFields[] = {
    {":attr", [](KFile* f) -> KB* { return OrEmpty(f->Attr()); }},
    {":bof", [](KFile* f) -> KB* { return new KBit(f->fB()); }},
    {":clear", [](KFile* f) -> KB* { return new KBit(f->Open('X')); }},
    {":create", [](KFile* f) -> KB* { return new KBit(f->Create()); }},
    {":destroy", [](KFile* f) -> KB* { return new KBit(f->Destroy()); }},
    {":eof", [](KFile* f) -> KB* { return new KBit(f->fE()); }},
    {":exists", [](KFile* f) -> KB* { return new KBit(f->Exists()); }},
    {":ext", [](KFile* f) -> KB* { return new KString(f->Ext()); }},
    {":fc", [](KFile* f) -> KB* { return new KFCtxt(f->FC()); }},
    {":fname", [](KFile* f) -> KB* { return new KString(f->FName()); }},
    {":fpath", [](KFile* f) -> KB* { return new KString(f->FPath()); }},
    {":name", [](KFile* f) -> KB* { return new KString(f->Name()); }},
    {":props", [](KFile* f) -> KB* { return new KString(f->Properties()); }},
    {":ro", [](KFile* f) -> KB* { return new KBit(f->RO()); }},
    {":size",
     [](KFile* f) -> KB* {
       int64_t n = f->Size();
       return n < 0 ? new KNum() : SizeNumber(n);
     }},
    {":ts", [](KFile* f) -> KB* { return OrEmpty(f->Times()); }},
};
}  // namespace

KB* KFile::FieldGet(KB* name) {
  for (const FileFieldEntry& f : kFileFields)
    if (FieldIs(name, f.name)) return f.get(this);
  return StdFieldOr(name, kListing);
}

// ------------------------------------------------------------ images
// Frame, the name string's image, the context's image.

int KFile::SOSz() { return 8 + rec()->name->SOSz() + FC()->SOSz(); }

std::string KFile::SO() {
  std::string s = ImageHeader(KT::tFile, SOSz());
  s += rec()->name->SO();
  s += FC()->SO();
  return s;
}

KB* KFile::SI(const char* image) {
  if (!image) KTHROW(KT::eValue, "Image");
  int total = GetI32(image + 4);
  if (total < 8 + 13 + 21 || image[8] != static_cast<char>(KT::tString)) KTHROW(KT::eValue, "Image");
  int nameLen = GetI32(image + 12);
  if (nameLen < 13 || nameLen > total - 8 - 21) KTHROW(KT::eValue, "Image");
  const char* ctx = image + 8 + nameLen;
  if (ctx[0] != static_cast<char>(KT::tFCtxt) || GetI32(ctx + 4) != total - 8 - nameLen) KTHROW(KT::eValue, "Image");
  Owned<KB> name(KString::SI(image + 8));
  Owned<KB> fc(KFCtxt::SI(ctx));
  return new KFile(static_cast<KString*>(name.get()), static_cast<KFCtxt*>(fc.get()));
}
