#include "Spectrogramimage.h"

#include <QBuffer>
#include <QFile>
#include <QFileInfo>
#include <QFont>
#include <QGuiApplication>
#include <QImageWriter>
#include <QPainter>
#include <algorithm>
#include <cmath>
#include <string>

#include "Spectrumtable.h"

namespace {

const QColor kBackground(0xf0, 0xf0, 0xf0);

QFont LabelFont() {
  QFont f = QGuiApplication::font();
  f.setPixelSize(10);
  return f;
}

QString FrequencyText(double f) {
  if (f >= 1000) return QString::number(f / 1000.0, 'g', 4) + "k";
  return QString::number(f, 'g', 4);
}

// The first of 1, 2, 5 x 10^k not below wanted.
double NiceStep(double wanted) {
  if (!(wanted > 0)) return 1;
  const double decade = std::pow(10.0, std::floor(std::log10(wanted)));
  for (double m : {1.0, 2.0, 5.0, 10.0})
    if (m * decade >= wanted * (1 - 1e-9)) return m * decade;
  return 10 * decade;
}

std::vector<double> FrequencyLabels(const SpectrogramRowMap& map, bool log, double low,
                                    double high) {
  std::vector<double> values;
  const int h = map.Rows();
  if (h < 20) return values;
  // Log axis: the decades, then 2 and 5 times them where they leave room.
  if (log) {
    for (double m : {1.0, 2.0, 5.0}) {
      std::vector<double> more = values;
      for (double d = std::pow(10.0, std::floor(std::log10(low))); d <= high; d *= 10)
        if (m * d >= low && m * d <= high) more.push_back(m * d);
      std::sort(more.begin(), more.end());
      bool room = true;
      for (size_t i = 1; i < more.size(); ++i)
        room = room && std::abs(map.Y(more[i]) - map.Y(more[i - 1])) >= 14;
      if (!room && !values.empty()) break;
      values = more;
    }
    return values;
  }
  const double step = NiceStep((high - low) * 24.0 / h);
  for (double f = std::ceil(low / step) * step; f <= high * (1 + 1e-12); f += step)
    values.push_back(f);
  return values;
}

}  // namespace

QRect SpectrogramPlotRect(const QSize& picture) {
  return QRect(kSpectrogramMarginLeft, kSpectrogramMarginTop,
               std::max(1, picture.width() - kSpectrogramMarginLeft - kSpectrogramMarginRight),
               std::max(1, picture.height() - kSpectrogramMarginTop - kSpectrogramMarginBottom));
}

QSize SpectrogramPictureSize(int plotWidth, int plotHeight) {
  return QSize(plotWidth + kSpectrogramMarginLeft + kSpectrogramMarginRight,
               plotHeight + kSpectrogramMarginTop + kSpectrogramMarginBottom);
}

void DrawSpectrogramFrame(QPainter& p, Spectrogram& s, const QRect& plot) {
  p.save();
  p.setFont(LabelFont());
  p.fillRect(p.window(), kBackground);
  p.setPen(Qt::black);
  const QFontMetrics fm(p.font());
  const int half = fm.ascent() / 2;
  const SpectrogramRowMap& map = s.RowMap();

  // Frequency, per plot.
  for (int plot_i = 0; plot_i < s.Plots(); ++plot_i) {
    const int top = plot.top() + s.PlotTop(plot_i);
    for (double f : FrequencyLabels(map, s.Scale() == FrequencyScale::Logarithmic, s.LowFrequency(),
                                    s.HighFrequency())) {
      const int y = top + std::clamp(static_cast<int>(std::lround(map.Y(f))), 0, map.Rows());
      p.drawLine(plot.left() - 4, y, plot.left() - 1, y);
      const QString text = FrequencyText(f);
      p.drawText(plot.left() - 6 - fm.horizontalAdvance(text), y + half, text);
    }
    if (s.Channels() == 2) {
      const QString name = s.PlotChannel(plot_i) == 0 ? "L" : "R";
      QFont bold = p.font();
      bold.setBold(true);
      p.setFont(bold);
      p.drawText(2, top + fm.ascent(), name);
      p.setFont(LabelFont());
    }
  }
  p.drawText(2, plot.bottom() + 14 + fm.ascent(), "Hz");

  // Time: seconds before the newest block, 0 at the right edge.
  const double history = s.HistorySeconds();
  double step = 1;
  for (double candidate : {0.5, 1.0, 2.0, 5.0, 10.0, 15.0, 20.0, 30.0, 60.0, 120.0, 300.0}) {
    step = candidate;
    if (plot.width() * candidate / history >= 48) break;
  }
  for (int i = 0;; ++i) {
    const double t = -i * step;
    const double x = s.XOfSeconds(t);
    if (x < -0.5) break;
    const int px = plot.left() + std::clamp(static_cast<int>(std::lround(x)), 0, plot.width());
    p.drawLine(px, plot.bottom() + 1, px, plot.bottom() + 4);
    const QString text = QString::number(t, 'g', 4);
    p.drawText(px - fm.horizontalAdvance(text) / 2, plot.bottom() + 6 + fm.ascent(), text);
  }
  const QString title = "Time (s)";
  p.drawText(plot.center().x() - fm.horizontalAdvance(title) / 2, plot.bottom() + 20 + fm.ascent(),
             title);

  // Colour bar with dB labels.
  const QRect bar(plot.right() + 10, plot.top(), 12, plot.height());
  const auto& colours = SpectrogramColours();
  for (int y = 0; y < bar.height(); ++y) {
    const int index = std::clamp(static_cast<int>((1.0 - (y + 0.5) / bar.height()) * 256), 0, 255);
    p.fillRect(bar.left(), bar.top() + y, bar.width(), 1, QColor::fromRgb(colours[index]));
  }
  p.drawRect(bar.adjusted(0, 0, -1, -1));
  const double floor = s.Colours().Floor(), ceiling = s.Colours().Ceiling();
  const double dbStep = NiceStep((ceiling - floor) * 20.0 / std::max(1, bar.height()));
  for (double v = std::ceil(floor / dbStep) * dbStep; v <= ceiling + 1e-9; v += dbStep) {
    const int y =
        bar.top() + static_cast<int>(std::lround((ceiling - v) / (ceiling - floor) * bar.height()));
    p.drawLine(bar.right() + 1, y, bar.right() + 3, y);
    p.drawText(bar.right() + 5, y + half, QString::number(v, 'g', 4));
  }
  p.drawText(bar.left(), plot.bottom() + 6 + fm.ascent(), "dB");
  p.restore();
}

