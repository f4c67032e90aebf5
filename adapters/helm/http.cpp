// SPDX-License-Identifier: Apache-2.0
// http.cpp -- the adapter's few requests to the network: timestamp
// authorities (URLs from the settings) and revocation services (URLs from
// certificates). libcurl, http and https only, no redirects, one deadline
// for connecting and answering, and an answer of bounded size.
#include "helm.h"

#include <curl/curl.h>
#include <sys/socket.h>

namespace {

struct Answer {
  std::string* bytes;
  size_t maxBytes;
  bool tooLarge;
};

}  // namespace

// Called for every address libcurl is about to connect to (after name
// resolution, so a name that resolves to a private address is caught, and
// for every address it falls back to): a refused one is never connected.
static curl_socket_t openPublicOnly(void* opaque, curlsocktype purpose, struct curl_sockaddr* address) {
  bool* refused = static_cast<bool*>(opaque);
  if (purpose != CURLSOCKTYPE_IPCXN || HelmHttp_PrivateAddress(&address->addr)) {
    *refused = true;
    return CURL_SOCKET_BAD;
  }
  return socket(address->family, address->socktype | SOCK_CLOEXEC, address->protocol);
}

static size_t collect(char* data, size_t size, size_t count, void* opaque) {
  Answer* answer = static_cast<Answer*>(opaque);
  size_t n = size * count;
  if (answer->bytes->size() + n > answer->maxBytes) {
    answer->tooLarge = true;
    return 0;  // ends the transfer
  }
  answer->bytes->append(data, n);
  return n;
}

bool HelmHttp_Fetch(HelmHttpSource source, const std::string& url, const char* contentType,
                    const std::vector<unsigned char>* body, unsigned seconds, size_t maxBytes, std::string* out,
                    std::string* message) {
  out->clear();
  if (url.compare(0, 7, "http://") != 0 && url.compare(0, 8, "https://") != 0) {
    *message = "not an http(s) URL";
    return false;
  }
  // libcurl's global state is taken and given back around each request
  // (it counts): a copy of the adapter that is unloaded leaves none behind.
  if (curl_global_init(CURL_GLOBAL_DEFAULT) != CURLE_OK) {
    *message = "libcurl cannot start";
    return false;
  }
  CURL* curl = curl_easy_init();
  if (curl == nullptr) {
    curl_global_cleanup();
    *message = "out of memory";
    return false;
  }
  Answer answer = {out, maxBytes, false};
  std::string header = std::string("Content-Type: ") + (contentType != nullptr ? contentType : "");
  struct curl_slist* headers = body != nullptr ? curl_slist_append(nullptr, header.c_str()) : nullptr;
  curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
  curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(curl, CURLOPT_FOLLOWLOCATION, 0L);
  curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(curl, CURLOPT_TIMEOUT_MS, (long)seconds * 1000L);
  curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT_MS, (long)seconds * 1000L);
  curl_easy_setopt(curl, CURLOPT_MAXFILESIZE, (long)maxBytes);
  curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, collect);
  curl_easy_setopt(curl, CURLOPT_WRITEDATA, &answer);
  bool refused = false;
  if (source == HELM_HTTP_FROM_CERTIFICATE) {
    HelmSettings settings;
    HelmSettings_Load(&settings);
    if (!settings.revocationPrivateNetworks) {
      curl_easy_setopt(curl, CURLOPT_OPENSOCKETFUNCTION, openPublicOnly);
      curl_easy_setopt(curl, CURLOPT_OPENSOCKETDATA, &refused);
    }
  }
  if (body != nullptr) {
    curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers);
    curl_easy_setopt(curl, CURLOPT_POSTFIELDS, body->data());
    curl_easy_setopt(curl, CURLOPT_POSTFIELDSIZE, (long)body->size());
  }
  CURLcode result = curl_easy_perform(curl);
  long status = 0;
  curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status);
  curl_easy_cleanup(curl);
  curl_slist_free_all(headers);
  curl_global_cleanup();
  if (refused && result != CURLE_OK) {
    *message = "it is on a loopback or private network, which a certificate's address may not reach "
               "(revocation-private-networks in the settings)";
  } else if (answer.tooLarge || result == CURLE_FILESIZE_EXCEEDED) {
    *message = "its answer is larger than " + std::to_string(maxBytes) + " bytes";
  } else if (result != CURLE_OK) {
    *message = curl_easy_strerror(result);
  } else if (status != 200) {
    *message = "it answered HTTP " + std::to_string(status);
  } else {
    return true;
  }
  out->clear();
  return false;
}
