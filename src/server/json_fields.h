#pragma once

#include <optional>
#include <string>

#include <nlohmann/json.hpp>

namespace tovel {

// Reading a client's JSON object: a key of the wrong type counts as absent, and numbers are read
// as doubles whether they were written as integers or fractions.

inline std::optional<double> numberField(const nlohmann::json& object, const char* key) {
  auto it = object.find(key);
  if (it == object.end() || !it->is_number())
    return std::nullopt;
  return it->get<double>();
}

inline std::optional<std::string> textField(const nlohmann::json& object, const char* key) {
  auto it = object.find(key);
  if (it == object.end() || !it->is_string())
    return std::nullopt;
  return it->get<std::string>();
}

inline std::optional<bool> booleanField(const nlohmann::json& object, const char* key) {
  auto it = object.find(key);
  if (it == object.end() || !it->is_boolean())
    return std::nullopt;
  return it->get<bool>();
}

// The JSON value of a text; a discarded value when it is not JSON.
inline nlohmann::json parseJson(std::string_view text) {
  return nlohmann::json::parse(text, nullptr, /*allow_exceptions=*/false);
}

} // namespace tovel
