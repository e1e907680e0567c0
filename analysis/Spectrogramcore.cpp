#include "Spectrogramcore.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#ifdef __SSE2__
#include <emmintrin.h>
#endif

namespace {

double Linear(double c) {
  c /= 255.0;
  return c <= 0.04045 ? c / 12.92 : std::pow((c + 0.055) / 1.055, 2.4);
}

double Lightness(const double rgb[3]) {
  const double y = 0.2126 * Linear(rgb[0]) + 0.7152 * Linear(rgb[1]) + 0.0722 * Linear(rgb[2]);
  const double f = y > 0.008856 ? std::cbrt(y) : 7.787 * y + 16.0 / 116.0;
  return 116.0 * f - 16.0;
}

std::array<uint32_t, 256> MakeColours() {
  // Our own path from black to pale yellow; its lightness rises at every point.
  static const double points[][3] = {{0, 0, 4},      {30, 12, 70},   {85, 15, 109},
                                     {136, 34, 106}, {186, 54, 85},  {227, 89, 51},
                                     {249, 140, 10}, {249, 201, 50}, {252, 255, 164}};
  constexpr int n = sizeof(points) / sizeof(points[0]);
  auto mix = [&](int seg, double t, double out[3]) {
    for (int c = 0; c < 3; ++c)
      out[c] = points[seg][c] + t * (points[seg + 1][c] - points[seg][c]);
  };
  double lightness[n];
  for (int i = 0; i < n; ++i)
    lightness[i] = Lightness(points[i]);
  std::array<uint32_t, 256> table{};
  for (int i = 0; i < 256; ++i) {
    // Equal steps of lightness along the path: find the segment, then the point on it.
    const double target = lightness[0] + (lightness[n - 1] - lightness[0]) * i / 255.0;
    int seg = 0;
    while (seg < n - 2 && lightness[seg + 1] < target)
      ++seg;
    double lo = 0, hi = 1, rgb[3];
    for (int k = 0; k < 40; ++k) {
      const double mid = 0.5 * (lo + hi);
      mix(seg, mid, rgb);
      (Lightness(rgb) < target ? lo : hi) = mid;
    }
    mix(seg, 0.5 * (lo + hi), rgb);
    uint32_t v = 0xff000000u;
    for (int c = 0; c < 3; ++c)
      v |= static_cast<uint32_t>(std::clamp(std::lround(rgb[c]), 0L, 255L)) << (16 - 8 * c);
    table[i] = v;
  }
  return table;
}

int64_t FloorDiv(int64_t a, int64_t b) {
  const int64_t q = a / b;
  return (a % b != 0 && (a < 0) != (b < 0)) ? q - 1 : q;
}
int64_t CeilDiv(int64_t a, int64_t b) {
  return -FloorDiv(-a, b);
}

}  // namespace

StoredLevel StoreLevel(double dB) {
  const double v = dB * 100.0;
  // Written so that NaN takes the lower branch; the offset makes truncation a rounding.
  const double c = v > -32767.0 ? (v < 32767.0 ? v : 32767.0) : -32767.0;
  return static_cast<StoredLevel>(static_cast<int>(c + 32768.5) - 32768);
}

void StoreLevels(const double* dB, StoredLevel* out, int n) {
  int k = 0;
#ifdef __SSE2__
  // The same operations as StoreLevel, eight at a time. maxpd returns its second operand when
  // the first is NaN, which is StoreLevel's lower branch; the sums lie in [1.5, 65535.5], so
  // truncation to int32 and the saturating pack are exact.
  const __m128d hundred = _mm_set1_pd(100.0), lo = _mm_set1_pd(-32767.0), hi = _mm_set1_pd(32767.0),
                offset = _mm_set1_pd(32768.5);
  const __m128i bias = _mm_set1_epi32(32768);
  auto two = [&](const double* p) {
    const __m128d v = _mm_mul_pd(_mm_loadu_pd(p), hundred);
    const __m128d c = _mm_min_pd(_mm_max_pd(v, lo), hi);
    return _mm_cvttpd_epi32(_mm_add_pd(c, offset));  // two int32 in the low half
  };
  for (; k + 8 <= n; k += 8) {
    const __m128i a = _mm_sub_epi32(_mm_unpacklo_epi64(two(dB + k), two(dB + k + 2)), bias);
    const __m128i b = _mm_sub_epi32(_mm_unpacklo_epi64(two(dB + k + 4), two(dB + k + 6)), bias);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + k), _mm_packs_epi32(a, b));
  }
