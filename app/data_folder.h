#pragma once

#include <string>
#include <vector>

// Where the program keeps its settings and its cache: beside the executable when it can write
// there; else in the user's local application data folder, %LOCALAPPDATA%\Quillforth. A standard
// user cannot write into Program Files, and the manifest keeps Windows from redirecting such
// writes elsewhere: without this, every setting and learned name of such a user would be lost at
// each exit.
struct DataFolder {
    std::string path;  // ends in a backslash
    bool local = false;
};

// Chooses the folder at start-up. In the local folder, each of `files` that it does not hold yet
// is copied there from beside the executable first, so that an administrator's settings and cache
// carry over. With no local folder to be had, the executable's: saves there fail and say so.
DataFolder ChooseDataFolder(const std::string& executableFolder,
                            const std::vector<std::string>& files);

// True when a file can be created in the folder (a path ending in a backslash).
bool CanWriteIn(const std::string& folder);
