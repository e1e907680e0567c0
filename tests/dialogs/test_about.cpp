#include <gtest/gtest.h>

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QLabel>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>

#include "Dlgabout.h"
#include "Dlgoptions.h"
#include "Mainwindowtonvista.h"
#include "Windowsversion.h"

namespace {

class AboutDialog : public ::testing::Test {
 protected:
  void SetUp() override {
    saved = TFAbout::OpenUrl;
    TFAbout::OpenUrl = [this](const QUrl& url) {
      opened.push_back(url);
      return true;
    };
  }
  void TearDown() override { TFAbout::OpenUrl = saved; }

  std::function<bool(const QUrl&)> saved;
  std::vector<QUrl> opened;
  TMainwindow main;
  TFAbout about;
  // The main window follows what the window reports, as at start-up.
  const bool connected = (main.ConnectWindows(), true);
};

TEST_F(AboutDialog, ShowsNameVersionDateAndMaker) {
  EXPECT_EQ(about.windowTitle(), "About Tonvista");
  EXPECT_EQ(about.size(), QSize(297, 263));
  EXPECT_TRUE(about.windowFlags() & Qt::WindowStaysOnTopHint);
  EXPECT_EQ(about.Label1->text(), "Tonvista");
  EXPECT_TRUE(about.Label1->font().bold());
  EXPECT_EQ(about.Label1->font().pixelSize(), 16);
  EXPECT_EQ(about.Label2->text(), "Version:");
  EXPECT_EQ(about.Label5->text(), "V1.9");
  EXPECT_EQ(about.Label4->text(), "Date:");
  EXPECT_EQ(about.Label7->text(), "July 2006");
  EXPECT_EQ(about.Label8->text(), "Mail:");
  EXPECT_EQ(about.Label9->text(), "Web:");
  EXPECT_EQ(about.Label3->text(), "The Tonvista developers");
  EXPECT_TRUE(about.Label10->text().endsWith("@example.org"));
  EXPECT_TRUE(about.Label11->text().endsWith("example.org"));
  EXPECT_EQ(about.Button1->text(), "OK");
  for (QLabel* l : about.findChildren<QLabel*>())
    EXPECT_LE(l->x() + l->sizeHint().width(), about.Panel->width()) << l->text().toStdString();
}

TEST_F(AboutDialog, LinksOpenMailAndWebThroughTheDesktop) {
  about.show();
  EXPECT_EQ(about.Label10->cursor().shape(), Qt::PointingHandCursor);
  EXPECT_EQ(about.Label10->palette().color(QPalette::WindowText), QColor(Qt::blue));
  QTest::mouseClick(about.Label10, Qt::LeftButton);
  QTest::mouseClick(about.Label11, Qt::LeftButton);
  ASSERT_EQ(opened.size(), 2u);
  EXPECT_EQ(opened[0], QUrl("mailto:" + about.Label10->text()));
  EXPECT_EQ(opened[1], QUrl("http://" + about.Label11->text()));
  // Reachable without a mouse too.
  QTest::keyClick(about.Label11, Qt::Key_Space);
  ASSERT_EQ(opened.size(), 3u);
  EXPECT_EQ(opened[2], opened[1]);
}

TEST_F(AboutDialog, PressingAboutTwiceShowsOneDialog) {
  about.Present();
  about.Present();
  int shown = 0;
  for (QWidget* w : QApplication::topLevelWidgets())
    if (qobject_cast<TFAbout*>(w) && w->isVisible()) ++shown;
  EXPECT_EQ(shown, 1);
  EXPECT_EQ(FAbout, &about);
}

TEST_F(AboutDialog, OkHidesAndFocusesStop) {
  about.Present();
  QTest::mouseClick(about.Button1, Qt::LeftButton);
  EXPECT_FALSE(about.isVisible());
  EXPECT_EQ(main.focusWidget(), main.BStop);
}

TEST(VolumeControl, WindowsDirectoryRuleByVersionClass) {
  const QString win = "C:\\WINDOWS", sys = "C:\\WINDOWS\\system32";
  EXPECT_EQ(WindowsVolumeControlPath(0, win, sys), "C:\\WINDOWS\\sndvol32.exe");
  EXPECT_EQ(WindowsVolumeControlPath(4, win, sys), "C:\\WINDOWS\\sndvol32.exe");
  EXPECT_EQ(WindowsVolumeControlPath(5, win, sys), "C:\\WINDOWS\\system32\\sndvol32.exe");
  EXPECT_EQ(WindowsVolumeControlPath(7, win, sys), "C:\\WINDOWS\\system32\\sndvol32.exe");
}

TEST(VolumeControl, DirectoriesComeFromTheSystemQueryAsItReturnsThem) {
  auto answering = [](const std::string& path) {
    return [path](char* buffer, unsigned size) -> unsigned {
      if (path.size() >= size) return static_cast<unsigned>(path.size() + 1);
      path.copy(buffer, path.size());
      buffer[path.size()] = 0;
      return static_cast<unsigned>(path.size());
    };
  };
  EXPECT_EQ(DirectoryFromQuery(answering("C:\\WINDOWS")), "C:\\WINDOWS");
  EXPECT_EQ(DirectoryFromQuery(answering("D:\\WinNT\\system32")), "D:\\WinNT\\system32");
  EXPECT_EQ(DirectoryFromQuery(answering(std::string(259, 'x'))), std::string(259, 'x'));
  // Too long for 260 characters, or a failed query: no directory rather than a cut one.
  EXPECT_EQ(DirectoryFromQuery(answering(std::string(300, 'x'))), "");
  EXPECT_EQ(DirectoryFromQuery([](char*, unsigned) { return 0u; }), "");
}

TEST(VolumeControl, TheMainWindowHoldsTheSystemsDirectories) {
  TMainwindow main;
  EXPECT_EQ(main.WindowsDirectory.toStdString(), WindowsDirectoryOfSystem());
  EXPECT_EQ(main.SystemDirectory.toStdString(), SystemDirectoryOfSystem());
#ifdef _WIN32
  // A Windows build starts the volume control from a real directory, never "\\sndvol32.exe".
  EXPECT_TRUE(QDir(main.WindowsDirectory).exists());
  EXPECT_TRUE(QDir(main.SystemDirectory).exists());
  EXPECT_NE(WindowsVolumeControlPath(7, main.WindowsDirectory, main.SystemDirectory),
            "\\sndvol32.exe");
#else
  EXPECT_TRUE(main.WindowsDirectory.isEmpty());
  EXPECT_TRUE(main.SystemDirectory.isEmpty());
#endif
}

// Fake programs in temporary folders; nothing real is ever looked up or started.
class FakePath {
 public:
  QString Dir(int k) {
    while (static_cast<int>(dirs_.size()) <= k)
      dirs_.push_back(std::make_unique<QTemporaryDir>());
    return dirs_[k]->path();
  }
  QString Add(int k, const QString& name, const QString& body = "exit 0\n",
              bool executable = true) {
    QFile f(QDir(Dir(k)).filePath(name));
    EXPECT_TRUE(f.open(QIODevice::WriteOnly));
    f.write(("#!/bin/sh\n" + body).toUtf8());
    f.close();
    f.setPermissions(executable ? QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner
                                : QFile::ReadOwner | QFile::WriteOwner);
    return f.fileName();
  }
  QString Path() {
    QStringList p;
    for (auto& d : dirs_)
      p << d->path();
    return p.join(':');
  }

