#include <windows.h>

#include "app/quillforth_app.h"

int WINAPI WinMain(HINSTANCE /*instance*/, HINSTANCE /*previous*/, LPSTR /*commandLine*/,
                   int /*show*/) {
    CQuillforthApp application;
    return application.Run();
}
