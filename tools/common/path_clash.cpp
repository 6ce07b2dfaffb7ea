// Sorted-neighbour path clash check; see path_clash.h. Each name becomes a
// key: its case-folded components joined with NUL, which sorts below every
// byte a name may hold, so every path below a file's path follows that file
// directly. A walk over the sorted keys then keeps only the folders of the
// current key, like a walk down a tree, to see each folder's children once.
#include "tools/common/path_clash.h"

#include <algorithm>
#include <cstdint>
#include <numeric>
#include <vector>

#include "package/archive.h"
#include "tools/common/windows_names.h"

namespace lumaro::tools {
namespace {

// A component of one entry's name: its index and position (1 = first).
struct Child {
  std::size_t entry = 0;
  std::size_t depth = 0;
};

// A folder on the current key's path, and what its children hold so far.
struct Folder {
  std::string_view spelled;  // as the entry that made it spells it
  std::size_t entry = 0;
  std::optional<Child> alias_form;  // a child in the form of an 8.3 alias
  std::optional<Child> gets_alias;  // a child that gets one
};

std::vector<std::string_view> Components(std::string_view name) {
  std::vector<std::string_view> out;
  while (const auto part = package::NextComponent(name)) out.push_back(*part);
  return out;
}

// The first depth components of name as it spells them, "/" between.
std::string Spelled(std::string_view name, std::size_t depth) {
  std::string path;
  for (std::size_t i = 0; i < depth; ++i) {
    const auto part = package::NextComponent(name);
    if (!part) break;
    if (i > 0) path += '/';
    path += *part;
  }
  return path;
}

class ClashFinder {
 public:
  ClashFinder(std::size_t count, const std::function<std::string_view(std::size_t)>& name_of, ClashRules rules)
      : count_(count), name_of_(name_of), rules_(rules) {}

  std::optional<PathClash> Run() {
    BuildKeys();
    std::vector<std::uint32_t> order(count_);
    std::iota(order.begin(), order.end(), 0u);
    std::sort(order.begin(), order.end(), [&](std::uint32_t a, std::uint32_t b) {
      const int by_key = Key(a).compare(Key(b));
      return by_key != 0 ? by_key < 0 : a < b;
    });
    folders_.push_back({});  // the root
    for (std::size_t i = 0; i < order.size(); ++i) {
      if (auto clash = Visit(i == 0 ? std::nullopt : std::optional<std::size_t>(order[i - 1]), order[i])) {
        return clash;
      }
    }
    return std::nullopt;
  }

 private:
  void BuildKeys() {
    std::size_t total = 0;
    for (std::size_t i = 0; i < count_; ++i) total += name_of_(i).size();
    keys_.reserve(total);
    starts_.reserve(count_ + 1);
    for (std::size_t i = 0; i < count_; ++i) {
      starts_.push_back(keys_.size());
      std::string_view rest = name_of_(i);
      bool first = true;
      while (const auto part = package::NextComponent(rest)) {
        if (!first) keys_.push_back('\0');
        AppendCaseFoldKey(keys_, *part);
        first = false;
      }
    }
    starts_.push_back(keys_.size());
  }

  std::string_view Key(std::size_t entry) const {
    return std::string_view(keys_).substr(starts_[entry], starts_[entry + 1] - starts_[entry]);
  }

  // Components two keys share in full.
  static std::size_t Shared(std::string_view a, std::string_view b) {
    const std::size_t end = std::mismatch(a.begin(), a.begin() + std::min(a.size(), b.size()), b.begin()).first - a.begin();
    std::size_t shared = static_cast<std::size_t>(std::count(a.begin(), a.begin() + end, '\0'));
    const bool a_ends = end == a.size() || a[end] == '\0';
    const bool b_ends = end == b.size() || b[end] == '\0';
    return a_ends && b_ends ? shared + 1 : shared;
  }

  PathClash Pair(ClashKind kind, std::size_t a, std::size_t b, std::size_t depth) const {
    const std::size_t first = std::min(a, b);
    const std::size_t second = std::max(a, b);
    return {kind, first, second, Spelled(name_of_(first), depth), Spelled(name_of_(second), depth)};
  }

  std::optional<PathClash> Visit(std::optional<std::size_t> prev, std::size_t entry) {
    const std::string_view key = Key(entry);
    const std::vector<std::string_view> parts = Components(name_of_(entry));
    std::size_t kept = 0;  // folders below the root that this key shares with the last one
    if (prev) {
      const std::string_view prev_key = Key(*prev);
      const std::size_t prev_parts = prev_key.empty() ? 0 : std::count(prev_key.begin(), prev_key.end(), '\0') + 1;
      const std::size_t shared = Shared(prev_key, key);
      if (shared == prev_parts) {
        // The last file's path is this path, or one of its folders.
        const bool same = shared == parts.size();
        PathClash clash = Pair(same ? ClashKind::kSamePath : ClashKind::kFileAndFolder, *prev, entry, shared);
        if (clash.first_path != clash.second_path) clash.kind = ClashKind::kLetterCase;
        return clash;
      }
      kept = std::min({shared, prev_parts - 1, parts.size() - 1});
    }
    folders_.resize(kept + 1);
    if (rules_.folder_case_counts) {
      for (std::size_t depth = 1; depth <= kept; ++depth) {
        if (folders_[depth].spelled != parts[depth - 1]) {
          return Pair(ClashKind::kLetterCase, folders_[depth].entry, entry, depth);
        }
      }
    }
    // Each component from here on is a child seen for the first time: sorted
    // keys bring all paths through one child together.
    for (std::size_t depth = kept + 1; depth <= parts.size(); ++depth) {
      Folder& parent = folders_[depth - 1];
      const std::string_view part = parts[depth - 1];
      if (!parent.alias_form && IsShortNameAliasForm(part)) parent.alias_form = Child{entry, depth};
      if (!parent.gets_alias && !IsPlainShortName(part)) parent.gets_alias = Child{entry, depth};
      if (parent.alias_form && parent.gets_alias) {
        const Child alias = *parent.alias_form;
        const Child other = *parent.gets_alias;
        return PathClash{ClashKind::kShortName, alias.entry, other.entry, Spelled(name_of_(alias.entry), alias.depth),
                         Spelled(name_of_(other.entry), other.depth)};
      }
      if (depth < parts.size()) folders_.push_back({part, entry, std::nullopt, std::nullopt});
    }
    return std::nullopt;
  }

  std::size_t count_;
  const std::function<std::string_view(std::size_t)>& name_of_;
  ClashRules rules_;
  std::string keys_;
  std::vector<std::size_t> starts_;
  std::vector<Folder> folders_;  // the root, then the folders of the last key
};

}  // namespace

std::optional<PathClash> FindPathClash(std::size_t count, const std::function<std::string_view(std::size_t)>& name_of,
                                       ClashRules rules) {
  return ClashFinder(count, name_of, rules).Run();
}

}  // namespace lumaro::tools