#endif
  for (; k < n; ++k)
    out[k] = StoreLevel(dB[k]);
}

const std::array<uint32_t, 256>& SpectrogramColours() {
  static const std::array<uint32_t, 256> table = MakeColours();
  return table;
}

void LevelColours::Set(double floorDb, double ceilingDb) {
  if (!std::isfinite(floorDb)) floorDb = -120.0;
  if (!std::isfinite(ceilingDb)) ceilingDb = 0.0;
  floor_ = std::clamp(floorDb, -kLimit, kLimit - 1.0);
  ceiling_ = std::clamp(ceilingDb, -kLimit, kLimit);
  if (ceiling_ <= floor_) ceiling_ = floor_ + 1.0;
  floorStored_ = floor_ * 100.0;
  scale_ = 256.0 / ((ceiling_ - floor_) * 100.0);
}

// ---- row map

double SpectrogramRowMap::Fraction(double f) const {
  if (scale_ == FrequencyScale::Logarithmic) return f > 0 ? std::log(f / low_) / span_ : -1e300;
  return (f - low_) / span_;
}

double SpectrogramRowMap::Y(double f) const {
  return rows_ * (1.0 - Fraction(f));
}

double SpectrogramRowMap::FrequencyAt(double y) const {
  const double u = 1.0 - y / rows_;
  if (scale_ == FrequencyScale::Logarithmic) return low_ * std::exp(u * span_);
  return low_ + u * span_;
}

int SpectrogramRowMap::RowOf(double f) const {
  if (rows_ <= 0 || !(f >= low_ && f <= high_)) return -1;
  const double y = Y(f);
  return std::clamp(static_cast<int>(y), 0, rows_ - 1);
}

void SpectrogramRowMap::Build(const double* frequency, int bins, int rows, FrequencyScale scale,
                              double low, double high) {
  rows_ = std::max(rows, 0);
  scale_ = scale;
  low_ = low;
  high_ = high;
  span_ = scale == FrequencyScale::Logarithmic ? std::log(high / low) : high - low;
  first_.assign(rows_, 0);
  count_.assign(rows_, 0);
  if (rows_ == 0 || bins <= 0 || !frequency) return;

  // Bins inside the limits, each in the row it falls in.
  int inFirst = -1, inLast = -1;
  for (int k = 0; k < bins; ++k) {
    const int r = RowOf(frequency[k]);
    if (r < 0) continue;
    if (inFirst < 0) inFirst = k;
    inLast = k;
    if (count_[r] == 0) first_[r] = k;
    count_[r] = k - first_[r] + 1;
  }
  // Rows without a bin of their own take the nearest bin on the axis, from inside the limits
  // when there is one there.
  int lo = inFirst, hi = inLast;
  if (lo < 0) {
    lo = 0;
    hi = bins - 1;
  }
  if (scale == FrequencyScale::Logarithmic)
    while (lo < hi && !(frequency[lo] > 0))
      ++lo;
  for (int r = 0; r < rows_; ++r) {
    if (count_[r] > 0) continue;
    const double centre = FrequencyAt(r + 0.5);
    // First bin at or above the centre, then the nearer of it and the one below.
    const double* it = std::lower_bound(frequency + lo, frequency + hi + 1, centre);
    int k = static_cast<int>(it - frequency);
    if (k > hi) k = hi;
    if (k > lo &&
        std::abs(Y(frequency[k - 1]) - (r + 0.5)) <= std::abs(Y(frequency[k]) - (r + 0.5)))
      --k;
    first_[r] = k;
    count_[r] = 1;
  }
}

void SpectrogramRowMap::Apply(const StoredLevel* column, StoredLevel* rows) const {
  for (int r = 0; r < rows_; ++r) {
    const StoredLevel* p = column + first_[r];
    const int n = count_[r];
    StoredLevel m = n > 0 ? p[0] : kNoLevel;
    for (int i = 1; i < n; ++i)
      m = std::max(m, p[i]);
    rows[r] = m;
  }
}

// ---- history

void LevelHistory::Reset(int bins, int channels, int capacity) {
  bins_ = std::max(bins, 0);
  channels_ = std::clamp(channels, 1, 2);
  capacity_ = std::max(capacity, 1);
  next_ = 0;
  levels_.assign(static_cast<size_t>(capacity_) * channels_ * bins_, kNoLevel);
  present_.assign(capacity_, 0);
}

