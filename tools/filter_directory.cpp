#include "tools/filter_directory.h"

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <system_error>

#include "platform/site_table.h"
#include "platform/system.h"

namespace fs = std::filesystem;

namespace vortane::tools {
namespace {

// Writes `text` to a file beside `target` and renames it over `target`.
void ReplaceFile(const fs::path& target, const std::string& text) {
  fs::path partial = target;
  partial += ".partial";
  {
    std::ofstream out(partial, std::ios::binary | std::ios::trunc);
    out << text;
    if (!out.flush()) throw std::runtime_error("cannot write " + partial.string());
  }
  std::error_code error;
  fs::rename(partial, target, error);
  if (error) {
    fs::remove(partial, error);
    throw std::runtime_error("cannot replace " + target.string());
  }
}

}  // namespace

fs::path ProgramDirectory() {
  const std::optional<platform::PathString> name = platform::ModuleFileName(platform::ThisModule());
  std::error_code error;
  if (name && fs::path(*name).is_absolute()) {
    // A link to the program leads to the build's directory.
    const fs::path program = fs::weakly_canonical(fs::path(*name), error);
    if (!error) return program.parent_path();
  }
  // A program started through PATH knows only its bare name; Linux names it here.
  const fs::path self = fs::read_symlink("/proc/self/exe", error);
  if (!error) return self.parent_path();
  throw std::runtime_error("cannot tell where this program lies; give the library with --library");
}

void PlaceLibrary(const fs::path& source, const fs::path& target) {
  if (!fs::is_regular_file(source)) {
    throw std::runtime_error("no filter library at " + source.string() +
                             " (build the vortane target, or give --library PATH)");
  }
  if (fs::exists(target) && fs::file_size(source) == fs::file_size(target) &&
      ReadWholeFile(source) == ReadWholeFile(target)) {
    return;
  }
  fs::path partial = target;
  partial += ".partial";
  std::error_code error;
  fs::copy_file(source, partial, fs::copy_options::overwrite_existing, error);
  if (!error) fs::rename(partial, target, error);
  if (error) {
    fs::remove(partial);
    throw std::runtime_error("cannot copy " + source.string() + " to " + target.string() + ": " +
                             error.message());
  }
}

void WriteSiteTable(const fs::path& table, const std::vector<SiteRoot>& sites,
                    SiteTableUpdate update) {
  std::string text;
  if (update == SiteTableUpdate::ReplaceGivenSites && fs::exists(table)) {
    std::istringstream old(ReadWholeFile(table));
    for (std::string line; std::getline(old, line);) {
      const auto entry = platform::ParseSiteLine(line);
      const bool replaced =
          entry && std::any_of(sites.begin(), sites.end(),
                               [&](const auto& given) { return given.first == entry->first; });
      if (!replaced) text += line + "\n";
    }
  }
  for (const auto& [site, root] : sites) {
    const fs::path absolute = fs::absolute(root).lexically_normal();
    if (!fs::is_directory(absolute)) {
      std::fprintf(stderr, "note: the root of site %u, %s, is not a directory\n",
                   static_cast<unsigned>(site), absolute.string().c_str());
    }
    text += std::to_string(site) + " " + absolute.string() + "\n";
  }
  ReplaceFile(table, text);
}

std::string ReadWholeFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw std::runtime_error("cannot read " + path.string());
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

StartedFilter StartFilter(const std::filesystem::path& path) {
  StartedFilter started;
  started.library = std::make_unique<platform::FilterLibrary>(path.native());
  if (!started.library->IsLoaded()) {
    throw std::runtime_error("cannot load " + path.string() + ": " + started.library->Error());
  }
  HTTP_FILTER_VERSION version{};
  version.dwServerFilterVersion = HTTP_FILTER_REVISION;
  if (!started.library->getFilterVersion(&version)) {
    started.library->terminateFilter(0);
    throw std::runtime_error("the filter refused to start (GetFilterVersion returned FALSE)");
  }
  started.flags = version.dwFlags;
  return started;
}

}  // namespace vortane::tools
