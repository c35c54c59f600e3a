#include "tools/runner/filter_directory.h"

#include <algorithm>
#include <cstdio>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <system_error>

#include "platform/files.h"
#include "platform/site_table.h"
#include "platform/system.h"
#include "tools/runner/file_access.h"

namespace fs = std::filesystem;

namespace vortane::tools {
namespace {

// The most of a filter library that is copied: far beyond any build of it.
constexpr size_t kLibraryLimit = size_t{256} << 20;

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
  std::optional<std::string> bytes;
  try {
    bytes = ReadBoundedFile(source, kLibraryLimit);
  } catch (const std::runtime_error&) {
  }
  if (!bytes || bytes->empty()) {
    throw std::runtime_error("no filter library at " + source.string() +
                             " (build the vortane target, or give --library PATH)");
  }
  // The copy in place is compared only when it is a regular file; anything else under its
  // name is refused by the replacement.
  std::optional<std::string> placed;
  try {
    placed = ReadBoundedFile(target, kLibraryLimit);
  } catch (const std::runtime_error&) {
  }
  if (placed == bytes &&
      platform::LookAtPath(target.native(), false).kind == platform::PathKind::Regular) {
    return;
  }
  try {
    ReplaceFileWith(target, *bytes);
  } catch (const std::runtime_error& error) {
    throw std::runtime_error("cannot copy " + source.string() + " to " + error.what());
  }
}

void WriteSiteTable(const fs::path& table, const std::vector<SiteRoot>& sites,
                    SiteTableUpdate update) {
  std::string text;
  // An existing table is read as the filter reads it; a FIFO, device or link loop under its
  // name stops the run rather than stall it or fill memory.
  const std::optional<std::string> existing =
      update == SiteTableUpdate::ReplaceGivenSites
          ? ReadBoundedFile(table, platform::kMaxSiteTableBytes)
          : std::nullopt;
  if (existing) {
    std::istringstream old(*existing);
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
  ReplaceFileWith(table, text);
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