void DrawSpectrogramPixels(QPainter& p, const Spectrogram& s, const QRect& plot) {
  const int w = s.Width(), h = s.Height();
  const QImage pixels(reinterpret_cast<const uchar*>(s.Pixels()), w, h, w * 4,
                      QImage::Format_RGB32);
  // The circular buffer in two pieces: after the newest column come the oldest.
  const int right = s.RightColumn();
  const int older = w - right - 1;
  if (older > 0)
    p.drawImage(QPoint(plot.left(), plot.top()), pixels, QRect(right + 1, 0, older, h));
  p.drawImage(QPoint(plot.left() + older, plot.top()), pixels, QRect(0, 0, right + 1, h));
}

QImage SpectrogramPicture(Spectrogram& s) {
  s.Render();
  QImage image(SpectrogramPictureSize(s.Width(), s.Height()), QImage::Format_RGB32);
  QPainter p(&image);
  const QRect plot = SpectrogramPlotRect(image.size());
  DrawSpectrogramFrame(p, s, plot);
  DrawSpectrogramPixels(p, s, plot);
  return image;
}

bool WriteSpectrogramPng(const QImage& image, const QString& path, QString* error) {
  // Encoded in memory first and written whole: a failed write neither leaves a part of a
  // picture nor removes the file that was there.
  QByteArray png;
  QBuffer buffer(&png);
  buffer.open(QIODevice::WriteOnly);
  QImageWriter writer(&buffer, "png");
  if (!writer.write(image)) {
    if (error) *error = QString("%1: %2").arg(path, writer.errorString());
    return false;
  }
  std::string reason;
  if (WriteFileWhole(QFile::encodeName(path).toStdString(), png.toStdString(), &reason))
    return true;
  if (error) *error = QString::fromLocal8Bit(reason);
  return false;
}

QImage RenderSpectrogram(const SpectrogramColumns& columns, const SpectrogramStyle& style) {
  Spectrogram s;
  s.SetScale(style.Scale);
  s.SetFrequencyLimits(style.LowFrequency, style.HighFrequency);
  s.SetLevelRange(style.Floor, style.Ceiling);
  s.SetChannelView(style.View);
  const int blocks = static_cast<int>(columns.Left.size());
  const int width = style.PlotWidth > 0 ? style.PlotWidth : std::max(200, blocks);
  s.SetSize(width, std::max(1, style.PlotHeight));
  if (columns.SamplingRate > 0 && columns.FFTLength > 0)
    s.SetHistorySeconds(std::max(1, blocks) * columns.FFTLength / columns.SamplingRate);
  const bool stereo = columns.NumChannels == 2 && columns.Right.size() == columns.Left.size();
  for (int b = 0; b < blocks; ++b) {
    // A short column keeps its place in time, drawn as missing.
    if (static_cast<int>(columns.Left[b].size()) < columns.Bins ||
        (stereo && static_cast<int>(columns.Right[b].size()) < columns.Bins)) {
      s.Skip(1);
      continue;
    }
    SpectrumBlock block;
    block.Bins = columns.Bins;
    block.SamplingRate = columns.SamplingRate;
    block.FFTLength = columns.FFTLength;
    block.NumChannels = stereo ? 2 : 1;
    if (static_cast<int>(columns.Frequency.size()) >= columns.Bins)
      block.Frequency = columns.Frequency.data();
    block.LevelL = columns.Left[b].data();
    block.LevelR = stereo ? columns.Right[b].data() : nullptr;
    s.Add(block);
  }
  return SpectrogramPicture(s);
}
