#include "bench/encoder/screen_clips.hpp"

#include <cairo.h>

#include <algorithm>
#include <cmath>
#include <cstring>

namespace encoder_bench {
namespace {

template <auto destroy>
struct Destroyer {
    template <class Handle>
    void operator()(Handle* handle) const { destroy(handle); }
};
using Surface = std::unique_ptr<cairo_surface_t, Destroyer<cairo_surface_destroy>>;
using Context = std::unique_ptr<cairo_t, Destroyer<cairo_destroy>>;

Surface makeSurface(int width, int height) {
    return Surface(cairo_image_surface_create(CAIRO_FORMAT_RGB24, width, height));
}

Context contextFor(const Surface& surface) { return Context(cairo_create(surface.get())); }

// The same pseudo-random sequence on every run and machine.
class Sequence {
public:
    explicit Sequence(uint32_t seed) : state_(seed) {}
    uint32_t next() {
        state_ = state_ * 1664525u + 1013904223u;
        return state_ >> 8;
    }
    int below(int limit) { return static_cast<int>(next() % static_cast<uint32_t>(limit)); }

private:
    uint32_t state_;
};

const char* const kWords[] = {
    "the",     "recording", "window",  "of",       "a",        "screen",  "frame",   "encoder", "and",
    "buffer",  "display",   "to",      "motion",   "picture",  "text",    "with",    "queue",   "in",
    "sample",  "timeline",  "is",      "every",    "captured", "second",  "pixels",  "video",   "file",
    "writer",  "on",        "colour",  "output",   "stream",   "for",     "user",    "changes", "it",
    "returns", "function",  "config",  "settings", "value",    "when",    "error",   "session", "audio"};

std::string sentence(Sequence& random, int words) {
    std::string text;
    for (int i = 0; i < words; ++i) {
        if (!text.empty()) text += ' ';
        text += kWords[random.below(static_cast<int>(std::size(kWords)))];
    }
    return text;
}

void setColour(cairo_t* cr, uint32_t rgb) {
    cairo_set_source_rgb(cr, ((rgb >> 16) & 0xFF) / 255.0, ((rgb >> 8) & 0xFF) / 255.0, (rgb & 0xFF) / 255.0);
}

void fill(cairo_t* cr, double x, double y, double width, double height, uint32_t rgb) {
    setColour(cr, rgb);
    cairo_rectangle(cr, x, y, width, height);
    cairo_fill(cr);
}

void useFont(cairo_t* cr, const char* family, double size, bool bold = false) {
    cairo_select_font_face(cr, family, CAIRO_FONT_SLANT_NORMAL, bold ? CAIRO_FONT_WEIGHT_BOLD : CAIRO_FONT_WEIGHT_NORMAL);
    cairo_set_font_size(cr, size);
}

void text(cairo_t* cr, double x, double baseline, const std::string& line, uint32_t rgb) {
    setColour(cr, rgb);
    cairo_move_to(cr, x, baseline);
    cairo_show_text(cr, line.c_str());
}

// Paragraphs of proportional text in a column; returns where the text ended.
double paragraphs(cairo_t* cr, Sequence& random, double x, double y, double width, double bottom, uint32_t rgb) {
    useFont(cr, "DejaVu Sans", 15);
    const int wordsPerLine = static_cast<int>(width / 62);
    while (y < bottom) {
        const int lines = 3 + random.below(6);
        for (int line = 0; line < lines && y < bottom; ++line, y += 22) {
            const int words = line == lines - 1 ? 2 + random.below(wordsPerLine - 1) : wordsPerLine;
            text(cr, x, y, sentence(random, words), rgb);
        }
        y += 14;
    }
    return y;
}

// A photograph stand-in: smooth colour fields with fine texture, which is what costs bits in a
// real picture.
void photo(const Surface& surface, int x0, int y0, int width, int height, uint32_t seed) {
    cairo_surface_flush(surface.get());
    uint8_t* data = cairo_image_surface_get_data(surface.get());
    const int stride = cairo_image_surface_get_stride(surface.get());
    Sequence random(seed);
    const double fx = 0.004 + random.below(100) / 20000.0, fy = 0.006 + random.below(100) / 20000.0;
    const double phase = random.below(628) / 100.0;
    for (int y = 0; y < height; ++y) {
        uint8_t* row = data + static_cast<size_t>(y0 + y) * stride + static_cast<size_t>(x0) * 4;
        for (int x = 0; x < width; ++x) {
            const double s = std::sin(x * fx + phase) + std::cos(y * fy - phase) + std::sin((x + y) * fx * 0.7);
            const int grain = static_cast<int>(random.next() % 13) - 6;
            const double sky = y < height * 0.45 ? 1.0 : 0.0;
            const int r = std::clamp(static_cast<int>(110 + 40 * s - 30 * sky) + grain, 0, 255);
            const int g = std::clamp(static_cast<int>(120 + 35 * s + 20 * sky) + grain, 0, 255);
            const int b = std::clamp(static_cast<int>(90 + 30 * s + 110 * sky) + grain, 0, 255);
            row[x * 4] = static_cast<uint8_t>(b);
            row[x * 4 + 1] = static_cast<uint8_t>(g);
            row[x * 4 + 2] = static_cast<uint8_t>(r);
        }
    }
    cairo_surface_mark_dirty(surface.get());
}

// Copies a width x height block of `from` at (fromX, fromY) to (toX, toY) of the frame, clipped to both.
void blit(const Surface& from, int fromX, int fromY, int width, int height, uint8_t* pixels, int stride, int toX,
          int toY) {
    cairo_surface_flush(from.get());
    const uint8_t* source = cairo_image_surface_get_data(from.get());
    const int sourceStride = cairo_image_surface_get_stride(from.get());
    const int sourceWidth = cairo_image_surface_get_width(from.get());
    const int sourceHeight = cairo_image_surface_get_height(from.get());
    for (int y = 0; y < height; ++y) {
        const int sy = fromY + y, dy = toY + y;
        if (sy < 0 || sy >= sourceHeight || dy < 0 || dy >= kClipHeight) continue;
        int sx = fromX, dx = toX, w = width;
        if (dx < 0) sx -= dx, w += dx, dx = 0;
        if (sx < 0) dx -= sx, w += sx, sx = 0;
        w = std::min({w, kClipWidth - dx, sourceWidth - sx});
        if (w <= 0) continue;
        std::memcpy(pixels + static_cast<size_t>(dy) * stride + static_cast<size_t>(dx) * 4,
                    source + static_cast<size_t>(sy) * sourceStride + static_cast<size_t>(sx) * 4,
                    static_cast<size_t>(w) * 4);
    }
}

void blitWhole(const Surface& from, uint8_t* pixels, int stride, int toX, int toY) {
    blit(from, 0, 0, cairo_image_surface_get_width(from.get()), cairo_image_surface_get_height(from.get()), pixels,
         stride, toX, toY);
}

// Window chrome: a title bar with a title, a thin border.
void windowFrame(cairo_t* cr, double x, double y, double width, double height, const std::string& title,
                 uint32_t background) {
    fill(cr, x - 1, y - 29, width + 2, height + 30, 0x5A5F66);
    fill(cr, x, y - 28, width, 28, 0x30353C);
    useFont(cr, "DejaVu Sans", 13, true);
    text(cr, x + 12, y - 9, title, 0xE8E8E8);
    fill(cr, x, y, width, height, background);
}

Surface wallpaper() {
    Surface surface = makeSurface(kClipWidth, kClipHeight);
    Context cr = contextFor(surface);
    cairo_pattern_t* gradient = cairo_pattern_create_linear(0, 0, kClipWidth, kClipHeight);
    cairo_pattern_add_color_stop_rgb(gradient, 0, 0.16, 0.25, 0.42);
    cairo_pattern_add_color_stop_rgb(gradient, 1, 0.42, 0.22, 0.38);
    cairo_set_source(cr.get(), gradient);
    cairo_paint(cr.get());
    cairo_pattern_destroy(gradient);
    fill(cr.get(), 0, kClipHeight - 36, kClipWidth, 36, 0x1E2126);  // a panel
    useFont(cr.get(), "DejaVu Sans", 13);
    text(cr.get(), kClipWidth - 80, kClipHeight - 13, "14:32", 0xDDDDDD);
    return surface;
}

// A document scrolled smoothly, 4 pixels a frame, under a fixed title bar.
class ScrollingText final : public ScreenClip {
public:
    ScrollingText() : page_(makeSurface(kClipWidth, kClipHeight * 4)), chrome_(makeSurface(kClipWidth, 40)) {
        Sequence random(11);
        Context cr = contextFor(page_);
        fill(cr.get(), 0, 0, kClipWidth, kClipHeight * 4, 0xFFFFFF);
        paragraphs(cr.get(), random, 360, 40, 1200, kClipHeight * 4 - 20, 0x1A1A1A);
        Context bar = contextFor(chrome_);
        fill(bar.get(), 0, 0, kClipWidth, 40, 0xECECEC);
        useFont(bar.get(), "DejaVu Sans", 14);
        text(bar.get(), 20, 26, "report.txt - Document Viewer", 0x333333);
    }
    std::string name() const override { return "scrolling text"; }
    void draw(int index, uint8_t* pixels, int stride) override {
        blitWhole(chrome_, pixels, stride, 0, 0);
        blit(page_, 0, (index * 4) % (kClipHeight * 3), kClipWidth, kClipHeight - 40, pixels, stride, 0, 40);
    }

private:
    Surface page_, chrome_;
};

// Build output pouring into a terminal (a line every other frame), beside a process list that
// refreshes every half second.
class Terminal final : public ScreenClip {
public:
    Terminal() : log_(makeSurface(kLogWidth, kLineHeight * kLogLines)), top_(makeSurface(kClipWidth - kLogWidth, kClipHeight)) {
        Sequence random(23);
        Context cr = contextFor(log_);
        fill(cr.get(), 0, 0, kLogWidth, kLineHeight * kLogLines, 0x101214);
        useFont(cr.get(), "DejaVu Sans Mono", 14);
        for (int line = 0; line < kLogLines; ++line) {
            const bool warning = random.below(9) == 0;
            std::string prefix = "[" + std::to_string(line * 100 / kLogLines) + "%] ";
            text(cr.get(), 8, line * kLineHeight + 14, prefix + (warning ? "warning: " : "Building CXX object ") +
                                                           sentence(random, 3 + random.below(6)),
                 warning ? 0xE5C07B : 0xC8CCD0);
        }
    }
    std::string name() const override { return "terminal"; }
    void draw(int index, uint8_t* pixels, int stride) override {
        const int first = std::min(index / 2, kLogLines - kRows);
        blit(log_, 0, first * kLineHeight, kLogWidth, kRows * kLineHeight, pixels, stride, 0, 0);
        if (index % 30 == 0 || index == 0) drawTop(index / 30);
        blitWhole(top_, pixels, stride, kLogWidth, 0);
    }

private:
    static constexpr int kLogWidth = 1100, kLineHeight = 18, kRows = kClipHeight / kLineHeight, kLogLines = 1200;