void LevelHistory::SetCapacity(int capacity) {
  capacity = std::max(capacity, 1);
  if (capacity == capacity_) return;
  std::vector<StoredLevel> levels(static_cast<size_t>(capacity) * channels_ * bins_, kNoLevel);
  std::vector<uint8_t> present(capacity, 0);
  const size_t column = static_cast<size_t>(channels_) * bins_;
  for (int64_t b = std::max(Oldest(), next_ - capacity); b < next_; ++b) {
    const size_t from = static_cast<size_t>(b % capacity_), to = static_cast<size_t>(b % capacity);
    present[to] = present_[from];
    std::memcpy(&levels[to * column], &levels_[from * column], column * sizeof(StoredLevel));
  }
  levels_.swap(levels);
  present_.swap(present);
  capacity_ = capacity;
}

void LevelHistory::Push(const double* left, const double* right) {
  const size_t slot = static_cast<size_t>(next_ % capacity_);
  StoredLevel* out = &levels_[slot * channels_ * bins_];
  for (int c = 0; c < channels_; ++c) {
    const double* in = c == 0 || !right ? left : right;
    StoreLevels(in, out + static_cast<size_t>(c) * bins_, bins_);
  }
  present_[slot] = 1;
  ++next_;
}

void LevelHistory::Skip(int64_t blocks) {
  if (blocks <= 0) return;
  const int64_t marked = std::min<int64_t>(blocks, capacity_);
  for (int64_t i = 0; i < marked; ++i)
    present_[static_cast<size_t>((next_ + blocks - marked + i) % capacity_)] = 0;
  next_ += blocks;
}

const StoredLevel* LevelHistory::Column(int64_t block, int channel) const {
  if (block < Oldest() || block >= next_ || channel < 0 || channel >= channels_) return nullptr;
  const size_t slot = static_cast<size_t>(block % capacity_);
  if (!present_[slot]) return nullptr;
  return &levels_[(slot * channels_ + channel) * bins_];
}

// ---- spectrogram

Spectrogram::Spectrogram() {
  SetSize(1, 1);
}

void Spectrogram::SetScale(FrequencyScale scale) {
  if (scale == scale_) return;
  scale_ = scale;
  layoutValid_ = false;
}

void Spectrogram::SetFrequencyLimits(double low, double high) {
  if (low == wantedLow_ && high == wantedHigh_) return;
  wantedLow_ = low;
  wantedHigh_ = high;
  layoutValid_ = false;
}

void Spectrogram::SetLevelRange(double floorDb, double ceilingDb) {
  const LevelColours before = colours_;
  colours_.Set(floorDb, ceilingDb);
  if (colours_.Floor() != before.Floor() || colours_.Ceiling() != before.Ceiling())
    imageValid_ = false;
}

void Spectrogram::SetHistorySeconds(double seconds) {
  if (!(seconds > 0) || seconds == historySeconds_) return;
  historySeconds_ = seconds;
  UpdateCapacity();
}

void Spectrogram::SetChannelView(ChannelView view) {
  if (view == view_) return;
  view_ = view;
  layoutValid_ = false;
}

void Spectrogram::SetSize(int width, int height) {
  width = std::max(width, 1);
  height = std::max(height, 1);
  if (width == width_ && height == height_ && !pixels_.empty()) return;
  width_ = width;
  height_ = height;
  pixels_.assign(static_cast<size_t>(width_) * height_, kNoDataColour);
  layoutValid_ = false;
  UpdateCapacity();
}

void Spectrogram::UpdateCapacity() {
  const double rate = blockSeconds_ > 0 ? 1.0 / blockSeconds_ : 0.0;
  capacity_ = std::max<int64_t>(1, std::llround(historySeconds_ * rate));
  // Enough blocks for every slot on the screen, the partly shown oldest one included.
  const int64_t held = capacity_ + CeilDiv(capacity_, width_) + 2;
  if (bins_ > 0) history_.SetCapacity(static_cast<int>(std::min<int64_t>(held, 1 << 30)));
  imageValid_ = false;
}

int Spectrogram::Plots() const {
  return view_ == ChannelView::Both && history_.Channels() == 2 ? 2 : 1;
}

int Spectrogram::PlotHeight() const {
  return Plots() == 2 ? std::max(1, (height_ - kPlotGap) / 2) : height_;
}

int Spectrogram::PlotTop(int plot) const {
  return plot == 0 ? 0 : height_ - PlotHeight();
}

