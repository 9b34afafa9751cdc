// Tests for what keeps a dictionary file sound beyond one process: the
// rollback journal (a child killed at random points of its changes, torn,
// foreign and misplaced journals, a failed write), the lock between
// processes, and the set counter read from the file.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <ctime>
#include <cstring>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "KArg.h"
#include "KNum.h"
#include "KPlatform.h"
#include "KRB.h"
#include "KString.h"
#include "Kerror.h"

namespace {

struct TempDir {
  std::string root, dir;
  TempDir() {
    char tmpl[] = "/tmp/tarq_krbj_XXXXXX";
    root = mkdtemp(tmpl);
    dir = root + "/tarq/user";
    KPlat::MakeDir(root + "/tarq");
    KPlat::MakeDir(dir);
  }
  ~TempDir() { [[maybe_unused]] int rc = std::system(("rm -rf " + root).c_str()); }
  std::string File(const char* name) const { return dir + "/" + name; }
};

std::string ReadAll(const std::string& path) {
  std::string s;
  KPlat::ReadFile(path, s);
  return s;
}

std::string JournalOf(const std::string& path) { return path + KRBJournal::kSuffix; }

// Values of a length that depends on v, so replacing one often needs a
// larger data slot.
std::string ValueText(int v) { return std::string(static_cast<size_t>(v % 97), static_cast<char>('a' + v % 26)); }

void Store(KRB& t, int k, int v) {
  KA key, val;
  key.Owns(KMakeInt(k));
  val.Owns(KMakeString(ValueText(v)));
  t.Store(key.value, val.value);
}

int Remove(KRB& t, int k) {
  KA key;
  key.Owns(KMakeInt(k));
  return t.Remove(key.value);
}

// The entries as key -> value text.
std::map<int, std::string> Contents(const KRB& t) {
  std::map<int, std::string> out;
  for (uint32_t n = t.First(); n; n = t.Next(n)) {
    KA k, v;
    k.Owns(t.Key(n));
    v.Owns(t.Val(n));
    out[static_cast<KNum*>(k.value)->AsInt()] = v.As<KString>()->Value();
  }
  return out;
}

std::map<int, std::string> Filled(const std::string& path, int entries) {
  std::map<int, std::string> model;
  auto t = KRB::Open(path, true, "refused", true, true);
  for (int k = 0; k < entries; ++k) {
    Store(*t, k * 3, k);
    model[k * 3] = ValueText(k);
  }
  return model;
}

void Identity(const std::string& path, uint64_t& dev, uint64_t& ino) {
  KPlat::Fd fd = KPlat::FdOpen(path, false, false);
  ASSERT_TRUE(KPlat::FdIdentity(fd, dev, ino));
}

// What a killed child reports: an operation begun, then done.
struct Report {
  char what;  // 'b' begun, 'd' done
  char op;    // 's' store, 'r' remove
  int key, val;
};

void Apply(std::map<int, std::string>& model, const Report& r) {
  if (r.op == 's')
    model[r.key] = ValueText(r.val);
  else
    model.erase(r.key);
}

// Stores, replaces and removes until killed, reporting each through `out`.
[[noreturn]] void ChildWork(const std::string& path, int out, unsigned seed) {
  try {
    auto t = KRB::Open(path, true, "refused", true, true);
    std::mt19937 rng(seed);
    for (;;) {
      Report r{'b', rng() % 4 ? 's' : 'r', static_cast<int>(rng() % 9000), static_cast<int>(rng() % 100000)};
      if (write(out, &r, sizeof r) != sizeof r) _exit(3);
      if (r.op == 's')
        Store(*t, r.key, r.val);
      else
        Remove(*t, r.key);
      r.what = 'd';
      if (write(out, &r, sizeof r) != sizeof r) _exit(3);
    }
  } catch (...) {
    _exit(2);
  }
}

}  // namespace

// ------------------------------------------------------------ killed processes

