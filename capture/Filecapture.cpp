#include "Filecapture.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace {

// A fault reads without the path that Audiofile puts first: the state line names the file.
std::string WithoutPath(const std::string& reason, const std::string& path) {
  const std::string prefix = path + ": ";
  return reason.starts_with(prefix) ? reason.substr(prefix.size()) : reason;
}

}  // namespace

std::shared_ptr<FileCursor> FileCursor::Open(const std::string& path, std::string* error) {
  Audiofile file;
  if (!file.Open(path, error)) return nullptr;
  std::shared_ptr<FileCursor> cursor(new FileCursor);
  cursor->path_ = path;
  cursor->rate_ = file.Rate();
  cursor->fileChannels_ = file.FileChannels();
  cursor->frames_ = file.Frames();
  return cursor;
}

std::string FileCursor::Name() const {
  const size_t slash = path_.find_last_of('/');
  return slash == std::string::npos ? path_ : path_.substr(slash + 1);
}

void FileCursor::SetPosition(int64_t frame) {
  position_ = std::clamp<int64_t>(frame, 0, frames_);
  SetFault("");
}

void FileCursor::Step(double seconds) {
  SetPosition(Position() + std::llround(seconds * rate_));
}

std::string FileCursor::Fault() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return fault_;
}

void FileCursor::SetFault(const std::string& reason) {
  std::lock_guard<std::mutex> lock(mutex_);
  fault_ = WithoutPath(reason, path_);
}

void FileCursor::SetNonFinite(int64_t count, int64_t first) {
  std::lock_guard<std::mutex> lock(mutex_);
  nonFinite_ = count;
  firstNonFinite_ = first;
}

int64_t FileCursor::NonFinite() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return nonFinite_;
}

std::string FileCursor::StateText() const {
  const std::string fault = Fault();
  if (!fault.empty()) return Name() + ": " + fault;
  std::string text = Name() + ": " + FormatFileTime(static_cast<double>(Position()) / rate_) +
                     " / " + FormatFileTime(static_cast<double>(frames_) / rate_);
  if (fileChannels_ > 2) text += " (first 2 of " + std::to_string(fileChannels_) + " channels)";
  std::lock_guard<std::mutex> lock(mutex_);
  if (nonFinite_ > 0)
    text += ", " + std::to_string(nonFinite_) + " NaN/Inf samples read as 0 (the first at " +
            FormatFileTime(static_cast<double>(firstNonFinite_) / rate_) + ")";
  return text;
}

std::string FormatFileTime(double seconds) {
  const auto tenths = static_cast<int64_t>(std::floor(std::max(0.0, seconds) * 10.0 + 1e-6));
  const int64_t s = tenths / 10;
  char text[48];
  if (s >= 3600)
    std::snprintf(text, sizeof text, "%lld:%02lld:%02lld.%lld", static_cast<long long>(s / 3600),
                  static_cast<long long>(s / 60 % 60), static_cast<long long>(s % 60),
                  static_cast<long long>(tenths % 10));
  else
    std::snprintf(text, sizeof text, "%lld:%02lld.%lld", static_cast<long long>(s / 60),
                  static_cast<long long>(s % 60), static_cast<long long>(tenths % 10));
  return text;
}

FileCapture::FileCapture(std::shared_ptr<FileCursor> cursor) : cursor_(std::move(cursor)) {}

FileCapture::~FileCapture() {
  Release();
}

CaptureSource::Format FileCapture::OwnFormat() const {
  return {cursor_->Rate(), cursor_->Channels()};
}

bool FileCapture::Pace(int frames) {
  using namespace std::chrono;
  if (!cursor_->RealTime()) {
    paced_ = false;
    return !interrupted_;
  }
  const auto now = steady_clock::now();
  const auto block = duration_cast<steady_clock::duration>(
      duration<double>(static_cast<double>(frames) / cursor_->Rate()));
  // A run that fell behind (a slow hand-over, a pause) goes on from now instead of racing
  // to catch up.
  if (!paced_ || now > due_ + block) due_ = now;
  paced_ = true;
  due_ += block;
  std::unique_lock<std::mutex> lock(waitMutex_);
  wake_.wait_until(lock, due_, [this] { return interrupted_.load(); });
  return !interrupted_;
}

int FileCapture::ReadBlock(double* left, double* right, int frames) {
  if (interrupted_ || frames <= 0) return 0;
  std::string error;
  if (!file_.IsOpen() && !file_.Open(cursor_->Path(), &error)) {
    cursor_->SetFault(error);
    state_ = CaptureState::InputGone;
    return -1;
  }
  int64_t at = cursor_->Position();
  if (fresh_ && at + frames > cursor_->Frames() && frames <= cursor_->Frames()) {
    cursor_->SetPosition(0);
    at = 0;
  }
  fresh_ = false;
  if (at + frames > cursor_->Frames()) return 0;
  if (!file_.Seek(at, &error)) {
    cursor_->SetFault(error);
    return -1;
  }
  if (!Pace(frames)) return 0;
  state_ = CaptureState::Recording;
  const int channels = cursor_->Channels();
  const int64_t got = file_.Read(left, channels == 2 ? right : nullptr, frames, &error);
  if (got != frames) {
    cursor_->SetFault(got < 0 ? error : "the file ended early");
    return -1;
  }
  if (file_.NonFinite() > 0) cursor_->SetNonFinite(file_.NonFinite(), file_.FirstNonFinite());
  cursor_->Advance(at, at + frames);
  if (fedUpTo_ != at) FeedGap();
  fedUpTo_ = at + frames;
  if (channels == 1) {
    Feed(left, frames, 1, cursor_->Rate());
  } else {
    interleaved_.resize(static_cast<size_t>(frames) * 2);
    for (int i = 0; i < frames; ++i) {
      interleaved_[2 * static_cast<size_t>(i)] = left[i];
      interleaved_[2 * static_cast<size_t>(i) + 1] = right[i];
    }
    Feed(interleaved_.data(), frames, 2, cursor_->Rate());
  }
  return frames;
}

int FileCapture::Record(int channels, int /*rate*/, int16_t* dst, int frames) {
  if (frames <= 0) return 0;
  left_.resize(static_cast<size_t>(frames));
  right_.resize(static_cast<size_t>(frames));
  const int got = ReadBlock(left_.data(), right_.data(), frames);
  const bool stereoFile = cursor_->Channels() == 2;
  for (int i = 0; i < got; ++i)
    for (int c = 0; c < channels; ++c) {
      const double v = (c == 1 && stereoFile ? right_ : left_)[static_cast<size_t>(i)];
      dst[static_cast<size_t>(i) * channels + c] =
          static_cast<int16_t>(std::clamp(std::lround(v), -32768L, 32767L));
    }
  return std::max(got, 0);
}

void FileCapture::Interrupt() {
  {
    std::lock_guard<std::mutex> lock(waitMutex_);
    interrupted_ = true;
  }
  wake_.notify_all();
}

void FileCapture::Release() {
  file_.Close();
  paced_ = false;
  state_ = CaptureState::Idle;
}
