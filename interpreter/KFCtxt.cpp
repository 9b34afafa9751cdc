// KFCtxt: file contexts: path cleaning and components, joining, listings
// and trees, creating and purging directories behind the write fence.
#include "KFCtxt.h"

#include <cerrno>
#include <memory>

#include "KArg.h"
#include "KBit.h"
#include "KFile.h"
#include "KNum.h"
#include "KPlatform.h"
#include "KRB.h"
#include "KSeq.h"
#include "KString.h"
#include "Kerror.h"

static const char* const kUnit = "Interpreter/KFCtxt";

namespace {
struct KBDone {
  void operator()(KB* v) const { KB::DoneWith(v); }
};
template <class T>
using Owned = std::unique_ptr<T, KBDone>;

const char* const kListing =
    ":, :all, :create, :cwd, :exists, :ext, :fc, :fcs, :files, :fname, :fpath, :isabs, :isempty, :name, :path, "
    ":purge, :size, :string, :stringv, :tree, :treefull, :typec, :typen";

// The stored path without its final "\" (the root "\" stays empty).
std::string Trimmed(const std::string& path) {
  return !path.empty() && path.back() == '\\' ? path.substr(0, path.size() - 1) : path;
}

bool IsPrintable(const std::string& s) {
  for (unsigned char c : s)
    if (c < 0x20 || c == 0x7F) return false;
  return true;
}

bool IsAbsText(const std::string& p) {
  return (p.size() > 1 && (p[0] == '\\' || p[0] == '/')) || p.find(':') != std::string::npos;
}

// A lone separator, written by a script, names the root.
bool NamesRoot(const std::string& p) { return p == "\\" || p == "/"; }
}  // namespace

// ------------------------------------------------------------ record

KFCtxt::KRec::~KRec() { KB::DoneWith(path); }
void KFCtxt::KRec::Held(std::vector<KB*>& out) const { out.push_back(path); }

KFCtxt::KRec* KFCtxt::KRec::Clone() const {
  KRec* r = new KRec();
  r->path = path;
  if (path) path->Reference(true);
  r->sys = sys;
  return r;
}

// ------------------------------------------------------------ construction

std::string KFCtxt::Clean(const std::string& path) {
  std::string s = path;
  for (char& c : s)
    if (c == '/') c = '\\';
  if (s.empty() || s.back() != '\\') s += '\\';
  return s;
}

void KFCtxt::Init(const std::string& path) {
  descriptor->align = KT::aPtr;
  descriptor->elemSize = KT::TypeAlignToElemSz(KT::aPtr);
  descriptor->count = descriptor->capacity = 1;
  KRec* r = new KRec();
  r->path = new KString(Clean(path));
  // "\" alone names the root; the empty path, stored alike, the current
  // directory. The system path tells them apart.
  if (path == "\\" || path == "/") r->sys = "/";
  descriptor->rec = r;
}

void KFCtxt::SetPath(const std::string& path) {
  KString* s = new KString(Clean(path));
  KB::DoneWith(rec()->path);
  rec()->path = s;
  rec()->sys.clear();
}

KFCtxt::KFCtxt() : KB(KT::tFCtxt) { Init(""); }
KFCtxt::KFCtxt(const char* path) : KB(KT::tFCtxt) { Init(path ? path : ""); }
KFCtxt::KFCtxt(const std::string& path) : KB(KT::tFCtxt) { Init(path); }
KFCtxt::KFCtxt(KString* path) : KB(KT::tFCtxt) { Init(path ? path->Value() : ""); }

KFCtxt::KFCtxt(KFCtxt* other) : KB(KT::tFCtxt) {
  Init(other->Path());
  rec()->sys = other->rec()->sys;
}

KFCtxt::KFCtxt(KA& a) : KB(KT::tFCtxt) {
  switch (a.Type()) {
    case KT::tString:
    case KT::tField:
      Init(a.As<KString>()->Value());
      break;
    case KT::tFCtxt:
      Init(a.As<KFCtxt>()->Path());
      rec()->sys = a.As<KFCtxt>()->rec()->sys;
      break;
    case KT::tFile:
      Init(a.As<KFile>()->FC()->Path());
      rec()->sys = a.As<KFile>()->FC()->rec()->sys;
      break;
    default:
      KTHROW(KT::eNotSupp, "Argument type");
  }
}

