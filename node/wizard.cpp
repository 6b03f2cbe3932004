// wizard.cpp -- the first-run console dialogue that writes config.json.
#include "node/wizard.h"

#include <cjson/cJSON.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <memory>
#include <string>
#include <vector>

#include "api/settings.h"
#include "node/node_key.h"
#include "storage/atomic_file.h"
#include "storage/database_file.h"
#include "storage/file_helpers.h"
#include "storage/json_tree.h"

namespace {

constexpr char kPictureDirectory[] = "img";

constexpr char kDefaultName[] = "Ondrix Node Server";
constexpr int kDefaultPort = 80;
constexpr int kDefaultPageSize = 20;
constexpr int kDefaultAdmin = 1;
constexpr int kDefaultWriteIntervalMs = 10000;
constexpr int kDefaultWatermarkNumber = 0;
constexpr int kDefaultEditIntervalSeconds = 7776000;  // 90 days

// What the console shows for one number setting.
struct NumberItem {
  const char* prompt;
  int defaultValue;
  const char* label;
  const char* notANumber;
  const char* outOfRange;
};

// What the console shows for one picture setting, and the stem it is stored under.
struct PictureItem {
  const char* prompt;
  const char* label;
  const char* stem;
  const char* copyFailed;
};

const NumberItem kPort = {"Please input node port (default: ", kDefaultPort, "node port:",
                          "error: Input is not a valid number, will use default port: ",
                          "error: onversion result out of range, will use default port: "};
const NumberItem kPageSize = {
    "Please input node page size (default: ", kDefaultPageSize,
    "node page size:", "error: Input is not a valid number, will use default page size: ",
    "error: onversion result out of range, will use default page size: "};
const NumberItem kWriteInterval = {
    "Please input node write interval(ms) (default: ", kDefaultWriteIntervalMs,
    "node write interval:", "error: Input is not a valid number, will use default write interval: ",
    "error: onversion result out of range, will use default write interval: "};
const NumberItem kOffsetX = {
    "\tPlease input node watermark offsetX (default: ", kDefaultWatermarkNumber,
    "\tnode watermark offsetX:",
    "\terror: Input is not a valid number, will use default watermark offsetX: ",
    "\terror: onversion result out of range, will use default watermark offsetX: "};
const NumberItem kOffsetY = {
    "\tPlease input node watermark offsetY (default: ", kDefaultWatermarkNumber,
    "\tnode watermark offsetY:",
    "\terror: Input is not a valid number, will use default watermark offsetY: ",
    "\terror: onversion result out of range, will use default watermark offsetY: "};
const NumberItem kPosition = {
    "\tPlease input node watermark position (default: ", kDefaultWatermarkNumber,
    "\tnode watermark position:",
    "\terror: Input is not a valid number, will use default watermark position: ",
    "\terror: onversion result out of range, will use default watermark position: "};
// The edit interval is a number of seconds, and its prompt says so.
const NumberItem kEditInterval = {
    "Please input node edit interval(s) (default: ", kDefaultEditIntervalSeconds,
    "node edit interval:", "error: Input is not a valid number, will use default edit interval: ",
    "error: onversion result out of range, will use default edit interval: "};

const PictureItem kIcon = {"Please input node icon path (default: ", "node icon path:", "icon",
                           "Copy icon image failed!\n"};
const PictureItem kCover = {"Please input node cover path (default: ", "node cover path:", "cover",
                            "Copy cover image failed!\n"};
const PictureItem kWatermarkPath = {
    "\tPlease input node watermark path (default: ", "\tnode watermark path:", "watermark",
    "\tCopy watermark image failed!\n"};

enum class NumberRead { Ok, NotANumber, OutOfRange };

void print(const std::string& text) { fwrite(text.data(), 1, text.size(), stdout); }

// Prints the prompt, its default and "): ", then reads one answer line. The
// line feed is consumed; every other byte, a carriage return included, is
// part of the answer. At the end of input the answer is empty.
std::string ask(const char* prompt, const std::string& defaultText) {
  print(prompt + defaultText + "): ");
  fflush(stdout);
  std::string answer;
  std::getline(std::cin, answer);
  return answer;
}

// Reads a base-10 integer the way strtol does: leading white space, an
// optional sign, digits up to the first other character (the rest is
// ignored). The value must fit a 32-bit signed integer.
NumberRead convertNumber(const std::string& text, int* value) {
  const char* start = text.c_str();
  char* end = nullptr;
  errno = 0;
  const long converted = strtol(start, &end, 10);
  if (end == start) return NumberRead::NotANumber;
  if (errno == ERANGE || converted < INT_MIN || converted > INT_MAX) return NumberRead::OutOfRange;
  *value = static_cast<int>(converted);
  return NumberRead::Ok;
}

std::string askText(const char* prompt, const std::string& defaultValue, const char* label) {
  const std::string answer = ask(prompt, defaultValue);
  if (!answer.empty()) return answer;
  print(label + defaultValue + "\n");
  return defaultValue;
}

int askNumber(const NumberItem& item) {
  const std::string defaultText = std::to_string(item.defaultValue);
  const std::string answer = ask(item.prompt, defaultText);
  if (answer.empty()) {
    print(item.label + defaultText + "\n");
    return item.defaultValue;
  }
  int value = 0;
  switch (convertNumber(answer, &value)) {
    case NumberRead::Ok:
      return value;
    case NumberRead::NotANumber:
      print(item.notANumber + defaultText + "\n");
      break;
    case NumberRead::OutOfRange:
      print(item.outOfRange + defaultText + "\n");
      break;
  }
  return item.defaultValue;
}

// Copies the named picture to img/<stem><its extension> and gives that path;
// the path is given even when the copy fails, with whatever extension the
// copy reported. An empty answer gives "".
std::string askPicture(const PictureItem& item) {
  const std::string answer = ask(item.prompt, "");
  if (answer.empty()) {
    print(std::string(item.label) + "\n");
    return "";
  }
  std::string extension;
  if (!copyFileAs(answer, kPictureDirectory, extension, true, item.stem, "")) {
    print(item.copyFailed);
  }
  return std::string(kPictureDirectory) + "/" + item.stem + extension;
}

// The administrators' user ids, typed separated by spaces (a tab belongs to
// its token). Tokens that are not numbers in range are dropped; with none
// left the list is the single id 1.
std::vector<int> askAdmins() {
  const std::string answer =
      ask("Please input node admin (like: 1 2 3) (default: ", std::to_string(kDefaultAdmin));
  std::vector<int> ids;
  size_t pos = 0;
  while (pos < answer.size()) {
    const size_t end = std::min(answer.find(' ', pos), answer.size());
    if (end > pos) {
      int id = 0;
      if (convertNumber(answer.substr(pos, end - pos), &id) == NumberRead::Ok) ids.push_back(id);
    }
    pos = end + 1;
  }
  if (ids.empty()) {
    ids.push_back(kDefaultAdmin);
    print("node admin: " + std::to_string(kDefaultAdmin) + " \n");
  }
  return ids;
}

}  // namespace

