// Any input the readers and parsers accept gives finite numbers within their stated ranges,
// and any other gets a one-line refusal: over the fuzz corpus kept in the repository and a
// fixed set of mutations of every file of it (bits flipped, bytes overwritten with edge
// values, cut short, parts repeated or dropped), so that it runs the same everywhere.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "Readerproperties.h"

namespace {

std::vector<std::string> Corpus(const std::string& target) {
  std::vector<std::string> out;
  const std::filesystem::path dir = std::filesystem::path(TONVISTA_FUZZ_CORPUS) / target;
  for (const auto& entry : std::filesystem::directory_iterator(dir)) {
    std::ifstream in(entry.path(), std::ios::binary);
    out.emplace_back(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }
  return out;
}

// `count` mutations of `seed`, the same on every run.
std::vector<std::string> Mutations(const std::string& seed, int count, uint32_t salt) {
  std::mt19937 random(salt);
  std::vector<std::string> out;
  const auto pick = [&](size_t n) { return n == 0 ? 0 : random() % n; };
  static const char edges[] = {'\0', '\x7f', '\x80', '\xff', '\x01', ',', '\n', '-', '9', 'e'};
  for (int i = 0; i < count; ++i) {
    std::string m = seed;
    const int edits = 1 + static_cast<int>(random() % 4);
    for (int e = 0; e < edits; ++e) {
      switch (random() % 6) {
        case 0:
          if (!m.empty()) m[pick(m.size())] ^= static_cast<char>(1 << (random() % 8));
          break;
        case 1:
          if (!m.empty()) m[pick(m.size())] = edges[pick(sizeof edges)];
          break;
        case 2:
          m.resize(pick(m.size() + 1));
          break;
        case 3: {
          const size_t at = pick(m.size() + 1), n = pick(std::min<size_t>(m.size() - at + 1, 64));
          m.insert(at, m.substr(at, n));
          break;
        }
        case 4: {
          const size_t at = pick(m.size() + 1);
          m.erase(at, pick(std::min<size_t>(m.size() - at + 1, 64)));
          break;
        }
        default: {
          // A 32-bit field overwritten with an edge: sizes, rates and counts of headers.
          static const uint32_t values[] = {0, 1, 0x7fffffff, 0x80000000, 0xffffffff, 44100};
          const uint32_t v = values[pick(6)];
          if (m.size() >= 4) m.replace(pick(m.size() - 3), 4, reinterpret_cast<const char*>(&v), 4);
        }
      }
    }
    out.push_back(std::move(m));
  }
  return out;
}

void CheckAll(const std::string& target,
              const std::function<std::string(std::string_view, bool*)>& check, int mutationsEach) {
  const std::vector<std::string> corpus = Corpus(target);
  ASSERT_GE(corpus.size(), 3u) << target << ": the corpus is missing";
  int checked = 0, accepted = 0;
  for (size_t f = 0; f < corpus.size(); ++f) {
    bool taken = false;
    EXPECT_EQ(check(corpus[f], &taken), "") << target << " corpus file " << f;
    for (const std::string& m : Mutations(corpus[f], mutationsEach, static_cast<uint32_t>(f + 1))) {
      const std::string broken = check(m, &taken);
      accepted += taken;
      EXPECT_EQ(broken, "") << target << " mutation of corpus file " << f << " (" << m.size()
                            << " bytes)";
      ++checked;
    }
  }
  EXPECT_EQ(checked, static_cast<int>(corpus.size()) * mutationsEach);
  // The mutations reach both sides: inputs taken (whose numbers are checked) and refused.
  EXPECT_GT(accepted, checked / 20) << target;
  EXPECT_LT(accepted, checked) << target;
}

TEST(ReaderProperties, AudioFilesGiveFiniteSamplesOrAOneLineRefusal) {
  CheckAll("audiofile", tvfuzz::CheckAudioBytes, 150);
}

TEST(ReaderProperties, CalibrationFilesGiveFiniteBoundedPointsOrTheirLine) {
  CheckAll("calibrationfile", tvfuzz::CheckCalibrationText, 400);
}

TEST(ReaderProperties, TablesGiveFiniteLevelsOrTheirLine) {
  CheckAll("spectrumtable", tvfuzz::CheckTableText, 400);
}

TEST(ReaderProperties, CommandLinesGiveCheckedOptionsOrOneRefusal) {
  CheckAll("options", tvfuzz::CheckOptionBytes, 400);
}

}  // namespace
