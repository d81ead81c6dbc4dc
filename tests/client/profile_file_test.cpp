// SPDX-License-Identifier: GPL-3.0-or-later
#include "client/profile_file.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <random>
#include <string>

#include "spine/sjis.h"

namespace gorvane {
namespace {

namespace fs = std::filesystem;

class ProfileFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::random_device random;
    do {
      dir_ = fs::temp_directory_path() / ("gorvane_profile_" + std::to_string(random()));
    } while (!fs::create_directory(dir_));
  }
  void TearDown() override { fs::remove_all(dir_); }

  std::string PathOf(const std::string& name) const { return (dir_ / name).string(); }

  std::string Put(const std::string& bytes) const {
    const std::string path = PathOf("tvr1.ini");
    std::ofstream(path, std::ios::binary) << bytes;
    return path;
  }

  // The names in the test's folder, sorted.
  std::vector<std::string> Entries() const {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(dir_)) names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
  }

  static std::string Bytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }

  fs::path dir_;
};

const std::string kName = sjis::Text("ゴルヴァーン");
const std::string kSo = sjis::Text("ソ");  // trail byte 0x5C
const std::string kZo = sjis::Text("ゾ");  // trail byte 0x5D, i.e. ']'
const std::string kZe = sjis::Text("ゼ");  // trail byte 0x5B, i.e. '['
const std::string kA = sjis::Text("ア");   // 83 41: trail byte 'A'
const std::string kDi = sjis::Text("ヂ");  // 83 61: trail byte 'a'