int Spectrogram::PlotChannel(int plot) const {
  if (history_.Channels() < 2) return 0;
  if (view_ == ChannelView::Both) return plot;
  return view_ == ChannelView::Right ? 1 : 0;
}

void Spectrogram::EnsureLayout() {
  if (layoutValid_) return;
  double low = std::min(wantedLow_, wantedHigh_), high = std::max(wantedLow_, wantedHigh_);
  const double nyquist = samplingRate_ > 0 ? samplingRate_ * 0.5 : 0;
  if (nyquist > 0 && high > nyquist) high = nyquist;
  if (scale_ == FrequencyScale::Logarithmic && !(low > 0)) low = 10.0;
  if (!(high > low)) {
    // Limits that span nothing: show from the lower one to half the rate, or a decade.
    high = nyquist > low ? nyquist : (scale_ == FrequencyScale::Logarithmic ? low * 10 : low + 1);
  }
  low_ = low;
  high_ = high;
  map_.Build(frequency_.data(), bins_, PlotHeight(), scale_, low_, high_);
  for (auto& a : acc_)
    a.assign(PlotHeight(), kNoLevel);
  rows_.assign(PlotHeight(), kNoLevel);
  layoutValid_ = true;
  imageValid_ = false;
}

const SpectrogramRowMap& Spectrogram::RowMap() {
  EnsureLayout();
  return map_;
}

bool Spectrogram::Add(const SpectrumBlock& block) {
  if (block.Bins <= 0 || !block.LevelL || !(block.SamplingRate > 0) || !(block.FFTLength > 0))
    return false;
  const int channels = block.NumChannels == 2 && block.LevelR ? 2 : 1;
  if (block.Bins != bins_ || block.SamplingRate != samplingRate_ || block.FFTLength != fftLength_ ||
      channels != history_.Channels()) {
    bins_ = block.Bins;
    samplingRate_ = block.SamplingRate;
    fftLength_ = block.FFTLength;
    blockSeconds_ = fftLength_ / samplingRate_;
    frequency_.resize(bins_);
    for (int k = 0; k < bins_; ++k)
      frequency_[k] = block.Frequency ? block.Frequency[k] : k * (samplingRate_ / fftLength_);
    history_.Reset(bins_, channels, 1);
    UpdateCapacity();
    layoutValid_ = false;
    rendered_ = 0;
    accSlot_ = -1;
  }
  history_.Push(block.LevelL, channels == 2 ? block.LevelR : nullptr);
  return true;
}

void Spectrogram::Skip(int64_t blocks) {
  if (bins_ > 0) history_.Skip(blocks);
}

void Spectrogram::Clear() {
  if (bins_ > 0) history_.Reset(bins_, history_.Channels(), history_.Capacity());
  rendered_ = 0;
  accSlot_ = -1;
  imageValid_ = false;
}

int64_t Spectrogram::SlotOf(int64_t block) const {
  return FloorDiv(block * width_, capacity_);
}

int64_t Spectrogram::SlotEnd(int64_t block) const {
  return std::max(SlotOf(block) + 1, SlotOf(block + 1));
}

int64_t Spectrogram::RightSlot() const {
  const int64_t n = history_.Next();
  return n > 0 ? SlotEnd(n - 1) - 1 : -1;
}

Spectrogram::SlotBlocks Spectrogram::BlocksOf(int64_t slot) const {
  int64_t first = CeilDiv(slot * capacity_, width_);
  const int64_t end = CeilDiv((slot + 1) * capacity_, width_);
  if (first == end) first = end - 1;  // a block wider than a slot
  return {first, end};
}

int Spectrogram::ColumnOf(int64_t slot) const {
  const int64_t c = slot % width_;
  return static_cast<int>(c < 0 ? c + width_ : c);
}

int Spectrogram::RightColumn() const {
  return ColumnOf(RightSlot());
}

double Spectrogram::XOfSeconds(double t) const {
  if (!(blockSeconds_ > 0)) return width_ + t * width_ / historySeconds_;
  return width_ + t / blockSeconds_ * width_ / static_cast<double>(capacity_);
}

