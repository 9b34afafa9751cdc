// fuzz_dict: libFuzzer entry for dictionary files and their journals. The
// input's first byte chooses what lies beside the file (its top three
// bits): 0 and 5 to 7 no journal, the whole input is the file (so a plain
// dictionary file, whose first byte is 0xC4, is one); otherwise the rest is a
// 2-byte length, that many bytes of file, and the journal's material:
// 1 the journal as given (damaged), 2 a whole journal built from it for
// this file (records: a 32-bit position, a 1-byte length, the bytes), 3 the
// same with no file at all, 4 a whole journal cut short (half-written).
// A persistent bag then opens the file. Opening must either raise a KError
// and leave the file and the journal byte for byte as they were, or give a
// sound tree (KRB::Check) that survives a lookup, a store, a removal, its
// listings and being opened again, leaving no journal behind. A read-only
// binding, tried first, must agree with the writable one and write nothing.
//
// With TARQ_FUZZ_DICT_SEEDS=DIR in the environment the program instead
// writes a few dictionary files into DIR (the seed corpus) and exits.
#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "KArg.h"
#include "KDict.h"
#include "KPlatform.h"
#include "KRB.h"
#include "KString.h"
#include "Kerror.h"

namespace {

std::string gFile;  // DIR/tarq/user/fuzz.tqd, inside the write fence
std::string gJournal;  // beside it

void MakeDirs(const std::string& root) {
  KPlat::MakeDir(root);
  KPlat::MakeDir(root + "/tarq");
  KPlat::MakeDir(root + "/tarq/user");
}

void Trap(const char* what) {
  std::fprintf(stderr, "%s\n", what);
  __builtin_trap();
}

void Exercise(KA& d) {
  KDict* dict = d.As<KDict>();
  if (!dict->Tree().Check().empty()) Trap("a damaged tree was accepted");
  KA key, val;
  key.Owns(KMakeString("fuzz"));
  val.Owns(KMakeInt(42));
  KA found(d);
  KA::IndexedBy(found, key);
  KA::IdxAssign(d, key, val);
  KA num;
  num.Owns(KMakeInt(1));
  KA::IdxAssign(d, num, val);
  dict->Without(key.value);
  for (const char* f : {"dump", "tree", "keys", "seq"}) {
    KA name;
    name.Owns(new KString(f));
    KB* r = dict->FieldGet(name.value);
    KB::DoneWith(r);
  }
  if (!dict->Tree().Check().empty()) Trap("the tree broke under a store and a removal");
}

// A whole journal for the file at gFile from the fuzzer's material.
std::string BuildJournal(const std::string& material) {
  KRBJournal::Image j;
  KPlat::Fd fd = KPlat::FdOpen(gFile, false, false);
  if (fd.Valid()) KPlat::FdIdentity(fd, j.device, j.inode);
  size_t at = 0;
  if (material.size() >= 4) {
    j.oldSize = static_cast<uint32_t>(KB::GetI32(material.data())) & 0xFFFF;
    at = 4;
  }
  while (material.size() - at >= 5) {
    uint32_t pos = static_cast<uint32_t>(KB::GetI32(material.data() + at)) & 0xFFFF;
    size_t len = static_cast<unsigned char>(material[at + 4]);
    at += 5;
    len = std::min(len, material.size() - at);
    j.records.emplace_back(pos, material.substr(at, len));
    at += len;
  }
  return KRBJournal::Encode(j);
}

std::string ReadOr(const std::string& path, const char* none) {
  std::string s;
  return KPlat::ReadFile(path, s) ? s : std::string(none);
}

void WriteSeeds(const char* dir) {
  std::string root = std::string(dir) + "/work";
  MakeDirs(root);
  int n = 0;
  for (int size : {0, 1, 5, 40}) {
    std::string path = root + "/tarq/user/seed" + std::to_string(n);
    KPlat::RemoveFile(path);
    {
      std::string lang = path;
      KA d;
      d.Owns(KDict::Make(n % 2 ? KT::tSet : KT::tBag, &lang));
      for (int i = 0; i < size; ++i) {
        KA k, v;
        k.Owns(i % 3 ? KMakeInt(i * 7 % 11) : KMakeString(std::string(1, static_cast<char>('a' + i % 26))));
        v.Owns(KMakeInt(i));
        KA::IdxAssign(d, k, v);
      }
      if (size > 4) {
        KA gone;
        gone.Owns(KMakeInt(3));
        d.As<KDict>()->Without(gone.value);
      }
    }
    std::string bytes;
    KPlat::ReadFile(path, bytes);
    KPlat::WriteFile(std::string(dir) + "/dict-" + std::to_string(n), bytes);
    // The same file with a journal of each kind; its one record puts back
    // the header slot as it is, so a whole journal rolls back to a sound file.
    if (bytes.size() >= 64 && bytes.size() <= 0xFFFF) {
      std::string material;
      KB::PutI32(material, static_cast<int32_t>(bytes.size()));
      KB::PutI32(material, 0);
      material += static_cast<char>(64);
      material += bytes.substr(0, 64);
      for (int mode = 1; mode <= 4; ++mode) {
        std::string seed(1, static_cast<char>(mode << 5));
        seed += static_cast<char>(bytes.size() >> 8);
        seed += static_cast<char>(bytes.size() & 0xFF);
        KPlat::WriteFile(std::string(dir) + "/journal" + std::to_string(mode) + "-" + std::to_string(n),
                         seed + bytes + material);
      }
    }
    ++n;
  }
  std::printf("dictionary seeds: %d\n", n);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  if (const char* dir = std::getenv("TARQ_FUZZ_DICT_SEEDS")) {
    WriteSeeds(dir);
    std::exit(0);
  }
  char tmpl[] = "/tmp/tarq_fuzz_dict_XXXXXX";
  const char* root = mkdtemp(tmpl);
  if (!root) std::exit(1);
  MakeDirs(root);
  gFile = std::string(root) + "/tarq/user/fuzz.tqd";
  gJournal = gFile + KRBJournal::kSuffix;
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > (1u << 20)) return 0;
  std::string input(reinterpret_cast<const char*>(data), size);
  int mode = 0;
  std::string file = input, material;
  if (input.size() >= 3 && (static_cast<unsigned char>(input[0]) >> 5) >= 1 &&
      (static_cast<unsigned char>(input[0]) >> 5) <= 4) {
    mode = static_cast<unsigned char>(input[0]) >> 5;
    size_t len = std::min<size_t>((static_cast<unsigned char>(input[1]) << 8) | static_cast<unsigned char>(input[2]),
                                  input.size() - 3);
    file = input.substr(3, len);
    material = input.substr(3 + len);
  }
  KPlat::RemoveFile(gJournal);
  if (mode == 3)
    KPlat::RemoveFile(gFile);
  else if (!KPlat::WriteFile(gFile, file))
    return 0;
  if (mode == 1) KPlat::WriteFile(gJournal, material);
  if (mode >= 2) {
    std::string j = BuildJournal(material);
    if (mode == 4 && !j.empty()) j.resize(static_cast<unsigned char>(j.back()) % j.size());
    KPlat::WriteFile(gJournal, j);
  }
  const std::string fileBefore = ReadOr(gFile, "(none)"), journalBefore = ReadOr(gJournal, "(none)");
  auto unchanged = [&](const char* what) {
    if (ReadOr(gFile, "(none)") != fileBefore || ReadOr(gJournal, "(none)") != journalBefore) Trap(what);
  };
  int readEntries = -1;
  bool readRefused = false;  // missing or empty: nothing to read
  try {
    auto t = KRB::Open(gFile, false, "refused", false, false);
    if (!t->Check().empty()) Trap("a damaged tree was accepted for reading");
    readEntries = t->Entries();
  } catch (KError& e) {
    readRefused = e.message.find("refused") != std::string::npos;
  }
  unchanged("a read-only binding wrote");
  std::string lang = gFile;
  bool opened = false;
  try {
    KA d;
    d.Owns(KDict::Make(KT::tBag, &lang));
    opened = true;
    if (readEntries >= 0 && d.As<KDict>()->Tree().Entries() != readEntries)
      Trap("reading and writing bindings disagree");
    Exercise(d);
  } catch (KError&) {
  }
  if (!opened) {
    // A missing or empty file is made when bound for writing.
    if (readRefused) Trap("a new file was refused");
    if (readEntries >= 0) Trap("a file read could not be bound for writing");
    unchanged("a refused file was changed");
  } else if (readEntries < 0 && !readRefused) {
    Trap("a file refused for reading opened for writing");
  }
  if (opened) {
    if (KPlat::FileExists(gJournal)) Trap("a journal outlived its binding");
    // What the tree wrote must read back.
    try {
      KA again;
      again.Owns(KDict::Make(KT::tBag, &lang));
      if (!again.As<KDict>()->Tree().Check().empty()) Trap("a written file reads back damaged");
    } catch (KError& e) {
      std::fprintf(stderr, "a written file does not open again: %s\n", e.message.c_str());
      __builtin_trap();
    }
  }
  return 0;
}
