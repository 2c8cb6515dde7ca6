#include "loopmodel/cache.h"

#include <elf.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "loopmodel/disassembly.h"

namespace ks::loopmodel {
namespace {

// Changes whenever what an analysis holds, or how it is made, changes: older entries then
// count as none and are made again.
constexpr const char* kFormat = "kernelscope loops 1";
constexpr off_t kLargestFile = off_t{16} << 20;

std::uint64_t fnv1a(const void* data, std::size_t size, std::uint64_t h = 14695981039346656037ull) {
  const auto* p = static_cast<const unsigned char*>(data);
  for (std::size_t i = 0; i < size; i++) {
    h ^= p[i];
    h *= 1099511628211ull;
  }
  return h;
}

std::string hex16(std::uint64_t v) {
  char text[32];
  std::snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(v));
  return text;
}

// A whole file into memory, through an open that follows no final link; nothing when it
// cannot be read or is larger than `limit`.
std::optional<std::string> read_file(int dir, const char* name, off_t limit) {
  const int fd = openat(dir, name, O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) {
    return std::nullopt;
  }
  struct stat st {};
  std::optional<std::string> out;
  if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_size <= limit) {
    std::string data(static_cast<std::size_t>(st.st_size), '\0');
    std::size_t done = 0;
    while (done < data.size()) {
      const ssize_t got = read(fd, data.data() + done, data.size() - done);
      if (got < 0 && errno == EINTR) {
        continue;
      }
      if (got <= 0) {
        break;
      }
      done += static_cast<std::size_t>(got);
    }
    if (done == data.size()) {
      out = std::move(data);
    }
  }
  close(fd);
  return out;
}

// Makes every missing folder of `path` (mode 0700) and opens the last one, refusing a link
// there.
int open_folder(const std::string& path) {
  for (std::size_t slash = path.find('/', 1); slash != std::string::npos;
       slash = path.find('/', slash + 1)) {
    mkdir(path.substr(0, slash).c_str(), 0700);
  }
  mkdir(path.c_str(), 0700);
  return open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
}

template <class Header>
std::string build_id_of(const std::string& image) {
  Header eh{};
  std::memcpy(&eh, image.data(), sizeof eh);
  using Section = std::conditional_t<sizeof(Header) == sizeof(Elf64_Ehdr), Elf64_Shdr, Elf32_Shdr>;
  const std::size_t count = eh.e_shnum;
  if (eh.e_shoff == 0 || eh.e_shentsize != sizeof(Section) ||
      eh.e_shoff + count * sizeof(Section) > image.size()) {
    return "";
  }
  for (std::size_t s = 0; s < count; s++) {
    Section sh{};
    std::memcpy(&sh, image.data() + eh.e_shoff + s * sizeof(Section), sizeof sh);
    if (sh.sh_type != SHT_NOTE || sh.sh_offset + sh.sh_size > image.size()) {
      continue;
    }
    // Notes: namesz, descsz, type, then the name and the descriptor, each padded to 4 bytes.
    std::size_t at = sh.sh_offset;
    const std::size_t end = sh.sh_offset + sh.sh_size;
    while (at + 12 <= end) {
      std::uint32_t words[3];
      std::memcpy(words, image.data() + at, sizeof words);
      const std::size_t name = at + 12;
      const std::size_t desc = name + ((words[0] + 3u) & ~3u);
      const std::size_t next = desc + ((words[1] + 3u) & ~3u);
      if (next > end) {
        break;
      }
      if (words[2] == NT_GNU_BUILD_ID && words[0] == 4 &&
          std::memcmp(image.data() + name, "GNU", 4) == 0) {
        std::string hex;
        for (std::size_t i = 0; i < words[1]; i++) {
          char byte[4];
          std::snprintf(byte, sizeof byte, "%02x", static_cast<unsigned char>(image[desc + i]));
          hex += byte;
        }
        return hex;
      }
      at = next;
    }
  }
  return "";
}

}  // namespace

