// Parameter maps at their limits: the 32-bit size of the encoding, and
// names that repeat.
#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "param/param_map.hpp"
#include "support/internal_error.hpp"

namespace quorvel {
namespace {

// Entries whose encodings add up to more than 4 GiB, all borrowing one
// 1 MiB text: the limit is checked before anything is allocated.
TEST(ParamMapLimits, EncodingPastFourGiBIsRefusedBeforeAllocating) {
  const std::string text(std::size_t{1} << 20, 'x');
  std::vector<std::string> names;
  for (int i = 0; i < 4097; ++i) names.push_back("k" + std::to_string(10000 + i));
  std::vector<ParamEntryView> entries;
  for (const std::string& name : names) entries.push_back({name, ParamValueView::text(text)});
  try {
    (void)ParamMap::from_views(entries);
    FAIL() << "a map past the record limit was built";
  } catch (const LimitExceeded& e) {
    EXPECT_EQ(e.message(), "params too large: their encoding exceeds the 4 GiB record limit (4294967295 bytes)");
  }
}

TEST(ParamMapLimits, RepeatedNameIsTheFirstSharedOneInMapOrder) {
  const auto repeated = [](std::vector<ParamEntry> entries) -> std::optional<std::string> {
    const ParamMap map(std::move(entries));
    const auto name = map.repeated_name();
    return name ? std::optional<std::string>(std::string(*name)) : std::nullopt;
  };
  EXPECT_EQ(repeated({}), std::nullopt);
  EXPECT_EQ(repeated({{"a", ParamValue::integer(1)}}), std::nullopt);
  // A name and its prefix, and names equal but for a high byte, are distinct.
  EXPECT_EQ(repeated({{"ab", ParamValue::integer(1)}, {"a", ParamValue::integer(1)},
                      {"a\xc3\xa9", ParamValue::integer(1)}, {"a\xc3\xa8", ParamValue::integer(1)}}),
            std::nullopt);
  // Repeats are found wherever they stand in the given order, with any
  // values, and the first in name order is reported.
  EXPECT_EQ(repeated({{"z", ParamValue::boolean(true)}, {"b", ParamValue::integer(1)},
                      {"z", ParamValue::text("t")}, {"b", ParamValue::integer(1)}}),
            "b");
  EXPECT_EQ(repeated({{"", ParamValue::integer(1)}, {"m", ParamValue::integer(1)}, {"", ParamValue::floating(2)}}),
            "");
  std::vector<ParamEntry> many;
  for (int i = 0; i < 40; ++i) many.push_back({"p" + std::to_string(100 + i), ParamValue::integer(i)});
  EXPECT_EQ(repeated(many), std::nullopt);
  many.push_back({"p117", ParamValue::integer(0)});
  EXPECT_EQ(repeated(many), "p117");
}

}  // namespace
}  // namespace quorvel
