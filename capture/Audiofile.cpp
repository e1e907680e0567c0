#include "Audiofile.h"

#include <fcntl.h>
#include <sndfile.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>

namespace {

bool Fail(std::string* error, const std::string& path, const std::string& reason) {
  if (error) *error = path + ": " + reason;
  return false;
}

uint32_t Le32(const unsigned char* p) {
  return p[0] | p[1] << 8 | p[2] << 16 | static_cast<uint32_t>(p[3]) << 24;
}

uint16_t Le16(const unsigned char* p) {
  return static_cast<uint16_t>(p[0] | p[1] << 8);
}

// What is wrong with a RIFF WAVE file's header, or "" (also for any other file). libsndfile
// quietly reads what there is of a "data" chunk that claims more bytes than follow it, which
// would pass a damaged recording off as a whole one; a size of 0 or 0xffffffff is the mark of
// a recorder that never finished its header, not a claim. Its own words for a format chunk
// with no channels or a rate of 0 name no cause a user would know.
std::string WavHeaderFault(const std::string& path) {
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return "";
  struct stat st {};
  std::string fault;
  unsigned char head[12];
  if (fstat(fd, &st) == 0 && pread(fd, head, 12, 0) == 12 && std::memcmp(head, "RIFF", 4) == 0 &&
      std::memcmp(head + 8, "WAVE", 4) == 0) {
    int64_t at = 12;
    // A bounded walk: a file of chunks of size 0 ends after a few thousand steps.
    for (int step = 0; step < 4096 && at + 8 <= st.st_size; ++step) {
      unsigned char chunk[16];
      if (pread(fd, chunk, 8, at) != 8) break;
      const uint32_t size = Le32(chunk + 4);
      if (std::memcmp(chunk, "fmt ", 4) == 0 && size >= 8 && pread(fd, chunk + 8, 8, at + 8) == 8) {
        if (Le16(chunk + 10) == 0)
          fault = "the file has no channels";
        else if (Le32(chunk + 12) == 0)
          fault = "the file gives a sample rate of 0";
        if (!fault.empty()) break;
      }
      if (std::memcmp(chunk, "data", 4) == 0) {
        const int64_t available = st.st_size - (at + 8);
        if (size != 0 && size != 0xffffffffu && size > available)
          fault = "the file is cut short: its header announces " + std::to_string(size) +
                  " bytes of samples, but it holds " + std::to_string(available);
        break;
      }
      at += 8 + static_cast<int64_t>(size) + (size & 1);
    }
  }
  close(fd);
  return fault;
}

}  // namespace

Audiofile::~Audiofile() {
  Close();
}

void Audiofile::Close() {
  if (file_) sf_close(file_);
  file_ = nullptr;
  rate_ = 0;
  fileChannels_ = 0;
  frames_ = 0;
  position_ = 0;
  nonFinite_ = 0;
  firstNonFinite_ = -1;
  readTo_ = 0;
  readFrames_ = 0;
  nonFiniteFrames_ = 0;
}