 private:
  std::vector<std::unique_ptr<QTemporaryDir>> dirs_;
};

TEST(VolumeControl, LinuxPicksTheFirstAvailableProgram) {
  {
    FakePath path;
    path.Add(0, "gnome-control-center");
    const QString qt = path.Add(1, "pavucontrol-qt");
    path.Add(1, "pavucontrol", "exit 0\n", false);  // not executable: skipped
    const auto c = FindLinuxVolumeControl(path.Path());
    ASSERT_TRUE(c);
    EXPECT_EQ(c->Program, qt);
    EXPECT_TRUE(c->Arguments.isEmpty());
  }
  {
    FakePath path;
    path.Add(0, "pavucontrol-qt");
    const QString first = path.Add(1, "pavucontrol");
    ASSERT_TRUE(FindLinuxVolumeControl(path.Path()));
    EXPECT_EQ(FindLinuxVolumeControl(path.Path())->Program, first);
  }
  {
    FakePath path;
    const QString gcc = path.Add(0, "gnome-control-center");
    path.Add(0, "alsamixer");
    path.Add(0, "xterm");
    const auto c = FindLinuxVolumeControl(path.Path());
    ASSERT_TRUE(c);
    EXPECT_EQ(c->Program, gcc);
    EXPECT_EQ(c->Arguments, QStringList{"sound"});
  }
  {
    FakePath path;
    const QString mixer = path.Add(0, "alsamixer");
    const QString term = path.Add(1, "gnome-terminal");
    const auto c = FindLinuxVolumeControl(path.Path());
    ASSERT_TRUE(c);
    EXPECT_EQ(c->Program, term);
    EXPECT_EQ(c->Arguments, (QStringList{"--", mixer}));
  }
  {
    FakePath path;
    path.Add(0, "alsamixer");  // no terminal to run it in
    path.Add(0, "xterm", "", false);
    EXPECT_FALSE(FindLinuxVolumeControl(path.Path()));
    EXPECT_FALSE(FindLinuxVolumeControl(""));
  }
}

class PathGuard {
 public:
  explicit PathGuard(const QString& path) : saved_(qgetenv("PATH")) {
    qputenv("PATH", path.toLocal8Bit());
  }
  ~PathGuard() { qputenv("PATH", saved_); }

