// Attacks on the write fence through the script's own write routes: a link
// swapped in by another thread while the script writes, a working folder
// deeper than the system's path limit, a hard link planted inside the fence,
// and a pipe bound as a dictionary. After each, nothing outside has changed.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <thread>

#include "TestHost.h"

namespace fs = std::filesystem;

namespace {
std::string Slurp(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

// Every entry under a folder with its content ("/" for a directory).
std::map<std::string, std::string> Snapshot(const fs::path& dir) {
  std::map<std::string, std::string> out;
  for (const auto& e : fs::recursive_directory_iterator(dir)) {
    std::string rel = fs::relative(e.path(), dir).string();
    out[rel] = e.is_directory() ? "/" : e.is_regular_file() ? Slurp(e.path()) : "(special)";
  }
  return out;
}

// <root>/tarq/user (the fence's folder) and <root>/out (outside), on a
// memory file system when there is one, so the many syncs cost nothing.
// The working directory is <root> while a test runs.
class FenceAttack : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string base = fs::is_directory("/dev/shm") ? "/dev/shm" : "/tmp";
    std::string tmpl = base + "/tarq_attack_XXXXXX";
    root = mkdtemp(tmpl.data());
    user = root + "/tarq/user";
    out = root + "/out";
    fs::create_directories(user);
    fs::create_directories(out + "/keep");
    std::ofstream(out + "/f.txt") << "VICTIM";
    std::ofstream(out + "/keep/k.txt") << "KEEP";
    std::ofstream(user + "/src.txt") << "SOURCE";
    home = open(".", O_RDONLY | O_DIRECTORY);
    ASSERT_EQ(chdir(root.c_str()), 0);
    before = Snapshot(out);
  }
  void TearDown() override {
    if (fchdir(home) != 0) ADD_FAILURE() << "could not return to the working directory";
    close(home);
    fs::remove_all(root);
  }
  void ExpectOutsideUntouched() { EXPECT_EQ(Snapshot(out), before); }

  std::string root, user, out;
  int home = -1;
  std::map<std::string, std::string> before;
};

// Swaps the name "sw" inside the fence between a real folder and a link to
// the outside folder, as fast as it can, until told to stop.
class Swapper {
 public:
  explicit Swapper(const std::string& user) : dir_(user + "/sw"), link_(user + "/swL") {
    fs::create_directories(dir_);
    std::ofstream(dir_ + "/f.txt") << "INSIDE";
    fs::create_directory_symlink(fs::path(user).parent_path().parent_path() / "out", link_);
    thread_ = std::thread([this] {
      while (!stop_) renameat2(AT_FDCWD, dir_.c_str(), AT_FDCWD, link_.c_str(), RENAME_EXCHANGE);
    });
  }
  ~Swapper() {
    stop_ = true;
    thread_.join();
  }

 private:
  std::string dir_, link_;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

struct Route {
  const char* name;
  const char* script;
};

// Every way a script changes the file system, aimed through the swapped name.
const Route kRoutes[] = {
    {"dictionary binding and store", "'tarq\\user\\sw\\d.tqd' #DICT => d; 'v' =>['k'] d"},
    {"append", "'tarq\\user\\sw\\f.txt' #FILE => f; 'x' ,=> f"},
    {"write", "'tarq\\user\\sw\\f.txt' #FILE => f; 'x' ->> f"},
    {"clear", "('tarq\\user\\sw\\f.txt' #FILE) :clear"},
    {"file create and destroy",
     "('tarq\\user\\sw\\f.txt' #FILE) :destroy; ('tarq\\user\\sw\\f.txt' #FILE) :create"},
    {"folder create", "'tarq\\user\\sw\\made\\deeper\\' #FC :create"},
    {"copy", "('tarq\\user\\src.txt' #FILE) ->> ('tarq\\user\\sw\\' #FC)"},
    {"purge", "'tarq\\user\\sw\\' #FC :purge"},
};
}  // namespace

