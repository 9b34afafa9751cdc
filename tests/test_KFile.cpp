// Tests for KFile: names and components, content round trips (binary bytes
// included), the reload when another writer changed the file, the load
// limit, writing back, writes that fail leaving the old file whole, links
// and directories where files are expected, images.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>

#include "KClock.h"
#include "KFCtxt.h"
#include "KFile.h"
#include "KNum.h"
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

std::string Slurp(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

class FileDir : public ::testing::Test {
 protected:
  void SetUp() override {
    old = fs::current_path();
    char tmpl[] = "/tmp/tarq_file_XXXXXX";
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

TEST(KFileNames, SplitIntoContextAndName) {
  KFile f(std::string("a/b\\notes.old.txt"));
  EXPECT_EQ(f.NameText(), "notes.old.txt");
  EXPECT_EQ(f.Name(), "notes.old");
  EXPECT_EQ(f.Ext(), "txt");
  EXPECT_EQ(f.FC()->Path(), "a\\b\\");
  EXPECT_EQ(f.FPath(), KFCtxt::PathCWD() + "a\\b\\notes.old.txt");
  EXPECT_EQ(f.AsString(false), "notes.old.txt");
  EXPECT_EQ(f.AsString(true), "File[R1C1:P]N:notes.old.txt;a\\b\\");
  KFCtxt dir("\\base");
  KString name("sub/x");
  KFile g(&name, &dir);
  EXPECT_EQ(g.FPath(), "\\base\\sub\\x");
  EXPECT_EQ(KFile().FPath(), KFCtxt::PathCWD());
}

TEST(KFileImage, RoundTripAndClosedCopies) {
  KFile f(std::string("\\d\\e.txt"));
  std::string image = f.SO();
  ASSERT_EQ(static_cast<int>(image.size()), f.SOSz());
  Owned<KB> back(KFile::SI(image.data()));
  EXPECT_EQ(static_cast<KFile*>(back.get())->FPath(), "\\d\\e.txt");
  std::string cut = image;
  cut[12] = 100;  // the name's image claims more than there is
  EXPECT_THROW(KFile::SI(cut.data()), KError);
  Owned<KB> copy(f.Clone());
  EXPECT_EQ(static_cast<KFile*>(copy.get())->Mode(), 'C');
  EXPECT_TRUE(f.EQ(copy.get()));
}

TEST_F(FileDir, RoundTripKeepsEveryByte) {
  std::string bytes("line one\r\nnul\0inside\nend\xFF", 26);
  KFile f(std::string("tarq\\user\\bin.dat"));
  KString data(bytes);
  f.Append(&data);
  EXPECT_EQ(Slurp("tarq/user/bin.dat"), bytes);
  f.Close();
  KFile again(std::string("tarq\\user\\bin.dat"));
  EXPECT_EQ(again.Buf()->Value(), bytes);
  EXPECT_EQ(again.Mode(), 'R');
  EXPECT_EQ(again.Size(), 26);
}

TEST_F(FileDir, ReloadsWhenAnotherWriterChangedTheFile) {
  std::ofstream("tarq/user/r.txt") << "first";
  KFile reader(std::string("tarq\\user\\r.txt"));
  EXPECT_EQ(reader.Buf()->Value(), "first");
  // in place, longer: the size tells
  std::ofstream("tarq/user/r.txt", std::ios::app) << " and more";
  EXPECT_EQ(reader.Buf()->Value(), "first and more");
  // replaced by another file of the same size: the identity tells
  ASSERT_TRUE(KPlat::WriteFile(root + "/tarq/user/r.txt", "FIRST AND MORE"));
  EXPECT_EQ(reader.Buf()->Value(), "FIRST AND MORE");
  // a second file object writing through the language
  KFile writer(std::string("tarq\\user\\r.txt"));
  KString tail("!");
  writer.Append(&tail);
  EXPECT_EQ(reader.Buf()->Value(), "FIRST AND MORE!");
  // unchanged: the same buffer, position kept
  KString* b = reader.Buf();
  b->fPosSet(3);
  EXPECT_EQ(reader.Buf(), b);
  EXPECT_EQ(reader.Buf()->Pos(), 3);
}

TEST_F(FileDir, LoadsAtMostMaxSize) {
  std::ofstream("tarq/user/big.txt") << std::string(25, 'x');
  int32_t saved = KFile::maxSize;
  KFile::maxSize = 10;
  KFile f(std::string("tarq\\user\\big.txt"));
  int len = f.Buf()->Len();
  // appending to a partly loaded file goes to the file's end
  KString more("yz");
  f.Append(&more);
  KFile::maxSize = saved;
  EXPECT_EQ(len, 10);
  EXPECT_EQ(Slurp("tarq/user/big.txt"), std::string(25, 'x') + "yz");
}

TEST_F(FileDir, WritingBackAndPositions) {
  std::ofstream("tarq/user/w.txt") << "0123456789";
  KFile r(std::string("tarq\\user\\w.txt"));
  r.Buf();
  EXPECT_EQ(r.writeBuf(0, 3), 0);  // not in write mode
  KFile f(std::string("tarq\\user\\w.txt"));
  ASSERT_TRUE(f.Open('W'));
  KString* b = f.Buf();
  EXPECT_TRUE(b->AtEOS());  // write mode loads with the position at the end
  b->fPosSet(2);
  KString ab("ab");
  EXPECT_EQ(f.NextWr(&ab), 2);  // the count written; the position moves past it
  EXPECT_EQ(b->Pos(), 4);
  EXPECT_EQ(Slurp("tarq/user/w.txt"), "01ab456789");
  EXPECT_EQ(f.writeBuf(-5, 100), 10);
  EXPECT_EQ(Slurp("tarq/user/w.txt"), "01ab456789");
  // the reload does not see our own write as a change
  EXPECT_EQ(f.Buf(), b);
  EXPECT_TRUE(f.Open('X'));
  EXPECT_EQ(f.Size(), 0);
  EXPECT_EQ(f.Buf()->Len(), 0);
}

TEST_F(FileDir, FailedWritesLeaveTheOldFile) {
  std::ofstream("tarq/user/keep.txt") << std::string(50, 'a');
  KFile f(std::string("tarq\\user\\keep.txt"));
  ASSERT_TRUE(f.Open('W'));
  f.Buf();
  // files may not grow past 80 bytes: both an append and an overwrite fail
  struct rlimit oldLimit;
  getrlimit(RLIMIT_FSIZE, &oldLimit);
  auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
  struct rlimit small = oldLimit;
  small.rlim_cur = 80;
  setrlimit(RLIMIT_FSIZE, &small);
  KString big(std::string(100, 'b'));
  int overwrite = f.NextWr(&big);  // position 50: appends past the limit
  KString* b = f.Buf();
  b->fPosSet(10);
  int over = f.NextWr(&big);  // over old bytes and past the limit
  setrlimit(RLIMIT_FSIZE, &oldLimit);
  std::signal(SIGXFSZ, oldHandler);
  EXPECT_EQ(overwrite, -1);
  EXPECT_EQ(over, -1);
  EXPECT_EQ(Slurp("tarq/user/keep.txt"), std::string(50, 'a'));
  EXPECT_NE(KFile::fLastError.find("Err("), std::string::npos);
  int leftovers = 0;
  for (auto& e : fs::directory_iterator("tarq/user")) leftovers += e.path().filename() != "keep.txt";
  EXPECT_EQ(leftovers, 0);
}

TEST_F(FileDir, LinksAndDirectoriesWhereFilesAreExpected) {
  fs::create_directories("outside");
  std::ofstream("outside/target.txt") << "outside";
  fs::create_symlink(root + "/outside/target.txt", "tarq/user/link.txt");
  fs::create_symlink("loop2", "tarq/user/loop1");
  fs::create_symlink("loop1", "tarq/user/loop2");
  fs::create_directories("tarq/user/dir");
  // reading through a link is fine; writing through it leaves the fence
  KFile link(std::string("tarq\\user\\link.txt"));
  EXPECT_EQ(link.Buf()->Value(), "outside");
  EXPECT_THROW(link.Open('W'), KError);
  EXPECT_TRUE(link.RO());
  // destroying removes the link itself
  KFile link2(std::string("tarq\\user\\link.txt"));
  EXPECT_TRUE(link2.Destroy());
  EXPECT_FALSE(fs::exists(fs::symlink_status("tarq/user/link.txt")));
  EXPECT_EQ(Slurp("outside/target.txt"), "outside");
  // a loop and a directory: clear errors
  KFile loop(std::string("tarq\\user\\loop1"));
  EXPECT_THROW(loop.Buf(), KError);
  EXPECT_FALSE(loop.Open('R'));
  KFile dir(std::string("tarq\\user\\dir"));
  EXPECT_FALSE(dir.Exists());
  EXPECT_THROW(dir.Buf(), KError);
  EXPECT_FALSE(dir.Open('X'));
  EXPECT_TRUE(fs::is_directory("tarq/user/dir"));
}

// A pipe without a writer neither blocks a read, the attributes nor a copy;
// the alarm turns a regression into a failure instead of a hang.
TEST_F(FileDir, PipesAndDevicesNeitherBlockNorRunForever) {
  ASSERT_EQ(mkfifo("tarq/user/pipe", 0755), 0);
  alarm(20);
  KFile pipe(std::string("tarq\\user\\pipe"));
  EXPECT_EQ(pipe.Buf()->Value(), "");
  Owned<KSeq> attr(pipe.Attr());
  ASSERT_TRUE(attr);
  EXPECT_EQ((*attr)[3]->AsString(false), "Not Executable");
  KFCtxt into(std::string("tarq\\user\\copies"));
  into.PathCreate();
  EXPECT_FALSE(into.FileCopy(&pipe));
  KFile zero(std::string("/dev/zero"));
  EXPECT_FALSE(into.FileCopy(&zero));
  alarm(0);
  EXPECT_TRUE(into.IsEmpty());
}

TEST_F(FileDir, TimesAndAttributes) {
  double before = KClock::DaysFromUnix(time(nullptr) - 2, 0);
  KFile f(std::string("tarq\\user\\t.txt"));
  ASSERT_TRUE(f.Create());
  Owned<KClock> written(f.Time('W'));
  ASSERT_TRUE(written);
  EXPECT_GE(written->Days(0), before);
  EXPECT_EQ(f.Time('?'), nullptr);
  Owned<KSeq> attr(f.Attr());
  ASSERT_TRUE(attr);
  EXPECT_EQ((*attr)[1]->AsString(false), "Normal,");
  EXPECT_EQ((*attr)[3]->AsString(false), "Not Executable");
  KFile sh(std::string("/bin/sh"));
  Owned<KSeq> shAttr(sh.Attr());
  ASSERT_TRUE(shAttr);
  EXPECT_EQ((*shAttr)[3]->AsString(false), "POSIX - based application");
  KFile none(std::string("tarq\\user\\none"));
  EXPECT_EQ(none.Attr(), nullptr);
  EXPECT_EQ(none.Size(), -1);
}

TEST_F(FileDir, ModeLettersAndTheReadOnlySwitch) {
  std::ofstream("tarq/user/m.txt") << "abc";
  KFile f(std::string("tarq\\user\\m.txt"));
  EXPECT_TRUE(f.Open('q'));
  EXPECT_EQ(f.Mode(), 'Q');
  EXPECT_TRUE(f.RO());
  EXPECT_EQ(f.Buf()->Value(), "abc");  // reading reopens for reading
  EXPECT_EQ(f.Mode(), 'R');
  EXPECT_FALSE(f.Open('Z'));
  EXPECT_EQ(f.Mode(), 'C');
  EXPECT_NE(KFile::fLastError.find("Err("), std::string::npos);
  // 'A' creates a missing file and leaves the letter alone
  KFile a(std::string("tarq\\user\\new\\a.txt"));
  EXPECT_TRUE(a.Open('A'));
  EXPECT_EQ(a.Mode(), 'C');
  EXPECT_NE(a.Handle(), 0);
  EXPECT_TRUE(fs::exists("tarq/user/new/a.txt"));
  // read-only off reopens for writing, on goes back to reading
  EXPECT_TRUE(f.ROSet(false));
  EXPECT_EQ(f.Mode(), 'W');
  EXPECT_TRUE(f.ROSet(true));
  EXPECT_EQ(f.Mode(), 'R');
  std::ofstream("outside.txt") << "x";
  KFile out(std::string("outside.txt"));
  EXPECT_FALSE(out.ROSet(false));
  EXPECT_THROW(out.Open('x'), KError);
  EXPECT_TRUE(out.RO());
  EXPECT_EQ(out.Mode(), 'C');
}

// Sizes past the Int range are Floats: the top Int is the nil.
TEST_F(FileDir, SizeFieldBeyondTheIntRange) {
  ASSERT_EQ(truncate("tarq/user/big", 0), -1);
  { std::ofstream("tarq/user/big").put('x'); }
  ASSERT_EQ(truncate("tarq/user/big", 3000000000LL), 0);
  KFile f(std::string("tarq\\user\\big"));
  Owned<KString> field(new KString(":size"));
  Owned<KB> size(f.FieldGet(field.get()));
  EXPECT_EQ(static_cast<KNum*>(size.get())->AsFloat(), 3000000000.0);
  ASSERT_EQ(truncate("tarq/user/big", 2147483647LL), 0);
  Owned<KB> top(f.FieldGet(field.get()));
  EXPECT_EQ(static_cast<KNum*>(top.get())->AsFloat(), 2147483647.0);
  EXPECT_EQ(top->alignmentn(), KT::aFloat);
  // The attributes give the low 32 bits, never negative.
  ASSERT_EQ(truncate("tarq/user/big", 0x1FFFFFFFFLL), 0);
  Owned<KSeq> attr(f.Attr());
  ASSERT_TRUE(attr);
  EXPECT_EQ(static_cast<KNum*>((*attr)[0])->AsFloat(), 4294967295.0);
}

// A NUL byte would cut the path the system sees short of the text the fence
// judged: such paths are refused and name no file.
TEST_F(FileDir, PathsWithANulByteAreRefused) {
  std::string cut = std::string("outside") + '\0' + "/tarq/user/";
  EXPECT_FALSE(KPlat::WriteAllowedSys(cut));
  KPlat::FileInfo info;
  EXPECT_FALSE(KPlat::Stat(std::string(".") + '\0' + "x", info));
  EXPECT_LT(KPlat::OpenFile(std::string("tarq/user") + '\0' + "x", 'R'), 0);
  KFCtxt c(cut);
  EXPECT_THROW(c.PathCreate(), KError);
  EXPECT_FALSE(fs::exists("outside"));
}