// A child changing a file of several hundred entries is killed at a random
// point, 50 times: the file always opens sound and holds every change the
// child saw return (the one under way may or may not have happened).
TEST(KRBJournal, KilledChildLeavesEveryReturnedChange) {
  TempDir tmp;
  std::string path = tmp.File("crash.tqd");
  std::map<int, std::string> model = Filled(path, 600);
  std::mt19937 rng(2026);
  for (int round = 0; round < 50; ++round) {
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      close(fds[0]);
      ChildWork(path, fds[1], 7 + static_cast<unsigned>(round));
    }
    close(fds[1]);
    int wanted = static_cast<int>(rng() % 150), done = 0;
    std::vector<Report> reports;
    Report r;
    while (done < wanted && read(fds[0], &r, sizeof r) == sizeof r) {
      reports.push_back(r);
      done += r.what == 'd';
    }
    kill(child, SIGKILL);
    while (read(fds[0], &r, sizeof r) == sizeof r) reports.push_back(r);
    close(fds[0]);
    int status = 0;
    waitpid(child, &status, 0);
    ASSERT_TRUE(WIFSIGNALED(status)) << "the child ended by itself: " << status;
    const Report* pending = nullptr;
    for (const Report& x : reports) {
      if (x.what == 'd') {
        Apply(model, x);
        pending = nullptr;
      } else {
        pending = &x;
      }
    }
    std::shared_ptr<KRB> t;
    try {
      t = KRB::Open(path, true, "refused", true, true);
    } catch (KError& e) {
      FAIL() << "round " << round << ": " << e.message;
    }
    ASSERT_EQ(t->Check(), "") << "round " << round;
    std::map<int, std::string> found = Contents(*t);
    if (pending && found != model) Apply(model, *pending);
    ASSERT_EQ(found, model) << "round " << round << " after " << done << " changes";
  }
  EXPECT_FALSE(KPlat::FileExists(JournalOf(path)));
}

// A batch is one unit: the file does not change until it is done, and a
// child killed during a batch leaves all of it or none.
TEST(KRBJournal, BatchIsOneUnit) {
  TempDir tmp;
  std::string path = tmp.File("batch.tqd");
  std::map<int, std::string> model = Filled(path, 200);
  {
    auto t = KRB::Open(path, true, "refused", true, true);
    const std::string before = ReadAll(path);
    KRB::Batch outer(*t);
    {
      KRB::Batch inner(*t);
      for (int k = 0; k < 50; ++k) Store(*t, 10000 + k, k);
      Remove(*t, 0);
      inner.Done();
    }
    EXPECT_EQ(ReadAll(path), before);
    outer.Done();
    EXPECT_NE(ReadAll(path), before);
    EXPECT_EQ(t->Entries(), 249);
  }
  model.erase(0);
  for (int k = 0; k < 50; ++k) model[10000 + k] = ValueText(k);
  std::map<int, std::string> all = model;
  for (int k = 0; k < 1000; ++k) all[20000 + k] = ValueText(k);
  std::mt19937 rng(5);
  int whole = 0;
  // Rounds 0 and 1 are not killed before the batch is done: they time it
  // (round 1 over the free slots round 0 left), and later rounds are killed
  // at random within 1.5 times that.
  long batchMicros = 0;
  for (int round = 0; round < 8; ++round) {
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      close(fds[0]);
      try {
        auto t = KRB::Open(path, true, "refused", true, true);
        char c = 'b';
        if (write(fds[1], &c, 1) != 1) _exit(3);
        KRB::Batch b(*t);
        for (int k = 0; k < 1000; ++k) Store(*t, 20000 + k, k);
        b.Done();
        c = 'd';
        if (write(fds[1], &c, 1) != 1) _exit(3);
        pause();
      } catch (...) {
      }
      _exit(2);
    }
    close(fds[1]);
    char c;
    ASSERT_EQ(read(fds[0], &c, 1), 1);
    bool done = false;
    if (round < 2) {
      timespec a, b;
      clock_gettime(CLOCK_MONOTONIC, &a);
      done = read(fds[0], &c, 1) == 1;
      clock_gettime(CLOCK_MONOTONIC, &b);
      batchMicros = (b.tv_sec - a.tv_sec) * 1000000 + (b.tv_nsec - a.tv_nsec) / 1000;
    } else {
      usleep(static_cast<useconds_t>(rng() % static_cast<unsigned long>(batchMicros * 3 / 2 + 1)));
    }
    kill(child, SIGKILL);
    done = done || read(fds[0], &c, 1) == 1;
    close(fds[0]);
    waitpid(child, nullptr, 0);
    auto t = KRB::Open(path, true, "refused", true, true);
    ASSERT_EQ(t->Check(), "");
    std::map<int, std::string> found = Contents(*t);
    if (done) {
      ASSERT_EQ(found, all) << "round " << round;
    }
    if (found == all) {
      ++whole;
      for (int k = 0; k < 1000; ++k) Remove(*t, 20000 + k);
    } else {
      ASSERT_EQ(found, model) << "round " << round;
    }
  }
  EXPECT_GE(whole, 2);  // rounds 0 and 1
}

