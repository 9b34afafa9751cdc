// Tests for the platform unit's write fence and whole-file writes: paths
// that walk out of "tarq/user" with "..", links or case tricks, and the
// removable-device test driven by a fake sysfs tree.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "KPlatform.h"

namespace fs = std::filesystem;

namespace {
// A temporary tree: <root>/tarq/user (inside the fence) and <root>/out.
class FenceTree : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/tarq_fence_XXXXXX";
    root = mkdtemp(tmpl);
    fs::create_directories(root + "/tarq/user/sub");
    fs::create_directories(root + "/out");
    user = root + "/tarq/user";
  }
  void TearDown() override { fs::remove_all(root); }
  std::string root, user;
};
}  // namespace

TEST_F(FenceTree, PlainPathsInAndOut) {
  EXPECT_TRUE(KPlat::WriteAllowedSys(user + "/new.txt"));
  EXPECT_TRUE(KPlat::WriteAllowedSys(user + "/"));
  EXPECT_TRUE(KPlat::WriteAllowedSys(user + "/missing/deeper/f"));
  EXPECT_FALSE(KPlat::WriteAllowedSys(root + "/out/f"));
  // the folder itself given without a trailing separator is a directory
  EXPECT_TRUE(KPlat::WriteAllowedSys(user));
  // a file named "user" in a folder "tarq" is not the folder
  EXPECT_FALSE(KPlat::WriteAllowedSys(root + "/out/tarq/user"));
}

TEST_F(FenceTree, DotDotCannotWalkOut) {
  EXPECT_FALSE(KPlat::WriteAllowedSys(user + "/../../out/f"));
  EXPECT_FALSE(KPlat::WriteAllowedSys(user + "/../../../../../../../etc/passwd"));
  EXPECT_TRUE(KPlat::WriteAllowedSys(user + "/sub/../f"));
  // a missing directory followed by ".." leads back to real directories
  fs::create_directory_symlink(root + "/out", user + "/evil");
  EXPECT_FALSE(KPlat::WriteAllowedSys(user + "/nothere/../evil/f"));
  // language form, relative to the current directory
  std::string lang = user + "\\..\\..\\out\\f";
  EXPECT_FALSE(KPlat::WriteAllowed(lang));
}

TEST_F(FenceTree, LinksAreJudgedByTheirTargets) {
  fs::create_directory_symlink(root + "/out", user + "/outside");
  fs::create_symlink(root + "/out/secret", user + "/dangling");
  fs::create_symlink(user + "/loop1", user + "/loop2");
  fs::create_symlink(user + "/loop2", user + "/loop1");
  fs::create_directory_symlink(user, root + "/out/in");
  EXPECT_FALSE(KPlat::WriteAllowedSys(user + "/outside/f"));
  EXPECT_FALSE(KPlat::WriteAllowedSys(user + "/dangling"));
  EXPECT_FALSE(KPlat::WriteAllowedSys(user + "/loop1"));
  EXPECT_TRUE(KPlat::WriteAllowedSys(root + "/out/in/f"));
  EXPECT_EQ(KPlat::FenceResolve(root + "/out/in/./x/../f"),
            KPlat::FenceResolve(user) + "/f");
}

TEST_F(FenceTree, CaseAndLongerNames) {
  fs::create_directories(root + "/TARQ/USER");
  fs::create_directories(root + "/xtarq/userx");
  EXPECT_TRUE(KPlat::WriteAllowed(root + "\\TARQ\\USER\\f.txt"));
  EXPECT_FALSE(KPlat::WriteAllowed(root + "\\xtarq\\userx\\f.txt"));
  EXPECT_FALSE(KPlat::WriteAllowed(root + "\\xtarq\\user\\f.txt"));
}

TEST_F(FenceTree, RemovableDeviceFromFakeSysfs) {
  struct stat st;
  ASSERT_EQ(stat(root.c_str(), &st), 0);
  std::string sys = root + "/sys";
  std::string dev = sys + "/dev/block/" + std::to_string(major(st.st_dev)) + ":" +
                    std::to_string(minor(st.st_dev));
  fs::create_directories(dev);
  std::string outFile = root + "/out/f";
  EXPECT_FALSE(KPlat::IsRemovable(outFile, sys));
  std::ofstream(dev + "/removable") << "0\n";
  EXPECT_FALSE(KPlat::WriteAllowedSys(outFile, sys));
  std::ofstream(dev + "/removable") << "1\n";
  EXPECT_TRUE(KPlat::IsRemovable(outFile, sys));
  EXPECT_TRUE(KPlat::WriteAllowedSys(outFile, sys));
  // a missing file is judged by its existing ancestor's device
  EXPECT_TRUE(KPlat::WriteAllowedSys(root + "/out/a/b/c", sys));
  // a partition: the attribute belongs to the parent disk
  fs::remove(dev + "/removable");
  fs::remove(dev);
  fs::create_directories(sys + "/devices/sdz/part");
  std::ofstream(sys + "/devices/sdz/removable") << "1\n";
  fs::create_directory_symlink(sys + "/devices/sdz/part", dev);
  EXPECT_TRUE(KPlat::IsRemovable(outFile, sys));
}

TEST_F(FenceTree, WriteFileReplacesWholeOrNothing) {
  std::string f = user + "/w.txt";
  ASSERT_TRUE(KPlat::WriteFile(f, "first version, long"));
  ASSERT_TRUE(KPlat::WriteFile(f, "short"));
  std::string back;
  ASSERT_TRUE(KPlat::ReadFile(f, back));
  EXPECT_EQ(back, "short");
  // a directory that vanished: failure, and no temporary left behind
  EXPECT_FALSE(KPlat::WriteFile(user + "/gone/x", "data"));
  int entries = 0;
  for (auto& e : fs::directory_iterator(user)) entries += e.path().filename().string().find("~tmp") != std::string::npos;
  EXPECT_EQ(entries, 0);
}

TEST(KPlatNames, SystemNamesInLanguageForm) {
  EXPECT_EQ(KPlat::LangNameOf("caf\xC3\xA9"), "caf\xE9");
  EXPECT_EQ(KPlat::LangNameOf("bad\xFF"), "bad?");
  EXPECT_EQ(KPlat::LangNameOf("\xE2\x82\xAC"), "\x80");       // euro sign
  EXPECT_EQ(KPlat::LangNameOf("\xE4\xB8\xAD"), "?");          // not in Windows-1252
  EXPECT_EQ(KPlat::SysPathOf("a\\caf\xE9"), "a/caf\xC3\xA9");
}
