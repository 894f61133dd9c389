#include "WmfWriter.h"

#include "Cp1251.h"

#include <QImage>
#include <QPaintEngine>
#include <QPainterPath>
#include <QPixmap>
#include <QTextItem>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <map>
#include <tuple>
#include <vector>

namespace {

// Record functions.
enum : std::uint16_t {
    MetaEof = 0x0000,
    MetaSetBkMode = 0x0102,
    MetaSetMapMode = 0x0103,
    MetaSetPolyFillMode = 0x0106,
    MetaSetTextAlign = 0x012E,
    MetaSelectObject = 0x012D,
    MetaDeleteObject = 0x01F0,
    MetaSetTextColor = 0x0209,
    MetaSetWindowOrg = 0x020B,
    MetaSetWindowExt = 0x020C,
    MetaCreatePenIndirect = 0x02FA,
    MetaCreateFontIndirect = 0x02FB,
    MetaCreateBrushIndirect = 0x02FC,
    MetaPolygon = 0x0324,
    MetaPolyline = 0x0325,
    MetaEllipse = 0x0418,
    MetaRectangle = 0x041B,
    MetaExtTextOut = 0x0A32,
};

constexpr std::uint16_t MmAnisotropic = 8;
constexpr std::uint16_t Transparent = 1;
constexpr std::uint16_t TaBaseline = 24;
constexpr std::uint8_t RussianCharset = 204;

std::uint32_t ColorRef(const QColor& c)
{
    return static_cast<std::uint32_t>(c.red()) | static_cast<std::uint32_t>(c.green()) << 8 |
           static_cast<std::uint32_t>(c.blue()) << 16;
}

std::int16_t Clamp16(double v)
{
    return static_cast<std::int16_t>(std::clamp(std::lround(v), -32768L, 32767L));
}

} // namespace

class WmfPaintEngine : public QPaintEngine {
public:
    explicit WmfPaintEngine(QSize pixels) : QPaintEngine(QPaintEngine::AllFeatures), FPixels(pixels) {}

    bool begin(QPaintDevice*) override
    {
        FRecords.clear();
        FSlots.clear();
        FMaxObjects = 0;
        FMaxRecordWords = 0;
        FPen = FBrush = FFont = -1;
        FPenKey = {};
        FBrushKey = {};
        FFontKey = {};
        FTextColour = 0xFFFFFFFFu;
        FFillMode = 0;
        const int u = WmfPaintDevice::UnitsPerPixel;
        Record(MetaSetMapMode, {MmAnisotropic});
        Record(MetaSetWindowOrg, {0, 0});
        Record(MetaSetWindowExt, {Word(FPixels.height() * u), Word(FPixels.width() * u)});
        Record(MetaSetBkMode, {Transparent});
        Record(MetaSetTextAlign, {TaBaseline});
        return true;
    }

    bool end() override
    {
        for (int i = 0; i < static_cast<int>(FSlots.size()); ++i)
            if (FSlots[static_cast<size_t>(i)]) Record(MetaDeleteObject, {Word(i)});
        Record(MetaEof, {});
        return true;
    }

    void updateState(const QPaintEngineState& state) override
    {
        const auto flags = state.state();
        if (flags & DirtyPen) FQPen = state.pen();
        if (flags & DirtyBrush) FQBrush = state.brush();
        if (flags & DirtyFont) FQFont = state.font();
        if (flags & DirtyTransform) FTransform = state.transform();
        if (flags & DirtyBrushOrigin) FBrushOrigin = state.brushOrigin();
    }

    void drawPath(const QPainterPath& path) override
    {
        const bool fill = FQBrush.style() != Qt::NoBrush;
        SelectPen();
        SelectBrush(fill);
        if (fill) SetFillMode(path.fillRule());
        const QTransform t = Scaled();
        for (const QPolygonF& polygon : path.toSubpathPolygons(t)) {
            if (polygon.size() < 2) continue;
            if (fill) Poly(MetaPolygon, polygon);
            else Poly(MetaPolyline, polygon);
        }
    }

