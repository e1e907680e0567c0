// The spectrogram without a toolkit: colour table, bin-to-row map, level history and a circular
// pixel buffer with one column per time slot, newest at the right. The window and the command
// line draw their axes around the same pixels.
#pragma once

#include <array>
#include <cstdint>
#include <vector>

#include "Spectrumconsumer.h"

enum class FrequencyScale { Linear, Logarithmic };
enum class ChannelView { Left, Right, Both };

// Levels are kept in hundredths of a dB: a history of every bin over 120 s at 96 kHz stereo
// fits in 23 MB instead of 92 MB as doubles.
using StoredLevel = int16_t;
inline constexpr StoredLevel kNoLevel = -32768;  // no block, or a block not held any more
StoredLevel StoreLevel(double dB);               // clipped to +-327.67 dB; NaN counts as the bottom
// StoreLevel of n levels at once, with the same results.
void StoreLevels(const double* dB, StoredLevel* out, int n);
inline double StoredDb(StoredLevel v) {
  return v / 100.0;
}

// 256 colours from black through purple, red and orange to pale yellow, in equal steps of
// lightness (CIE L*), so that equal level steps look equally large.
const std::array<uint32_t, 256>& SpectrogramColours();  // 0xAARRGGBB
inline constexpr uint32_t kNoDataColour = 0xff303030;
inline constexpr uint32_t kPlotGapColour = 0xfff0f0f0;

// Floor and ceiling in dB: a level at or below the floor gets the first colour, at or above
// the ceiling the last.
class LevelColours {
 public:
  static constexpr double kLimit = 300.0;
  LevelColours() { Set(-120.0, 0.0); }
  // Clipped to +-kLimit; a ceiling not above the floor is moved 1 dB above it.
  void Set(double floorDb, double ceilingDb);
  double Floor() const { return floor_; }
  double Ceiling() const { return ceiling_; }
  int Index(StoredLevel v) const {
    const double i = (v - floorStored_) * scale_;
    return i <= 0 ? 0 : (i >= 255 ? 255 : static_cast<int>(i));
  }
  uint32_t Colour(StoredLevel v) const {
    return v == kNoLevel ? kNoDataColour : SpectrogramColours()[Index(v)];
  }

 private:
  double floor_ = -120, ceiling_ = 0;
  double floorStored_ = -12000, scale_ = 256.0 / 12000.0;
};

// Which bins make up each pixel row of a plot. Row 0 is the top (the upper limit), row
// Rows()-1 the bottom (the lower limit); a bin exactly at a limit lands in that limit's row and
// bins outside the limits in none. A row wider than a bin shows the loudest of its bins; a row
// narrower than a bin shows the bin nearest to it on the axis.
class SpectrogramRowMap {
 public:
  void Build(const double* frequency, int bins, int rows, FrequencyScale scale, double low,
             double high);
  int Rows() const { return rows_; }
  int First(int row) const { return first_[row]; }
  int Count(int row) const { return count_[row]; }
  // Position from the top edge (0) to the bottom edge (Rows()) of a frequency, and back.
  double Y(double f) const;
  double FrequencyAt(double y) const;
  // The row a frequency falls in, -1 outside the limits.
  int RowOf(double f) const;
  void Apply(const StoredLevel* column, StoredLevel* rows) const;

 private:
  double Fraction(double f) const;  // 0 at the lower limit, 1 at the upper
  int rows_ = 0;
  FrequencyScale scale_ = FrequencyScale::Logarithmic;
  double low_ = 10, high_ = 22050, span_ = 1;
  std::vector<int32_t> first_, count_;
};

// The last blocks' levels, one column per block and channel, numbered from 0 on.
class LevelHistory {
 public:
  void Reset(int bins, int channels, int capacity);
  // Keeps the newest blocks that still fit.
  void SetCapacity(int capacity);
  int Bins() const { return bins_; }
  int Channels() const { return channels_; }
  int Capacity() const { return capacity_; }
  int64_t Next() const { return next_; }
  int64_t Oldest() const { return next_ > capacity_ ? next_ - capacity_ : 0; }
  void Push(const double* left, const double* right);
  // Blocks that passed without being taken (pause): held as absent.
  void Skip(int64_t blocks);
  // Null for an absent block or one no longer (or not yet) held.
  const StoredLevel* Column(int64_t block, int channel) const;

 private:
  int bins_ = 0, channels_ = 1, capacity_ = 0;
  int64_t next_ = 0;
  std::vector<StoredLevel> levels_;
  std::vector<uint8_t> present_;
};

