// KGREP: regular expressions on PCRE2 (8-bit library): compiling, the
// match loop, fields, text forms and setting the pattern.
#include "KGREP.h"

#define PCRE2_CODE_UNIT_WIDTH 8
#include <pcre2.h>

#include <algorithm>
#include <cstring>

#include "KNum.h"
#include "KRS.h"
#include "KSeq.h"
#include "KString.h"
#include "Kerror.h"

static const char* const kUnit = "Interpreter/KGREP";

bool KGREP::fFirst = true;

// ------------------------------------------------------------ PCRE2 owners

namespace {
struct CodeFree {
  void operator()(pcre2_code* c) const noexcept { pcre2_code_free(c); }
};
struct MatchDataFree {
  void operator()(pcre2_match_data* m) const noexcept { pcre2_match_data_free(m); }
};
struct MatchContextFree {
  void operator()(pcre2_match_context* c) const noexcept { pcre2_match_context_free(c); }
};
struct JitStackFree {
  void operator()(pcre2_jit_stack* s) const noexcept { pcre2_jit_stack_free(s); }
};
struct SerialFree {
  void operator()(uint8_t* p) const noexcept { pcre2_serialize_free(p); }
};
using MatchData = std::unique_ptr<pcre2_match_data, MatchDataFree>;

struct CompileContextFree {
  void operator()(pcre2_compile_context* c) const noexcept { pcre2_compile_context_free(c); }
};

// What every compile and match runs with, made once for the process
// (single-threaded): lines end at CR, LF or CR LF (the language's own line
// end is CR LF), the limits, and a JIT stack larger than the default.
struct MatchEnv {
  std::unique_ptr<pcre2_compile_context, CompileContextFree> compile{pcre2_compile_context_create(nullptr)};
  std::unique_ptr<pcre2_match_context, MatchContextFree> context{pcre2_match_context_create(nullptr)};
  std::unique_ptr<pcre2_jit_stack, JitStackFree> jitStack{pcre2_jit_stack_create(32 * 1024, 4 * 1024 * 1024, nullptr)};
  MatchEnv() {
    if (compile) pcre2_set_newline(compile.get(), PCRE2_NEWLINE_ANYCRLF);
    if (!context) return;
    pcre2_set_match_limit(context.get(), KGREP::kMatchLimit);
    pcre2_set_depth_limit(context.get(), KGREP::kDepthLimit);
    if (jitStack) pcre2_jit_stack_assign(context.get(), nullptr, jitStack.get());
  }
};

MatchEnv& Env() {
  static MatchEnv env;
  return env;
}

std::string ErrorText(int code) {
  PCRE2_UCHAR buf[256];
  int n = pcre2_get_error_message(code, buf, sizeof buf);
  if (n < 0) return KB::Fmt("PCRE2 error %d", code);
  return std::string(reinterpret_cast<const char*>(buf), static_cast<size_t>(n));
}


KNum* PairAt(const PCRE2_SIZE* ov, int k, int shift) {
  int32_t* d = static_cast<int32_t*>(KB::AllocData(KB::StorageBytes(KT::aInt, 2), false));
  if (ov[2 * k] == PCRE2_UNSET) {  // a group that took no part: not found
    d[0] = d[1] = 0;
  } else {
    d[0] = static_cast<int32_t>(ov[2 * k]) + shift + 1;
    d[1] = static_cast<int32_t>(ov[2 * k + 1]) + shift + 1;
  }
  try {
    return new KNum(d, KT::aInt, 2, 2);
  } catch (...) {
    KB::FreeData(d);
    throw;
  }
}

// Appends with room doubled when full, so a long result is not copied
// once per fifth of its length.
void AppendGrowing(KSeq* s, KB* v) {
  if (s->Count() == s->Capacity()) {
    try {
      s->addSlots(std::max(s->Count(), 4));
    } catch (...) {
      KB::DoneWith(v);
      throw;
    }
  }
  s->Append(v, true);
}

bool IsText(const KB* v) { return v && (v->typen() == KT::tString || v->typen() == KT::tField); }

// How many matches run between two polls of the stop switch.
constexpr int kPollEvery = 1024;
}  // namespace

struct KGREP::Compiled {
  std::unique_ptr<pcre2_code, CodeFree> code;
  bool jit = false;
};

// ------------------------------------------------------------ record

KGREP::KRec::~KRec() { KB::DoneWith(pattern); }

KGREP::KRec* KGREP::KRec::Clone() const {
  KRec* r = new KRec();
  r->pattern = pattern;
  if (pattern) pattern->Reference(true);
  r->compiled = compiled;
  r->spare = spare;
  return r;
}

void KGREP::KRec::Held(std::vector<KB*>& out) const { out.push_back(pattern); }

// ------------------------------------------------------------ construction

void KGREP::LocaleTableBuild() { fFirst = false; }