    void drawPolygon(const QPointF* points, int count, PolygonDrawMode mode) override
    {
        QPolygonF polygon;
        for (int i = 0; i < count; ++i) polygon << points[i];
        polygon = Scaled().map(polygon);
        SelectPen();
        if (mode == PolylineMode) {
            Poly(MetaPolyline, polygon);
            return;
        }
        const bool fill = FQBrush.style() != Qt::NoBrush;
        SelectBrush(fill);
        SetFillMode(mode == WindingMode ? Qt::WindingFill : Qt::OddEvenFill);
        if (!fill) polygon << polygon.first();
        Poly(fill ? MetaPolygon : MetaPolyline, polygon);
    }

    void drawPolygon(const QPoint* points, int count, PolygonDrawMode mode) override
    {
        std::vector<QPointF> f(points, points + count);
        drawPolygon(f.data(), count, mode);
    }

    void drawLines(const QLineF* lines, int count) override
    {
        SelectPen();
        const QTransform t = Scaled();
        for (int i = 0; i < count; ++i) Poly(MetaPolyline, QPolygonF{t.map(lines[i].p1()), t.map(lines[i].p2())});
    }

    void drawLines(const QLine* lines, int count) override
    {
        for (int i = 0; i < count; ++i) {
            const QLineF l(lines[i]);
            drawLines(&l, 1);
        }
    }

    void drawRects(const QRectF* rects, int count) override
    {
        for (int i = 0; i < count; ++i) {
            if (!FTransform.isRotating()) {
                SelectPen();
                SelectBrush(FQBrush.style() != Qt::NoBrush);
                Box(MetaRectangle, Scaled().mapRect(rects[i]));
            } else {
                QPainterPath p;
                p.addRect(rects[i]);
                drawPath(p);
            }
        }
    }

    void drawRects(const QRect* rects, int count) override
    {
        for (int i = 0; i < count; ++i) {
            const QRectF r(rects[i]);
            drawRects(&r, 1);
        }
    }

    void drawEllipse(const QRectF& r) override
    {
        if (FTransform.isRotating()) {
            QPainterPath p;
            p.addEllipse(r);
            drawPath(p);
            return;
        }
        SelectPen();
        SelectBrush(FQBrush.style() != Qt::NoBrush);
        Box(MetaEllipse, Scaled().mapRect(r));
    }

    void drawPoints(const QPointF* points, int count) override
    {
        // A point is a square of the pen's width in the pen's colour.
        const double w = std::max(1.0, FQPen.widthF());
        const QBrush saved = FQBrush;
        const QPen pen = FQPen;
        FQBrush = QBrush(FQPen.color());
        FQPen = QPen(Qt::NoPen);
        for (int i = 0; i < count; ++i) {
            const QRectF r(points[i].x() - w / 2, points[i].y() - w / 2, w, w);
            drawRects(&r, 1);
        }
        FQBrush = saved;
        FQPen = pen;
    }

    void drawPixmap(const QRectF& r, const QPixmap& pm, const QRectF& sr) override
    {
        drawImage(r, pm.toImage(), sr, Qt::AutoColor);
    }

    void drawImage(const QRectF& r, const QImage& image, const QRectF& sr, Qt::ImageConversionFlags) override
    {
        // The picture's average colour, where it is not transparent.
        const QImage part = image.copy(sr.toAlignedRect()).convertToFormat(QImage::Format_ARGB32);
        double red = 0, green = 0, blue = 0, weight = 0;
        for (int y = 0; y < part.height(); ++y)
            for (int x = 0; x < part.width(); ++x) {
                const QRgb p = part.pixel(x, y);
                const double a = qAlpha(p) / 255.0;
                red += qRed(p) * a;
                green += qGreen(p) * a;
                blue += qBlue(p) * a;
                weight += a;
            }
        if (weight < 1e-9) return;
        const QBrush saved = FQBrush;
        const QPen pen = FQPen;
        FQBrush = QBrush(QColor(int(red / weight), int(green / weight), int(blue / weight)));
        FQPen = QPen(Qt::NoPen);
        drawRects(&r, 1);
        FQBrush = saved;
        FQPen = pen;
    }

