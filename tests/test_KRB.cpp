// Tests for the dictionary tree: red-black invariants, order and counts after
// random stores and removals (in memory and in a file), reopening, refusal
// of damaged files without writing, free-slot reuse and shared bindings.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "KArg.h"
#include "KDict.h"
#include "KNum.h"
#include "KPlatform.h"
#include "KRB.h"
#include "Kerror.h"

namespace {

// A temporary folder ".../tarq/user" removed at the end of the test.
struct TempDir {
  std::string root, dir;
  TempDir() {
    char tmpl[] = "/tmp/tarq_krb_XXXXXX";
    root = mkdtemp(tmpl);
    dir = root + "/tarq/user";
    KPlat::MakeDir(root + "/tarq");
    KPlat::MakeDir(dir);
  }
  ~TempDir() { [[maybe_unused]] int rc = std::system(("rm -rf " + root).c_str()); }
  std::string File(const char* name) const { return dir + "/" + name; }
};

int IntOf(KB* v) { return static_cast<KNum*>(v)->AsInt(); }

void StoreInts(KRB& t, int k, int v) {
  KA key, val;
  key.Owns(KMakeInt(k));
  val.Owns(KMakeInt(v));
  t.Store(key.value, val.value);
}

int RemoveInt(KRB& t, int k) {
  KA key;
  key.Owns(KMakeInt(k));
  return t.Remove(key.value);
}

// The entries in order as (key, value) pairs.
std::vector<std::pair<int, int>> Entries(const KRB& t) {
  std::vector<std::pair<int, int>> out;
  for (uint32_t n = t.First(); n; n = t.Next(n)) {
    KA k, v;
    k.Owns(t.Key(n));
    v.Owns(t.Val(n));
    out.emplace_back(IntOf(k.value), IntOf(v.value));
  }
  return out;
}

std::vector<std::pair<int, int>> ModelEntries(const std::multimap<int, int>& m) {
  return std::vector<std::pair<int, int>>(m.begin(), m.end());
}

// Random work on a tree and a model of it, checking the invariants as it goes.
void Churn(KRB& t, std::multimap<int, int>& model, unsigned seed, int steps, int keyRange) {
  std::mt19937 rng(seed);
  for (int i = 0; i < steps; ++i) {
    int k = static_cast<int>(rng() % keyRange) - keyRange / 2;
    if (rng() % 3 == 0) {
      int removed = RemoveInt(t, k);
      ASSERT_EQ(removed, static_cast<int>(model.erase(k)));
    } else {
      int v = static_cast<int>(rng() % 4);
      StoreInts(t, k, v);
      auto range = model.equal_range(k);
      if (t.UniqueKeys()) {
        if (range.first != range.second)
          range.first->second = v;
        else
          model.emplace(k, v);
      } else if (t.UniqueAssoc()) {
        bool present = false;
        for (auto it = range.first; it != range.second; ++it) present |= it->second == v;
        if (!present) {
          auto at = range.first;
          while (at != range.second && at->second < v) ++at;
          model.emplace_hint(at, k, v);
        }
      } else {
        model.emplace(k, v);
      }
    }
    if (i % 97 == 0) {
      ASSERT_EQ(t.Check(), "") << "step " << i;
    }
  }
  ASSERT_EQ(t.Check(), "");
  ASSERT_EQ(Entries(t), ModelEntries(model));
  ASSERT_EQ(t.Entries(), static_cast<int>(model.size()));
  ASSERT_EQ(t.Nodes(), model.empty() ? 1 : static_cast<int>(2 * model.size()));
}

std::string ReadAll(const std::string& path) {
  std::string s;
  KPlat::ReadFile(path, s);
  return s;
}

}  // namespace

// ------------------------------------------------------------ in memory

TEST(KRB, RandomWorkKeepsInvariantsForEverySwitchSetting) {
  const bool settings[][2] = {{true, true}, {false, true}, {false, false}};
  unsigned seed = 1;
  for (const auto& s : settings) {
    KRB t(s[0], s[1]);
    std::multimap<int, int> model;
    Churn(t, model, seed++, 3000, 200);
    // Remove everything: back to the bare head.
    for (int k = -100; k < 100; ++k) RemoveInt(t, k);
    EXPECT_EQ(t.Check(), "");
    EXPECT_EQ(t.Entries(), 0);
    EXPECT_EQ(t.Nodes(), 1);
  }
}