void Spectrogram::WriteColumns(int plot, int64_t first, int64_t end, const StoredLevel* rows) {
  // Row by row, so that a block wider than a column fills a run of neighbouring pixels per row
  // rather than a pass over every row per column.
  const int count = static_cast<int>(std::min<int64_t>(end - first, width_));
  if (count <= 0) return;
  const int c0 = ColumnOf(first);
  const int run1 = std::min(count, width_ - c0), run2 = count - run1;
  uint32_t* p = &pixels_[static_cast<size_t>(PlotTop(plot)) * width_];
  const int h = PlotHeight();
  const uint32_t* table = SpectrogramColours().data();
  for (int r = 0; r < h; ++r, p += width_) {
    const uint32_t colour = rows[r] == kNoLevel ? kNoDataColour : table[colours_.Index(rows[r])];
    if (run1 == 1) {
      p[c0] = colour;
      continue;
    }
    std::fill(p + c0, p + c0 + run1, colour);
    std::fill(p, p + run2, colour);
  }
}

void Spectrogram::SlotLevels(int64_t slot, int plot, StoredLevel* rows) {
  const int h = PlotHeight();
  std::fill(rows, rows + h, kNoLevel);
  if (slot < 0) return;
  const SlotBlocks blocks = BlocksOf(slot);
  const int channel = PlotChannel(plot);
  for (int64_t b = blocks.first; b < blocks.end; ++b) {
    const StoredLevel* column = history_.Column(b, channel);
    if (!column) continue;
    map_.Apply(column, rows_.data());
    for (int r = 0; r < h; ++r)
      rows[r] = std::max(rows[r], rows_[r]);
  }
}

void Spectrogram::FullRender() {
  const int64_t right = RightSlot();
  if (Plots() == 2) {
    const size_t top = static_cast<size_t>(PlotHeight()) * width_;
    std::fill(pixels_.begin() + top, pixels_.end() - top, kPlotGapColour);
  }
  for (int plot = 0; plot < Plots(); ++plot)
    for (int64_t s = right - width_ + 1; s <= right; ++s) {
      SlotLevels(s, plot, acc_[plot].data());
      WriteColumns(plot, s, s + 1, acc_[plot].data());
    }
  accSlot_ = right;
  rendered_ = history_.Next();
  imageValid_ = true;
}

void Spectrogram::DrawBlock(int64_t block) {
  const int64_t first = SlotOf(block), end = SlotEnd(block);
  const int h = PlotHeight();
  const bool fresh = first != accSlot_;
  for (int plot = 0; plot < Plots(); ++plot) {
    std::vector<StoredLevel>& acc = acc_[plot];
    const StoredLevel* column = history_.Column(block, PlotChannel(plot));
    if (column)
      map_.Apply(column, rows_.data());
    else
      std::fill(rows_.begin(), rows_.end(), kNoLevel);
    // Several blocks in one slot: the slot shows the loudest of them, row by row.
    if (fresh)
      std::copy(rows_.begin(), rows_.end(), acc.begin());
    else
      for (int r = 0; r < h; ++r)
        acc[r] = std::max(acc[r], rows_[r]);
    WriteColumns(plot, first, end, acc.data());
  }
  accSlot_ = end - 1;
}

bool Spectrogram::RedrawPending() const {
  const int64_t n = history_.Next();
  return !layoutValid_ || !imageValid_ || n < rendered_ || n - rendered_ > capacity_;
}

void Spectrogram::Render() {
  EnsureLayout();
  const int64_t n = history_.Next();
  if (!imageValid_ || n < rendered_ || n - rendered_ > capacity_) {
    FullRender();
    return;
  }
  for (int64_t b = rendered_; b < n; ++b)
    DrawBlock(b);
  rendered_ = n;
}

Spectrogram::Reading Spectrogram::At(int x, int y) {
  EnsureLayout();
  Reading reading;
  if (x < 0 || x >= width_ || y < 0 || y >= height_) return reading;
  int plot = -1;
  for (int p = 0; p < Plots(); ++p)
    if (y >= PlotTop(p) && y < PlotTop(p) + PlotHeight()) plot = p;
  if (plot < 0) return reading;
  const int row = y - PlotTop(plot);
  const int64_t slot = RightSlot() - (width_ - 1 - x);
  reading.inside = true;
  reading.channel = PlotChannel(plot);
  reading.frequency = map_.FrequencyAt(row + 0.5);
  reading.seconds = (BlocksOf(slot).first - history_.Next()) * blockSeconds_;
  std::vector<StoredLevel> rows(PlotHeight());
  SlotLevels(slot, plot, rows.data());
  if (rows[row] != kNoLevel) {
    reading.hasLevel = true;
    reading.level = StoredDb(rows[row]);
  }
  return reading;
}