TEST_F(FenceAttack, SwappedLinkNeverLeadsOut) {
  constexpr int kTries = 10000;
  for (const Route& route : kRoutes) {
    SCOPED_TRACE(route.name);
    TestHost host;
    int admitted = 0;
    {
      Swapper swapper(user);
      for (int i = 0; i < kTries; ++i)
        if (host.Run(route.script).rfind("error", 0) != 0) ++admitted;
    }
    ExpectOutsideUntouched();
    // The race ran both ways: some tries were made inside.
    EXPECT_GT(admitted, 0);
    fs::remove_all(user + "/sw");
    fs::remove_all(user + "/swL");
  }
}

// From a working folder deeper than the system's path limit, a link inside
// it to the outside cannot be walked out of by "..": the walk follows the
// link by descriptor and judges where it really leads.
TEST_F(FenceAttack, DeepWorkingFolderLinkEscape) {
  fs::create_directories(out + "/sub");
  ASSERT_EQ(chdir(user.c_str()), 0);
  // The working folder's path is 4094 bytes long: it can still be named,
  // but "<it>/L" is past the system's limit of 4095 bytes.
  constexpr size_t kDepth = 4094;
  size_t depth = user.size();
  while (depth < kDepth) {
    size_t step = std::min<size_t>(200, kDepth - depth - 1);
    if (kDepth - depth - 1 - step > 0 && kDepth - depth - 1 - step < 2) step -= 2;
    std::string name(step, 'd');
    ASSERT_EQ(mkdir(name.c_str(), 0777), 0);
    ASSERT_EQ(chdir(name.c_str()), 0);
    depth += step + 1;
  }
  ASSERT_EQ(depth, kDepth);
  ASSERT_EQ(symlink((out + "/sub").c_str(), "L"), 0);
  TestHost host;
  EXPECT_EQ(host.Run("'L/../pwned.tqd' #DICT => d; 'x' =>['k'] d").rfind("error", 0), 0u);
  EXPECT_EQ(host.Run("'L/../pwned.txt' #FILE => f; 'x' ,=> f").rfind("error", 0), 0u);
  EXPECT_FALSE(fs::exists(out + "/pwned.tqd"));
  EXPECT_FALSE(fs::exists(out + "/pwned.txt"));
  ASSERT_EQ(chdir(root.c_str()), 0);
  fs::remove(out + "/sub");
  ExpectOutsideUntouched();
}

// A hard link inside the fence is another name of an outside file: no
// route writes through it.
TEST_F(FenceAttack, HardLinkIsNotWrittenThrough) {
  ASSERT_EQ(link((out + "/f.txt").c_str(), (user + "/h.txt").c_str()), 0);
  TestHost host;
  EXPECT_EQ(host.Run("'tarq\\user\\h.txt' #FILE => f; 'x' ,=> f").rfind("error", 0), 0u);
  // Writing and clearing report failure by their result.
  EXPECT_EQ(host.Run("'tarq\\user\\h.txt' #FILE => f; 'x' ->> f"), "0");
  EXPECT_EQ(host.Run("('tarq\\user\\h.txt' #FILE) :clear"), "0");
  EXPECT_EQ(host.Run("'tarq\\user\\h.txt' #DICT => d; 'v' =>['k'] d").rfind("error", 0), 0u);
  ExpectOutsideUntouched();
  // Deleting the inside name is fine: the outside file keeps its content.
  EXPECT_EQ(host.Run("('tarq\\user\\h.txt' #FILE) :destroy"), "1");
  ExpectOutsideUntouched();
}

// Binding a dictionary to a pipe outside the fence returns at once with an
// error instead of waiting for a writer that never comes.
TEST_F(FenceAttack, PipeAsDictionaryDoesNotBlock) {
  ASSERT_EQ(mkfifo((out + "/pipe").c_str(), 0600), 0);
  before = Snapshot(out);
  TestHost host;
  alarm(20);  // a blocking open would end the test here
  EXPECT_EQ(host.Run("'out\\pipe' #DICT => d; d").rfind("error", 0), 0u);
  EXPECT_NE(host.Run("'tarq\\user\\p.tqd' #DICT => d; 'v' =>['k'] d; d :count").rfind("error", 0), 0u);
  alarm(0);
}
