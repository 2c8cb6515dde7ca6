// The output folder and its files, written so that a file that exists is complete (each is
// written under a temporary name, then renamed).
#pragma once

#include <string>

#include "driver/errors.h"

namespace ks::driver {

// Creates the folder (and its parents) and proves it writable; throws UsageError with a
// one-line reason when it cannot.
void prepare_output_dir(const std::string& dir);

// Creates a folder of the output (and its parents); throws WriteError, naming it and the
// reason, when it cannot.
void create_folder(const std::string& dir);

// Removes what kernelscope writes into an output folder (the store, the CSV, JSON and Markdown
// files, plots/, maps/, map.*, leftovers of files being written), so that nothing of an earlier
// command survives; the lock file and anything else stay. With `keep_store`, results.db and its
// log stay too. Throws UsageError naming what could not be removed.
void clear_outputs(const std::string& dir, bool keep_store = false);

// Writes `content` to `path` through a temporary file in the same folder and a rename.
// Throws WriteError, naming the file and the reason, on failure.
void write_file_atomic(const std::string& path, const std::string& content);

}  // namespace ks::driver
