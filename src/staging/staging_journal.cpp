#include "staging/staging_journal.h"

namespace tessaline {

const char* stagedTypeName(StagedType type) {
  switch (type) {
    case StagedType::File: return "file";
    case StagedType::Folder: return "folder";
    case StagedType::Link: return "link";
  }
  return "file";
}

const char* stagingReasonName(StagingReason reason) {
  switch (reason) {
    case StagingReason::New: return "new";
    case StagingReason::Newer: return "newer";
    case StagingReason::Changed: return "changed";
    case StagingReason::Alias: return "link";
    case StagingReason::SideFile: return "side file";
    case StagingReason::Catalogue: return "catalogue";
    case StagingReason::Full: return "full";
    case StagingReason::Container: return "container";
  }
  return "full";
}

StagingJournal::StagingJournal(std::filesystem::path stagingRoot) { setStagingRoot(stagingRoot); }

void StagingJournal::setStagingRoot(const std::filesystem::path& stagingRoot) {
  root_ = stagingRoot;
  rootPrefix_ = stagingRoot.native();
  while (rootPrefix_.size() > 1 && rootPrefix_.back() == '/') rootPrefix_.pop_back();
  if (rootPrefix_ != "/") rootPrefix_ += '/';
}

std::optional<std::string> StagingJournal::relative(const std::filesystem::path& absolutePath) const {
  const std::string& p = absolutePath.native();
  if (rootPrefix_.empty() || p.size() <= rootPrefix_.size() || p.compare(0, rootPrefix_.size(), rootPrefix_) != 0)
    return std::nullopt;
  std::string rel = p.substr(rootPrefix_.size());
  while (!rel.empty() && rel.back() == '/') rel.pop_back();
  if (rel.empty()) return std::nullopt;
  return rel;
}

void StagingJournal::record(const std::filesystem::path& absolutePath, StagedType type, std::uint64_t bytes,
                            StagingReason reason) {
  auto rel = relative(absolutePath);
  if (!rel) return;
  StagedEntry entry{*rel, type, bytes, override_.value_or(reason)};
  entries_.insert_or_assign(std::move(*rel), std::move(entry));
}

void StagingJournal::remove(const std::filesystem::path& absolutePath) {
  auto rel = relative(absolutePath);
  if (!rel) return;
  entries_.erase(*rel);
  const std::string prefix = *rel + '/';
  auto it = entries_.lower_bound(prefix);
  while (it != entries_.end() && it->first.compare(0, prefix.size(), prefix) == 0) it = entries_.erase(it);
}

std::vector<StagedEntry> StagingJournal::entries() const {
  std::vector<StagedEntry> out;
  out.reserve(entries_.size());
  for (const auto& [path, entry] : entries_) out.push_back(entry);
  return out;
}

std::optional<StagedEntry> StagingJournal::find(const std::string& relativePath) const {
  auto it = entries_.find(relativePath);
  if (it == entries_.end()) return std::nullopt;
  return it->second;
}

std::uint64_t StagingJournal::totalBytes() const {
  std::uint64_t total = 0;
  for (const auto& [path, entry] : entries_) total += entry.bytes;
  return total;
}

StagingJournal::ReasonOverride::ReasonOverride(StagingJournal* journal, StagingReason reason) : journal_(journal) {
  if (journal_ == nullptr) return;
  previous_ = journal_->override_;
  journal_->override_ = reason;
}

StagingJournal::ReasonOverride::~ReasonOverride() {
  if (journal_ != nullptr) journal_->override_ = previous_;
}

void StagingJournal::noteUnreadable(const std::string& sourcePath, const std::string& why) {
  unreadable_.emplace_back(sourcePath, why);
}

}  // namespace tessaline
