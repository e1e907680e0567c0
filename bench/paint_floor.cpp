// What the toolkit alone costs at the defaults' pace, as a yardstick for cpu_defaults: a worker
// thread hands a block over 21.5 times a second and waits until it is shown, as the spectrum
// worker does, and the window then paints nothing, a 20 x 20 square, or a whole 780 x 200 plot
// of 779 lines. Prints the CPU of the whole process (all threads, from the scheduler's own
// counts) and its wake-ups a second for each. Needs a display (scripts/bench-live gives one:
// TONVISTA_BENCH_LIVE=build-bench/bench/paint_floor scripts/bench-live 44100 1).
#include <dirent.h>
#include <QApplication>
#include <QImage>
#include <QPaintEvent>
#include <QPainter>
#include <QTimer>
#include <QWidget>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

enum class Paint { None, Square, Plot };

class Window : public QWidget {
 public:
  Paint paint = Paint::None;
  int block = 0;

  Window() {
    setAttribute(Qt::WA_OpaquePaintEvent);
    resize(800, 600);
    frame_.fill(Qt::white);
  }

  void Shown() {
    ++block;
    if (paint == Paint::Square) update(QRect(10, 10, 80, 30));
    if (paint == Paint::Plot) update(QRect(10, 110, 780, 200));
  }

 protected:
  void paintEvent(QPaintEvent* event) override {
    QPainter p(this);
    if (paint == Paint::Square) {
      p.fillRect(QRect(10 + block % 50, 10, 20, 20), block % 2 ? Qt::red : Qt::blue);
    } else if (paint == Paint::Plot) {
      QPainter fp(&frame_);
      fp.fillRect(frame_.rect(), Qt::white);
      std::vector<QLineF> lines;
      for (int x = 0; x < 779; ++x)
        lines.emplace_back(x, 100 + 50 * std::sin((x + block) * 0.05), x + 1,
                           100 + 50 * std::sin((x + 1 + block) * 0.05));
      fp.setPen(Qt::blue);
      fp.drawLines(lines.data(), static_cast<int>(lines.size()));
      fp.end();
      for (const QRect& r : event->region())
        p.drawImage(r.topLeft(), frame_, r.translated(-10, -110));
    }
  }

 private:
  QImage frame_{780, 200, QImage::Format_RGB32};
};

// Nanoseconds run and voluntary switches of all of this process's threads.
std::pair<double, double> ProcessCounts() {
  double ns = 0, switches = 0;
  DIR* dir = opendir("/proc/self/task");
  if (!dir) return {0, 0};
  while (dirent* e = readdir(dir)) {
    if (e->d_name[0] == '.') continue;
    const std::string task = std::string("/proc/self/task/") + e->d_name;
    std::ifstream sched(task + "/schedstat");
    double run = 0;
    if (sched >> run) ns += run;
    std::ifstream status(task + "/status");
    for (std::string line; std::getline(status, line);)
      if (line.rfind("voluntary_ctxt_switches:", 0) == 0) switches += std::stod(line.substr(24));
  }
  closedir(dir);
  return {ns, switches};
}

}  // namespace

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  Window window;
  window.show();
  std::mutex mutex;
  std::condition_variable changed;
  uint64_t posted = 0, shown = 0;
  bool stop = false;
  // The block pace of 2048 points at 44.1 kHz; the hand-over as the spectrum worker makes it.
  std::thread worker([&] {
    auto next = std::chrono::steady_clock::now();
    for (;;) {
      next += std::chrono::nanoseconds(static_cast<int64_t>(1e9 * 2048 / 44100));
      std::this_thread::sleep_until(next);
      std::unique_lock<std::mutex> lock(mutex);
      if (stop) break;
      const uint64_t id = ++posted;
      QMetaObject::invokeMethod(
          &window,
          [&, id] {
            window.Shown();
            {
              std::lock_guard<std::mutex> guard(mutex);
              shown = id;
            }
            changed.notify_all();
          },
          Qt::QueuedConnection);
      changed.wait(lock, [&] { return shown == id || stop; });
    }
  });
  const struct {
    Paint paint;
    const char* name;
  } modes[] = {{Paint::None, "handover"}, {Paint::Square, "square"}, {Paint::Plot, "plot"}};
  size_t mode = 0;
  std::pair<double, double> start;
  auto startedAt = std::chrono::steady_clock::now();
  QTimer step;
  // Per mode: 2 s to settle, then 10 s measured.
  bool settling = true;
  window.paint = modes[0].paint;
  QObject::connect(&step, &QTimer::timeout, [&] {
    if (settling) {
      start = ProcessCounts();
      startedAt = std::chrono::steady_clock::now();
      settling = false;
      step.start(10000);
      return;
    }
    const auto end = ProcessCounts();
    const double s =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - startedAt).count();
    std::printf("paint_floor_%s_cpu_percent: %.2f [%.0f wake-ups/s, 21.5 blocks/s]\n",
                modes[mode].name, 100 * (end.first - start.first) / 1e9 / s,
                (end.second - start.second) / s);
    std::fflush(stdout);
    if (++mode == std::size(modes)) {
      app.quit();
      return;
    }
    window.paint = modes[mode].paint;
    settling = true;
    step.start(2000);
  });
  step.setSingleShot(true);
  step.start(2000);
  const int rc = app.exec();
  {
    std::lock_guard<std::mutex> lock(mutex);
    stop = true;
  }
  changed.notify_all();
  worker.join();
  return rc;
}
