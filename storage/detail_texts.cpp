// detail_texts.cpp -- kept detail texts, checked by the stamp of their record.
#include "storage/detail_texts.h"

#include <iterator>

#include "storage/database.h"
#include "storage/record_changes.h"

namespace {

// Moves the kept text at where to gone. Its record's entry is the caller's.
void retire(KeptDetails& kept, std::list<KeptDetail>::iterator where, std::list<KeptDetail>& gone) {
  kept.bytes -= where->text->size();
  gone.splice(gone.end(), kept.order, where);
}

}  // namespace

DetailTextSource detailTextSource(const cJSON* detail, const char* avatar) {
  DetailTextSource source;
  source.detail = detail;
  source.stamp = recordStamp(detail);
  source.avatar = avatar;
  return source;
}

std::shared_ptr<const std::string> keptDetailText(const cJSON* detail, const char* avatar) {
  KeptDetails& kept = databaseState.detailTexts;
  auto found = kept.byRecord.find(detail);
  if (found == kept.byRecord.end()) return nullptr;
  // The record is live (the caller found it): its stamp tells whether it is
  // the one the text was printed from, even at a reused address, since every
  // record added or changed gets a stamp never given before.
  const DetailTextSource& source = found->second->source;
  if (source.stamp != recordStamp(detail) || source.avatar != avatar) return nullptr;
  kept.order.splice(kept.order.begin(), kept.order, found->second);
  return found->second->text;
}

std::vector<std::shared_ptr<const std::string>> keepDetailText(
    DetailTextSource source, std::shared_ptr<const std::string> text) {
  KeptDetails& kept = databaseState.detailTexts;
  // Made aside first: when memory runs out here, what is kept is unchanged.
  std::list<KeptDetail> made;
  made.push_back(KeptDetail{std::move(source), std::move(text)});
  auto slot = kept.byRecord.try_emplace(made.front().source.detail, made.begin());
  std::list<KeptDetail> gone;
  if (!slot.second) {
    retire(kept, slot.first->second, gone);
    slot.first->second = made.begin();
  }
  kept.bytes += made.front().text->size();
  kept.order.splice(kept.order.begin(), made);
  while (kept.order.size() > 1 &&
         (kept.order.size() > kKeptDetailLimit || kept.bytes > kKeptDetailBytes)) {
    auto last = std::prev(kept.order.end());
    kept.byRecord.erase(last->source.detail);
    retire(kept, last, gone);
  }
  std::vector<std::shared_ptr<const std::string>> dropped;
  for (KeptDetail& old : gone) dropped.push_back(std::move(old.text));
  return dropped;
}
