// Client configuration: file reading, the recognised keys, refusals that change nothing.
#include <gtest/gtest.h>

#include "error_text.h"

#include <filesystem>
#include <fstream>
#include <string>

#include <unistd.h>

#include "qel/error.h"
#include "qel/storage/client_config.h"

namespace qel::storage {
namespace {

using test_support::error_text;

KestrinConfig loaded() {
  KestrinConfig c;
  c.log_path = "/var/log/before";
  c.masters = {{"m0", 1}, {"m1", 2}};
  c.singularity_alike_markets = {"SH"};
  return c;
}

TEST(KestrinConfig, CopiesTheRecognisedKeys) {
  KestrinConfig c;
  EXPECT_EQ(c.load_from_json_text(
                R"({"log_path":"/tmp/x.log","masters":[["10.0.0.1",9000]],"singularity_markets":["HK"],"other":1})"),
            ConfigLoad::kLoaded);
  EXPECT_EQ(c.log_path, "/tmp/x.log");
  EXPECT_EQ(c.masters, (decltype(c.masters){{"10.0.0.1", 9000}}));
  EXPECT_EQ(c.singularity_alike_markets, std::vector<std::string>{"HK"});
}

struct KeepCase {
  const char* json;
  ConfigLoad outcome;
};

class LeavesUnchanged : public ::testing::TestWithParam<KeepCase> {};

TEST_P(LeavesUnchanged, WithoutError) {
  KestrinConfig c = loaded();
  EXPECT_EQ(c.load_from_json_text(GetParam().json), GetParam().outcome);
  EXPECT_EQ(c, loaded());
}

INSTANTIATE_TEST_SUITE_P(KestrinConfig, LeavesUnchanged,
                         ::testing::Values(KeepCase{"", ConfigLoad::kNotJson}, KeepCase{"{", ConfigLoad::kNotJson},
                                           KeepCase{"log_path = x", ConfigLoad::kNotJson},
                                           KeepCase{R"({"masters":[["h",1]]} x)", ConfigLoad::kNotJson},
                                           KeepCase{"{}", ConfigLoad::kLoaded}, KeepCase{"[]", ConfigLoad::kLoaded},
                                           KeepCase{R"({"log_path":1,"masters":{},"singularity_markets":"SZ"})",
                                                    ConfigLoad::kLoaded},
                                           // The property's own name is not the file's key.
                                           KeepCase{R"({"singularity_alike_markets":["SZ"]})", ConfigLoad::kLoaded}));

struct RefusalCase {
  const char* json;
  const char* message;
};

class Refused : public ::testing::TestWithParam<RefusalCase> {};

TEST_P(Refused, ChangesNothing) {
  KestrinConfig c = loaded();
  // log_path comes before the bad entry and is not kept either.
  const std::string json = std::string(R"({"log_path":"/new",)") + GetParam().json + "}";
  EXPECT_EQ(error_text<Error>([&] { c.load_from_json_text(json); }), GetParam().message);
  EXPECT_EQ(c, loaded());
}

INSTANTIATE_TEST_SUITE_P(
    KestrinConfig, Refused,
    ::testing::Values(
        RefusalCase{R"("masters":[{"host":"h","port":1}])", "load_from_json: master entry not an array"},
        RefusalCase{R"("masters":[["h",1],"h:1"])", "load_from_json: master entry not an array"},
        RefusalCase{R"("masters":[[]])", "load_from_json: master[0] not a string"},
        RefusalCase{R"("masters":[[1,2]])", "load_from_json: master[0] not a string"},
        RefusalCase{R"("masters":[["h"]])", "load_from_json: master[1] not a uint"},
        RefusalCase{R"("masters":[["h",-1]])", "load_from_json: master[1] not a uint"},
        RefusalCase{R"("masters":[["h",80.0]])", "load_from_json: master[1] not a uint"},
        RefusalCase{R"("masters":[["h","80"]])", "load_from_json: master[1] not a uint"},
        RefusalCase{R"("masters":[["h",1],["g",65536]])", "load_from_json: master entry 1: port 65536 above 65535"},
        RefusalCase{R"("masters":[["h",18446744073709551615]])",
                    "load_from_json: master entry 0: port 18446744073709551615 above 65535"},
        RefusalCase{R"("singularity_markets":["SH",null])", "load_from_json: singularity_markets entry 1 not a string"}));

TEST(KestrinConfig, EdgesOfTheAcceptedShapes) {
  KestrinConfig c = loaded();
  // Extra elements of an entry are ignored; ports 0 and 65535 fit.
  ASSERT_EQ(c.load_from_json_text(R"({"masters":[["a",0,"x"],["b",65535]],"singularity_markets":[]})"),
            ConfigLoad::kLoaded);
  EXPECT_EQ(c.masters, (decltype(c.masters){{"a", 0}, {"b", 65535}}));
  EXPECT_TRUE(c.singularity_alike_markets.empty());
  EXPECT_EQ(c.log_path, "/var/log/before");
  // A repeated key: the last one counts.
  ASSERT_EQ(c.load_from_json_text(R"({"log_path":"/a","log_path":"/b","masters":[]})"), ConfigLoad::kLoaded);
  EXPECT_EQ(c.log_path, "/b");
  EXPECT_TRUE(c.masters.empty());
}

class ConfigFile : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = std::filesystem::path(::testing::TempDir()) /
           ("client_config_test_" + std::to_string(::getpid()));
    std::filesystem::create_directories(dir_);
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }

  std::string write(const std::string& name, const std::string& content) {
    const auto path = dir_ / name;
    std::ofstream(path, std::ios::binary) << content;
    return path.string();
  }

  std::filesystem::path dir_;
};

TEST_F(ConfigFile, LoadsAFile) {
  const std::string path =
      write("c.json", R"({"log_path":"/l","masters":[["h",9000]],"singularity_markets":["SH"]})");
  KestrinConfig c;
  EXPECT_EQ(c.load_from_json(path), ConfigLoad::kLoaded);
  EXPECT_EQ(c.log_path, "/l");
  EXPECT_EQ(c.masters, (decltype(c.masters){{"h", 9000}}));
}

TEST_F(ConfigFile, NotJsonIsSilent) {
  KestrinConfig c = loaded();
  EXPECT_EQ(c.load_from_json(write("n.json", "masters: none")), ConfigLoad::kNotJson);
  EXPECT_EQ(c, loaded());
}

TEST_F(ConfigFile, ReadFailures) {
  KestrinConfig c = loaded();
  const auto fails = [&](const std::string& path) { return error_text<Error>([&] { c.load_from_json(path); }); };
  const std::string missing = (dir_ / "missing.json").string();
  EXPECT_EQ(fails(missing), "load_from_json read " + missing + ": No such file or directory");
  EXPECT_EQ(fails(dir_.string()), "load_from_json read " + dir_.string() + ": Is a directory");
  EXPECT_EQ(fails(std::string("a\0b", 3)), "load_from_json read a\xEF\xBF\xBD" "b: path contains a NUL byte");
  const std::string bad = write("bad.json", "{\"log_path\":\"\xff\"}");
  EXPECT_EQ(fails(bad), "load_from_json read " + bad + ": stream did not contain valid UTF-8");
  // The message stays UTF-8 whatever bytes the path holds.
  EXPECT_EQ(fails("/nonexistent/\xff\xfe.json"),
            "load_from_json read /nonexistent/\xEF\xBF\xBD\xEF\xBF\xBD.json: No such file or directory");
  EXPECT_EQ(c, loaded());
}

TEST(KestrinStructValueKey, Defaults) {
  const KestrinStructValueKey k;
  EXPECT_EQ(k.revision, 4294967295u);
  EXPECT_FALSE(k.wait_io_completion);
  EXPECT_EQ(k.ns, 0);
  EXPECT_EQ(k.mask, 0);
  EXPECT_TRUE(k.meta_name.empty() && k.markets.empty() && k.symbols.empty());
  EXPECT_EQ(k.from_tm + k.to_tm + k.granularity, 0u);
}

}  // namespace
}  // namespace qel::storage