KFCtxt::KFCtxt(KA& left, KA& right) : KFCtxt(left) { Catenate(right.value); }

// ------------------------------------------------------------ the path

std::string KFCtxt::Path() const { return rec()->path->Value(); }

bool KFCtxt::IsRoot() const { return rec()->sys == "/" && Path() == "\\"; }

bool KFCtxt::IsAbsolute() const { return IsAbsText(Path()) || IsRoot(); }

std::string KFCtxt::PathCWD() { return KPlat::CurrentDir(); }

// Its text may not hold every character of the directory's name: then the
// context keeps the system path it stands for.
KFCtxt* KFCtxt::WorkingDir() {
  KFCtxt* c = new KFCtxt(PathCWD());
  std::string real = KPlat::FenceResolve("");
  if (!real.empty() && KPlat::SysPathOf(c->Path()) != real) c->rec()->sys = real;
  return c;
}

std::string KFCtxt::FPath() const {
  std::string p = Path();
  if (IsAbsolute()) return p;
  return PathCWD() + (p == "\\" ? std::string() : p);
}

std::string KFCtxt::SysPath() const {
  if (!rec()->sys.empty()) return rec()->sys;
  // A relative path stays relative: the system joins it to the real
  // directory, whose name the text form may not hold byte for byte.
  if (!IsAbsolute()) return KPlat::NormalPath(Path() == "\\" ? std::string("./") : KPlat::SysPathOf(Path()));
  std::string full = FPath();
  // "C:\x" names "/x": there are no drives.
  if (full.size() >= 2 && full[1] == ':' && ((full[0] | 0x20) >= 'a' && (full[0] | 0x20) <= 'z'))
    full = full.substr(2);
  return KPlat::NormalPath(KPlat::SysPathOf(full));
}

std::string KFCtxt::FName() const {
  std::string t = Trimmed(Path());
  size_t slash = t.rfind('\\');
  return slash == std::string::npos ? t : t.substr(slash + 1);
}

std::string KFCtxt::Name() const {
  std::string f = FName();
  size_t dot = f.rfind('.');
  return dot == std::string::npos ? f : f.substr(0, dot);
}

std::string KFCtxt::Ext() const {
  std::string f = FName();
  size_t dot = f.rfind('.');
  return dot == std::string::npos ? std::string() : f.substr(dot + 1);
}

std::string KFCtxt::ParentPath() const {
  std::string t = Trimmed(Path());
  size_t slash = t.rfind('\\');
  return slash == std::string::npos ? std::string() : t.substr(0, slash + 1);
}

namespace {
// Components of a path (a leading "\" stays with the first one).
std::vector<std::string> Components(const std::string& path) {
  std::vector<std::string> parts;
  std::string t = Trimmed(path);
  size_t i = 0;
  while (i < t.size()) {
    size_t j = t.find('\\', i == 0 && t[0] == '\\' ? 1 : i);
    if (j == std::string::npos) j = t.size();
    parts.push_back(t.substr(i, j - i));
    i = j + 1;
  }
  return parts;
}

std::string TakeText(const std::string& path, int n, bool fromFront) {
  if (n == KT::iNil) n = 1;
  if (!fromFront && n > 0) n = -n;
  std::vector<std::string> parts = Components(path);
  int count = static_cast<int>(parts.size());
  int want = n < 0 ? (n < -count ? count : -n) : (n > count ? count : n);
  int first = n < 0 ? count - want : 0;
  std::string out;
  for (int k = first; k < first + want; ++k) out += parts[k] + "\\";
  return out;
}
}  // namespace

// Components taken from the root alone are the root, not the empty
// (working directory) path.
KFCtxt* KFCtxt::Take(int n, bool fromFront, bool) {
  if (IsRoot() && n != 0) return new KFCtxt(this);
  return new KFCtxt(TakeText(Path(), n, fromFront));
}

KFCtxt* KFCtxt::TakeFull(int n, bool fromFront, bool) {
  std::string full = FPath();
  if (full == "\\" && n != 0) return new KFCtxt(full);
  return new KFCtxt(TakeText(full, n, fromFront));
}

// ------------------------------------------------------------ changes

