// Stands in for the system's ipconfig.exe under Wine, whose own knows neither /registerdns nor
// /flushdns: appends its arguments as a line to C:\ipconfig.log, then does what C:\ipconfig.mode
// says: "fail" exits with 1, "hang" never ends, anything else (or no such file) exits with 0.
#include <windows.h>

#include <cstdio>
#include <cstring>

int main(int argc, char** argv) {
    if (FILE* log = std::fopen("C:\\ipconfig.log", "a")) {
        for (int i = 1; i < argc; ++i) {
            std::fprintf(log, i == 1 ? "%s" : " %s", argv[i]);
        }
        std::fputs("\n", log);
        std::fclose(log);
    }
    char mode[8] = {};
    if (FILE* file = std::fopen("C:\\ipconfig.mode", "r")) {
        std::fgets(mode, sizeof mode, file);
        std::fclose(file);
    }
    if (std::strncmp(mode, "hang", 4) == 0) {
        ::Sleep(INFINITE);
    }
    return std::strncmp(mode, "fail", 4) == 0 ? 1 : 0;
}
