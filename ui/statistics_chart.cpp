#include "ui/statistics_chart.h"

#include <algorithm>
#include <array>
#include <cstdio>

#include "win/unicode.h"

namespace {

// Sizes in units of the font, so that they grow with the display's scaling.
constexpr int kGapChars = 1;
// The widest texts of the side, which sets its width.
constexpr wchar_t kSideTitle[] = L"Answered from the cache";
constexpr wchar_t kWidestRatio[] = L"This minute: 100.0 %";

std::uint64_t Answered(const ChartMinute& minute) {
    return minute.cached + minute.upstream + minute.failed;
}

std::string Printed(const char* format, double value) {
    std::array<char, 48> text{};
    std::snprintf(text.data(), text.size(), format, value);
    return text.data();
}

std::string PercentText(double percent) {
    return percent < 0 ? "-" : Printed("%.1f %%", percent);
}

// The smallest of 1, 2 and 5 times a power of ten that is at least `value`: the top of the scale.
std::uint64_t ScaleTop(std::uint64_t value) {
    std::uint64_t power = 1;
    while (true) {
        for (const std::uint64_t step : {1u, 2u, 5u}) {
            if (step * power >= value) {
                return step * power;
            }
        }
        power *= 10;
    }
}

COLORREF Blend(COLORREF a, COLORREF b, int percentOfA) {
    const auto mix = [&](int shift) {
        const int x = static_cast<int>((a >> shift) & 0xFF);
        const int y = static_cast<int>((b >> shift) & 0xFF);
        return static_cast<COLORREF>((x * percentOfA + y * (100 - percentOfA)) / 100) << shift;
    };
    return mix(0) | mix(8) | mix(16);
}

bool HighContrast() {
    HIGHCONTRASTA contrast{};
    contrast.cbSize = sizeof contrast;
    return ::SystemParametersInfoA(SPI_GETHIGHCONTRAST, sizeof contrast, &contrast, 0) &&
           (contrast.dwFlags & HCF_HIGHCONTRASTON) != 0;
}

// The colours of the three kinds, from the bottom of a column up: the system's selection colour
// for the cache, a paler one for the upstream, red for failures (text colour in high contrast).
std::array<COLORREF, 3> KindColours() {
    const COLORREF cache = ::GetSysColor(COLOR_HIGHLIGHT);
    const COLORREF failed =
        HighContrast() ? ::GetSysColor(COLOR_WINDOWTEXT) : RGB(0xC8, 0x32, 0x32);
    return {cache, Blend(cache, ::GetSysColor(COLOR_WINDOW), 45), failed};
}

void Fill(HDC dc, const RECT& rect, COLORREF colour) {
    ::SetBkColor(dc, colour);
    ::ExtTextOutW(dc, 0, 0, ETO_OPAQUE, &rect, nullptr, 0, nullptr);
}

void DrawLabel(HDC dc, const std::string& text, RECT rect, UINT format) {
    const std::wstring wide = ToUtf16(text);
    ::DrawTextW(dc, wide.c_str(), static_cast<int>(wide.size()), &rect,
                format | DT_NOPREFIX | DT_SINGLELINE);
}

}  // namespace

double HitRatio(const std::vector<ChartMinute>& minutes) {
    std::uint64_t cached = 0;
    std::uint64_t answered = 0;
    for (const ChartMinute& minute : minutes) {
        cached += minute.cached;
        answered += Answered(minute);
    }
    return answered == 0 ? -1.0
                         : 100.0 * static_cast<double>(cached) / static_cast<double>(answered);
}

std::string AverageText(std::uint64_t micros, std::uint64_t count) {
    if (count == 0) {
        return "-";
    }
    const double average = static_cast<double>(micros) / static_cast<double>(count);
    constexpr double kMicrosPerMilli = 1000.0;
    if (average < kMicrosPerMilli) {
        return Printed("%.0f \xC2\xB5s", average);
    }
    return Printed("%.1f ms", average / kMicrosPerMilli);
}

