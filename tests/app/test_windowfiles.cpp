// The window's files: every export written whole on a full disk (the old file stays, the
// failure is named), and files to load that are no regular file refused without waiting for
// a writer.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QFile>
#include <QImage>
#include <QTemporaryDir>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <fstream>
#include <mutex>
#include <thread>

#include "Chart.h"
#include "Dlgoctaveanalyser.h"
#include "Fulldisk.h"
#include "MainwindowFixture.h"
#include "Referencetraces.h"
#include "Spectrogramimage.h"
#include "Toolwindows.h"

namespace {

std::string Bytes(const QString& path) {
  std::ifstream in(QFile::encodeName(path).toStdString(), std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

void Put(const QString& path, const std::string& bytes) {
  std::ofstream(QFile::encodeName(path).toStdString(), std::ios::binary) << bytes;
}

// Code that waits for a FIFO's writer would hang the suite; after `after` this opens it for
// writing and writes `text`, releasing such a reader, and says so: the test then fails
// instead of hanging.
class FifoRescue {
 public:
  FifoRescue(const QString& path, std::string text, std::chrono::seconds after)
      : thread_([this, path = QFile::encodeName(path).toStdString(), text, after] {
          std::unique_lock<std::mutex> lock(mutex_);
          if (changed_.wait_for(lock, after, [this] { return done_; })) return;
          lock.unlock();
          // Without a reader the open fails at once (ENXIO); a reader that waits lets it in.
          const int fd = open(path.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
          if (fd < 0) return;
          rescued_ = true;
          [[maybe_unused]] const ssize_t w = write(fd, text.data(), text.size());
          close(fd);
        }) {}
  ~FifoRescue() { Stop(); }
  // Called once the code under test has returned; true if it had to be released.
  bool Stop() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      done_ = true;
    }
    changed_.notify_all();
    if (thread_.joinable()) thread_.join();
    return rescued_;
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  bool done_ = false;
  std::atomic<bool> rescued_{false};
  std::thread thread_;
};

class WindowFiles : public MainwindowTest {
 protected:
  QString File(const char* name) const { return dir.filePath(name); }
  QStringList Names() const { return QDir(dir.path()).entryList(QDir::Files | QDir::Hidden); }
  QTemporaryDir dir;
};

}  // namespace

TEST_F(WindowFiles, OnAFullDiskEveryExportKeepsTheOldFileAndNamesTheFailure) {
  Fill(w->Series1, 1024, 23.4375, [](int i) { return -40.0 - 0.01 * i; });
  ASSERT_TRUE(ReferenceTraces);
  ReferenceTraces->StoreClick();
  QImage picture(200, 100, QImage::Format_RGB32);
  picture.fill(Qt::darkGreen);
  const struct {
    const char* name;
    std::function<bool(const QString&, QString*)> write;
  } writers[] = {
      {"chart.txt", [&](const QString& p, QString* why) { return w->WriteChartText(p, why); }},
      {"plot.bmp",
       [&](const QString& p, QString* why) { return w->Chart1->SaveChartBitmap(p, why); }},
      {"window.bmp",
       [&](const QString& p, QString* why) { return WriteBitmap24(picture, p, why); }},
      {"spectrogram.png",
       [&](const QString& p, QString* why) { return WriteSpectrogramPng(picture, p, why); }},
      {"reference.txt", [&](const QString& p, QString*) { return ReferenceTraces->Save(p); }},
  };
  for (const auto& writer : writers) {
    const QString path = File(writer.name);
    Put(path, "old\n");
    const QStringList before = Names();
    const qsizetype shown = messages.size();
    QString why;
    bool written = false;
    {
      tvtest::FullDisk full(300);
      ASSERT_TRUE(full.Active());
      written = writer.write(path, &why);
    }
    EXPECT_FALSE(written) << writer.name;
    if (why.isEmpty() && messages.size() > shown) why = messages.last();
    EXPECT_TRUE(why.contains("File too large")) << writer.name << ": " << why.toStdString();
    EXPECT_TRUE(Bytes(path) == "old\n") << writer.name << ": the old file was lost";
    EXPECT_EQ(Names().join(" ").toStdString(), before.join(" ").toStdString()) << writer.name;
    // With room it is written, and longer than the full disk allowed.
    EXPECT_TRUE(writer.write(path, &why)) << writer.name << ": " << why.toStdString();
    EXPECT_GT(Bytes(path).size(), 300u) << writer.name;
  }
}

TEST_F(WindowFiles, LoadingFromAPipeOrADeviceIsRefusedAtOnce) {
  const QString fifo = File("mic.fifo");
  ASSERT_EQ(mkfifo(QFile::encodeName(fifo).constData(), 0644), 0);
  ASSERT_TRUE(FOctaveAnalyser);
  {
    FifoRescue rescue(fifo, "100 0\n1000 1\n", std::chrono::seconds(5));
    QString why;
    const bool loaded = FOctaveAnalyser->LoadMicrophone(fifo, &why);
    EXPECT_FALSE(rescue.Stop()) << "the window waited for a writer";
    EXPECT_FALSE(loaded);
    EXPECT_TRUE(why.contains("pipe (FIFO)")) << why.toStdString();
  }
  for (const QString& device : {QString("/dev/zero"), QString("/dev/null")}) {
    QString why;
    EXPECT_FALSE(FOctaveAnalyser->LoadMicrophone(device, &why));
    EXPECT_TRUE(why.contains("device")) << why.toStdString();
  }
  {
    FifoRescue rescue(fifo, "F-Axis[Hz] , Data L[dB]\r\n", std::chrono::seconds(5));
    const qsizetype before = messages.size();
    EXPECT_FALSE(ReferenceTraces->Load(fifo));
    EXPECT_FALSE(rescue.Stop()) << "the window waited for a writer";
    ASSERT_EQ(messages.size(), before + 1);
    EXPECT_TRUE(messages.last().contains("pipe (FIFO)")) << messages.last().toStdString();
  }
}
