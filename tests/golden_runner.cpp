// golden_runner: runs the script cases of golden files through tarqsh and
// compares standard output and standard error with the expectations.
//
// File format (tests/golden/<feature>.tq, UTF-8):
//   Lines before the first case header are a free comment.
//   "---- <title>" starts a case; "---- <title> | <flags>" passes tarqsh
//   flags (for example "-v -t"). The script follows, up to a line "====".
//   After "====" come the expected lines up to the next header or the end
//   of the file: lines beginning "expect error: " are expected on standard
//   error (and make the expected exit status 1), all others on standard
//   output, in order and exactly (an empty line is an expected empty line).
// Source-line numbers inside error texts are normalised:
// "Interpreter/KNum[123]" reads as "Interpreter/KNum[#]".
// Each golden file runs in a fresh, empty working directory of its own
// (removed afterwards), so scripts that make files see only their own; the
// directory's path in the output, in "/" or "\" form, reads as "{cwd}".
//
// Usage: golden_runner [--update] [--flags FLAGS] TARQSH FILE...
// --flags adds tarqsh flags to every case (the same files run again with
// "--no-direct" show that direct runs and the token loop agree).
// With --update (or TARQ_GOLDEN_UPDATE=1 in the environment) the files are
// rewritten with the actual output, for review with a diff.
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

namespace {

const char* const kErrPrefix = "expect error: ";

struct Case {
  std::string title;
  std::string flags;
  std::vector<std::string> script;
  std::vector<std::string> out;  // expected standard output lines
  std::vector<std::string> err;  // expected standard error lines
};

struct GoldenFile {
  std::vector<std::string> preamble;
  std::vector<Case> cases;
};

std::vector<std::string> SplitLines(const std::string& text) {
  std::vector<std::string> lines;
  std::string cur;
  for (char c : text) {
    if (c == '\n') {
      lines.push_back(cur);
      cur.clear();
    } else {
      cur += c;
    }
  }
  if (!cur.empty()) lines.push_back(cur);
  return lines;
}

bool StartsWith(const std::string& s, const char* p) { return s.rfind(p, 0) == 0; }

bool Parse(const std::string& path, GoldenFile& g) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  std::stringstream ss;
  ss << in.rdbuf();
  Case* cur = nullptr;
  bool inExpect = false;
  for (const std::string& line : SplitLines(ss.str())) {
    if (StartsWith(line, "----")) {
      g.cases.emplace_back();
      cur = &g.cases.back();
      std::string head = line.substr(4);
      size_t bar = head.find('|');
      if (bar != std::string::npos) {
        cur->flags = head.substr(bar + 1);
        head = head.substr(0, bar);
      }
      size_t a = head.find_first_not_of(' ');
      size_t b = head.find_last_not_of(' ');
      cur->title = a == std::string::npos ? std::string() : head.substr(a, b - a + 1);
      inExpect = false;
    } else if (!cur) {
      g.preamble.push_back(line);
    } else if (!inExpect && line == "====") {
      inExpect = true;
    } else if (!inExpect) {
      cur->script.push_back(line);
    } else if (StartsWith(line, kErrPrefix)) {
      cur->err.push_back(line.substr(std::char_traits<char>::length(kErrPrefix)));
    } else {
      cur->out.push_back(line);
    }
  }
  return true;
}

std::string ReplaceAll(std::string s, const std::string& from, const std::string& to) {
  if (from.empty()) return s;
  for (size_t at = s.find(from); at != std::string::npos; at = s.find(from, at + to.size()))
    s.replace(at, from.size(), to);
  return s;
}