void KFCtxt::Catenate(KB* right) {
  std::string tail;
  switch (right->typen()) {
    case KT::tFCtxt:
      if (static_cast<KFCtxt*>(right)->IsAbsolute()) KTHROW(KT::eValue, "RT Absolute");
      tail = static_cast<KFCtxt*>(right)->Path();
      break;
    case KT::tString:
    case KT::tField:
      tail = TextOf(right);
      if (!IsPrintable(tail)) KTHROW(KT::eValue, "Invalid FC RT");
      if (IsAbsText(tail) || NamesRoot(tail)) KTHROW(KT::eValue, "RT Absolute");
      break;
    default:
      KTHROW(KT::eValue, "Type");
  }
  if (tail == "\\") tail.clear();
  if (IsRoot()) {
    if (!tail.empty()) SetPath("\\" + tail);
    return;
  }
  std::string head = Path();
  if (head == "\\") head.clear();
  std::string sys = rec()->sys;
  SetPath(head + tail);
  if (!sys.empty() && !tail.empty()) rec()->sys = sys + KPlat::SysPathOf(Clean(tail));
}

void KFCtxt::chgFCtxt(KA& a) {
  KFCtxt other(a);
  SetPath(other.Path());
  rec()->sys = other.rec()->sys;
}

void KFCtxt::ChgCWD(KA& a) {
  KFCtxt target(a);
  if (!target.Exists()) KTHROW(KT::eValue, "No such Path");
  if (!KPlat::ChangeDir(target.SysPath())) KTHROW(KT::eValue, "Can't set Path");
}

void KFCtxt::IdxAssign(KB* value, KB* index) {
  KB* field = index;
  // A field list of one field names that field (brackets make lists).
  if (field && field->typen() == KT::tFL && field->Count() == 1) field = (*static_cast<KSeq*>(field))[0];
  if (!field || field->typen() != KT::tField) KTHROW(KT::eNotSupp, "Type");
  KA v(value);
  if (FieldIs(field, ":cwd")) ChgCWD(v);
  else if (FieldIs(field, ":fc")) chgFCtxt(v);
  else KTHROW(KT::eNotSupp, "Type");
}

// ------------------------------------------------------------ file system

bool KFCtxt::Exists() const {
  KPlat::FileInfo info;
  return KPlat::Stat(SysPath(), info) && info.isDir;
}

bool KFCtxt::IsEmpty() const {
  std::vector<KPlat::DirEntry> entries;
  if (!KPlat::ListDir(SysPath(), entries)) return false;
  for (const KPlat::DirEntry& e : entries)
    if (e.name[0] != '.') return false;
  return true;
}

bool KFCtxt::IsValidPath() const {
  KPlat::Place place;
  return KPlat::Locate(SysPath(), place, true, true) == KPlat::Fence::kAdmitted;
}
bool KFCtxt::IsRemovable() const { return KPlat::IsRemovable(SysPath()); }

bool KFCtxt::ContainsTARQUserDir() const {
  std::string resolved = KPlat::FenceResolve(SysPath());
  for (char& c : resolved)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return resolved.find("/tarq/user/") != std::string::npos;
}

const char* KFCtxt::ReasonText() { return KPlat::kFenceReason; }

namespace {
// Locates the context's directory for a change; the fence's refusal, and a
// path the walk cannot resolve, raise the fence's reason.
bool Judge(KPlat::Fence verdict) {
  if (verdict == KPlat::Fence::kAdmitted) return true;
  if (verdict == KPlat::Fence::kFailed && errno != ELOOP && errno != ENAMETOOLONG) return false;
  KTHROW(KT::eValue, KFCtxt::ReasonText());
}

bool PlaceToChange(const std::string& sysPath, KPlat::Place& place) {
  return Judge(KPlat::Locate(sysPath, place, true, true));
}

bool PlaceToChangeFile(const std::string& sysPath, KPlat::Place& place) {
  return Judge(KPlat::Locate(sysPath, place, true));
}
}  // namespace

void KFCtxt::PathCreate() {
  // Made below the directory the fence judged, entering each new one
  // without following links.
  KPlat::Place place;
  if (!PlaceToChange(SysPath(), place) || !KPlat::OpenPlaceDir(place, true).Valid())
    KTHROW(KT::eValue, Fmt("Can''t create (%s)", FPath().c_str()).c_str());
}