// A write that fails half-way (the file size limit) is undone at once:
// the change raises the system's error, the tree refuses further changes,
// and the file holds every change that returned.
TEST(KRBJournal, FailedWriteIsUndone) {
  TempDir tmp;
  std::string path = tmp.File("limit.tqd");
  std::map<int, std::string> model = Filled(path, 50);
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    close(fds[0]);
    signal(SIGXFSZ, SIG_IGN);
    int code = 0;
    try {
      auto t = KRB::Open(path, true, "refused", true, true);
      rlimit lim{static_cast<rlim_t>(ReadAll(path).size() + 700), RLIM_INFINITY};
      setrlimit(RLIMIT_FSIZE, &lim);
      int k = 100000;
      try {
        for (;; ++k) {
          Store(*t, k, 96);  // 96 bytes of text per entry
          if (write(fds[1], &k, sizeof k) != sizeof k) _exit(3);
        }
      } catch (KError& e) {
        code = e.message.find("Err(27)") != std::string::npos ? 10 : 4;  // EFBIG
      }
      try {
        Store(*t, 1, 1);
        code = 5;
      } catch (KError& e) {
        if (e.message.find("bind it again") == std::string::npos) code = 6;
      }
    } catch (...) {
      code = 7;
    }
    _exit(code);
  }
  close(fds[1]);
  int k;
  while (read(fds[0], &k, sizeof k) == sizeof k) model[k] = ValueText(96);
  close(fds[0]);
  int status = 0;
  waitpid(child, &status, 0);
  ASSERT_TRUE(WIFEXITED(status));
  ASSERT_EQ(WEXITSTATUS(status), 10);
  auto t = KRB::Open(path, true, "refused", true, true);
  EXPECT_EQ(t->Check(), "");
  EXPECT_EQ(Contents(*t), model);
}

// ------------------------------------------------------------ journals found at binding

TEST(KRBJournal, EncodingIsWholeOrRefused) {
  KRBJournal::Image j;
  j.device = 0x0102030405060708ull;
  j.inode = 99;
  j.oldSize = 4096;
  j.records = {{16, "old bytes"}, {448, std::string(44, '\0')}};
  std::string bytes = KRBJournal::Encode(j);
  KRBJournal::Image back;
  ASSERT_TRUE(KRBJournal::Decode(bytes, back));
  EXPECT_EQ(back.device, j.device);
  EXPECT_EQ(back.oldSize, 4096u);
  EXPECT_EQ(back.records, j.records);
  // Trailing bytes of an earlier, longer journal do not matter.
  EXPECT_TRUE(KRBJournal::Decode(bytes + "stale", back));
  for (size_t n = 0; n < bytes.size(); ++n) EXPECT_FALSE(KRBJournal::Decode(bytes.substr(0, n), back)) << n;
  for (size_t i = 0; i < bytes.size(); ++i) {
    std::string b = bytes;
    b[i] = static_cast<char>(b[i] ^ 0x20);
    EXPECT_FALSE(KRBJournal::Decode(b, back)) << i;
  }
  // A journal that does not fit the file is not applied.
  std::string file(100, 'x');
  j.oldSize = 200;
  EXPECT_FALSE(KRBJournal::Apply(j, file));
  j.oldSize = 50;
  j.records = {{40, std::string(11, 'o')}};
  EXPECT_FALSE(KRBJournal::Apply(j, file));
  j.records = {{40, std::string(10, 'o')}};
  ASSERT_TRUE(KRBJournal::Apply(j, file));
  EXPECT_EQ(file, std::string(40, 'x') + std::string(10, 'o'));
}

// A file caught half-way through a change (its bytes mixed from before and
// after) with the whole journal of that change.
struct CutShort {
  TempDir tmp;
  std::string path, before, journal;
  std::map<int, std::string> model;
  CutShort() {
    path = tmp.File("cut.tqd");
    model = Filled(path, 300);
    before = ReadAll(path);
    {
      auto t = KRB::Open(path, true, "refused", true, true);
      for (int k = 0; k < 300; k += 2) Remove(*t, k * 3);
      for (int k = 0; k < 40; ++k) Store(*t, 5000 + k, 90);
    }
    std::string after = ReadAll(path);
    std::string mixed = after.substr(0, after.size() / 2) + before.substr(after.size() / 2);
    KPlat::WriteFile(path, mixed);
    uint64_t dev = 0, ino = 0;
    Identity(path, dev, ino);
    KRBJournal::Image j;
    j.device = dev;
    j.inode = ino;
    j.oldSize = before.size();
    j.records = {{0, before}};
    journal = KRBJournal::Encode(j);
    KPlat::WriteFile(JournalOf(path), journal);
  }
};