TEST(KRB, AscendingAndDescendingRunsStayBalanced) {
  KRB t(true, true);
  for (int i = 0; i < 2048; ++i) StoreInts(t, i, i);
  for (int i = -1; i > -2048; --i) StoreInts(t, i, i);
  ASSERT_EQ(t.Check(), "");
  // Height of a red-black tree over n leaves is at most 2 log2(n + 1).
  int height = 0;
  for (uint32_t n = t.First(); n; n = t.Next(n)) {
    int h = 0;
    for (uint32_t p = n; p != t.Head(); p = t.At(p).link[KRB::lParent]) ++h;
    height = std::max(height, h);
  }
  EXPECT_LE(height, 2 * 12 + 1);
}

TEST(KRB, SwitchesFollowEachOther) {
  KRB t(false, false);
  t.SetUniqueKeys(true);
  EXPECT_TRUE(t.UniqueAssoc());
  t.SetUniqueAssoc(true);
  EXPECT_FALSE(t.UniqueKeys());
}

TEST(KRB, SetNumbersKeysAndKeepsReverseEntriesApart) {
  KRB t(true, true);
  KA a, b, two;
  a.Owns(KMakeString("a"));
  b.Owns(KMakeString("b"));
  two.Owns(KMakeInt(2));
  EXPECT_TRUE(t.SetAdd(a.value));
  EXPECT_TRUE(t.SetAdd(b.value));
  EXPECT_FALSE(t.SetAdd(a.value));
  // A numeric member equal to a counter value is a key of its own.
  EXPECT_TRUE(t.SetAdd(two.value));
  EXPECT_EQ(t.Entries(), 6);
  EXPECT_EQ(t.RevEntries(), 3);
  EXPECT_EQ(t.Check(), "");
  EXPECT_EQ(t.Remove(a.value), 1);
  EXPECT_EQ(t.RevEntries(), 2);
  EXPECT_EQ(t.Check(), "");
}

// ------------------------------------------------------------ in a file

TEST(KRBFile, RandomWorkSurvivesReopening) {
  TempDir tmp;
  const bool settings[][2] = {{true, true}, {false, true}, {false, false}};
  int i = 0;
  for (const auto& s : settings) {
    std::string path = tmp.File(("t" + std::to_string(i++)).c_str());
    std::multimap<int, int> model;
    {
      auto t = KRB::Open(path, true, "refused", s[0], s[1]);
      Churn(*t, model, 40 + i, 1500, 120);
    }
    auto again = KRB::Open(path, true, "refused", s[0], s[1]);
    EXPECT_EQ(again->Check(), "");
    EXPECT_EQ(Entries(*again), ModelEntries(model));
    // More work on the reopened tree, then once more from the bytes alone.
    Churn(*again, model, 90 + i, 500, 120);
    auto copy = KRB::FromBytes(ReadAll(path), s[0], s[1]);
    EXPECT_EQ(Entries(*copy), ModelEntries(model));
  }
}

TEST(KRBFile, FreedSlotsAreReused) {
  TempDir tmp;
  std::string path = tmp.File("reuse");
  auto t = KRB::Open(path, true, "refused", true, true);
  for (int k = 0; k < 200; ++k) StoreInts(*t, k, k);
  int64_t full = static_cast<int64_t>(ReadAll(path).size());
  for (int k = 0; k < 200; ++k) RemoveInt(*t, k);
  for (int k = 0; k < 200; ++k) StoreInts(*t, k + 1000, k);
  EXPECT_EQ(static_cast<int64_t>(ReadAll(path).size()), full);
  EXPECT_EQ(t->Check(), "");
}

TEST(KRBFile, NewFileLayout) {
  TempDir tmp;
  std::string path = tmp.File("fresh");
  { auto t = KRB::Open(path, true, "refused", true, true); }
  std::string b = ReadAll(path);
  ASSERT_EQ(b.size(), 16u + 408 + 16 + 8 + 16 + 28);
  EXPECT_EQ(static_cast<uint32_t>(KB::GetI32(b.data())), KRBLayout::kTagHeader);
  EXPECT_EQ(KB::GetI32(b.data() + 16), 448);  // head node slot
  EXPECT_EQ(KB::GetI32(b.data() + 20), 424);  // sentinel
  EXPECT_EQ(static_cast<uint32_t>(KB::GetI32(b.data() + 424)), KRBLayout::kTagFree);
  EXPECT_EQ(KB::GetI32(b.data() + 424 + 16), 424);  // links to itself
  EXPECT_EQ(KB::GetI32(b.data() + 424 + 20), 424);
  EXPECT_EQ(static_cast<uint32_t>(KB::GetI32(b.data() + 448)), KRBLayout::kTagNode);
  EXPECT_EQ(KB::GetI32(b.data() + 448 + 16), 448);  // node number = position
}

