// fuzz_image: libFuzzer entry for serialised value images, the bytes that
// serial-in ("%<<-") and file-bound dictionaries read back. The input is a
// string value handed to the serial-in operator (KA::SI and every class's
// reader behind it); it must either become a value or raise a KError. A value read must then survive the round trip: its image, read
// again, gives the same image (a difference means an image is misread or
// miswritten, and data would change on the way through a file), and its
// size (SOSz) is the image's length.
//
// With TARQ_FUZZ_IMAGE_SEEDS=DIR in the environment the program instead
// writes the images of a few typical values into DIR (the seed corpus) and
// exits. TARQ_FUZZ_IMAGE_SKIP=4,19 ignores images of those type codes, to
// look past a known finding until it is fixed.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "KArg.h"
#include "KB.h"
#include "KNS.h"
#include "KOps.h"
#include "KParser.h"
#include "KSeq.h"
#include "KString.h"
#include "Kerror.h"

namespace {

// The image of a value as the library writes it, or "" when the value has
// no image.
std::string ImageOf(KA& v) {
  try {
    return v.SO();
  } catch (KError&) {
    return std::string();
  }
}

void WriteSeeds(const char* dir) {
  const char* const texts[] = {
      "1 2 3", "1.5 _2 3e10", "'abc'", "''", "1 0 1 1 0 0 1 0 1 ~", "(1 2) 'x' (3.5 4)",
      "((1 2) (3 (4 5))) 'deep'", "_", "2 3 %% 6 `", "#CLOCK", "3 => a; 'b' => c; #NS", "{1 + 2}",
      "{1 + 2}:obj", "'p' #PGM {1 + 2}; p:obj", "'inc' #OP {l__ + 1}; inc:obj", "'0011' ^ '0101'",
      ":a :b", "(:a)", "1 => x.y.z; x", "1 => n; 'v' => m; (1 2) => s; @", "#NIL",
  };
  KSeq* chain = new KSeq();
  KNS* root = new KNS();
  chain->Append(root, true);
  int n = 0;
  for (const char* text : texts) {
    KParser p(chain, "seed");
    p.fCmdSet(text);
    try {
      KA result;
      KT::KTT last = KT::ttUnknown;
      p.Exec(result, last, nullptr);
      std::string image = ImageOf(result);
      if (image.empty()) continue;
      std::string path = std::string(dir) + "/image-" + std::to_string(n++);
      if (std::FILE* f = std::fopen(path.c_str(), "wb")) {
        std::fwrite(image.data(), 1, image.size(), f);
        std::fclose(f);
      }
    } catch (KPErr&) {
    } catch (KError&) {
    }
  }
  KB::ReleaseReachable(root);
  KB::DoneWith(chain);
  std::printf("image seeds: %d\n", n);
}

bool gSkip[256] = {};

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  if (const char* skip = std::getenv("TARQ_FUZZ_IMAGE_SKIP")) {
    for (const char* p = skip; *p;) {
      char* end = nullptr;
      long t = std::strtol(p, &end, 10);
      if (end == p) break;
      if (t >= 0 && t < 256) gSkip[t] = true;
      p = *end ? end + 1 : end;
    }
  }
  if (const char* dir = std::getenv("TARQ_FUZZ_IMAGE_SEEDS")) {
    WriteSeeds(dir);
    std::exit(0);
  }
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > (1u << 20) || (size > 0 && gSkip[data[0]])) return 0;
  KA v;
  v.Owns(new KString(reinterpret_cast<const char*>(data), static_cast<int>(size)));
  try {
    KOps::op253C3C2D(v);
  } catch (KError&) {
    return 0;
  }
  size_t printed = 0;
  try {
    printed = v.AsString(false).size() + v.AsString(true).size();
  } catch (KError&) {
  }
  std::string first = ImageOf(v);
  if (first.empty()) return 0;
  if (v.SOSz() != static_cast<int>(first.size())) {
    std::fprintf(stderr, "SOSz %d differs from the image's length %zu\n", v.SOSz(), first.size());
    __builtin_trap();
  }
  KA again;
  again.Owns(new KString(first));
  try {
    KA::SI(again);
  } catch (KError& e) {
    std::fprintf(stderr, "an image the library wrote does not read back: %s\n", e.message.c_str());
    __builtin_trap();
  }
  if (ImageOf(again) != first) {
    std::fprintf(stderr, "image changed on the round trip\n");
    __builtin_trap();
  }
  return printed == size_t(-1) ? -1 : 0;
}
