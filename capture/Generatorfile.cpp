#include "Generatorfile.h"

#include <fcntl.h>
#include <sndfile.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

constexpr int kBlock = 4096;
// A WAV file's sizes are 32-bit.
constexpr double kWavLimit = 4294967295.0 - 4096.0;

bool Fail(std::string* error, const std::string& path, const std::string& why) {
  if (error) *error = "'" + path + "': " + why;
  return false;
}

int BytesPerSample(SampleFormat f) {
  return f == SampleFormat::Pcm16 ? 2 : f == SampleFormat::Pcm24 ? 3 : 4;
}

}  // namespace

bool WantsFlac(const std::string& path) {
  if (path.size() < 5) return false;
  std::string end = path.substr(path.size() - 5);
  for (char& c : end)
    c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return end == ".flac";
}

std::string GeneratorFileProblem(const std::string& path, const GeneratorFileRequest& r) {
  if (const std::string p = GeneratorSettingsProblem(r.settings); !p.empty()) return p;
  if (!std::isfinite(r.seconds) || r.seconds <= 0.0) return "the length must be above 0 s";
  if (r.seconds > 86400.0) return "the length must be at most 86400 s (a day)";
  if (r.channels != 1 && r.channels != 2) return "there must be 1 or 2 channels";
  const bool flac = WantsFlac(path);
  if (flac && r.format == SampleFormat::Float)
    return "FLAC holds no floating-point samples: use pcm16 or pcm24";
  const double frames = std::round(r.seconds * r.settings.rate);
  if (frames < 1) return "the length is shorter than one sample";
  if (!flac && frames * r.channels * BytesPerSample(r.format) > kWavLimit)
    return "too long for a WAV file (4 GiB at most): shorten it or write FLAC";
  return {};
}

bool WriteGeneratorFile(const std::string& path, const GeneratorFileRequest& r,
                        std::string* error) {
  if (const std::string p = GeneratorFileProblem(path, r); !p.empty()) return Fail(error, path, p);
  if (path.empty()) return Fail(error, path, "no file name given");
  std::string target = path;
  struct stat st {};
  const bool exists = stat(path.c_str(), &st) == 0;
  if (exists && S_ISDIR(st.st_mode)) return Fail(error, path, "is a folder");
  if (exists && !S_ISREG(st.st_mode))
    return Fail(error, path, "is not a regular file (a pipe or a device)");
  mode_t mode = 0666;
  if (exists) {
    // A link keeps pointing at the file, which is replaced.
    char resolved[PATH_MAX];
    if (realpath(path.c_str(), resolved)) target = resolved;
    mode = st.st_mode & 07777;
  } else {
    const mode_t mask = umask(0);
    umask(mask);
    mode &= ~mask;
  }
  const size_t slash = target.find_last_of('/');
  const size_t nameAt = slash == std::string::npos ? 0 : slash + 1;
  std::string temp = target.substr(0, nameAt);
  temp.append(".").append(target, nameAt).append(".XXXXXX");
  const int fd = mkostemp(temp.data(), O_CLOEXEC);
  if (fd < 0) {
    const int e = errno;
    return Fail(error, path, e == ENOENT ? "the folder does not exist" : std::strerror(e));
  }

  SF_INFO info{};
  info.samplerate = r.settings.rate;
  info.channels = r.channels;
  const int subtype = r.format == SampleFormat::Pcm16   ? SF_FORMAT_PCM_16
                      : r.format == SampleFormat::Pcm24 ? SF_FORMAT_PCM_24
                                                        : SF_FORMAT_FLOAT;
  info.format = (WantsFlac(path) ? SF_FORMAT_FLAC : SF_FORMAT_WAV) | subtype;
  SNDFILE* file = sf_open_fd(fd, SFM_WRITE, &info, SF_FALSE);
  std::string why;
  bool ok = file != nullptr;
  if (!ok) why = sf_strerror(nullptr);

  if (ok) {
    GeneratorSettings s = r.settings;
    s.on = true;
    Generator generator(s, r.seed ? r.seed : Generator::RandomSeed());
    SampleQuantiser quantiser(r.format, r.dither && r.format == SampleFormat::Pcm16,
                              r.seed ? r.seed ^ 0x9e3779b97f4a7c15ULL : Generator::RandomSeed());
    const long total = std::lround(r.seconds * s.rate);
    const long fade = std::lround(kFadeSeconds * s.rate);
    // The fade-out takes the last 10 ms (the second half, in a file shorter than two fades).
    const long stopAt = std::max(total / 2, total - fade);
    std::vector<double> block(static_cast<size_t>(kBlock) * r.channels);
    std::vector<short> shorts(block.size());
    std::vector<int> ints(block.size());
    std::vector<float> floats(block.size());
    for (long done = 0; ok && done < total;) {
      long n = std::min<long>(kBlock, total - done);
      if (done < stopAt) n = std::min(n, stopAt - done);
      if (done == stopAt && generator.Settings().on) {
        s.on = false;
        generator.Apply(s);
      }
      generator.Render(block.data(), static_cast<int>(n), r.channels);
      const size_t count = static_cast<size_t>(n) * r.channels;
      sf_count_t wrote = 0;
      if (r.format == SampleFormat::Pcm16) {
        for (size_t i = 0; i < count; ++i)
          shorts[i] = static_cast<short>(quantiser.Quantise(block[i]));
        wrote = sf_writef_short(file, shorts.data(), n);
      } else if (r.format == SampleFormat::Pcm24) {
        // libsndfile takes the top 24 bits of each int.
        for (size_t i = 0; i < count; ++i)
          ints[i] = static_cast<int>(static_cast<uint32_t>(quantiser.Quantise(block[i])) << 8);
        wrote = sf_writef_int(file, ints.data(), n);
      } else {
        for (size_t i = 0; i < count; ++i)
          floats[i] = static_cast<float>(block[i]);
        wrote = sf_writef_float(file, floats.data(), n);
      }
      if (wrote != n) {
        ok = false;
        why = sf_strerror(file);
      }
      done += n;
    }
    if (sf_close(file) != 0 && ok) {
      ok = false;
      why = "could not be finished";
    }
  }
  if (ok && (fchmod(fd, mode) != 0 || fsync(fd) != 0)) {
    ok = false;
    why = std::strerror(errno);
  }
  if (close(fd) != 0 && ok) {
    ok = false;
    why = std::strerror(errno);
  }
  if (ok && rename(temp.c_str(), target.c_str()) != 0) {
    ok = false;
    why = std::strerror(errno);
  }
  if (!ok) {
    unlink(temp.c_str());
    return Fail(error, path, why.empty() ? "could not be written" : why);
  }
  return true;
}
