// The traces' segments written straight into the pixels against the painter drawing them with
// the pen the chart uses: every pixel must agree, for any slope, length and clip.
#include <gtest/gtest.h>

#include <QImage>
#include <QPainter>
#include <algorithm>
#include <random>

#include "ChartImpl.h"

namespace {

using chart_detail::CosmeticLineFits;
using chart_detail::WriteCosmeticLine;

constexpr QRgb kBack = 0xff202020u;
constexpr QRgb kInk = 0xff10e0a0u;

QImage Painted(const QSize& size, const QRect& clip, const QLine& l) {
  QImage image(size, QImage::Format_RGB32);
  image.fill(kBack);
  QPainter p(&image);
  p.setRenderHint(QPainter::Antialiasing, false);
  p.setClipRect(clip);
  QPen pen(QColor::fromRgb(kInk), 1);
  pen.setCosmetic(true);
  pen.setCapStyle(Qt::SquareCap);
  p.setPen(pen);
  p.drawLines(&l, 1);
  return image;
}

QImage Written(const QSize& size, const QRect& clip, const QLine& l) {
  QImage image(size, QImage::Format_RGB32);
  image.fill(kBack);
  WriteCosmeticLine(reinterpret_cast<QRgb*>(image.bits()), image.bytesPerLine() / 4,
                    clip & image.rect(), l, kInk & 0x00ffffffu);
  return image;
}

// The first differing pixel, for the failure message.
QString FirstDifference(const QImage& a, const QImage& b) {
  for (int y = 0; y < a.height(); ++y)
    for (int x = 0; x < a.width(); ++x)
      if (a.pixel(x, y) != b.pixel(x, y))
        return QStringLiteral("(%1,%2) painter %3 written %4")
            .arg(x)
            .arg(y)
            .arg(a.pixel(x, y) == kInk ? "set" : "clear")
            .arg(b.pixel(x, y) == kInk ? "set" : "clear");
  return {};
}

// Random segments of every kind the chart hands over: one column apart and steep (most of a
// spectrum), a few columns apart, long, flat, diagonal, single points; the clip inside the
// image, sometimes cutting the segment.
TEST(ChartLines, WrittenSegmentsArePaintersPixels) {
  std::mt19937 rng(11);
  const QSize size(97, 83);
  const QRect inner(3, 2, 90, 77);
  int mismatches = 0, checked = 0, set = 0;
  for (int i = 0; i < 30000; ++i) {
    const int kind = i % 6;
    auto coord = [&](int n) { return std::uniform_int_distribution<int>(0, n - 1)(rng); };
    const QPoint a(coord(size.width()), coord(size.height()));
    QPoint b;
    switch (kind) {
      case 0:
        b = QPoint(a.x() + (coord(2) ? 1 : -1), coord(size.height()));
        break;
      case 1:
        b = QPoint(a.x() + coord(9) - 4, a.y() + coord(41) - 20);
        break;
      case 2:
        b = QPoint(coord(size.width()), coord(size.height()));
        break;
      case 3:
        b = QPoint(a.x() + coord(41) - 20, a.y() + coord(3) - 1);
        break;
      case 4: {
        const int d = coord(40) - 20;
        b = QPoint(a.x() + d, a.y() + (coord(2) ? d : -d));
        break;
      }
      default:
        b = coord(4) ? QPoint(a.x(), coord(size.height())) : a;
        break;
    }
    b = QPoint(std::clamp(b.x(), 0, size.width() - 1), std::clamp(b.y(), 0, size.height() - 1));
    const QLine l(a, b);
    ASSERT_TRUE(CosmeticLineFits(l, size));
    const QRect clip = i % 3 ? inner : QRect(QPoint(0, 0), size);
    const QImage painted = Painted(size, clip, l), written = Written(size, clip, l);
    ++checked;
    const QRgb* px = reinterpret_cast<const QRgb*>(painted.constBits());
    set += static_cast<int>(std::count(px, px + painted.sizeInBytes() / 4, kInk));
    if (painted != written && ++mismatches <= 5)
      ADD_FAILURE() << "segment " << a.x() << "," << a.y() << " - " << b.x() << "," << b.y()
                    << " clip " << clip.x() << "," << clip.y() << " " << clip.width() << "x"
                    << clip.height() << ": " << FirstDifference(painted, written).toStdString();
  }
  EXPECT_EQ(mismatches, 0) << "of " << checked;
  EXPECT_GT(set, checked * 5) << "the painter drew the segments";
}

// Only segments with both ends in the image are written: the painter clips the others in
// floating point first.
TEST(ChartLines, OnlySegmentsInsideTheImageFit) {
  const QSize size(40, 30);
  EXPECT_TRUE(CosmeticLineFits(QLine(0, 0, 39, 29), size));
  EXPECT_FALSE(CosmeticLineFits(QLine(0, 0, 40, 29), size));
  EXPECT_FALSE(CosmeticLineFits(QLine(0, 0, 39, 30), size));
  EXPECT_FALSE(CosmeticLineFits(QLine(-1, 5, 10, 5), size));
  EXPECT_FALSE(CosmeticLineFits(QLine(3, -1, 3, 10), size));
}

}  // namespace