TEST_F(ProfileFileTest, ReadsTheFirstMatchingSectionAndKey) {
  const ProfileFile file(
      Put("top=outside\r\n"
          "; [User]\r\n"
          "[Other]\r\nName=other\r\n"
          "  [ user ]  trailing\r\n"
          "; Name=commented\r\n  ;indented=x\r\n"
          "NAME = \t" +
          kName +
          " \t\r\n"
          "name=second\r\n"
          "Empty=\r\nBlank=   \r\n"
          "Dq=\" spaced \"\r\nSq='x'\r\nOnce=\"\"x\"\"\r\nHalf=\"x\r\nMixed=\"x'\r\nLone=\"\r\n"
          "Path=C:\\" +
          kSo + "\r\n" + kA +
          "=letterA\r\n"
          "[" +
          kZo + kZe + "]\r\nk=" + kZo +
          "\r\n"
          "[User]\r\nLater=ignored\r\n"
          "[Last]\nk=v"));
  const struct {
    std::string section, key, expected;
  } cases[] = {
      {"User", "Name", kName},
      {"USER", " name ", kName},
      {"Other", "name", "other"},
      {"User", "Empty", ""},
      {"User", "Blank", ""},
      {"User", "Dq", " spaced "},
      {"User", "Sq", "x"},
      {"User", "Once", "\"x\""},
      {"User", "Half", "\"x"},
      {"User", "Mixed", "\"x'"},
      {"User", "Lone", "\""},
      {"User", "Path", "C:\\" + kSo},
      {"User", kA, "letterA"},
      {"User", kDi, "default"},
      {"User", "commented", "default"},
      {"User", ";indented", "default"},
      {"User", "Later", "default"},
      {"User", "top", "default"},
      {"User", "missing", "default"},
      {"Missing", "Name", "default"},
      {kZo + kZe, "k", kZo},
      {"Last", "k", "v"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(file.ReadString(c.section, c.key, "default"), c.expected) << c.section << "/" << c.key;
  }
}

TEST_F(ProfileFileTest, CutsLongValuesOnWholeCharacters) {
  const std::string a2047(2047, 'a');
  const struct {
    std::string value, read;
  } cases[] = {
      {a2047, a2047},
      {a2047 + "b", a2047},
      {"\"" + a2047 + "\"", a2047},
      {a2047.substr(2) + kSo + kSo, a2047.substr(2) + kSo},
      {a2047.substr(1) + kSo, a2047.substr(1)},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(ProfileFile(Put("[s]\r\nk=" + c.value + "\r\n")).ReadString("s", "k", ""), c.read)
        << c.value.size();
  }
}

TEST_F(ProfileFileTest, WritesChangeOnlyWhatTheyMust) {
  const std::string before =
      "; settings\r\n[A]\r\n  x = 1 \r\n\r\n[User]\r\nName=old\r\n; end of user\r\n\r\n";
  const struct {
    std::string original, section, key, value, expected;
  } cases[] = {
      {before, "a", "X", "2",
       "; settings\r\n[A]\r\n  x = 2\r\n\r\n[User]\r\nName=old\r\n; end of user\r\n\r\n"},
      {before, "A", "y", kName,
       "; settings\r\n[A]\r\n  x = 1 \r\ny=" + kName + "\r\n\r\n[User]\r\nName=old\r\n; end of user\r\n\r\n"},
      {before, "User", "Pass", "p",
       "; settings\r\n[A]\r\n  x = 1 \r\n\r\n[User]\r\nName=old\r\n; end of user\r\nPass=p\r\n\r\n"},
      {before, "New", "k", "v", before + "[New]\r\nk=v\r\n"},
      {"[A]\nx=1", "A", "y", "2", "[A]\nx=1\ny=2\n"},
      {"[A]\nx=1", "B", "y", "2", "[A]\nx=1\n[B]\ny=2\n"},
      {"[A]\nx=1", "A", "x", "", "[A]\nx="},
      {"[A]\nx=1", "A", "x", "pw'", "[A]\nx=\"pw'\""},
      {"[A]\r\nx=1\r", "A", "y", "2", "[A]\r\nx=1\r\ny=2\r\n"},
      {"", "A", "x", "1", "[A]\r\nx=1\r\n"},
      {"[" + kZo + "]\r\nk=" + kSo + "\r\n", kZo, "k", kName, "[" + kZo + "]\r\nk=" + kName + "\r\n"},
  };
  for (const auto& c : cases) {
    ProfileFile file(Put(c.original));
    ASSERT_TRUE(file.WriteString(c.section, c.key, c.value)) << c.original;
    EXPECT_EQ(Bytes(file.path()), c.expected) << c.original;
    EXPECT_EQ(file.ReadString(c.section, c.key, "default"), c.value) << c.original;
    EXPECT_EQ(Entries(), std::vector<std::string>{"tvr1.ini"}) << "no temporary file is left";
  }
}

TEST_F(ProfileFileTest, CreatesTheFileAndReadsValuesBackAsWritten) {
  ProfileFile file(PathOf("tvr1.ini"));
  EXPECT_EQ(file.ReadString("User", "Name", "default"), "default");
  const struct {
    std::string written, read;
  } cases[] = {
      {" Bob", " Bob"},   {"Bob\t", "Bob\t"}, {"\"pw", "\"pw"}, {"pw'", "pw'"},
      {"'q'", "'q'"},     {"\"\"", "\"\""},   {"\"", "\""},     {"", ""},
      {"a\r\nb\n", "ab"}, {kName, kName},     {kSo, kSo},       {kZo + "]", kZo + "]"},
  };
  for (const auto& c : cases) {
    ASSERT_TRUE(file.WriteString("User", "Name", c.written)) << c.written;
    EXPECT_EQ(file.ReadString("User", "Name", "default"), c.read) << c.written;
  }
  EXPECT_EQ(Bytes(file.path()), "[User]\r\nName=" + kZo + "]\r\n");
}

TEST_F(ProfileFileTest, RefusesNamesThatWouldNotReadBack) {
  const struct {
    std::string section, key;
  } cases[] = {{"a]b", "k"}, {"a\nb", "k"}, {"s", ""}, {"s", "a=b"}, {"s", ";k"}, {"s", "[k]"}, {"s", "k\r"}};
  ProfileFile file(Put("[s]\r\n"));
  for (const auto& c : cases) EXPECT_FALSE(file.WriteString(c.section, c.key, "v")) << c.section << c.key;
  EXPECT_EQ(Bytes(file.path()), "[s]\r\n");
  EXPECT_TRUE(file.WriteString(kZo, "k", "v"));
}

TEST_F(ProfileFileTest, FailedWritesLeaveTheOriginal) {
  EXPECT_FALSE(ProfileFile(PathOf("no_such_dir/tvr1.ini")).WriteString("s", "k", "v"));
  EXPECT_FALSE(fs::exists(PathOf("no_such_dir")));

  // A settings path that is not a file is never replaced.
  fs::create_directory(PathOf("tvr1.ini"));
  ProfileFile directory(PathOf("tvr1.ini"));
  EXPECT_FALSE(directory.WriteString("s", "k", "v"));
  EXPECT_TRUE(fs::is_directory(directory.path()));
}

// The player runs the client as an ordinary user (root would write into a
// read-only folder all the same): the user the writes run as.
constexpr uid_t kPlayer = 65534;

bool WriteAsPlayer(const std::string& path, const std::string& value) {
  const pid_t child = ::fork();
  if (child == 0) {
    if (::geteuid() == 0 && (::setgid(kPlayer) != 0 || ::setuid(kPlayer) != 0)) ::_exit(2);
    ::_exit(ProfileFile(path).WriteString("s", "k", value) ? 0 : 1);
  }
  int status = 0;
  return child > 0 && ::waitpid(child, &status, 0) == child && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// Every file and folder under (and with) d, owned by the player.
void GiveToPlayer(const fs::path& d) {
  if (::geteuid() != 0) return;
  EXPECT_EQ(::lchown(d.c_str(), kPlayer, kPlayer), 0);
  for (const auto& entry : fs::recursive_directory_iterator(d)) {
    EXPECT_EQ(::lchown(entry.path().c_str(), kPlayer, kPlayer), 0);
  }
}

size_t CountFiles(const fs::path& d) {
  return static_cast<size_t>(std::distance(fs::recursive_directory_iterator(d), {}));
}

TEST_F(ProfileFileTest, SavesInEveryFolderAPlayerMayUse) {
  const auto put = [](const fs::path& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary) << bytes;
  };
  const std::string old = "[s]\r\nk=old\r\n";
  const std::string fresh = "[s]\r\nk=new\r\n";
  struct Case {
    const char* what;
    std::function<void(const fs::path&)> arrange;  // the settings path is d/tvr1.ini
    fs::path written;                              // where the settings land, under d
    size_t created;                                // files the write adds
    bool readOnly = false;                         // the folder takes no new file
  };
  const Case cases[] = {
      {"a read-only folder holding a writable file", [&](const fs::path& d) { put(d / "tvr1.ini", old); },
       "tvr1.ini", 0, true},
      {"a file others could read", [&](const fs::path& d) { put(d / "tvr1.ini", old); }, "tvr1.ini", 0},
      {"no file yet", [](const fs::path&) {}, "tvr1.ini", 1},
      {"a link to a file in another folder",
       [&](const fs::path& d) {
         fs::create_directory(d / "real");
         put(d / "real" / "mine.ini", old);
         fs::create_symlink("real/mine.ini", d / "tvr1.ini");
       },
       "real/mine.ini", 0},
      {"a link to a link to a file not there yet",
       [&](const fs::path& d) {
         fs::create_directory(d / "real");
         fs::create_symlink(d / "real" / "mine.ini", d / "middle.ini");
         fs::create_symlink("middle.ini", d / "tvr1.ini");
       },
       "real/mine.ini", 1},
      {"another client's temporary file and a folder of that name",
       [&](const fs::path& d) {
         put(d / "tvr1.ini", old);
         put(d / "tvr1.ini.tmp", "theirs");
         fs::create_directory(d / "tvr1.ini.tmp.d");
       },
       "tvr1.ini", 0},
  };
  int n = 0;
  for (const Case& c : cases) {
    const fs::path d = dir_ / std::to_string(n++);
    fs::create_directory(d);
    c.arrange(d);
    GiveToPlayer(d);
    if (c.readOnly) fs::permissions(d, fs::perms(0555));
    const size_t files = CountFiles(d);
    const bool others = fs::exists(d / "tvr1.ini.tmp");

    EXPECT_TRUE(WriteAsPlayer((d / "tvr1.ini").string(), "new")) << c.what;
    if (c.readOnly) fs::permissions(d, fs::perms(0755));
    EXPECT_EQ(Bytes((d / c.written).string()), fresh) << c.what;
    EXPECT_EQ(CountFiles(d), files + c.created) << c.what << ": no temporary file is left";
    // The settings hold a password: only the player reads them.
    EXPECT_EQ(fs::status(d / c.written).permissions() & fs::perms::all,
              fs::perms::owner_read | fs::perms::owner_write)
        << c.what;
    if (c.written != "tvr1.ini") {
      EXPECT_TRUE(fs::is_symlink(d / "tvr1.ini")) << c.what << ": the link stays";
    }
    if (others) {
      EXPECT_EQ(Bytes((d / "tvr1.ini.tmp").string()), "theirs") << c.what << ": left alone";
    }
  }
}

}  // namespace
}  // namespace gorvane