std::string MinuteText(const ChartMinute& minute, int ago, bool lines) {
    const std::string when = ago == 0   ? "This minute"
                             : ago == 1 ? "1 minute ago"
                                        : std::to_string(ago) + " minutes ago";
    const char* separator = lines ? "\n" : ", ";
    return when + (lines ? "\n" : ": ") + "cache " + std::to_string(minute.cached) + " (" +
           AverageText(minute.cachedMicros, minute.cached) + ")" + separator + "upstream " +
           std::to_string(minute.upstream) + " (" +
           AverageText(minute.upstreamMicros, minute.upstream) + ")" + separator + "failed " +
           std::to_string(minute.failed) + separator + "discarded " +
           std::to_string(minute.discarded);
}

bool CStatisticsChart::Attach(HWND control) {
    if (!CSubclassedWindow::Attach(control)) {
        return false;
    }
    m_balloon.Create(control);
    return true;
}

void CStatisticsChart::SetMinutes(std::vector<ChartMinute> minutes) {
    m_minutes = std::move(minutes);
    // The text is kept as the window's own, so that it is read like any control's, also from
    // another process.
    ::SetWindowTextW(m_handle, ToUtf16(Text()).c_str());
    Invalidate(false);
}

std::string CStatisticsChart::Text() const {
    const std::vector<ChartMinute> current(
        m_minutes.empty() ? m_minutes.begin() : m_minutes.end() - 1, m_minutes.end());
    std::string text = "Hit ratio: last hour " + PercentText(HitRatio(m_minutes)) +
                       ", this minute " + PercentText(HitRatio(current));
    const int count = static_cast<int>(m_minutes.size());
    for (int i = 0; i < count; ++i) {
        const ChartMinute& minute = m_minutes[static_cast<std::size_t>(i)];
        if (Answered(minute) + minute.discarded > 0) {
            text += "\r\n" + MinuteText(minute, count - 1 - i, false);
        }
    }
    return text;
}

int CStatisticsChart::MinimumHeight() const {
    HDC dc = ::GetDC(m_handle);
    const Layout layout = MakeLayout(dc);
    ::ReleaseDC(m_handle, dc);
    // The side's seven lines, and a margin.
    return 8 * layout.lineHeight;
}

CStatisticsChart::Layout CStatisticsChart::MakeLayout(HDC dc) const {
    HGDIOBJ oldFont = ::SelectObject(dc, Font());
    TEXTMETRICW metrics{};
    ::GetTextMetricsW(dc, &metrics);
    SIZE title{};
    ::GetTextExtentPoint32W(dc, kSideTitle, static_cast<int>(std::size(kSideTitle)) - 1, &title);
    SIZE ratio{};
    ::GetTextExtentPoint32W(dc, kWidestRatio, static_cast<int>(std::size(kWidestRatio)) - 1,
                            &ratio);
    ::SelectObject(dc, oldFont);
    const int line = metrics.tmHeight + metrics.tmExternalLeading;
    const int gap = kGapChars * metrics.tmAveCharWidth;
    const RECT client = ClientRect();
    const int sideWidth = std::max(title.cx, ratio.cx) + gap;
    const int sideLeft = std::max<LONG>(client.left, client.right - sideWidth);
    Layout layout{};
    layout.lineHeight = line;
    layout.side = {sideLeft, client.top, client.right, client.bottom};
    // A line above the columns for the scale, one below for the time axis.
    layout.plot = {client.left + gap, client.top + line,
                   std::max<LONG>(client.left + gap, sideLeft - gap),
                   std::max<LONG>(client.top + line, client.bottom - line)};
    return layout;
}

