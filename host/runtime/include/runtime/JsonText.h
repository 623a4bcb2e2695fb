// Writing JSON text: the panel listing and the trace lines.
#pragma once

#include <string>
#include <vector>

namespace host_runtime {

// A quoted, escaped JSON string.
std::string jsonString(const std::string& s);
// A number; NaN and infinities, which JSON lacks, as the strings "nan", "inf", "-inf".
std::string jsonNumber(double v);
std::string jsonArray(const std::vector<std::string>& items); // items are JSON already
std::string jsonStringArray(const std::vector<std::string>& items);

// Builds one JSON object, members in the order they are added.
class JsonObject {
public:
  JsonObject& raw(const std::string& key, const std::string& json);
  JsonObject& str(const std::string& key, const std::string& value) { return raw(key, jsonString(value)); }
  JsonObject& num(const std::string& key, double value) { return raw(key, jsonNumber(value)); }
  JsonObject& integer(const std::string& key, long long value) { return raw(key, std::to_string(value)); }
  JsonObject& boolean(const std::string& key, bool value) { return raw(key, value ? "true" : "false"); }
  JsonObject& null(const std::string& key) { return raw(key, "null"); }
  std::string text() const { return body_ + "}"; }

private:
  std::string body_ = "{";
};

} // namespace host_runtime
