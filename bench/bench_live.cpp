// The analyser against a live source, in one process built like the program: the five windows
// are created as at start-up, the settings are chosen on the controls, Start is clicked, and
// after a warm-up the blocks shown and the process's CPU time are counted over a fixed window.
// Run it with a display (for example under Xvfb) so that every window paints for real.
//
//   bench_live [--rate R] [--length N] [--channels 1|2] [--maxhold] [--scope] [--band]
//              [--warmup S] [--seconds S]
//
// Prints "key: value" lines: blocks, seconds, screen_refresh_hz, blocks_per_second,
// ideal_blocks_per_second, block_rate_percent, cpu_percent, and one thread_cpu_percent line per
// thread (with its wake-ups per second).
#include <sys/resource.h>
#include <unistd.h>

#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QPushButton>
#include <QScreen>
#include <QTimer>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>

#include "Application.h"
#include "Mainwindowtonvista.h"

namespace {

struct Options {
  int rate = 44100;
  int length = 2048;
  int channels = 1;
  bool maxHold = false;
  bool scope = false;
  bool band = false;
  double warmup = 2.0;
  double seconds = 10.0;
};

bool Parse(int argc, char** argv, Options& o) {
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    auto next = [&](double& v) {
      if (i + 1 >= argc) return false;
      v = std::atof(argv[++i]);
      return true;
    };
    double v = 0;
    if (a == "--rate" && next(v)) {
      o.rate = static_cast<int>(v);
    } else if (a == "--length" && next(v)) {
      o.length = static_cast<int>(v);
    } else if (a == "--channels" && next(v)) {
      o.channels = static_cast<int>(v);
    } else if (a == "--warmup" && next(v)) {
      o.warmup = v;
    } else if (a == "--seconds" && next(v)) {
      o.seconds = v;
    } else if (a == "--maxhold") {
      o.maxHold = true;
    } else if (a == "--scope") {
      o.scope = true;
    } else if (a == "--band") {
      o.band = true;
    } else {
      return false;
    }
  }
  return o.channels == 1 || o.channels == 2;
}

double CpuSeconds() {
  rusage u{};
  getrusage(RUSAGE_SELF, &u);
  return u.ru_utime.tv_sec + u.ru_stime.tv_sec + (u.ru_utime.tv_usec + u.ru_stime.tv_usec) * 1e-6;
}

struct ThreadUse {
  std::string name;
  long ticks = 0;
  long wakeups = 0;  // voluntary context switches
};

// CPU ticks and wake-ups per thread, by id.
std::map<std::string, ThreadUse> ThreadTicks() {
  std::map<std::string, ThreadUse> ticks;
  const QDir tasks(QStringLiteral("/proc/self/task"));
  for (const QString& id : tasks.entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
    QFile stat(tasks.filePath(id + "/stat"));
    if (!stat.open(QIODevice::ReadOnly)) continue;
    const QByteArray line = stat.readAll();
    const int open = line.indexOf('('), close = line.lastIndexOf(')');
    if (open < 0 || close < open) continue;
    const QList<QByteArray> fields = line.mid(close + 2).split(' ');
    // After the name: state is field 3, utime 14 and stime 15 of the whole line.
    if (fields.size() < 13) continue;
    ThreadUse& t = ticks[id.toStdString()];
    t.name = line.mid(open + 1, close - open - 1).toStdString();
    t.ticks = fields[11].toLong() + fields[12].toLong();
    QFile status(tasks.filePath(id + "/status"));
    if (!status.open(QIODevice::ReadOnly)) continue;
    for (const QByteArray& l : status.readAll().split('\n'))
      if (l.startsWith("voluntary_ctxt_switches:")) t.wakeups = l.mid(24).trimmed().toLong();
  }
  return ticks;
}

bool Choose(QComboBox* box, int value) {
  const int index = box->findText(QString::number(value));
  if (index < 0) return false;
  box->setCurrentIndex(index);
  emit box->activated(index);
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  Options o;
  if (!Parse(argc, argv, o)) {
    std::fprintf(stderr,
                 "usage: bench_live [--rate R] [--length N] [--channels 1|2] [--maxhold] "
                 "[--scope] [--band] [--warmup S] [--seconds S]\n");
    return 2;
  }
  TApplication app(argc, argv);
  app.setQuitOnLastWindowClosed(false);
  QApplication::setFont(TonvistaFont());
  TonvistaWindows windows;
  TMainwindow* m = Mainwindow;
  m->show();
  if (!Choose(m->CSamplingRate, o.rate) || !Choose(m->CFFTLength, o.length)) {
    std::fprintf(stderr, "bench_live: rate or length not offered by the controls\n");
    return 2;
  }
  m->CNumChannels->SetItemIndex(o.channels - 1);
  m->CBMaxHold->setChecked(o.maxHold);
  if (o.scope) m->BGoniometer->click();
  if (o.band) m->BBandAnalyser->click();
  m->BStart->click();
  if (!m->CalcThread) {
    std::fprintf(stderr, "bench_live: Start did not start the analyser\n");
    return 1;
  }

  using Clock = std::chrono::steady_clock;
  int blocks0 = 0;
  double cpu0 = 0;
  Clock::time_point t0;
  std::map<std::string, ThreadUse> ticks0;
  int status = 0;
  QTimer::singleShot(static_cast<int>(o.warmup * 1000), [&] {
    blocks0 = m->CalcThread ? m->CalcThread->BlocksShown() : 0;
    ticks0 = ThreadTicks();
    cpu0 = CpuSeconds();
    t0 = Clock::now();
  });
  QTimer::singleShot(static_cast<int>((o.warmup + o.seconds) * 1000), [&] {
    const double cpu = CpuSeconds() - cpu0;
    const double wall = std::chrono::duration<double>(Clock::now() - t0).count();
    const auto ticks = ThreadTicks();
    if (!m->CalcThread) {
      std::fprintf(stderr, "bench_live: the analyser stopped by itself\n");
      status = 1;
      QCoreApplication::quit();
      return;
    }
    const int blocks = m->CalcThread->BlocksShown() - blocks0;
    const double ideal = static_cast<double>(o.rate) / o.length;
    std::printf("blocks: %d\nseconds: %.3f\n", blocks, wall);
    if (const QScreen* screen = m->screen())
      std::printf("screen_refresh_hz: %.0f\n", screen->refreshRate());
    std::printf("blocks_per_second: %.3f\nideal_blocks_per_second: %.3f\n", blocks / wall, ideal);
    std::printf("block_rate_percent: %.1f\n", 100.0 * blocks / wall / ideal);
    std::printf("cpu_percent: %.2f\n", 100.0 * cpu / wall);
    const double tick = static_cast<double>(sysconf(_SC_CLK_TCK));
    for (const auto& [id, t] : ticks) {
      const auto before = ticks0.find(id);
      const ThreadUse start = before != ticks0.end() ? before->second : ThreadUse{};
      const long used = t.ticks - start.ticks;
      if (used > 0)
        std::printf("thread_cpu_percent: %s %s %.2f (%.0f wake-ups/s)\n", id.c_str(),
                    t.name.c_str(), 100.0 * used / tick / wall, (t.wakeups - start.wakeups) / wall);
    }
    std::fflush(stdout);
    m->BStop->click();
    QCoreApplication::quit();
  });
  app.exec();
  return status;
}
