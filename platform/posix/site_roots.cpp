// The POSIX site roots: the site table's line for the site.
#include "platform/site_roots.h"

#include <map>
#include <string>

#include "platform/posix/site_table.h"

namespace vortane::platform {

std::optional<PathString> ReadSiteRootPath(uint32_t siteId, const PathString& tableDirectory) {
  const std::map<uint32_t, std::string> sites = ParseSiteTable(ReadSiteTableText(tableDirectory));
  const auto found = sites.find(siteId);
  if (found == sites.end()) return std::nullopt;
  return found->second;
}

std::vector<VirtualFolder> ReadVirtualFolders(uint32_t siteId, const PathString& tableDirectory) {
  std::vector<VirtualFolder> folders;
  for (auto& [prefix, folder] : ParseVirtualFolders(ReadSiteTableText(tableDirectory), siteId)) {
    folders.push_back({std::move(prefix), std::move(folder)});
  }
  return folders;
}

}  // namespace vortane::platform