// Every truncation and every single-byte change of a small file is either
// refused with a KError or gives a sound tree; the file is never written.
TEST(KRBFile, DamagedFilesAreRefusedWithoutWriting) {
  TempDir tmp;
  std::string path = tmp.File("good");
  {
    auto t = KRB::Open(path, true, "refused", false, false);
    for (int k = 0; k < 6; ++k) StoreInts(*t, k % 4, k);
    RemoveInt(*t, 2);
  }
  const std::string good = ReadAll(path);
  std::string bad = tmp.File("bad");
  auto tryOpen = [&](const std::string& bytes) {
    KPlat::WriteFile(bad, bytes);
    try {
      auto t = KRB::Open(bad, false, "refused", false, false);
      EXPECT_EQ(t->Check(), "");
    } catch (KError&) {
    }
    EXPECT_EQ(ReadAll(bad), bytes);
  };
  for (size_t n = 1; n < good.size(); n += 7) tryOpen(good.substr(0, n));
  for (size_t i = 0; i < good.size(); i += 11) {
    std::string b = good;
    b[i] = static_cast<char>(b[i] ^ 0x5A);
    tryOpen(b);
  }
  // Every single-byte change, read from the bytes alone.
  for (size_t i = 0; i < good.size(); ++i) {
    for (int flip : {0x01, 0x80, 0xFF}) {
      std::string b = good;
      b[i] = static_cast<char>(b[i] ^ flip);
      try {
        auto t = KRB::FromBytes(b, false, false);
        EXPECT_EQ(t->Check(), "");
      } catch (KError&) {
      }
    }
  }
  tryOpen(std::string(600, 'x'));
  KPlat::WriteFile(bad, "plain text, not a dictionary");
  try {
    KRB::Open(bad, true, "refused", true, true);
    ADD_FAILURE() << "a text file was accepted";
  } catch (KError& e) {
    EXPECT_NE(e.message.find("Not a dictionary file"), std::string::npos);
  }
}

TEST(KRBFile, ReadOnlyBindingRefusesChanges) {
  TempDir tmp;
  std::string path = tmp.File("ro");
  { auto t = KRB::Open(path, true, "refused", true, true); StoreInts(*t, 1, 1); }
  const std::string before = ReadAll(path);
  auto t = KRB::Open(path, false, "outside the fence", true, true);
  EXPECT_EQ(Entries(*t).size(), 1u);
  try {
    StoreInts(*t, 2, 2);
    ADD_FAILURE() << "store outside the fence";
  } catch (KError& e) {
    EXPECT_NE(e.message.find("outside the fence"), std::string::npos);
  }
  EXPECT_THROW(RemoveInt(*t, 1), KError);
  EXPECT_EQ(ReadAll(path), before);
  EXPECT_THROW(KRB::Open(tmp.File("missing"), false, "outside the fence", true, true), KError);
  EXPECT_FALSE(KPlat::FileExists(tmp.File("missing")));
}

TEST(KRBFile, TwoBindingsOfOneFileShareTheTree) {
  TempDir tmp;
  std::string path = tmp.File("shared");
  auto a = KRB::Open(path, true, "refused", true, true);
  auto b = KRB::Open(path, true, "refused", true, true);
  EXPECT_EQ(a.get(), b.get());
  StoreInts(*a, 7, 70);
  EXPECT_EQ(Entries(*b).size(), 1u);
}

TEST(KDict, KindsAndFieldsThroughTheClasses) {
  KA d;
  d.Owns(KDict::Make(KT::tBag, nullptr));
  KA k, v;
  k.Owns(KMakeString("k"));
  v.Owns(KMakeInt(1));
  KA::IdxAssign(d, k, v);
  KA::IdxAssign(d, k, v);
  EXPECT_EQ(d.As<KDict>()->Size(), 2);
  KA c;
  c.Owns(d.As<KDict>()->Clone());
  EXPECT_EQ(c.Type(), KT::tBag);
  EXPECT_EQ(c.As<KDict>()->Size(), 2);
  EXPECT_EQ(c.As<KDict>()->Tree().Check(), "");
}

TEST(KRBFile, AValueWithoutAnImageChangesNothing) {
  TempDir tmp;
  std::string path = tmp.File("noimage");
  auto t = KRB::Open(path, true, "refused", true, true);
  StoreInts(*t, 1, 1);
  const std::string before = ReadAll(path);
  KA key, val;
  key.Owns(KMakeInt(2));
  val.Owns(KDict::Make(KT::tDict, nullptr));  // a dictionary has no image
  EXPECT_THROW(t->Store(key.value, val.value), KError);
  EXPECT_EQ(ReadAll(path), before);
  EXPECT_EQ(t->Entries(), 1);
  EXPECT_EQ(t->Check(), "");
}
