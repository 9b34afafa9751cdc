// Tests for KFCtxt: path cleaning and components, joining, images, and the
// directory walks (trees through link loops and deep nesting, purges that
// remove links as links, names the language cannot spell).
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <string>

#include "KArg.h"
#include "KFCtxt.h"
#include "KFile.h"
#include "KPlatform.h"
#include "KSeq.h"
#include "KString.h"
#include "Kerror.h"

namespace fs = std::filesystem;

namespace {
struct Done {
  void operator()(KB* v) const { KB::DoneWith(v); }
};
template <class T>
using Owned = std::unique_ptr<T, Done>;

std::string Text(KB* v) { return v->AsString(false); }

// Runs in a fresh temporary directory holding tarq/user.
class InTempDir : public ::testing::Test {
 protected:
  void SetUp() override {
    old = fs::current_path();
    char tmpl[] = "/tmp/tarq_fctxt_XXXXXX";
    root = mkdtemp(tmpl);
    fs::current_path(root);
    fs::create_directories("tarq/user");
  }
  void TearDown() override {
    fs::current_path(old);
    fs::remove_all(root);
  }
  fs::path old;
  std::string root;
};
}  // namespace

TEST(KFCtxtPath, Cleaning) {
  EXPECT_EQ(KFCtxt::Clean(""), "\\");
  EXPECT_EQ(KFCtxt::Clean("a/b"), "a\\b\\");
  EXPECT_EQ(KFCtxt::Clean("a\\b\\"), "a\\b\\");
  EXPECT_EQ(KFCtxt::Clean("\\x"), "\\x\\");
  EXPECT_FALSE(KFCtxt("").IsAbsolute());
  EXPECT_FALSE(KFCtxt("a/b").IsAbsolute());
  EXPECT_TRUE(KFCtxt("/x").IsAbsolute());
  EXPECT_TRUE(KFCtxt("c:x").IsAbsolute());
  std::string cwd = KFCtxt::PathCWD();
  EXPECT_EQ(cwd.back(), '\\');
  EXPECT_EQ(KFCtxt("").FPath(), cwd);
  EXPECT_EQ(KFCtxt("a/b").FPath(), cwd + "a\\b\\");
  EXPECT_EQ(KFCtxt("\\x\\y").FPath(), "\\x\\y\\");
  // drive letters name the root; there are no drives
  EXPECT_EQ(KFCtxt("C:\\usr\\").SysPath(), "/usr/");
}

TEST(KFCtxtPath, Components) {
  KFCtxt c("x\\dir.d\\name.tar.gz");
  EXPECT_EQ(c.FName(), "name.tar.gz");
  EXPECT_EQ(c.Name(), "name.tar");
  EXPECT_EQ(c.Ext(), "gz");
  EXPECT_EQ(c.ParentPath(), "x\\dir.d\\");
  // the extension belongs to the last component only
  EXPECT_EQ(KFCtxt("a.b\\c").Ext(), "");
  EXPECT_EQ(KFCtxt("single").ParentPath(), "");
  EXPECT_EQ(KFCtxt("").FName(), "");
}

TEST(KFCtxtPath, TakeCountsComponents) {
  KFCtxt c("\\a\\b\\c\\d");
  EXPECT_EQ(Text(Owned<KFCtxt>(c.Take(2)).get()), "\\a\\b\\");
  EXPECT_EQ(Text(Owned<KFCtxt>(c.Take(-2)).get()), "c\\d\\");
  EXPECT_EQ(Text(Owned<KFCtxt>(c.Take(1, false)).get()), "d\\");
  EXPECT_EQ(Text(Owned<KFCtxt>(c.Take(KT::iNil)).get()), "\\a\\");
  EXPECT_EQ(Text(Owned<KFCtxt>(c.Take(0)).get()), "\\");
  EXPECT_EQ(Text(Owned<KFCtxt>(c.Take(9)).get()), "\\a\\b\\c\\d\\");
  EXPECT_EQ(Text(Owned<KFCtxt>(c.Take(-9)).get()), "\\a\\b\\c\\d\\");
  KFCtxt rel("r\\s");
  std::string full = Text(Owned<KFCtxt>(rel.TakeFull(-1)).get());
  EXPECT_EQ(full, "s\\");
}