RECT CStatisticsChart::ColumnRect(const RECT& plot, int index) const {
    const int count = std::max<int>(1, static_cast<int>(m_minutes.size()));
    const int width = RectWidth(plot);
    RECT column{plot.left + width * index / count, plot.top,
                plot.left + width * (index + 1) / count, plot.bottom};
    // A pixel between columns when they are wide enough to spare it.
    if (RectWidth(column) >= 3) {
        --column.right;
    }
    return column;
}

int CStatisticsChart::ColumnAt(POINT point) const {
    HDC dc = ::GetDC(m_handle);
    const Layout layout = MakeLayout(dc);
    ::ReleaseDC(m_handle, dc);
    const RECT& plot = layout.plot;
    if (m_minutes.empty() || !::PtInRect(&plot, point)) {
        return -1;
    }
    const int count = static_cast<int>(m_minutes.size());
    const LONG column = (point.x - plot.left) * count / std::max(1, RectWidth(plot));
    return static_cast<int>(std::clamp<LONG>(column, 0, count - 1));
}

void CStatisticsChart::Paint() {
    PAINTSTRUCT paint{};
    HDC dc = ::BeginPaint(m_handle, &paint);
    const RECT client = ClientRect();
    // Drawn off screen first, so that the refresh every two seconds does not flicker.
    HDC memory = ::CreateCompatibleDC(dc);
    HBITMAP bitmap = ::CreateCompatibleBitmap(dc, RectWidth(client), RectHeight(client));
    HGDIOBJ oldBitmap = ::SelectObject(memory, bitmap);
    Draw(memory, client);
    ::BitBlt(dc, 0, 0, RectWidth(client), RectHeight(client), memory, 0, 0, SRCCOPY);
    ::SelectObject(memory, oldBitmap);
    ::DeleteObject(bitmap);
    ::DeleteDC(memory);
    ::EndPaint(m_handle, &paint);
}

void CStatisticsChart::Draw(HDC dc, const RECT& client) const {
    Fill(dc, client, ::GetSysColor(COLOR_WINDOW));
    HGDIOBJ oldFont = ::SelectObject(dc, Font());
    ::SetBkMode(dc, TRANSPARENT);
    ::SetTextColor(dc, ::GetSysColor(COLOR_WINDOWTEXT));
    const Layout layout = MakeLayout(dc);
    DrawColumns(dc, layout);
    DrawSide(dc, layout);
    ::SelectObject(dc, oldFont);
}

void CStatisticsChart::DrawColumns(HDC dc, const Layout& layout) const {
    const RECT& plot = layout.plot;
    std::uint64_t highest = 0;
    for (const ChartMinute& minute : m_minutes) {
        highest = std::max(highest, Answered(minute));
    }
    const std::uint64_t top = ScaleTop(std::max<std::uint64_t>(highest, 1));
    const COLORREF grid = ::GetSysColor(COLOR_GRAYTEXT);
    Fill(dc, {plot.left, plot.top, plot.right, plot.top + 1},
         Blend(grid, ::GetSysColor(COLOR_WINDOW), 40));
    Fill(dc, {plot.left, plot.bottom, plot.right, plot.bottom + 1}, grid);
    DrawLabel(dc, std::to_string(top) + " a minute", {plot.left, 0, plot.right, plot.top},
              DT_LEFT | DT_BOTTOM);
    const RECT axis{plot.left, plot.bottom + 1, plot.right, plot.bottom + layout.lineHeight};
    DrawLabel(dc, std::to_string(m_minutes.size()) + " minutes ago", axis, DT_LEFT | DT_TOP);
    DrawLabel(dc, "now", axis, DT_RIGHT | DT_TOP);

    const std::array<COLORREF, 3> colours = KindColours();
    const double pixelsPerQuery = static_cast<double>(RectHeight(plot)) / static_cast<double>(top);
    for (std::size_t i = 0; i < m_minutes.size(); ++i) {
        const ChartMinute& minute = m_minutes[i];
        RECT column = ColumnRect(plot, static_cast<int>(i));
        // Each kind stacked on the ones below, its top rounded from the running total, so that
        // the column's height is exact however it is split.
        std::uint64_t below = 0;
        const std::array<std::uint64_t, 3> kinds{minute.cached, minute.upstream, minute.failed};
        for (std::size_t k = 0; k < kinds.size(); ++k) {
            const int bottom =
                plot.bottom - static_cast<int>(static_cast<double>(below) * pixelsPerQuery + 0.5);
            below += kinds[k];
            const int upper =
                plot.bottom - static_cast<int>(static_cast<double>(below) * pixelsPerQuery + 0.5);
            if (upper < bottom) {
                Fill(dc, {column.left, upper, column.right, bottom}, colours[k]);
            }
        }
        if (static_cast<int>(i) == m_hover) {
            HBRUSH frame = ::GetSysColorBrush(COLOR_WINDOWTEXT);
            ::FrameRect(dc, &column, frame);
        }
    }
}

