#include "Audiofile.h"

#include <cstdio>

#include <fcntl.h>
#include <sndfile.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>

#include "Checkedfiles.h"

namespace {

bool Fail(std::string* error, const std::string& path, const std::string& reason) {
  if (error) *error = path + ": " + reason;
  return false;
}

uint32_t Le32(const unsigned char* p) {
  return p[0] | p[1] << 8 | p[2] << 16 | static_cast<uint32_t>(p[3]) << 24;
}

uint64_t Le64(const unsigned char* p) {
  return Le32(p) | static_cast<uint64_t>(Le32(p + 4)) << 32;
}

uint32_t Be32(const unsigned char* p) {
  return static_cast<uint32_t>(p[0]) << 24 | p[1] << 16 | p[2] << 8 | p[3];
}

uint16_t Le16(const unsigned char* p) {
  return static_cast<uint16_t>(p[0] | p[1] << 8);
}

std::string CutShort(uint64_t claimed, int64_t available) {
  return "the file is cut short: its header announces " + std::to_string(claimed) +
         " bytes of samples, but it holds " + std::to_string(std::max<int64_t>(available, 0));
}

// What is wrong with a RIFF or RF64 WAVE file's header, or "" (also for any other file).
// libsndfile quietly reads what there is of a "data" chunk that claims more bytes than follow
// it, which would pass a damaged recording off as a whole one; a size of 0 or 0xffffffff is
// the mark of a recorder that never finished its header, not a claim (in RF64 the "ds64"
// chunk holds the size, and the same holds for it). Its own words for a format chunk with no
// channels or a rate of 0 name no cause a user would know.
std::string WavHeaderFault(int fd, int64_t fileSize) {
  unsigned char head[12];
  if (pread(fd, head, 12, 0) != 12 || std::memcmp(head + 8, "WAVE", 4) != 0) return "";
  const bool rf64 = std::memcmp(head, "RF64", 4) == 0 || std::memcmp(head, "BW64", 4) == 0;
  if (!rf64 && std::memcmp(head, "RIFF", 4) != 0) return "";
  uint64_t ds64Data = 0;
  int64_t at = 12;
  // A bounded walk: a file of chunks of size 0 ends after a few thousand steps.
  for (int step = 0; step < 4096 && at + 8 <= fileSize; ++step) {
    unsigned char chunk[28];
    if (pread(fd, chunk, 8, at) != 8) break;
    const uint32_t size = Le32(chunk + 4);
    if (std::memcmp(chunk, "fmt ", 4) == 0 && size >= 8 && pread(fd, chunk + 8, 8, at + 8) == 8) {
      if (Le16(chunk + 10) == 0) return "the file has no channels";
      if (Le32(chunk + 12) == 0) return "the file gives a sample rate of 0";
    }
    if (rf64 && std::memcmp(chunk, "ds64", 4) == 0 && size >= 16 &&
        pread(fd, chunk + 8, 16, at + 8) == 16)
      ds64Data = Le64(chunk + 16);
    if (std::memcmp(chunk, "data", 4) == 0) {
      const int64_t available = fileSize - (at + 8);
      uint64_t claimed = size;
      if (rf64 && size == 0xffffffffu) claimed = ds64Data;
      if (claimed != 0 && claimed != 0xffffffffu && claimed != ~uint64_t{0} &&
          claimed > static_cast<uint64_t>(std::max<int64_t>(available, 0)))
        return CutShort(claimed, available);
      break;
    }
    at += 8 + static_cast<int64_t>(size) + (size & 1);
  }
  return "";
}

// The same for a Sun/NeXT AU file, whose header names the bytes of samples after it
// (0xffffffff: not known).
std::string AuHeaderFault(int fd, int64_t fileSize) {
  unsigned char head[12];
  if (pread(fd, head, 12, 0) != 12) return "";
  const bool big = std::memcmp(head, ".snd", 4) == 0;
  if (!big && std::memcmp(head, "dns.", 4) != 0) return "";
  const auto field = [&](int at) { return big ? Be32(head + at) : Le32(head + at); };
  const uint32_t offset = field(4), size = field(8);
  const int64_t available = fileSize - offset;
  if (size != 0xffffffffu && static_cast<int64_t>(size) > std::max<int64_t>(available, 0))
    return CutShort(size, available);
  return "";
}

uint16_t Be16(const unsigned char* p) {
  return static_cast<uint16_t>(p[0] << 8 | p[1]);
}

// The same for AIFF and AIFF-C: an "SSND" chunk claiming more bytes than follow it, or a
// "COMM" chunk announcing more frames of uncompressed samples than the "SSND" chunk holds.
std::string AiffHeaderFault(int fd, int64_t fileSize) {
  unsigned char head[12];
  if (pread(fd, head, 12, 0) != 12 || std::memcmp(head, "FORM", 4) != 0) return "";
  const bool aifc = std::memcmp(head + 8, "AIFC", 4) == 0;
  if (!aifc && std::memcmp(head + 8, "AIFF", 4) != 0) return "";
  uint64_t frames = 0, frameBytes = 0;
  bool plain = !aifc;
  int64_t at = 12;
  for (int step = 0; step < 4096 && at + 8 <= fileSize; ++step) {
    unsigned char chunk[30];
    if (pread(fd, chunk, 8, at) != 8) break;
    const uint32_t size = Be32(chunk + 4);
    if (std::memcmp(chunk, "COMM", 4) == 0 && size >= 18 &&
        pread(fd, chunk + 8, aifc && size >= 22 ? 22 : 18, at + 8) ==
            (aifc && size >= 22 ? 22 : 18)) {
      frames = Be32(chunk + 10);
      frameBytes = uint64_t{Be16(chunk + 8)} * ((Be16(chunk + 14) + 7u) / 8u);
      // AIFF-C names its encoding; these few store plain samples.
      if (aifc && size >= 22)
        for (const char* type : {"NONE", "sowt", "twos", "raw ", "in24", "in32", "fl32", "fl64"})
          plain = plain || std::memcmp(chunk + 26, type, 4) == 0;
    }
    if (std::memcmp(chunk, "SSND", 4) == 0) {
      const int64_t available = fileSize - (at + 8);
      if (size > static_cast<uint64_t>(std::max<int64_t>(available, 0)))
        return CutShort(size >= 8 ? size - 8 : size, available - 8);
      const uint64_t data = size >= 8 ? size - 8 : 0;
      if (plain && frameBytes > 0 && frames * frameBytes > data)
        return "the file is cut short: its header announces " + std::to_string(frames) +
               " frames, but it holds " + std::to_string(data / frameBytes);
      break;
    }
    at += 8 + static_cast<int64_t>(size) + (size & 1);
  }
  return "";
}

// The same for Sony Wave64, whose chunks are named by GUIDs (the first four bytes spell the
// name) and sized in 64 bits, the chunk's 24-byte header included.
std::string W64HeaderFault(int fd, int64_t fileSize) {
  unsigned char head[40];
  if (pread(fd, head, 40, 0) != 40 || std::memcmp(head, "riff", 4) != 0 ||
      std::memcmp(head + 24, "wave", 4) != 0)
    return "";
  int64_t at = 40;
  for (int step = 0; step < 4096 && at + 24 <= fileSize; ++step) {
    unsigned char chunk[24];
    if (pread(fd, chunk, 24, at) != 24) break;
    const uint64_t size = Le64(chunk + 16);
    if (size < 24) break;
    if (std::memcmp(chunk, "data", 4) == 0) {
      const int64_t available = fileSize - (at + 24);
      if (size - 24 > static_cast<uint64_t>(std::max<int64_t>(available, 0)))
        return CutShort(size - 24, available);
      break;
    }
    if (size > static_cast<uint64_t>(fileSize)) break;
    at += static_cast<int64_t>((size + 7) & ~uint64_t{7});
  }
  return "";
}

}  // namespace