TEST(KFCtxtPath, CatenateAndItsErrors) {
  KFCtxt c("a");
  KString b("b/c");
  c.Catenate(&b);
  EXPECT_EQ(c.Path(), "a\\b\\c\\");
  KFCtxt abs("\\x");
  KString absText("/etc"), tab("x\ty");
  KFCtxt c2("a");
  for (KB* bad : {static_cast<KB*>(&abs), static_cast<KB*>(&absText), static_cast<KB*>(&tab)}) {
    try {
      c2.Catenate(bad);
      ADD_FAILURE() << "accepted " << Text(bad);
    } catch (const KError& e) {
      EXPECT_EQ(e.code, KT::eValue);
    }
  }
  EXPECT_EQ(c2.Path(), "a\\");
}

TEST(KFCtxtImage, RoundTripAndDamage) {
  KFCtxt c("some\\where");
  std::string image = c.SO();
  ASSERT_EQ(static_cast<int>(image.size()), c.SOSz());
  Owned<KB> back(KFCtxt::SI(image.data()));
  EXPECT_EQ(static_cast<KFCtxt*>(back.get())->Path(), "some\\where\\");
  std::string damaged = image;
  damaged[4] = 3;  // a total too small for its contents
  EXPECT_THROW(KFCtxt::SI(damaged.data()), KError);
}

TEST_F(InTempDir, TreeDoesNotFollowLinkLoops) {
  fs::create_directories("tarq/user/t/a");
  fs::create_directory_symlink("..", "tarq/user/t/a/up");
  fs::create_directory_symlink(".", "tarq/user/t/self");
  KFCtxt t("tarq\\user\\t");
  Owned<KSeq> tree(t.Tree(KFCtxt::kTreeDepth, true));
  // t, a's tree (a, up listed as a leaf), self as a leaf
  ASSERT_EQ(tree->Count(), 3);
  KSeq* a = static_cast<KSeq*>((*tree)[1]);
  ASSERT_EQ(a->Count(), 2);
  EXPECT_EQ(static_cast<KSeq*>((*a)[1])->Count(), 1);
}

TEST_F(InTempDir, TreeStopsAtItsDepth) {
  std::string deep = "tarq/user/n";
  for (int i = 0; i < 104; ++i) deep += "/d";
  fs::create_directories(deep);
  KFCtxt n("tarq\\user\\n");
  Owned<KSeq> tree(n.Tree(KFCtxt::kTreeDepth, false));
  int levels = 0;
  for (KSeq* s = tree.get(); s->Count() == 2; s = static_cast<KSeq*>((*s)[1])) ++levels;
  EXPECT_EQ(levels, KFCtxt::kTreeDepth);
}

TEST_F(InTempDir, PurgeRemovesLinksNotTheirTargets) {
  fs::create_directories("outside");
  std::ofstream("outside/keep.txt") << "precious";
  fs::create_directories("tarq/user/p/sub");
  std::ofstream("tarq/user/p/sub/f.txt") << "x";
  fs::create_directory_symlink(root + "/outside", "tarq/user/p/link");
  fs::create_symlink(root + "/outside/keep.txt", "tarq/user/p/filelink");
  KFCtxt p("tarq\\user\\p");
  Owned<KSeq> remain(p.PathRemove(true));
  EXPECT_EQ(remain->Count(), 0);
  EXPECT_TRUE(fs::is_empty("tarq/user/p"));
  EXPECT_TRUE(fs::exists("outside/keep.txt"));
  // a link to a directory outside cannot be purged through
  fs::create_directory_symlink(root + "/outside", "tarq/user/out");
  KFCtxt through("tarq\\user\\out");
  EXPECT_THROW(Owned<KSeq>(through.PathRemove(true)), KError);
  EXPECT_TRUE(fs::exists("outside/keep.txt"));
}

TEST_F(InTempDir, PurgeWithoutRecursionKeepsDirectories) {
  fs::create_directories("tarq/user/q/sub");
  std::ofstream("tarq/user/q/f.txt") << "x";
  KFCtxt q("tarq\\user\\q");
  Owned<KSeq> remain(q.PathRemove(false));
  ASSERT_EQ(remain->Count(), 1);
  EXPECT_EQ(Text((*remain)[0]), q.FPath() + "sub\\");
  EXPECT_FALSE(fs::exists("tarq/user/q/f.txt"));
}