    void drawTop(int refresh) {
        Sequence random(1000 + static_cast<uint32_t>(refresh));
        Context cr = contextFor(top_);
        fill(cr.get(), 0, 0, kClipWidth - kLogWidth, kClipHeight, 0x0C0C0C);
        fill(cr.get(), 0, 0, 3, kClipHeight, 0x444444);
        useFont(cr.get(), "DejaVu Sans Mono", 14);
        text(cr.get(), 16, 20, "top - 14:32:0" + std::to_string(refresh % 10) + " up 3 days, load average: 1.9" +
                                   std::to_string(random.below(10)), 0xDDDDDD);
        fill(cr.get(), 10, 44, kClipWidth - kLogWidth - 20, 19, 0xDDDDDD);
        text(cr.get(), 16, 58, "  PID USER      PR  NI    VIRT    RES  %CPU %MEM     TIME+ COMMAND", 0x000000);
        for (int row = 0; row < 50; ++row) {
            char line[160];
            std::snprintf(line, sizeof line, "%5d user      20   0 %7d %6d %5.1f %4.1f %3d:%02d.%02d %s", 1000 + row * 37,
                          100000 + random.below(900000), 5000 + random.below(90000), random.below(900) / 10.0,
                          random.below(80) / 10.0, random.below(20), random.below(60), random.below(100),
                          kWords[row % std::size(kWords)]);
            text(cr.get(), 16, 80 + row * 19, line, row < 3 ? 0xFFFFFF : 0xB0B0B0);
        }
    }

