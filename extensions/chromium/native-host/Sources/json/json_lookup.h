// Typed lookups into parsed JSON: a key that is absent and a key of another
// JSON type count alike as absent.
#pragma once

#include <simdjson.h>

#include <optional>
#include <string_view>

namespace qorda {

using JsonObject = simdjson::dom::object;
using JsonArray = simdjson::dom::array;

std::optional<JsonObject> objectAt(JsonObject object, std::string_view key);
std::optional<std::string_view> stringAt(JsonObject object, std::string_view key);
// Only JSON true and false are booleans; 0 and 1 are numbers.
std::optional<bool> boolAt(JsonObject object, std::string_view key);

// The string at object / outer / inner, when both levels have the right type.
std::optional<std::string_view> nestedStringAt(JsonObject object, std::string_view outer,
                                               std::string_view inner);

}  // namespace qorda