    void drawTextItem(const QPointF& p, const QTextItem& item) override
    {
        // Invisible format characters (zero-width spaces, direction marks)
        // have no place in code page 1251 and would come out as "?".
        QString text = item.text();
        text.removeIf([](QChar c) { return c.category() == QChar::Other_Format; });
        if (text.isEmpty()) return;
        const QFont font = item.font();
        const QTransform t = Scaled();
        // The text's height and angle as the transformation leaves them.
        const double scale = std::sqrt(std::fabs(t.determinant()));
        double pixels = font.pixelSize() > 0 ? font.pixelSize() : font.pointSizeF() * 96.0 / 72.0;
        const int height = -std::max(1, static_cast<int>(std::lround(pixels * scale)));
        const double degrees = std::atan2(t.m12(), t.m11()) * 180.0 / M_PI;
        const int escapement = static_cast<int>(std::lround(-degrees * 10.0));
        SelectFont(font, height, escapement);
        const std::uint32_t colour = ColorRef(FQPen.color());
        if (colour != FTextColour) {
            FTextColour = colour;
            Record(MetaSetTextColor, {Word(colour & 0xFFFF), Word(colour >> 16)});
        }
        const std::string bytes = Utf8ToCp1251Lossy(text.toStdString());
        const QPointF at = t.map(p);
        std::vector<std::uint16_t> params{Word(Clamp16(at.y())), Word(Clamp16(at.x())),
                                          Word(static_cast<int>(bytes.size())), 0};
        for (size_t i = 0; i < bytes.size(); i += 2) {
            const auto lo = static_cast<std::uint8_t>(bytes[i]);
            const auto hi = i + 1 < bytes.size() ? static_cast<std::uint8_t>(bytes[i + 1]) : 0;
            params.push_back(static_cast<std::uint16_t>(lo | hi << 8));
        }
        Record(MetaExtTextOut, params);
    }

    Type type() const override { return QPaintEngine::User; }

    std::string Bytes() const
    {
        std::string out;
        auto put16 = [&](std::uint16_t v) {
            out.push_back(static_cast<char>(v & 0xFF));
            out.push_back(static_cast<char>(v >> 8));
        };
        auto put32 = [&](std::uint32_t v) {
            put16(static_cast<std::uint16_t>(v & 0xFFFF));
            put16(static_cast<std::uint16_t>(v >> 16));
        };
        const int u = WmfPaintDevice::UnitsPerPixel;
        // Placeable header: key, handle, bounding box, units per inch, reserved, checksum.
        put32(0x9AC6CDD7u);
        put16(0);
        put16(0);
        put16(0);
        put16(Word(FPixels.width() * u));
        put16(Word(FPixels.height() * u));
        put16(Word(96 * u));
        put32(0);
        put16(PlaceableChecksum(reinterpret_cast<const unsigned char*>(out.data())));
        // Standard header: in memory, 9 words, version 3.0, size in words, objects, largest record.
        std::uint32_t words = 9;
        for (const auto& r : FRecords) words += static_cast<std::uint32_t>(r.size());
        put16(1);
        put16(9);
        put16(0x0300);
        put32(words);
        put16(static_cast<std::uint16_t>(FMaxObjects));
        put32(FMaxRecordWords);
        put16(0);
        for (const auto& r : FRecords)
            for (std::uint16_t w : r) put16(w);
        return out;
    }

private:
    static std::uint16_t Word(int v) { return static_cast<std::uint16_t>(v); }

    // Pixels of the device to logical units, after the painter's transformation.
    QTransform Scaled() const
    {
        const double u = WmfPaintDevice::UnitsPerPixel;
        return FTransform * QTransform::fromScale(u, u);
    }