TEST(KRBJournal, WholeJournalRollsTheFileBack) {
  CutShort c;
  EXPECT_THROW(KRB::FromBytes(ReadAll(c.path), true, true), KError);  // the mixed file is damaged
  {
    // Read-only: the rolled-back state, nothing written.
    std::string mixed = ReadAll(c.path);
    auto t = KRB::Open(c.path, false, "refused", true, true);
    EXPECT_EQ(Contents(*t), c.model);
    EXPECT_EQ(ReadAll(c.path), mixed);
    EXPECT_EQ(ReadAll(JournalOf(c.path)), c.journal);
  }
  {
    auto t = KRB::Open(c.path, true, "refused", true, true);
    EXPECT_EQ(Contents(*t), c.model);
    EXPECT_EQ(ReadAll(c.path), c.before);
    EXPECT_FALSE(KPlat::FileExists(JournalOf(c.path)));
    // Between changes the journal is kept, invalid.
    Store(*t, 1, 1);
    KRBJournal::Image spent;
    EXPECT_TRUE(KPlat::FileExists(JournalOf(c.path)));
    EXPECT_FALSE(KRBJournal::Decode(ReadAll(JournalOf(c.path)), spent));
  }
  EXPECT_FALSE(KPlat::FileExists(JournalOf(c.path)));
  auto t = KRB::Open(c.path, true, "refused", true, true);
  EXPECT_EQ(t->Entries(), 301);
}

// Journals that were never completed, belong to another file, or do not
// fit: the file was not touched by them, so it opens as it is and the
// journal is discarded.
TEST(KRBJournal, IncompleteOrForeignJournalsAreIgnored) {
  CutShort c;
  KPlat::WriteFile(c.path, c.before);
  std::vector<std::string> journals;
  for (size_t n : {size_t{1}, size_t{20}, size_t{48}, size_t{100}, c.journal.size() - 1})
    journals.push_back(c.journal.substr(0, n));  // half-written
  KRBJournal::Image j;
  ASSERT_TRUE(KRBJournal::Decode(c.journal, j));
  Identity(c.path, j.device, j.inode);  // the file was replaced above
  journals.push_back(KRBJournal::Encode(j).substr(0, c.journal.size() / 2));
  j.inode ^= 1;  // another file's
  journals.push_back(KRBJournal::Encode(j));
  j.inode ^= 1;
  j.oldSize = c.before.size() + 16;  // longer than the file
  journals.push_back(KRBJournal::Encode(j));
  j.oldSize = c.before.size();
  j.records = {{0, std::string(100, 'z')}};  // would damage the file...
  std::string damaging = KRBJournal::Encode(j);
  for (const std::string& journal : journals) {
    KPlat::WriteFile(JournalOf(c.path), journal);
    {
      auto t = KRB::Open(c.path, true, "refused", true, true);
      EXPECT_EQ(Contents(*t), c.model);
    }
    EXPECT_EQ(ReadAll(c.path), c.before);
    EXPECT_FALSE(KPlat::FileExists(JournalOf(c.path)));
  }
  // ...so it is refused, and neither file is written.
  KPlat::WriteFile(JournalOf(c.path), damaging);
  EXPECT_THROW(KRB::Open(c.path, true, "refused", true, true), KError);
  EXPECT_EQ(ReadAll(c.path), c.before);
  EXPECT_EQ(ReadAll(JournalOf(c.path)), damaging);
}

TEST(KRBJournal, JournalWithoutItsFile) {
  CutShort c;
  KPlat::RemoveFile(c.path);
  EXPECT_THROW(KRB::Open(c.path, false, "refused", true, true), KError);
  EXPECT_FALSE(KPlat::FileExists(c.path));
  {
    auto t = KRB::Open(c.path, true, "refused", true, true);
    EXPECT_EQ(t->Entries(), 0);
    Store(*t, 1, 1);
  }
  auto t = KRB::Open(c.path, true, "refused", true, true);
  EXPECT_EQ(Contents(*t).size(), 1u);
}

// The journal's name is opened without following a link: a link planted
// there refuses the binding and its target is never written.
TEST(KRBJournal, LinkedJournalIsRefused) {
  TempDir tmp;
  std::string path = tmp.File("d.tqd"), outside = tmp.root + "/outside";
  KPlat::WriteFile(outside, "precious");
  ASSERT_EQ(symlink(outside.c_str(), JournalOf(path).c_str()), 0);
  EXPECT_THROW(KRB::Open(path, true, "refused", true, true), KError);
  EXPECT_EQ(ReadAll(outside), "precious");
}