Audiofile::~Audiofile() {
  Close();
}

void Audiofile::Close() {
  if (file_) sf_close(file_);
  file_ = nullptr;
  if (fd_ >= 0) close(fd_);
  fd_ = -1;
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
  // A pipe or a device could block or never end: only regular files are read, opened without
  // waiting and checked on the opened descriptor.
  const int fd = OpenRegularFile(path, kMaxBytes, "an audio file", error);
  if (fd < 0) return false;
  struct stat st {};
  std::string fault;
  if (fstat(fd, &st) != 0)
    fault = std::strerror(errno);
  else if (st.st_size == 0)
    fault = "the file is empty";
  if (fault.empty()) fault = WavHeaderFault(fd, st.st_size);
  if (fault.empty()) fault = AuHeaderFault(fd, st.st_size);
  if (fault.empty()) fault = AiffHeaderFault(fd, st.st_size);
  if (fault.empty()) fault = W64HeaderFault(fd, st.st_size);
  if (!fault.empty()) {
    close(fd);
    return Fail(error, path, fault);
  }

  SF_INFO info{};
  // The descriptor stays ours, closed after libsndfile is done with it.
  SNDFILE* f = sf_open_fd(fd, SFM_READ, &info, SF_FALSE);
  if (!f) {
    close(fd);
    std::string reason = sf_strerror(nullptr);
    while (!reason.empty() &&
           (reason.back() == '.' || reason.back() == '\n' || reason.back() == ' '))
      reason.pop_back();
    return Fail(error, path, "cannot be decoded (" + OneLine(reason) + ")");
  }
  const auto refuse = [&](const std::string& why) {
    sf_close(f);
    close(fd);
    return Fail(error, path, why);
  };
  if (info.channels <= 0) return refuse("the file has no channels");
  if (info.samplerate <= 0) return refuse("the file gives a sample rate of 0");
  if (info.frames < 0) return refuse("the file does not say how long it is");
  // Integer samples arrive divided by 2^(bits-1); times 32768 they are back in the 16-bit
  // scale, exactly, since both steps are powers of two.
  sf_command(f, SFC_SET_NORM_DOUBLE, nullptr, SF_TRUE);
  // A damaged integer header (an odd sample width, say) can decode beyond full scale; only
  // float formats may hold more than full scale.
  const int sub = info.format & SF_FORMAT_SUBMASK;
  boundToScale_ = sub != SF_FORMAT_FLOAT && sub != SF_FORMAT_DOUBLE && sub != SF_FORMAT_VORBIS &&
                  sub != SF_FORMAT_OPUS;
  file_ = f;
  fd_ = fd;
  rate_ = info.samplerate;
  fileChannels_ = info.channels;
  frames_ = info.frames;
  position_ = 0;
  // A stream whose end libsndfile cannot find (an Ogg file with damage at its tail) has no
  // length; it is found by decoding it once, so that every caller may rely on Frames().
  if (info.frames == SF_COUNT_MAX && !CountFrames(error)) {
    Close();
    return false;
  }
  return true;
}