KSeq* KFCtxt::PathRemove(bool recursive) {
  KPlat::Place place;
  Owned<KSeq> remain(new KSeq());
  if (!PlaceToChange(SysPath(), place)) return remain.release();
  KPlat::Fd dir = KPlat::OpenPlaceDir(place, false);
  if (dir.Valid()) RemoveInto(dir, FPath(), recursive, remain.get());
  return remain.release();
}

// Deletes the entries of one open directory; links are removed as links and
// subdirectories are entered by descriptor, so nothing swapped in meanwhile
// leads out of the tree the fence admitted. A subdirectory on another device
// (a mount inside the tree) is left alone.
void KFCtxt::RemoveInto(const KPlat::Fd& dir, const std::string& langDir, bool recursive, KSeq* remain) {
  NestGuard guard;
  std::vector<KPlat::DirEntry> entries;
  if (!KPlat::ListDirFd(dir, entries)) return;
  for (const KPlat::DirEntry& e : entries) {
    KB::Breathe();
    std::string lang = langDir + KPlat::LangNameOf(e.name);
    bool realDir = e.isDir && !e.isLink;
    if (!realDir) {
      if (!KPlat::UnlinkAt(dir, e.name)) remain->AppendOwned(new KString(lang));
      continue;
    }
    KPlat::Fd sub = recursive ? KPlat::OpenDirAt(dir, e.name) : KPlat::Fd();
    if (!sub.Valid() || KPlat::DeviceOf(sub) != KPlat::DeviceOf(dir)) {
      remain->AppendOwned(new KString(lang + "\\"));
      continue;
    }
    int before = remain->Count();
    RemoveInto(sub, lang + "\\", true, remain);
    bool emptied = remain->Count() == before;
    if (!emptied || !KPlat::RemoveDirAt(dir, e.name)) remain->AppendOwned(new KString(lang + "\\"));
  }
}

bool KFCtxt::FileCopy(KFile* f) {
  std::string target = SysPath();
  if (target.back() != '/') target += '/';
  target += KPlat::SysPathOf(f->NameText());
  KPlat::Place place;
  bool located = PlaceToChangeFile(target, place);
  // Only a regular file has a content of its own: a pipe or a device
  // could block the read or never end it. The copy goes in chunks.
  int from = located ? KPlat::OpenFile(f->SysPath(), 'R') : -1;
  KPlat::FileInfo info;
  bool special = from >= 0 && KPlat::StatFd(from, info) && !info.isReg;
  if (special) errno = EINVAL;
  bool ok = from >= 0 && !special && KPlat::CopyFileIn(place, from);
  if (!ok) KFile::fLastError = KError::LastError();
  KPlat::CloseFile(from);
  return ok;
}

int KFCtxt::Copy(KB* source) {
  NestGuard guard;
  switch (source->typen()) {
    case KT::tFile:
      return FileCopy(static_cast<KFile*>(source)) ? 1 : 0;
    case KT::tString:
    case KT::tField: {
      Owned<KFile> f(new KFile(static_cast<KString*>(source)));
      return FileCopy(f.get()) ? 1 : 0;
    }
    case KT::tFCtxt: {
      KA none;
      Owned<KSeq> files(static_cast<KFCtxt*>(source)->List(none, true, false, false));
      return Copy(files.get());
    }
    case KT::tSeq: {
      int n = 0;
      KSeq* s = static_cast<KSeq*>(source);
      for (int i = 0; i < s->Count(); ++i) n += Copy((*s)[i]);
      return n;
    }
    default:
      KTHROW(KT::eNotSupp, "Type");
  }
}

KFCtxt* KFCtxt::Sub(const std::string& sysName, bool) {
  std::string langName = KPlat::LangNameOf(sysName);
  std::string path = Path() == "\\" && !IsRoot() ? std::string() : Path();
  KFCtxt* c = new KFCtxt(path + langName);
  // A colon would make the joined text read as a drive path: such names, and
  // those the text cannot hold, keep their system path.
  bool misread = langName.find(':') != std::string::npos || KPlat::SysPathOf(langName) != sysName;
  if (!rec()->sys.empty() || misread) c->rec()->sys = SysPath() + sysName + "/";
  return c;
}

