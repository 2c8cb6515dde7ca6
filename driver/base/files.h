// The output folder and its files, written so that a file that exists is complete (each is
// written under a temporary name, then renamed), that no link is followed below the folder,
// and that what kernelscope wrote is known: the folder's store keeps the list (store.h), and a
// command removes only the files of that list that are still as kernelscope left them.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "driver/base/errors.h"

namespace ks::driver {

// One entry of an output folder's list of what kernelscope wrote there.
struct WrittenFile {
  enum class Kind {
    kFile,       // a rendering (report.md, plots/x.svg): removed while still the file written
    kFolder,     // a folder it made (plots/): removed when empty
    kTemporary,  // a file being written (x.tmp-PID, x.svg.part): removed while a regular file
    kJob,        // a Slurm job's file (cluster.json, slurm-J_T.out): kept with the store
    kStore,      // a Slurm task's store, with its -wal and -shm: kept with the store
  };
  std::string path;  // relative to the folder, '/' between names
  Kind kind = Kind::kFile;
  // A kFile's inode, size and modification time (nanoseconds) as it was written.
  std::int64_t inode = 0;
  std::int64_t size = 0;
  std::int64_t mtime_ns = 0;
};

std::string_view kind_name(WrittenFile::Kind kind);
std::optional<WrittenFile::Kind> kind_from_name(std::string_view name);

// Whether an entry read from a store may stand for a file of the folder: a path of plain names
// (no "..", ".", empty or absolute part) of a shape the kind allows (a temporary file is named
// as the driver names them, a job's files as a job's are). A store is data: an entry that is
// not is ignored.
bool acceptable_entry(const WrittenFile& f);

// Where the list is kept while a command writes (the store's table).
class FileLog {
 public:
  virtual ~FileLog() = default;
  virtual void record(const WrittenFile& f) = 0;
  virtual void forget(const std::string& path) = 0;
};

// While it lives, every file written or folder made under `dir` through this header is made
// without following a link below `dir`, replaces only a file of the list still as kernelscope
// left it (anything else in its place is left and the write fails), and is added to the list
// and to `log` (none: written, not recorded). One at a time per thread; they nest.
class OutputFolder {
 public:
  OutputFolder(const std::string& dir, FileLog* log, const std::vector<WrittenFile>& recorded);
  ~OutputFolder();
  OutputFolder(const OutputFolder&) = delete;
  OutputFolder& operator=(const OutputFolder&) = delete;

  static OutputFolder* current();
  const std::string& dir() const { return abs_; }
  // `path` relative to the folder when it lies below it.
  std::optional<std::string> relative(const std::string& path) const;
  const WrittenFile* find(const std::string& rel) const;
  void record(const WrittenFile& f);
  void forget(const std::string& rel);

 private:
  std::string abs_;
  FileLog* log_;
  std::map<std::string, WrittenFile> files_;
  OutputFolder* previous_;
};

// Refuses (UsageError, one line) an output folder that would hold the user's whole system or
// home: "/" and the home directory ($HOME, and the password database's), compared as
// canonical paths.
void refuse_system_folder(const std::string& dir);

// The longest path SQLite opens on this system (its file system layer's limit).
std::size_t sqlite_path_limit();

// The longest name a sweep's store has while it is made: results.db.tmp-PID, the pid of up
// to 7 digits (the kernel's largest).
inline constexpr std::size_t kLongestStoreName = 22;

// Refuses (UsageError, one line) a folder whose store's files would have paths longer than
// SQLite opens: `longest_name` is the longest name the command gives a database file in it
// (SQLite's "-journal" added to it).
void check_path_length(const std::string& dir, std::size_t longest_name);

// Creates the folder (and its parents), refuses "/" and the home directory and a path too long
// for the store, and proves it writable; throws UsageError with a one-line reason when it
// cannot.
void prepare_output_dir(const std::string& dir);

// Creates a folder of the output (and its parents); throws WriteError, naming it and the
// reason, when it cannot. Below an OutputFolder, a folder that is a link is refused, not
// followed, and a folder made is recorded.
void create_folder(const std::string& dir);

// Writes `content` to `path` through a temporary file created exclusively in the same folder
// (never through a link) and a rename. Throws WriteError, naming the file and the reason, on
// failure; the temporary file is removed then.
void write_file_atomic(const std::string& path, const std::string& content,
                       WrittenFile::Kind kind = WrittenFile::Kind::kFile);

// A file written in pieces as write_file_atomic writes one whole: appended to a temporary file
// created exclusively in the same folder (never through a link), through a buffer, and renamed
// into place by commit(). Until then the file is not there. Each call throws WriteError,
// naming the file and the reason, on failure; the temporary file is removed then, and by the
// destructor of a writer never committed.
class AtomicWriter {
 public:
  explicit AtomicWriter(const std::string& path, WrittenFile::Kind kind = WrittenFile::Kind::kFile);
  AtomicWriter(const AtomicWriter&) = delete;
  AtomicWriter& operator=(const AtomicWriter&) = delete;
  ~AtomicWriter();

  void append(std::string_view text);
  void commit();

 private:
  struct State;
  [[noreturn]] void fail(int e, bool made);
  void flush();
  std::unique_ptr<State> s_;
};

// Records a file that another part of the driver (a Slurm task's store) or another program
// (Slurm's output of a task) makes in the current OutputFolder; nothing outside one.
void record_made(const std::string& path, WrittenFile::Kind kind);

// A file another program (gnuplot) writes by name: made empty here, exclusively and without
// following a link, as `final_path` + ".part", so that the program writes into a file the
// driver made; keep() checks that it is still that file and renames it to `final_path`. The
// destructor removes it unless kept.
class ProgramOutput {
 public:
  explicit ProgramOutput(std::string final_path);  // throws WriteError
  ~ProgramOutput();
  ProgramOutput(ProgramOutput&& other) noexcept;
  ProgramOutput& operator=(ProgramOutput&&) = delete;
  ProgramOutput(const ProgramOutput&) = delete;
  ProgramOutput& operator=(const ProgramOutput&) = delete;

  const std::string& part() const { return part_; }
  void keep();  // throws WriteError

 private:
  std::string final_;
  std::string part_;
  std::int64_t inode_ = 0;
  bool done_ = false;
};

// Removes the files of the list that are still as kernelscope left them (a file of the same
// inode, size and time; a temporary file, a job's file or store that is still a regular file;
// a folder that is empty and not a link), never following a link; with `keep_job`, a job's
// files and stores stay. What is gone or no longer kernelscope's is forgotten by `log`, and so
// is what was removed. Returns the list that remains.
std::vector<WrittenFile> remove_written(const std::string& dir,
                                        const std::vector<WrittenFile>& files, bool keep_job,
                                        FileLog* log);

// The entries of `dir` (and of the folders of the list) that kernelscope did not write: not
// in the list, not the lock, the store or its log.
std::vector<std::string> foreign_entries(const std::string& dir,
                                         const std::vector<WrittenFile>& recorded);
// One line naming them, for a warning.
std::string foreign_warning(const std::string& dir, const std::vector<std::string>& names);

// Whether `path` is a regular file (lstat: a link is not); false when nothing is there.
bool is_regular_file(const std::string& path);

// Refuses (UsageError, one line) a file that exists and is not a regular file (a FIFO, a
// device, a socket, a folder, a link), checked on the descriptor of an open that neither
// blocks nor follows a link; nothing when no file is there.
void refuse_irregular(const std::string& path);

}  // namespace ks::driver