bool Audiofile::CountFrames(std::string* error) {
  const int ch = fileChannels_;
  std::vector<double> scratch(static_cast<size_t>(std::max(1, (1 << 16) / ch)) * ch);
  const sf_count_t want = static_cast<sf_count_t>(scratch.size() / ch);
  int64_t counted = 0;
  for (;;) {
    const sf_count_t got = sf_readf_double(file_, scratch.data(), want);
    if (got > 0) counted += got;
    if (got < want) break;
  }
  if (sf_error(file_) != SF_ERR_NO_ERROR)
    return Fail(error, path_,
                "the file cannot be decoded past frame " + std::to_string(counted) +
                    " (its header does not say how long it is; " + OneLine(sf_strerror(file_)) +
                    ")");
  if (counted == 0) return Fail(error, path_, "the file holds no frames");
  if (sf_seek(file_, 0, SEEK_SET) != 0)
    return Fail(error, path_,
                "the file cannot be read from its start again (its header does not say how long "
                "it is)");
  frames_ = counted;
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
    if (boundToScale_) {
      // NaN passes std::clamp unchanged and is left to Sanitise.
      for (double* c : {l, ch == 1 ? nullptr : right + done})
        if (c)
          for (sf_count_t i = 0; i < got; ++i)
            c[i] = std::clamp(c[i], -32768.0, 32768.0);
    }
    Sanitise(l, ch == 1 ? nullptr : right + done, got);
    done += got;
    position_ += got;
    if (got < want) break;
  }
  if (done < frames) {
    const int code = sf_error(file_);
    std::string reason = code != SF_ERR_NO_ERROR ? OneLine(sf_strerror(file_)) : "";
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
      // NaN in place: the reader's caller leaves out the blocks that hold them.
      if (!passNonFinite_) *s = 0.0;
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

std::string Audiofile::NonFiniteNote() const {
  if (nonFinite_ == 0) return "";
  char seconds[64];
  std::snprintf(seconds, sizeof seconds, "%.6g",
                rate_ > 0 ? static_cast<double>(firstNonFinite_) / rate_ : 0.0);
  return path_ + ": " + std::to_string(nonFinite_) + " non-finite samples (NaN or Inf) " +
         (passNonFinite_ ? "left out" : "read as 0") + ", the first at frame " +
         std::to_string(firstNonFinite_) + " (" + seconds + " s)";
}
