// One stream for several consumers: the worker holds one stream consumer, so the meters that
// each need every sample share it through this. Every part is fed only while it listens; one
// that starts listening again is told of the gap first. Qt-free.
#pragma once

#include <atomic>
#include <memory>
#include <vector>

#include "Samplestream.h"
#include "Spectrumconsumer.h"

class StreamFanout : public StreamConsumer, private SampleStream {
 public:
  // The parts are fixed here and must outlive the fanout.
  explicit StreamFanout(std::vector<StreamConsumer*> parts) : parts_(parts.size()) {
    for (size_t i = 0; i < parts.size(); ++i)
      parts_[i].consumer = parts[i];
  }

  bool Listening() const override {
    for (const Part& p : parts_)
      if (p.consumer && p.consumer->Listening()) return true;
    return false;
  }

  // Every part's stream is taken for the worker at once, so that a part opened during the run
  // is fed without another hand-over.
  SampleStream* AcquireStream(const void* worker) override {
    const void* expected = nullptr;
    if (!holder_.compare_exchange_strong(expected, worker) && expected != worker) return nullptr;
    for (Part& p : parts_)
      if (p.consumer && !p.stream.load()) p.stream.store(p.consumer->AcquireStream(worker));
    return this;
  }

  void ReleaseStream(const void* worker) override {
    if (holder_.load() != worker) return;
    for (Part& p : parts_) {
      if (p.stream.exchange(nullptr) && p.consumer) p.consumer->ReleaseStream(worker);
      p.fed.store(false, std::memory_order_relaxed);
    }
    holder_.store(nullptr);
  }

 private:
  struct Part {
    StreamConsumer* consumer = nullptr;
    std::atomic<SampleStream*> stream{nullptr};
    // The last piece went to this part (the recording thread's; atomic as the next worker's
    // recording thread takes it over).
    std::atomic<bool> fed{false};
  };

  void Samples(const double* samples, int frames, int channels, int rate) override {
    for (Part& p : parts_) {
      SampleStream* s = p.stream.load(std::memory_order_acquire);
      const bool listening = s && p.consumer->Listening();
      if (listening) {
        if (!p.fed.load(std::memory_order_relaxed)) s->Gap();
        s->Samples(samples, frames, channels, rate);
      }
      p.fed.store(listening, std::memory_order_relaxed);
    }
  }
  void Gap() override {
    for (Part& p : parts_)
      if (SampleStream* s = p.stream.load(std::memory_order_acquire);
          s && p.fed.load(std::memory_order_relaxed))
        s->Gap();
  }

  std::vector<Part> parts_;
  std::atomic<const void*> holder_{nullptr};
};
