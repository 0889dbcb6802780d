#pragma once

#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

#include "ui/balloon_tip.h"
#include "win/window.h"

// What became of the queries of one minute, as the chart shows it.
struct ChartMinute {
    std::uint64_t cached = 0;
    std::uint64_t upstream = 0;
    std::uint64_t failed = 0;
    std::uint64_t discarded = 0;
    // Microseconds from taking the query in to its reply, summed.
    std::uint64_t cachedMicros = 0;
    std::uint64_t upstreamMicros = 0;
};

// The share answered from the cache among the minutes' answered and failed queries, in percent;
// negative when there were none.
double HitRatio(const std::vector<ChartMinute>& minutes);
// An average of `micros` over `count` in microseconds below a millisecond, else in milliseconds
// ("35 µs", "21.3 ms"); "-" when the count is 0.
std::string AverageText(std::uint64_t micros, std::uint64_t count);
// One minute, `ago` minutes before the current one, as the hover balloon tells it (`lines`: one
// figure a line) or the control's text ("3 minutes ago: cache 40 (35 µs), upstream 20 (21.3 ms),
// failed 0, discarded 0").
std::string MinuteText(const ChartMinute& minute, int ago, bool lines);

// A chart of the last minutes over a static control of the dialog: one column per minute, the
// oldest on the left, stacked from the bottom by what answered (cache, upstream, failed), with
// the hit ratio of the whole span and of the current minute written on its right. Resting the
// pointer on a column shows that minute's figures in a balloon. It is drawn with GDI in the
// system's colours and sized from the dialog's font, so that it follows the display's scaling.
// Its window text (WM_GETTEXT) is the hit ratios and every minute with queries, one a line, for
// screen readers and tests.
class CStatisticsChart : public CSubclassedWindow {
public:
    bool Attach(HWND control);
    // The minutes, oldest first; the last is the current one. Redraws.
    void SetMinutes(std::vector<ChartMinute> minutes);
    // The control's text: as WM_GETTEXT answers it.
    [[nodiscard]] std::string Text() const;
    // The smallest height that shows the columns and the text beside them, from the font.
    [[nodiscard]] int MinimumHeight() const;

protected:
    LRESULT WindowProc(UINT message, WPARAM wParam, LPARAM lParam) override;

private:
    struct Layout {
        RECT plot;
        RECT side;
        int lineHeight;
    };

    [[nodiscard]] Layout MakeLayout(HDC dc) const;
    [[nodiscard]] int ColumnAt(POINT point) const;
    [[nodiscard]] RECT ColumnRect(const RECT& plot, int index) const;
    void Paint();
    void Draw(HDC dc, const RECT& client) const;
    void DrawColumns(HDC dc, const Layout& layout) const;
    void DrawSide(HDC dc, const Layout& layout) const;
    void OnMouseMove(POINT point);

    std::vector<ChartMinute> m_minutes;
    CBalloonTip m_balloon;
    int m_hover = -1;
    bool m_tracking = false;
};
