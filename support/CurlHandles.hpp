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
  // Appends one "Name: value" line in constant time. Throws std::bad_alloc when libcurl cannot
  // copy it.
  void append(const std::string& line) {
    // libcurl walks the list it is given to its end: given the last node, it walks one step.
    curl_slist* grown = curl_slist_append(last_, line.c_str());
    if (grown == nullptr) throw std::bad_alloc();
    if (last_ == nullptr) {
      list_.reset(grown);
      last_ = grown;
    } else {
      last_ = last_->next;
    }
  }
  [[nodiscard]] curl_slist* get() const noexcept { return list_.get(); }

 private:
  struct Deleter {
    void operator()(curl_slist* list) const { curl_slist_free_all(list); }
  };
  std::unique_ptr<curl_slist, Deleter> list_;
  curl_slist* last_ = nullptr;  // the last node of list_
};

}  // namespace varn::support