 private:
  QByteArray saved_;
};

TEST(VolumeControl, StartsTheFoundProgramDetached) {
  FakePath path;
  QTemporaryDir out;
  const QString marker = QDir(out.path()).filePath("started");
  path.Add(0, "pavucontrol", "echo \"$@\" > '" + marker + "'\n");
  {
    PathGuard guard(path.Path());
    StartVolumeControl(0, "C:\\WINDOWS", "C:\\WINDOWS\\system32");
  }
  QElapsedTimer t;
  t.start();
  while (!QFile::exists(marker) && t.elapsed() < 20000)
    QTest::qWait(20);
  EXPECT_TRUE(QFile::exists(marker));
}

TEST(VolumeControl, NothingToStartDoesNothingAndSaysNothing) {
  std::vector<QString> messages;
  SetErrorSink([&](QWidget*, const QString& m) { messages.push_back(m); });
  QTemporaryDir empty;
  const int windows = QApplication::topLevelWidgets().size();
  {
    PathGuard guard(empty.path());
    StartVolumeControl(7, "C:\\WINDOWS", "C:\\WINDOWS\\system32");
  }
  QTest::qWait(50);
  EXPECT_TRUE(messages.empty());
  EXPECT_EQ(QApplication::topLevelWidgets().size(), windows);
  SetErrorSink({});
}

}  // namespace

namespace {

TEST(VolumeControl, TheButtonLeavesTheFocusOnStopWhetherAProgramStartsOrNot) {
  FakePath path;
  QTemporaryDir out;
  const QString marker = QDir(out.path()).filePath("started");
  path.Add(0, "pavucontrol", ": > '" + marker + "'\n");  // PATH holds only the fakes
  QTemporaryDir empty;
  TMainwindow main;
  main.show();
  for (const QString& dirs : {path.Path(), empty.path()}) {
    PathGuard guard(dirs);
    main.BGoniometer->setFocus();
    ASSERT_EQ(main.focusWidget(), main.BGoniometer);
    emit main.Button1->clicked();
    EXPECT_EQ(main.focusWidget(), main.BStop) << dirs.toStdString();
  }
  QElapsedTimer t;
  t.start();
  while (!QFile::exists(marker) && t.elapsed() < 20000)
    QTest::qWait(20);
  EXPECT_TRUE(QFile::exists(marker)) << "the button did not start the volume control";
}

}  // namespace
