// Draws our SVG symbols at build time, at the pixel sizes the first window and the tray show,
// into a C++ source of byte arrays: the helper then draws its first frame without loading an
// SVG renderer. A symbol is drawn in black and kept as its alpha, one byte a pixel, to be tinted
// when shown; the application icon keeps its own colours (RGBA, premultiplied).
//   kestrova-draw-symbols OUTPUT.cpp ICON.svg SIZES [SYMBOL.svg SIZES]...
// SIZES are comma-separated pixel counts.
#include <QFile>
#include <QFileInfo>
#include <QImage>
#include <QList>
#include <QPainter>
#include <QSaveFile>
#include <QStringList>
#include <QSvgRenderer>
#include <QTextStream>

#include <cstdio>

namespace {

QList<int> sizesOf(const QString& list) {
    QList<int> sizes;
    for (const QString& size : list.split(u',')) {
        sizes.append(size.toInt());
    }
    return sizes;
}

QImage draw(const QByteArray& svg, int pixels) {
    QSvgRenderer renderer(svg);
    QImage image(pixels, pixels, QImage::Format_RGBA8888_Premultiplied);
    image.fill(Qt::transparent);
    QPainter painter(&image);
    renderer.render(&painter);
    return image;
}

// The bytes of one drawing: the alpha alone for a symbol, every channel for the icon.
QByteArray bytesOf(const QImage& image, bool coloured) {
    if (coloured) {
        return {reinterpret_cast<const char*>(image.constBits()),
                static_cast<qsizetype>(image.sizeInBytes())};
    }
    const QImage alpha = image.convertToFormat(QImage::Format_Alpha8);
    QByteArray bytes;
    for (int row = 0; row < alpha.height(); ++row) {
        bytes.append(reinterpret_cast<const char*>(alpha.constScanLine(row)), alpha.width());
    }
    return bytes;
}

} // namespace

int main(int argc, char* argv[]) {
    if (argc < 4 || argc % 2 != 0) {
        std::fputs("usage: kestrova-draw-symbols OUTPUT.cpp ICON.svg SIZES [SYMBOL.svg SIZES]...\n",
                   stderr);
        return 2;
    }
    QString arrays;
    QString table;
    QTextStream arraysOut(&arrays);
    QTextStream tableOut(&table);
    int drawn = 0;
    for (int i = 2; i < argc; i += 2) {
        const QString path = QString::fromLocal8Bit(argv[i]);
        QFile file(path);
        if (!file.open(QIODevice::ReadOnly)) {
            std::fprintf(stderr, "kestrova-draw-symbols: cannot read %s\n", argv[i]);
            return 1;
        }
        const bool coloured = i == 2;
        QByteArray svg = file.readAll();
        svg.replace("currentColor", "#000000");
        const QString name = QFileInfo(path).completeBaseName();
        for (const int pixels : sizesOf(QString::fromLocal8Bit(argv[i + 1]))) {
            const QByteArray bytes = bytesOf(draw(svg, pixels), coloured);
            arraysOut << "constexpr unsigned char k" << drawn << "[] = {";
            for (const char byte : bytes) {
                arraysOut << static_cast<unsigned char>(byte) << ',';
            }
            arraysOut << "};\n";
            tableOut << "    {\"" << name << "\", " << pixels << ", "
                     << (coloured ? "true" : "false") << ", k" << drawn << "},\n";
            ++drawn;
        }
    }
    QSaveFile output(QString::fromLocal8Bit(argv[1]));
    if (!output.open(QIODevice::WriteOnly)) {
        std::fprintf(stderr, "kestrova-draw-symbols: cannot write %s\n", argv[1]);
        return 1;
    }
    QTextStream out(&output);
    out << "// Drawn by kestrova-draw-symbols from resources/icons at build time.\n"
        << "#include \"app/DrawnSymbols.h\"\n\nnamespace {\n\n"
        << arrays << "\nconstexpr DrawnSymbol kDrawn[] = {\n"
        << table << "};\n\n} // namespace\n\n"
        << "std::span<const DrawnSymbol> drawnSymbols() {\n    return kDrawn;\n}\n";
    out.flush();
    return output.commit() ? 0 : 1;
}