void KGREP::Init(KString* pattern) {
  if (fFirst) LocaleTableBuild();
  KBD* d = descriptor;
  d->align = KT::aKB;
  d->elemSize = KT::TypeAlignToElemSz(KT::aKB);
  d->count = 1;
  d->capacity = 0;
  KRec* r = new KRec();
  r->pattern = pattern;
  d->rec = r;
}

KGREP::KGREP() : KB(KT::tGREP) { Init(new KString()); }
KGREP::KGREP(const char* text) : KB(KT::tGREP) { Init(new KString(text)); }
KGREP::KGREP(const std::string& text) : KB(KT::tGREP) { Init(new KString(text)); }

KGREP::KGREP(KB* from) : KB(KT::tGREP) {
  if (from && from->typen() == KT::tGREP) {
    Init(new KString());  // a valid record until the descriptor is shared
    ReferenceTo(from);
    return;
  }
  if (!IsText(from)) {
    Init(new KString());
    KTHROW(KT::eNotSupp, "Type");
  }
  Init(new KString(TextOf(from)));
  Compile();
}

void KGREP::RESet(KString* pattern) {
  if (!pattern) return;
  pattern->Reference(true);
  KString* old = Rec()->pattern;
  Rec()->pattern = pattern;
  KB::DoneWith(old);
  Compile();
}

void KGREP::RESet(const char* text) {
  KString* s = new KString(text);
  Building<KString> hold(s);
  RESet(s);
}

std::string KGREP::Pattern() const { return TextOf(Rec()->pattern); }

// An empty pattern matches nothing: the old compiled pattern goes too, so
// the object never matches a pattern that ":RE" no longer shows.
void KGREP::Compile() {
  KRec* r = Rec();
  r->compiled.reset();
  std::string p = Pattern();
  if (p.empty()) return;
  int err = 0;
  PCRE2_SIZE at = 0;
  const uint32_t options = PCRE2_CASELESS | PCRE2_MULTILINE | PCRE2_DOTALL | PCRE2_EXTENDED;
  pcre2_code* code =
      pcre2_compile(reinterpret_cast<PCRE2_SPTR>(p.data()), p.size(), options, &err, &at, Env().compile.get());
  if (!code) return;
  auto c = std::make_shared<Compiled>();
  c->code.reset(code);
  // A pattern starting "(*NO_JIT)" reports success from the JIT compiler
  // without any machine code; only a pattern that has code runs on it.
  size_t jitSize = 0;
  c->jit = pcre2_jit_compile(code, PCRE2_JIT_COMPLETE) == 0 &&
           pcre2_pattern_info(code, PCRE2_INFO_JITSIZE, &jitSize) == 0 && jitSize > 0;
  r->compiled = std::move(c);
}

bool KGREP::IsCompiled() const { return Rec()->compiled != nullptr; }

// ------------------------------------------------------------ matching

// The window starts at the text and moves on by the largest end offset of
// each match; every call says the window does not start a line (NOTBOL),
// so "^" matches only after a line break.
KSeq* KGREP::Exec(const char* text, int length, int count, bool, bool) {
  Building<KSeq> result(new KSeq());
  std::shared_ptr<const Compiled> c = Rec()->compiled;  // kept for the loop
  if (!c) return result.Release();
  MatchData md(pcre2_match_data_create(kPairs, nullptr));
  if (!md) KTHROW(KT::eSystem, "Out of memory");
  const PCRE2_SIZE* ov = pcre2_get_ovector_pointer(md.get());
  pcre2_match_context* context = Env().context.get();
  int shift = 0;
  int left = std::max(length, 0);
  if (!text) text = "";
  for (int matches = 1; count != 0; ++matches) {
    if (matches % kPollEvery == 0) PollStop();
    PCRE2_SPTR window = reinterpret_cast<PCRE2_SPTR>(text + shift);
    int rc = c->jit ? pcre2_jit_match(c->code.get(), window, static_cast<PCRE2_SIZE>(left), 0, PCRE2_NOTBOL, md.get(),
                                      context)
                    : pcre2_match(c->code.get(), window, static_cast<PCRE2_SIZE>(left), 0, PCRE2_NOTBOL, md.get(),
                                  context);
    if (rc == PCRE2_ERROR_NOMATCH) break;
    if (rc < 0) KTHROW(KT::eValue, ErrorText(rc));
    int pairs = rc == 0 ? kPairs : rc;
    KSeq* sub = pairs > 1 ? new KSeq() : nullptr;
    if (sub) AppendGrowing(result.v, sub);
    KSeq* into = sub ? sub : result.v;
    for (int k = 0; k < pairs && count != 0; ++k) {
      AppendGrowing(into, PairAt(ov, k, shift));
      if (count > 0) --count;
    }
    PCRE2_SIZE end = 0;
    for (int k = 0; k < pairs; ++k)
      if (ov[2 * k] != PCRE2_UNSET) end = std::max(end, ov[2 * k + 1]);
    if (end == 0) break;
    shift += static_cast<int>(end);
    left -= static_cast<int>(end);
    if (left < 1) break;
  }
  return result.Release();
}

