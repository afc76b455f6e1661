// Replays the committed fuzz corpora and saved crash inputs through their harnesses.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <ostream>
#include <set>
#include <string>
#include <vector>

#include "harnesses.h"

namespace qel::fuzz {
namespace {

namespace fs = std::filesystem;

const fs::path kFuzzDir = fs::path(PYOSTREL_SOURCE_DIR) / "fuzz";

struct Input {
  const Harness* harness;
  fs::path path;
  std::string name;
};

void PrintTo(const Input& in, std::ostream* os) { *os << in.path; }

// fuzz/corpus/<harness>/* and fuzz/regressions/<harness>/*, named for the test list.
std::vector<Input> inputs() {
  std::vector<Input> out;
  std::set<std::string> names;
  for (const char* kind : {"corpus", "regressions"}) {
    for (const Harness& h : kHarnesses) {
      const fs::path dir = kFuzzDir / kind / h.name;
      if (!fs::is_directory(dir)) continue;
      std::vector<fs::path> files;
      for (const auto& entry : fs::directory_iterator(dir)) {
        if (entry.is_regular_file()) files.push_back(entry.path());
      }
      std::sort(files.begin(), files.end());
      for (const fs::path& file : files) {
        std::string name = std::string(kind) + "_" + h.name + "_" + file.filename().string();
        for (char& c : name) {
          if (!std::isalnum(static_cast<unsigned char>(c))) c = '_';
        }
        while (!names.insert(name).second) name += "_";
        out.push_back({&h, file, name});
      }
    }
  }
  return out;
}

std::string read_file(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// A death test, so that an abort or a sanitizer report fails this input's test
// by name instead of ending the whole run.
class FuzzReplayDeathTest : public ::testing::TestWithParam<Input> {};

TEST_P(FuzzReplayDeathTest, RunsClean) {
  const Input& in = GetParam();
  const std::string data = read_file(in.path);
  EXPECT_EXIT(
      {
        in.harness->run(reinterpret_cast<const std::uint8_t*>(data.data()), data.size());
        std::exit(0);
      },
      ::testing::ExitedWithCode(0), "");
}

INSTANTIATE_TEST_SUITE_P(Fuzz, FuzzReplayDeathTest, ::testing::ValuesIn(inputs()),
                         [](const auto& info) { return info.param.name; });

// Every harness has seeds, and every corpus directory belongs to a harness.
TEST(FuzzCorpus, MatchesHarnesses) {
  std::set<std::string> known;
  for (const Harness& h : kHarnesses) {
    known.insert(h.name);
    EXPECT_TRUE(fs::exists(kFuzzDir / ("fuzz_" + std::string(h.name) + ".cc"))) << h.name;
    const fs::path dir = kFuzzDir / "corpus" / h.name;
    EXPECT_TRUE(fs::is_directory(dir) && !fs::is_empty(dir)) << dir;
  }
  for (const char* kind : {"corpus", "regressions"}) {
    if (!fs::is_directory(kFuzzDir / kind)) continue;
    for (const auto& entry : fs::directory_iterator(kFuzzDir / kind)) {
      EXPECT_TRUE(known.count(entry.path().filename().string())) << entry.path();
    }
  }
}

}  // namespace
}  // namespace qel::fuzz
