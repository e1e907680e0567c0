// Uncompressed 24-bit Windows bitmaps, written by hand so the layout is exactly the classic one.
#include <QFile>
#include <cstdint>
#include <string>
#include <vector>

#include "Chart.h"
#include "Checkedfiles.h"

namespace {
void Put16(std::vector<uint8_t>& b, size_t at, uint16_t v) {
  b[at] = v & 0xff;
  b[at + 1] = v >> 8;
}
void Put32(std::vector<uint8_t>& b, size_t at, uint32_t v) {
  for (int i = 0; i < 4; ++i)
    b[at + i] = (v >> (8 * i)) & 0xff;
}
}  // namespace

bool WriteBitmap24(const QImage& image, const QString& path, QString* error) {
  auto fail = [&](const QString& why) {
    if (error) *error = QStringLiteral("Could not save the bitmap \"%1\": %2").arg(path, why);
    return false;
  };
  if (image.isNull()) return fail(QStringLiteral("there is no picture to save."));
  const QImage rgb = image.convertToFormat(QImage::Format_RGB32);
  const int w = rgb.width(), h = rgb.height();
  const uint32_t rowBytes = (static_cast<uint32_t>(w) * 3 + 3) & ~3u;
  const uint32_t pixelBytes = rowBytes * static_cast<uint32_t>(h);
  constexpr uint32_t kHeader = 14 + 40;

  std::vector<uint8_t> data(kHeader + pixelBytes, 0);
  data[0] = 'B';
  data[1] = 'M';
  Put32(data, 2, kHeader + pixelBytes);
  Put32(data, 10, kHeader);
  Put32(data, 14, 40);
  Put32(data, 18, static_cast<uint32_t>(w));
  Put32(data, 22, static_cast<uint32_t>(h));  // positive height: rows stored bottom-up
  Put16(data, 26, 1);
  Put16(data, 28, 24);
  Put32(data, 30, 0);  // BI_RGB
  Put32(data, 34, pixelBytes);
  Put32(data, 38, 3780);  // 96 dpi
  Put32(data, 42, 3780);
  for (int y = 0; y < h; ++y) {
    const QRgb* src = reinterpret_cast<const QRgb*>(rgb.constScanLine(y));
    uint8_t* dst = data.data() + kHeader + static_cast<size_t>(h - 1 - y) * rowBytes;
    for (int x = 0; x < w; ++x) {
      dst[3 * x] = static_cast<uint8_t>(qBlue(src[x]));
      dst[3 * x + 1] = static_cast<uint8_t>(qGreen(src[x]));
      dst[3 * x + 2] = static_cast<uint8_t>(qRed(src[x]));
    }
  }

  // Written whole: a cut-off bitmap is worse than none, and a failure keeps the old file.
  const std::string file = QFile::encodeName(path).toStdString();
  std::string reason;
  if (!WriteFileWhole(file, {reinterpret_cast<const char*>(data.data()), data.size()}, &reason)) {
    if (reason.starts_with(file + ": ")) reason.erase(0, file.size() + 2);
    return fail(QString::fromLocal8Bit(reason) + QLatin1Char('.'));
  }
  return true;
}
