// Opens every dialog of the program (and a help balloon) with sample content and saves what the
// screen shows as gallery/<name>.png in the working folder, for a person to look at: nothing
// may be clipped, overlap or be unreadable at 96 DPI. Each test also checks that its picture
// is not blank.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <fstream>
#include <functional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "res/resource.h"
#include "tests/win/gui_test_support.h"
#include "ui/balloon_tip.h"
#include "ui/editable_list_ctrl.h"
#include "ui/property_list_box.h"
#include "win/controls.h"
#include "win/dialog.h"

namespace {

// ---- PNG: 8-bit RGB, the image data in stored (uncompressed) deflate blocks.

uint32_t Crc32(const std::vector<uint8_t>& bytes, size_t from) {
    uint32_t crc = 0xFFFFFFFFu;
    for (size_t i = from; i < bytes.size(); ++i) {
        crc ^= bytes[i];
        for (int bit = 0; bit < 8; ++bit) {
            crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
        }
    }
    return ~crc;
}

void PutBigEndian(std::vector<uint8_t>& out, uint32_t value) {
    for (int shift = 24; shift >= 0; shift -= 8) {
        out.push_back(static_cast<uint8_t>(value >> shift));
    }
}

void PutChunk(std::vector<uint8_t>& out, const char* type, const std::vector<uint8_t>& data) {
    PutBigEndian(out, static_cast<uint32_t>(data.size()));
    size_t start = out.size();
    out.insert(out.end(), type, type + 4);
    out.insert(out.end(), data.begin(), data.end());
    PutBigEndian(out, Crc32(out, start));
}

std::vector<uint8_t> Png(const Pixels& pixels) {
    std::vector<uint8_t> raw;
    for (int y = 0; y < pixels.height; ++y) {
        raw.push_back(0);  // no filter
        for (int x = 0; x < pixels.width; ++x) {
            COLORREF colour = pixels.At(x, y);
            raw.insert(raw.end(), {GetRValue(colour), GetGValue(colour), GetBValue(colour)});
        }
    }
    std::vector<uint8_t> zlib{0x78, 0x01};
    uint32_t a = 1, b = 0;
    for (uint8_t byte : raw) {
        a = (a + byte) % 65521;
        b = (b + a) % 65521;
    }
    for (size_t at = 0; at < raw.size() || at == 0; at += 65535) {
        size_t length = std::min<size_t>(65535, raw.size() - at);
        bool last = at + length >= raw.size();
        zlib.push_back(last ? 1 : 0);
        zlib.insert(zlib.end(),
                    {static_cast<uint8_t>(length), static_cast<uint8_t>(length >> 8),
                     static_cast<uint8_t>(~length), static_cast<uint8_t>(~length >> 8)});
        zlib.insert(zlib.end(), raw.begin() + static_cast<ptrdiff_t>(at),
                    raw.begin() + static_cast<ptrdiff_t>(at + length));
    }
    PutBigEndian(zlib, (b << 16) | a);

    std::vector<uint8_t> png{0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
    std::vector<uint8_t> header;
    PutBigEndian(header, static_cast<uint32_t>(pixels.width));
    PutBigEndian(header, static_cast<uint32_t>(pixels.height));
    header.insert(header.end(), {8, 2, 0, 0, 0});  // 8 bits, RGB
    PutChunk(png, "IHDR", header);
    PutChunk(png, "IDAT", zlib);
    PutChunk(png, "IEND", {});
    return png;
}

// Waits for the windows to paint, then saves the screen rectangle.
void Save(const std::string& name, const RECT& rect) {
    PumpMessages(400);
    Pixels pixels = CaptureScreen(rect);
    std::set<COLORREF> colours(pixels.rgb.begin(), pixels.rgb.end());
    EXPECT_GT(colours.size(), 4u) << name << " looks blank";
    ::CreateDirectoryA("gallery", nullptr);
    std::vector<uint8_t> png = Png(pixels);
    std::ofstream("gallery\\" + name + ".png", std::ios::binary)
        .write(reinterpret_cast<const char*>(png.data()), static_cast<std::streamsize>(png.size()));
}

// A dialog placed at a fixed spot of the screen, filled by `fill` when it initialises.
class CShown : public CDialog {
public:
    CShown(int id, std::function<void(CShown&)> fill) : CDialog(id), m_fill(std::move(fill)) {
        Create();
        ::SetWindowPos(m_hwnd, HWND_TOP, 40, 40, 0, 0, SWP_NOSIZE | SWP_SHOWWINDOW);
    }
    CEditableListCtrl editableList;
    CPropertyListBox propertyList;
    std::vector<PropertyItem> lines;
    CBalloonTip balloon;

protected:
    bool OnInitDialog() override {
        m_fill(*this);
        return true;
    }
    bool PreTranslateMessage(MSG& message) override {
        if (balloon.Hwnd() != nullptr) {
            balloon.RelayEvent(message);
        }
        return false;
    }

private:
    std::function<void(CShown&)> m_fill;
};

void FillServers(CEditableListCtrl& list, HWND placeholder) {
    list.AttachPlaceholder(placeholder);
    list.SetStandardButtons();
    list.ShowSelectionAlways();
    for (const char* server : {"208.67.222.222", "192.0.2.53", "198.51.100.1"}) {
        list.AddItem(server);
    }
    list.SelectItem(0);
}

std::string LoadText(int id) {
    char buffer[128] = {};
    ::LoadStringA(::GetModuleHandleA(nullptr), static_cast<UINT>(id), buffer, sizeof(buffer));
    return buffer;
}

void FillMainDialog(CShown& dialog) {
    FillServers(dialog.editableList, dialog.Item(IDC_SERVER_LIST));
    CButton(dialog.Item(IDC_START_AT_LOGIN)).SetCheck(true);
    CWindow(dialog.Item(IDC_START)).Enable(false);
    CComboBox hours(dialog.Item(IDC_UPDATE_HOURS));
    for (int hour = 0; hour <= 24; ++hour) {
        hours.AddString(std::to_string(hour));
    }
    hours.SetCurSel(1);

    CListView cache(dialog.Item(IDC_CACHE_LIST));
    cache.SetExtendedStyle(LVS_EX_FULLROWSELECT | LVS_EX_HEADERDRAGDROP | LVS_EX_LABELTIP);
    const std::array<std::pair<int, int>, 5> columns{{{IDS_COLUMN_ID, 50},
                                                      {IDS_COLUMN_DOMAIN, 150},
                                                      {IDS_COLUMN_IP, 170},
                                                      {IDS_COLUMN_HITS, 50},
                                                      {IDS_COLUMN_LAST_HIT, 80}}};
    for (size_t column = 0; column < columns.size(); ++column) {
        cache.InsertColumn(static_cast<int>(column), LoadText(columns[column].first),
                           columns[column].second);
    }
    const std::array<std::array<const char*, 5>, 3> rows{{
        {"1", "www.example.com", "93.184.216.34", "12", "12/06 09:14"},
        {"2", "mail.example.org", "192.0.2.10|192.0.2.11", "3", "12/05 22:40"},
        {"3", "unresolved.example.net", "", "0", "00/00 00:00"},
    }};
    for (size_t row = 0; row < rows.size(); ++row) {
        int index = cache.InsertItem(static_cast<int>(row), rows[row][0]);
        for (int cell = 1; cell < 5; ++cell) {
            cache.SetItemText(index, cell, rows[row][static_cast<size_t>(cell)]);
        }
    }
    CWindow(dialog.Item(IDC_STATUS))
        .SetText(
            "Cache next update:  10:14:03       \r\nCurrent DNS server: 208.67.222.222 \r\n"
            "DNS server status:  Up             \r\n");
}

TEST(Gallery, AboutBox) {
    CShown dialog(IDD_ABOUTBOX, [](CShown&) {});
    Save("dialog_100_about", dialog.WindowRect());
}

TEST(Gallery, MainDialog) {
    CShown dialog(IDD_QUILLFORTH_DIALOG, FillMainDialog);
    Save("dialog_102_main", dialog.WindowRect());
}

TEST(Gallery, ItemDialog) {
    CShown dialog(IDD_DNS_ITEM, [](CShown& shown) {
        // As the cache list opens it for a row: the domain cannot be changed.
        CEdit domain(shown.Item(IDC_ITEM_DOMAIN));
        domain.SetText("mail.example.org");
        domain.SetReadOnly(true);
        FillServers(shown.editableList, shown.Item(IDC_ITEM_ADDRESSES));
    });
    Save("dialog_135_item", dialog.WindowRect());
}

TEST(Gallery, ResolveProgress) {
    CShown dialog(IDD_RESOLVE_PROGRESS, [](CShown& shown) {
        CWindow(shown.Item(IDC_PROGRESS_CAPTION)).SetText("Resolving all domains by User");
        CWindow(shown.Item(IDC_PROGRESS_TEXT)).SetText("Finished 2, Success 1, Total 3.");
        CProgressBar bar(shown.Item(IDC_PROGRESS_BAR));
        bar.SetRange(0, 3);
        bar.SetPos(2);
    });
    Save("dialog_136_progress", dialog.WindowRect());
}

TEST(Gallery, StatisticsWindow) {
    CShown dialog(IDD_INFORMATION, [](CShown& shown) {
        shown.lines = {
            {"Cached DNS item", "3", PropertyItem::kText, ""},
            {"Cache last update", "00:00:00", PropertyItem::kText, ""},
            {"Cache next update", "10:14:03", PropertyItem::kText, ""},
            {"Total run time", "0 days 01:02:03", PropertyItem::kText, ""},
            {"Current DNS server", "208.67.222.222", PropertyItem::kText, ""},
            {"Total Requests", "15", PropertyItem::kText, ""},
            {"Discard Requests", "0", PropertyItem::kText, ""},
            {"Cached Requests", "12", PropertyItem::kText, ""},
            {"Forward Requests", "3", PropertyItem::kText, ""},
            {"Internal Error Requests", "0", PropertyItem::kText, ""},
            {"Saved Time(s)", "0.00", PropertyItem::kText, ""},
            {"Avg Respond time for all requests(s)", "0.0000", PropertyItem::kText, ""},
            {"Avg Respond time for forward requests(s)", "0.0000", PropertyItem::kText, ""},
            {"Avg Respond time for cached requests(s)", "0.0000", PropertyItem::kText, ""},
            {"Avg Respond time of remote DNS server(s)", "0.0000", PropertyItem::kText, ""},
        };
        shown.propertyList.Attach(shown.Item(IDC_INFORMATION_LIST));
        for (PropertyItem& line : shown.lines) {
            shown.propertyList.AddItem(&line);
        }
        CButton(shown.Item(IDC_ALWAYS_ON_TOP)).SetCheck(true);
    });
    Save("dialog_138_statistics", dialog.WindowRect());
}

TEST(Gallery, DeleteOutdated) {
    CShown dialog(IDD_OUTDATED,
                  [](CShown& shown) { CWindow(shown.Item(IDC_OUTDATED_HOURS)).SetText("1"); });
    Save("dialog_139_outdated", dialog.WindowRect());
}

TEST(Gallery, HelpBalloonOverTheStartButton) {
    CShown dialog(IDD_QUILLFORTH_DIALOG, [](CShown& shown) {
        FillMainDialog(shown);
        shown.balloon.Create(shown.Hwnd());
        shown.balloon.AddTool(shown.Item(IDC_START),
                              "To start DNS proxy will set system DNS servers to \"127.0.0.1\"\n"
                              "and will stop DNS Client service if it is running.");
    });
    ::SetWindowPos(dialog.Hwnd(), HWND_TOP, 300, 200, 0, 0, SWP_NOSIZE);
    RECT start = CWindow(dialog.Item(IDC_START)).WindowRect();
    ::SetCursorPos((start.left + start.right) / 2, (start.top + start.bottom) / 2);
    ::PostMessageA(dialog.Item(IDC_START), WM_MOUSEMOVE, 0, MakeLParam(4, 4));
    ASSERT_TRUE(PumpUntil([&] { return dialog.balloon.IsVisible(); }, 1500));
    RECT both{};
    RECT dialogRect = dialog.WindowRect();
    RECT balloonRect = dialog.balloon.WindowRect();
    ::UnionRect(&both, &dialogRect, &balloonRect);
    Save("balloon_start_button", both);
}

}  // namespace