class Spectrogram {
 public:
  static constexpr int kPlotGap = 12;  // pixels between the stacked L and R plots

  Spectrogram();

  void SetScale(FrequencyScale scale);
  FrequencyScale Scale() const { return scale_; }
  // The main window's frequency limits in Hz; the upper one is cut at half the sampling rate.
  void SetFrequencyLimits(double low, double high);
  void SetLevelRange(double floorDb, double ceilingDb);
  const LevelColours& Colours() const { return colours_; }
  void SetHistorySeconds(double seconds);
  double HistorySeconds() const { return historySeconds_; }
  void SetChannelView(ChannelView view);
  ChannelView View() const { return view_; }
  // The pixel area of the plots, both stacked ones and the gap between them included.
  void SetSize(int width, int height);

  // One block as a column. A block of another format (bins, rate, length, channels) starts a
  // new history. False for a block without levels.
  bool Add(const SpectrumBlock& block);
  void Skip(int64_t blocks);
  void Clear();
  // Draws the columns added since the last call, or everything after a change of floor,
  // ceiling, axis, limits, history, channel view or size.
  void Render();

  int Width() const { return width_; }
  int Height() const { return height_; }
  int Plots() const;
  int PlotTop(int plot) const;
  int PlotHeight() const;
  int PlotChannel(int plot) const;  // 0 left (or mono), 1 right
  int Channels() const { return history_.Channels(); }
  int64_t Blocks() const { return history_.Next(); }
  double BlockSeconds() const { return blockSeconds_; }
  double LowFrequency() const { return low_; }
  double HighFrequency() const { return high_; }
  const SpectrogramRowMap& RowMap();
  const LevelHistory& History() const { return history_; }

  // Width() x Height() pixels, row-major; column RightColumn() is shown at the right edge and
  // the columns after it (wrapping to 0) from the left edge on.
  const uint32_t* Pixels() const { return pixels_.data(); }
  int RightColumn() const;
  // The time slot at the right edge, counted from the first block of the history; -1 before it.
  // Between two Renders the picture moves left by the slots it gained, while no redraw is
  // pending: only the newest slot and the ones after it change.
  int64_t NewestSlot() const { return RightSlot(); }
  // Whether the next Render draws every column anew (a change of format, size, layout, levels
  // or history, or more blocks than the width holds since the last Render).
  bool RedrawPending() const;
  // Where t seconds before the end of the newest block lies (t <= 0), in pixels from the left.
  double XOfSeconds(double t) const;

  struct Reading {
    bool inside = false;
    int channel = 0;
    double seconds = 0;    // start of the time slot, relative to the end of the newest block
    double frequency = 0;  // centre of the row
    bool hasLevel = false;
    double level = 0;  // dB, the value the pixel shows
  };
  Reading At(int x, int y);

 private:
  struct SlotBlocks {
    int64_t first, end;
  };
  int64_t Capacity() const { return capacity_; }
  int64_t SlotOf(int64_t block) const;
  int64_t SlotEnd(int64_t block) const;
  int64_t RightSlot() const;
  SlotBlocks BlocksOf(int64_t slot) const;
  int ColumnOf(int64_t slot) const;
  void UpdateCapacity();
  void EnsureLayout();
  void FullRender();
  void DrawBlock(int64_t block);
  // The slots [first, end) (at most the width) in the colours of rows.
  void WriteColumns(int plot, int64_t first, int64_t end, const StoredLevel* rows);
  void SlotLevels(int64_t slot, int plot, StoredLevel* rows);

  FrequencyScale scale_ = FrequencyScale::Logarithmic;
  double wantedLow_ = 10, wantedHigh_ = 22050;
  double low_ = 10, high_ = 22050;
  LevelColours colours_;
  double historySeconds_ = 20;
  ChannelView view_ = ChannelView::Both;
  int width_ = 1, height_ = 1;

  // Format of the blocks held.
  int bins_ = 0;
  double samplingRate_ = 0, fftLength_ = 0, blockSeconds_ = 0;
  std::vector<double> frequency_;
  int64_t capacity_ = 1;  // blocks across the width
  LevelHistory history_;

  SpectrogramRowMap map_;
  bool layoutValid_ = false;  // row map and plot layout
  bool imageValid_ = false;   // every column drawn up to rendered_
  int64_t rendered_ = 0;
  std::vector<uint32_t> pixels_;
  // The newest slot may still take blocks: its per-row maxima so far, per plot.
  int64_t accSlot_ = -1;
  std::array<std::vector<StoredLevel>, 2> acc_;
  std::vector<StoredLevel> rows_;
};
