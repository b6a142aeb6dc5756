#include "support/CurlSession.hpp"

#include <array>
#include <mutex>
#include <vector>

#include <curl/curl.h>

#include "support/CurlHandles.hpp"

namespace varn::support {
namespace {

bool holdsLineBreakOrNul(const std::string& text) {
  return text.find_first_of(std::string_view("\r\n\0", 3)) != std::string::npos;
}

struct Transfer {
  std::size_t limit = 0;
  std::string body;
  bool tooLarge = false;
};

std::size_t onBody(char* data, std::size_t size, std::size_t count, void* context) {
  auto* transfer = static_cast<Transfer*>(context);
  const std::size_t bytes = size * count;
  if (bytes > transfer->limit - transfer->body.size()) {
    transfer->tooLarge = true;
    return 0;  // cuts the transfer off
  }
  transfer->body.append(data, bytes);
  return bytes;
}

// A new easy handle configured with the session's settings and share.
CurlEasy newHandle(const CurlSettings& settings, CURLSH* share) {
  CurlEasy easy(curl_easy_init());
  if (!easy) throw CurlError("failed to initialise the HTTP client");
  CURL* h = easy.get();
  curl_easy_setopt(h, CURLOPT_SHARE, share);
  curl_easy_setopt(h, CURLOPT_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(h, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(h, CURLOPT_FOLLOWLOCATION, settings.maxRedirects > 0 ? 1L : 0L);
  curl_easy_setopt(h, CURLOPT_MAXREDIRS, static_cast<long>(settings.maxRedirects));
  curl_easy_setopt(h, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(h, CURLOPT_CONNECTTIMEOUT, static_cast<long>(settings.connectTimeout.count()));
  curl_easy_setopt(h, CURLOPT_LOW_SPEED_LIMIT, 1L);
  curl_easy_setopt(h, CURLOPT_LOW_SPEED_TIME, static_cast<long>(settings.stallTimeout.count()));
  curl_easy_setopt(h, CURLOPT_TIMEOUT_MS, static_cast<long>(settings.deadline.count()));
  if (settings.cookieJar) curl_easy_setopt(h, CURLOPT_COOKIEFILE, "");  // the engine, no file
  curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, onBody);
  return easy;
}

}  // namespace

// The share handle and one mutex per kind of shared data, as libcurl's lock callbacks ask.
struct CurlSession::Shared {
  CURLSH* share = nullptr;
  std::array<std::mutex, CURL_LOCK_DATA_LAST> locks;
  // Easy handles between transfers, still configured with the session's settings; reusing them
  // saves building and configuring a handle per request. At most kMaxIdle are kept.
  static constexpr std::size_t kMaxIdle = 8;
  std::mutex idleMutex;
  std::vector<CurlEasy> idle;  // guarded by idleMutex

  // An idle handle, or nullptr when there is none.
  CurlEasy takeIdle() {
    std::lock_guard lock(idleMutex);
    if (idle.empty()) return nullptr;
    CurlEasy easy = std::move(idle.back());
    idle.pop_back();
    return easy;
  }

  void release(CurlEasy easy) {
    // Nothing of the finished request stays reachable from the handle.
    CURL* h = easy.get();
    curl_easy_setopt(h, CURLOPT_HTTPHEADER, nullptr);
    curl_easy_setopt(h, CURLOPT_ERRORBUFFER, nullptr);
    curl_easy_setopt(h, CURLOPT_WRITEDATA, nullptr);
    curl_easy_setopt(h, CURLOPT_POSTFIELDS, nullptr);
    std::unique_lock lock(idleMutex);
    if (idle.size() < kMaxIdle) {
      idle.push_back(std::move(easy));
      return;
    }
    lock.unlock();
    dispose(std::move(easy));
  }

  // libcurl frees a handle's list of cookie files only when told to, not at cleanup.
  static void dispose(CurlEasy easy) { curl_easy_setopt(easy.get(), CURLOPT_COOKIEFILE, nullptr); }

  static void lock(CURL*, curl_lock_data data, curl_lock_access, void* self) {
    static_cast<Shared*>(self)->locks[data].lock();
  }
  static void unlock(CURL*, curl_lock_data data, void* self) {
    static_cast<Shared*>(self)->locks[data].unlock();
  }
};

CurlSession::CurlSession(CurlSettings settings)
    : settings_(settings), shared_(std::make_unique<Shared>()) {
  static std::once_flag once;
  std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
  shared_->share = curl_share_init();
  if (shared_->share == nullptr) throw CurlError("failed to initialise the HTTP client");
  curl_share_setopt(shared_->share, CURLSHOPT_LOCKFUNC, &Shared::lock);
  curl_share_setopt(shared_->share, CURLSHOPT_UNLOCKFUNC, &Shared::unlock);
  curl_share_setopt(shared_->share, CURLSHOPT_USERDATA, shared_.get());
  curl_share_setopt(shared_->share, CURLSHOPT_SHARE, CURL_LOCK_DATA_CONNECT);
  curl_share_setopt(shared_->share, CURLSHOPT_SHARE, CURL_LOCK_DATA_DNS);
  curl_share_setopt(shared_->share, CURLSHOPT_SHARE, CURL_LOCK_DATA_SSL_SESSION);
  if (settings_.cookieJar)
    curl_share_setopt(shared_->share, CURLSHOPT_SHARE, CURL_LOCK_DATA_COOKIE);
}

CurlSession::~CurlSession() {
  // Every easy handle lets go of the share before it goes.
  for (CurlEasy& easy : shared_->idle) Shared::dispose(std::move(easy));
  curl_share_cleanup(shared_->share);
}

CurlResponse CurlSession::perform(const CurlRequest& request) const {
  CurlEasy easy = shared_->takeIdle();
  if (!easy) easy = newHandle(settings_, shared_->share);
  CURL* h = easy.get();
  struct Release {
    Shared& shared;
    CurlEasy& easy;
    ~Release() { shared.release(std::move(easy)); }
  } release{*shared_, easy};

  Transfer transfer;
  transfer.limit = settings_.maxBodyBytes;
  char errorText[CURL_ERROR_SIZE] = {};
  curl_easy_setopt(h, CURLOPT_URL, request.url.c_str());
  curl_easy_setopt(h, CURLOPT_ERRORBUFFER, errorText);
  curl_easy_setopt(h, CURLOPT_WRITEDATA, &transfer);

  // The method from a clean start (the handle may have served another method before): GET and
  // HEAD by their own options; a POST as a POST (with an empty body when it has none), so that a
  // 301, 302 or 303 turns it into a GET as browsers do; other methods as custom requests that
  // keep their body.
  curl_easy_setopt(h, CURLOPT_CUSTOMREQUEST, nullptr);
  curl_easy_setopt(h, CURLOPT_HTTPGET, 1L);
  static const std::string kNoBody;
  const std::string* body = request.body ? &*request.body : nullptr;
  if (request.method == "GET") {
    body = nullptr;
  } else if (request.method == "HEAD") {
    curl_easy_setopt(h, CURLOPT_NOBODY, 1L);
    body = nullptr;
  } else if (request.method == "POST") {
    curl_easy_setopt(h, CURLOPT_POST, 1L);
    if (body == nullptr) body = &kNoBody;
  } else {
    curl_easy_setopt(h, CURLOPT_CUSTOMREQUEST, request.method.c_str());
  }
  if (body != nullptr) {
    curl_easy_setopt(h, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(body->size()));
    curl_easy_setopt(h, CURLOPT_POSTFIELDS, body->data());
  }

  CurlHeaderList headers;
  for (const auto& [name, value] : request.headers) {
    if (holdsLineBreakOrNul(name) || holdsLineBreakOrNul(value)) {
      throw CurlError("a header field holds a line break or NUL");
    }
    // "Name:" alone would tell libcurl to drop the field; "Name;" sends it with an empty value.
    headers.append(value.empty() ? name + ";" : name + ": " + value);
  }
  headers.append("Expect:");
  curl_easy_setopt(h, CURLOPT_HTTPHEADER, headers.get());

  const CURLcode code = curl_easy_perform(h);
  long status = 0;
  curl_easy_getinfo(h, CURLINFO_RESPONSE_CODE, &status);
  CurlResponse response;
  response.status = static_cast<int>(status);
  if (transfer.tooLarge) {
    response.bodyTooLarge = true;
    return response;
  }
  if (code != CURLE_OK) {
    throw CurlError(errorText[0] != '\0' ? std::string(errorText)
                                         : std::string(curl_easy_strerror(code)));
  }
  response.body = std::move(transfer.body);
  return response;
}

}  // namespace varn::support
