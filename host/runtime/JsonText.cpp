#include "runtime/JsonText.h"

#include <cmath>
#include <cstdio>

#include <nlohmann/json.hpp>

namespace host_runtime {

std::string jsonString(const std::string& s)
{
  // Text from scripts and files need not be valid UTF-8; JSON must be, so bad bytes become U+FFFD.
  return nlohmann::json(s).dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

std::string jsonNumber(double v)
{
  if (std::isnan(v))
    return "\"nan\"";
  if (std::isinf(v))
    return v > 0 ? "\"inf\"" : "\"-inf\"";
  if (v == std::floor(v) && std::fabs(v) < 1e15)
    return std::to_string((long long)v);
  char buffer[32];
  std::snprintf(buffer, sizeof buffer, "%.9g", v);
  return buffer;
}

std::string jsonArray(const std::vector<std::string>& items)
{
  std::string out = "[";
  for (std::size_t i = 0; i < items.size(); ++i)
    out += (i ? "," : "") + items[i];
  return out + "]";
}

std::string jsonStringArray(const std::vector<std::string>& items)
{
  std::vector<std::string> quoted;
  for (const std::string& s : items)
    quoted.push_back(jsonString(s));
  return jsonArray(quoted);
}

JsonObject& JsonObject::raw(const std::string& key, const std::string& json)
{
  if (body_.size() > 1)
    body_ += ",";
  body_ += jsonString(key) + ":" + json;
  return *this;
}

} // namespace host_runtime
