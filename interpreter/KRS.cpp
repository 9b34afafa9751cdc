// KRS: field names and field lists.
#include "KRS.h"

#include "KNum.h"
#include "Kerror.h"

static const char* const kUnit = "Interpreter/KRS";

// ------------------------------------------------------------ KField

KField::KField() : KString(KT::tField) {}

KField::KField(const std::string& name) : KString(KT::tField) {
  SetText(name.data(), static_cast<int>(name.size()), static_cast<int>(name.size()));
}

KField::KField(KB* o) : KString(KT::tField) {
  std::string name = TextOf(o);
  SetText(name.data(), static_cast<int>(name.size()), static_cast<int>(name.size()));
}

const std::string& KField::AsString(bool verbose) {
  std::string shown = KString::AsString(false);
  text = verbose ? VerbosePrefix() : std::string();
  text += ".";
  text += shown;
  return text;
}

KB* KField::Clone() { return KString::Clone(); }

// ------------------------------------------------------------ KFList

KFList::KFList() : KSeq(KT::tFL) {}

KFList::KFList(KB* fields) : KSeq(KT::tFL) { Append(fields, false); }

void KFList::Append(KB* value, bool adopt) {
  if (value && value->typen() == KT::tField) {
    KSeq::Append(value, adopt);
    return;
  }
  if (value && value->typen() == KT::tFL) {
    KSeq* list = static_cast<KSeq*>(value);
    int n = list->Count();
    if (n) addSlots(n);
    for (int i = 0; i < n; ++i) KSeq::Append((*list)[i], false);
    if (adopt) DoneWith(value);
    return;
  }
  KTHROW(KT::eValue, "Type");
}

KNum* KFList::IndexOf(KB* key) {
  auto position = [this](KB* name) {
    std::string s = TextOf(name);
    for (int i = 0; i < Count(); ++i) {
      std::string f = TextOf((*this)[i]);
      if (CollateCmp(f.data(), static_cast<int>(f.size()), s.data(), static_cast<int>(s.size()), KT::CSTARQ) == 0)
        return i + 1;
    }
    return 0;
  };
  if (key && (key->typen() == KT::tField || key->typen() == KT::tString)) return new KNum(static_cast<int32_t>(position(key)));
  if (key && key->typen() == KT::tFL) {
    KSeq* list = static_cast<KSeq*>(key);
    KNum* r = new KNum(KT::aInt, list->Count());
    for (int i = 0; i < list->Count(); ++i) r->IntPtr()[i] = position((*list)[i]);
    return r;
  }
  KTHROW(KT::eValue, "Type");
}

KB* KFList::Clone() {
  KFList* c = new KFList();
  c->Append(this, false);
  c->exact = exact;
  return c;
}

KB* KFList::SI(const char* image) {
  KFList* l = new KFList();
  try {
    l->SIBody(image);
  } catch (...) {
    DoneWith(l);
    throw;
  }
  return l;
}