KFile* KFCtxt::FileFromSys(const std::string& sysName) {
  std::string lang = KPlat::LangNameOf(sysName);
  Owned<KString> name(new KString(lang));
  KFile* f = new KFile(name.get(), this);
  // A "\" in the name is a character of it, not a folder: the file stays in
  // this context under its whole name.
  if (lang.find('\\') != std::string::npos) {
    f->FCSet(this);
    f->NameSet(name.get());
  }
  if (KPlat::SysPathOf(lang) != sysName) f->SysNameSet(sysName);
  return f;
}

KSeq* KFCtxt::List(KA& pattern, bool files, bool dirs, bool recurse) {
  if (!pattern.Is(KT::tString) && !pattern.Is(KT::tField) && !pattern.Is(KT::tNV) && !pattern.Is(KT::tNil))
    KTHROW(KT::eSystem, "Pattern");
  std::string pat = TextOf(pattern.value);
  if (pat.empty()) return ListSys(SysPath(), "*.*", files, dirs, recurse, kTreeDepth);
  // A pattern names a directory (up to its last "\") and an entry pattern;
  // it is taken relative to this context.
  for (char& c : pat)
    if (c == '/') c = '\\';
  if (pat.back() == '\\') pat += "*.*";
  size_t slash = pat.rfind('\\');
  std::string dirPart = slash == std::string::npos ? std::string() : pat.substr(0, slash + 1);
  std::string namePart = slash == std::string::npos ? pat : pat.substr(slash + 1);
  if (namePart.empty()) namePart = "*.*";
  Owned<KFCtxt> dir(new KFCtxt(this));
  if (!dirPart.empty()) {
    if (IsAbsText(dirPart) || NamesRoot(dirPart)) dir.reset(new KFCtxt(dirPart));
    else dir->Catenate(Owned<KString>(new KString(dirPart)).get());
  }
  return dir->ListSys(dir->SysPath(), KPlat::SysPathOf(namePart), files, dirs, recurse, kTreeDepth);
}

KSeq* KFCtxt::ListSys(const std::string& sysDir, const std::string& pattern, bool files, bool dirs, bool recurse,
                      int depth) {
  NestGuard guard;
  Owned<KSeq> out(new KSeq());
  std::vector<KPlat::DirEntry> entries;
  KPlat::ListDir(sysDir, entries);
  for (const KPlat::DirEntry& e : entries) {
    KB::Breathe();
    if (!KPlat::NameMatches(pattern, e.name) || KRB::IsOwnJournal(e.dev, e.ino)) continue;
    if (e.isDir && dirs) {
      Owned<KFCtxt> sub(Sub(e.name, true));
      // A linked directory is not entered: links may form loops.
      if (recurse && !e.isLink && depth > 0) {
        Owned<KSeq> pair(new KSeq());
        Owned<KSeq> inner(sub->ListSys(sub->SysPath(), "*.*", files, dirs, true, depth - 1));
        pair->AppendOwned(sub.release());
        pair->AppendOwned(inner.release());
        out->AppendOwned(pair.release());
      } else {
        out->AppendOwned(sub.release());
      }
    } else if (!e.isDir && files) {
      out->AppendOwned(FileFromSys(e.name));
    }
  }
  return out.release();
}

KSeq* KFCtxt::Tree(int depth, bool withFiles) {
  NestGuard guard;
  Owned<KSeq> out(new KSeq());
  out->AppendRef(this);
  std::vector<KPlat::DirEntry> entries;
  KPlat::ListDir(SysPath(), entries);
  for (const KPlat::DirEntry& e : entries) {
    KB::Breathe();
    if (!e.isDir) {
      if (withFiles) out->AppendOwned(FileFromSys(e.name));
      continue;
    }
    if (depth == 0) continue;
    Owned<KFCtxt> sub(Sub(e.name, true));
    if (e.isLink) {
      // Listed, not entered: links may form loops.
      Owned<KSeq> leaf(new KSeq());
      leaf->AppendOwned(sub.release());
      out->AppendOwned(leaf.release());
    } else {
      out->AppendOwned(sub->Tree(depth - 1, withFiles));
    }
  }
  return out.release();
}

