// Paints the desktop program's window icon (a database drum fed by a live trend line) at the
// usual icon sizes and writes them into one .ico file: small sizes as 32-bit bitmaps, which
// every reader understands, and 256 px as PNG to keep the file small.
// Usage: make_icon <output.ico> [preview.png]

#include <cstdio>

#include <QBuffer>
#include <QByteArray>
#include <QDataStream>
#include <QFile>
#include <QGuiApplication>
#include <QImage>
#include <QLinearGradient>
#include <QList>
#include <QPainter>
#include <QPainterPath>

namespace {

// Everything is drawn on a 256-unit canvas and scaled to the target size.
QImage paint_icon(int size) {
  QImage image(size, size, QImage::Format_ARGB32_Premultiplied);
  image.fill(Qt::transparent);
  QPainter p(&image);
  p.setRenderHint(QPainter::Antialiasing);
  p.scale(size / 256.0, size / 256.0);
  const bool tiny = size <= 16;

  QLinearGradient background(0, 0, 0, 256);
  background.setColorAt(0, QColor(0x2b, 0x7f, 0xb5));
  background.setColorAt(1, QColor(0x16, 0x4a, 0x72));
  p.setPen(Qt::NoPen);
  p.setBrush(background);
  p.drawRoundedRect(QRectF(8, 8, 240, 240), 44, 44);

  // Database drum, lower right.
  const QColor drum(0xf2, 0xf6, 0xf9);
  const QColor rim(0xa9, 0xc4, 0xd8);
  const QRectF body(108, 112, 118, 110);
  const double cap = 34;
  p.setBrush(drum);
  p.drawRect(QRectF(body.left(), body.top() + cap / 2, body.width(), body.height() - cap));
  p.drawEllipse(QRectF(body.left(), body.bottom() - cap, body.width(), cap));
  p.setBrush(rim);
  p.drawEllipse(QRectF(body.left(), body.top(), body.width(), cap));
  if (!tiny) {
    QPen band(rim, 8);
    band.setCapStyle(Qt::FlatCap);
    p.setPen(band);
    p.setBrush(Qt::NoBrush);
    for (double y : {body.top() + 52, body.top() + 84}) {
      p.drawArc(QRectF(body.left(), y - cap / 2, body.width(), cap), 180 * 16, 180 * 16);
    }
  }

  // Live trend line running from the upper left into the drum.
  QPainterPath trend;
  trend.moveTo(30, 150);
  trend.lineTo(62, 96);
  trend.lineTo(90, 128);
  trend.lineTo(124, 48);
  trend.lineTo(156, 92);
  QPen line(QColor(0xff, 0xb8, 0x2e), tiny ? 30 : 20);
  line.setCapStyle(Qt::RoundCap);
  line.setJoinStyle(Qt::RoundJoin);
  p.setPen(line);
  p.setBrush(Qt::NoBrush);
  p.drawPath(trend);
  if (!tiny) {
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(0xff, 0xb8, 0x2e));
    p.drawEllipse(QPointF(156, 92), 18, 18);
  }
  p.end();
  return image.convertToFormat(QImage::Format_ARGB32);
}

// A 32-bit bitmap entry: header, bottom-up BGRA rows, then the 1-bit transparency mask.
QByteArray bitmap_entry(const QImage& image) {
  const int w = image.width();
  const int h = image.height();
  const int mask_stride = ((w + 31) / 32) * 4;
  QByteArray out;
  QDataStream s(&out, QIODevice::WriteOnly);
  s.setByteOrder(QDataStream::LittleEndian);
  s << quint32(40) << qint32(w) << qint32(h * 2) << quint16(1) << quint16(32) << quint32(0)
    << quint32(w * h * 4 + mask_stride * h) << qint32(0) << qint32(0) << quint32(0) << quint32(0);
  for (int y = h - 1; y >= 0; --y) {
    const auto* line = reinterpret_cast<const QRgb*>(image.constScanLine(y));
    for (int x = 0; x < w; ++x) {
      s << quint8(qBlue(line[x])) << quint8(qGreen(line[x])) << quint8(qRed(line[x]))
        << quint8(qAlpha(line[x]));
    }
  }
  for (int y = h - 1; y >= 0; --y) {
    QByteArray row(mask_stride, '\0');
    const auto* line = reinterpret_cast<const QRgb*>(image.constScanLine(y));
    for (int x = 0; x < w; ++x) {
      if (qAlpha(line[x]) == 0) row[x / 8] = static_cast<char>(row[x / 8] | (0x80 >> (x % 8)));
    }
    s.writeRawData(row.constData(), static_cast<int>(row.size()));
  }
  return out;
}

QByteArray png_entry(const QImage& image) {
  QByteArray out;
  QBuffer buffer(&out);
  buffer.open(QIODevice::WriteOnly);
  image.save(&buffer, "PNG");
  return out;
}

}  // namespace

int main(int argc, char** argv) {
  QGuiApplication app(argc, argv);
  if (argc < 2) {
    std::fprintf(stderr, "usage: make_icon <output.ico> [preview.png]\n");
    return 2;
  }
  const QList<int> sizes = {16, 32, 48, 256};
  QList<QByteArray> entries;
  for (int size : sizes) {
    const QImage image = paint_icon(size);
    entries.append(size >= 256 ? png_entry(image) : bitmap_entry(image));
  }

  QByteArray ico;
  QDataStream s(&ico, QIODevice::WriteOnly);
  s.setByteOrder(QDataStream::LittleEndian);
  s << quint16(0) << quint16(1) << quint16(sizes.size());
  quint32 offset = 6 + 16 * static_cast<quint32>(sizes.size());
  for (qsizetype i = 0; i < sizes.size(); ++i) {
    const int size = sizes.at(i);
    // A width or height of 256 is stored as 0.
    s << quint8(size >= 256 ? 0 : size) << quint8(size >= 256 ? 0 : size) << quint8(0) << quint8(0)
      << quint16(1) << quint16(32) << quint32(entries.at(i).size()) << offset;
    offset += static_cast<quint32>(entries.at(i).size());
  }
  for (const QByteArray& entry : entries) s.writeRawData(entry.constData(), entry.size());

  QFile file(QString::fromLocal8Bit(argv[1]));
  if (!file.open(QIODevice::WriteOnly) || file.write(ico) != ico.size()) {
    std::fprintf(stderr, "cannot write %s\n", argv[1]);
    return 1;
  }
  if (argc > 2) paint_icon(256).save(QString::fromLocal8Bit(argv[2]));
  return 0;
}
