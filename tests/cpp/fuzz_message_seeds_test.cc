// The messages harness's committed inputs select the decoder they are named
// after ("<decoder>" or "<decoder>-<variant>"), so that a reordered decoder
// table cannot quietly send them to another decoder.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "harnesses.h"

namespace qel::fuzz {

namespace {

namespace fs = std::filesystem;

TEST(FuzzMessageSeeds, SelectTheDecoderTheyAreNamedAfter) {
  const std::vector<std::string_view> names = message_decoder_names();
  ASSERT_FALSE(names.empty());
  std::set<std::string_view> seeded;
  for (const char* kind : {"corpus", "regressions"}) {
    const fs::path dir = fs::path(PYOSTREL_SOURCE_DIR) / "fuzz" / kind / "messages";
    if (!fs::is_directory(dir)) continue;
    for (const auto& entry : fs::directory_iterator(dir)) {
      const std::string file = entry.path().filename().string();
      const auto it = std::find(names.begin(), names.end(), file.substr(0, file.find('-')));
      // Every seed comes from make_message_seeds.py, which names it after its
      // decoder; a saved regression input may carry an older name.
      if (it == names.end()) {
        EXPECT_NE(std::string_view(kind), "corpus") << entry.path() << " is named after no decoder";
        continue;
      }
      std::ifstream in(entry.path(), std::ios::binary);
      const std::string data{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
      ASSERT_FALSE(data.empty()) << entry.path();
      const std::size_t selected = static_cast<std::uint8_t>(data[0]) % names.size();
      EXPECT_EQ(names[selected], *it) << entry.path() << ": rerun fuzz/make_message_seeds.py";
      if (std::string_view(kind) == "corpus") seeded.insert(*it);
    }
  }
  for (std::string_view name : names) EXPECT_TRUE(seeded.count(name)) << "no seed for " << name;
}

}  // namespace
}  // namespace qel::fuzz
