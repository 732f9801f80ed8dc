#pragma once

#include <QTest>

namespace relay::testing {

// One row of a data table: its tag, then a cell per column, in column order.
// Cells are taken by value so that string literals arrive as const char*.
template <typename... Cells>
void row(const char* tag, Cells... cells) {
    (QTest::newRow(tag) << ... << cells);
}

}  // namespace relay::testing
