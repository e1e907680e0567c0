// First cut: the thread does nothing but end. The block loop replaces this.
#include "Calcspectrumthread.h"

struct TCalcSpectrumThread::Impl {
  std::atomic<bool> terminated{false};
  SpectrumLinks links;
};

TCalcSpectrumThread::TCalcSpectrumThread(bool CreateSuspended, double, double, int, int, int,
                                         int, SpectrumLinks links)
    : impl_(new Impl) {
  impl_->links = links;
  connect(this, &QThread::finished, this, [this] {
    if (OnTerminate) OnTerminate(this);
    deleteLater();
  });
  if (!CreateSuspended) start(QThread::LowPriority);
}
TCalcSpectrumThread::~TCalcSpectrumThread() { delete impl_; }
void TCalcSpectrumThread::Terminate() { impl_->terminated = true; }
bool TCalcSpectrumThread::Terminated() const { return impl_->terminated; }
bool TCalcSpectrumThread::Shutdown(int timeoutMs) {
  Terminate();
  return wait(timeoutMs);
}
void TCalcSpectrumThread::run() {}