    void Record(std::uint16_t function, const std::vector<std::uint16_t>& params)
    {
        std::vector<std::uint16_t> r;
        const auto size = static_cast<std::uint32_t>(3 + params.size());
        r.push_back(static_cast<std::uint16_t>(size & 0xFFFF));
        r.push_back(static_cast<std::uint16_t>(size >> 16));
        r.push_back(function);
        r.insert(r.end(), params.begin(), params.end());
        FMaxRecordWords = std::max(FMaxRecordWords, size);
        FRecords.push_back(std::move(r));
    }

    void Poly(std::uint16_t function, const QPolygonF& polygon)
    {
        // A record holds at most 16383 points; longer lines go in pieces that share an end.
        const int limit = 16000;
        const int size = static_cast<int>(polygon.size());
        for (int start = 0;;) {
            const int n = std::min(limit, size - start);
            if (n < 2) break;
            std::vector<std::uint16_t> params{Word(n)};
            for (int i = start; i < start + n; ++i) {
                params.push_back(Word(Clamp16(polygon[i].x())));
                params.push_back(Word(Clamp16(polygon[i].y())));
            }
            Record(function, params);
            if (start + n >= size) break;
            start += n - 1;
        }
    }

    void Box(std::uint16_t function, const QRectF& r)
    {
        Record(function, {Word(Clamp16(r.bottom())), Word(Clamp16(r.right())), Word(Clamp16(r.top())),
                          Word(Clamp16(r.left()))});
    }

    void SetFillMode(Qt::FillRule rule)
    {
        const std::uint16_t mode = rule == Qt::WindingFill ? 2 : 1;
        if (mode == FFillMode) return;
        FFillMode = mode;
        Record(MetaSetPolyFillMode, {mode});
    }

    // The lowest free place of the object table.
    int NewObject()
    {
        for (size_t i = 0; i < FSlots.size(); ++i)
            if (!FSlots[i]) {
                FSlots[i] = true;
                return static_cast<int>(i);
            }
        FSlots.push_back(true);
        FMaxObjects = std::max<int>(FMaxObjects, static_cast<int>(FSlots.size()));
        return static_cast<int>(FSlots.size() - 1);
    }

    // Selects a new object in place of the old one, which is then deleted.
    void Replace(int& current, int created)
    {
        Record(MetaSelectObject, {Word(created)});
        if (current >= 0) {
            Record(MetaDeleteObject, {Word(current)});
            FSlots[static_cast<size_t>(current)] = false;
        }
        current = created;
    }

    void SelectPen()
    {
        std::uint16_t style = 0;
        switch (FQPen.style()) {
        case Qt::NoPen: style = 5; break;
        case Qt::DashLine: style = 1; break;
        case Qt::DotLine: style = 2; break;
        case Qt::DashDotLine: style = 3; break;
        case Qt::DashDotDotLine: style = 4; break;
        default: style = 0; break;
        }
        if (FQPen.color().alpha() == 0) style = 5;
        const double u = WmfPaintDevice::UnitsPerPixel;
        double width = std::max(1.0, FQPen.widthF());
        if (!FQPen.isCosmetic()) width *= std::sqrt(std::fabs(FTransform.determinant()));
        const auto key = std::make_tuple(style, static_cast<int>(std::lround(width * u)), ColorRef(FQPen.color()));
        if (FPen >= 0 && key == FPenKey) return;
        FPenKey = key;
        const std::uint32_t c = std::get<2>(key);
        Record(MetaCreatePenIndirect,
               {style, Word(std::get<1>(key)), 0, Word(static_cast<int>(c & 0xFFFF)), Word(static_cast<int>(c >> 16))});
        Replace(FPen, NewObject());
    }

