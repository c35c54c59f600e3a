#include "tools/check/per_directory.h"

#include <algorithm>

#include "base/text.h"
#include "regex/expression.h"
#include "regex/pattern_tree.h"
#include "rules/rule.h"
#include "tools/check/pasted.h"

namespace vortane::tools::check {
namespace {

using Kind = PatternNode::Kind;

constexpr std::string_view kTails[] = {"(?:\\?.*)?$", "(\\?.*)?$", "(?:\\?(.*))?$"};

// A piece of the pattern's text, [offset, end), to be written as `text`.
struct Piece {
  size_t offset;
  size_t end;
  std::string text;
};

bool IsUpperLetter(char c) {
  return LowerAscii(c) != c;
}

// Whether a member of a bracket set surely holds "?" (an unknown member is not known to).
bool HoldsQuestion(const SetMember& member) {
  switch (member.kind) {
    case SetMember::Kind::kBytes:
      return member.low <= '?' && '?' <= member.high;
    case SetMember::Kind::kClass:
      return member.name == "punct" || member.name == "print" || member.name == "graph" ||
             member.name == "ascii";
    case SetMember::Kind::kClassEscape:  // "\W", "\S", "\D" and the like: the negated classes
      return !member.name.empty() && IsUpperLetter(member.name[0]);
    case SetMember::Kind::kUnknown:
      return false;
  }
  return false;
}

// One byte that `atom` matches, but not "?"; one atom still, so that a repeat after it
// repeats the test too.
std::string NotQuestion(const std::string& atom) {
  return "(?:(?!\\?)" + atom + ")";
}

// A `.*` (greedy or not): the alternative needs no other run of path bytes on that side.
bool IsAnyRun(const PatternTree& tree, size_t index) {
  const PatternNode& node = tree[index];
  return node.kind == Kind::kRepeat && node.least == 0 && node.most == PatternNode::kUnbounded &&
         node.children.size() == 1 && tree[node.children[0]].kind == Kind::kAnyButLineBreak;
}

// Rewrites one alternative of Apache's pattern so that it matches inside the path only.
class Alternative {
 public:
  Alternative(const PatternTree& tree, std::string_view pattern, size_t index)
      : tree_(tree), pattern_(pattern), alternative_(tree[index]) {}

  std::optional<std::string> Write() {
    const std::vector<size_t>& parts = alternative_.children;
    for (size_t child : parts) {
      if (!Visit(child)) return std::nullopt;
    }
    std::string body;
    size_t at = alternative_.offset;
    for (const Piece& piece : pieces_) {
      body.append(pattern_.substr(at, piece.offset - at));
      body += piece.text;
      at = piece.end;
    }
    body.append(pattern_.substr(at, alternative_.end - at));
    const bool leadingRun = !parts.empty() && IsAnyRun(tree_, parts.front());
    const bool trailingRun = !parts.empty() && IsAnyRun(tree_, parts.back());
    return (startAnchored_ || leadingRun ? "" : "[^?]*?") + body +
           (endAnchored_ || trailingRun ? "" : "[^?]*");
  }

 private:
  void Replace(const PatternNode& node, std::string text) {
    pieces_.push_back({node.offset, node.end, std::move(text)});
  }

  std::string Text(const PatternNode& node) const {
    return std::string(pattern_.substr(node.offset, node.end - node.offset));
  }

