#include "notify/delivery.h"

#include <mutex>
#include <stdexcept>

namespace {

// Owns a parsed URL handle.
struct url_handle {
  url_handle() : url(curl_url()) {}
  ~url_handle() { curl_url_cleanup(url); }
  url_handle(const url_handle&) = delete;
  url_handle& operator=(const url_handle&) = delete;

  // A part of the URL, or "" when it has none.
  std::string part(CURLUPart which) const {
    char* value = nullptr;
    if (curl_url_get(url, which, &value, 0) != CURLUE_OK || !value) return {};
    std::string out = value;
    curl_free(value);
    return out;
  }

  CURLU* url;
};

size_t keep_response(char* data, size_t size, size_t count, void* user) {
  auto* t = static_cast<transfer*>(user);
  size_t bytes = size * count;
  size_t room = max_response_bytes - t->response.size();
  // Returning less than given ends the transfer; the status line has been read by then.
  if (bytes > room) {
    t->response.append(data, room);
    return room;
  }
  t->response.append(data, bytes);
  return bytes;
}

}  // namespace

bool check_target_url(const std::string& url, std::string* why) {
  url_handle h;
  if (!h.url || curl_url_set(h.url, CURLUPART_URL, url.c_str(), 0) != CURLUE_OK) {
    *why = "not a valid URL";
    return false;
  }
  std::string scheme = h.part(CURLUPART_SCHEME);
  if (scheme != "http" && scheme != "https") {
    *why = "only http:// and https:// URLs";
    return false;
  }
  if (h.part(CURLUPART_HOST).empty()) {
    *why = "the URL names no host";
    return false;
  }
  return true;
}

std::string url_origin(const std::string& url) {
  url_handle h;
  if (!h.url || curl_url_set(h.url, CURLUPART_URL, url.c_str(), 0) != CURLUE_OK) {
    return "(invalid URL)";
  }
  std::string out = h.part(CURLUPART_SCHEME) + "://" + h.part(CURLUPART_HOST);
  std::string port = h.part(CURLUPART_PORT);
  return port.empty() ? out : out + ":" + port;
}

std::string target_name(const notify_target& target) {
  if (!target.label.empty()) return target.label;
  return url_origin(target.url) + " (" + format_name(target.format) + ")";
}

void init_curl_once() {
  static std::once_flag once;
  std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

transfer::~transfer() {
  if (easy) curl_easy_cleanup(easy);
  if (headers) curl_slist_free_all(headers);
}

std::unique_ptr<transfer> make_transfer(const outgoing_request& request,
                                        const std::string& ca_file) {
  auto t = std::make_unique<transfer>();
  t->easy = curl_easy_init();
  if (!t->easy) throw std::runtime_error("curl_easy_init failed");
  t->body = request.body;
  for (const std::string& h : request.headers) {
    curl_slist* more = curl_slist_append(t->headers, h.c_str());
    if (!more) throw std::runtime_error("curl_slist_append failed");
    t->headers = more;
  }
  // "Expect: 100-continue" would cost a round trip (or a second) on bodies over 1 KB.
  curl_slist* more = curl_slist_append(t->headers, "Expect:");
  // On failure the list is left as it was, and still owned by `t`.
  if (!more) throw std::runtime_error("curl_slist_append failed");
  t->headers = more;
  CURL* c = t->easy;
  curl_easy_setopt(c, CURLOPT_URL, request.url.c_str());
  curl_easy_setopt(c, CURLOPT_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(c, CURLOPT_FOLLOWLOCATION, 0L);
  curl_easy_setopt(c, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(c, CURLOPT_CONNECTTIMEOUT_MS, connect_timeout_ms);
  curl_easy_setopt(c, CURLOPT_TIMEOUT_MS, total_timeout_ms);
  curl_easy_setopt(c, CURLOPT_USERAGENT, "zts-server notifications");
  curl_easy_setopt(c, CURLOPT_HTTPHEADER, t->headers);
  curl_easy_setopt(c, CURLOPT_POST, 1L);
  curl_easy_setopt(c, CURLOPT_POSTFIELDS, t->body.data());
  curl_easy_setopt(c, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(t->body.size()));
  curl_easy_setopt(c, CURLOPT_WRITEFUNCTION, keep_response);
  curl_easy_setopt(c, CURLOPT_WRITEDATA, t.get());
  curl_easy_setopt(c, CURLOPT_PRIVATE, t.get());
  if (!ca_file.empty()) curl_easy_setopt(c, CURLOPT_CAINFO, ca_file.c_str());
  return t;
}

delivery_result transfer_result(const transfer& t, CURLcode code) {
  delivery_result r;
  curl_easy_getinfo(t.easy, CURLINFO_RESPONSE_CODE, &r.http_status);
  // Cutting the body short is our own doing; the status line decides then.
  bool answered = code == CURLE_OK || (code == CURLE_WRITE_ERROR && r.http_status != 0);
  if (!answered) {
    r.http_status = 0;
    r.reason = curl_easy_strerror(code);
    return r;
  }
  r.reason = "HTTP " + std::to_string(r.http_status);
  if (r.http_status >= 200 && r.http_status < 300) {
    r.outcome = delivery_outcome::sent;
  } else if (r.http_status == 429 || r.http_status == 408 || r.http_status >= 500) {
    if (r.http_status == 429) {
      curl_off_t after = 0;
      if (curl_easy_getinfo(t.easy, CURLINFO_RETRY_AFTER, &after) == CURLE_OK && after > 0) {
        r.retry_after_s = after > INT32_MAX ? INT32_MAX : static_cast<uint32_t>(after);
      }
    }
  } else {
    r.outcome = delivery_outcome::failed;
    if (r.http_status >= 300 && r.http_status < 400) r.reason += " (redirects are not followed)";
  }
  return r;
}

delivery_result deliver_now(const outgoing_request& request, const std::string& ca_file) {
  init_curl_once();
  std::unique_ptr<transfer> t = make_transfer(request, ca_file);
  CURLcode code = curl_easy_perform(t->easy);
  return transfer_result(*t, code);
}
