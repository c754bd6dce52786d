#pragma once

#include <gtest/gtest.h>

#include <string>

// GoogleTest's name of a table's row, made from the row's own name: its
// letters and digits, each run of anything else one '_'. Rows are values
// with a `name` member.
struct RowName {
  template <typename Row> std::string operator()(const testing::TestParamInfo<Row> &info) const {
    std::string name;
    bool gap = false;
    for (const char *c = &info.param.name[0]; *c != 0; ++c) {
      bool kept = (*c >= 'a' && *c <= 'z') || (*c >= 'A' && *c <= 'Z') || (*c >= '0' && *c <= '9');
      if (kept && gap && !name.empty())
        name += '_';
      if (kept)
        name += *c;
      gap = !kept;
    }
    return name;
  }
};
