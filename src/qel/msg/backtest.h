// Backtest start and control bodies, with the universe and sampler records
// nested in a backtest's parameters.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <tuple>
#include <vector>

#include "qel/msg/envelope.h"
#include "qel/msg/layout.h"

namespace qel::msg {

// The records nested in BacktestParams are filled from Python and only sent:
// their fields have setters alone.

struct UniverseInImport {
  std::string namespace_;
  std::string qualified_name;
  std::uint32_t revision = 0;
  std::vector<std::string> fields;
  static constexpr auto kFields = std::tuple{
      Field<&UniverseInImport::namespace_>{"namespace", kSet},
      Field<&UniverseInImport::qualified_name>{"qualified_name", kSet},
      Field<&UniverseInImport::revision>{"revision", kSet},
      Field<&UniverseInImport::fields>{"fields", kSet},
  };
};

struct SecuritySelector {
  std::string market;
  std::vector<std::string> codes;  // empty: every security of the market
  static constexpr auto kFields = std::tuple{
      Field<&SecuritySelector::market>{"market", kSet},
      Field<&SecuritySelector::codes>{"codes", kSet},
  };
};

struct UniverseIn {
  std::map<std::string, UniverseInImport> imports;  // ImportsMap, by alias
  std::vector<SecuritySelector> securities;        // SecuritySelectorVector
  static constexpr auto kFields = std::tuple{
      Field<&UniverseIn::imports>{"imports", kSet},
      Field<&UniverseIn::securities>{"securities", kSet},
  };
};

struct UniverseOutExportDef {
  std::string name;
  std::uint8_t data_type = 0;  // a data_type_* value
  std::uint8_t precision = 0;
  static constexpr auto kFields = std::tuple{
      Field<&UniverseOutExportDef::name>{"name", kSet},
      Field<&UniverseOutExportDef::data_type>{"data_type", kSet},
      Field<&UniverseOutExportDef::precision>{"precision", kSet},
  };
};

struct UniverseOutExport {
  std::string namespace_;
  std::string qualified_name;
  std::uint32_t revision = 0;
  std::vector<UniverseOutExportDef> defs;  // UniverseOutExportDefVector
  static constexpr auto kFields = std::tuple{
      Field<&UniverseOutExport::namespace_>{"namespace", kSet},
      Field<&UniverseOutExport::qualified_name>{"qualified_name", kSet},
      Field<&UniverseOutExport::revision>{"revision", kSet},
      Field<&UniverseOutExport::defs>{"defs", kSet},
  };
};

struct UniverseOutSubAccount {
  std::string name;
  std::uint8_t category = 0;  // an account_category_* value
  double capital = 0;
  static constexpr auto kFields = std::tuple{
      Field<&UniverseOutSubAccount::name>{"name", kSet},
      Field<&UniverseOutSubAccount::category>{"category", kSet},
      Field<&UniverseOutSubAccount::capital>{"capital", kSet},
  };
};

struct UniverseOutSampleGranularity {
  std::uint32_t type = 0;  // a sample_granularity_type_* value
  std::uint32_t granularity = 0;
  static constexpr auto kFields = std::tuple{
      Field<&UniverseOutSampleGranularity::type>{"type", kSet},
      Field<&UniverseOutSampleGranularity::granularity>{"granularity", kSet},
  };
};

struct SamplerConfiguration {
  std::vector<std::string> markets;
  std::vector<std::uint32_t> granularities;
  bool tm_as_of_eod = true;
  static constexpr auto kFields = std::tuple{
      Field<&SamplerConfiguration::markets>{"markets", kSet},
      Field<&SamplerConfiguration::granularities>{"granularities", kSet},
      Field<&SamplerConfiguration::tm_as_of_eod>{"tm_as_of_eod", kSet},
  };
};

struct UniverseOut {
  std::map<std::string, UniverseOutExport> exports;  // UniverseOutExportMap, by name
  std::vector<UniverseOutSubAccount> sub_accounts;   // UniverseOutSubAccountVector
  UniverseOutSampleGranularity sample_granularity;
  std::optional<SamplerConfiguration> sampler;  // absent until set
  static constexpr auto kFields = std::tuple{
      Field<&UniverseOut::exports>{"exports", kSet},
      Field<&UniverseOut::sub_accounts>{"sub_accounts", kSet},
      Field<&UniverseOut::sample_granularity>{"sample_granularity", kSet},
      Field<&UniverseOut::sampler>{"sampler", kSet},
  };
};

struct BacktestParams {
  std::uint8_t runtime = 0;      // a runtime_type_* value
  std::int64_t start_time = 0;   // epoch milliseconds
  std::int64_t end_time = 0;     // epoch milliseconds
  std::uint32_t graunlarity = 0;  // seconds; the name scripts call it by
  std::uint32_t restore_length = 0;
  std::map<std::string, UniverseIn> universe_in;    // UniverseInMap
  std::map<std::string, UniverseOut> universe_out;  // UniverseOutMap
  static constexpr auto kFields = std::tuple{
      Field<&BacktestParams::runtime>{"runtime", kSet},
      Field<&BacktestParams::start_time>{"start_time", kSet},
      Field<&BacktestParams::end_time>{"end_time", kSet},
      Field<&BacktestParams::graunlarity>{"graunlarity", kSet},
      Field<&BacktestParams::restore_length>{"restore_length", kSet},
      Field<&BacktestParams::universe_in>{"universe_in", kSet},
      Field<&BacktestParams::universe_out>{"universe_out", kSet},
  };
};

struct ATStartBacktestReq {
  BaseRequest base;
  std::uint32_t category = 0;  // a category_* value
  std::uint32_t target_id = 0;
  std::uint32_t revision = 0;
  bool is_managed = false;
  std::string original_content;
  BacktestParams parameters;
  static constexpr auto kFields = std::tuple{
      Embed<&ATStartBacktestReq::base>{},
      Field<&ATStartBacktestReq::category>{"category"},
      Field<&ATStartBacktestReq::target_id>{"target_id"},
      Field<&ATStartBacktestReq::revision>{"revision"},
      Field<&ATStartBacktestReq::is_managed>{"is_managed"},
      Field<&ATStartBacktestReq::original_content>{"original_content"},
      Field<&ATStartBacktestReq::parameters>{"parameters", kSet},
  };
};

struct ATStartBacktestRes {
  BaseResponse base;
  std::int64_t session_id = 0;
  std::string bt_address;
  static constexpr auto kFields = std::tuple{
      Embed<&ATStartBacktestRes::base>{kAllGet},
      Field<&ATStartBacktestRes::session_id>{"session_id", kGet},
      Field<&ATStartBacktestRes::bt_address>{"bt_address", kGet},
  };
};

struct ATControlBacktestReq {
  BaseRequest base;
  std::int64_t session_id = 0;
  Ranged<std::uint8_t, 0, 6> operation;  // a control_backtest_operation_* value
  bool rebuild = false;
  std::int64_t from = 0;  // epoch milliseconds
  std::int64_t to = 0;
  static constexpr auto kFields = std::tuple{
      Embed<&ATControlBacktestReq::base>{},
      Field<&ATControlBacktestReq::session_id>{"session_id"},
      Field<&ATControlBacktestReq::operation>{"operation"},
      Field<&ATControlBacktestReq::rebuild>{"rebuild"},
      Field<&ATControlBacktestReq::from>{"from"},
      Field<&ATControlBacktestReq::to>{"to"},
  };
};

struct ATControlBacktestRes {
  BaseResponse base;
  static constexpr auto kFields = std::tuple{Embed<&ATControlBacktestRes::base>{kAllGet}};
};

}  // namespace qel::msg
