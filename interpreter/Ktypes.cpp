// Ktypes: names of the enumerations and the Windows-1252 character tables.
#include "Ktypes.h"

#include <cstring>

namespace KT {

bool swDummy = false;

unsigned char UC[256];
unsigned char LC[256];
unsigned char AlphaNormTbl[256];
unsigned char AlphaTARQTbl[256];
int CSTARQ[256];
int CSTARQDefault[256];
int CSExact[256];
int CSExactDefault[256];
unsigned CollationEpoch = 0;

namespace {

// Upper/lower case pairs beyond ASCII (Windows-1252): lower, upper.
const unsigned char kCasePairs[][2] = {
    {0xE0, 0xC0}, {0xE1, 0xC1}, {0xE2, 0xC2}, {0xE3, 0xC3}, {0xE4, 0xC4},
    {0xE5, 0xC5}, {0xE8, 0xC8}, {0xE9, 0xC9}, {0xEA, 0xCA}, {0xEB, 0xCB},
    {0xEC, 0xCC}, {0xED, 0xCD}, {0xEE, 0xCE}, {0xEF, 0xCF}, {0xF1, 0xD1},
    {0xF2, 0xD2}, {0xF3, 0xD3}, {0xF4, 0xD4}, {0xF5, 0xD5}, {0xF6, 0xD6},
    {0xF9, 0xD9}, {0xFA, 0xDA}, {0xFB, 0xDB}, {0xFC, 0xDC}, {0xFD, 0xDD},
    {0xFF, 0x9F}};

// Fold groups: every listed character folds to the first of its group.
const char* const kFoldGroups[] = {
    "aA\xE0\xC0\xE1\xC1\xE2\xC2\xE3\xC3\xE4\xC4\xE5\xC5",
    "dD\xD0",
    "eE\xE8\xC8\xE9\xC9\xEA\xCA\xEB\xCB",
    "iI\xEC\xCC\xED\xCD\xEE\xCE\xEF\xCF",
    "nN\xF1\xD1",
    "oO\xF2\xD2\xF3\xD3\xF4\xD4\xF5\xD5\xF6\xD6",
    "sS\xDF",
    "uU\xF9\xD9\xFA\xDA\xFB\xDB\xFC\xDC",
    "yY\xFD\xDD\xFF\x9F"};

// The 106-character alphabet list, in collation order; '_' is last.
const char kAlphabet[] =
    "aA\xE0\xC0\xE1\xC1\xE2\xC2\xE3\xC3\xE4\xC4\xE5\xC5" "bBcCdD\xD0"
    "eE\xE8\xC8\xE9\xC9\xEA\xCA\xEB\xCB" "fFgGhH"
    "iI\xEC\xCC\xED\xCD\xEE\xCE\xEF\xCF" "jJkKlLmMnN\xF1\xD1"
    "oO\xF2\xD2\xF3\xD3\xF4\xD4\xF5\xD5\xF6\xD6" "pPqQrRsStT"
    "uU\xF9\xD9\xFA\xDA\xFB\xDB\xFC\xDC" "vVwWxXyY\xFD\xDD\xFF\x9F" "zZ_";

// Exact collation after the letters: ranges of byte codes [first, last].
const unsigned char kExactTail[][2] = {
    {0x21, 0x25}, {0x40, 0x40}, {0x26, 0x26}, {0x7C, 0x7C}, {0x7E, 0x7E},
    {0x27, 0x29}, {0x5B, 0x5B}, {0x5D, 0x5D}, {0x7B, 0x7B}, {0x7D, 0x7D},
    {0x3C, 0x3C}, {0x3E, 0x3E}, {0xAB, 0xAB}, {0xBB, 0xBB}, {0x2A, 0x2A},
    {0x5E, 0x5E}, {0x2B, 0x2B}, {0x2D, 0x2D}, {0x3D, 0x3D}, {0x2F, 0x2F},
    {0x5C, 0x5C}, {0xB9, 0xB9}, {0xB2, 0xB3}, {0xBC, 0xBE}, {0x3F, 0x3F},
    {0xBF, 0xBF}, {0x2C, 0x2C}, {0x3B, 0x3B}, {0x3A, 0x3A}, {0x5F, 0x60},
    {0x80, 0x8C}, {0x95, 0x9C}, {0xA1, 0xAA}, {0xAC, 0xB1}, {0xB4, 0xB8},
    {0xBA, 0xBA}, {0xC6, 0xC7}, {0xD7, 0xD8}, {0xDE, 0xDF}, {0xE6, 0xE7},
    {0xF0, 0xF0}, {0xF7, 0xF8}, {0xFE, 0xFE}, {0x00, 0x1F}, {0x7F, 0x7F},
    {0x8D, 0x94}, {0x9D, 0x9E}, {0xA0, 0xA0}};

void BuildCase() {
  for (int c = 0; c < 256; ++c) UC[c] = LC[c] = static_cast<unsigned char>(c);
  for (int c = 'a'; c <= 'z'; ++c) {
    UC[c] = static_cast<unsigned char>(c - 32);
    LC[c - 32] = static_cast<unsigned char>(c);
  }
  for (const auto& p : kCasePairs) {
    UC[p[0]] = p[1];
    LC[p[1]] = p[0];
  }
}

void BuildCollation() {
  unsigned char fold[256];
  for (int c = 0; c < 256; ++c) fold[c] = static_cast<unsigned char>(c);
  for (int c = 'A'; c <= 'Z'; ++c) fold[c] = static_cast<unsigned char>(c + 32);
  for (const char* g : kFoldGroups)
    for (const char* p = g; *p; ++p) fold[static_cast<unsigned char>(*p)] = static_cast<unsigned char>(g[0]);

  std::memset(AlphaNormTbl, 0, sizeof AlphaNormTbl);
  std::memset(AlphaTARQTbl, 0, sizeof AlphaTARQTbl);
  for (const char* p = kAlphabet; *p; ++p) {
    unsigned char c = static_cast<unsigned char>(*p);
    AlphaNormTbl[c] = c;
    AlphaTARQTbl[c] = fold[c];
  }

  // Tarq collation list: NUL, digits, the alphabet with ß after S.
  int weight[256] = {};
  int pos = 1;  // NUL has weight 0
  for (int d = '0'; d <= '9'; ++d) weight[d] = pos++;
  for (const char* p = kAlphabet; *p; ++p) {
    weight[static_cast<unsigned char>(*p)] = pos++;
    if (*p == 'S') weight[0xDF] = pos++;
  }
  for (int c = 0; c < 256; ++c) CSTARQ[c] = CSTARQDefault[c] = weight[fold[c]];

  // Exact collation: blank, dot, digits, letters (without '_'), the rest.
  pos = 0;
  auto place = [&pos](int c) { CSExact[c] = CSExactDefault[c] = pos++; };
  place(0x20);
  place(0x2E);
  for (int d = '0'; d <= '9'; ++d) place(d);
  for (const char* p = kAlphabet; *p && *p != '_'; ++p) place(static_cast<unsigned char>(*p));
  for (const auto& r : kExactTail)
    for (int c = r[0]; c <= r[1]; ++c) place(c);
}

}  // namespace

void Init() {
  static bool done = false;
  if (done) return;
  done = true;
  BuildCase();
  BuildCollation();
}

namespace {
// Runs Init when the library is loaded.
struct InitAtLoad {
  InitAtLoad() { Init(); }
} gInitAtLoad;
}  // namespace

const char* TypeObjToName(int code) {
  static const char* const names[] = {
      "???", "Arg", "Assoc", "Bit", "Block", "Clock", "CV", "Dict", "FCtxt",
      "Field", "File", "???", "FL", "???", "GREP", "Nil", "NS", "Num",
      "NoValue", "OpUD", "Parser", "Pgm", "???", "Ref", "RS", "SeqEa", "Seq",
      "???", "Socket", "String", "???", "Sys", "???", "Idx", "Set", "Bag"};
  if (code < 0 || code >= static_cast<int>(sizeof names / sizeof *names)) return "???";
  return names[code];
}

const char* TypeAlignToName(int code) {
  static const char* const names[] = {"*", "B", "C", "I", "F", "K", "P"};
  if (code < 0 || code > 6) return "?";
  return names[code];
}

int TypeAlignToElemSz(int code) {
  static const int sizes[] = {0, -8, 1, 4, 8, 4, 4};
  if (code < 0 || code > 6) return 0;
  return sizes[code];
}

const char* TypeErrorToName(int code) {
  static const char* const names[] = {
      "NULL", "Conformity error", "Depth Limit error", "Index error",
      "No Close error", "No Open error", "Not Implemented", "Not Supported",
      "Read Only", "Syntax error", "System error", "Target error",
      "Unsupported error", "Unknown error", "User Interrupt", "Value error"};
  if (code < 0 || code > 15) return "Unsupported error";
  return names[code];
}

const char* TypeTokToName(int code) {
  switch (code) {
    case 0: return "Unknown";
    case 2: return "Block";
    case 4: return "Comment";
    case 15: return "FList";
    case 17: return "Number";
    case 19: return "Operator";
    case 20: return "Paren";
    case 24: return "Quote";
    case 27: return "Separator";
    case 29: return "Symbol";
    default: return "???";
  }
}

}  // namespace KT
