// Draws the updater's icons: a sheet of paper with a folded corner and a round blue
// badge holding a white download arrow. Writes the eight PNG sizes, a multi-size .ico,
// a small badge image and the installer banner into the directory given.
#include <QBuffer>
#include <QDir>
#include <QFile>
#include <QGuiApplication>
#include <QImage>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <QRadialGradient>
#include <cstdio>

namespace {

const QColor kBlue(0x1f, 0x6f, 0xd1);
const QColor kBlueDark(0x12, 0x4a, 0x93);

// Everything is designed on a 256 x 256 canvas and scaled.
void drawDocument(QPainter& p, bool detailed)
{
    QPainterPath sheet;
    sheet.moveTo(40, 16);
    sheet.lineTo(160, 16);
    sheet.lineTo(208, 64);
    sheet.lineTo(208, 240);
    sheet.lineTo(40, 240);
    sheet.closeSubpath();

    QLinearGradient paper(0, 16, 0, 240);
    paper.setColorAt(0, QColor(0xff, 0xff, 0xff));
    paper.setColorAt(1, QColor(0xe9, 0xed, 0xf2));
    p.setPen(QPen(QColor(0x6b, 0x74, 0x80), detailed ? 6 : 12, Qt::SolidLine, Qt::SquareCap, Qt::MiterJoin));
    p.setBrush(paper);
    p.drawPath(sheet);

    QPainterPath fold;
    fold.moveTo(160, 16);
    fold.lineTo(160, 64);
    fold.lineTo(208, 64);
    fold.closeSubpath();
    p.setBrush(QColor(0xc9, 0xd0, 0xd9));
    p.drawPath(fold);

    if (detailed) {
        // Lines of text on the page.
        p.setPen(Qt::NoPen);
        p.setBrush(QColor(0xa9, 0xb3, 0xc0));
        const int widths[] = { 90, 130, 120, 70 };
        for (int i = 0; i < 4; ++i)
            p.drawRoundedRect(QRectF(64, 84 + i * 24, widths[i], 10), 5, 5);
    }
}

void drawBadge(QPainter& p, const QPointF& centre, qreal radius)
{
    QRadialGradient fill(centre - QPointF(radius * 0.3, radius * 0.3), radius * 1.4);
    fill.setColorAt(0, kBlue.lighter(130));
    fill.setColorAt(1, kBlue);
    p.setPen(QPen(kBlueDark, radius * 0.08));
    p.setBrush(fill);
    p.drawEllipse(centre, radius, radius);

    // The arrow: a shaft and a head pointing down, on a short base line.
    const qreal u = radius / 10.0;
    QPainterPath arrow;
    arrow.moveTo(centre + QPointF(-1.8 * u, -6.0 * u));
    arrow.lineTo(centre + QPointF(1.8 * u, -6.0 * u));
    arrow.lineTo(centre + QPointF(1.8 * u, 0.0));
    arrow.lineTo(centre + QPointF(5.0 * u, 0.0));
    arrow.lineTo(centre + QPointF(0.0, 5.0 * u));
    arrow.lineTo(centre + QPointF(-5.0 * u, 0.0));
    arrow.lineTo(centre + QPointF(-1.8 * u, 0.0));
    arrow.closeSubpath();
    p.setPen(Qt::NoPen);
    p.setBrush(Qt::white);
    p.drawPath(arrow);
    p.drawRect(QRectF(centre + QPointF(-5.0 * u, 6.2 * u), QSizeF(10.0 * u, 1.8 * u)));
}

QImage drawIcon(int size)
{
    QImage image(size, size, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    p.scale(size / 256.0, size / 256.0);
    drawDocument(p, size >= 32);
    drawBadge(p, QPointF(176, 176), 72);
    p.end();
    return image;
}

QImage drawBadgeOnly(int size)
{
    QImage image(size, size, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    drawBadge(p, QPointF(size / 2.0, size / 2.0), size / 2.0 - 1);
    p.end();
    return image;
}

QImage drawBanner()
{
    QImage image(404, 64, QImage::Format_RGB32);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    QLinearGradient sky(0, 0, 404, 0);
    sky.setColorAt(0, kBlueDark);
    sky.setColorAt(1, kBlue.lighter(150));
    p.fillRect(image.rect(), sky);
    p.drawImage(QRect(8, 4, 56, 56), drawIcon(256));
    QFont font(QStringLiteral("DejaVu Sans"));
    font.setPixelSize(22);
    font.setBold(true);
    p.setFont(font);
    p.setPen(Qt::white);
    p.drawText(QRect(76, 6, 320, 30), Qt::AlignLeft | Qt::AlignVCenter, QStringLiteral("Moravel Reader"));
    font.setPixelSize(14);
    font.setBold(false);
    p.setFont(font);
    p.drawText(QRect(76, 34, 320, 24), Qt::AlignLeft | Qt::AlignVCenter, QStringLiteral("Aktualisierung"));
    p.end();
    return image;
}

// An .ico holding PNG-compressed images, one per size.
QByteArray makeIco(const QList<int>& sizes)
{
    QList<QByteArray> pngs;
    for (int size : sizes) {
        QByteArray png;
        QBuffer buffer(&png);
        buffer.open(QIODevice::WriteOnly);
        drawIcon(size).save(&buffer, "PNG");
        pngs << png;
    }
    QByteArray ico;
    auto put16 = [&ico](quint16 v) { ico.append(char(v & 0xff)).append(char(v >> 8)); };
    auto put32 = [&ico](quint32 v) { for (int i = 0; i < 4; ++i) ico.append(char((v >> (8 * i)) & 0xff)); };
    put16(0);
    put16(1); // icon
    put16(quint16(sizes.size()));
    quint32 offset = 6 + 16 * quint32(sizes.size());
    for (int i = 0; i < sizes.size(); ++i) {
        const int s = sizes.at(i);
        ico.append(char(s >= 256 ? 0 : s)).append(char(s >= 256 ? 0 : s));
        ico.append(char(0)).append(char(0)); // no palette, reserved
        put16(1);  // planes
        put16(32); // bits per pixel
        put32(quint32(pngs.at(i).size()));
        put32(offset);
        offset += quint32(pngs.at(i).size());
    }
    for (const QByteArray& png : pngs)
        ico.append(png);
    return ico;
}

bool writeFile(const QString& path, const QByteArray& data)
{
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(data) != data.size()) {
        std::fprintf(stderr, "cannot write %s\n", qPrintable(path));
        return false;
    }
    return true;
}

} // namespace

int main(int argc, char** argv)
{
    QGuiApplication app(argc, argv);
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s OUTPUT_DIR\n", argv[0]);
        return 2;
    }
    const QDir out(QString::fromLocal8Bit(argv[1]));
    const QList<int> sizes = { 16, 20, 24, 32, 48, 64, 128, 256 };
    bool ok = true;
    for (int size : sizes) {
        const QString name = QStringLiteral("MoravelReaderUpgrade-%1x%1.png").arg(size);
        ok = drawIcon(size).save(out.filePath(name), "PNG") && ok;
    }
    ok = writeFile(out.filePath(QStringLiteral("MoravelReaderUpgrade.ico")), makeIco({ 16, 24, 32, 48, 64, 256 })) && ok;
    ok = drawBadgeOnly(32).save(out.filePath(QStringLiteral("tana_32.png")), "PNG") && ok;
    ok = drawBanner().save(out.filePath(QStringLiteral("updatebaner_de_de.bmp")), "BMP") && ok;
    return ok ? 0 : 1;
}