    Surface log_, top_;
};

// A web page with a header, photographs and columns of text, scrolled by wheel flicks: still for a
// while, then an eased glide of 360 pixels.
class WebPage final : public ScreenClip {
public:
    WebPage() : page_(makeSurface(kClipWidth, kPageHeight)), chrome_(makeSurface(kClipWidth, 84)) {
        Sequence random(37);
        {
            Context cr = contextFor(page_);
            fill(cr.get(), 0, 0, kClipWidth, kPageHeight, 0xF4F5F7);
            fill(cr.get(), 0, 0, kClipWidth, 90, 0x2B5797);
            useFont(cr.get(), "DejaVu Sans", 30, true);
            text(cr.get(), 300, 58, "Daily Journal", 0xFFFFFF);
            for (int block = 0; block * 620 + 120 < kPageHeight - 620; ++block) {
                const int top = 120 + block * 620;
                fill(cr.get(), 300, top, 1320, 600, 0xFFFFFF);
                useFont(cr.get(), "DejaVu Serif", 26, true);
                text(cr.get(), 330, top + 44, sentence(random, 5), 0x111111);
                cr.reset();
                photo(page_, 330, top + 70, 620, 400, 500 + static_cast<uint32_t>(block));
                cr = contextFor(page_);
                paragraphs(cr.get(), random, 980, top + 90, 610, top + 580, 0x333333);
                fill(cr.get(), 330, top + 500, 140, 40, 0x2B79D9);
                useFont(cr.get(), "DejaVu Sans", 15, true);
                text(cr.get(), 352, top + 526, "Read more", 0xFFFFFF);
            }
        }
        Context bar = contextFor(chrome_);
        fill(bar.get(), 0, 0, kClipWidth, 84, 0xDEE1E6);
        fill(bar.get(), 120, 44, 1400, 32, 0xFFFFFF);
        useFont(bar.get(), "DejaVu Sans", 14);
        text(bar.get(), 136, 65, "https://journal.example.org/today", 0x202124);
        text(bar.get(), 20, 28, "Daily Journal - Web Browser", 0x333333);
    }
    std::string name() const override { return "web page scrolled"; }
    void draw(int index, uint8_t* pixels, int stride) override {
        // 50-frame cycles: 20 still, then 30 gliding with an ease-out.
        const int cycle = index / 50, within = index % 50;
        const double t = within < 20 ? 0.0 : (within - 20) / 29.0;
        const int scroll = (cycle * 360 + static_cast<int>(360 * (1 - (1 - t) * (1 - t)))) % (kPageHeight - kClipHeight);
        blitWhole(chrome_, pixels, stride, 0, 0);
        blit(page_, 0, scroll, kClipWidth, kClipHeight - 84, pixels, stride, 0, 84);
    }

private:
    static constexpr int kPageHeight = kClipHeight * 5;
    Surface page_, chrome_;
};

// Two still windows on a wallpaper and a third dragged across them along a curve.
class WindowDragged final : public ScreenClip {
public:
    WindowDragged() : desktop_(wallpaper()), window_(makeSurface(800, 600)) {
        Sequence random(41);
        {
            Context cr = contextFor(desktop_);
            windowFrame(cr.get(), 120, 120, 900, 700, "notes.md - Editor", 0xFFFFFF);
            paragraphs(cr.get(), random, 140, 150, 860, 800, 0x222222);
            windowFrame(cr.get(), 1100, 200, 700, 500, "Files", 0xF7F7F7);
            useFont(cr.get(), "DejaVu Sans", 14);
            for (int row = 0; row < 20; ++row) text(cr.get(), 1130, 230 + row * 23, sentence(random, 2) + ".txt", 0x333333);
        }
        Context cr = contextFor(window_);
        fill(cr.get(), 0, 0, 800, 600, 0x5A5F66);
        fill(cr.get(), 1, 1, 798, 28, 0x30353C);
        useFont(cr.get(), "DejaVu Sans", 13, true);
        text(cr.get(), 12, 20, "Settings", 0xE8E8E8);
        fill(cr.get(), 1, 29, 798, 570, 0xF0F0F0);
        useFont(cr.get(), "DejaVu Sans", 14);
        for (int row = 0; row < 18; ++row) {
            text(cr.get(), 30, 70 + row * 28, sentence(random, 3), 0x222222);
            fill(cr.get(), 640, 54 + row * 28, 40, 20, row % 3 ? 0xC0C0C0 : 0x3D8AE6);
        }
    }
    std::string name() const override { return "window dragged"; }
    void draw(int index, uint8_t* pixels, int stride) override {
        blitWhole(desktop_, pixels, stride, 0, 0);
        const double t = index / 60.0;
        const int x = 200 + static_cast<int>(700 * (0.5 - 0.5 * std::cos(t * 1.3)));
        const int y = 150 + static_cast<int>(200 * std::sin(t * 1.7));
        blitWhole(window_, pixels, stride, x, y);
    }

private:
    Surface desktop_, window_;
};

// A 960x540 video in a player window: a camera panning over a grainy landscape while a bright
// shape crosses it; the rest of the desktop stays still.
class VideoInWindow final : public ScreenClip {
public:
    VideoInWindow() : desktop_(wallpaper()), scene_(makeSurface(kVideoWidth * 2, kVideoHeight + 200)) {
        Sequence random(53);
        Context cr = contextFor(desktop_);
        windowFrame(cr.get(), 80, 90, 700, 860, "article.html - Web Browser", 0xFFFFFF);
        paragraphs(cr.get(), random, 100, 120, 660, 940, 0x222222);
        windowFrame(cr.get(), kVideoX, kVideoY, kVideoWidth, kVideoHeight + 48, "holiday.mp4 - Video Player", 0x000000);
        fill(cr.get(), kVideoX, kVideoY + kVideoHeight, kVideoWidth, 48, 0x202020);
        fill(cr.get(), kVideoX + 20, kVideoY + kVideoHeight + 22, kVideoWidth - 40, 4, 0x666666);
        cr.reset();
        photo(scene_, 0, 0, kVideoWidth * 2, kVideoHeight + 200, 77);
    }
    std::string name() const override { return "video in a window"; }
    void draw(int index, uint8_t* pixels, int stride) override {
        blitWhole(desktop_, pixels, stride, 0, 0);
        const int pan = (index * 3) % kVideoWidth;
        const int tilt = static_cast<int>(100 + 90 * std::sin(index / 40.0));
        blit(scene_, pan, tilt, kVideoWidth, kVideoHeight, pixels, stride, kVideoX, kVideoY);
        // A moving subject with soft edges, and the progress bar advancing.
        const int cx = kVideoX + 100 + (index * 5) % (kVideoWidth - 200), cy = kVideoY + kVideoHeight / 2;
        for (int y = -60; y <= 60; ++y) {
            for (int x = -60; x <= 60; ++x) {
                const double d = std::sqrt(x * x + y * y) / 60.0;
                if (d >= 1) continue;
                uint8_t* p = pixels + static_cast<size_t>(cy + y) * stride + static_cast<size_t>(cx + x) * 4;
                const double a = (1 - d) * 0.9;
                p[0] = static_cast<uint8_t>(p[0] * (1 - a) + 40 * a);
                p[1] = static_cast<uint8_t>(p[1] * (1 - a) + 160 * a);
                p[2] = static_cast<uint8_t>(p[2] * (1 - a) + 240 * a);
            }
        }
        const int progress = (kVideoWidth - 40) * index / 600;
        for (int y = 0; y < 4; ++y) {
            uint32_t* row = reinterpret_cast<uint32_t*>(pixels + static_cast<size_t>(kVideoY + kVideoHeight + 22 + y) * stride) +
                            kVideoX + 20;
            std::fill(row, row + std::min(progress, kVideoWidth - 40), 0x00E04040u);
        }
    }

private:
    static constexpr int kVideoX = 860, kVideoY = 160, kVideoWidth = 960, kVideoHeight = 540;
    Surface desktop_, scene_;
};

// Someone typing into an editor on an otherwise still desktop: a character every third frame, a
// blinking caret.
class Typing final : public ScreenClip {
public:
    Typing() : desktop_(wallpaper()), line_(makeSurface(kLineWidth, 24)) {
        Sequence random(61);
        Context cr = contextFor(desktop_);
        windowFrame(cr.get(), kEditorX, 100, 1400, 860, "letter.txt - Editor", 0xFFFFFF);
        paragraphs(cr.get(), random, kEditorX + 24, 130, 1340, 560, 0x222222);
        for (int i = 0; i < 40; ++i) typed_ += sentence(random, 8) + " ";
    }
    std::string name() const override { return "typing"; }
    void draw(int index, uint8_t* pixels, int stride) override {
        blitWhole(desktop_, pixels, stride, 0, 0);
        const size_t characters = static_cast<size_t>(index / 3);
        // Completed lines stay; the current one is drawn with its caret.
        const size_t perLine = 150;
        for (size_t line = 0; line * perLine <= characters; ++line) {
            const size_t begin = line * perLine;
            const std::string shown = typed_.substr(begin, std::min(perLine, characters - begin));
            Context cr = contextFor(line_);
            fill(cr.get(), 0, 0, kLineWidth, 24, 0xFFFFFF);
            useFont(cr.get(), "DejaVu Sans", 15);
            text(cr.get(), 0, 17, shown, 0x222222);
            if (begin + perLine > characters && (index / 30) % 2 == 0) {
                cairo_text_extents_t extents;
                cairo_text_extents(cr.get(), shown.c_str(), &extents);
                fill(cr.get(), extents.x_advance + 1, 2, 2, 20, 0x000000);
            }
            cr.reset();
            blitWhole(line_, pixels, stride, kEditorX + 24, 600 + static_cast<int>(line) * 24);
        }
    }

private:
    static constexpr int kEditorX = 260, kLineWidth = 1350;
    Surface desktop_, line_;
    std::string typed_;
};

}  // namespace

std::vector<std::unique_ptr<ScreenClip>> makeScreenClips() {
    std::vector<std::unique_ptr<ScreenClip>> clips;
    clips.push_back(std::make_unique<ScrollingText>());
    clips.push_back(std::make_unique<Terminal>());
    clips.push_back(std::make_unique<WebPage>());
    clips.push_back(std::make_unique<WindowDragged>());
    clips.push_back(std::make_unique<VideoInWindow>());
    clips.push_back(std::make_unique<Typing>());
    return clips;
}

}  // namespace encoder_bench
