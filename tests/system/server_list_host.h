#pragma once

// A stand-in for the main dialog: the real dialog template with the real server box, a proxy
// object for SetDnsServers, the settings in an INI file of the test's own, and the forwarding of
// messages and timers that the main dialog does. It is the application's main window, where the
// server box sends its notifications.

#include <windows.h>

#include <gtest/gtest.h>

#include <initializer_list>
#include <optional>
#include <string>
#include <vector>

#include "app/ini_profile.h"
#include "app/settings.h"
#include "core/dns_cache.h"
#include "core/dns_item_map.h"
#include "res/resource.h"
#include "system/server_list.h"
#include "tests/support/test_environment.h"
#include "tests/win/gui_test_support.h"
#include "win/application.h"
#include "win/controls.h"
#include "win/dialog.h"

namespace qftest {

class CTestApplication : public CApplication {
public:
    CTestApplication() : CApplication("Quillforth") {}

protected:
    bool InitInstance() override { return false; }
};

inline std::string TestIniPath() {
    char folder[MAX_PATH] = {};
    ::GetTempPathA(MAX_PATH, folder);
    return std::string(folder) + "qf_server_list_test.ini";
}

class CServerListHost : public CDialog, public IServerListOwner {
public:
    CServerListHost() : CDialog(IDD_QUILLFORTH_DIALOG) {
        ::DeleteFileA(profile.Path().c_str());
        Create();
        application.SetMainWindow(Hwnd());
        Show(SW_SHOWNORMAL);
    }

    CTestApplication application;
    CDnsItemMap cache;
    CSinkUpstream upstream;
    CDnsCache proxy{upstream};
    CIniProfile profile{TestIniPath()};
    Settings settings;
    CServerList servers{*this};
    int saves = 0;
    int statusChanges = 0;
    int probeMessages = 0;  // WM_PROBE_DONE as the window received it

    bool SetDnsServers(const CLockedStringList& list) override { return proxy.SetDnsServers(list); }
    void SaveSettings() override {
        settings.dns = servers.DnsSetting();
        ::SaveSettings(profile, settings);
        ++saves;
    }
    void OnServerStatusChanged() override { ++statusChanges; }
    [[nodiscard]] const CUpstreamSettings& Upstream() const override { return upstream; }

    [[nodiscard]] std::string SavedDns() { return profile.ReadString("Dns", "<none>", "Settings"); }
    [[nodiscard]] std::vector<std::string> Box() {
        std::vector<std::string> texts;
        for (int index = 0; index < servers.Control().GetCount(); ++index) {
            texts.push_back(servers.Control().GetItemText(index));
        }
        return texts;
    }
    void Fill(std::initializer_list<const char*> texts) {
        CLockedStringList list(true);
        for (const char* text : texts) {
            list.AddTail(text);
        }
        servers.FillServerListCtrl(list);
        SetDnsServers(list);
    }

    // What the user does to the box, each through the dialog's message loop.
    void Press(UINT key, std::initializer_list<BYTE> modifiers = {}) {
        CHeldKeys held(modifiers);
        bool alt = ::GetKeyState(VK_MENU) < 0;
        ::PostMessageA(servers.Control().ListHwnd(), alt ? WM_SYSKEYDOWN : WM_KEYDOWN, key,
                       alt ? (1 << 29) : 1);
        PumpMessages(30);
    }
    void Select(int index) {
        servers.Control().SelectItem(index);
        CWindow(servers.Control().ListHwnd()).Focus();
    }
    // Types into the open editor and ends it with Enter (or another key).
    void Type(const std::string& text, UINT key = VK_RETURN) {
        HWND editor = CListView(servers.Control().ListHwnd()).GetEditControl();
        ASSERT_NE(editor, nullptr) << "no editor open for " << text;
        CWindow(editor).SetText(text);
        ::PostMessageA(editor, WM_KEYDOWN, key, 1);
        PumpMessages(60);
    }
    void Edit(int index, const std::string& text) {
        Select(index);
        Press(VK_F2);
        Type(text);
    }
    void Insert(const std::string& text) {
        Press(VK_INSERT);
        Type(text);
    }
    void Move(int index, UINT arrow) {
        Select(index);
        Press(arrow, {VK_MENU});
    }
    void Delete(int index) {
        Select(index);
        Press(VK_DELETE);
    }

protected:
    bool OnInitDialog() override {
        servers.AttachControl(Item(IDC_SERVER_LIST));
        return true;
    }
    std::optional<LRESULT> OnMessage(UINT message, WPARAM wParam, LPARAM lParam) override {
        if (message == WM_PROBE_DONE) {
            ++probeMessages;
        }
        return servers.OnMessage(message, wParam, lParam);
    }
    void OnTimer(UINT_PTR id) override { servers.OnTimer(id); }
};

}  // namespace qftest
