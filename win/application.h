#pragma once

#include <windows.h>

#include <string>

// The running executable's full path, its drive and directory (ending in a backslash) and its
// file name without the extension.
std::string ModuleFileName();
std::string ModuleDirectory();
std::string ModuleBaseName();

// The name that captions message boxes: the application object's, else the executable's base
// name.
std::string ApplicationName();

// Registers the common control classes that the dialog templates use (list view, header,
// progress bar, toolbar, tool tips). Needed once per process before the first dialog opens.
bool InitDialogControls();

// The process's application object: Run prepares the controls and runs InitInstance, which is
// the program. At most one exists at a time.
class CApplication {
public:
    explicit CApplication(std::string name);
    CApplication(const CApplication&) = delete;
    CApplication& operator=(const CApplication&) = delete;
    virtual ~CApplication();

    static CApplication* Current();
    [[nodiscard]] const std::string& Name() const { return m_name; }
    // The window that stands for the program (the main dialog), or null.
    [[nodiscard]] HWND MainWindow() const { return m_mainWindow; }
    void SetMainWindow(HWND window) { m_mainWindow = window; }

    // The process's exit code: 0 when InitInstance ended the program, else the code of the
    // WM_QUIT that ended the message loop.
    int Run();

protected:
    // True to go on with a message loop until WM_QUIT (a program of modeless windows); false
    // when the program is over (a program that ran its main dialog modally).
    virtual bool InitInstance() = 0;

private:
    std::string m_name;
    HWND m_mainWindow = nullptr;
};
