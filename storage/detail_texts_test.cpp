// detail_texts_test.cpp -- a kept detail text is given back while its record
// keeps its stamp and the avatar asked is the same, and only the most
// recently asked texts stay, within the count and the bytes kept.
#include "storage/detail_texts.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "storage/database.h"
#include "storage/record_changes.h"
#include "tests/support/database_fixture.h"

namespace {

using Text = std::shared_ptr<const std::string>;

// A database of count details with ids 1..count.
std::string databaseOfDetails(std::size_t count) {
  std::string text = R"({"news": [], "user": [], "like": [], "news_detail": [)";
  for (std::size_t id = 1; id <= count; ++id) {
    text += (id > 1 ? "," : "") + std::string("{\"id\":") + std::to_string(id) + "}";
  }
  return text + "]}";
}

Text textOf(const std::string& bytes) { return std::make_shared<const std::string>(bytes); }

void keep(const cJSON* detail, const char* avatar, Text text) REQUIRES(databaseMutex) {
  keepDetailText(detailTextSource(detail, avatar), std::move(text));
}

bool dropped(const std::vector<Text>& texts, const Text& text) {
  return std::find(texts.begin(), texts.end(), text) != texts.end();
}

TEST(DetailTexts, KeptWhileTheRecordAndTheAvatarAreTheSame) {
  testsupport::TestDatabase database(databaseOfDetails(2));
  DatabaseLock lock(databaseMutex);
  cJSON* first = newsDetailArray->child;
  const cJSON* second = first->next;
  Text text = textOf("{\"id\":1,\"avatar\":\"a\"}");
  keep(first, "a", text);
  EXPECT_EQ(keptDetailText(first, "a"), text);
  EXPECT_EQ(keptDetailText(first, "b"), nullptr);
  EXPECT_EQ(keptDetailText(first, ""), nullptr);
  EXPECT_EQ(keptDetailText(second, "a"), nullptr);
  recordChanged(first);
  EXPECT_EQ(keptDetailText(first, "a"), nullptr);

  // A new text of the record takes the place of the earlier one.
  Text changed = textOf("{\"id\":1,\"avatar\":\"b\"}");
  std::vector<Text> gone = keepDetailText(detailTextSource(first, "b"), changed);
  EXPECT_TRUE(dropped(gone, text));
  EXPECT_EQ(keptDetailText(first, "b"), changed);
  EXPECT_EQ(keptDetailText(first, "a"), nullptr);
}

TEST(DetailTexts, TheLeastRecentlyAskedGoBeyondTheCount) {
  testsupport::TestDatabase database(databaseOfDetails(kKeptDetailLimit + 1));
  DatabaseLock lock(databaseMutex);
  std::vector<const cJSON*> details;
  for (const cJSON* d = newsDetailArray->child; d != nullptr; d = d->next) details.push_back(d);
  std::vector<Text> texts;
  for (std::size_t i = 0; i < kKeptDetailLimit; ++i) {
    texts.push_back(textOf(std::to_string(i)));
    keep(details[i], "", texts[i]);
  }
  ASSERT_EQ(keptDetailText(details[0], ""), texts[0]);  // now the most recently asked
  Text last = textOf("last");
  std::vector<Text> gone = keepDetailText(detailTextSource(details.back(), ""), last);
  EXPECT_TRUE(dropped(gone, texts[1]));
  EXPECT_EQ(keptDetailText(details[1], ""), nullptr);
  EXPECT_EQ(keptDetailText(details[0], ""), texts[0]);
  EXPECT_EQ(keptDetailText(details[2], ""), texts[2]);
  EXPECT_EQ(keptDetailText(details.back(), ""), last);
}

TEST(DetailTexts, TheLeastRecentlyAskedGoBeyondTheBytes) {
  testsupport::TestDatabase database(databaseOfDetails(3));
  DatabaseLock lock(databaseMutex);
  const cJSON* a = newsDetailArray->child;
  const cJSON* b = a->next;
  const cJSON* c = b->next;
  // Larger than all the bytes kept, alone: kept until another text comes.
  Text huge = textOf(std::string(kKeptDetailBytes + 1, 'h'));
  keep(a, "", huge);
  EXPECT_EQ(keptDetailText(a, ""), huge);
  std::vector<Text> gone = keepDetailText(detailTextSource(b, ""), huge);
  EXPECT_TRUE(dropped(gone, huge));
  EXPECT_EQ(keptDetailText(a, ""), nullptr);
  EXPECT_EQ(keptDetailText(b, ""), huge);
  Text small = textOf("small");
  gone = keepDetailText(detailTextSource(c, ""), small);
  EXPECT_TRUE(dropped(gone, huge));
  EXPECT_EQ(keptDetailText(b, ""), nullptr);
  EXPECT_EQ(keptDetailText(c, ""), small);
}

}  // namespace
