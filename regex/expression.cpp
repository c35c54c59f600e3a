#include "regex/expression.h"

#include "regex/pattern_tree.h"

namespace vortane {

std::string TranslatePattern(std::string_view pattern) {
  return EmitBoostPattern(ParsePattern(pattern));
}

Expression CompilePattern(std::string_view pattern, bool ignoreCase) {
  return CompileTree(ParsePattern(pattern), ignoreCase);
}

Expression CompileTree(const PatternTree& tree, bool ignoreCase) {
  const std::string translated = EmitBoostPattern(tree);
  boost::regex::flag_type options = kCompileOptions;
  if (ignoreCase) options |= boost::regex::icase;
  return Expression(translated.data(), translated.data() + translated.size(), options);
}

}  // namespace vortane