// ------------------------------------------------------------ KB operations

std::string KFCtxt::AsSimpleString() { return Path(); }

const std::string& KFCtxt::AsString(bool verbose) {
  text = verbose ? VerbosePrefix() + Path() : Path();
  return text;
}

KB* KFCtxt::Clone() { return new KFCtxt(this); }

int KFCtxt::Compare(KB* o) const {
  if (o->typen() != KT::tFCtxt) return typen() - o->typen();
  return FPath().compare(static_cast<KFCtxt*>(o)->FPath());
}

bool KFCtxt::EQ(KB* o) { return o && o->typen() == KT::tFCtxt && Compare(o) == 0; }

bool KFCtxt::GT(KB* o, int i, int j, bool descending) {
  int c = Compare(o);
  if (c) return c > 0;
  return descending ? j < i : i < j;
}

namespace {
using CtxField = KB* (*)(KFCtxt*);
struct CtxFieldEntry {
  const char* name;
  CtxField get;
};

KB* Str(const std::string& s) { return new KString(s); }

const CtxFieldEntry kCtxFields[] = {
    {":all", [](KFCtxt* c) -> KB* { KA none; return c->List(none, true, true, false); }},
    {":create", [](KFCtxt* c) -> KB* { c->PathCreate(); return Str(c->FPath()); }},
    {":cwd", [](KFCtxt*) -> KB* { return Str(KFCtxt::PathCWD()); }},
    {":exists", [](KFCtxt* c) -> KB* { return new KBit(c->Exists()); }},
    {":ext", [](KFCtxt* c) -> KB* { return Str(c->Ext()); }},
    {":fc", [](KFCtxt* c) -> KB* { return Str(c->Path()); }},
    {":fcs", [](KFCtxt* c) -> KB* { KA none; return c->List(none, false, true, false); }},
    {":files", [](KFCtxt* c) -> KB* { KA none; return c->List(none, true, false, false); }},
    {":fname", [](KFCtxt* c) -> KB* { return Str(c->FName()); }},
    {":fpath", [](KFCtxt* c) -> KB* { return Str(c->FPath()); }},
    {":isabs", [](KFCtxt* c) -> KB* { return new KBit(c->IsAbsolute()); }},
    {":isempty", [](KFCtxt* c) -> KB* { return new KBit(c->IsEmpty()); }},
    {":name", [](KFCtxt* c) -> KB* { return Str(c->Name()); }},
    {":path", [](KFCtxt* c) -> KB* { return Str(c->ParentPath()); }},
    {":purge", [](KFCtxt* c) -> KB* { return c->PathRemove(true); }},
    {":size", [](KFCtxt*) -> KB* { return new KNum(int32_t{0}); }},
    {":tree", [](KFCtxt* c) -> KB* { return c->Tree(KFCtxt::kTreeDepth, false); }},
    {":treefull", [](KFCtxt* c) -> KB* { return c->Tree(KFCtxt::kTreeDepth, true); }},
};
}  // namespace

KB* KFCtxt::FieldGet(KB* name) {
  for (const CtxFieldEntry& f : kCtxFields)
    if (FieldIs(name, f.name)) return f.get(this);
  return StdFieldOr(name, kListing);
}

// ------------------------------------------------------------ images
// Frame, then the path string's image.

// The root is written "/" (same length), the empty path "\".
int KFCtxt::SOSz() { return 8 + rec()->path->SOSz(); }

std::string KFCtxt::SO() {
  std::string s = ImageHeader(KT::tFCtxt, SOSz());
  if (IsRoot()) {
    KString root("/");
    s += root.SO();
  } else {
    s += rec()->path->SO();
  }
  return s;
}

KB* KFCtxt::SI(const char* image) {
  if (!image) KTHROW(KT::eValue, "Image");
  int total = GetI32(image + 4);
  if (total < 8 + 13 || image[8] != static_cast<char>(KT::tString) || GetI32(image + 12) != total - 8)
    KTHROW(KT::eValue, "Image");
  Owned<KB> path(KString::SI(image + 8));
  KFCtxt* c = new KFCtxt(static_cast<KString*>(path.get()));
  if (c->IsRoot() && static_cast<KString*>(path.get())->Value() == "\\") c->rec()->sys.clear();
  return c;
}
