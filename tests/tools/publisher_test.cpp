// The publisher run as the maker runs it, its output read back through the
// program's own CRC info parser and checked against the source bytes with
// zlib's CRC-32 (not the program's).

#include <fcntl.h>
#include <ftw.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <zlib.h>
#include <csignal>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "download/releasemanifest.h"

namespace {

constexpr size_t kPart = 10000000;

// A folder of the test's own, removed with everything in it.
class TempDir {
 public:
  TempDir() {
    char name[] = "/tmp/publisher_test.XXXXXX";
    path_ = ::mkdtemp(name);
  }
  ~TempDir() {
    ::nftw(
        path_.c_str(), [](const char* p, const struct stat*, int, FTW*) { return ::remove(p); }, 16,
        FTW_DEPTH | FTW_PHYS);
  }
  const std::string& Path() const { return path_; }

 private:
  std::string path_;
};

std::string Pattern(size_t size, uint32_t seed) {
  std::string bytes(size, '\0');
  uint32_t state = seed * 2654435761u + 1;
  for (char& c : bytes) {
    state = state * 1664525u + 1013904223u;
    c = static_cast<char>(state >> 24);
  }
  return bytes;
}

void WriteFile(const std::string& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary)
      .write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

bool Exists(const std::string& path) {
  struct stat info;
  return ::stat(path.c_str(), &info) == 0;
}

// Every file below `folder`, relative, sorted; empty when there is none.
std::vector<std::string> Listing(const std::string& folder) {
  std::vector<std::string> files;
  const std::string command = "cd '" + folder + "' 2>/dev/null && find . -type f | sort";
  FILE* pipe = ::popen(command.c_str(), "r");
  char line[4096];
  while (pipe && std::fgets(line, sizeof line, pipe)) {
    files.push_back(std::string(line + 2, strlen(line) - 3));
  }
  if (pipe) ::pclose(pipe);
  return files;
}

// The publisher's exit status; its messages go to `log`.
int RunPublisher(const std::vector<std::string>& args, const std::string& log) {
  std::string command = PUBLISHER_PATH;
  for (const std::string& arg : args) command += " '" + arg + "'";
  const int status = std::system((command + " >'" + log + "' 2>&1").c_str());
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

int32_t Crc(const std::string& bytes, size_t from, size_t size) {
  return static_cast<int32_t>(
      ::crc32(0, reinterpret_cast<const Bytef*>(bytes.data()) + from, static_cast<uInt>(size)));
}

std::string Narrow(const std::wstring& text) { return std::string(text.begin(), text.end()); }

}  // namespace

// Whole parts, a short last part, a one-byte setup program:
// the CRC info the program parses names each with its size and the CRC of
// each 10,000,000-byte part, and each part object holds exactly those bytes.
TEST(Publisher, ReleaseReadsBackThroughTheProgramsParser) {
  TempDir dir;
  const std::string src = dir.Path() + "/src";
  const std::string out = dir.Path() + "/out";
  ::mkdir(src.c_str(), 0755);
  const std::vector<std::pair<std::string, std::string>> files = {
      {"Setup.exe", Pattern(1, 1)},
      {"short-last.bin", Pattern(2 * kPart + 123457, 2)},
      {"whole-parts.bin", Pattern(2 * kPart, 3)}};
  for (const auto& file : files) WriteFile(src + "/" + file.first, file.second);

  ASSERT_EQ(0, RunPublisher({"publish", "--release", "Veltra_R7", "--subdir", "Veltra_R7", "--out",
                             out, "--from", src},
                            dir.Path() + "/log"))
      << ReadFile(dir.Path() + "/log");

  // The folder as the program requests it: lower case.
  const std::string text = ReadFile(out + "/veltra_r7/Veltra_R7.txt");
  EXPECT_NE(std::string::npos, text.find("\r\n;Setup.exe\r\n1\r\n")) << "CR LF lines, ';' records";
  const ReleaseManifest records = ParseCrcInfo(text.data(), text.size());
  ASSERT_EQ(files.size(), records.size());
  std::vector<std::string> expected_objects = {"veltra_r7/Veltra_R7.txt"};
  for (size_t i = 0; i < files.size(); ++i) {
    const std::string& name = files[i].first;
    const std::string& bytes = files[i].second;
    const ManifestFile& record = records[i];
    SCOPED_TRACE(name);
    EXPECT_EQ(name, Narrow(record.host_name));
    EXPECT_EQ(bytes.size(), record.size);
    const size_t parts = (bytes.size() + kPart - 1) / kPart;
    ASSERT_EQ(parts, record.part_crcs.size());
    for (size_t k = 0; k < parts; ++k) {
      const size_t size = std::min(kPart, bytes.size() - k * kPart);
      EXPECT_EQ(Crc(bytes, k * kPart, size), record.part_crcs.at(k)) << "part " << k;
      const std::string object = "veltra_r7/" + std::to_string(k) + "_" + name;
      EXPECT_TRUE(ReadFile(out + "/" + object) == bytes.substr(k * kPart, size)) << object;
      expected_objects.push_back(object);
    }
  }
  std::sort(expected_objects.begin(), expected_objects.end());
  EXPECT_EQ(expected_objects, Listing(out)) << "nothing else, no temporary file left";

  // Replaced with a file that shrank: the parts it no longer has go.
  WriteFile(src + "/short-last.bin", Pattern(kPart / 2, 4));
  ASSERT_EQ(0, RunPublisher({"publish", "--release", "Veltra_R7", "--subdir", "Veltra_R7", "--out",
                             out, "--from", src, "--replace"},
                            dir.Path() + "/log"))
      << ReadFile(dir.Path() + "/log");
  EXPECT_TRUE(Exists(out + "/veltra_r7/0_short-last.bin"));
  EXPECT_FALSE(Exists(out + "/veltra_r7/1_short-last.bin"));
  EXPECT_FALSE(Exists(out + "/veltra_r7/2_short-last.bin"));
}

// A release name holding "2_5" is requested at the host's root: CRC info
// "/<name>.txt", parts "//<k>_<file>".
TEST(Publisher, OldLayoutLiesAtTheRoot) {
  TempDir dir;
  const std::string setup = dir.Path() + "/Setup.exe";
  WriteFile(setup, Pattern(kPart + 1, 5));
  const std::string out = dir.Path() + "/out";
  ASSERT_EQ(0, RunPublisher({"publish", "--release", "Veltra_2_5_R1", "--subdir", "ignored",
                             "--out", out, setup},
                            dir.Path() + "/log"))
      << ReadFile(dir.Path() + "/log");
  EXPECT_EQ((std::vector<std::string>{"0_Setup.exe", "1_Setup.exe", "Veltra_2_5_R1.txt"}),
            Listing(out));
  const std::string text = ReadFile(out + "/Veltra_2_5_R1.txt");
  const ReleaseManifest records = ParseCrcInfo(text.data(), text.size());
  ASSERT_EQ(1u, records.size());
  EXPECT_EQ(2u, records[0].part_crcs.size());
}

// Each refusal exits non-zero and leaves the output folder as it was.
TEST(Publisher, RefusalsWriteNothing) {
  TempDir dir;
  const std::string out = dir.Path() + "/out";
  const std::string log = dir.Path() + "/log";
  const std::string good = dir.Path() + "/Setup.exe";
  WriteFile(good, "MZ");
  auto refused = [&](const std::vector<std::string>& sources, const std::string& why,
                     std::vector<std::string> extra = {}) {
    std::vector<std::string> args = {"publish",   "--release", "Veltra_R1", "--subdir",
                                     "veltra_r1", "--out",     out};
    args.insert(args.end(), extra.begin(), extra.end());
    args.insert(args.end(), sources.begin(), sources.end());
    const std::vector<std::string> before = Listing(out);
    EXPECT_NE(0, RunPublisher(args, log)) << why;
    EXPECT_EQ(before, Listing(out)) << why << ": " << ReadFile(log);
  };

  for (const std::string& name :
       std::vector<std::string>{"CON.bin1234", "nul.txt.exe", "COM1.exe", "trailing.bin.",
                                "trailing.bin ", "stream:x.exe", "bad<name>.exe", "semi;colon.exe",
                                "caf\xc3\xa9.exe", "x.exe.", "a.bin", "line\r\nbreak.exe"}) {
    const std::string path = dir.Path() + "/" + name;
    WriteFile(path, "x");
    refused({good, path}, "name \"" + name + "\"");
  }
  refused({good, good}, "the same name twice");

  // 4 GiB, sparse: no disk space taken.
  const std::string huge = dir.Path() + "/huge.bin1";
  ASSERT_EQ(0, ::truncate((WriteFile(huge, ""), huge).c_str(), 0x100000000ll));
  refused({good, huge}, "a file of 4 GiB");

  const std::string empty_folder = dir.Path() + "/empty";
  ::mkdir(empty_folder.c_str(), 0755);
  refused({}, "an empty release", {"--from", empty_folder});

  const std::string empty = dir.Path() + "/empty.bin1";
  WriteFile(empty, "");
  refused({good, empty}, "an empty file, which the program never fetches");

  const std::string data = dir.Path() + "/data.bin1";
  WriteFile(data, "data");
  const std::string upper = dir.Path() + "/SETUP.EXE";
  WriteFile(upper, "MZ");
  refused({data}, "no setup program");
  refused({data, upper}, "\".EXE\", which the program does not start");
  EXPECT_EQ(0, RunPublisher({"publish", "--release", "Data_R1", "--subdir", "data", "--no-setup",
                             "--out", dir.Path() + "/data-out", data},
                            log))
      << ReadFile(log);

  ::mkdir(out.c_str(), 0755);
  ::mkdir((out + "/veltra_r2").c_str(), 0755);
  WriteFile(out + "/veltra_r2/Veltra_R2.txt", "other;x.exe\r\n1\r\n0\r\n");
  refused({good}, "an output folder holding another release");

  // A CRC info that is a link is as live as a file: a host follows it.
  const std::string linked = dir.Path() + "/linked";
  ASSERT_EQ(0, RunPublisher({"publish", "--release", "Veltra_R1", "--subdir", "veltra_r1", "--out",
                             linked, good},
                            log))
      << ReadFile(log);
  const std::string crc_info = linked + "/veltra_r1/Veltra_R1.txt";
  ASSERT_EQ(0, ::rename(crc_info.c_str(), (dir.Path() + "/kept.txt").c_str()));
  ASSERT_EQ(0, ::symlink((dir.Path() + "/kept.txt").c_str(), crc_info.c_str()));
  EXPECT_NE(0, RunPublisher({"publish", "--release", "Veltra_R1", "--subdir", "veltra_r1", "--out",
                             linked, data, good},
                            log));
  EXPECT_NE(std::string::npos, ReadFile(log).find("holds release Veltra_R1 already"))
      << ReadFile(log);
  EXPECT_EQ((std::vector<std::string>{"veltra_r1/0_Setup.exe"}), Listing(linked));

  // The whole file system as the output folder: refused by what lies at its
  // top, before a walk through everything below.
  EXPECT_NE(0, RunPublisher({"publish", "--release", "Veltra_R1", "--subdir", "veltra_r1", "--out",
                             "/", good},
                            log));
  const std::string refusal = ReadFile(log);
  const size_t holds = refusal.find("publish: / holds ");
  ASSERT_NE(std::string::npos, holds) << refusal;
  const std::string named = refusal.substr(holds + 17, refusal.find(',', holds) - holds - 17);
  EXPECT_EQ(std::string::npos, named.find('/')) << "named a path below the top: " << refusal;
}

// A published folder that lost a part, or holds a short or corrupt one,
// fails verification, each with its own report.
TEST(Publisher, VerifyCatchesMissingShortAndCorruptParts) {
  TempDir dir;
  const std::string out = dir.Path() + "/out";
  const std::string log = dir.Path() + "/log";
  const std::string setup = dir.Path() + "/Setup.exe";
  WriteFile(setup, Pattern(3 * kPart / 2, 6));
  ASSERT_EQ(
      0, RunPublisher({"publish", "--release", "Veltra_R1", "--subdir", "r1", "--out", out, setup},
                      log));
  const std::vector<std::string> verify = {"verify", "--release", "Veltra_R1", "--subdir",
                                           "r1",     "--dir",     out};
  ASSERT_EQ(0, RunPublisher(verify, log)) << ReadFile(log);

  const std::string part = out + "/r1/1_Setup.exe";
  const std::string good = ReadFile(part);
  ::unlink(part.c_str());
  EXPECT_EQ(1, RunPublisher(verify, log)) << "missing";
  EXPECT_NE(std::string::npos, ReadFile(log).find("1_Setup.exe")) << ReadFile(log);

  WriteFile(part, good.substr(0, good.size() - 1));
  EXPECT_EQ(1, RunPublisher(verify, log)) << "short";
  EXPECT_NE(std::string::npos, ReadFile(log).find("bytes")) << ReadFile(log);

  std::string flipped = good;
  flipped[flipped.size() / 2] ^= 0x01;
  WriteFile(part, flipped);
  EXPECT_EQ(1, RunPublisher(verify, log)) << "corrupt";
  EXPECT_NE(std::string::npos, ReadFile(log).find("CRC")) << ReadFile(log);

  WriteFile(part, good);
  EXPECT_EQ(0, RunPublisher(verify, log)) << ReadFile(log);
}

// A publish killed midway, replacing a release, leaves that release as it
// was, whole and in place; the next publish completes and cleans up after
// it.
TEST(Publisher, KilledReplaceLeavesTheOldReleaseInPlace) {
  TempDir dir;
  const std::string src = dir.Path() + "/src";
  const std::string out = dir.Path() + "/out";
  const std::string log = dir.Path() + "/log";
  ::mkdir(src.c_str(), 0755);
  WriteFile(src + "/Setup.exe", "MZ");
  const std::string data = src + "/data-big.bin";
  WriteFile(data, "old");
  std::vector<std::string> publish = {"publish", "--release", "Veltra_R1", "--subdir", "r1",
                                      "--out",   out,         "--from",    src};
  ASSERT_EQ(0, RunPublisher(publish, log)) << ReadFile(log);
  const std::string crc_info = out + "/r1/Veltra_R1.txt";
  ASSERT_TRUE(Exists(crc_info));

  // 400 MB, sparse: quick to make, slow enough to publish to be caught.
  ASSERT_EQ(0, ::truncate(data.c_str(), 40 * static_cast<off_t>(kPart)));
  publish.push_back("--replace");
  const pid_t child = ::fork();
  if (child == 0) {
    const int null = ::open("/dev/null", O_WRONLY);
    ::dup2(null, 2);
    std::vector<char*> argv = {const_cast<char*>(PUBLISHER_PATH)};
    for (const std::string& arg : publish) argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);
    ::execv(PUBLISHER_PATH, argv.data());
    ::_exit(127);
  }
  while (!Exists(out + "/r1.publish-tmp/2_data-big.bin")) {
    int status = 0;
    ASSERT_EQ(0, ::waitpid(child, &status, WNOHANG)) << "finished before it could be killed";
    ::usleep(1000);
  }
  ::kill(child, SIGKILL);
  ::waitpid(child, nullptr, 0);
  EXPECT_EQ((std::vector<std::string>{"0_Setup.exe", "0_data-big.bin", "Veltra_R1.txt"}),
            Listing(out + "/r1"));
  EXPECT_EQ(0,
            RunPublisher({"verify", "--release", "Veltra_R1", "--subdir", "r1", "--dir", out}, log))
      << ReadFile(log);

  ASSERT_EQ(0, RunPublisher(publish, log)) << ReadFile(log);
  EXPECT_EQ(0,
            RunPublisher({"verify", "--release", "Veltra_R1", "--subdir", "r1", "--dir", out}, log))
      << ReadFile(log);
  for (const std::string& path : Listing(out)) {
    EXPECT_EQ(std::string::npos, path.find(".publish-tmp")) << path;
  }
}