    void SelectBrush(bool fill)
    {
        QColor colour = FQBrush.color();
        if (const QGradient* g = FQBrush.gradient(); g && !g->stops().isEmpty()) colour = g->stops().first().second;
        const std::uint16_t style = fill && colour.alpha() != 0 ? 0 : 1; // solid or hollow
        const auto key = std::make_tuple(style, style == 0 ? ColorRef(colour) : 0u);
        if (FBrush >= 0 && key == FBrushKey) return;
        FBrushKey = key;
        const std::uint32_t c = std::get<1>(key);
        Record(MetaCreateBrushIndirect, {style, Word(static_cast<int>(c & 0xFFFF)), Word(static_cast<int>(c >> 16)), 0});
        Replace(FBrush, NewObject());
    }

    void SelectFont(const QFont& font, int height, int escapement)
    {
        const std::string face = Utf8ToCp1251Lossy(font.family().toStdString()).substr(0, 31);
        const auto key = std::make_tuple(face, height, escapement, static_cast<int>(font.weight()), font.italic(),
                                         font.underline());
        if (FFont >= 0 && key == FFontKey) return;
        FFontKey = key;
        std::vector<std::uint16_t> params{Word(height), 0, Word(escapement), Word(escapement),
                                          Word(static_cast<int>(font.weight())),
                                          static_cast<std::uint16_t>((font.italic() ? 1 : 0) | (font.underline() ? 1 : 0) << 8),
                                          static_cast<std::uint16_t>((font.strikeOut() ? 1 : 0) | RussianCharset << 8),
                                          0, // output and clipping precision
                                          0}; // quality, pitch and family
        char name[32] = {};
        std::copy(face.begin(), face.end(), name);
        for (int i = 0; i < 32; i += 2)
            params.push_back(static_cast<std::uint16_t>(static_cast<std::uint8_t>(name[i]) |
                                                        static_cast<std::uint8_t>(name[i + 1]) << 8));
        Record(MetaCreateFontIndirect, params);
        Replace(FFont, NewObject());
    }

    QSize FPixels;
    std::vector<std::vector<std::uint16_t>> FRecords;
    std::vector<bool> FSlots;
    int FMaxObjects = 0;
    std::uint32_t FMaxRecordWords = 0;
    int FPen = -1, FBrush = -1, FFont = -1;
    std::tuple<std::uint16_t, int, std::uint32_t> FPenKey;
    std::tuple<std::uint16_t, std::uint32_t> FBrushKey;
    std::tuple<std::string, int, int, int, bool, bool> FFontKey;
    std::uint32_t FTextColour = 0xFFFFFFFFu;
    std::uint16_t FFillMode = 0;
    QPen FQPen;
    QBrush FQBrush;
    QFont FQFont;
    QTransform FTransform;
    QPointF FBrushOrigin;
};

unsigned short PlaceableChecksum(const unsigned char* header)
{
    unsigned short sum = 0;
    for (int i = 0; i < 10; ++i) sum ^= static_cast<unsigned short>(header[2 * i] | header[2 * i + 1] << 8);
    return sum;
}

WmfPaintDevice::WmfPaintDevice(QSize pixels) : FPixels(pixels), FEngine(std::make_unique<WmfPaintEngine>(pixels)) {}

WmfPaintDevice::~WmfPaintDevice() = default;

QPaintEngine* WmfPaintDevice::paintEngine() const
{
    return FEngine.get();
}

std::string WmfPaintDevice::Bytes() const
{
    return FEngine->Bytes();
}

int WmfPaintDevice::metric(PaintDeviceMetric metric) const
{
    switch (metric) {
    case PdmWidth: return FPixels.width();
    case PdmHeight: return FPixels.height();
    case PdmWidthMM: return static_cast<int>(std::lround(FPixels.width() * 25.4 / 96));
    case PdmHeightMM: return static_cast<int>(std::lround(FPixels.height() * 25.4 / 96));
    case PdmNumColors: return 0x7FFFFFFF;
    case PdmDepth: return 32;
    case PdmDpiX:
    case PdmDpiY:
    case PdmPhysicalDpiX:
    case PdmPhysicalDpiY: return 96;
    case PdmDevicePixelRatio: return 1;
    case PdmDevicePixelRatioScaled: return static_cast<int>(devicePixelRatioFScale());
    default: return 0;
    }
}
