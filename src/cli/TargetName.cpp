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

std::size_t Distance(const std::string& a, const std::string& b) {
  std::vector<std::size_t> row(b.size() + 1);
  for (std::size_t j = 0; j <= b.size(); ++j) row[j] = j;
  for (std::size_t i = 1; i <= a.size(); ++i) {
    std::size_t diagonal = row[0];
    row[0] = i;
    for (std::size_t j = 1; j <= b.size(); ++j) {
      const std::size_t above = row[j];
      row[j] = std::min({row[j] + 1, row[j - 1] + 1, diagonal + (a[i - 1] == b[j - 1] ? 0 : 1)});
      diagonal = above;
    }
  }
  return row[b.size()];
}

} // namespace

const programmer::CatalogueEntry& ResolveTarget(const std::string& name) {
  if (const auto* exact = programmer::FindEntryByName(name)) return *exact;
  const std::string folded = Folded(name);
  for (const auto& e : programmer::Catalogue())
    if (Folded(e.Name) == folded) return e;

  std::vector<std::pair<std::size_t, std::string_view>> near;
  for (const auto& e : programmer::Catalogue()) {
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
