#pragma once

// Owners of libcurl's easy handles and header lists, for every user of libcurl's easy interface.

#include <memory>
#include <new>
#include <string>

#include <curl/curl.h>

namespace varn::support {

struct CurlEasyDeleter {
  void operator()(CURL* easy) const { curl_easy_cleanup(easy); }
};
using CurlEasy = std::unique_ptr<CURL, CurlEasyDeleter>;

// A header list for CURLOPT_HTTPHEADER; it must outlive the transfer that uses it.
class CurlHeaderList final {
 public:
  // Appends one "Name: value" line. Throws std::bad_alloc when libcurl cannot copy it.
  void append(const std::string& line) {
    curl_slist* grown = curl_slist_append(list_.get(), line.c_str());
    if (grown == nullptr) throw std::bad_alloc();
    (void)list_.release();
    list_.reset(grown);
  }
  [[nodiscard]] curl_slist* get() const noexcept { return list_.get(); }

 private:
  struct Deleter {
    void operator()(curl_slist* list) const { curl_slist_free_all(list); }
  };
  std::unique_ptr<curl_slist, Deleter> list_;
};

}  // namespace varn::support