bool runSetupWizard() {
  print("File \"config.json\" does not exist and will be created.\n");
  JsonTree root(cJSON_CreateObject());
  if (!root) return false;
  cJSON* config = root.get();
  // Every member is added as it is answered, which gives the file its key order.
  bool made = true;

  made &= cJSON_AddStringToObject(
              config, "name",
              askText("Please input node name (default: ", kDefaultName, "node name:").c_str()) !=
          nullptr;
  print("\n");
  made &= cJSON_AddStringToObject(config, "icon", askPicture(kIcon).c_str()) != nullptr;
  print("\n");
  made &= cJSON_AddStringToObject(config, "cover", askPicture(kCover).c_str()) != nullptr;
  print("\n");
  made &= cJSON_AddNumberToObject(config, "port", askNumber(kPort)) != nullptr;
  print("\n");
  made &= cJSON_AddNumberToObject(config, "page_size", askNumber(kPageSize)) != nullptr;
  print("\n");

  const std::vector<int> admins = askAdmins();
  cJSON* adminArray = cJSON_AddArrayToObject(config, "admin");
  made &= adminArray != nullptr;
  for (int id : admins) {
    if (adminArray != nullptr)
      made &= cJSON_AddItemToArray(adminArray, cJSON_CreateNumber(id)) != 0;
  }
  print("\n");

  made &= cJSON_AddNumberToObject(config, "write_interval", askNumber(kWriteInterval)) != nullptr;
  print("\n");

  print("Please input node watermark: \n");
  cJSON* watermark = cJSON_AddObjectToObject(config, "watermark");
  made &= watermark != nullptr;
  const std::string watermarkPath = askPicture(kWatermarkPath);
  print("\n");
  const int offsetX = askNumber(kOffsetX);
  print("\n");
  const int offsetY = askNumber(kOffsetY);
  print("\n");
  const int position = askNumber(kPosition);
  print("\n");
  if (watermark != nullptr) {
    made &= cJSON_AddStringToObject(watermark, "path", watermarkPath.c_str()) != nullptr;
    made &= cJSON_AddNumberToObject(watermark, "offsetX", offsetX) != nullptr;
    made &= cJSON_AddNumberToObject(watermark, "offsetY", offsetY) != nullptr;
    made &= cJSON_AddNumberToObject(watermark, "position", position) != nullptr;
  }

  const std::string key = makeNodeKey();
  made &= !key.empty() && cJSON_AddStringToObject(config, "sercut_key", key.c_str()) != nullptr;

  made &= cJSON_AddNumberToObject(config, "edit_interval", askNumber(kEditInterval)) != nullptr;
  fflush(stdout);
  if (!made) return false;

  JsonText text(cJSON_Print(config));
  if (!text) return false;
  // Written beside it and renamed into place: a write that fails leaves no
  // config.json at all, so the next start runs the wizard again.
  std::string error;
  if (!writeFileAtomically(kConfigPath, text.get(), error)) {
    print("Save file failed!\n");
    fflush(stdout);
    return false;
  }
  return true;
}
