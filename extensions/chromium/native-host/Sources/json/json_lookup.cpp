#include "json_lookup.h"

namespace qorda {

std::optional<JsonObject> objectAt(JsonObject object, std::string_view key) {
  JsonObject value;
  if (object.at_key(key).get(value)) return std::nullopt;
  return value;
}

std::optional<std::string_view> stringAt(JsonObject object, std::string_view key) {
  std::string_view value;
  if (object.at_key(key).get(value)) return std::nullopt;
  return value;
}

std::optional<bool> boolAt(JsonObject object, std::string_view key) {
  bool value;
  if (object.at_key(key).get(value)) return std::nullopt;
  return value;
}

std::optional<std::string_view> nestedStringAt(JsonObject object, std::string_view outer,
                                               std::string_view inner) {
  auto nested = objectAt(object, outer);
  return nested ? stringAt(*nested, inner) : std::nullopt;
}

}  // namespace qorda
