#include "manifest.h"

#include "error.h"
#include "json/json_writer.h"

#include <simdjson.h>

#include <algorithm>

namespace qorda::setup {
namespace {

constexpr std::string_view originPrefix = "chrome-extension://";

bool isIdLetter(char c) { return c >= 'a' && c <= 'p'; }

bool isNameChar(char c) { return (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_' || c == '.'; }

bool isValidOrigin(std::string_view origin) {
  if (!origin.starts_with(originPrefix) || !origin.ends_with('/')) return false;
  origin.remove_prefix(originPrefix.size());
  origin.remove_suffix(1);
  return isValidExtensionId(origin);
}

std::string originForExtension(std::string_view id) {
  return std::string(originPrefix) + std::string(id) + "/";
}

std::string jsonString(std::string_view text) {
  std::string out;
  qorda::appendJsonString(out, text);
  return out;
}

Result<simdjson::dom::object> parseObject(simdjson::dom::parser& parser, std::string_view text) {
  simdjson::dom::element root;
  if (const auto code = parser.parse(text.data(), text.size()).get(root); code != simdjson::SUCCESS)
    return {{}, std::string("not valid JSON (") + simdjson::error_message(code) + ")"};
  simdjson::dom::object object;
  if (root.get_object().get(object) != simdjson::SUCCESS) return {{}, "not a JSON object"};
  return {object, std::nullopt};
}

// The members of one manifest, and the problems found in them so far.
struct Fields {
  simdjson::dom::object object;
  std::vector<std::string>& problems;
};

// The string at key, or nothing (with a problem noted) when missing or not a string.
std::optional<std::string_view> stringField(const Fields& fields, std::string_view key) {
  simdjson::dom::element value;
  std::string_view text;
  if (fields.object.at_key(key).get(value) != simdjson::SUCCESS) {
    fields.problems.push_back("\"" + std::string(key) + "\" is missing");
  } else if (value.get_string().get(text) != simdjson::SUCCESS) {
    fields.problems.push_back("\"" + std::string(key) + "\" is not a string");
  } else {
    return text;
  }
  return std::nullopt;
}

void checkOrigins(const Fields& fields, const std::vector<std::string>& requiredIds) {
  simdjson::dom::element value;
  simdjson::dom::array origins;
  if (fields.object.at_key("allowed_origins").get(value) != simdjson::SUCCESS)
    return fields.problems.push_back("\"allowed_origins\" is missing");
  if (value.get_array().get(origins) != simdjson::SUCCESS)
    return fields.problems.push_back("\"allowed_origins\" is not an array");
  std::vector<std::string_view> seen;
  for (simdjson::dom::element origin : origins) {
    std::string_view text;
    if (origin.get_string().get(text) != simdjson::SUCCESS)
      fields.problems.push_back("an allowed origin is not a string");
    else if (!isValidOrigin(text))
      fields.problems.push_back("malformed origin \"" + std::string(text) + "\"");
    else
      seen.push_back(text);
  }
  if (origins.size() == 0) fields.problems.push_back("\"allowed_origins\" is empty");
  for (const auto& id : requiredIds)
    if (std::find(seen.begin(), seen.end(), originForExtension(id)) == seen.end())
      fields.problems.push_back("extension " + id + " is not allowed");
}

}  // namespace

bool isValidExtensionId(std::string_view id) {
  return id.size() == 32 && std::all_of(id.begin(), id.end(), isIdLetter);
}

bool isValidHostName(std::string_view name) {
  if (name.empty() || name.front() == '.' || name.back() == '.') return false;
  if (name.find("..") != std::string_view::npos) return false;
  return std::all_of(name.begin(), name.end(), isNameChar);
}

bool isValidUtf8(std::string_view text) { return simdjson::validate_utf8(text.data(), text.size()); }

std::string manifestFileName(std::string_view hostName) { return std::string(hostName) + ".json"; }

std::string buildManifestText(const ManifestFields& fields) {
  std::string text = "{\n";
  text += "  \"name\": " + jsonString(fields.name) + ",\n";
  text += "  \"description\": " + jsonString(fields.description) + ",\n";
  text += "  \"path\": " + jsonString(fields.path) + ",\n";
  text += "  \"type\": \"stdio\",\n";
  text += "  \"allowed_origins\": [";
  for (std::size_t i = 0; i < fields.extensionIds.size(); ++i)
    text += (i == 0 ? "\n    " : ",\n    ") + jsonString(originForExtension(fields.extensionIds[i]));
  text += "\n  ]\n}\n";
  return text;
}

ManifestCheck checkManifestText(std::string_view text, std::string_view expectedName,
                                const std::vector<std::string>& requiredIds) {
  ManifestCheck check;
  simdjson::dom::parser parser;
  const auto object = parseObject(parser, text);
  if (object.error) {
    check.problems.push_back(*object.error);
    return check;
  }
  const Fields fields{object.value, check.problems};
  if (const auto name = stringField(fields, "name"); name && *name != expectedName)
    check.problems.push_back("name \"" + std::string(*name) + "\" does not match the file name");
  if (const auto description = stringField(fields, "description"); description && description->empty())
    check.problems.push_back("\"description\" is empty");
  if (const auto path = stringField(fields, "path")) {
    check.hostPath = std::string(*path);
    if (!path->starts_with('/')) check.problems.push_back("path is not absolute");
  }
  if (const auto type = stringField(fields, "type"); type && *type != "stdio")
    check.problems.push_back("type is \"" + std::string(*type) + "\", not \"stdio\"");
  checkOrigins(fields, requiredIds);
  return check;
}

bool isOurManifest(std::string_view text) {
  simdjson::dom::parser parser;
  const auto object = parseObject(parser, text);
  std::string_view path;
  if (object.error || object.value.at_key("path").get_string().get(path) != simdjson::SUCCESS) return false;
  return path.ends_with("/" + std::string(hostProgramName));
}

}  // namespace qorda::setup
