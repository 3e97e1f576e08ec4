#include "band_spectrum_label.h"

#include <QGuiApplication>
#include <QMouseEvent>
#include <QPaintEngine>
#include <QPaintEvent>
#include <QPainter>
#include <QStyle>
#include <algorithm>
#include <cstdint>
#include <cstring>
#ifdef __SSE2__
#include <emmintrin.h>
#endif

namespace {

const QRgb kGreen = 0xff00ff00;  // QColor(Qt::green).rgb()

// Row y of the canvas: green where a column's line covers the row, the grid
// elsewhere. Where the CPU has SSE2 (every x86-64), four pixels at a time
// with stores that bypass the cache: the row is only written here (the
// window system reads it next), so its old contents need not be fetched.
void compose_row(QRgb* row, const QRgb* grid, const int* top, const int* bottom, int width, int y) {
    auto pixel = [&](int c) { return (y >= top[c] && y <= bottom[c]) ? kGreen : grid[c]; };
    int c = 0;
#ifdef __SSE2__
    for (; c < width && reinterpret_cast<uintptr_t>(row + c) % 16 != 0; ++c) row[c] = pixel(c);
    const __m128i y4 = _mm_set1_epi32(y);
    const __m128i green4 = _mm_set1_epi32(static_cast<int>(kGreen));
    for (; c + 4 <= width; c += 4) {
        const __m128i t = _mm_loadu_si128(reinterpret_cast<const __m128i*>(top + c));
        const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(bottom + c));
        const __m128i g = _mm_loadu_si128(reinterpret_cast<const __m128i*>(grid + c));
        const __m128i off = _mm_or_si128(_mm_cmpgt_epi32(t, y4), _mm_cmpgt_epi32(y4, b));
        _mm_stream_si128(reinterpret_cast<__m128i*>(row + c),
                         _mm_or_si128(_mm_and_si128(off, g), _mm_andnot_si128(off, green4)));
    }
    _mm_sfence();  // the streamed pixels are in memory before anyone reads them
#endif
    for (; c < width; ++c) row[c] = pixel(c);
}

// The image a painter on a widget writes to, when it is the window's own
// 32-bit buffer reached by a whole-pixel shift (else null); `offset` is then
// where the widget's origin lies in it.
QImage* window_buffer(QPainter& painter, QPoint* offset) {
    QPaintEngine* engine = painter.paintEngine();
    if (!engine || engine->type() != QPaintEngine::Raster) return nullptr;
    QPaintDevice* device = engine->paintDevice();
    if (!device || device->devType() != QInternal::Image) return nullptr;
    auto* image = static_cast<QImage*>(device);
    const QImage::Format f = image->format();
    if (f != QImage::Format_RGB32 && f != QImage::Format_ARGB32 &&
        f != QImage::Format_ARGB32_Premultiplied)
        return nullptr;
    const QTransform t = painter.deviceTransform();
    if (image->devicePixelRatio() != 1.0 || t.type() > QTransform::TxTranslate ||
        t.dx() != static_cast<int>(t.dx()) || t.dy() != static_cast<int>(t.dy()))
        return nullptr;
    *offset = QPoint(static_cast<int>(t.dx()), static_cast<int>(t.dy()));
    return image;
}

}  // namespace

SpecLabel::SpecLabel(QWidget* parent) : QLabel(parent) {
    // Report moves without a pressed button, for the live read-out.
    setMouseTracking(true);
}

void SpecLabel::mousePressEvent(QMouseEvent* event) { emit new_coord(event->y()); }

void SpecLabel::mouseMoveEvent(QMouseEvent* event) { emit new_move(event->x(), event->y()); }

void SpecLabel::set_grid(const QImage& grid) {
    grid_ = grid.convertToFormat(QImage::Format_RGB32);
    top_.assign(grid_.width(), 1);
    bottom_.assign(grid_.width(), 0);
    // The grid has a handful of distinct rows; each row reads its pixels from
    // the first row that looks the same, which stays in the cache.
    grid_row_.assign(grid_.height(), 0);
    std::vector<int> distinct;
    const size_t row_bytes = static_cast<size_t>(grid_.width()) * sizeof(QRgb);
    for (int y = 0; y < grid_.height(); ++y) {
        auto same = [&](int r) {
            return std::memcmp(grid_.constScanLine(r), grid_.constScanLine(y), row_bytes) == 0;
        };
        auto it = std::find_if(distinct.begin(), distinct.end(), same);
        if (it == distinct.end()) it = distinct.insert(distinct.end(), y);
        grid_row_[y] = *it;
    }
    update();
}

void SpecLabel::show_lines(const int* top, const int* bottom) {
    std::copy(top, top + top_.size(), top_.begin());
    std::copy(bottom, bottom + bottom_.size(), bottom_.begin());
    update(contentsRect());  // the frame stays as it is
}

void SpecLabel::compose(QRgb* row, int y, int x0, int x1) const {
    compose_row(row, reinterpret_cast<const QRgb*>(grid_.constScanLine(grid_row_[y])) + x0,
                top_.data() + x0, bottom_.data() + x0, x1 - x0, y);
}

QImage SpecLabel::picture() const {
    QImage picture(grid_.size(), QImage::Format_RGB32);
    for (int y = 0; y < picture.height(); ++y)
        compose(reinterpret_cast<QRgb*>(picture.scanLine(y)), y, 0, picture.width());
    return picture;
}

void SpecLabel::paintEvent(QPaintEvent* event) {
    if (grid_.isNull()) {
        QLabel::paintEvent(event);
        return;
    }
    // The frame (unless only the inside is repainted), then the picture where
    // the label puts a pixmap: aligned in the contents rectangle, cut to it.
    QPainter painter(this);
    if (!contentsRect().contains(event->rect())) drawFrame(&painter);
    const int m = margin();
    const QRect contents = contentsRect().adjusted(m, m, -m, -m);
    const Qt::LayoutDirection direction = QGuiApplication::layoutDirection();
    const QRect placed = QStyle::alignedRect(
        direction, QStyle::visualAlignment(direction, alignment()), grid_.size(), contents);
    const QRect shown = placed.intersected(contents);
    QPoint offset;
    QImage* buffer = window_buffer(painter, &offset);
    if (!buffer) {  // a grab, a print: through a picture
        painter.drawImage(shown.topLeft(), picture(), shown.translated(-placed.topLeft()));
        return;
    }
    // Each row of each rectangle to repaint, composed in place.
    for (const QRect& r : event->region()) {
        const QRect part = r.intersected(shown).intersected(buffer->rect().translated(-offset));
        for (int y = part.top(); y <= part.bottom(); ++y) {
            auto* row = reinterpret_cast<QRgb*>(buffer->scanLine(y + offset.y()));
            compose(row + part.left() + offset.x(), y - placed.top(), part.left() - placed.left(),
                    part.right() + 1 - placed.left());
        }
    }
}
