#include "sql_builder.h"

namespace tidewell {

SqlBuilder& SqlBuilder::sql(std::string_view fixed) {
  text_ += fixed;
  return *this;
}

SqlBuilder& SqlBuilder::param(SqlValue value) {
  const bool is_integer = std::holds_alternative<std::int64_t>(value);
  params_.push_back(std::move(value));
  const std::string number = std::to_string(params_.size());
  if (dialect_ == SqlDialect::postgres) {
    // Parameters travel as text; the cast tells the server how to read integers.
    text_ += "$" + number + (is_integer ? "::bigint" : "");
  } else {
    text_ += "?" + number;
  }
  return *this;
}

SqlBuilder& SqlBuilder::param_list(const std::vector<SqlValue>& values) {
  text_ += "(";
  for (std::size_t i = 0; i < values.size(); ++i) {
    if (i > 0) text_ += ", ";
    param(values[i]);
  }
  text_ += ")";
  return *this;
}

}  // namespace tidewell
