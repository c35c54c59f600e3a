// Fuzzes vortane-serve's mapping of request URLs to files. Whatever the URL, a file it maps
// to must lie under the site root once every link is resolved, and must not be one of the
// filter's own files; a redirect must stay on the server. And the server serves what the
// filter's rules see: a file under /private/ is served only for a URL whose normalised form
// (what a rule with O matches) the rule "^/private(?:/.*)?$" matches, so such a rule refuses
// every spelling of the folder.
#include <unistd.h>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>
#include <string_view>

#include <boost/algorithm/string/predicate.hpp>

#include "base/file_names.h"
#include "host/static_files.h"
#include "memory_server/memory_server.h"
#include "regex/expression.h"

namespace fs = std::filesystem;

namespace {

// base/secret.txt beside base/root/, which holds a page, a folder with an index, a private
// folder, the filter's rules file, and links that lead out of the root and back into it.
struct Tree {
  Tree() {
    base = fs::temp_directory_path() / ("vortane-url-fuzz-" + std::to_string(getpid()));
    fs::remove_all(base);
    root = base / "root";
    fs::create_directories(root / "docs");
    fs::create_directories(root / "private");
    std::ofstream(root / "private" / "index.html") << "private";
    std::ofstream(root / "private" / "a.exe") << "program";
    std::ofstream(base / "secret.txt") << "outside";
    std::ofstream(root / "index.html") << "home";
    std::ofstream(root / "docs" / "index.html") << "docs";
    std::ofstream(root / vortane::kConfigFileName) << "[Vortane]";
    fs::create_symlink(base / "secret.txt", root / "out.txt");
    fs::create_symlink(base, root / "up");
    fs::create_symlink(root / "docs", root / "d");
    realRoot = fs::canonical(root);
  }
  ~Tree() { fs::remove_all(base); }
  fs::path base, root, realRoot;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const Tree tree;
  static const vortane::Expression privateRule =
      vortane::CompilePattern("^/private(?:/.*)?$", false);
  const std::string_view url(reinterpret_cast<const char*>(data), size);
  const vortane::host::FileMapping mapping = vortane::host::MapUrlToFile(tree.root, url);
  if (mapping.kind == vortane::host::FileMapping::File) {
    const std::string real = fs::canonical(mapping.file).string();
    const std::string root = tree.realRoot.string() + "/";
    if (real.compare(0, root.size(), root) != 0) __builtin_trap();
    if (boost::iequals(mapping.file.filename().string(), vortane::kConfigFileName))
      __builtin_trap();
    // Under /private/ by name (a link elsewhere that leads there is another name).
    const std::string privateFolder = (tree.root / "private").string() + "/";
    if (mapping.file.string().compare(0, privateFolder.size(), privateFolder) == 0) {
      std::string normalized(url);
      if (!vortane::NormalizeUrlPath(normalized)) __builtin_trap();
      if (!boost::regex_search(normalized, privateRule)) __builtin_trap();
    }
  }
  if (mapping.kind == vortane::host::FileMapping::AddSlash &&
      (mapping.location.empty() || mapping.location[0] != '/' ||
       mapping.location.compare(0, 2, "//") == 0)) {
    __builtin_trap();
  }
  return 0;
}
