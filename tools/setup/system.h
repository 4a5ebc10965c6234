// The few places where the setup command touches the machine.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace qorda::setup {

// $HOME, else the password database.
std::optional<std::filesystem::path> homeFolder();

// This program's own file (per platform, in self_path_*.cpp).
std::optional<std::filesystem::path> selfExecutable();

bool pathExists(const std::filesystem::path& path);
bool isExecutableFile(const std::filesystem::path& path);
bool isOnPath(std::string_view program);

// Whole file, or nothing with *error set ("" when the file does not exist).
std::optional<std::string> readTextFile(const std::filesystem::path& path, std::string* error);

// Creates the folder and its missing parents with mode 0755; "" on success.
std::string createFolders(const std::filesystem::path& folder);

// Temporary file beside the target, fsync, rename; mode 0644. "" on success.
std::string writeFileAtomically(const std::filesystem::path& file, std::string_view text);

std::string removeFile(const std::filesystem::path& file);

}  // namespace qorda::setup
