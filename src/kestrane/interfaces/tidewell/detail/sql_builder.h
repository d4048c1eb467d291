#pragma once
// SqlBuilder: one statement assembled from SQL fixed in the code and values that only ever
// travel as bound parameters, in the placeholder style of the target database.
// A plain value; one thread at a time.

#include <cstdint>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace tidewell {

// A bound value: NULL, an integer or a text.
using SqlValue = std::variant<std::monostate, std::int64_t, std::string>;

enum class SqlDialect { postgres, sqlite };

class SqlBuilder {
 public:
  explicit SqlBuilder(SqlDialect dialect) : dialect_(dialect) {}

  SqlBuilder& sql(std::string_view fixed);
  SqlBuilder& param(SqlValue value);
  // "(p1, p2, ...)" for a non-empty list.
  SqlBuilder& param_list(const std::vector<SqlValue>& values);

  const std::string& text() const { return text_; }
  const std::vector<SqlValue>& params() const { return params_; }

 private:
  SqlDialect dialect_;
  std::string text_;
  std::vector<SqlValue> params_;
};

}  // namespace tidewell
