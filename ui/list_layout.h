#pragma once

#include <cstdint>
#include <vector>

// A report list's column layout as the user left it: the signed sort key (1-based column,
// negative for descending, 0 for none) and, per column, whether it is shown, its width in pixels
// and its position in the header.
struct ColumnLayout {
    bool shown = true;
    int32_t width = 0;
    int32_t position = 0;
};
struct ListLayout {
    int32_t sortKey = 0;
    std::vector<ColumnLayout> columns;
};
