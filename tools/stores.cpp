// SPDX-License-Identifier: Apache-2.0
// stores.cpp -- finding the NSS databases a user's browsers read, and
// putting our local CA in them or checking that it is there, with certutil.
#include "tools/stores.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "support/log.h"
#include "support/write.h"

extern char** environ;

const char* const KestrovanStores_nickname = "NORTAKestrovan local CA";
const char* const KestrovanStores_firefoxCaFile = "NORTAKestrovan-local-ca.pem";

static const int kMaxProfiles = 256;        // [Profile0] ... of one profiles.ini
static const int kMaxSameNickname = 64;     // certificates of ours under one nickname
static const size_t kMaxOutput = 1 << 20;   // what certutil may print to us

// Runs certutil with arguments; its output (both streams) goes to output,
// or nowhere when output is null. Returns its exit status, -1 when it could
// not run or was killed.
static int certutil(const std::vector<std::string>& arguments, std::string* output) {
  std::vector<char*> argv;
  argv.push_back(const_cast<char*>("certutil"));
  for (const std::string& argument : arguments)
    argv.push_back(const_cast<char*>(argument.c_str()));
  argv.push_back(nullptr);
  int pipeFds[2] = {-1, -1};
  if (output != nullptr && pipe2(pipeFds, O_CLOEXEC) != 0)
    return -1;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  if (output != nullptr) {
    posix_spawn_file_actions_adddup2(&actions, pipeFds[1], 1);
    posix_spawn_file_actions_adddup2(&actions, pipeFds[1], 2);
  } else {
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  }
  pid_t pid = 0;
  int rc = posix_spawnp(&pid, "certutil", &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (output != nullptr) {
    close(pipeFds[1]);
    output->clear();
    char buffer[4096];
    ssize_t n;
    while (rc == 0 && ((n = read(pipeFds[0], buffer, sizeof(buffer))) > 0 || (n < 0 && errno == EINTR))) {
      if (n > 0 && output->size() < kMaxOutput)
        output->append(buffer, (size_t)n);
    }
    close(pipeFds[0]);
  }
  if (rc != 0)
    return -1;
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

static bool isFile(const std::string& path) {
  struct stat info;
  return stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode);
}

static bool isFolder(const std::string& path) {
  struct stat info;
  return stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

// The first line of certutil's output, for a report.
static std::string firstLine(const std::string& text) {
  size_t start = text.find_first_not_of("\r\n \t");
  if (start == std::string::npos)
    return "no message";
  size_t end = text.find_first_of("\r\n", start);
  return text.substr(start, end == std::string::npos ? std::string::npos : end - start);
}

bool KestrovanStores_HaveCertutil() {
  return certutil({"-H"}, nullptr) >= 0;
}

// Adds the store at folder unless a store already names the same folder.
static void add(std::vector<KestrovanStore>& stores, const std::string& folder, const std::string& reader,
                bool create) {
  char real[PATH_MAX];
  std::string key = realpath(folder.c_str(), real) != nullptr ? std::string(real) : folder;
  for (const KestrovanStore& store : stores) {
    char other[PATH_MAX];
    if (store.folder == folder || (realpath(store.folder.c_str(), other) != nullptr && key == other))
      return;
  }
  stores.push_back({folder, reader, create});
}

// Every profile that root/profiles.ini lists, as Firefox writes it:
// [Profile0], [Profile1], ... each with Path= (relative to root when
// IsRelative=1) and Name=.
static void findProfiles(const std::string& root, const std::string& browser, std::vector<KestrovanStore>& stores,
                         std::vector<std::string>* notes) {
  std::string ini = root + "/profiles.ini";
  if (!isFile(ini))
    return;
  for (int i = 0; i < kMaxProfiles; i++) {
    char section[32];
    snprintf(section, sizeof(section), "Profile%d", i);
    char path[PATH_MAX];
    int found = GetIniProfileString(section, "Path", path, sizeof(path), ini.c_str());
    if (found == KESTROVAN_INI_NO_SECTION || found == KESTROVAN_INI_NO_PROFILE)
      break;
    if (found != 0 || path[0] == '\0')
      continue;
    char relative[8] = "";
    GetIniProfileString(section, "IsRelative", relative, sizeof(relative), ini.c_str());
    char name[128] = "";
    bool named = GetIniProfileString(section, "Name", name, sizeof(name), ini.c_str()) == 0;
    bool isRelative = strcmp(relative, "1") == 0 || (relative[0] == '\0' && path[0] != '/');
    std::string folder = isRelative ? root + "/" + path : std::string(path);
    std::string reader = browser + " profile \"" + (named ? name : path) + "\"";
    if (!isFolder(folder)) {
      if (notes != nullptr)
        notes->push_back(ini + " lists " + reader + " at " + folder + ", which does not exist");
      continue;
    }
    if (!isFile(folder + "/cert9.db") && isFile(folder + "/cert8.db")) {
      if (notes != nullptr)
        notes->push_back(reader + " at " + folder + " has an old-format database: start that Firefox once");
      continue;
    }
    add(stores, folder, reader, true);
  }
}

std::vector<KestrovanStore> KestrovanStores_Find(const std::string& home, std::vector<std::string>* notes) {
  std::vector<KestrovanStore> stores;
  // Shared databases: one per browser installation, each used when that
  // browser is there (its folder exists).
  struct Shared {
    const char* folder;
    const char* reader;
    const char* installed;  // "" for always
    bool create;
  };
  // The newer location is used only once Chromium made it: a database
  // there changes which one Chromium reads.
  static const Shared shared[] = {
      {".pki/nssdb", "Chromium, Chrome, Edge", "", true},
      {".local/share/pki/nssdb", "Chromium (newer location)", ".local/share/pki/nssdb/cert9.db", false},
      {"snap/chromium/current/.pki/nssdb", "snap Chromium", "snap/chromium/current", true},
      {".var/app/org.chromium.Chromium/.pki/nssdb", "Flatpak Chromium", ".var/app/org.chromium.Chromium", true},
  };
  for (const Shared& s : shared) {
    if (s.installed[0] == '\0' || isFile(home + "/" + s.installed) || isFolder(home + "/" + s.installed))
      add(stores, home + "/" + s.folder, s.reader, s.create);
  }

  const char* xdgConfig = getenv("XDG_CONFIG_HOME");
  std::string config = xdgConfig != nullptr && xdgConfig[0] == '/' ? std::string(xdgConfig) : home + "/.config";
  struct Firefox {
    std::string root;
    const char* browser;
  };
  const Firefox firefoxes[] = {
      {home + "/.mozilla/firefox", "Firefox"},
      {config + "/mozilla/firefox", "Firefox"},
      {home + "/snap/firefox/common/.mozilla/firefox", "snap Firefox"},
      {home + "/.var/app/org.mozilla.firefox/.mozilla/firefox", "Flatpak Firefox"},
      {home + "/.var/app/org.mozilla.firefox/config/mozilla/firefox", "Flatpak Firefox"},
  };
  for (const Firefox& firefox : firefoxes)
    findProfiles(firefox.root, firefox.browser, stores, notes);
  return stores;
}

// The nicknames of our certificates in the database, each with its trust
// flags ("C,,"), from certutil -L. False when certutil cannot read it.
static bool ours(const std::string& database, std::vector<std::pair<std::string, std::string>>& found,
                 std::string* why) {
  std::string listing;
  if (certutil({"-L", "-d", database}, &listing) != 0) {
    if (why != nullptr)
      *why = firstLine(listing);
    return false;
  }
  size_t prefix = strlen(KestrovanStores_nickname);
  size_t at = 0;
  while (at < listing.size()) {
    size_t end = listing.find('\n', at);
    if (end == std::string::npos)
      end = listing.size();
    std::string line = listing.substr(at, end - at);
    at = end + 1;
    while (!line.empty() && (line.back() == ' ' || line.back() == '\r' || line.back() == '\t'))
      line.pop_back();
    if (line.compare(0, prefix, KestrovanStores_nickname) != 0)
      continue;
    size_t gap = line.find_last_of(" \t");
    if (gap == std::string::npos)
      continue;
    std::string trust = line.substr(gap + 1);
    std::string nickname = line.substr(0, gap);
    while (!nickname.empty() && (nickname.back() == ' ' || nickname.back() == '\t'))
      nickname.pop_back();
    found.push_back({nickname, trust});
  }
  return true;
}

std::string KestrovanStores_Trust(const KestrovanStore& store, const std::string& caPath) {
  std::string database = "sql:" + store.folder;
  std::string output;
  if (!isFile(store.folder + "/cert9.db")) {
    if (!store.create)
      return "it holds no database";
    // The folder and its parent (.pki) are made private, as browsers make them.
    size_t slash = store.folder.rfind('/');
    if (slash != std::string::npos && slash > 0)
      mkdir(store.folder.substr(0, slash).c_str(), 0700);
    if (mkdir(store.folder.c_str(), 0700) != 0 && errno != EEXIST)
      return std::string("cannot make the folder: ") + strerror(errno);
    if (certutil({"-N", "-d", database, "--empty-password"}, &output) != 0)
      return "cannot make a database there: " + firstLine(output);
  }
  std::vector<std::pair<std::string, std::string>> earlier;
  std::string why;
  if (!ours(database, earlier, &why))
    return "certutil cannot read it: " + why;
  for (const auto& certificate : earlier) {
    for (int i = 0; i < kMaxSameNickname; i++) {
      if (certutil({"-D", "-d", database, "-n", certificate.first}, nullptr) != 0)
        break;
    }
  }
  if (certutil({"-A", "-d", database, "-n", KestrovanStores_nickname, "-t", "C,,", "-i", caPath}, &output) != 0)
    return "certutil could not add the CA: " + firstLine(output);
  return "";
}

std::string KestrovanStores_KeepFirefoxCopy(const std::string& home, const std::string& caPath) {
  std::string pem;
  FILE* in = fopen(caPath.c_str(), "rbe");
  if (in == nullptr)
    return std::string("cannot read ") + caPath + ": " + strerror(errno);
  char buffer[4096];
  size_t n;
  while ((n = fread(buffer, 1, sizeof(buffer), in)) > 0 && pem.size() < kMaxOutput)
    pem.append(buffer, n);
  fclose(in);
  std::string folder = home + "/.mozilla";
  mkdir(folder.c_str(), 0700);
  folder += "/certificates";
  if (mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST)
    return folder + ": " + strerror(errno);
  std::string path = folder + "/" + KestrovanStores_firefoxCaFile;
  char reason[1024];
  if (KestrovanFiles_writeWhole(path.c_str(), pem.data(), pem.size(), 0644, reason, sizeof(reason)) !=
      KESTROVAN_WRITE_DONE)
    return reason;
  return "";
}

// PEM text without line ends and blanks, for comparing.
static std::string squeezed(const std::string& pem) {
  std::string out;
  for (char c : pem)
    if (c != '\r' && c != '\n' && c != ' ' && c != '\t')
      out += c;
  return out;
}

KestrovanStoreState KestrovanStores_Check(const KestrovanStore& store, const std::string& caPem) {
  if (!isFile(store.folder + "/cert9.db"))
    return KestrovanStore_Unreadable;
  std::string database = "sql:" + store.folder;
  std::vector<std::pair<std::string, std::string>> found;
  if (!ours(database, found, nullptr))
    return KestrovanStore_Unreadable;
  std::string wanted = squeezed(caPem);
  KestrovanStoreState state = KestrovanStore_Missing;
  for (const auto& certificate : found) {
    std::string exported;
    if (certutil({"-L", "-d", database, "-n", certificate.first, "-a"}, &exported) != 0)
      continue;
    if (wanted.empty() || squeezed(exported).find(wanted) == std::string::npos) {
      if (state == KestrovanStore_Missing)
        state = KestrovanStore_Other;
      continue;
    }
    // Trusted to vouch for web servers: "C" in the first of the three trust
    // fields (SSL, S/MIME, code signing).
    std::string ssl = certificate.second.substr(0, certificate.second.find(','));
    if (ssl.find('C') != std::string::npos)
      return KestrovanStore_Trusted;
    state = KestrovanStore_NotTrusted;
  }
  return state;
}