TEST(KRBJournal, DurableChangesKeepTheFileSound) {
  TempDir tmp;
  std::string path = tmp.File("durable.tqd");
  KRB::SetDurable(true);
  std::map<int, std::string> model;
  {
    auto t = KRB::Open(path, true, "refused", true, true);
    for (int k = 0; k < 20; ++k) {
      Store(*t, k, k * 7);
      model[k] = ValueText(k * 7);
    }
    Remove(*t, 3);
    model.erase(3);
  }
  KRB::SetDurable(false);
  auto t = KRB::Open(path, true, "refused", true, true);
  EXPECT_EQ(Contents(*t), model);
}

// ------------------------------------------------------------ two processes

// A file bound in another process is refused with a clear error: writers
// exclude everyone, readers exclude writers.
TEST(KRBLock, SecondProcessIsRefused) {
  TempDir tmp;
  std::string path = tmp.File("locked.tqd");
  Filled(path, 10);
  for (bool childWrites : {true, false}) {
    int ready[2], release[2];
    ASSERT_EQ(pipe(ready), 0);
    ASSERT_EQ(pipe(release), 0);
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      close(ready[0]);
      close(release[1]);
      try {
        auto t = KRB::Open(path, childWrites, "refused", true, true);
        char c = 'b';
        if (write(ready[1], &c, 1) != 1) _exit(3);
        [[maybe_unused]] ssize_t got = read(release[0], &c, 1);
      } catch (...) {
        _exit(2);
      }
      _exit(0);
    }
    close(ready[1]);
    close(release[0]);
    char c;
    ASSERT_EQ(read(ready[0], &c, 1), 1);
    try {
      KRB::Open(path, true, "refused", true, true);
      ADD_FAILURE() << "bound for writing beside another process";
    } catch (KError& e) {
      EXPECT_EQ(e.code, KT::eSystem);
      EXPECT_NE(e.message.find("Dictionary file in use by another process"), std::string::npos) << e.message;
    }
    if (childWrites) {
      EXPECT_THROW(KRB::Open(path, false, "refused", true, true), KError);
    } else {
      auto reader = KRB::Open(path, false, "refused", true, true);
      EXPECT_EQ(reader->Entries(), 10);
    }
    close(release[1]);
    int status = 0;
    waitpid(child, &status, 0);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    close(ready[0]);
    auto t = KRB::Open(path, true, "refused", true, true);  // free again
    EXPECT_EQ(t->Entries(), 10);
  }
}

// ------------------------------------------------------------ set counter

TEST(KRBSet, CounterIsCheckedAndNeverWraps) {
  TempDir tmp;
  std::string path = tmp.File("set.tqd");
  {
    auto t = KRB::Open(path, true, "refused", true, true);
    for (const char* s : {"a", "b", "c"}) {
      KA key;
      key.Owns(KMakeString(s));
      t->SetAdd(key.value);
    }
  }
  const std::string good = ReadAll(path);
  auto withCounter = [&](uint32_t counter) {
    std::string b = good;
    for (int i = 0; i < 4; ++i) b[24 + i] = static_cast<char>((counter >> (8 * i)) & 0xFF);
    KPlat::WriteFile(path, b);
    return b;
  };
  for (uint32_t bad : {0x7FFFFFFFu, 0x80000000u, 0xFFFFFFFFu, 2u}) {
    std::string b = withCounter(bad);
    try {
      KRB::Open(path, true, "refused", true, true);
      ADD_FAILURE() << "counter " << bad << " accepted";
    } catch (KError& e) {
      EXPECT_NE(e.message.find("Damaged dictionary file: set counter"), std::string::npos) << e.message;
    }
    EXPECT_EQ(ReadAll(path), b);
  }
  withCounter(2147483645u);
  auto t = KRB::Open(path, true, "refused", true, true);
  KA d, e;
  d.Owns(KMakeString("d"));
  e.Owns(KMakeString("e"));
  EXPECT_TRUE(t->SetAdd(d.value));
  EXPECT_EQ(t->Counter(), 2147483646);
  const std::string full = ReadAll(path);
  try {
    t->SetAdd(e.value);
    ADD_FAILURE() << "a number past the last";
  } catch (KError& err) {
    EXPECT_NE(err.message.find("Set numbers exhausted"), std::string::npos);
  }
  EXPECT_FALSE(t->SetAdd(d.value));  // present: no number needed
  EXPECT_EQ(ReadAll(path), full);
  EXPECT_EQ(t->Check(), "");
  std::vector<uint32_t> found;
  t->Find(KRB::ItemOf(d.value), found);
  ASSERT_EQ(found.size(), 1u);
  KA number;
  number.Owns(t->Val(found[0]));
  EXPECT_EQ(static_cast<KNum*>(number.value)->AsInt(), 2147483646);
}