  // One node and what it holds; false when it has no exact spelling on the path here.
  bool Visit(size_t index) {
    const PatternNode& node = tree_[index];
    const std::vector<size_t>& parts = alternative_.children;
    switch (node.kind) {
      case Kind::kAssertion:
        if (node.letter == '^') {
          if (index != parts.front()) return false;  // a start of the path inside the pattern
          startAnchored_ = true;
          Replace(node, "");
          return true;
        }
        if (node.letter == '$') {
          if (index == parts.back()) {
            endAnchored_ = true;
            Replace(node, "");
          } else {
            Replace(node, "(?![^?])");  // the path ends here: the URL ends or its query starts
          }
          return true;
        }
        return node.letter == 'b' || node.letter == 'B' || node.letter == '<' || node.letter == '>';
      case Kind::kAnyButLineBreak:
        Replace(node, "[^?]");
        return true;
      case Kind::kAnyByte:
        return false;
      case Kind::kClassEscape:
        if (IsUpperLetter(node.letter)) Replace(node, NotQuestion(Text(node)));
        return true;
      case Kind::kSet:
        return VisitSet(node);
      case Kind::kLiteral:
      case Kind::kEscape:
      case Kind::kControl:
      case Kind::kHex:
        // A "?" in Apache's path is a decoded %3F: a URL here holds it escaped.
        return node.byte != '?' && (node.byte >= 0 || node.kind != Kind::kHex);
      case Kind::kQuote:
        return node.text.find('?') == std::string::npos;
      case Kind::kRepeat:
        // A repeat with nothing before it is literal text only where it stands first, and a
        // repeated anchor has no spelling once the anchor is the path's end.
        if (node.children.empty() || tree_[node.children[0]].kind == Kind::kAssertion) {
          return false;
        }
        return Visit(node.children[0]);
      default:
        for (size_t child : node.children) {
          if (!Visit(child)) return false;
        }
        return true;
    }
  }

  bool VisitSet(const PatternNode& node) {
    const auto& members = node.members;
    // A negated set cannot match "?" when "?" is surely among its members; another, when no
    // member may hold it.
    const bool cannot =
        node.negated ? std::any_of(members.begin(), members.end(), HoldsQuestion)
                     : std::none_of(members.begin(), members.end(), [](const SetMember& member) {
                         return HoldsQuestion(member) || member.kind == SetMember::Kind::kUnknown;
                       });
    if (cannot) return true;
    const std::string text = Text(node);
    // "[^/]" becomes "[^?/]". A set with a range, a class, an escape or a "]" first keeps its
    // text behind a guard: another member can change how the matcher reads a "-" in it.
    const std::string_view inner = std::string_view(text).substr(2, text.size() - 3);
    if (node.negated && !inner.empty() && inner[0] != ']' &&
        inner.find_first_of("-[\\^") == std::string_view::npos) {
      Replace(node, text.substr(0, 2) + "?" + text.substr(2));
    } else {
      Replace(node, NotQuestion(text));
    }
    return true;
  }