void CStatisticsChart::DrawSide(HDC dc, const Layout& layout) const {
    const std::vector<ChartMinute> current(
        m_minutes.empty() ? m_minutes.begin() : m_minutes.end() - 1, m_minutes.end());
    const int line = layout.lineHeight;
    RECT row{layout.side.left, layout.side.top + line, layout.side.right,
             layout.side.top + 2 * line};
    const auto next = [&](const std::string& text) {
        DrawLabel(dc, text, row, DT_LEFT | DT_TOP);
        ::OffsetRect(&row, 0, line);
    };
    next(ToUtf8(kSideTitle));
    next("Last hour: " + PercentText(HitRatio(m_minutes)));
    next("This minute: " + PercentText(HitRatio(current)));
    ::OffsetRect(&row, 0, line / 2);
    const std::array<COLORREF, 3> colours = KindColours();
    const std::array<const char*, 3> names{"Cache", "Upstream", "Failed"};
    const int box = line * 2 / 3;
    for (std::size_t k = 0; k < names.size(); ++k) {
        const int boxTop = row.top + (line - box) / 2;
        Fill(dc, {row.left, boxTop, row.left + box, boxTop + box}, colours[k]);
        DrawLabel(dc, names[k], {row.left + box + box / 2, row.top, row.right, row.bottom},
                  DT_LEFT | DT_TOP);
        ::OffsetRect(&row, 0, line);
    }
}

void CStatisticsChart::OnMouseMove(POINT point) {
    if (!m_tracking) {
        TRACKMOUSEEVENT track{sizeof track, TME_LEAVE, m_handle, 0};
        m_tracking = ::TrackMouseEvent(&track) != FALSE;
    }
    const int column = ColumnAt(point);
    if (column != m_hover) {
        m_hover = column;
        Invalidate(false);
    }
    if (column < 0) {
        m_balloon.Hide();
        return;
    }
    POINT screen = point;
    ::ClientToScreen(m_handle, &screen);
    const int ago = static_cast<int>(m_minutes.size()) - 1 - column;
    m_balloon.Request(MinuteText(m_minutes[static_cast<std::size_t>(column)], ago, true), nullptr,
                      screen);
}

LRESULT CStatisticsChart::WindowProc(UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
        case WM_PAINT:
            Paint();
            return 0;
        case WM_ERASEBKGND:
            return TRUE;  // Paint covers the whole client area
        case WM_NCHITTEST:
            return HTCLIENT;  // a static control lets the mouse through to the dialog otherwise
        case WM_MOUSEMOVE:
            OnMouseMove(PointFromLParam(lParam));
            return 0;
        case WM_MOUSELEAVE:
            m_tracking = false;
            m_hover = -1;
            m_balloon.Hide();
            Invalidate(false);
            return 0;
        case WM_SIZE:
            Invalidate(false);
            return DefaultProc(message, wParam, lParam);
        default:
            return DefaultProc(message, wParam, lParam);
    }
}
