// A placeable Windows metafile of whatever is painted on it.
//
// WmfPaintDevice is a paint device of a size in pixels at 96 dots per inch;
// painting on it records pens, brushes, fonts (Cyrillic character set, text in
// code page 1251), polylines, polygons, rectangles, ellipses and text as
// metafile records, in logical units of a tenth of a pixel. Pictures (pixmaps)
// are recorded as rectangles of their average colour. Bytes() gives the file:
// the placeable header with its checksum, the standard header with the true
// record and object counts, the records and the end record.
#pragma once

#include <QPaintDevice>
#include <QSize>

#include <memory>
#include <string>

class WmfPaintEngine;

class WmfPaintDevice : public QPaintDevice {
public:
    // Logical units per pixel: coordinates are kept to a tenth of a pixel.
    static constexpr int UnitsPerPixel = 10;

    explicit WmfPaintDevice(QSize pixels);
    ~WmfPaintDevice() override;

    QPaintEngine* paintEngine() const override;
    // The complete file; valid once painting has ended.
    std::string Bytes() const;

protected:
    int metric(PaintDeviceMetric metric) const override;

private:
    QSize FPixels;
    std::unique_ptr<WmfPaintEngine> FEngine;
};

// The checksum of a placeable header: the XOR of its first ten 16-bit words.
unsigned short PlaceableChecksum(const unsigned char* header);