  const PatternTree& tree_;
  std::string_view pattern_;
  const PatternNode& alternative_;
  std::vector<Piece> pieces_;  // in the order of the text: the walk visits it left to right
  bool startAnchored_ = false;
  bool endAnchored_ = false;
};

// The pattern's alternatives, each rewritten; one group when there are several.
std::optional<std::string> PathBody(std::string_view pattern) {
  PatternTree tree;
  try {
    tree = ParsePattern(pattern);
  } catch (const bad_expression&) {
    return std::nullopt;
  }
  std::vector<size_t> alternatives = {tree.root};
  if (tree.Root().kind == Kind::kAlternation) alternatives = tree.Root().children;
  std::string body;
  for (size_t index : alternatives) {
    const auto written = Alternative(tree, pattern, index).Write();
    if (!written) return std::nullopt;
    // An alternative that is only anchors ("^$") is empty here: "(?:)", as "||" is refused.
    body += (index == alternatives.front() ? "" : "|") +
            (written->empty() && alternatives.size() > 1 ? "(?:)" : *written);
  }
  return alternatives.size() == 1 ? body : "(?:" + body + ")";
}

// Apache's rule flags (FlagItems) as flags here, with whether QSA was among them; nothing when
// one has no equivalent.
std::optional<std::vector<std::string>> RuleFlags(const std::vector<std::string>& items,
                                                  bool& appendQuery) {
  std::vector<std::string> flags = {"O"};  // Apache matches the decoded path
  const auto add = [&flags](std::string flag) {
    if (std::find(flags.begin(), flags.end(), flag) == flags.end()) flags.push_back(flag);
  };
  for (const std::string& item : items) {
    if (item == "L" || item == "END") {
      add("L");
    } else if (item == "F") {
      add("F");
    } else if (item == "NC" || item == "NOCASE") {
      add("I");
    } else if (item == "QSA" || item == "QSAPPEND") {
      appendQuery = true;
    } else if (item == "I" || item == "O") {
      add(item);  // the filter's own letters, from an earlier hint
    } else if (item == "NE" || item == "NOESCAPE") {
      // substitutions are never escaped here
    } else if (item == "R" || item == "R=302" || item == "R=TEMP") {
      add("R");
    } else if (item == "R=301" || item == "R=PERMANENT") {
      add("R=301");
    } else if (item == "R=303" || item == "R=SEEOTHER") {
      add("R=303");
    } else if (item == "R=307" || item == "R=308") {
      add(item);
    } else {
      return std::nullopt;
    }
  }
  if (flags.size() > kMaxFlagItems) return std::nullopt;
  return flags;
}

// "$K", or "($K)" when a digit follows, which would otherwise lengthen the number.
std::string GroupReference(unsigned number, std::string_view rest) {
  const std::string reference = "$" + std::to_string(number);
  return !rest.empty() && IsDigit(rest[0]) ? "(" + reference + ")" : reference;
}

// Apache's substitution written here: its groups renumbered ($N after the conditions'
// `before` groups, %N after `percentBase`), its "?" and parentheses escaped. Sets `query`
// when it writes a query of its own.
std::optional<std::string> Substitution(std::string_view s, unsigned before,
                                        std::optional<unsigned> percentBase, bool& query) {
  std::string out;
  for (size_t i = 0; i < s.size(); ++i) {
    const char c = s[i];
    const char next = i + 1 < s.size() ? s[i + 1] : '\0';
    if (c == '\\') {
      if (next != '$' && next != '%' && next != '\\') return std::nullopt;
      out += next == '%' ? std::string("%") : std::string(1, '\\') + next;
      ++i;
    } else if ((c == '$' || c == '%') && IsDigit(next)) {
      if (next == '0' || (c == '%' && !percentBase)) return std::nullopt;
      const unsigned base = c == '$' ? before : *percentBase;
      out += GroupReference(base + static_cast<unsigned>(next - '0'), s.substr(i + 2));
      ++i;
    } else if ((c == '$' || c == '%') && next == '{') {
      return std::nullopt;  // a map or a variable: nothing to write here
    } else if (c == '?' || c == '(' || c == ')') {
      query = query || c == '?';
      out += '\\';
      out += c;
    } else {
      out += c;
    }
  }
  return out;
}

// The base a relative substitution is written under: RewriteBase's value above `rule`.
std::string BaseAbove(const std::vector<LineFacts>& facts, size_t rule) {
  for (size_t i = rule; i-- > 0;) {
    const std::vector<Word>& words = facts[i].words;
    if (words.size() >= 2 && Lower(words[0].text) == "rewritebase" && words[1].text[0] == '/') {
      std::string base(words[1].text);
      if (base.back() != '/') base += '/';
      return base;
    }
  }
  return "/";
}

}  // namespace

bool IsRelativeSubstitution(std::string_view substitution) {
  return substitution != "-" && !substitution.empty() && substitution[0] != '/' &&
         substitution[0] != '$' && substitution[0] != '%' &&
         substitution.find("://") == std::string_view::npos;
}

// The items of a line's flag list word (the last word, in brackets), upper case; none when the
// line has no list.
std::vector<std::string> FlagItems(const std::vector<Word>& words) {
  std::vector<std::string> items;
  if (words.empty()) return items;
  const std::string_view list = words.back().text;
  if (words.size() < 3 || list.size() < 2 || list.front() != '[' || list.back() != ']') {
    return items;
  }
  const std::string_view inner = list.substr(1, list.size() - 2);
  for (size_t start = 0; start <= inner.size();) {
    const size_t comma = std::min(inner.find(',', start), inner.size());
    items.push_back(Upper(inner.substr(start, comma - start)));
    start = comma + 1;
  }
  return items;
}

std::string_view Trimmed(std::string_view line) {
  const size_t first = line.find_first_not_of(" \t");
  return first == std::string_view::npos ? std::string_view() : line.substr(first);
}

std::string_view Unquoted(std::string_view text) {
  if (text.size() >= 3 && text.front() == '"' && text.back() == '"') {
    return text.substr(1, text.size() - 2);
  }
  return text;
}

std::optional<unsigned> GroupCount(std::string_view pattern) {
  try {
    return ParsePattern(pattern).groupCount;
  } catch (const bad_expression&) {
    return std::nullopt;
  }
}

std::optional<std::string> PathPattern(std::string_view pattern, bool fromSlash, QueryTail tail) {
  const auto body = PathBody(pattern);
  if (!body) return std::nullopt;
  return (fromSlash ? "^" : "^/") + *body + std::string(kTails[static_cast<size_t>(tail)]);
}

std::optional<std::string> NegatedPathPattern(std::string_view pattern) {
  const auto body = PathBody(pattern);
  if (!body) return std::nullopt;
  return "^(?!" + *body + std::string(kTails[0]) + ").*$";
}

std::optional<std::string> EqualPathPattern(std::string_view text, bool negated) {
  if (text.find('?') != std::string_view::npos) return std::nullopt;
  std::string escaped;
  for (char c : text) {
    if (std::string_view("\\.^$|*+()[]{}").find(c) != std::string_view::npos) escaped += '\\';
    escaped += c;
  }
  escaped += kTails[0];
  return negated ? "^(?!" + escaped + ").*$" : "^" + escaped;
}

size_t FirstConditionOf(const std::vector<LineFacts>& facts, size_t rule) {
  size_t first = rule;
  for (size_t i = rule; i-- > 0;) {
    const std::vector<Word>& words = facts[i].words;
    if (words.empty() || words[0].text[0] == '#') continue;
    if (words[0].text != "RewriteCond") break;
    first = i;
  }
  return first;
}

bool IsPartialPattern(std::string_view pattern) {
  return !pattern.empty() &&
         (IsAsciiLetter(pattern[0]) || IsDigit(pattern[0]) || pattern[0] == '\\' ||
          pattern[0] == '.') &&
         !StartsWith(pattern, ".*");
}

bool IsPerDirectoryRule(const std::vector<LineFacts>& facts, size_t rule) {
  const std::vector<Word>& words = facts[rule].words;
  if (words.size() < 3 || words[0].text != "RewriteRule") return false;
  const std::string_view pattern = Unquoted(words[1].text);
  const std::string_view substitution = Unquoted(words[2].text);
  if (StartsWith(pattern, "^/") || pattern.empty() || pattern[0] == '!') return false;
  const bool quoted = pattern.size() != words[1].text.size();
  return quoted || IsPartialPattern(pattern) || IsRelativeSubstitution(substitution) ||
         NeverMatchesUrl(pattern, false);
}

std::optional<std::string> PerDirectoryRule(const std::vector<LineFacts>& facts, size_t rule) {
  const LineFacts& line = facts[rule];
  const std::vector<Word>& words = line.words;
  if (words.size() < 3 || words.size() > 4) return std::nullopt;
  bool appendQuery = false;
  std::optional<std::vector<std::string>> flags = std::vector<std::string>{"O"};
  if (words.size() == 4) {
    const std::vector<std::string> items = FlagItems(words);
    if (items.empty()) return std::nullopt;  // a fourth word that is no flag list
    flags = RuleFlags(items, appendQuery);
    if (!flags) return std::nullopt;
  }
  // The conditions' groups come first here; %N are those of the last condition that matched
  // a pattern (not a test, not a negation).
  unsigned before = 0;
  std::optional<unsigned> percentBase;
  for (size_t i = FirstConditionOf(facts, rule); i < rule; ++i) {
    const std::vector<Word>& condition = facts[i].words;
    if (condition.empty() || condition[0].text != "RewriteCond") continue;
    if (condition.size() < 3) return std::nullopt;
    const std::vector<std::string> items = FlagItems(condition);
    if (std::find(items.begin(), items.end(), "OR") != items.end()) {
      return std::nullopt;  // the group is split first: each copy has its own groups
    }
    const std::string_view pattern = Unquoted(condition[2].text);
    if (IsApacheTest(pattern)) continue;
    const bool negated = pattern[0] == '!';
    const auto groups = GroupCount(negated ? pattern.substr(1) : pattern);
    if (!groups) return std::nullopt;
    // A negation as the hints write it, "^(?!...).*$", matches no group either.
    const bool written = StartsWith(pattern, "^(?!") && pattern.size() > 8 &&
                         pattern.substr(pattern.size() - 4) == ").*$";
    if (!negated && !written) percentBase = before;
    before += *groups;
  }
  std::string_view substitution = Unquoted(words[2].text);
  const bool forbidden = std::find(flags->begin(), flags->end(), "F") != flags->end();
  if (forbidden) substitution = "-";
  bool query = false;
  auto written = Substitution(substitution, before, percentBase, query);
  if (!written) return std::nullopt;
  if (IsRelativeSubstitution(substitution)) *written = BaseAbove(facts, rule) + *written;
  // Apache keeps the request's query unless the substitution writes one; with QSA it appends
  // the request's query to the one written.
  QueryTail tail = QueryTail::kSkip;
  const auto patternGroups = GroupCount(Unquoted(words[1].text));
  if (!patternGroups) return std::nullopt;
  const unsigned queryGroup = before + *patternGroups + 1;
  if (substitution != "-" && !query) {
    tail = QueryTail::kCapture;
    *written += "$" + std::to_string(queryGroup);
  } else if (substitution != "-" && appendQuery) {
    tail = QueryTail::kCaptureValue;
    const std::string group = std::to_string(queryGroup);
    *written += "(?" + group + "&$" + group + ")";
  }
  const auto pattern = PathPattern(Unquoted(words[1].text), false, tail);
  if (!pattern) return std::nullopt;
  std::string list;
  for (const std::string& flag : *flags) list += (list.empty() ? "" : ",") + flag;
  return std::string(line.text.substr(0, words[0].column - 1)) + "RewriteRule " + *pattern + " " +
         *written + " [" + list + "]";
}

std::optional<std::string> RequestUriCondition(const LineFacts& facts) {
  const std::vector<Word>& words = facts.words;
  if (words.size() < 3 || words.size() > 4) return std::nullopt;
  std::string flags = "O";
  if (words.size() == 4) {
    if (Upper(words[3].text) != "[OR]") return std::nullopt;
    flags += ",OR";
  }
  const std::string_view pattern = Unquoted(words[2].text);
  std::optional<std::string> written;
  if (StartsWith(pattern, "!=")) {
    written = EqualPathPattern(pattern.substr(2), true);
  } else if (StartsWith(pattern, "=")) {
    written = EqualPathPattern(pattern.substr(1), false);
  } else if (IsApacheTest(pattern)) {
    return std::nullopt;
  } else if (pattern[0] == '!') {
    written = NegatedPathPattern(pattern.substr(1));
  } else {
    written = PathPattern(pattern, true, QueryTail::kSkip);
  }
  if (!written) return std::nullopt;
  return std::string(facts.text.substr(0, words[0].column - 1)) + "RewriteCond URL " + *written +
         " [" + flags + "]";
}

}  // namespace vortane::tools::check