std::string build_id(const std::string& path) {
  const std::optional<std::string> image = read_file(AT_FDCWD, path.c_str(), off_t{1} << 30);
  if (!image || image->size() < sizeof(Elf64_Ehdr) || image->compare(0, 4, ELFMAG) != 0) {
    return "";
  }
  if ((*image)[EI_CLASS] == ELFCLASS64) {
    return build_id_of<Elf64_Ehdr>(*image);
  }
  if ((*image)[EI_CLASS] == ELFCLASS32) {
    return build_id_of<Elf32_Ehdr>(*image);
  }
  return "";
}

std::string binary_key(const std::string& path) {
  const std::string id = build_id(path);
  if (!id.empty()) {
    return "build-id " + id;
  }
  const std::optional<std::string> image = read_file(AT_FDCWD, path.c_str(), off_t{1} << 30);
  if (!image) {
    throw LoopError("cannot read " + path);
  }
  return "file " + std::to_string(image->size()) + " " + hex16(fnv1a(image->data(), image->size()));
}

std::string default_cache_dir() {
  const char* xdg = std::getenv("XDG_CACHE_HOME");
  if (xdg != nullptr && xdg[0] == '/') {
    return std::string(xdg) + "/kernelscope";
  }
  const char* home = std::getenv("HOME");
  if (home != nullptr && home[0] != '\0') {
    return std::string(home) + "/.cache/kernelscope";
  }
  return "";
}

std::string cache_file_name(const nlohmann::json& key) {
  const std::string text = key.dump();
  return "loops-" + hex16(fnv1a(text.data(), text.size())) + ".json";
}

std::optional<nlohmann::json> read_cache(const std::string& dir, const nlohmann::json& key) {
  if (dir.empty()) {
    return std::nullopt;
  }
  const int fd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) {
    return std::nullopt;
  }
  const std::optional<std::string> text = read_file(fd, cache_file_name(key).c_str(), kLargestFile);
  close(fd);
  if (!text) {
    return std::nullopt;
  }
  try {
    nlohmann::json j = nlohmann::json::parse(*text);
    if (!j.is_object() || j.value("format", "") != kFormat ||
        j.value("key", nlohmann::json()) != key || !j.contains("value")) {
      return std::nullopt;
    }
    return std::move(j["value"]);
  } catch (const nlohmann::json::exception&) {
    return std::nullopt;
  }
}

std::string write_cache(const std::string& dir, const nlohmann::json& key,
                        const nlohmann::json& value) {
  if (dir.empty() || dir[0] != '/') {
    throw LoopError("no cache folder (neither XDG_CACHE_HOME nor HOME is set)");
  }
  const int folder = open_folder(dir);
  if (folder < 0) {
    throw LoopError("cannot open the cache folder " + dir + ": " + std::strerror(errno));
  }
  const std::string name = cache_file_name(key);
  const std::string text = nlohmann::json{{"format", kFormat}, {"key", key}, {"value", value}}.dump(
                               -1, ' ', false, nlohmann::json::error_handler_t::replace) +
                           "\n";
  std::string temporary;
  int fd = -1;
  for (int attempt = 0; attempt < 100 && fd < 0; attempt++) {
    temporary = "." + name + "." + std::to_string(getpid()) + "." + std::to_string(attempt);
    fd = openat(folder, temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                0600);
    if (fd < 0 && errno != EEXIST) {
      break;
    }
  }
  if (fd < 0) {
    const int error = errno;
    close(folder);
    throw LoopError("cannot write in the cache folder " + dir + ": " + std::strerror(error));
  }
  std::size_t done = 0;
  bool ok = true;
  while (done < text.size()) {
    const ssize_t put = write(fd, text.data() + done, text.size() - done);
    if (put < 0 && errno == EINTR) {
      continue;
    }
    if (put <= 0) {
      ok = false;
      break;
    }
    done += static_cast<std::size_t>(put);
  }
  const int error = errno;
  ok = close(fd) == 0 && ok;
  ok = ok && renameat(folder, temporary.c_str(), folder, name.c_str()) == 0;
  if (!ok) {
    unlinkat(folder, temporary.c_str(), 0);
    close(folder);
    throw LoopError("cannot write the cache file " + dir + "/" + name + ": " +
                    std::strerror(error != 0 ? error : EIO));
  }
  close(folder);
  return dir + "/" + name;
}

}  // namespace ks::loopmodel