KSeq* KGREP::IndexOf(KB* subject) {
  if (!subject || subject->typen() != KT::tString) return new KSeq();
  KString* s = static_cast<KString*>(subject);
  return Exec(s->Str(), s->Len(), 1);
}

KSeq* KGREP::IndicesOf(KB* subject) {
  if (!subject || subject->typen() != KT::tString) return new KSeq();
  KString* s = static_cast<KString*>(subject);
  return Exec(s->Str(), s->Len(), -1);
}

// ------------------------------------------------------------ fields

std::string KGREP::Options() const {
  char version[64] = {};
  pcre2_config(PCRE2_CONFIG_VERSION, version);
  std::string s = std::string("PCRE Version:") + version;
  const Compiled* c = Rec()->compiled.get();
  if (!c) return s + "\r\nNot compiled";
  uint32_t all = 0;
  if (pcre2_pattern_info(c->code.get(), PCRE2_INFO_ALLOPTIONS, &all) == PCRE2_ERROR_BADMAGIC)
    return s + "\r\nBad Magic Number";
  // The option words in their fixed order; ":EXTRA " stands for a switch
  // this library always has on (unknown escapes are errors), so no bit.
  static const struct {
    uint32_t bit;
    const char* word;
  } kWords[] = {
      {PCRE2_CASELESS, ":CASELESS "},   {PCRE2_EXTENDED, ":EXTENDED "},
      {PCRE2_ANCHORED, ":ANCHORED "},   {PCRE2_MULTILINE, ":MULTILINE "},
      {PCRE2_DOTALL, ":DOTALL "},       {PCRE2_DOLLAR_ENDONLY, ":DOLLAR_ENDONLY "},
      {0, ":EXTRA "},                   {PCRE2_UNGREEDY, ":UNGREEDY "},
  };
  for (const auto& w : kWords)
    if (w.bit & all) s += w.word;
  return s;
}

// The compiled pattern in the library's portable form, up to its first
// zero byte (machine addresses inside the live code are never shown).
static std::string CompiledBytes(const KGREP::Compiled* c);

KB* KGREP::FieldGet(KB* name) {
  if (FieldIs(name, ":RE")) return new KString(Pattern());
  if (FieldIs(name, ":options")) return new KString(Options());
  if (FieldIs(name, ":PCRE")) return new KString(CompiledBytes(Rec()->compiled.get()));
  if (FieldIs(name, ":size")) return new KNum(static_cast<int32_t>(Rec()->pattern->size()));
  return StdFieldOr(name, ":, :options, :PCRE, :RE, :size, :string, :stringV, :typeC, :typeN");
}

static std::string CompiledBytes(const KGREP::Compiled* c) {
  if (!c) return std::string();
  const pcre2_code* list[1] = {c->code.get()};
  uint8_t* bytes = nullptr;
  PCRE2_SIZE n = 0;
  if (pcre2_serialize_encode(list, 1, &bytes, &n, nullptr) < 0) return std::string();
  std::unique_ptr<uint8_t, SerialFree> own(bytes);
  const char* p = reinterpret_cast<const char*>(bytes);
  return std::string(p, strnlen(p, n));
}

void KGREP::FieldSet(KB* value, KB* field) {
  if (!field || field->typen() != KT::tField) KTHROW(KT::eNotSupp, "Field");
  if (!value || (value->typen() != KT::tGREP && value->typen() != KT::tString)) KTHROW(KT::eNotSupp, "Value");
  if (!FieldIs(field, ":RE")) KTHROW(KT::eValue, "Unknown Member");
  if (value->typen() != KT::tString) KTHROW(KT::eValue, "RE needs string");
  RESet(static_cast<KString*>(value));
}

void KGREP::IdxAssign(KB* value, KB* index) {
  KB* field = index;
  // A field list of one field names that field (brackets make lists).
  if (field && field->typen() == KT::tFL && field->Count() == 1) field = (*static_cast<KSeq*>(field))[0];
  if (!field || field->typen() != KT::tField) KTHROW(KT::eValue, "Invalid index");
  FieldSet(value, field);
}

// ------------------------------------------------------------ KB operations

const std::string& KGREP::AsString(bool verbose) {
  std::string s = verbose ? VerbosePrefix() : std::string();
  s += "RE:";
  s += Rec()->pattern->AsString(false);
  text = std::move(s);
  return text;
}

KB* KGREP::Clone() {
  KGREP* g = new KGREP();
  g->ReferenceTo(this);
  return g;
}

bool KGREP::EQ(KB* o) { return o && o->typen() == KT::tGREP; }

bool KGREP::EQV(KB* o) { return EQ(o) && Pattern() == static_cast<KGREP*>(o)->Pattern(); }

bool KGREP::GT(KB* o, int i, int j, bool descending) {
  if (!o) return true;
  if (o->typen() != KT::tGREP) return typen() > o->typen();
  return descending ? j < i : i < j;
}

int KGREP::size() { return Rec()->pattern->size(); }