TEST_F(InTempDir, NamesOutsideWindows1252StayOpenable) {
  fs::create_directories("tarq/user/w");
  std::ofstream("tarq/user/w/bad\xFF.txt") << "raw";
  std::ofstream("tarq/user/w/\xE4\xB8\xAD.txt") << "cjk";
  std::ofstream("tarq/user/w/caf\xC3\xA9.txt") << "latin";
  fs::create_directories("tarq/user/w/\xE4\xB8\xAD\xE6\x96\x87");
  std::ofstream("tarq/user/w/\xE4\xB8\xAD\xE6\x96\x87/in.txt") << "inner";
  KFCtxt w("tarq\\user\\w");
  KA none;
  Owned<KSeq> files(w.List(none, true, false, false));
  ASSERT_EQ(files->Count(), 3);
  EXPECT_EQ(Text((*files)[0]), "bad?.txt");
  EXPECT_EQ(Text((*files)[1]), "caf\xE9.txt");
  EXPECT_EQ(Text((*files)[2]), "?.txt");
  EXPECT_EQ(static_cast<KFile*>((*files)[0])->Buf()->Value(), "raw");
  EXPECT_EQ(static_cast<KFile*>((*files)[1])->Buf()->Value(), "latin");
  EXPECT_EQ(static_cast<KFile*>((*files)[2])->Buf()->Value(), "cjk");
  Owned<KSeq> all(w.List(none, true, true, true));
  ASSERT_EQ(all->Count(), 4);
  ASSERT_EQ((*all)[3]->typen(), KT::tSeq);
  KSeq* pair = static_cast<KSeq*>((*all)[3]);
  EXPECT_EQ(Text((*pair)[0]), "tarq\\user\\w\\??\\");
  KFile* inner = static_cast<KFile*>((*static_cast<KSeq*>((*pair)[1]))[0]);
  EXPECT_EQ(inner->Buf()->Value(), "inner");
}

TEST_F(InTempDir, ListingPatterns) {
  fs::create_directories("tarq/user/l/sub");
  for (const char* n : {"a.txt", "b.log", "c.txt"}) std::ofstream(std::string("tarq/user/l/") + n) << n;
  KFCtxt l("tarq\\user\\l");
  KA txt("*.txt");
  Owned<KSeq> some(l.List(txt, true, true, false));
  ASSERT_EQ(some->Count(), 2);
  EXPECT_EQ(Text((*some)[1]), "c.txt");
  KA under("sub\\");
  EXPECT_EQ(Owned<KSeq>(l.List(under, true, true, false))->Count(), 0);
  KA number(3);
  EXPECT_THROW(l.List(number, true, true, false), KError);
}

