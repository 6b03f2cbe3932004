// wizard_test.cpp -- the first-run dialogue run by the real node in an empty
// directory, with its answers fed on standard input.
#include <cjson/cJSON.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <memory>
#include <string>
#include <vector>

#include "storage/json_tree.h"
#include "tests/support/test_support.h"

namespace {

using testsupport::ProcessResult;
using testsupport::TempDir;

// The twelve answers in the order asked: name, icon, cover, port, page size,
// admin, write interval, watermark path, offsetX, offsetY, position, edit interval.
struct Answers {
  std::string name, icon, cover, port, pageSize, admin, writeInterval;
  std::string watermarkPath, offsetX, offsetY, position, editInterval;
  std::string text() const {
    return name + "\n" + icon + "\n" + cover + "\n" + port + "\n" + pageSize + "\n" + admin + "\n" +
           writeInterval + "\n" + watermarkPath + "\n" + offsetX + "\n" + offsetY + "\n" +
           position + "\n" + editInterval + "\n";
  }
};

Answers withPort(int port) {
  Answers a;
  a.port = std::to_string(port);
  return a;
}

const std::string kIntro = "File \"config.json\" does not exist and will be created.\n";

// The whole dialogue of a run in which every answer is empty.
const std::string kDefaultDialogue =
    kIntro +
    "Please input node name (default: Ondrix Node Server): node name:Ondrix Node Server\n\n"
    "Please input node icon path (default: ): node icon path:\n\n"
    "Please input node cover path (default: ): node cover path:\n\n"
    "Please input node port (default: 80): node port:80\n\n"
    "Please input node page size (default: 20): node page size:20\n\n"
    "Please input node admin (like: 1 2 3) (default: 1): node admin: 1 \n\n"
    "Please input node write interval(ms) (default: 10000): node write interval:10000\n\n"
    "Please input node watermark: \n"
    "\tPlease input node watermark path (default: ): \tnode watermark path:\n\n"
    "\tPlease input node watermark offsetX (default: 0): \tnode watermark offsetX:0\n\n"
    "\tPlease input node watermark offsetY (default: 0): \tnode watermark offsetY:0\n\n"
    "\tPlease input node watermark position (default: 0): \tnode watermark position:0\n\n"
    "Please input node edit interval(s) (default: 7776000): node edit interval:7776000\n";

// The part of the node's output that the dialogue printed: up to the line
// start-up prints next.
std::string dialogueOf(const std::string& out) {
  const size_t next = out.find("File \"index.ndb\"");
  return next == std::string::npos ? out : out.substr(0, next);
}

// Runs the node in dir with input on standard input and ends it before it
// listens: an empty data/index.ndb fails the load (status 1, no message) once
// the wizard has written config.json. For the runs that keep the default
// port 80, which a test must never bind.
ProcessResult runWizardOnly(const TempDir& dir, const std::string& input) {
  testsupport::writeFile(dir.file("data/index.ndb"), "");
  return testsupport::runNodeToExit(dir.path, input);
}

JsonTree readConfig(const TempDir& dir) {
  return JsonTree(cJSON_Parse(testsupport::readFile(dir.file("config.json")).c_str()));
}

int numberOf(const cJSON* object, const char* key) {
  const cJSON* item = cJSON_GetObjectItemCaseSensitive(object, key);
  EXPECT_TRUE(cJSON_IsNumber(item)) << key;
  return item == nullptr ? -999 : item->valueint;
}

std::string textOf(const cJSON* object, const char* key) {
  const cJSON* item = cJSON_GetObjectItemCaseSensitive(object, key);
  EXPECT_TRUE(cJSON_IsString(item)) << key;
  return cJSON_IsString(item) ? item->valuestring : "<missing>";
}

std::vector<int> adminsOf(const cJSON* config) {
  std::vector<int> ids;
  const cJSON* admin = cJSON_GetObjectItemCaseSensitive(config, "admin");
  EXPECT_TRUE(cJSON_IsArray(admin));
  const cJSON* id = nullptr;
  cJSON_ArrayForEach(id, admin) ids.push_back(id->valueint);
  return ids;
}

bool isLowerHex(const std::string& text) {
  return text.find_first_not_of("0123456789abcdef") == std::string::npos;
}

TEST(WizardTest, EndOfInputWritesTheDefaultConfiguration) {
  TempDir dir;
  ProcessResult run = runWizardOnly(dir, "");
  EXPECT_EQ(run.exitStatus, 1);
  EXPECT_EQ(run.out, kDefaultDialogue);
  EXPECT_EQ(run.err, "");

  const std::string file = testsupport::readFile(dir.file("config.json"));
  const std::string keyStart = "\t\"sercut_key\":\t\"";
  const size_t keyAt = file.find(keyStart);
  ASSERT_NE(keyAt, std::string::npos) << file;
  const std::string key = file.substr(keyAt + keyStart.size(), 64);
  EXPECT_TRUE(isLowerHex(key)) << key;
  EXPECT_EQ(file,
            "{\n"
            "\t\"name\":\t\"Ondrix Node Server\",\n"
            "\t\"icon\":\t\"\",\n"
            "\t\"cover\":\t\"\",\n"
            "\t\"port\":\t80,\n"
            "\t\"page_size\":\t20,\n"
            "\t\"admin\":\t[1],\n"
            "\t\"write_interval\":\t10000,\n"
            "\t\"watermark\":\t{\n"
            "\t\t\"path\":\t\"\",\n"
            "\t\t\"offsetX\":\t0,\n"
            "\t\t\"offsetY\":\t0,\n"
            "\t\t\"position\":\t0\n"
            "\t},\n"
            "\t\"sercut_key\":\t\"" +
                key +
                "\",\n"
                "\t\"edit_interval\":\t7776000\n"
                "}");
  EXPECT_FALSE(testsupport::pathExists(dir.file("img")));
}

TEST(WizardTest, TheNodeServesOnThePortAnswered) {
  TempDir dir;
  const int port = testsupport::freePort();
  testsupport::NodeProcess node;
  ASSERT_TRUE(testsupport::startNodeWithInput(node, dir.path, port, withPort(port).text()))
      << node.outSoFar;
  EXPECT_NE(node.outSoFar.find("Listening on 0.0.0.0:" + std::to_string(port)), std::string::npos);
  const std::string reply = testsupport::sendRaw(port, testsupport::getRequest("/"));
  EXPECT_EQ(reply.rfind("HTTP/1.1 200 OK\r\n", 0), 0u) << reply;
  EXPECT_NE(reply.find("\"name\":\"Ondrix Node Server\""), std::string::npos) << reply;
  testsupport::stopNode(node, SIGKILL);
  JsonTree config = readConfig(dir);
  ASSERT_TRUE(config);
  EXPECT_EQ(numberOf(config.get(), "port"), port);
}

TEST(WizardTest, AnswersAreTakenConvertedAndCopied) {
  TempDir dir;
  testsupport::writeFile(dir.file("pics/cover.jpg"), "new cover bytes");
  testsupport::writeFile(dir.file("img/cover.jpg"), "an older cover");
  const int port = testsupport::freePort();
  Answers a;
  a.name = "My node\r";                        // a carriage return stays in a text
  a.icon = "pics/missing.png";                 // no such file
  a.cover = "pics/cover.jpg";                  // copied over the older picture
  a.port = " " + std::to_string(port) + "\r";  // white space before, CR after
  a.pageSize = "81x";                          // digits up to the first other character
  a.admin = "3  3 -1";
  a.writeInterval = "99999999999";      // beyond 32 bits
  a.watermarkPath = "pics/cover.jpg ";  // the trailing blank names another file
  a.offsetX = "x81";
  a.offsetY = "-5";
  a.position = "+7";
  a.editInterval = "abc";
  ProcessResult run = testsupport::runNodeUntilListening(dir.path, a.text());
  EXPECT_EQ(run.exitStatus, 128 + SIGKILL) << run.out;

  EXPECT_EQ(dialogueOf(run.out),
            kIntro +
                "Please input node name (default: Ondrix Node Server): \n"
                "Please input node icon path (default: ): Copy icon image failed!\n\n"
                "Please input node cover path (default: ): \n"
                "Please input node port (default: 80): \n"
                "Please input node page size (default: 20): \n"
                "Please input node admin (like: 1 2 3) (default: 1): \n"
                "Please input node write interval(ms) (default: 10000): "
                "error: onversion result out of range, will use default write interval: 10000\n\n"
                "Please input node watermark: \n"
                "\tPlease input node watermark path (default: ): "
                "\tCopy watermark image failed!\n\n"
                "\tPlease input node watermark offsetX (default: 0): "
                "\terror: Input is not a valid number, will use default watermark offsetX: 0\n\n"
                "\tPlease input node watermark offsetY (default: 0): \n"
                "\tPlease input node watermark position (default: 0): \n"
                "Please input node edit interval(s) (default: 7776000): "
                "error: Input is not a valid number, will use default edit interval: 7776000\n");

  JsonTree config = readConfig(dir);
  ASSERT_TRUE(config);
  EXPECT_EQ(textOf(config.get(), "name"), "My node\r");
  EXPECT_EQ(textOf(config.get(), "icon"), "img/icon");
  EXPECT_EQ(textOf(config.get(), "cover"), "img/cover.jpg");
  EXPECT_EQ(testsupport::readFile(dir.file("img/cover.jpg")), "new cover bytes");
  EXPECT_FALSE(testsupport::pathExists(dir.file("img/icon")));
  EXPECT_EQ(numberOf(config.get(), "port"), port);
  EXPECT_EQ(numberOf(config.get(), "page_size"), 81);
  EXPECT_EQ(adminsOf(config.get()), (std::vector<int>{3, 3, -1}));
  EXPECT_EQ(numberOf(config.get(), "write_interval"), 10000);
  const cJSON* watermark = cJSON_GetObjectItemCaseSensitive(config.get(), "watermark");
  EXPECT_EQ(textOf(watermark, "path"), "img/watermark");
  EXPECT_EQ(numberOf(watermark, "offsetX"), 0);
  EXPECT_EQ(numberOf(watermark, "offsetY"), -5);
  EXPECT_EQ(numberOf(watermark, "position"), 7);
  EXPECT_EQ(textOf(config.get(), "sercut_key").size(), 64u);
  EXPECT_EQ(numberOf(config.get(), "edit_interval"), 7776000);
}

TEST(WizardTest, PicturesKeepTheirExtensionUnderTheirOwnStem) {
  TempDir dir;
  testsupport::writeFile(dir.file("pics/logo.png"), "icon bytes");
  testsupport::writeFile(dir.file("pics/plain"), "cover bytes");
  testsupport::writeFile(dir.file("mark.webp"), "watermark bytes");
  Answers a;
  a.icon = "pics/logo.png";
  a.cover = dir.file("pics/plain");  // absolute, without extension
  a.watermarkPath = "mark.webp";
  ProcessResult run = runWizardOnly(dir, a.text());
  EXPECT_EQ(dialogueOf(run.out).find("failed"), std::string::npos) << run.out;
  JsonTree config = readConfig(dir);
  ASSERT_TRUE(config);
  EXPECT_EQ(textOf(config.get(), "icon"), "img/icon.png");
  EXPECT_EQ(textOf(config.get(), "cover"), "img/cover");
  EXPECT_EQ(textOf(cJSON_GetObjectItemCaseSensitive(config.get(), "watermark"), "path"),
            "img/watermark.webp");
  EXPECT_EQ(testsupport::readFile(dir.file("img/icon.png")), "icon bytes");
  EXPECT_EQ(testsupport::readFile(dir.file("img/cover")), "cover bytes");
  EXPECT_EQ(testsupport::readFile(dir.file("img/watermark.webp")), "watermark bytes");
}

TEST(WizardTest, NumberAnswers) {
  struct {
    std::string answer;
    int stored;
    std::string printed;  // what follows the prompt
  } cases[] = {
      {"", 7776000, "node edit interval:7776000\n"},
      {"abc", 7776000,
       "error: Input is not a valid number, will use default edit interval: 7776000\n"},
      {"x81", 7776000,
       "error: Input is not a valid number, will use default edit interval: 7776000\n"},
      {"+", 7776000,
       "error: Input is not a valid number, will use default edit interval: 7776000\n"},
      {"- 5", 7776000,
       "error: Input is not a valid number, will use default edit interval: 7776000\n"},
      {"99999999999", 7776000,
       "error: onversion result out of range, will use default edit interval: 7776000\n"},
      {"2147483648", 7776000,
       "error: onversion result out of range, will use default edit interval: 7776000\n"},
      {"-2147483649", 7776000,
       "error: onversion result out of range, will use default edit interval: 7776000\n"},
      {"2147483647", 2147483647, ""},
      {"-2147483648", -2147483647 - 1, ""},
      {"81x", 81, ""},
      {" 42", 42, ""},
      {"\t9", 9, ""},
      {"81\r", 81, ""},
      {"-5", -5, ""},
      {"0x10", 0, ""},
      {"007", 7, ""},
  };
  for (const auto& c : cases) {
    TempDir dir;
    Answers a;
    a.editInterval = c.answer;
    ProcessResult run = runWizardOnly(dir, a.text());
    const std::string dialogue = dialogueOf(run.out);
    const std::string prompt = "Please input node edit interval(s) (default: 7776000): ";
    const size_t at = dialogue.find(prompt);
    ASSERT_NE(at, std::string::npos) << run.out;
    EXPECT_EQ(dialogue.substr(at + prompt.size()), c.printed) << "answer " << c.answer;
    JsonTree config = readConfig(dir);
    ASSERT_TRUE(config) << "answer " << c.answer;
    EXPECT_EQ(numberOf(config.get(), "edit_interval"), c.stored) << "answer " << c.answer;
  }
}

TEST(WizardTest, PortAnswersThatFallBackToTheDefault) {
  struct {
    std::string answer, printed;
  } cases[] = {
      {"x81", "error: Input is not a valid number, will use default port: 80\n"},
      {"99999999999", "error: onversion result out of range, will use default port: 80\n"},
  };
  for (const auto& c : cases) {
    TempDir dir;
    Answers a;
    a.port = c.answer;
    ProcessResult run = runWizardOnly(dir, a.text());
    EXPECT_NE(dialogueOf(run.out).find("Please input node port (default: 80): " + c.printed + "\n"),
              std::string::npos)
        << run.out;
    JsonTree config = readConfig(dir);
    ASSERT_TRUE(config);
    EXPECT_EQ(numberOf(config.get(), "port"), 80);
  }
}

TEST(WizardTest, AdministratorAnswers) {
  struct {
    std::string answer;
    std::vector<int> ids;
    bool defaultLine;
  } cases[] = {
      {"1 2 3", {1, 2, 3}, false}, {"3  3 -1", {3, 3, -1}, false},        {"a b", {1}, true},
      {"2\t5", {2}, false},  // a tab does not separate tokens
      {" 7 ", {7}, false},         {"99999999999 4 x 5y", {4, 5}, false}, {"", {1}, true},
      {"0", {0}, false},
  };
  for (const auto& c : cases) {
    TempDir dir;
    Answers a;
    a.admin = c.answer;
    ProcessResult run = runWizardOnly(dir, a.text());
    const std::string prompt = "Please input node admin (like: 1 2 3) (default: 1): ";
    EXPECT_NE(dialogueOf(run.out).find(prompt + (c.defaultLine ? "node admin: 1 \n" : "") +
                                       "\nPlease input node write interval"),
              std::string::npos)
        << "answer " << c.answer << "\n"
        << run.out;
    JsonTree config = readConfig(dir);
    ASSERT_TRUE(config) << "answer " << c.answer;
    EXPECT_EQ(adminsOf(config.get()), c.ids) << "answer " << c.answer;
  }
}

TEST(WizardTest, ConfigurationThatCannotBeWrittenEndsStartUp) {
  TempDir dir;
  // A link into a missing directory: nothing exists at config.json, and it
  // cannot be created (even for a user whom permissions do not stop).
  ASSERT_EQ(symlink("missing/config.json", dir.file("config.json").c_str()), 0);
  ProcessResult run = testsupport::runNodeToExit(dir.path, "");
  EXPECT_EQ(run.exitStatus, 1);
  EXPECT_EQ(run.out, kDefaultDialogue + "Save file failed!\n");
  EXPECT_FALSE(testsupport::pathExists(dir.file("missing")));
  EXPECT_FALSE(testsupport::pathExists(dir.file("data")));
}

}  // namespace
