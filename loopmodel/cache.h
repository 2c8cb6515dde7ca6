// The per-user cache of binary analyses: one JSON file per binary, CPU and llvm-mca version,
// in the folder where the driver keeps its ceilings ($XDG_CACHE_HOME/kernelscope, else
// ~/.cache/kernelscope). A binary is known by its build id (.note.gnu.build-id), or by its
// size and a hash of its bytes when it has none.
//
// Files are written whole: into a fresh temporary file in the folder (created exclusively,
// never through a link), then renamed over the old one. Reading never follows a link either,
// and a file that is not a regular one, too large, not JSON or of another key counts as none.
#pragma once

#include <optional>
#include <string>

#include <nlohmann/json.hpp>

namespace ks::loopmodel {

// The build id of an ELF file in lowercase hexadecimal; "" when it has none or is not ELF.
std::string build_id(const std::string& path);

// "build-id <hex>", else "file <size> <16 hex digits>"; throws LoopError when the file cannot
// be read.
std::string binary_key(const std::string& path);

// $XDG_CACHE_HOME/kernelscope (when absolute), else $HOME/.cache/kernelscope; "" when neither
// is set.
std::string default_cache_dir();

// "loops-<16 hex digits>.json": the digits a hash of the whole key.
std::string cache_file_name(const nlohmann::json& key);

// The value stored under `key`, or nothing.
std::optional<nlohmann::json> read_cache(const std::string& dir, const nlohmann::json& key);

// Stores `value` under `key` (the folder made if need be, mode 0700); returns the file's path.
// Throws LoopError when it cannot.
std::string write_cache(const std::string& dir, const nlohmann::json& key,
                        const nlohmann::json& value);

}  // namespace ks::loopmodel