TEST_F(InTempDir, CopyIntoAContext) {
  std::ofstream("src.txt") << "copied bytes";
  fs::create_directories("srcdir");
  KFCtxt dest("tarq\\user\\dest");
  dest.PathCreate();
  KString name("src.txt");
  EXPECT_EQ(dest.Copy(&name), 1);
  std::ifstream in("tarq/user/dest/src.txt");
  std::string back((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  EXPECT_EQ(back, "copied bytes");
  KFile dir(std::string("srcdir"));
  EXPECT_EQ(dest.Copy(&dir), 0);
  EXPECT_FALSE(fs::exists("tarq/user/dest/srcdir"));
  KFCtxt outside("elsewhere");
  EXPECT_THROW(outside.Copy(&name), KError);
}

// A working directory whose name is not ASCII (UTF-8 on the system) is
// reported in Windows-1252, and relative paths still reach it: nothing is
// written into a twin directory named by the converted text.
TEST_F(InTempDir, WorkingDirectoryOutsideAscii) {
  fs::create_directories("tarq/user/caf\xC3\xA9/\xE4\xB8\xAD");
  fs::current_path("tarq/user/caf\xC3\xA9");
  std::string cwd = KFCtxt::PathCWD();
  EXPECT_EQ(cwd.substr(cwd.size() - 6), "\\caf\xE9\\");
  KFCtxt here("");
  EXPECT_TRUE(here.Exists());
  KFile f(std::string("x.txt"));
  ASSERT_TRUE(f.Create());
  EXPECT_TRUE(fs::exists(fs::path(root) / "tarq/user/caf\xC3\xA9/x.txt"));
  fs::current_path("\xE4\xB8\xAD");
  KFCtxt up("..");
  EXPECT_TRUE(up.Exists());
  auto entries = fs::directory_iterator(fs::path(root) / "tarq/user");
  EXPECT_EQ(std::distance(fs::begin(entries), fs::end(entries)), 1);
}

// A listed directory whose name holds a colon is still the directory listed,
// not a drive path with the drive dropped.
TEST_F(InTempDir, ListedNamesWithAColon) {
  fs::create_directories("tarq/user/c:x");
  fs::create_directories("tarq/user/x");
  std::ofstream("tarq/user/c:x/inner") << "in";
  std::ofstream("tarq/user/x/other") << "out";
  fs::current_path("tarq/user");
  KFCtxt here("");
  KA none;
  Owned<KSeq> dirs(here.List(none, false, true, false));
  ASSERT_EQ(dirs->Count(), 2);
  KFCtxt* colon = static_cast<KFCtxt*>((*dirs)[0]);
  EXPECT_EQ(Text(colon), "c:x\\");
  EXPECT_TRUE(colon->Exists());
  Owned<KSeq> files(colon->List(none, true, false, false));
  ASSERT_EQ(files->Count(), 1);
  EXPECT_EQ(Text((*files)[0]), "inner");
  EXPECT_EQ(static_cast<KFile*>((*files)[0])->Buf()->Value(), "in");
}

// A "\\" is an ordinary character of a Linux name: the listed file is that
// file, and writing to it creates no folder and no other file.
TEST_F(InTempDir, ListedNameWithABackslash) {
  std::ofstream("tarq/user/a\\b") << "ORIG";
  KFCtxt user("tarq\\user\\");
  KA none;
  Owned<KSeq> files(user.List(none, true, false, false));
  ASSERT_EQ(files->Count(), 1);
  KFile* f = static_cast<KFile*>((*files)[0]);
  EXPECT_EQ(f->Size(), 4);
  EXPECT_EQ(f->Buf()->Value(), "ORIG");
  Owned<KString> more(new KString("+"));
  f->Append(more.get());
  EXPECT_FALSE(fs::exists("tarq/user/a"));
  std::ifstream in("tarq/user/a\\b");
  std::string content((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  EXPECT_EQ(content, "ORIG+");
}

// Changing the working directory: to a context that exists, or the error.
TEST_F(InTempDir, ChangeWorkingDirectory) {
  KA to(std::string("tarq/user"));
  KFCtxt::ChgCWD(to);
  EXPECT_EQ(fs::current_path(), fs::path(root) / "tarq/user");
  KA missing(std::string("nowhere"));
  try {
    KFCtxt::ChgCWD(missing);
    ADD_FAILURE() << "no error";
  } catch (const KError& e) {
    EXPECT_EQ(e.code, KT::eValue);
    EXPECT_EQ(e.message.rfind("No such Path", 0), 0u);
  }
  KFCtxt here("");
  KA up(std::string(".."));
  here.chgFCtxt(up);
  EXPECT_EQ(Text(&here), "..\\");
  EXPECT_FALSE(here.ContainsTARQUserDir());
  EXPECT_TRUE(KFCtxt("x").ContainsTARQUserDir());
}

// The working directory as a context reaches the directory even when its
// name shows "?" for characters the text cannot hold.
TEST_F(InTempDir, WorkingDirectoryContextOutsideWindows1252) {
  fs::create_directories("tarq/user/\xE4\xB8\xAD");
  fs::current_path("tarq/user/\xE4\xB8\xAD");
  std::ofstream("in.txt") << "x";
  Owned<KFCtxt> w(KFCtxt::WorkingDir());
  EXPECT_TRUE(w->IsAbsolute());
  EXPECT_EQ(w->FPath().substr(w->FPath().size() - 3), "\\?\\");
  EXPECT_TRUE(w->Exists());
  KA none;
  Owned<KSeq> files(w->List(none, true, false, false));
  ASSERT_EQ(files->Count(), 1);
  EXPECT_EQ(static_cast<KFile*>((*files)[0])->Buf()->Value(), "x");
  fs::current_path(root);
  Owned<KFCtxt> plain(KFCtxt::WorkingDir());
  EXPECT_EQ(plain->FPath(), KFCtxt::PathCWD());
}
