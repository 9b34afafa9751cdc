// KFile: the file (type 10 "File"), one file of a file context whose whole
// content is loaded into a string buffer, so every stream operation of
// strings works on files through Buf().
//
// Storage contract: alignment P, count 1; the descriptor's record (KRec)
// holds references on the context, the name and the buffer, the open file
// descriptor (-1 when none; scripts see 0), the read-only flag, the open
// mode ('C' closed, 'Q' query, 'R' read, 'W' write) and the stamp of the
// file when the buffer was loaded or last written. A copied record is a
// closed file of the same name: a descriptor is never shared.
//
// The buffer's stream position is the file's position. Buf() reloads when
// the file on disk changed since (last-write time, size, identity), so a
// change made by another process or another file object is seen.
//
// Writes pass the platform's write fence and never leave a shorter or mixed
// file after a failure (see KPlat::WriteAt).
#pragma once
#include <cstdint>
#include <string>

#include "KB.h"
#include "KPlatform.h"

class KA;
class KClock;
class KFCtxt;
class KSeq;
class KString;

class KFile : public KB {
 public:
  struct KRec : KB::KRec {
    KFCtxt* fc = nullptr;     // one reference held
    KString* name = nullptr;  // one reference held
    KString* buf = nullptr;   // one reference held
    std::string sysName;      // the system's name when the text cannot spell it
    std::string openPath;     // the system path while a descriptor is open
    KPlat::Place place;       // while open for writing: the place the fence admitted
    int fd = -1;
    uint8_t ro = 0;
    char mode = 'C';
    bool loaded = false;
    double loadDays = 0;      // last-write time of the loaded content, clock days
    int64_t stampNs = 0, stampSize = -1;
    uint64_t stampIno = 0;
    ~KRec() override;
    KRec* Clone() const override;
    void Held(std::vector<KB*>& out) const override;
  };

  // At most this many bytes of a file are loaded into the buffer.
  static int32_t maxSize;
  // The text of the last system failure a file operation recorded.
  static std::string fLastError;

  KFile();                                  // no name, current directory
  explicit KFile(const std::string& path);  // split into context and name
  explicit KFile(KString* path);
  // A name (may hold "\") in a context; both are referenced, not adopted.
  KFile(KString* name, KFCtxt* fc);
  explicit KFile(KFile* other);             // same name and context, closed
  ~KFile() override;

  // ---- names
  KFCtxt* FC() const;
  std::string NameText() const;
  std::string FName() const { return NameText(); }
  std::string Name() const;   // without the extension
  std::string Ext() const;
  std::string FPath() const;
  std::string SysPath() const;
  void NameSet(KString* name);
  void FCSet(KFCtxt* fc);
  // The name as the system holds it, for names the text cannot spell.
  void SysNameSet(const std::string& sysName);

  // ---- state
  char Mode() const;
  bool RO() const;
  int Handle() const;         // the descriptor, 0 when none
  bool Exists();
  std::string Properties();

  // ---- operations (failures of the system record KError::LastError)
  bool Open(char mode);       // 15 with the reason when the fence refuses 'W'/'X'
  bool Close();
  bool Create();
  bool Destroy();
  bool ROSet(bool ro);
  // The loaded buffer (reloaded when the file changed). Opens for reading
  // when closed; a failure raises an error without a code.
  KString* Buf();
  void bufSet(KString* s);
  // Writes count bytes of the buffer from byte `from` at that file offset.
  // Mode 'W' only: the count written, -1 on failure, 0 when not writing.
  int writeBuf(int from, int count);
  // Writes a value's text at the position (which moves past it); the count
  // written, -1 on failure (as writeBuf).
  int NextWr(KB* value);
  // Appends a value's text at the end of the file (created when missing).
  void Append(KB* value);
  int64_t Size();             // -1 on failure
  // 'C' created, 'W' last written, 'A' last accessed; null on failure.
  KClock* Time(char which);
  KSeq* Times();              // the three clocks; null on failure
  KSeq* Attr();               // null on failure

  // Stream operations forwarded to the buffer.
  bool fB();
  bool fE();
  int ToBOS();
  int ToEOS();

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
  void Init(KString* name, KFCtxt* fc);  // adopts both references
  bool Fail();                            // records the last error; false
  void ResetBuffer();
  bool ChangedOnDisk();
  void Load();
  bool WriteText(const std::string& text, int64_t at);
  KB* BitOf(bool b);
};