std::string Normalise(const std::string& s, const std::string& workDir) {
  static const std::regex unitLine(R"((Interpreter/[A-Za-z0-9_]+)\[[0-9]+\])");
  std::string t = std::regex_replace(s, unitLine, "$1[#]");
  std::string back = workDir;
  for (char& c : back)
    if (c == '/') c = '\\';
  return ReplaceAll(ReplaceAll(t, workDir, "{cwd}"), back, "{cwd}");
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

std::string Quote(const std::string& s) {
  std::string q = "'";
  for (char c : s) {
    if (c == '\'') {
      q += "'\\''";
    } else {
      q += c;
    }
  }
  return q + "'";
}

struct Outcome {
  std::vector<std::string> out, err;
  int status = -1;
};

std::string extraFlags;  // --flags: added to every case's flags

Outcome RunCase(const std::string& tarqsh, const Case& c, const std::string& tmpDir, const std::string& workDir) {
  std::string script = tmpDir + "/case.tq", out = tmpDir + "/out", err = tmpDir + "/err";
  {
    std::ofstream f(script, std::ios::binary);
    for (size_t i = 0; i < c.script.size(); ++i) {
      if (i) f << '\n';
      f << c.script[i];
    }
  }
  std::string cmd = "cd " + Quote(workDir) + " && " + Quote(tarqsh) + " " + extraFlags + " " + c.flags + " " + Quote(script) + " >" + Quote(out) + " 2>" + Quote(err) +
                    " </dev/null";
  int rc = std::system(cmd.c_str());
  Outcome o;
  o.status = WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
  for (const std::string& l : SplitLines(ReadFile(out))) o.out.push_back(Normalise(l, workDir));
  for (const std::string& l : SplitLines(ReadFile(err))) o.err.push_back(Normalise(l, workDir));
  return o;
}

void Show(const char* what, const std::vector<std::string>& lines) {
  std::cout << "  " << what << ":\n";
  for (const std::string& l : lines) std::cout << "    |" << l << "\n";
}

void Write(const std::string& path, const GoldenFile& g) {
  std::ofstream f(path, std::ios::binary);
  for (const std::string& l : g.preamble) f << l << '\n';
  for (const Case& c : g.cases) {
    f << "---- " << c.title;
    if (!c.flags.empty()) f << " |" << c.flags;
    f << '\n';
    for (const std::string& l : c.script) f << l << '\n';
    f << "====\n";
    for (const std::string& l : c.out) f << l << '\n';
    for (const std::string& l : c.err) f << kErrPrefix << l << '\n';
  }
}

}  // namespace

int main(int argc, char** argv) {
  bool update = std::getenv("TARQ_GOLDEN_UPDATE") && std::string(std::getenv("TARQ_GOLDEN_UPDATE")) == "1";
  std::vector<std::string> args;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    if (a == "--update") {
      update = true;
    } else if (a == "--flags" && i + 1 < argc) {
      extraFlags = argv[++i];
    } else {
      args.push_back(a);
    }
  }
  if (!extraFlags.empty()) update = false;  // expectations come from plain runs only
  if (args.size() < 2) {
    std::cerr << "usage: golden_runner [--update] [--flags FLAGS] TARQSH FILE...\n";
    return 2;
  }
  char tmpl[] = "/tmp/tarq_golden_XXXXXX";
  const char* tmpDir = mkdtemp(tmpl);
  if (!tmpDir) {
    std::cerr << "golden_runner: cannot make a temporary directory\n";
    return 2;
  }
  // The working directories change, so tarqsh is called by its full path.
  char* full = realpath(args[0].c_str(), nullptr);
  if (full) {
    args[0] = full;
    std::free(full);
  }
  int failures = 0, total = 0;
  for (size_t fi = 1; fi < args.size(); ++fi) {
    GoldenFile g;
    if (!Parse(args[fi], g)) {
      std::cerr << "golden_runner: cannot read " << args[fi] << "\n";
      ++failures;
      continue;
    }
    std::string workDir = std::string(tmpDir) + "/work" + std::to_string(fi);
    if (mkdir(workDir.c_str(), 0700) != 0) {
      std::cerr << "golden_runner: cannot make " << workDir << "\n";
      ++failures;
      continue;
    }
    for (Case& c : g.cases) {
      ++total;
      Outcome o = RunCase(args[0], c, tmpDir, workDir);
      int wantStatus = c.err.empty() ? 0 : 1;
      bool ok = o.out == c.out && o.err == c.err && o.status == wantStatus;
      if (update) {
        c.out = o.out;
        c.err = o.err;
        continue;
      }
      if (!ok) {
        ++failures;
        std::cout << args[fi] << ": case \"" << c.title << "\" failed (exit status " << o.status << ", expected "
                  << wantStatus << ")\n";
        Show("script", c.script);
        Show("expected stdout", c.out);
        Show("actual stdout", o.out);
        Show("expected stderr", c.err);
        Show("actual stderr", o.err);
      }
    }
    if (update) Write(args[fi], g);
    std::string removeWork = "rm -rf " + Quote(workDir);
    if (std::system(removeWork.c_str()) != 0) std::cerr << "golden_runner: could not remove " << workDir << "\n";
  }
  std::string cleanup = std::string("rm -rf ") + Quote(tmpDir);
  if (std::system(cleanup.c_str()) != 0) std::cerr << "golden_runner: could not remove " << tmpDir << "\n";
  if (update) {
    std::cout << "updated " << total << " cases\n";
    return 0;
  }
  std::cout << (total - failures) << " of " << total << " cases passed\n";
  return failures ? 1 : 0;
}
