// An audio file as an input: anything libsndfile decodes (WAV, FLAC, Ogg Vorbis, ...), read
// as blocks of doubles in the 16-bit scale of the live capture.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct sf_private_tag;

class Audiofile {
 public:
  Audiofile() = default;
  ~Audiofile();
  Audiofile(const Audiofile&) = delete;
  Audiofile& operator=(const Audiofile&) = delete;

  // Opens a file for reading; false with "path: reason" in error. Refused: what is not a
  // readable regular file of at most kMaxBytes, what libsndfile cannot decode, a rate or
  // channel count of 0, a WAV, RF64, Wave64, AIFF or AU file whose header claims more data
  // than the file holds, and a file of unknown length that cannot be decoded to its end.
  static constexpr int64_t kMaxBytes = int64_t{1} << 40;
  bool Open(const std::string& path, std::string* error);
  void Close();
  bool IsOpen() const { return file_ != nullptr; }

  const std::string& Path() const { return path_; }
  int Rate() const { return rate_; }
  // The file's own channel count; more than two are read as their first two.
  int FileChannels() const { return fileChannels_; }
  // 1 or 2: the channels Read delivers.
  int Channels() const { return fileChannels_ >= 2 ? 2 : 1; }
  int64_t Frames() const { return frames_; }
  double Seconds() const { return rate_ > 0 ? static_cast<double>(frames_) / rate_ : 0.0; }
  int64_t Position() const { return position_; }

  // Reads up to `frames` frames from the current position into left (and right when
  // Channels() is 2) as doubles in the 16-bit scale: a 16-bit sample s reads as s exactly, a
  // float sample x as x * 32768, so deeper formats keep their precision. Returns the frames
  // read, 0 at the end of the file and -1 when the file cannot be decoded or ends before the
  // frames its header announces (error says "path: reason").
  int64_t Read(double* left, double* right, int64_t frames, std::string* error);

  // Moves to frame `frame` (0 to Frames()); false with a reason.
  bool Seek(int64_t frame, std::string* error);

  // Non-finite samples (NaN, +-Inf) of the channels read, each read as 0: one would poison
  // every filter, mean and meter after it, and a 0 in its place keeps the file's timing and
  // block boundaries, which dropping it would not. Counted once per frame of the file however
  // often it is read; the frame of the first, -1 while none was met.
  int64_t NonFinite() const { return nonFinite_; }
  int64_t FirstNonFinite() const { return firstNonFinite_; }
  // Every frame read was one (the file holds no finite sample of the channels read so far).
  bool NothingFinite() const { return nonFiniteFrames_ > 0 && nonFiniteFrames_ == readFrames_; }
  // Hands non-finite samples on as NaN instead of 0, still counted: for a caller that leaves
  // out every block holding one (the two-channel measurement), where a 0 would read as a change
  // of the system.
  void PassNonFinite(bool on) { passNonFinite_ = on; }
  // "<path>: N non-finite samples (NaN or Inf) read as 0, the first at frame F (S s)", for the
  // note every command-line mode gives; empty while none was met.
  std::string NonFiniteNote() const;

 private:
  bool CountFrames(std::string* error);
  // Puts 0 for each non-finite sample of the frames just read at position_, and counts those
  // of frames not counted before.
  void Sanitise(double* left, double* right, int64_t frames);

  sf_private_tag* file_ = nullptr;
  bool passNonFinite_ = false;
  bool boundToScale_ = true;
  int fd_ = -1;
  std::string path_;
  int rate_ = 0;
  int fileChannels_ = 0;
  int64_t frames_ = 0;
  int64_t position_ = 0;
  std::vector<double> interleaved_;
  int64_t nonFinite_ = 0;
  int64_t firstNonFinite_ = -1;
  int64_t readTo_ = 0;           // frames before this one have been counted
  int64_t readFrames_ = 0;       // frames counted
  int64_t nonFiniteFrames_ = 0;  // of them, frames with no finite sample
};
