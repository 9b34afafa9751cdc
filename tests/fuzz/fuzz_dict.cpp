// fuzz_dict: libFuzzer entry for dictionary files. The input is written to
// a file that a persistent bag then opens. Opening must either raise a
// KError and leave the file byte for byte as it was, or give a sound tree
// (KRB::Check) that survives a lookup, a store, a removal, its listings and
// being opened again.
//
// With TARQ_FUZZ_DICT_SEEDS=DIR in the environment the program instead
// writes a few dictionary files into DIR (the seed corpus) and exits.
#include <unistd.h>

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
    KPlat::WriteFile(std::string(dir) + "/dict-" + std::to_string(n++), bytes);
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
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > (1u << 20)) return 0;
  std::string input(reinterpret_cast<const char*>(data), size);
  if (!KPlat::WriteFile(gFile, input)) return 0;
  std::string lang = gFile;
  bool opened = false;
  try {
    KA d;
    d.Owns(KDict::Make(KT::tBag, &lang));
    opened = true;
    Exercise(d);
  } catch (KError&) {
  }
  if (!opened && size > 0) {
    std::string after;
    KPlat::ReadFile(gFile, after);
    if (after != input) Trap("a refused file was changed");
  }
  if (opened) {
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
