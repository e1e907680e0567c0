// Files as every reader and writer takes them: only regular files of a bounded size are read,
// without waiting on a pipe; outputs are written whole; one file under two names is one file;
// a name in a message stays on one line.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QDir>
#include <fstream>
#include <string>

#include "AlsaTestDevice.h"
#include "Checkedfiles.h"
#include "Fulldisk.h"

namespace {

void Put(const std::string& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary) << bytes;
}

std::string Bytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

QStringList Names(const tvtest::TempDir& dir) {
  return QDir(QString::fromStdString(dir.Path())).entryList(QDir::Files | QDir::Hidden);
}

TEST(ReadRegularFile, ReadsARegularFileWithinTheLimitAndRefusesEveryOtherKindByName) {
  tvtest::TempDir dir;
  Put(dir.File("ok.txt"), "100 1\n");
  Put(dir.File("big.txt"), std::string(4097, 'x'));
  Put(dir.File("edge.txt"), std::string(4096, 'x'));
  ASSERT_EQ(mkfifo(dir.File("pipe").c_str(), 0644), 0);
  ASSERT_EQ(mkdir(dir.File("folder").c_str(), 0755), 0);
  std::string text, error;
  ASSERT_TRUE(ReadRegularFile(dir.File("ok.txt"), 4096, "a list", &text, &error)) << error;
  EXPECT_EQ(text, "100 1\n");
  ASSERT_TRUE(ReadRegularFile(dir.File("edge.txt"), 4096, "a list", &text, &error)) << error;
  EXPECT_EQ(text.size(), 4096u);
  const struct {
    std::string path;
    std::string says;
  } refused[] = {
      {dir.File("big.txt"), "is larger than 4 kB, the most a list may be"},
      {dir.File("pipe"), "is not a regular file but a pipe (FIFO)"},
      {dir.File("folder"), "is a folder, not a list"},
      {"/dev/zero", "is not a regular file but a device"},
      {"/dev/null", "is not a regular file but a device"},
      {dir.File("missing"), "No such file or directory"},
      {"", "no file name given"},
  };
  for (const auto& r : refused) {
    text = "left over";
    EXPECT_FALSE(ReadRegularFile(r.path, 4096, "a list", &text, &error)) << r.path;
    EXPECT_EQ(error, r.path + ": " + r.says);
    EXPECT_TRUE(text.empty());
  }
  // The descriptor of a refused file is closed: a thousand refusals leave none open.
  const int before = open("/dev/null", O_RDONLY);
  close(before);
  for (int i = 0; i < 1000; ++i)
    OpenRegularFile(dir.File("pipe"), 4096, "a list", &error);
  const int after = open("/dev/null", O_RDONLY);
  EXPECT_EQ(after, before);
  close(after);
}

TEST(ByteLimitText, StatesWholeUnits) {
  EXPECT_EQ(ByteLimitText(1000), "1000 bytes");
  EXPECT_EQ(ByteLimitText(4096), "4 kB");
  EXPECT_EQ(ByteLimitText(int64_t{64} << 20), "64 MB");
  EXPECT_EQ(ByteLimitText(int64_t{1} << 40), "1 TB");
  EXPECT_EQ(ByteLimitText((int64_t{1} << 20) + 1024), "1025 kB");
}

TEST(WriteFileWhole, OnAFullDiskTheOldFileStaysAndNoPartIsLeft) {
  tvtest::TempDir dir;
  const std::string path = dir.File("out.txt");
  Put(path, "old\n");
  ASSERT_EQ(chmod(path.c_str(), 0640), 0);
  ASSERT_EQ(symlink(path.c_str(), dir.File("link.txt").c_str()), 0);
  const std::string text(5000, 'n');
  for (const std::string& name : {path, dir.File("link.txt"), dir.File("new.txt")}) {
    const QStringList before = Names(dir);
    std::string error;
    bool ok = true;
    {
      tvtest::FullDisk full(1000);
      ASSERT_TRUE(full.Active());
      ok = WriteFileWhole(name, text, &error);
    }
    EXPECT_FALSE(ok) << name;
    EXPECT_EQ(error, name + ": File too large");
    EXPECT_EQ(Bytes(path), "old\n");
    EXPECT_EQ(Names(dir), before) << name;
  }
  // With room: the link stays a link, its target gets the text and keeps its permissions.
  std::string error;
  ASSERT_TRUE(WriteFileWhole(dir.File("link.txt"), text, &error)) << error;
  struct stat st {};
  ASSERT_EQ(lstat(dir.File("link.txt").c_str(), &st), 0);
  EXPECT_TRUE(S_ISLNK(st.st_mode));
  ASSERT_EQ(stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0640u);
  EXPECT_EQ(Bytes(path), text);
  // A device is written directly and its failure named.
  EXPECT_FALSE(WriteFileWhole("/dev/full", text, &error));
  EXPECT_EQ(error, "/dev/full: No space left on device");
}

TEST(SameFile, OneFileUnderAnyNameIsOneFile) {
  tvtest::TempDir dir;
  const std::string a = dir.File("a.wav");
  Put(a, "a");
  Put(dir.File("b.wav"), "b");
  ASSERT_EQ(symlink(a.c_str(), dir.File("soft.wav").c_str()), 0);
  ASSERT_EQ(link(a.c_str(), dir.File("hard.wav").c_str()), 0);
  ASSERT_EQ(mkdir(dir.File("sub").c_str(), 0755), 0);
  EXPECT_TRUE(SameFile(a, a));
  EXPECT_TRUE(SameFile(a, dir.File("soft.wav")));
  EXPECT_TRUE(SameFile(dir.File("hard.wav"), a));
  EXPECT_TRUE(SameFile(a, dir.File("sub/../a.wav")));
  EXPECT_FALSE(SameFile(a, dir.File("b.wav")));
  // Names not there yet: the same name in the same folder, however it is spelt.
  EXPECT_TRUE(SameFile(dir.File("new.txt"), dir.File("sub/../new.txt")));
  EXPECT_FALSE(SameFile(dir.File("new.txt"), dir.File("sub/new.txt")));
  EXPECT_FALSE(SameFile(dir.File("new.txt"), a));
  EXPECT_TRUE(IsSpecialFile("/dev/null"));
  EXPECT_FALSE(IsSpecialFile(a));
  EXPECT_FALSE(IsSpecialFile(dir.Path()));
}

TEST(OneLine, EscapesWhatWouldBreakTheLine) {
  EXPECT_EQ(OneLine("plain name.wav"), "plain name.wav");
  EXPECT_EQ(OneLine("two\nlines"), "two\\nlines");
  EXPECT_EQ(OneLine("a\tb\rc"), "a\\tb\\rc");
  EXPECT_EQ(OneLine(std::string("nul\0bell\a\x7f", 10)), "nul\\x00bell\\x07\\x7f");
  EXPECT_EQ(OneLine("back\\slash"), "back\\\\slash");
  EXPECT_EQ(OneLine("Gr\xc3\xbc\xc3\x9f"
                    "e.wav"),
            "Gr\xc3\xbc\xc3\x9f"
            "e.wav");
}

}  // namespace
