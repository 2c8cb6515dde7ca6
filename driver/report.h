// What a sweep leaves behind: raw runs, summaries, machine context, written so that a file
// that exists is complete (each is written under a temporary name, then renamed).
#pragma once

#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "driver/sweep.h"

namespace ks::driver {

// Creates the folder (and its parents) and proves it writable; throws UsageError with a
// one-line reason when it cannot.
void prepare_output_dir(const std::string& dir);

// Writes `content` to `path` through a temporary file in the same folder and a rename.
// Throws std::runtime_error with a one-line reason on failure.
void write_file_atomic(const std::string& path, const std::string& content);

std::string csv_field(const std::string& text);
std::string runs_csv(const std::vector<Config>& configs, const std::vector<RunRecord>& runs);
std::string summary_csv(const std::vector<Config>& configs, const std::vector<SummaryRow>& rows);
std::string summary_markdown(const std::vector<Config>& configs,
                             const std::vector<SummaryRow>& rows);
// The compact table printed on the terminal.
std::string summary_text(const std::vector<Config>& configs, const std::vector<SummaryRow>& rows);

// The machine and build context: CPU, caches, memory, kernel, compiler and flags of each
// program, OpenMP environment, date, source revision.
nlohmann::json machine_context(const std::string& bin_dir);

nlohmann::json results_json(const std::vector<Config>& configs, const std::vector<RunRecord>& runs,
                            const std::vector<SummaryRow>& rows, const nlohmann::json& context,
                            const std::vector<std::string>& command);

// Seconds in a short human form: "812 ns", "3.41 ms", "1.20 s".
std::string human_seconds(double s);

}  // namespace ks::driver
