#include "cli/TargetName.h"

#include "cli/Args.h"

#include <algorithm>
#include <cctype>
#include <vector>

namespace vk::cli {

namespace {

std::string Folded(std::string_view name) {
  std::string out;
  for (const unsigned char c : name)
    if (!std::isspace(c)) out += static_cast<char>(std::tolower(c));
  return out;
}

// Edits to turn a into b; two neighbours swapped ("QRD41") count as one.
std::size_t Distance(const std::string& a, const std::string& b) {
  std::vector<std::vector<std::size_t>> d(a.size() + 1, std::vector<std::size_t>(b.size() + 1));
  for (std::size_t i = 0; i <= a.size(); ++i) d[i][0] = i;
  for (std::size_t j = 0; j <= b.size(); ++j) d[0][j] = j;
  for (std::size_t i = 1; i <= a.size(); ++i)
    for (std::size_t j = 1; j <= b.size(); ++j) {
      d[i][j] = std::min(
          {d[i - 1][j] + 1, d[i][j - 1] + 1, d[i - 1][j - 1] + (a[i - 1] == b[j - 1] ? 0 : 1)});
      if (i > 1 && j > 1 && a[i - 1] == b[j - 2] && a[i - 2] == b[j - 1])
        d[i][j] = std::min(d[i][j], d[i - 2][j - 2] + 1);
    }
  return d[a.size()][b.size()];
}

} // namespace

namespace {

// A group node of the target tree only gathers its children: a run on it would program nothing
// the user could name, so it is refused as the wrong word, with the entries it holds.
const programmer::CatalogueEntry& NoGroup(const programmer::CatalogueEntry& entry,
                                          const std::string& given) {
  if (entry.CpuKind != programmer::kKindGroup) return entry;
  const auto all = programmer::Catalogue();
  std::string children;
  for (auto it = all.begin() + (&entry - all.data()) + 1; it != all.end() && it->Level > 1; ++it)
    children += (children.empty() ? "\"" : ", \"") + std::string(it->Name) + "\"";
  throw UsageError("--target: \"" + given + "\" is a group of the target tree, not a target" +
                   (children.empty() ? "" : "; name one of its entries: " + children));
}

} // namespace

const programmer::CatalogueEntry& ResolveTarget(const std::string& name) {
  if (const auto* exact = programmer::FindEntryByName(name)) return NoGroup(*exact, name);
  const std::string folded = Folded(name);
  for (const auto& e : programmer::Catalogue())
    if (Folded(e.Name) == folded) return NoGroup(e, name);

  std::vector<std::pair<std::size_t, std::string_view>> near;
  for (const auto& e : programmer::Catalogue()) {
    if (e.CpuKind == programmer::kKindGroup) continue; // never offered as a target
    const std::string candidate = Folded(e.Name);
    std::size_t d = Distance(folded, candidate);
    // "QRD" for "QRD14": a name the entry starts with is close too.
    if (!folded.empty() && candidate.rfind(folded, 0) == 0) d = std::min<std::size_t>(d, 1);
    if (d <= std::max<std::size_t>(2, folded.size() / 3)) near.emplace_back(d, e.Name);
  }
  std::stable_sort(near.begin(), near.end(),
                   [](const auto& a, const auto& b) { return a.first < b.first; });
  std::string hint;
  for (std::size_t i = 0; i < near.size() && i < 3; ++i)
    hint += (i ? ", \"" : "; closest: \"") + std::string(near[i].second) + "\"";
  throw UsageError("--target: no catalogue entry is named \"" + name + "\"" + hint +
                   " (see vkprog targets)");
}

} // namespace vk::cli
