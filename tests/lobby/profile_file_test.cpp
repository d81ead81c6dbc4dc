#include "lobby/profile_file.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>

#include "core/sjis.h"

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
    EXPECT_FALSE(fs::exists(file.path() + ".tmp")) << c.original;
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

  // The temporary file cannot be created where a directory stands.
  ProfileFile file(Put("[s]\r\nk=old\r\n"));
  fs::create_directory(file.path() + ".tmp");
  EXPECT_FALSE(file.WriteString("s", "k", "new"));
  EXPECT_EQ(Bytes(file.path()), "[s]\r\nk=old\r\n");

  // A settings path that is not a file is never replaced.
  ProfileFile directory(PathOf("tvr1.ini.tmp"));
  EXPECT_FALSE(directory.WriteString("s", "k", "v"));
  EXPECT_TRUE(fs::is_directory(directory.path()));
}

}  // namespace
}  // namespace gorvane
