// KFCtxt: the file context (type 8 "FCtxt"), a value naming a directory.
//
// Storage contract: alignment P, count 1; the descriptor's record holds one
// reference on the path string. The path is kept cleaned: "\" separators,
// always ending with "\"; the empty path is a single "\" and stands for the
// current directory. A path is absolute when it starts with "\" and is
// longer than one character, or when it holds a colon.
//
// A context read from a directory listing whose name the language cannot
// spell (not Windows-1252) also remembers the system's own path, so it still
// designates that directory; any change of the path forgets it.
//
// Everything that writes to the disk passes the platform's write fence.
#pragma once
#include <string>

#include "KB.h"
#include "KPlatform.h"

class KA;
class KFile;
class KSeq;
class KString;

class KFCtxt : public KB {
 public:
  struct KRec : KB::KRec {
    KString* path = nullptr;  // one reference held
    std::string sys;          // system path when the text cannot name it
    ~KRec() override;
    KRec* Clone() const override;
    void Held(std::vector<KB*>& out) const override;
  };

  // Maximum depth of Tree and of recursive listings.
  static constexpr int kTreeDepth = 99;

  KFCtxt();                              // the empty path: current directory
  explicit KFCtxt(const char* path);
  explicit KFCtxt(const std::string& path);
  explicit KFCtxt(KString* path);
  explicit KFCtxt(KFCtxt* other);
  // From a string, field, context or file (its context); else 7 "Argument type".
  explicit KFCtxt(KA& a);
  // Joins two parts: the left names a context, the right is appended (Catenate).
  KFCtxt(KA& left, KA& right);
  ~KFCtxt() override = default;

  // Path cleaning (every construction): "/" becomes "\", one "\" at the end.
  static std::string Clean(const std::string& path);

  // ---- the path and its parts (on the stored path, final "\" ignored)
  std::string Path() const;
  bool IsAbsolute() const;
  std::string FPath() const;       // full path, ending with "\"
  std::string SysPath() const;     // the full path in the system's form
  std::string FName() const;       // last component
  std::string Name() const;        // last component without its extension
  std::string Ext() const;         // text after the last '.' of the last component
  std::string ParentPath() const;  // the path without its last component
  // n components from the front (n > 0) or the back (n < 0); nil counts as
  // 1; 0 gives the empty context. fromFront false takes from the back.
  KFCtxt* Take(int n, bool fromFront = true, bool = false);
  KFCtxt* TakeFull(int n, bool fromFront = true, bool = false);
  static std::string PathCWD();
  static KFCtxt* WorkingDir();      // the current directory, absolute

  // ---- changes
  // Appends a relative context or string: 15 "RT Absolute", "Invalid FC RT", "Type".
  void Catenate(KB* right);
  void chgFCtxt(KA& a);            // replaces the path
  static void ChgCWD(KA& a);       // 15 "No such Path", "Can't set Path"
  // Assignment by field: ".cwd" changes the current directory (ChgCWD),
  // ".fc" replaces the path (chgFCtxt); any other index: 7 "Type".
  void IdxAssign(KB* value, KB* index);

  // ---- the file system
  bool Exists() const;
  bool IsEmpty() const;
  bool IsValidPath() const;        // the write fence admits this path
  bool IsRemovable() const;
  bool ContainsTARQUserDir() const;
  static const char* ReasonText();
  // Creates every missing directory; 15 with the reason or "Can''t create (%s)".
  void PathCreate();
  // Removes the content (recursively when asked); the paths that remain.
  KSeq* PathRemove(bool recursive);
  // Entries matching the pattern ("" or a path ending with "\": every
  // entry of this directory). Directories become contexts, files become
  // files; with recurse a directory becomes (context, its listing).
  KSeq* List(KA& pattern, bool files, bool dirs, bool recurse);
  KSeq* Tree(int depth, bool withFiles);
  // Copies a file's content into this directory under the same name
  // (written whole or not at all); false with the last error on failure.
  bool FileCopy(KFile* f);
  // Copies a file, a file named by a string, the files of a context, or
  // each of a sequence of them; the number copied.
  int Copy(KB* source);
  // A file of this context named by a name read from the system.
  KFile* FileFromSys(const std::string& sysName);

  // ---- KB operations
  std::string AsSimpleString() override;
  const std::string& AsString(bool verbose) override;
  KB* Clone() override;
  bool EQ(KB* o) override;
  bool GT(KB* o, int i, int j, bool descending) override;
  int Compare(KB* o) const;
  KB* FieldGet(KB* name) override;
  int size() override { return 4; }
  std::string SO() override;
  int SOSz() override;
  static KB* SI(const char* image);

 private:
  KRec* rec() const { return static_cast<KRec*>(descriptor->rec); }
  void Init(const std::string& path);
  bool IsRoot() const;  // "\" naming the root (not the empty path)
  void SetPath(const std::string& path);  // cleans, forgets the system path
  KFCtxt* Sub(const std::string& sysName, bool isDir);  // a child from a listing
  KSeq* ListSys(const std::string& sysDir, const std::string& pattern, bool files, bool dirs, bool recurse,
                int depth);
  void RemoveInto(const KPlat::Fd& dir, const std::string& langDir, bool recursive, KSeq* remain);
};