bool Audiofile::Open(const std::string& path, std::string* error) {
  Close();
  path_ = path;
  // A pipe or a device could block the open or never end: only regular files are read.
  struct stat st {};
  if (stat(path.c_str(), &st) != 0) return Fail(error, path, std::strerror(errno));
  if (S_ISDIR(st.st_mode)) return Fail(error, path, "is a folder, not an audio file");
  if (!S_ISREG(st.st_mode)) return Fail(error, path, "is not a regular file");
  if (st.st_size == 0) return Fail(error, path, "the file is empty");
  if (access(path.c_str(), R_OK) != 0) return Fail(error, path, std::strerror(errno));
  if (const std::string fault = WavHeaderFault(path); !fault.empty())
    return Fail(error, path, fault);

  SF_INFO info{};
  SNDFILE* f = sf_open(path.c_str(), SFM_READ, &info);
  if (!f) {
    std::string reason = sf_strerror(nullptr);
    while (!reason.empty() &&
           (reason.back() == '.' || reason.back() == '\n' || reason.back() == ' '))
      reason.pop_back();
    return Fail(error, path, "cannot be decoded (" + reason + ")");
  }
  if (info.channels <= 0) {
    sf_close(f);
    return Fail(error, path, "the file has no channels");
  }
  if (info.samplerate <= 0) {
    sf_close(f);
    return Fail(error, path, "the file gives a sample rate of 0");
  }
  if (info.frames < 0) {
    sf_close(f);
    return Fail(error, path, "the file does not say how long it is");
  }
  // Integer samples arrive divided by 2^(bits-1); times 32768 they are back in the 16-bit
  // scale, exactly, since both steps are powers of two.
  sf_command(f, SFC_SET_NORM_DOUBLE, nullptr, SF_TRUE);
  file_ = f;
  rate_ = info.samplerate;
  fileChannels_ = info.channels;
  frames_ = info.frames;
  position_ = 0;
  return true;
}

int64_t Audiofile::Read(double* left, double* right, int64_t frames, std::string* error) {
  if (!file_) {
    Fail(error, path_, "no file is open");
    return -1;
  }
  frames = std::min(frames, frames_ - position_);
  if (frames <= 0) return 0;
  const int ch = fileChannels_;
  // Large reads, but a bounded buffer whatever the channel count.
  const int64_t chunk = std::max<int64_t>(1, (1 << 20) / ch);
  int64_t done = 0;
  while (done < frames) {
    const int64_t want = std::min(chunk, frames - done);
    interleaved_.resize(static_cast<size_t>(want) * ch);
    const sf_count_t got = sf_readf_double(file_, interleaved_.data(), want);
    if (got < 0) break;
    const double* s = interleaved_.data();
    double* l = left + done;
    if (ch == 1) {
      for (sf_count_t i = 0; i < got; ++i)
        l[i] = s[i] * 32768.0;
    } else {
      double* r = right + done;
      for (sf_count_t i = 0; i < got; ++i) {
        l[i] = s[i * ch] * 32768.0;
        r[i] = s[i * ch + 1] * 32768.0;
      }
    }
    Sanitise(l, ch == 1 ? nullptr : right + done, got);
    done += got;
    position_ += got;
    if (got < want) break;
  }
  if (done < frames) {
    const int code = sf_error(file_);
    std::string reason = code != SF_ERR_NO_ERROR ? sf_strerror(file_) : "";
    Fail(error, path_,
         "the file ends after " + std::to_string(position_) + " of the " + std::to_string(frames_) +
             " frames its header announces" +
             (reason.empty() ? std::string() : " (" + reason + ")"));
    return -1;
  }
  return done;
}

void Audiofile::Sanitise(double* left, double* right, int64_t frames) {
  for (int64_t i = 0; i < frames; ++i) {
    const int64_t frame = position_ + i;
    const bool counted = frame < readTo_;
    int bad = 0, channels = 0;
    for (double* s : {left + i, right ? right + i : nullptr}) {
      if (!s) continue;
      ++channels;
      if (std::isfinite(*s)) continue;
      *s = 0.0;
      ++bad;
    }
    if (counted) continue;
    ++readFrames_;
    if (bad == 0) continue;
    nonFinite_ += bad;
    if (bad == channels) ++nonFiniteFrames_;
    if (firstNonFinite_ < 0) firstNonFinite_ = frame;
  }
  readTo_ = std::max(readTo_, position_ + frames);
}

bool Audiofile::Seek(int64_t frame, std::string* error) {
  if (!file_) return Fail(error, path_, "no file is open");
  if (frame < 0 || frame > frames_)
    return Fail(error, path_, "position " + std::to_string(frame) + " lies outside the file");
  if (frame == position_) return true;
  if (sf_seek(file_, frame, SEEK_SET) < 0)
    return Fail(error, path_, std::string("cannot seek (") + sf_strerror(file_) + ")");
  position_ = frame;
  return true;
}
