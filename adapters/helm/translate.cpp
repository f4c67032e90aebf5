// SPDX-License-Identifier: Apache-2.0
// translate.cpp -- dialog texts in the user's language: gettext catalogs
// (po/*.po, compiled by msgfmt into <adapter folder>/locale/<language>/
// LC_MESSAGES/kestrovan-helm.mo) read by the adapter itself.
//
// The adapter lives inside the service, whose process locale is not its to
// change (setlocale is process-wide, and gettext's own lookup answers in
// English under the "C" locale whatever LANGUAGE says, and needs the
// language's locale installed). So the catalog is read here, and the
// language taken from the environment as gettext takes it: LANGUAGE (a
// list, first match wins), then LC_ALL, LC_MESSAGES, LANG. A language
// without a catalog, or a text without a translation, stays English.
//
// Only the adapter's own words are translated; a site's words, a
// certificate's names and a file's name are filled into them as they are.
#include "helm.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <dlfcn.h>
#include <initializer_list>
#include <map>
#include <utility>

namespace {
struct Catalog {
  std::string language;   // "" until one was looked for
  std::string environment; // what the environment said when it was loaded
  std::map<std::string, std::string> texts;
};
}  // namespace

static Catalog catalog;

static std::string localeFolder() {
  const char* forced = getenv("KESTROVAN_HELM_LOCALEDIR");
  if (forced != nullptr && forced[0] == '/') return forced;
  std::string folder = HelmProgram_InstalledFolder();
  return folder.empty() ? std::string() : folder + "locale";
}

static uint32_t word(const std::string& bytes, size_t at, bool swapped) {
  if (at + 4 > bytes.size()) return 0;
  uint32_t value;
  memcpy(&value, bytes.data() + at, 4);
  return swapped ? __builtin_bswap32(value) : value;
}

// A compiled catalog: magic, revision, count, offsets of the two tables of
// (length, offset) pairs. Anything out of bounds ends the reading.
static bool readCatalog(const std::string& path, std::map<std::string, std::string>* texts) {
  std::string bytes;
  int error = 0;
  if (HelmFiles_Read(path, 4u * 1024u * 1024u, nullptr, &bytes, &error) != HELM_FILE_READ) return false;
  uint32_t magic = word(bytes, 0, false);
  bool swapped = magic == 0xde120495u;
  if (magic != 0x950412deu && !swapped) return false;
  uint32_t count = word(bytes, 8, swapped), originals = word(bytes, 12, swapped), translations = word(bytes, 16, swapped);
  if (count > 100000) return false;
  for (uint32_t i = 0; i < count; i++) {
    uint32_t idLength = word(bytes, originals + 8u * i, swapped), idAt = word(bytes, originals + 8u * i + 4, swapped);
    uint32_t length = word(bytes, translations + 8u * i, swapped), at = word(bytes, translations + 8u * i + 4, swapped);
    if ((size_t)idAt + idLength > bytes.size() || (size_t)at + length > bytes.size()) return false;
    if (idLength == 0 || length == 0) continue;   // the header
    (*texts)[bytes.substr(idAt, idLength)] = bytes.substr(at, length);
  }
  return true;
}

// "de_DE.UTF-8@euro" -> "de_DE", then "de".
static bool loadLanguage(const std::string& folder, const std::string& name, Catalog* out) {
  std::string language = name.substr(0, name.find_first_of(".@"));
  if (language.empty() || language == "C" || language == "POSIX") return false;
  for (int step = 0; step < 2; step++) {
    if (language.find('/') != std::string::npos) return false;
    std::map<std::string, std::string> texts;
    if (readCatalog(folder + "/" + language + "/LC_MESSAGES/kestrovan-helm.mo", &texts)) {
      out->language = language;
      out->texts.swap(texts);
      return true;
    }
    size_t underscore = language.find('_');
    if (underscore == std::string::npos) return false;
    language.resize(underscore);
  }
  return false;
}

static std::string environmentLanguages() {
  std::string out;
  for (const char* name : {"LANGUAGE", "LC_ALL", "LC_MESSAGES", "LANG"}) {
    const char* value = getenv(name);
    if (value == nullptr || value[0] == '\0') continue;
    if (!out.empty()) out += ":";
    out += value;
  }
  return out;
}

static void refresh() {
  std::string wanted = environmentLanguages();
  if (!catalog.language.empty() || !catalog.environment.empty()) {
    if (catalog.environment == wanted) return;
  }
  catalog.environment = wanted;
  catalog.language.clear();
  catalog.texts.clear();
  std::string folder = localeFolder();
  if (folder.empty()) return;
  size_t at = 0;
  while (at <= wanted.size()) {
    size_t colon = wanted.find(':', at);
    std::string name = wanted.substr(at, colon == std::string::npos ? std::string::npos : colon - at);
    if (loadLanguage(folder, name, &catalog)) return;
    if (colon == std::string::npos) break;
    at = colon + 1;
  }
}

std::string HelmText_Language() {
  refresh();
  return catalog.language;
}

std::string HelmText_Translate(const char* text) {
  refresh();
  auto found = catalog.texts.find(text);
  return found != catalog.texts.end() ? found->second : std::string(text);
}

std::string HelmText_Fill(const std::string& text,
                          std::initializer_list<std::pair<const char*, std::string>> values) {
  // One pass: a filled value (a site's words) is never read for marks.
  std::string out;
  size_t at = 0;
  while (at < text.size()) {
    size_t open = text.find('{', at);
    if (open == std::string::npos) break;
    size_t close = text.find('}', open);
    if (close == std::string::npos) break;
    out.append(text, at, open - at);
    std::string name = text.substr(open + 1, close - open - 1);
    bool filled = false;
    for (const auto& v : values) {
      if (name == v.first) {
        out += v.second;
        filled = true;
        break;
      }
    }
    if (!filled) out.append(text, open, close - open + 1);
    at = close + 1;
  }
  out.append(text, at, std::string::npos);
  return out;
}
